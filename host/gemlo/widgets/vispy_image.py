"""The 2-D image viewer: an inline section of the current cube property."""

import numpy as np
from vispy import scene

from gemlo.data.dataobject import mapped_file_short
from gemlo.utils.logger import logger
from gemlo.widgets.vispy_canvas import VispyCanvas, current_cube


class VispyImage(VispyCanvas):
    """Shows one inline of the main window's current cube property, coloured by value."""

    def __init__(self, parent=None, name=None):
        super().__init__(parent=parent, name=name)
        self.image = None
        self.shown = None  # (object name, property name, inline index) drawn now
        self.refresh()

    def refresh(self):
        """Draw the current cube property, or leave the scene empty when there is none."""
        found = current_cube(self)
        if found is None:
            return
        dob, prop_name = found
        array = dob.array(prop_name)
        index = array.shape[0] // 2
        if self.shown == (dob.name, prop_name, index):
            return
        self.show_section(dob, prop_name, index)

    def show_section(self, dob, prop_name, index):
        """Draw inline number `index` (0-based) of the property `prop_name` of `dob`."""
        problem = mapped_file_short(dob.array(prop_name))
        if problem:
            # Reading it would kill the process (SIGBUS).
            logger.error(f"{self._name} cannot show {dob.name} {prop_name}: {problem}")
            return
        # One inline only: the cube may be a memory map far larger than memory.
        section = np.asarray(dob.array(prop_name)[index], dtype=np.float32).T
        meta = dob.meta
        finite = section[np.isfinite(section)]
        if finite.size == 0:
            clim = (0.0, 1.0)
        elif finite.min() < 0 < finite.max():
            # Signed data (amplitudes): white at zero.
            top = float(np.percentile(np.abs(finite), 99)) or 1.0
            clim = (-top, top)
        else:
            clim = (float(finite.min()), float(finite.max()) or 1.0)
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
        self.canvas00.title.text = f"{dob.name}: {prop_name}, inline {il}"
        self.canvas00.xlabel.text = "crossline"
        self.canvas00.ylabel.text = meta.get("z_unit", "sample")
        self.canvas00.ylabel.width_max = 30  # vispy leaves it one pixel
        self.shown = (dob.name, prop_name, index)
        logger.info(f"{self._name} shows {dob.name} {prop_name} at inline {il}")
