"""Affine geometry of a seismic survey grid.

A grid is described by a segment dictionary: three control points P1, P2, P3,
each with inline number (ILNO), crossline number (XLNO) and map x, y
(CRSX, CRSY). P2 shares P1's inline, P3 shares P1's crossline, so the two
displacements per line number follow from them and the grid may be rotated.
"""

import numpy as np


def get_step(sgmt):
    """Return (ILDX, ILDY, XLDX, XLDY): map displacement per inline and per crossline number.

    An axis whose two control points share their line number has no defined
    step and gives (0.0, 0.0).
    """
    dil = sgmt["P3_ILNO"] - sgmt["P1_ILNO"]
    dxl = sgmt["P2_XLNO"] - sgmt["P1_XLNO"]
    ildx = ildy = xldx = xldy = 0.0
    if dil != 0:
        ildx = (sgmt["P3_CRSX"] - sgmt["P1_CRSX"]) / dil
        ildy = (sgmt["P3_CRSY"] - sgmt["P1_CRSY"]) / dil
    if dxl != 0:
        xldx = (sgmt["P2_CRSX"] - sgmt["P1_CRSX"]) / dxl
        xldy = (sgmt["P2_CRSY"] - sgmt["P1_CRSY"]) / dxl
    return float(ildx), float(ildy), float(xldx), float(xldy)


def _steps_matrix(ildx, ildy, xldx, xldy):
    # Columns: displacement per inline number, per crossline number.
    matrix = np.array([[ildx, xldx], [ildy, xldy]], dtype=float)
    if abs(np.linalg.det(matrix)) < 1e-12 * max(1.0, np.abs(matrix).max() ** 2):
        raise ValueError("the grid's inline and crossline steps are parallel or zero")
    return matrix


class Survey:
    """The survey of a project: maps line numbers to map coordinates and back.

    `origin` is (inline, crossline, x, y) of one grid point; `step` holds the
    displacement pairs "iline" and "xline" per increase of one line number.
    """

    def __init__(self, origin, iline_step, xline_step, name="survey"):
        il0, xl0, x0, y0 = origin
        self.name = name
        self.origin = (float(il0), float(xl0), float(x0), float(y0))
        self.step = {
            "iline": tuple(map(float, iline_step)),
            "xline": tuple(map(float, xline_step)),
        }
        self._matrix = _steps_matrix(*self.step["iline"], *self.step["xline"])

    @classmethod
    def from_sgmt(cls, sgmt, name="survey"):
        """Build the survey from three control points (a segment dictionary)."""
        ildx, ildy, xldx, xldy = get_step(sgmt)
        origin = (sgmt["P1_ILNO"], sgmt["P1_XLNO"], sgmt["P1_CRSX"], sgmt["P1_CRSY"])
        return cls(origin, (ildx, ildy), (xldx, xldy), name=name)

    def sgmt(self, il_last, xl_last):
        """Return the segment dictionary of this grid up to the given last lines."""
        il0, xl0 = self.origin[:2]
        (x1, y1), (x2, y2), (x3, y3) = ln2xy(
            np.array([[il0, xl0], [il0, xl_last], [il_last, xl0]]), survey=self
        )
        return {
            "P1_ILNO": il0,
            "P1_XLNO": xl0,
            "P1_CRSX": x1,
            "P1_CRSY": y1,
            "P2_ILNO": il0,
            "P2_XLNO": xl_last,
            "P2_CRSX": x2,
            "P2_CRSY": y2,
            "P3_ILNO": il_last,
            "P3_XLNO": xl0,
            "P3_CRSX": x3,
            "P3_CRSY": y3,
        }

    def __repr__(self):
        il0, xl0, x0, y0 = self.origin
        return (
            f"Survey({self.name!r}, origin IL {il0:g} XL {xl0:g} at ({x0:g}, {y0:g}), "
            f"iline step {self.step['iline']}, xline step {self.step['xline']})"
        )


def ln2xy(lines, survey):
    """Map (inline, crossline) to (x, y): one pair of shape (2,), or rows of shape (n, 2)."""
    lines = np.asarray(lines, dtype=float)
    if lines.shape[-1:] != (2,) or lines.ndim > 2:
        raise ValueError(
            f"expected (inline, crossline) pairs, got an array of shape {lines.shape}"
        )
    il0, xl0, x0, y0 = survey.origin
    offsets = lines - (il0, xl0)
    return offsets @ survey._matrix.T + (x0, y0)


def xy2ln(xy, sgmt):
    """Map (x, y) to fractional (inline, crossline) on the grid of the segment dictionary."""
    xy = np.asarray(xy, dtype=float)
    if xy.shape[-1:] != (2,) or xy.ndim > 2:
        raise ValueError(f"expected (x, y) pairs, got an array of shape {xy.shape}")
    matrix = _steps_matrix(*get_step(sgmt))
    origin = np.array([sgmt["P1_CRSX"], sgmt["P1_CRSY"]], dtype=float)
    lines = np.linalg.solve(matrix, (xy - origin).T).T
    return lines + (sgmt["P1_ILNO"], sgmt["P1_XLNO"])
