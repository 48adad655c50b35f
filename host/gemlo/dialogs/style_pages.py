"""Pages of the style dialog; a data object lists the ones of its kind in `style_pages`.

A page is made with the dialog alone: it finds its object as
`dialog.tree.object_data[dialog.name]` and keeps its settings in the object's
`meta`, which the project file stores.
"""

from qtpy.QtWidgets import QCheckBox, QComboBox, QDoubleSpinBox, QFormLayout, QLabel, QWidget

from gemlo.model.dataobject import register_style_pages

COLORMAPS = ("grays", "RdBu", "coolwarm", "viridis", "hot", "blues")
LINE_COLORS = ("black", "darkblue", "darkred", "darkgreen", "gray")


class StylePage(QWidget):
    NAME = ""

    def __init__(self, dialog):
        super().__init__(dialog)
        self.dialog = dialog
        self.form = QFormLayout(self)

    @property
    def dob(self):
        return self.dialog.tree.object_data[self.dialog.name]


class ColormapPage(StylePage):
    """How images and sections of the object are coloured."""

    NAME = "Colour map"

    def initialize(self):
        self.cmap = QComboBox(self)
        self.cmap.addItems(COLORMAPS)
        self.cmap.setCurrentText(self.dob.meta.get("colormap", "grays"))
        self.symmetric = QCheckBox(self)
        self.symmetric.setChecked(self.dob.meta.get("symmetric", True))
        self.form.addRow("Colour map:", self.cmap)
        self.form.addRow("Range symmetric about zero:", self.symmetric)

    def apply(self):
        self.dob.meta["colormap"] = self.cmap.currentText()
        self.dob.meta["symmetric"] = self.symmetric.isChecked()


class WigglePage(StylePage):
    """How traces of the object are drawn as lines."""

    NAME = "Wiggle"

    def initialize(self):
        self.color = QComboBox(self)
        self.color.addItems(LINE_COLORS)
        self.color.setCurrentText(self.dob.meta.get("line_color", "black"))
        self.width = QDoubleSpinBox(self)
        self.width.setRange(0.5, 5.0)
        self.width.setSingleStep(0.5)
        self.width.setValue(self.dob.meta.get("line_width", 1.0))
        self.form.addRow("Line colour:", self.color)
        self.form.addRow("Line width:", self.width)

    def apply(self):
        self.dob.meta["line_color"] = self.color.currentText()
        self.dob.meta["line_width"] = self.width.value()


class CurvesPage(StylePage):
    """Which curves of a log are drawn: one across, against the index down."""

    NAME = "Curves"

    def initialize(self):
        names = list(self.dob.prop)
        self.x_curve = QComboBox(self)
        self.x_curve.addItems(names)
        self.x_curve.setCurrentText(self.dob.meta.get("plot_x") or names[0])
        self.form.addRow("Horizontal axis:", self.x_curve)
        y_name = self.dob.meta.get("plot_y")
        self.form.addRow("Vertical axis:", QLabel(y_name or "index", self))

    def apply(self):
        self.dob.meta["plot_x"] = self.x_curve.currentText()


# Cubes are shown as coloured sections and as wiggle traces, logs by the curves they plot.
register_style_pages("array1d", CurvesPage)
register_style_pages("array3d", ColormapPage, WigglePage)
