"""The survey conversions written in plain Python over the host's grid conversions.

The reference the compiled module is measured against (bench_surveycalc.py)
and compared with on random inputs (tests/test_surveycalc.py), and the grid
both use. The tests import it through pytest's `pythonpath` setting; the
bench, run as a script, finds it beside itself.
"""

from math import sqrt

import numpy as np

from gemlo.utils.convert_grid import get_step, ln2xy, xy2ln

# A rotated grid (3-4-5 triangles, so the geometry is exact in binary): its
# segment dictionary, and a volume on it.
ROTATED_SGMT = {
    "P1_ILNO": 1000,
    "P1_XLNO": 2000,
    "P1_CRSX": 512000.0,
    "P1_CRSY": 6780000.0,
    "P2_ILNO": 1000,
    "P2_XLNO": 2400,
    "P2_CRSX": 508000.0,
    "P2_CRSY": 6783000.0,
    "P3_ILNO": 1200,
    "P3_XLNO": 2000,
    "P3_CRSX": 515000.0,
    "P3_CRSY": 6784000.0,
}
ROTATED_VIDX = {
    "IL_FRST": 1000,
    "IL_LAST": 1200,
    "IL_NCRT": 2,
    "IL_AMNT": 101,
    "XL_FRST": 2000,
    "XL_LAST": 2400,
    "XL_NCRT": 4,
    "XL_AMNT": 101,
    "DP_FRST": 0,
    "DP_LAST": 2000,
    "DP_NCRT": 4,
    "DP_AMNT": 501,
}


def get_sgmt_from_parm(dict_parm, p1ilno=0, p1xlno=0, ilstep=12.5, xlstep=12.5):
    sgmt = {
        "P1_ILNO": p1ilno,
        "P1_XLNO": p1xlno,
        "P1_CRSX": dict_parm["TRACE_START"],
        "P1_CRSY": dict_parm["PANEL_START"],
    }
    lenx = dict_parm["TRDX"] * (dict_parm["NTRACE"] - 1)
    leny = dict_parm["TRDY"] * (dict_parm["NTRACE"] - 1)
    steps = int(sqrt(lenx**2 + leny**2) / xlstep)
    sgmt["P2_ILNO"] = p1ilno
    sgmt["P2_XLNO"] = p1xlno + steps
    sgmt["P2_CRSX"] = sgmt["P1_CRSX"] + lenx
    sgmt["P2_CRSY"] = sgmt["P1_CRSY"] + leny
    lenx = dict_parm["PNDX"] * (dict_parm["NPANEL"] - 1)
    leny = dict_parm["PNDY"] * (dict_parm["NPANEL"] - 1)
    steps = int(sqrt(lenx**2 + leny**2) / ilstep)
    sgmt["P3_ILNO"] = p1ilno + steps
    sgmt["P3_XLNO"] = p1xlno
    sgmt["P3_CRSX"] = sgmt["P1_CRSX"] + lenx
    sgmt["P3_CRSY"] = sgmt["P1_CRSY"] + leny
    return sgmt


def get_vxyz_from_vidx(dict_vidx, survey):
    il0, xl0 = dict_vidx["IL_FRST"], dict_vidx["XL_FRST"]
    xl1, il1 = dict_vidx["XL_LAST"], dict_vidx["IL_LAST"]
    xy = ln2xy(np.array([[il0, xl0], [il0, xl1], [il1, xl0]]), survey=survey)
    orx, ory = xy[0]
    xlx, xly = xy[1]
    ilx, ily = xy[2]
    z = dict_vidx["DP_FRST"]
    return {
        "AXIS_ORX": orx,
        "AXIS_ORY": ory,
        "AXIS_ORZ": z,
        "AXIS_DPX": orx,
        "AXIS_DPY": ory,
        "AXIS_DPZ": z + dict_vidx["DP_NCRT"] * (dict_vidx["DP_AMNT"] - 1),
        "AXIS_XLX": xlx,
        "AXIS_XLY": xly,
        "AXIS_XLZ": z,
        "AXIS_ILX": ilx,
        "AXIS_ILY": ily,
        "AXIS_ILZ": z,
    }


def get_parm_from_vidx(dict_vidx, survey, **kwargs):
    ildx, ildy = survey.step["iline"]
    xldx, xldy = survey.step["xline"]
    parm = {}
    parm["TRDX"] = xldx * dict_vidx["XL_NCRT"]
    parm["TRDY"] = xldy * dict_vidx["XL_NCRT"]
    parm["PNDX"] = ildx * dict_vidx["IL_NCRT"]
    parm["PNDY"] = ildy * dict_vidx["IL_NCRT"]
    parm["NTRACE"] = dict_vidx["XL_AMNT"]
    parm["NPANEL"] = dict_vidx["IL_AMNT"]
    parm["NSAMPLE"] = dict_vidx["DP_AMNT"]
    xy = ln2xy(np.array([dict_vidx["IL_FRST"], dict_vidx["XL_FRST"]]), survey=survey)
    parm["TRACE_START"] = xy[0]
    parm["PANEL_START"] = xy[1]
    parm["SAMPLE_START"] = dict_vidx["DP_FRST"]
    parm["TRACE_INC"] = sqrt(parm["TRDX"] ** 2 + parm["TRDY"] ** 2)
    parm["PANEL_INC"] = sqrt(parm["PNDX"] ** 2 + parm["PNDY"] ** 2)
    parm["SAMPLE_INC"] = dict_vidx["DP_NCRT"]
    parm["DATA_PRECISION"] = kwargs.get("dataPrecision", 4)
    parm["DATA_VEL_TYPE"] = kwargs.get("dataVelType", "amplitude")
    parm["DEPTH_OUTPUT"] = kwargs.get("depthOutput", "POSITIVE")
    parm["TRACE_UNIT"] = kwargs.get("traceUnit", "METERS")
    parm["PANEL_UNIT"] = kwargs.get("panelUnit", "METERS")
    parm["SAMPLE_UNIT"] = kwargs.get("sampleUnit", "MSECS")
    parm["DATA_UNIT"] = kwargs.get("dataUnit", "METERSPERSEC")
    return parm


def get_vidx_from_parm(dict_parm, dict_sgmt):
    dp_frst, dp_ncrt, dp_amnt = (
        dict_parm["SAMPLE_START"],
        dict_parm["SAMPLE_INC"],
        dict_parm["NSAMPLE"],
    )
    dp_last = dp_frst + dp_ncrt * (dp_amnt - 1)
    xl_amnt, il_amnt = dict_parm["NTRACE"], dict_parm["NPANEL"]
    il_frst, xl_frst = xy2ln(
        np.array([dict_parm["TRACE_START"], dict_parm["PANEL_START"]]), dict_sgmt
    )
    ildx, ildy, xldx, xldy = get_step(dict_sgmt)
    if xldx != 0:
        xl_ncrt = round(dict_parm["TRDX"] / xldx)
    elif xldy != 0:
        xl_ncrt = round(dict_parm["TRDY"] / xldy)
    else:
        raise ValueError("Both XLDX and XLDY are zero.")
    xl_last = xl_frst + xl_ncrt * (xl_amnt - 1)
    if ildx != 0:
        il_ncrt = round(dict_parm["PNDX"] / ildx)
    elif ildy != 0:
        il_ncrt = round(dict_parm["PNDY"] / ildy)
    else:
        raise ValueError("Both ILDX and ILDY are zero.")
    il_last = il_frst + il_ncrt * (il_amnt - 1)
    return {
        "IL_FRST": int(il_frst),
        "IL_LAST": int(il_last),
        "IL_NCRT": int(il_ncrt),
        "IL_AMNT": int(il_amnt),
        "XL_FRST": int(xl_frst),
        "XL_LAST": int(xl_last),
        "XL_NCRT": int(xl_ncrt),
        "XL_AMNT": int(xl_amnt),
        "DP_FRST": int(dp_frst),
        "DP_LAST": int(dp_last),
        "DP_NCRT": int(dp_ncrt),
        "DP_AMNT": int(dp_amnt),
    }


def get_vxyz_from_parm(dict_parm):
    orx, ory, orz = dict_parm["TRACE_START"], dict_parm["PANEL_START"], dict_parm["SAMPLE_START"]
    return {
        "AXIS_ORX": orx,
        "AXIS_ORY": ory,
        "AXIS_ORZ": orz,
        "AXIS_DPX": orx,
        "AXIS_DPY": ory,
        "AXIS_DPZ": orz + dict_parm["SAMPLE_INC"] * (dict_parm["NSAMPLE"] - 1),
        "AXIS_XLX": orx + dict_parm["TRDX"] * (dict_parm["NTRACE"] - 1),
        "AXIS_XLY": ory + dict_parm["TRDY"] * (dict_parm["NTRACE"] - 1),
        "AXIS_XLZ": orz,
        "AXIS_ILX": orx + dict_parm["PNDX"] * (dict_parm["NPANEL"] - 1),
        "AXIS_ILY": ory + dict_parm["PNDY"] * (dict_parm["NPANEL"] - 1),
        "AXIS_ILZ": orz,
    }
