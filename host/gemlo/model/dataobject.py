"""Data objects: a named set of properties, each a numpy array with its attributes."""

import copy

import numpy as np

ARRAY_KEYS = ("array1d", "array2d", "array3d")
# A property attribute derived from its values (their percentiles), never stored.
PERCENTILES = "arrayPercentiles"
# The pages of the style dialog, by the kind of object (its prop_array_key). The pages
# add themselves (register_style_pages) when the Qt side loads them.
STYLE_PAGES = {}


def register_style_pages(kind, *pages):
    """Make `pages` the style dialog's pages of the objects of `kind` made from now on."""
    if kind not in ARRAY_KEYS:
        raise ValueError(f"kind must be one of {ARRAY_KEYS}, got {kind!r}")
    STYLE_PAGES[kind] = tuple(pages)


class DataObject:
    """One item of the data tree, e.g. a seismic cube with its properties.

    `prop` maps a property name to its entry, a dict holding the values under
    `prop_array_key` ("array1d", "array2d" or "array3d") and free attributes
    (unit, description, ...). `meta` holds the object's geometry (first
    inline, sample interval, ...) as plain JSON-able values.
    """

    def __init__(
        self, name, prop=None, prop_array_key="array3d", meta=None, viewable_in_plot=None
    ):
        if prop_array_key not in ARRAY_KEYS:
            raise ValueError(f"prop_array_key must be one of {ARRAY_KEYS}, got {prop_array_key!r}")
        self.name = str(name)
        self.prop = dict(prop or {})
        self.prop_array_key = prop_array_key
        self.meta = dict(meta or {})
        # Factories of the pages of the style dialog; None: those registered for its kind.
        self._style_pages = None
        # A plot pane draws lines: by default only objects of 1-D properties go there.
        self.viewable_in_plot = (
            prop_array_key == "array1d" if viewable_in_plot is None else bool(viewable_in_plot)
        )
        # Pane name -> what the object shows in that plot pane.
        self.visuals_in_plot = {}

    @property
    def style_pages(self):
        if self._style_pages is None:
            return list(STYLE_PAGES.get(self.prop_array_key, ()))
        return self._style_pages

    @style_pages.setter
    def style_pages(self, pages):
        self._style_pages = list(pages)

    def array(self, prop_name):
        """Return the value array of a property."""
        return self.prop[prop_name][self.prop_array_key]

    @property
    def shape(self):
        """Shape of the property arrays (None while there is no property)."""
        for entry in self.prop.values():
            return np.shape(entry[self.prop_array_key])
        return None

    def copy(self, name):
        """Return a copy under another name that shares no array with this object."""
        other = DataObject(
            name,
            copy.deepcopy(self.prop),
            self.prop_array_key,
            copy.deepcopy(self.meta),
            self.viewable_in_plot,
        )
        other._style_pages = self._style_pages and list(self._style_pages)
        return other

    def make_visuals_in_plot(self, parent=None):
        """Make the line this object draws in the plot pane named `parent`; returns it.

        The line runs through (x, y) = (property meta["plot_x"], property meta["plot_y"])
        (default: the first property against its index); meta["plot_y_down"] makes y
        grow downwards, as depth does.
        """
        from vispy import scene  # only drawing needs vispy

        pos, connect = self.plot_line()
        line = scene.visuals.Line(
            pos=pos,
            connect=connect,
            color=self.meta.get("color", "#1c7ed6"),
            width=2,
            name=self.name,
        )
        self.visuals_in_plot[parent] = line
        return line

    def plot_labels(self):
        """Return the (x, y) axis titles of this object's line, units included."""

        def title(prop_name):
            unit = self.prop[prop_name].get("unit")
            return f"{prop_name} ({unit})" if unit else prop_name

        x_name = self.meta.get("plot_x")
        x_name = x_name if x_name in self.prop else next(iter(self.prop))
        y_name = self.meta.get("plot_y")
        return title(x_name), title(y_name) if y_name in self.prop else "index"

    def plot_points(self):
        """Return the (n, 2) float32 points of this object as a line in a plot.

        Rows where either value is null (NaN) are left out.
        """
        return self.plot_line()[0]

    def plot_line(self):
        """Return (points, connect): the line's points without nulls, and for each point
        whether it joins the next (a null between them leaves a gap)."""
        if self.prop_array_key != "array1d" or not self.prop:
            raise ValueError(f"{self.name!r} is not a line: it needs 1-D properties")
        x_name = self.meta.get("plot_x")
        x_name = x_name if x_name in self.prop else next(iter(self.prop))
        x = np.asarray(self.array(x_name), np.float32)
        y_name = self.meta.get("plot_y")
        y = (
            np.asarray(self.array(y_name), np.float32)
            if y_name in self.prop
            else np.arange(len(x), dtype=np.float32)
        )
        if self.meta.get("plot_y_down"):
            y = -y
        kept = np.flatnonzero(np.isfinite(x) & np.isfinite(y))
        connect = np.append(np.diff(kept) == 1, False)
        return np.column_stack([x[kept], y[kept]]), connect

    def __repr__(self):
        props = ", ".join(self.prop)
        return f"DataObject({self.name!r}, shape {self.shape}, properties: {props})"
