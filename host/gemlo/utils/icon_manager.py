"""The application's icon set: 16x16 icons drawn at first use."""

from qtpy.QtCore import QPointF, QRectF, Qt
from qtpy.QtGui import QColor, QIcon, QPainter, QPainterPath, QPen, QPixmap, QPolygonF

SIZE = 16
_cache = {}


def _folder(p):
    p.setBrush(QColor("#e8b64c"))
    p.drawPolygon(
        QPolygonF(
            [
                QPointF(1, 4),
                QPointF(6, 4),
                QPointF(7, 5.5),
                QPointF(15, 5.5),
                QPointF(15, 14),
                QPointF(1, 14),
            ]
        )
    )


def _floppy(p):
    p.setBrush(QColor("#3d6fb6"))
    p.drawRect(QRectF(1.5, 1.5, 13, 13))
    p.setBrush(QColor("white"))
    p.drawRect(QRectF(4, 2, 8, 4.5))
    p.drawRect(QRectF(3.5, 9, 9, 5))


def _triangle(p, color, rect):
    x, y, w, h = rect
    p.setBrush(QColor(color))
    p.drawPolygon(QPolygonF([QPointF(x, y), QPointF(x + w, y + h / 2), QPointF(x, y + h)]))


def _run(p):
    _triangle(p, "#2f9e44", (3, 2, 11, 12))


def _run_file(p):
    p.setBrush(QColor("white"))
    p.drawPolygon(
        QPolygonF([QPointF(2, 1), QPointF(9, 1), QPointF(12, 4), QPointF(12, 15), QPointF(2, 15)])
    )
    _triangle(p, "#2f9e44", (7, 7, 8, 8))


def _help(p):
    p.setBrush(QColor("#3d6fb6"))
    p.drawEllipse(QRectF(1, 1, 14, 14))
    p.setPen(QPen(QColor("white")))
    p.drawText(QRectF(1, 1, 14, 14), Qt.AlignCenter, "?")


def _options(p):
    for y in (4, 8, 12):
        p.drawLine(QPointF(3, y), QPointF(13, y))


def _hide_all(p):
    path = QPainterPath(QPointF(1, 8))
    path.quadTo(QPointF(8, 1), QPointF(15, 8))
    path.quadTo(QPointF(8, 15), QPointF(1, 8))
    p.drawPath(path)
    p.drawEllipse(QPointF(8, 8), 2.5, 2.5)
    p.setPen(QPen(QColor("#c92a2a"), 1.6))
    p.drawLine(QPointF(2, 14), QPointF(14, 2))


def _pick_mode(p):
    p.drawEllipse(QPointF(8, 8), 5, 5)
    p.drawLine(QPointF(8, 0), QPointF(8, 16))
    p.drawLine(QPointF(0, 8), QPointF(16, 8))


def _bkgd_color(p):
    for i, color in enumerate(("#c92a2a", "#2f9e44", "#3d6fb6", "#f0c419")):
        p.setBrush(QColor(color))
        p.drawRect(QRectF(1 + 7 * (i % 2), 1 + 7 * (i // 2), 7, 7))


def _photo(p):
    p.setBrush(QColor("#555555"))
    p.drawRoundedRect(QRectF(1, 4, 14, 10), 2, 2)
    p.setBrush(QColor("white"))
    p.drawEllipse(QPointF(8, 9), 3, 3)


def _plot(p):
    p.setPen(QPen(QColor("#c92a2a"), 1.6))
    p.drawPolyline(QPolygonF([QPointF(1, 13), QPointF(5, 6), QPointF(9, 10), QPointF(15, 2)]))


def _image(p):
    for i, color in enumerate(("#3d6fb6", "#f1f3f5", "#c92a2a", "#f1f3f5", "#3d6fb6")):
        p.setBrush(QColor(color))
        p.drawRect(QRectF(1 + 2.8 * i, 2, 2.8, 12))


def _volume(p):
    p.setBrush(QColor("#74c0fc"))
    p.drawPolygon(
        QPolygonF(
            [
                QPointF(1, 5),
                QPointF(5, 1),
                QPointF(15, 1),
                QPointF(15, 11),
                QPointF(11, 15),
                QPointF(1, 15),
            ]
        )
    )
    p.drawRect(QRectF(1, 5, 10, 10))
    p.drawLine(QPointF(11, 5), QPointF(15, 1))


def _unknown(p):
    p.setBrush(QColor("#adb5bd"))
    p.drawRect(QRectF(2, 2, 12, 12))


_DRAW = {
    "fileopen": _folder,
    "filesave": _floppy,
    "run_file": _run_file,
    "run": _run,
    "help": _help,
    "tooloptions": _options,
    "hide_all": _hide_all,
    "pick_mode": _pick_mode,
    "bkgd_color": _bkgd_color,
    "photo": _photo,
    "plot": _plot,
    "image": _image,
    "volume": _volume,
}


def icon(name):
    """Return the QIcon for `name`; an unknown name gives a neutral square."""
    if name not in _cache:
        pixmap = QPixmap(SIZE, SIZE)
        pixmap.fill(Qt.transparent)
        painter = QPainter(pixmap)
        painter.setRenderHint(QPainter.Antialiasing)
        painter.setPen(QPen(QColor("#343a40"), 1))
        _DRAW.get(name, _unknown)(painter)
        painter.end()
        _cache[name] = QIcon(pixmap)
    return _cache[name]
