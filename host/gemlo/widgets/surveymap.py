"""Plan view of the survey grid and the wells on it."""

import math

import numpy as np
from qtpy.QtCore import QPointF, QRectF, Qt
from qtpy.QtGui import QColor, QPainter, QPen, QPolygonF
from qtpy.QtWidgets import QWidget

from gemlo.config.base import _
from gemlo.utils.convert_grid import ln2xy


def _ticks(first, last, most=7):
    """Round line numbers from `first` to `last`, at most about `most` of them."""
    lo, hi = sorted((first, last))
    raw = max((hi - lo) / (most - 1), 1)
    magnitude = 10 ** math.floor(math.log10(raw))
    step = max(1, round(next(m * magnitude for m in (1, 2, 2.5, 5, 10) if m * magnitude >= raw)))
    return list(range(math.ceil(lo / step) * step, math.floor(hi) + 1, step))


class SurveyMap(QWidget):
    """Plan view of the survey grid: outline, a few lines, their numbers, north up."""

    MARGIN = 56

    def __init__(self, parent=None):
        super().__init__(parent)
        self.survey = None
        self.sgmt = None
        self.wells = []  # (name, x, y)
        self.setMinimumSize(240, 180)

    def set_survey(self, survey, sgmt):
        self.survey, self.sgmt = survey, sgmt
        self.update()

    def set_wells(self, wells):
        """Show the wells (name, x, y) as labelled points."""
        self.wells = [(str(name), float(x), float(y)) for name, x, y in wells]
        self.update()

    def extent(self):
        """Return (first inline, last inline, first crossline, last crossline)."""
        s = self.sgmt
        return s["P1_ILNO"], s["P3_ILNO"], s["P1_XLNO"], s["P2_XLNO"]

    def to_screen(self, lines):
        """Map (inline, crossline) rows to widget pixels, the whole grid fitted, north up."""
        return self.xy_to_screen(ln2xy(np.asarray(lines, dtype=float).reshape(-1, 2), self.survey))

    def xy_to_screen(self, xy):
        """Map (x, y) rows to widget pixels, the whole grid fitted, north up."""
        il0, il1, xl0, xl1 = self.extent()
        corners = ln2xy(np.array([[il0, xl0], [il0, xl1], [il1, xl1], [il1, xl0]]), self.survey)
        lo, hi = corners.min(axis=0), corners.max(axis=0)
        size = np.maximum(hi - lo, 1e-9)
        scale = min(
            (self.width() - 2 * self.MARGIN) / size[0], (self.height() - 2 * self.MARGIN) / size[1]
        )
        xy = np.asarray(xy, dtype=float).reshape(-1, 2) - (lo + hi) / 2
        return np.column_stack(
            [self.width() / 2 + scale * xy[:, 0], self.height() / 2 - scale * xy[:, 1]]
        )

    def paintEvent(self, event):
        painter = QPainter(self)
        painter.setRenderHint(QPainter.Antialiasing)
        painter.fillRect(self.rect(), QColor("white"))
        if self.survey is None:
            painter.setPen(QColor("#868e96"))
            painter.drawText(self.rect(), Qt.AlignCenter, _("No survey in this project"))
            return
        il0, il1, xl0, xl1 = self.extent()
        outline = QPolygonF(
            [QPointF(*p) for p in self.to_screen([[il0, xl0], [il0, xl1], [il1, xl1], [il1, xl0]])]
        )
        painter.setPen(Qt.NoPen)
        painter.setBrush(QColor("#e7f5ff"))
        painter.drawPolygon(outline)
        # Inline numbers at the last crossline, crossline numbers at the first inline:
        # the two sets of labels then never meet at a corner.
        for il in _ticks(il0, il1):
            self._draw_line(painter, [[il, xl1], [il, xl0]], f"IL {il}")
        for xl in _ticks(xl0, xl1):
            self._draw_line(painter, [[il0, xl], [il1, xl]], f"XL {xl}")
        painter.setPen(QPen(QColor("#1c7ed6"), 2))
        painter.setBrush(Qt.NoBrush)
        painter.drawPolygon(outline)
        self._draw_north(painter)
        self._draw_wells(painter)
        painter.setPen(QColor("#343a40"))
        x0, y0 = self.survey.origin[2:]
        painter.drawText(
            QRectF(8, self.height() - 22, self.width() - 16, 18),
            Qt.AlignLeft,
            f"{self.survey.name}: IL {il0:g}-{il1:g}, XL {xl0:g}-{xl1:g}, "
            f"origin x {x0:.0f} y {y0:.0f}",
        )

    def _draw_line(self, painter, lines, text):
        start, end = self.to_screen(lines)
        painter.setPen(QPen(QColor("#adb5bd"), 1))
        painter.drawLine(QPointF(*start), QPointF(*end))
        # The number continues the line outside the grid, clear of the outline.
        ux, uy = (start - end) / max(np.hypot(*(start - end)), 1e-9)
        metrics = painter.fontMetrics()
        width, height = metrics.horizontalAdvance(text), metrics.height()
        at = start + (6 + abs(ux) * width / 2 + abs(uy) * height / 2) * np.array([ux, uy])
        painter.setPen(QColor("#343a40"))
        painter.drawText(
            QRectF(at[0] - width / 2 - 2, at[1] - height / 2, width + 4, height),
            Qt.AlignCenter,
            text,
        )

    def _draw_wells(self, painter):
        if not self.wells:
            return
        points = self.xy_to_screen([(x, y) for _name, x, y in self.wells])
        for (name, _x, _y), (px, py) in zip(self.wells, points, strict=True):
            painter.setPen(QPen(QColor("#2b8a3e"), 2))
            painter.setBrush(QColor("#69db7c"))
            painter.drawEllipse(QPointF(px, py), 5, 5)
            painter.setPen(QColor("#212529"))
            painter.drawText(QPointF(px + 8, py - 6), name)

    def _draw_north(self, painter):
        x = self.width() - 24
        painter.setPen(QPen(QColor("#343a40"), 2))
        painter.drawLine(QPointF(x, 44), QPointF(x, 18))
        painter.drawPolyline(QPolygonF([QPointF(x - 5, 25), QPointF(x, 18), QPointF(x + 5, 25)]))
        painter.drawText(QRectF(x - 10, 46, 20, 16), Qt.AlignCenter, "N")
