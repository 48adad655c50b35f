"""Regular map grids (horizons in ZMAP+ or IRAP files) and horizons on a project's survey.

A `Surface` is what every horizon file format holds: values on the nodes of a
regular grid, which may be turned about its origin. Reading a file gives one;
sampling it at every inline and crossline of the survey gives the horizon data
object; the survey's own grid of a horizon gives one back for writing out.
"""

import math

import numpy as np

from gemlo.errors import InputError
from gemlo.model.dataobject import DataObject
from gemlo.utils import surveycalc
from gemlo.utils.convert_grid import ln2xy

SLAB_POSITIONS = 1 << 20  # positions sampled at once
# A point this close (in cells) outside the grid's edge takes the edge's value, and a
# null node of less weight is left out rather than blanking the point (more where the
# file's coordinates are coarser): rounding must neither lose the grid's edges nor
# blank the positions beside a null. Wherever plain bilinear gives a value, it stands.
SLACK = 0.01
# The survey's grid goes out as a square grid while no node moves by more than this
# share of a cell: control points rounded to the centimetre skew it a little.
SKEW = 0.005


class Surface:
    """`values[j, i]` (NaN for nulls) at the map node origin + i * xinc + j * yinc.

    The increments run along the grid's own axes, which are turned `rotation`
    degrees anticlockwise from east and north; a negative `yinc` steps southwards.
    `null` is the null value of the file the grid came from, if any; `precision`
    how far (in map units) its origin may be from where it was meant to be.
    """

    def __init__(self, name, values, origin, increments, rotation=0.0, null=None, precision=0.0):
        self.name, self.values, self.null = name, values, null
        self.precision = precision
        self.origin = (float(origin[0]), float(origin[1]))
        self.xinc, self.yinc = (float(v) for v in increments)
        self.rotation = float(rotation)

    @property
    def shape(self):
        """(rows, columns): nodes along y, along x."""
        return self.values.shape

    def _axes(self):
        angle = math.radians(self.rotation)
        return math.cos(angle), math.sin(angle)

    def nodes_xy(self, rows=None):
        """Map x and y of the nodes of `rows` (a slice; default all), each (rows, columns)."""
        rows = range(self.shape[0])[rows or slice(None)]
        cos, sin = self._axes()
        i = np.arange(self.shape[1]) * self.xinc
        j = np.asarray(rows, dtype=float)[:, None] * self.yinc
        return (
            self.origin[0] + i * cos - j * sin,
            self.origin[1] + i * sin + j * cos,
        )

    def corners(self):
        """Map x and y of the four corner nodes: (0, 0), (0, last), (last, 0), (last, last)."""
        cos, sin = self._axes()
        x0, y0 = self.origin
        corners = []
        for j in (0, self.shape[0] - 1):
            for i in (0, self.shape[1] - 1):
                u, v = i * self.xinc, j * self.yinc
                corners.append((x0 + u * cos - v * sin, y0 + u * sin + v * cos))
        return corners

    def extent(self):
        """(x min, x max, y min, y max) of the nodes."""
        x, y = np.array(self.corners()).T
        return x.min(), x.max(), y.min(), y.max()

    def sample(self, xy):
        """Bilinear values at the (n, 2) map points `xy`; NaN off the grid or next to a null."""
        xy = np.asarray(xy, dtype=float)
        cos, sin = self._axes()
        dx, dy = xy[:, 0] - self.origin[0], xy[:, 1] - self.origin[1]
        i = (dx * cos + dy * sin) / self.xinc
        j = (dy * cos - dx * sin) / self.yinc
        slack = SLACK + self.precision / min(abs(self.xinc), abs(self.yinc))
        for index, size in ((i, self.shape[1]), (j, self.shape[0])):
            index[(index < 0) & (index > -slack)] = 0
            index[(index > size - 1) & (index < size - 1 + slack)] = size - 1
        return _bilinear(self.values, j, i, slack)

    def unrotated(self, progress=None):
        """The same surface on a grid along x and y with yinc > 0.

        A grid turned by a multiple of 90 degrees keeps its nodes. Any other is
        sampled on the bounding grid of its nodes at its finer spacing; nodes off the
        grid are null. `progress(done, total)` hears of every slab of rows.
        """
        quarter = self.rotation / 90.0
        if abs(quarter - round(quarter)) < 1e-9:
            turns = round(quarter) % 4
            sign = 1 if turns in (0, 1) else -1
            if turns % 2 == 0:  # columns along x, rows along y
                values, step_x, step_y = self.values, sign * self.xinc, sign * self.yinc
            else:  # columns along y, rows along -x
                values, step_x, step_y = self.values.T, -sign * self.yinc, sign * self.xinc
            if step_x < 0:
                values = values[:, ::-1]
            if step_y < 0:
                values = values[::-1]
            x_min, _x_max, y_min, _y_max = self.extent()
            increments = (abs(step_x), abs(step_y))
            return Surface(self.name, values, (x_min, y_min), increments, 0.0, self.null)
        x_min, x_max, y_min, y_max = self.extent()
        step = min(abs(self.xinc), abs(self.yinc))
        columns = math.floor((x_max - x_min) / step + 1e-9) + 1
        rows = math.floor((y_max - y_min) / step + 1e-9) + 1
        values = np.empty((rows, columns))
        grid = Surface(self.name, values, (x_min, y_min), (step, step), 0.0, self.null)
        slab = max(1, SLAB_POSITIONS // columns)
        for start in range(0, rows, slab):
            x, y = grid.nodes_xy(slice(start, start + slab))
            values[start : start + slab] = self.sample(
                np.column_stack([x.ravel(), y.ravel()])
            ).reshape(x.shape)
            if progress is not None:
                progress(min(start + slab, rows), rows)
        return grid


def _bilinear(values, j, i, slack):
    """Bilinear values at the fractional node indices (j, i); NaN off the grid.

    A null node is left out, the others weighing for it, when the point lies within
    `slack` of the row or column of nodes across the cell from it.
    """
    rows, columns = values.shape
    inside = (i >= 0) & (i <= columns - 1) & (j >= 0) & (j <= rows - 1)
    i, j = np.where(inside, i, 0.0), np.where(inside, j, 0.0)
    i0 = np.minimum(i.astype(np.intp), columns - 2)
    j0 = np.minimum(j.astype(np.intp), rows - 2)
    fi, fj = i - i0, j - j0
    total = np.zeros(i.shape)
    weights = np.zeros(i.shape)
    for dj, wj in ((0, 1 - fj), (1, fj)):
        for di, wi in ((0, 1 - fi), (1, fi)):
            weight = wj * wi
            node = values[j0 + dj, i0 + di]
            null = np.isnan(node)
            inside &= ~(null & (np.minimum(wj, wi) >= slack))
            weight = np.where(null, 0.0, weight)
            total += weight * np.where(null, 0.0, node)
            weights += weight
    with np.errstate(invalid="ignore", divide="ignore"):
        result = total / weights
    result[~inside] = np.nan
    return result


def survey_lines(sgmt):
    """The volume index (IL_*, XL_*; DP_* zero) of every line of the survey `sgmt`."""
    vidx = {}
    for axis, first, last in (("IL", "P1_ILNO", "P3_ILNO"), ("XL", "P1_XLNO", "P2_XLNO")):
        a, b = int(round(sgmt[first])), int(round(sgmt[last]))
        step = 1 if b >= a else -1
        vidx.update(
            {
                f"{axis}_FRST": a,
                f"{axis}_LAST": b,
                f"{axis}_NCRT": step,
                f"{axis}_AMNT": abs(b - a) + 1,
            }
        )
    vidx.update({"DP_FRST": 0, "DP_LAST": 0, "DP_NCRT": 0, "DP_AMNT": 1})
    return vidx


def horizon(surface, survey, sgmt, name, prop_name="z", source=None, progress=None):
    """The horizon data object of `surface` on the survey: inline x crossline values.

    Each position takes the grid's value at its map coordinates; positions off
    the grid are NaN. A grid that covers none of the survey raises InputError.
    `progress(done, total)` hears of every slab of inlines; what it raises ends the work.
    """
    vidx = survey_lines(sgmt)
    il = vidx["IL_FRST"] + vidx["IL_NCRT"] * np.arange(vidx["IL_AMNT"])
    xl = vidx["XL_FRST"] + vidx["XL_NCRT"] * np.arange(vidx["XL_AMNT"])
    values = np.empty((il.size, xl.size), dtype=np.float32)
    # A slab of inlines at a time: a large survey's coordinates are never all in memory.
    rows = max(1, SLAB_POSITIONS // xl.size)
    for start in range(0, il.size, rows):
        block = il[start : start + rows]
        lines = np.column_stack([np.repeat(block, xl.size), np.tile(xl, block.size)])
        values[start : start + rows] = surface.sample(ln2xy(lines, survey=survey)).reshape(
            block.size, xl.size
        )
        if progress is not None:
            progress(start + block.size, il.size)
    where = source or surface.name
    if not np.isfinite(values).any():
        corners = surveycalc.get_vxyz_from_vidx(vidx, survey)
        x_min, x_max, y_min, y_max = surface.extent()
        raise InputError(
            where,
            f"the grid (x {x_min:g} to {x_max:g}, y {y_min:g} to {y_max:g}) holds no value "
            f"over the survey, whose origin is at x {corners['AXIS_ORX']:.0f}, "
            f"y {corners['AXIS_ORY']:.0f}",
        )
    meta = {
        "il0": int(il[0]),
        "xl0": int(xl[0]),
        "il_step": vidx["IL_NCRT"],
        "xl_step": vidx["XL_NCRT"],
        "vidx": vidx,
        "vxyz": surveycalc.get_vxyz_from_vidx(vidx, survey),
        "grid": {
            "name": surface.name,
            "shape": list(surface.shape),
            "origin": list(surface.origin),
            "increments": [surface.xinc, surface.yinc],
            "rotation": surface.rotation,
            "null_value": surface.null,
        },
        "source": str(source) if source else None,
    }
    prop = {prop_name: {"array2d": values, "unit": ""}}
    return DataObject(name, prop, "array2d", meta, viewable_in_plot=False)


def surface_of_horizon(dob, survey, prop_name=None):
    """The survey's grid of the horizon `dob` as a Surface: one node per inline and crossline.

    Columns run along the crosslines; rows along the inlines, in the order that
    makes the grid's y axis a quarter turn anticlockwise from its x axis.
    """
    if dob.prop_array_key != "array2d" or not dob.prop:
        raise ValueError(f"{dob.name} is not a horizon (a map of values on the survey)")
    if survey is None:
        raise ValueError("the project has no survey to place the horizon on")
    prop_name = prop_name or next(iter(dob.prop))
    values = np.asarray(dob.array(prop_name), dtype=np.float64)
    meta = dob.meta
    if values.ndim != 2 or not {"il0", "xl0", "il_step", "xl_step"} <= meta.keys():
        raise ValueError(f"{dob.name} does not say which inlines and crosslines it covers")
    along_xl = np.array(survey.step["xline"]) * meta["xl_step"]
    along_il = np.array(survey.step["iline"]) * meta["il_step"]
    il0 = meta["il0"]
    if along_xl[0] * along_il[1] - along_xl[1] * along_il[0] < 0:
        # The inlines run clockwise from the crosslines: start at the last one.
        il0 += meta["il_step"] * (values.shape[0] - 1)
        values = values[::-1]
    origin = ln2xy(np.array([[il0, meta["xl0"]]], dtype=float), survey=survey)[0]
    rotation = math.degrees(math.atan2(along_xl[1], along_xl[0])) % 360.0
    increments = (float(np.linalg.norm(along_xl)), float(np.linalg.norm(along_il)))
    surface = Surface(dob.name, values, origin, increments, rotation)
    il_far = il0 + (meta["il_step"] if il0 == meta["il0"] else -meta["il_step"]) * (
        values.shape[0] - 1
    )
    xl_far = meta["xl0"] + meta["xl_step"] * (values.shape[1] - 1)
    far = ln2xy(np.array([[il_far, xl_far]], dtype=float), survey=survey)[0]
    moved = math.dist(far, surface.corners()[3])
    if moved > SKEW * min(increments):
        raise ValueError(
            "the survey's inlines and crosslines are not at right angles, as a grid file's "
            f"nodes are (its far corner would move by {moved:.2f})"
        )
    return surface
