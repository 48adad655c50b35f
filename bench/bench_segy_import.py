"""SEG-Y import of a ~2 GB cube against the disk's own sequential write speed and
against reading it into memory with segyio.tools.cube.

Prints the throughput and the peak memory of each, measured in a process of its own
(the import and the disk write both end with the data synced to the disk), the
ratios, then the time of the five percentiles of the imported memory-mapped cube.
Targets: the import at least twice the 95-194 MB/s of the import it replaced, at
least 0.8 of the disk's write speed, above segyio; its memory bounded by its chunk
size (peak RSS about the interpreter plus one chunk), not by the file.

The synthetic file is generated once, in chunks, into the cache folder and kept;
the imported project is written beside it and removed afterwards (--keep keeps it).
It uses the gemlo package Python finds (installed; or PYTHONPATH=host after an
in-place build):

    .venv/bin/python bench/bench_segy_import.py [--gb 2] [--chunk-mb 64]
"""

import argparse
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# Runs in a child process: MODE, ARGS as JSON. Prints one JSON line of measurements.
CHILD = r"""
import json, sys, threading, time
from benchtools import status, write_synced
mode, args = sys.argv[1], json.loads(sys.argv[2])

peak_anon = [0]
def sample():  # the kernel keeps the peak of the whole RSS only; RssAnon is sampled
    while True:
        peak_anon[0] = max(peak_anon[0], status("RssAnon"))
        time.sleep(0.01)
threading.Thread(target=sample, daemon=True).start()
base = status("VmRSS")
t = time.perf_counter()
result = {}
if mode == "import":
    from gemlo.io.segy import import_to_new_project
    import_to_new_project(args["segy"], args["project"], chunk_bytes=args["chunk"])
elif mode == "disk":
    import os
    write_synced(args["path"], args["size"], os.urandom(args["chunk"]))
elif mode == "cube":
    import segyio.tools
    cube = segyio.tools.cube(args["segy"])
    result["shape"] = cube.shape
elif mode == "percentiles":
    import numpy as np
    from gemlo.storage.database import ProjectDatabase
    db = ProjectDatabase.open(args["project"])
    entry = db.load_object(db.object_names()[0]).prop["amplitude"]
    t = time.perf_counter()
    try:
        from gemlo.widgets.statgrid import add_array_percentile
        result["by"] = "gemlo.widgets.statgrid.add_array_percentile"
    except ImportError:
        def add_array_percentile(entry):
            entry["arrayPercentiles"] = list(
                np.percentile(entry["array3d"], [0, 10, 50, 90, 100]))
        result["by"] = "numpy.percentile (statgrid is not built in this tree)"
    add_array_percentile(entry)
    result["values"] = [float(v) for v in entry["arrayPercentiles"]]
result["seconds"] = time.perf_counter() - t
result["base"] = base
result["peak_rss"] = status("VmHWM")
result["peak_anon"] = max(peak_anon[0], status("RssAnon"))
print(json.dumps(result))
"""


def run_child(code, mode, **args):
    """Run the bench's `code` in a fresh interpreter (its own peak memory) for `mode`;
    returns the JSON of its last line. The package is the one the parent imports:
    installed, or wherever PYTHONPATH points."""
    path = [str(Path(__file__).resolve().parent)] + [os.environ.get("PYTHONPATH", "")]
    done = subprocess.run(
        [sys.executable, "-c", code, mode, json.dumps(args)],
        capture_output=True,
        text=True,
        check=False,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(p for p in path if p)},
    )
    if done.returncode:
        sys.exit(f"{mode} failed:\n{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def child(mode, **args):
    return run_child(CHILD, mode, **args)


def synthetic(folder, gb, ns=1000):
    """The cached synthetic file of about `gb` GB: square-ish grid, `ns` samples per trace."""
    from gemlo.io.synthetic import write_synthetic_segy

    traces = math.ceil(gb * 1e9 / (240 + 4 * ns))
    n_il = int(traces**0.5 * 0.8)
    n_xl = math.ceil(traces / n_il)  # at least `gb` GB
    path = Path(folder) / f"synthetic-{n_il}x{n_xl}x{ns}.sgy"
    if not path.exists():
        print(f"generating {path} (once) ...", flush=True)
        start = time.perf_counter()
        step = [0]

        def progress(done, total):
            if 10 * done // total > step[0]:
                step[0] = 10 * done // total
                print(f"  {10 * step[0]}%", flush=True)

        write_synthetic_segy(path, n_il, n_xl, ns, progress=progress)
        print(f"  done in {time.perf_counter() - start:.0f} s", flush=True)
    return path


def mib(n):
    return f"{n / 2**20:8.0f} MiB"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gb", type=float, default=2.0, help="size of the synthetic file")
    parser.add_argument("--chunk-mb", type=int, default=64, help="import chunk size")
    parser.add_argument("--cache", default=str(ROOT / "build" / "bench-data"))
    parser.add_argument("--keep", action="store_true", help="keep the imported project")
    parser.add_argument("--repeat", type=int, default=2, help="runs of the import and the disk")
    opts = parser.parse_args()

    segy = synthetic(opts.cache, opts.gb)
    size = segy.stat().st_size
    # Read once so that both contenders start from a warm page cache.
    with open(segy, "rb") as f:
        while f.read(64 << 20):
            pass

    work = Path(tempfile.mkdtemp(prefix="import-", dir=opts.cache))
    project = work / "bench.lmd"
    chunk = opts.chunk_mb << 20
    imports, disks = [], []
    try:
        # Taken in turns, the best of each: other work on the machine shares the disk.
        for k in range(opts.repeat):
            if k:
                for path in work.iterdir():
                    path.unlink()
            imports.append(child("import", segy=str(segy), project=str(project), chunk=chunk))
            disks.append(child("disk", path=str(work / "written.bin"), size=size, chunk=chunk))
            (work / "written.bin").unlink()
        stats = child("percentiles", project=str(project))
        cube = child("cube", segy=str(segy))
    finally:
        if not opts.keep:
            shutil.rmtree(work)

    imported = min(imports, key=lambda r: r["seconds"])
    disk = min(disks, key=lambda r: r["seconds"])
    print(
        f"\n{segy.name}: {size / 1e9:.2f} GB, cube {tuple(cube['shape'])}, "
        f"chunk {opts.chunk_mb} MiB; best of {opts.repeat} for the import and the disk "
        "(all: "
        + ", ".join(f"{r['seconds']:.1f}" for r in imports)
        + " s and "
        + ", ".join(f"{r['seconds']:.1f}" for r in disks)
        + " s)"
    )
    print(f"{'':30}{'seconds':>9}{'MB/s':>8}{'peak RSS':>14}{'peak RssAnon':>14}")
    rate = {}
    for key, label, r in (
        ("import", "import (C++, synced .npy)", imported),
        ("disk", "disk write (same size, synced)", disk),
        ("cube", "segyio.tools.cube (memory)", cube),
    ):
        rate[key] = size / 1e6 / r["seconds"]
        print(
            f"{label:30}{r['seconds']:9.2f}{rate[key]:8.0f}"
            f"{mib(r['peak_rss']):>14}{mib(r['peak_anon']):>14}"
        )
    print(
        f"import / disk write: {rate['import'] / rate['disk']:.2f} (target >= 0.8); "
        f"import / segyio: {rate['import'] / rate['cube']:.2f} (target > 1); "
        f"import / the old import's 95-194 MB/s: {rate['import'] / 194:.2f}-"
        f"{rate['import'] / 95:.2f} (target >= 2)"
    )
    print(
        f"import peak RSS above start: {mib(imported['peak_rss'] - imported['base']).strip()} "
        f"(chunk {opts.chunk_mb} MiB); cube read: "
        f"{mib(cube['peak_rss'] - cube['base']).strip()}"
    )
    print(
        f"five percentiles of the mapped cube: {stats['seconds']:.2f} s by {stats['by']}, "
        f"peak RSS {mib(stats['peak_rss']).strip()}"
    )
    print("  " + ", ".join(f"{v:.4g}" for v in stats["values"]))


if __name__ == "__main__":
    main()
