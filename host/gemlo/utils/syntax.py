"""Python syntax colouring for script editors."""

import keyword
import re

from qtpy.QtGui import QColor, QFont, QSyntaxHighlighter, QTextCharFormat


def _format(color, bold=False, italic=False):
    fmt = QTextCharFormat()
    fmt.setForeground(QColor(color))
    if bold:
        fmt.setFontWeight(QFont.Bold)
    fmt.setFontItalic(italic)
    return fmt


_RULES = [
    (re.compile(r"\b(?:{})\b".format("|".join(keyword.kwlist))), _format("#0033b3", bold=True)),
    (re.compile(r"\b(?:self|None|True|False)\b"), _format("#94558d")),
    (re.compile(r"\b\d+(?:\.\d*)?(?:[eE][+-]?\d+)?\b"), _format("#1750eb")),
    (re.compile(r"\"[^\"\n]*\"|'[^'\n]*'"), _format("#067d17")),
    (re.compile(r"#[^\n]*"), _format("#8c8c8c", italic=True)),
]


class PythonHighlighter(QSyntaxHighlighter):
    """Colours keywords, numbers, strings and comments of Python text."""

    def highlightBlock(self, text):
        for pattern, fmt in _RULES:
            for match in pattern.finditer(text):
                self.setFormat(match.start(), match.end() - match.start(), fmt)
