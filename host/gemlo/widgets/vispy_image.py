"""The 2-D image viewer: an inline section of the current cube property, or a horizon's map."""

import numpy as np
from vispy import scene
from vispy.color import get_colormap

from gemlo.storage.datafile import mapped_file_short
from gemlo.utils.logger import logger
from gemlo.widgets.slicereader import SliceReader, is_stored_cube
from gemlo.widgets.vispy_canvas import VispyCanvas, current_cube

MAP_COLORS = "viridis"


def _current_image(widget):
    """What the window holding `widget` gives the image viewer: (object, property) or None."""
    while widget is not None:
        ask = getattr(widget, "current_image", None)
        if callable(ask):
            return ask()
        widget = widget.parentWidget()
    return None


def _clim(values):
    finite = values[np.isfinite(values)]
    if finite.size == 0:
        return (0.0, 1.0)
    if finite.min() < 0 < finite.max():
        # Signed data (amplitudes): white at zero.
        top = float(np.percentile(np.abs(finite), 99)) or 1.0
        return (-top, top)
    low, high = float(finite.min()), float(finite.max())
    return (low, high if high > low else low + 1.0)


class VispyImage(VispyCanvas):
    """Shows one inline of the main window's current cube property, coloured by value,
    or the map of a horizon (inline x crossline) when one is selected."""

    def __init__(self, parent=None, name=None):
        super().__init__(parent=parent, name=name)
        self.image = None
        self.shown = None  # (object name, property name, inline index) drawn now
        self.pending = None  # (object, property name, inline index) being read
        self.reader = SliceReader(self)
        self.reader.ready.connect(self._slice_read)
        self.reader.failed.connect(self._slice_failed)
        reader = self.reader
        self.destroyed.connect(lambda *_: reader.close())
        self.refresh()

    def refresh(self):
        """Draw the current cube property, or leave the scene empty when there is none."""
        found = _current_image(self) or current_cube(self)
        if found is None:
            return
        dob, prop_name = found
        if dob.prop_array_key == "array2d":
            if self.shown != (dob.name, prop_name, None):
                self.show_map(dob, prop_name)
            return
        array = dob.array(prop_name)
        index = array.shape[0] // 2
        if self.shown == (dob.name, prop_name, index) or (
            self.pending is not None
            and self.pending[1:] == (prop_name, index)
            and self.pending[0] is dob
        ):
            return
        self.show_section(dob, prop_name, index)

    def show_section(self, dob, prop_name, index):
        """Draw inline number `index` (0-based) of the property `prop_name` of `dob`."""
        problem = mapped_file_short(dob.array(prop_name))
        if problem:
            # Reading it would kill the process (SIGBUS).
            logger.error(f"{self._name} cannot show {dob.name} {prop_name}: {problem}")
            return
        array = dob.array(prop_name)
        if is_stored_cube(array):
            # Read on the reader's thread: the window goes on meanwhile.
            self.canvas00.title.text = f"{dob.name}: {prop_name}, reading inline..."
            self.pending = (dob, prop_name, index)
            self.reader.request((dob.name, prop_name, index), array, (index,))
            return
        self.pending = None  # a slice still being read is not wanted any more
        # One inline only: the cube may be a memory map far larger than memory.
        self.draw_section(dob, prop_name, index, array[index])

    def _slice_read(self, key, values):
        if self.pending is None:
            return
        dob, prop_name, index = self.pending
        if key == (dob.name, prop_name, index):
            self.pending = None
            self.draw_section(dob, prop_name, index, values)

    def _slice_failed(self, key, reason):
        if self.pending is not None and key == (self.pending[0].name, *self.pending[1:]):
            self.pending = None
            self.canvas00.title.text = f"{key[0]}: {key[1]}, cannot be read"
            logger.error(f"{self._name} cannot show {key[0]} {key[1]}: {reason}")

    def draw_section(self, dob, prop_name, index, values):
        section = np.asarray(values, dtype=np.float32).T
        meta = dob.meta
        clim = _clim(section)
        cmap = "RdBu" if clim[0] < 0 else "viridis"
        if self.image is not None:
            self.image.parent = None
        self.image = self.canvas00.image(section, cmap=cmap, clim=clim)
        # Pixel centres on crossline numbers and sample times.
        xl0, z0, dz = meta.get("xl0", 0), meta.get("z0", 0.0), meta.get("dz", 1.0)
        x0, y0 = xl0 - 0.5, z0 - dz / 2
        self.image.transform = scene.STTransform(scale=(1, dz), translate=(x0, y0))
        camera = self.canvas00.camera
        camera.aspect = None
        camera.flip = (False, True, False)  # time grows downwards
        # The camera does not see the transform when it measures the scene.
        rows, columns = section.shape
        camera.set_range(x=(x0, x0 + columns), y=(y0, y0 + rows * dz), margin=0)
        il = meta.get("il0", 0) + index
        array = dob.array(prop_name)
        store = array.url.rsplit("/", 1)[0] if is_stored_cube(array) else None
        self.canvas00.title.text = f"{dob.name}: {prop_name}, inline {il}"
        # A long location has room below the image.
        self.canvas00.xlabel.text = f"crossline (read from {store})" if store else "crossline"
        self.canvas00.ylabel.text = meta.get("z_unit", "sample")
        self.canvas00.ylabel.width_max = 30  # vispy leaves it one pixel
        self.shown = (dob.name, prop_name, index)
        where = f", from {store}" if store else ""
        logger.info(f"{self._name} shows {dob.name} {prop_name} at inline {il}{where}")

    def show_map(self, dob, prop_name):
        """Draw the horizon property `prop_name` of `dob` as a map: crossline across,
        inline up, coloured by value; positions without a value stay blank."""
        self.pending = None
        values = np.asarray(dob.array(prop_name), dtype=np.float32)
        meta = dob.meta
        clim = _clim(values)
        if self.image is not None:
            self.image.parent = None
        # Coloured here rather than by the GPU, so that positions without a value
        # stay clear: drivers differ in what they make of NaN in a texture.
        finite = np.isfinite(values)
        scaled = np.clip((np.where(finite, values, clim[0]) - clim[0]) / (clim[1] - clim[0]), 0, 1)
        rgba = get_colormap(MAP_COLORS).map(scaled.ravel()).reshape(*values.shape, 4)
        rgba[~finite] = 0.0
        self.image = self.canvas00.image(rgba.astype(np.float32))
        il0, xl0 = meta.get("il0", 0), meta.get("xl0", 0)
        il_step, xl_step = meta.get("il_step", 1), meta.get("xl_step", 1)
        x0, y0 = xl0 - xl_step / 2, il0 - il_step / 2
        self.image.transform = scene.STTransform(scale=(xl_step, il_step), translate=(x0, y0))
        camera = self.canvas00.camera
        camera.aspect = 1.0
        camera.flip = (False, False, False)
        rows, columns = values.shape
        camera.set_range(x=(x0, x0 + columns * xl_step), y=(y0, y0 + rows * il_step), margin=0)
        unit = dob.prop[prop_name].get("unit")
        self.canvas00.title.text = f"{dob.name}: {prop_name}{f' ({unit})' if unit else ''}, map"
        self.canvas00.xlabel.text = "crossline"
        self.canvas00.ylabel.text = "inline"
        self.canvas00.ylabel.width_max = 30
        self.shown = (dob.name, prop_name, None)
        logger.info(f"{self._name} shows the map of {dob.name} {prop_name}")
