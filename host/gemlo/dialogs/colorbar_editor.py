"""The colour bar of one property: colour map and value range, kept in the property."""

import numpy as np
from qtpy.QtWidgets import QComboBox, QDoubleSpinBox, QPushButton

from gemlo.config.base import _
from gemlo.dialogs.style_pages import COLORMAPS
from gemlo.widgets.dialogs import PropertyChoice, TreeDialog


class ColorbarEditor(PropertyChoice, TreeDialog):
    """Edits `entry["colorbar"]` = {"cmap", "vmin", "vmax"} of a property entry."""

    TITLE = "Colour bar"
    START = "Apply"

    def __init__(self, tree):
        super().__init__(tree)
        self.add_property_box()
        self.cmap = QComboBox(self)
        self.cmap.addItems(COLORMAPS)
        self.vmin, self.vmax = QDoubleSpinBox(self), QDoubleSpinBox(self)
        for box in (self.vmin, self.vmax):
            box.setRange(-1e30, 1e30)
            box.setDecimals(4)
        data_range = QPushButton(_("Range of the data"), self)
        data_range.clicked.connect(self._data_range)
        self.form.addRow(_("Colour map:"), self.cmap)
        self.form.addRow(_("Minimum:"), self.vmin)
        self.form.addRow(_("Maximum:"), self.vmax)
        self.form.addRow("", data_range)
        self.prop_box.currentTextChanged.connect(lambda _text: self.load_property())
        self.setup()
        self.load_property()

    def _entry(self):
        name = self.chosen_object()
        return name, self.tree.object_data[name].prop[self.chosen_property(name)]

    def load_property(self):
        """Show the chosen property's colour bar (its data range when it has none)."""
        try:
            _name, entry = self._entry()
        except ValueError:
            return
        bar = entry.get("colorbar")
        if bar is None:
            self._data_range()
        else:
            self.cmap.setCurrentText(bar["cmap"])
            self.vmin.setValue(bar["vmin"])
            self.vmax.setValue(bar["vmax"])

    def _data_range(self):
        try:
            name, entry = self._entry()
        except ValueError as error:
            self.say(str(error))
            return
        values = entry[self.tree.object_data[name].prop_array_key]
        finite = values[np.isfinite(values)]
        if finite.size:
            self.vmin.setValue(float(finite.min()))
            self.vmax.setValue(float(finite.max()))

    def arguments(self):
        name, entry = self._entry()
        if not self.vmin.value() < self.vmax.value():
            raise ValueError(_("The minimum must be below the maximum."))
        return name, entry

    def run(self, name, entry):
        entry["colorbar"] = {
            "cmap": self.cmap.currentText(),
            "vmin": self.vmin.value(),
            "vmax": self.vmax.value(),
        }
        self.tree.object_changed(name)
        self.accept()
