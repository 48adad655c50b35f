"""Peak memory of the property calculator on a memory-mapped cube.

Makes a project holding a float32 cube of --gb gigabytes in a data file, then runs
each script in a fresh process and prints the growth of its peak resident memory
during the run (VmHWM less the resident memory before it; mapped file pages that the
process touched count too), also as a share of the cube's size, and its time.
With --before, the same scripts also run on the package installed in the
environment (the code before a change), writing into the cube in place as it did
then.

    PYTHONPATH=host python bench/bench_calculator.py [--gb 1.2] [--folder DIR] [--before]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

SCRIPTS = ("amplitude = amplitude * 1.1", "amplitude = amplitude.astype('float64')")

CHILD = """
import resource, sys, time
from types import SimpleNamespace
from gemlo.storage.database import ProjectDatabase
from gemlo.utils.nodeaids import Buds

db = ProjectDatabase.open(sys.argv[1])
tree = SimpleNamespace(main=SimpleNamespace(database=db), object_data={})
tree.object_data["cube"] = db.load_object("cube")
buds = Buds(tree)
with open("/proc/self/status") as status:
    base = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmRSS:"))
start = time.perf_counter()
try:
    from gemlo.processing import calculator
except ImportError:  # before: the script writes into the mapped cube, then it is stored
    buds.property_operation("cube", sys.argv[2])
    db.update_object(tree.object_data["cube"])
else:
    calculator.run(tree.object_data, "cube", sys.argv[2], db, buds.property_operation)
seconds = time.perf_counter() - start
with open("/proc/self/status") as status:
    peak = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM:"))
print(peak - base, seconds)
"""


def make_project(folder, gb):
    from gemlo.model.dataobject import DataObject
    from gemlo.storage.database import ProjectDatabase

    n = int(gb * 1e9 / 4 / (500 * 1000))
    db = ProjectDatabase.create(Path(folder) / "bench.lmd")
    data_file = db.new_data_file("cube", "amplitude", np.float32, (n, 500, 1000))
    for a in range(0, n, 16):
        data_file.array[a : a + 16] = np.random.default_rng(a).standard_normal(
            (min(16, n - a), 500, 1000), dtype=np.float32
        )
    db.store_data_file(DataObject("cube", {}, "array3d"), "amplitude", data_file)
    db.close()
    return Path(folder) / "bench.lmd", n * 500 * 1000 * 4


def run(project, script, host):
    env = dict(os.environ)
    if host is None:
        env.pop("PYTHONPATH", None)  # the package installed in the environment
    done = subprocess.run(
        [sys.executable, "-c", CHILD, str(project), script],
        env=env,
        capture_output=True,
        text=True,
        check=True,
    )
    peak, seconds = done.stdout.split()
    return int(peak), float(seconds)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--gb", type=float, default=1.2)
    parser.add_argument("--folder", help="where the project goes (default: a temporary one)")
    parser.add_argument("--before", action="store_true", help="also run the installed package")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=args.folder) as folder:
        start = time.perf_counter()
        project, nbytes = make_project(folder, args.gb)
        print(f"cube of {nbytes / 1e9:.2f} GB made in {time.perf_counter() - start:.1f} s")
        hosts = [("before", None)] if args.before else []
        hosts.append(("after", os.environ.get("PYTHONPATH", "")))
        print(f"{'script':42} {'code':7} {'peak RSS':>9} {'/ cube':>7} {'time':>7}")
        for script in SCRIPTS:
            for label, host in hosts:
                peak, seconds = run(project, script, host)
                print(
                    f"{script:42} {label:7} {peak / 1e9:7.2f} GB {peak / nbytes:7.2f} "
                    f"{seconds:6.1f} s"
                )


if __name__ == "__main__":
    main()
