"""
Convert parameter dictionaries of cube.
"""
from __future__ import annotations
from gemlo.utils.convert_grid import get_step
from gemlo.utils.convert_grid import ln2xy
from gemlo.utils.convert_grid import xy2ln
from math import sqrt
import numpy as np
import typing
__all__: list[str] = ['get_parm_from_vidx', 'get_sgmt_from_parm', 'get_step', 'get_vidx_from_parm', 'get_vxyz_from_parm', 'get_vxyz_from_vidx', 'ln2xy', 'main', 'np', 'sqrt', 'xy2ln']
def get_parm_from_vidx(dict_vidx, survey, **kwargs):
    """
    dataPrecision=4
    dataVelType='amplitude'
    depthOutput='POSITIVE'
    traceUnit='METERS'
    panelUnit='METERS'
    sampleUnit='MSECS'
    dataUnit='METERSPERSEC'
    Convert vidx to parm
    """
def get_sgmt_from_parm(dict_parm, p1ilno = 0, p1xlno = 0, ilstep = 12.5, xlstep = 12.5):
    """
    Convert parm to sgmt. Default P1_ILNO and P1_XLNO are both zero.
    Default inline and crossline step length is 12.5 meters.
    The segment is derived from the grid and the coordinates held in the parameters.
    """
def get_vidx_from_parm(dict_parm, dict_sgmt):
    """
    Convert parm to vidx (volume index)
    """
def get_vxyz_from_parm(dict_parm):
    """
    Convert parm to vxyz (volume corners xyz)
    """
def get_vxyz_from_vidx(dict_vidx, survey):
    ...
def main():
    ...
_state: typing.Any
