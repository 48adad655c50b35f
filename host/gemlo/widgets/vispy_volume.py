"""The 3-D volume viewer: the current cube property in a turntable view."""

import math

import numpy as np

from gemlo.storage.datafile import mapped_file_short
from gemlo.utils.logger import logger
from gemlo.widgets.slicereader import SliceReader, is_stored_cube
from gemlo.widgets.vispy_canvas import VispyCanvas, current_cube

# Texture side limit: a large cube is read with a stride, never whole.
MAX_SIDE = 160
# Room around the volume for the perspective of the view.
PERSPECTIVE_ROOM = 1.5


def strides(shape, max_side=MAX_SIDE):
    """The slices that read an array of `shape` with the smallest stride that fits max_side."""
    return tuple(slice(None, None, max(1, math.ceil(n / max_side))) for n in shape)


def downsample(array, max_side=MAX_SIDE):
    """Return a float32 copy of `array` read with the smallest stride that fits max_side."""
    return np.ascontiguousarray(array[strides(array.shape, max_side)], dtype=np.float32)


class VispyVolume(VispyCanvas):
    """Shows the main window's current cube property as a volume."""

    def __init__(self, parent=None, name=None):
        super().__init__(parent=parent, name=name)
        self.volume = None
        self._fit_pending = False
        self.canvas.events.draw.connect(self._fit, position="last")
        self.shown = None  # (object name, property name) drawn now
        self.pending = None  # (object, property name) being read
        self.reader = SliceReader(self)
        self.reader.ready.connect(self._volume_read)
        self.reader.failed.connect(self._volume_failed)
        reader = self.reader
        self.destroyed.connect(lambda *_: reader.close())
        self.refresh()

    def refresh(self):
        """Draw the current cube property, or leave the scene empty when there is none."""
        found = current_cube(self)
        if found is None or self.shown == (found[0].name, found[1]):
            return
        if self.pending is not None and (self.pending[0], self.pending[1]) == found:
            return
        self.show_volume(*found)

    def _fit(self, _event=None):
        if not self._fit_pending:
            return
        self._fit_pending = False
        camera = self.canvas00.camera
        camera.set_range()
        # vispy frames the box as if seen without perspective: the near corners,
        # drawn larger, would be cut off.
        camera.scale_factor *= PERSPECTIVE_ROOM
        self.canvas.update()

    def show_volume(self, dob, prop_name):
        # vispy reads axes as (z, y, x) and the turntable keeps z up: time goes first,
        # reversed so that it grows downwards.
        problem = mapped_file_short(dob.array(prop_name))
        if problem:
            # Reading it would kill the process (SIGBUS).
            logger.error(f"{self._name} cannot show {dob.name} {prop_name}: {problem}")
            return
        array = dob.array(prop_name)
        if is_stored_cube(array):
            # A stored cube, maybe remote, is read on the reader's thread.
            self.pending = (dob, prop_name)
            self.reader.request((dob.name, prop_name), array, strides(array.shape))
            return
        self.pending = None
        self.draw_volume(dob, prop_name, downsample(array))

    def _volume_read(self, key, values):
        if self.pending is not None and key == (self.pending[0].name, self.pending[1]):
            dob, prop_name = self.pending
            self.pending = None
            self.draw_volume(dob, prop_name, np.asarray(values, dtype=np.float32))

    def _volume_failed(self, key, reason):
        if self.pending is not None and key == (self.pending[0].name, self.pending[1]):
            self.pending = None
            logger.error(f"{self._name} cannot show {key[0]} {key[1]}: {reason}")

    def draw_volume(self, dob, prop_name, data):
        data = np.ascontiguousarray(np.transpose(data, (2, 1, 0))[::-1])
        finite = data[np.isfinite(data)]
        data = np.nan_to_num(data)
        if finite.size and finite.min() < 0 < finite.max():
            # Signed data: draw the strength, so both polarities glow.
            data = np.abs(data)
            clim = (0.0, float(np.percentile(data, 99.5)) or 1.0)
        elif finite.size:
            clim = (float(finite.min()), float(finite.max()))
            if clim[0] == clim[1]:
                clim = (clim[0], clim[0] + 1.0)
        else:
            clim = (0.0, 1.0)
        if self.volume is not None:
            self.volume.parent = None
        self.volume = self.canvas00.volume(data, clim=clim, method="mip", cmap="viridis")
        camera = self.canvas00.camera
        camera.elevation, camera.azimuth, camera.fov = 25.0, 135.0, 45.0
        # Framed when next drawn: only then does the view know its size.
        self._fit_pending = True
        self.canvas.update()
        self.shown = (dob.name, prop_name)
        logger.info(
            "{} shows {} {} as a volume of {} voxels".format(
                self._name, dob.name, prop_name, "x".join(map(str, data.shape))
            )
        )
