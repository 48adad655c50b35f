"""The sample project: a rotated survey grid and a synthetic seismic cube on it.

The cube comes from a layered earth model: dipping layers over a gentle
dome, velocity and density per layer, the reflectivity of the resulting
impedance convolved with a Ricker wavelet. Fixed seed, so every run is alike.
"""

import numpy as np

from gemlo.model.dataobject import DataObject
from gemlo.utils.convert_grid import Survey, ln2xy, xy2ln

IL0, XL0 = 1000, 2000
N_IL, N_XL, N_Z = 60, 80, 120
BIN = 25.0  # m, both directions
ORIGIN = (605000.0, 6070000.0)  # x, y of inline IL0, crossline XL0
AZIMUTH = 32.0  # degrees from x (east) to the direction of increasing inline
DZ = 4.0  # ms
SEED = 20240611

# Layer tops in samples at the origin trace, with their dips in samples per inline and
# per crossline, and the velocity step (m/s) below each top.
_TOPS = [
    (16, 0.10, 0.05, 250),
    (34, 0.14, 0.06, 300),
    (52, 0.18, 0.04, 200),
    (70, 0.22, 0.08, 350),
    (92, 0.12, 0.10, 400),
]
_V_TOP = 1700.0  # m/s at the top of the cube
_GRADIENT = 0.8  # m/s per ms within the layers
_DOME = 7.0  # samples of uplift at the crest


def _cm(value):
    # Coordinates in a real survey's files are rounded to the centimetre.
    return round(float(value), 2)


def sample_sgmt():
    """Return the three control points of the sample grid (a segment dictionary)."""
    a = np.radians(AZIMUTH)
    origin = np.array(ORIGIN)
    il_step = BIN * np.array([np.cos(a), np.sin(a)])
    xl_step = BIN * np.array([-np.sin(a), np.cos(a)])
    p2 = origin + (N_XL - 1) * xl_step
    p3 = origin + (N_IL - 1) * il_step
    return {
        "P1_ILNO": IL0,
        "P1_XLNO": XL0,
        "P1_CRSX": _cm(origin[0]),
        "P1_CRSY": _cm(origin[1]),
        "P2_ILNO": IL0,
        "P2_XLNO": XL0 + N_XL - 1,
        "P2_CRSX": _cm(p2[0]),
        "P2_CRSY": _cm(p2[1]),
        "P3_ILNO": IL0 + N_IL - 1,
        "P3_XLNO": XL0,
        "P3_CRSX": _cm(p3[0]),
        "P3_CRSY": _cm(p3[1]),
    }


def sample_survey():
    """Return (Survey, segment dictionary) of the sample grid."""
    sgmt = sample_sgmt()
    return Survey.from_sgmt(sgmt, name="sample"), sgmt


def ricker(frequency, dt, half_length):
    """Return the Ricker wavelet of peak `frequency` (Hz) sampled every `dt` seconds."""
    t = np.arange(-half_length, half_length + 1) * dt
    a = (np.pi * frequency * t) ** 2
    return (1 - 2 * a) * np.exp(-a)


def _velocity():
    il = np.arange(N_IL, dtype=np.float32)[:, None, None]
    xl = np.arange(N_XL, dtype=np.float32)[None, :, None]
    z = np.arange(N_Z, dtype=np.float32)[None, None, :]
    dome = _DOME * np.exp(-((il - 34) ** 2 / 288 + (xl - 46) ** 2 / 450))
    velocity = _V_TOP + _GRADIENT * DZ * z
    for k, (top, dip_il, dip_xl, dv) in enumerate(_TOPS):
        # Deeper layers carry more of the dome, as a fold does.
        horizon = top + dip_il * il + dip_xl * xl - dome * (k + 1) / len(_TOPS)
        # The fraction of each sample below the top keeps dipping layers smooth
        # instead of stepping a whole sample at a time.
        velocity = velocity + dv * np.clip(z - horizon + 0.5, 0.0, 1.0)
    return velocity.astype(np.float32)


def sample_cube(name="cube"):
    """Return the synthetic seismic cube with amplitude, velocity, density and impedance."""
    rng = np.random.default_rng(SEED)
    velocity = _velocity()
    density = (0.31 * velocity**0.25).astype(np.float32)  # Gardner, g/cm3
    impedance = velocity * density
    reflectivity = np.zeros_like(impedance)
    upper, lower = impedance[..., :-1], impedance[..., 1:]
    reflectivity[..., 1:] = (lower - upper) / (lower + upper)
    wavelet = ricker(30.0, DZ / 1000, 16)
    n = N_Z + wavelet.size - 1
    trace = np.fft.irfft(np.fft.rfft(reflectivity, n) * np.fft.rfft(wavelet, n), n)
    amplitude = trace[..., 16 : 16 + N_Z]
    amplitude /= np.abs(amplitude).max()
    amplitude += 0.03 * rng.standard_normal(amplitude.shape)
    prop = {
        "amplitude": {"array3d": amplitude.astype(np.float32), "unit": ""},
        "velocity": {"array3d": velocity, "unit": "m/s"},
        "density": {"array3d": density, "unit": "g/cm3"},
        "impedance": {"array3d": impedance.astype(np.float32), "unit": "m/s*g/cm3"},
    }
    meta = {"il0": IL0, "xl0": XL0, "z0": 0.0, "dz": DZ, "z_unit": "ms"}
    return DataObject(name, prop, "array3d", meta, viewable_in_plot=False)


def sample_well(cube, name="well_A", il=1034, xl=2046):
    """Return a well log through the cube: velocity and density against depth.

    The well is vertical at (inline `il`, crossline `xl`); depth comes from
    integrating the cube's velocity over two-way time; the logs carry the
    small-scale scatter that real logs have and a seismic cube does not.
    """
    rng = np.random.default_rng(SEED + 1)
    i, j = il - cube.meta["il0"], xl - cube.meta["xl0"]
    velocity = np.asarray(cube.array("velocity")[i, j], dtype=np.float64)
    velocity = velocity * (1 + 0.015 * rng.standard_normal(velocity.size))
    dt = cube.meta["dz"] / 1000 / 2  # one-way, s
    depth = np.concatenate([[0.0], np.cumsum(velocity[:-1] * dt)])
    density = 0.31 * velocity**0.25
    prop = {
        "velocity": {"array1d": velocity.astype(np.float32), "unit": "m/s"},
        "density": {"array1d": density.astype(np.float32), "unit": "g/cm3"},
        "depth": {"array1d": depth.astype(np.float32), "unit": "m"},
    }
    meta = {
        "il": il,
        "xl": xl,
        "plot_x": "velocity",
        "plot_y": "depth",
        "plot_y_down": True,
        "color": "#c92a2a",
    }
    return DataObject(name, prop, "array1d", meta)


# The tour's LAS well: where it stands on the sample survey, the depths it logs.
WELL_LINES = (1018, 2030)  # inline, crossline
WELL_TOP, WELL_BASE, WELL_STEP = 1350.0, 1650.0, 0.1524  # m; half a foot between samples
WELL_NULL = -999.25


def _smooth(rng, n, width, scale):
    """Correlated noise: white noise averaged over `width` samples."""
    kernel = np.hanning(width)
    return scale * np.convolve(rng.standard_normal(n), kernel / kernel.sum(), "same") * width**0.5


def sample_las_text(name="GEM-2 ST1", lines=WELL_LINES):
    """A LAS 2.0 file of a vertical well on the sample survey, with wrapped data lines.

    Sand and shale beds (gamma ray, density, neutron, sonic, resistivity, caliper),
    nulls where a real log has them: above the neutron tool's first reading and
    over a washout that spoilt the sonic.
    """
    import io

    import lasio

    rng = np.random.default_rng(SEED + 2)
    depth = np.round(np.arange(WELL_TOP, WELL_BASE + WELL_STEP / 2, WELL_STEP), 4)
    n = depth.size
    # Beds: a shale volume that cycles slowly (coarsening and fining upwards), with
    # a few sharp sand bodies cut into it.
    vsh = 0.5 + _smooth(rng, n, 201, 0.18) + _smooth(rng, n, 31, 0.02)
    tops = np.sort(rng.uniform(WELL_TOP, WELL_BASE, 8))
    vsh = np.where(np.searchsorted(tops, depth) % 2 == 1, 0.55 * vsh, vsh)
    vsh = np.clip(vsh, 0.05, 0.95)
    compaction = (depth - WELL_TOP) / (WELL_BASE - WELL_TOP)
    porosity = np.clip(0.30 - 0.08 * compaction - 0.18 * vsh + _smooth(rng, n, 7, 0.01), 0.02, 0.4)
    gr = 18 + 115 * vsh + _smooth(rng, n, 9, 0.3)
    rhob = 2.71 * (1 - porosity) + 1.05 * porosity - 0.08 * vsh
    nphi = porosity + 0.22 * vsh + _smooth(rng, n, 5, 0.01)
    dt = 55 + 140 * porosity + 25 * vsh + _smooth(rng, n, 5, 1.5)  # us/ft
    ild = np.exp(np.log(2.0) + 3.2 * (1 - vsh) * (depth > 1520) * (depth < 1545) - 1.2 * vsh)
    ild = ild * np.exp(_smooth(rng, n, 9, 0.08)) + 0.5
    cali = 8.5 + 0.15 * np.abs(_smooth(rng, n, 21, 1.0))
    washout = (depth > 1455) & (depth < 1462)
    cali[washout] += 3.5
    dt[washout] = np.nan
    nphi[depth < 1380] = np.nan
    x, y = ln2xy(np.array(lines), survey=sample_survey()[0])

    las = lasio.LASFile()
    well = las.well
    well["STRT"].value, well["STOP"].value, well["STEP"].value = depth[0], depth[-1], WELL_STEP
    for key in ("STRT", "STOP", "STEP"):
        well[key].unit = "M"
    well["NULL"].value = WELL_NULL
    well["COMP"].value = "GEMLO EXPLORATION"
    well["WELL"].value = name
    well["FLD"].value = "SAMPLE FIELD"
    well["LOC"].value = f"IL {lines[0]} XL {lines[1]}"
    well["SRVC"].value = "SYNTHETIC LOGGING"
    well["DATE"].value = "2024-06-11"
    well["UWI"].value = "00/12-34-056-07W5/0"
    well.append(lasio.HeaderItem("XCOORD", "M", round(float(x), 2), "X coordinate"))
    well.append(lasio.HeaderItem("YCOORD", "M", round(float(y), 2), "Y coordinate"))
    for mnemonic, unit, values, description in (
        ("DEPT", "M", depth, "Measured depth"),
        ("GR", "GAPI", gr, "Gamma ray"),
        ("RHOB", "G/C3", rhob, "Bulk density"),
        ("NPHI", "V/V", nphi, "Neutron porosity"),
        ("DT", "US/F", dt, "Compressional slowness"),
        ("ILD", "OHMM", ild, "Deep induction resistivity"),
        ("CALI", "IN", cali, "Caliper"),
        ("SP", "MV", -40 * (1 - vsh) + _smooth(rng, n, 31, 2.0), "Spontaneous potential"),
    ):
        las.append_curve(mnemonic, values, unit=unit, descr=description)
    text = io.StringIO()
    las.write(text, version=2.0, wrap=True, fmt="%.4f", len_numeric_field=11)
    return text.getvalue()


def horizon_time(x, y):
    """Two-way time (ms) of the top of the third layer of the sample cube at map (x, y)."""
    lines = xy2ln(np.column_stack([np.ravel(x), np.ravel(y)]), sample_sgmt())
    il, xl = lines[:, 0] - IL0, lines[:, 1] - XL0
    top, dip_il, dip_xl, _dv = _TOPS[2]
    dome = _DOME * np.exp(-((il - 34) ** 2 / 288 + (xl - 46) ** 2 / 450))
    return ((top + dip_il * il + dip_xl * xl - dome * 3 / len(_TOPS)) * DZ).reshape(np.shape(x))


def sample_zmap_text(name="TOP_C_TWT", spacing=50.0):
    """A ZMAP+ grid of `horizon_time` over the sample survey, with a patch of nulls
    where a fault cut the interpretation."""
    import io

    from gemlo.io.zmap import write_grid

    corners = np.array(
        [[0, 0], [0, N_XL - 1], [N_IL - 1, 0], [N_IL - 1, N_XL - 1]], dtype=float
    ) + (IL0, XL0)
    xy = ln2xy(corners, survey=sample_survey()[0])
    (x0, y0), (x1, y1) = (
        np.floor(xy.min(0) / spacing) * spacing,
        np.ceil(xy.max(0) / spacing) * spacing,
    )
    x = np.arange(x0, x1 + spacing / 2, spacing)
    y = np.arange(y1, y0 - spacing / 2, -spacing)  # north to south, as the file runs
    gx, gy = np.meshgrid(x, y)
    z = horizon_time(gx, gy)
    fault = np.hypot(gx - (x0 + 0.7 * (x1 - x0)), gy - (y0 + 0.35 * (y1 - y0))) < 180
    z[fault] = np.nan
    text = io.StringIO()
    write_grid(text, z, (x[0], x[-1]), (y[-1], y[0]), name=name, null=-99999.0)
    return text.getvalue()
