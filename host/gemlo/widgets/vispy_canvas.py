"""The viewer canvas every plot, image and volume viewer draws on (vispy)."""

import numpy as np
from qtpy.QtGui import QColor, QImage
from qtpy.QtWidgets import QColorDialog, QFileDialog, QMessageBox, QVBoxLayout, QWidget
from vispy import plot

from gemlo.config.base import _
from gemlo.utils.logger import logger

# A click picks a visual when one of its points is this close on screen (pixels).
PICK_RADIUS = 10


class Figure(plot.Fig):
    """vispy's figure, with the list of the visuals a viewer has put into it."""

    def __init__(self, **kwargs):
        # The canvas refuses new attributes once built.
        self.visuals = []
        super().__init__(**kwargs)


class VispyCanvas(QWidget):
    """A Qt widget around a vispy figure whose first cell, `canvas00`, draws the data.

    `dpState` records what each data object shows here:
    dpState[object name][category][key] = value, e.g. ["well_A"]["object"]["self"] = True.
    """

    HELP = (
        "Drag with the left mouse button to pan, turn the wheel to zoom.<br>"
        "<b>Hide all</b> (Ctrl+L) takes every shown object off the canvas.<br>"
        "<b>Pick mode</b> (P): a click reports the nearest object and the position "
        "in the log.<br>"
        "<b>Background color</b> and <b>Export canvas to picture</b> (PNG) act on "
        "the whole canvas."
    )

    def __init__(self, parent=None, name=None):
        super().__init__(parent)
        self._name = name
        self.dpState = {}
        self.pick_mode = False
        self.canvas = Figure(show=False, keys="interactive", parent=self)
        self.canvas00 = self.canvas[0, 0]
        self.canvas.events.mouse_press.connect(self._on_mouse_press)
        layout = QVBoxLayout(self)
        layout.setContentsMargins(0, 0, 0, 0)
        layout.addWidget(self.canvas.native)

    # Background

    @property
    def bgcolor(self):
        """The background as a vispy Color; accepts anything vispy takes as a colour."""
        return self.canvas.bgcolor

    @bgcolor.setter
    def bgcolor(self, value):
        self.canvas.bgcolor = value
        self.canvas.update()

    def set_background_color(self):
        """Ask for the background colour."""
        current = QColor.fromRgbF(*(float(c) for c in self.bgcolor.rgba))
        color = QColorDialog.getColor(
            current, self, _("Background color"), QColorDialog.DontUseNativeDialog
        )
        if color.isValid():
            self.bgcolor = color.getRgbF()

    # Display state and visuals

    def save_display_state(self, object_name, category, key, value):
        self.dpState.setdefault(object_name, {}).setdefault(category, {})[key] = value

    def remove_item(self, item):
        """Take `item` off the canvas; ValueError if the canvas does not hold it."""
        if item not in self.canvas.visuals:
            raise ValueError(f"{self._name} does not hold {item!r}")
        self.canvas.visuals[:] = [v for v in self.canvas.visuals if v is not item]
        item.parent = None

    def hide_all(self):
        """Take every shown visual off the canvas; each object is recorded as not shown."""
        for item in self.canvas.visuals:
            item.parent = None
        self.canvas.visuals.clear()
        for state in self.dpState.values():
            if "self" in state.get("object", {}):
                state["object"]["self"] = False
        self.canvas.update()

    # Picking

    def toggle_pick_mode(self, checked):
        self.pick_mode = bool(checked)
        logger.info("{}: pick mode {}".format(self._name, "on" if self.pick_mode else "off"))

    def _on_mouse_press(self, event):
        if self.pick_mode and event.button == 1:
            self.pick(event.pos[:2])

    def pick(self, pos):
        """Log the object nearest to the canvas position `pos` (pixels) and where it is.

        Returns (object name or None, (x, y) in data coordinates) or None outside the plot.
        """
        view = getattr(self.canvas00, "view", None)
        if view is None:
            return None
        to_data = self.canvas.scene.node_transform(view.scene)
        xy = to_data.map(np.asarray(pos, dtype=float))[:2]
        best, best_point, best_distance = None, None, PICK_RADIUS
        for visual in self.canvas.visuals:
            points = getattr(visual, "pos", None)
            if points is None or not visual.visible or not len(points):
                continue
            points = np.asarray(points, dtype=float)[:, :2]
            on_screen = to_data.imap(points)[:, :2]
            distance = np.hypot(*(on_screen - np.asarray(pos)[:2]).T)
            i = int(np.argmin(distance))
            if distance[i] <= best_distance:
                best, best_point, best_distance = visual.name, points[i], distance[i]
        if best is None:
            logger.info("{}: nothing picked at x={:.6g}, y={:.6g}".format(self._name, *xy))
            return None, tuple(xy)
        logger.info("{}: picked {} at x={:.6g}, y={:.6g}".format(self._name, best, *best_point))
        return best, tuple(best_point)

    # Export

    def render_image(self):
        """Draw the canvas off screen; returns a QImage (needs an OpenGL context)."""
        try:
            rgba = np.ascontiguousarray(self.canvas.render(alpha=False))
        except Exception as error:
            raise RuntimeError(
                f"{self._name}: the canvas cannot be drawn here (no OpenGL?): {error}"
            ) from error
        if rgba.shape[-1] == 3:
            rgba = np.ascontiguousarray(np.dstack([rgba, np.full(rgba.shape[:2], 255, np.uint8)]))
        height, width = rgba.shape[:2]
        # copy(): the QImage must not outlive the numpy buffer it points into.
        return QImage(rgba.data, width, height, 4 * width, QImage.Format_RGBA8888).copy()

    def export_png(self, path):
        """Write what the canvas draws to the PNG file `path`."""
        if not self.render_image().save(str(path), "PNG"):
            raise OSError(f"could not write {path}")
        logger.info(f"{self._name}: exported to {path}")

    def export_canvas(self):
        """Ask for a file name and export the canvas to it as a PNG picture."""
        start = f"{self._name or 'canvas'}.png"
        main = self.window()
        if getattr(main, "workdir", None):
            start = f"{main.workdir}/{start}"
        path, _filter = QFileDialog.getSaveFileName(self, "Export canvas", start, "PNG (*.png)")
        if not path:
            return
        if not path.lower().endswith(".png"):
            path += ".png"
        try:
            self.export_png(path)
        except (OSError, RuntimeError) as error:
            logger.warning(str(error))
            QMessageBox.warning(self, _("Export canvas to picture"), str(error))


def current_cube(widget):
    """(data object, property name) that the window holding `widget` calls current, or None.

    Viewers ask the first ancestor that answers `current_cube()`: the main window.
    """
    while widget is not None:
        ask = getattr(widget, "current_cube", None)
        if callable(ask):
            return ask()
        # parentWidget(): the deck and the panes keep their own `parent` member.
        widget = widget.parentWidget()
    return None
