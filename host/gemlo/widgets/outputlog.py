"""A read-only view of the application log."""

import logging

from qtpy.QtCore import QObject, Signal


class _LogBridge(QObject):
    message = Signal(str)


class OutputHandler(logging.Handler):
    """Writes log records into a text view.

    Records may come from worker threads; the signal queues them to the
    thread of the view instead of touching the widget from there.
    """

    def __init__(self, view):
        super().__init__()
        self.setFormatter(
            logging.Formatter("%(asctime)s %(levelname)s: %(message)s", datefmt="%H:%M:%S")
        )
        self._bridge = _LogBridge()
        self._bridge.message.connect(view.appendPlainText)
        self._follow(view.verticalScrollBar())

    @staticmethod
    def _follow(bar):
        # The view lays wrapped lines out after appending them, so its own "stay at
        # the end" falls short by those lines: keep to the end while the user is there.
        following = [True]
        bar.valueChanged.connect(lambda value: following.__setitem__(0, value >= bar.maximum()))
        bar.rangeChanged.connect(lambda _low, high: following[0] and bar.setValue(high))

    def emit(self, record):
        try:
            self._bridge.message.emit(self.format(record))
        except Exception:
            self.handleError(record)
