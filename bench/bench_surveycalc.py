"""Per-call time of each survey conversion against the same conversion in Python.

The Python versions below call the same host grid conversions, so the ratio
shows what the compiled module costs or saves around them. Target: every
ratio (compiled / Python) at most 1.0.

    PYTHONPATH=host python bench/bench_surveycalc.py [--number N] [--repeat R]
"""

import argparse
import time
import timeit

import numpy as np

import surveycalc_reference as reference
from gemlo.utils import surveycalc
from gemlo.utils.convert_grid import Survey


def cases():
    """(label, conversion, arguments) on a rotated grid of the real host."""
    sgmt, vidx = reference.ROTATED_SGMT, reference.ROTATED_VIDX
    survey = Survey.from_sgmt(sgmt)
    # As converted: the origin holds the numpy scalars of ln2xy.
    parm = reference.get_parm_from_vidx(vidx, survey)
    # As read from a parameter file: plain ints and floats.
    read = {k: v.item() if isinstance(v, np.generic) else v for k, v in parm.items()}
    return [
        ("get_sgmt_from_parm", "get_sgmt_from_parm", (parm,)),
        ("  ... file values", "get_sgmt_from_parm", (read,)),
        ("get_vxyz_from_vidx", "get_vxyz_from_vidx", (vidx, survey)),
        ("get_parm_from_vidx", "get_parm_from_vidx", (vidx, survey)),
        ("get_vidx_from_parm", "get_vidx_from_parm", (parm, sgmt)),
        ("get_vxyz_from_parm", "get_vxyz_from_parm", (parm,)),
        ("  ... file values", "get_vxyz_from_parm", (read,)),
    ]


def per_call(compiled, python, args, number, repeat):
    """Best per-call CPU times of both.

    CPU time leaves out what other processes take on a busy machine, and
    alternating runs share whatever load remains.
    """
    best_c = best_p = float("inf")
    for _ in range(repeat):
        best_c = min(
            best_c, timeit.timeit(lambda: compiled(*args), number=number, timer=time.process_time)
        )
        best_p = min(
            best_p, timeit.timeit(lambda: python(*args), number=number, timer=time.process_time)
        )
    return best_c / number, best_p / number


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--number", type=int, default=20000)
    parser.add_argument("--repeat", type=int, default=7)
    opts = parser.parse_args()

    worst = 0.0
    print(f"{'conversion':<22}{'compiled':>12}{'python':>12}{'ratio':>8}")
    for label, name, args in cases():
        compiled, python = getattr(surveycalc, name), getattr(reference, name)
        assert compiled(*args) == python(*args), label
        t_c, t_p = per_call(compiled, python, args, opts.number, opts.repeat)
        worst = max(worst, t_c / t_p)
        print(f"{label:<22}{t_c * 1e9:>10.0f}ns{t_p * 1e9:>10.0f}ns{t_c / t_p:>8.2f}")
    print(f"worst ratio compiled/python: {worst:.2f} (target <= 1.00)")


if __name__ == "__main__":
    main()
