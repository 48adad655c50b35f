"""SEG-Y import into a local Zarr cube store against the disk's own sequential write of the
same bytes, and reads of slices from chunk layouts against the .npy memory map.

1. The import (`gemlo.io.segy_store.import_to_store`, synced) and a plain sequential write
   of as many bytes as the cube holds (synced), each in a process of its own, best of
   --repeat; the ratio import / disk must be at least 0.5.
2. The cube written in each chunk layout, then the time to read an inline, a crossline,
   a time slice and a trace from a cold file (the store's files dropped from the page
   cache first), against the same reads of the .npy memory map.

    .venv/bin/python bench/bench_store_import.py [--gb 1] [--repeat 2]
"""

import argparse
import shutil
import tempfile
import time
from pathlib import Path

from bench_segy_import import run_child, synthetic
from benchtools import drop_cache

ROOT = Path(__file__).resolve().parent.parent

CHILD = r"""
import json, os, sys, time
from benchtools import write_synced
mode, args = sys.argv[1], json.loads(sys.argv[2])
t = time.perf_counter()
result = {}
if mode == "store":
    from gemlo.io.segy_store import import_to_store
    cube = import_to_store(args["segy"], args["cube"])
    result["nbytes"] = cube.nbytes
elif mode == "disk":
    write_synced(args["path"], args["size"], os.urandom(64 << 20))
result["seconds"] = time.perf_counter() - t
print(json.dumps(result))
"""


def child(mode, **args):
    return run_child(CHILD, mode, **args)


def seconds(runs):
    return ", ".join(f"{r['seconds']:.1f}" for r in runs)


def tree_bytes(path):
    return sum(f.stat().st_size for f in Path(path).rglob("*") if f.is_file())


def layouts(shape):
    n_il, n_xl, ns = shape
    return {
        "bricks 32x32x64 in shards 64x64xN": ((32, 32, 64), (64, 64, -(-ns // 64) * 64)),
        "bricks 16x16x64 in shards 64x64xN": ((16, 16, 64), (64, 64, -(-ns // 64) * 64)),
        "trace columns 64x64xN": ((64, 64, ns), None),
        "whole inlines 1xXxN": ((1, n_xl, ns), None),
    }


def slices(shape):
    n_il, n_xl, ns = shape
    return {
        "inline": (n_il // 2,),
        "crossline": (slice(None), n_xl // 2),
        "time slice": (slice(None), slice(None), ns // 2),
        "trace": (n_il // 2, n_xl // 2),
    }


def timed_reads(read, path, shape):
    out = {}
    for name, where in slices(shape).items():
        drop_cache(path)
        t = time.perf_counter()
        read(where)
        out[name] = time.perf_counter() - t
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gb", type=float, default=1.0, help="size of the synthetic file")
    parser.add_argument("--cache", default=str(ROOT / "build" / "bench-data"))
    parser.add_argument("--repeat", type=int, default=2, help="runs of the import and the disk")
    opts = parser.parse_args()

    import numpy as np

    from gemlo.storage.cubestore import create_cube, open_cube

    segy = synthetic(opts.cache, opts.gb, ns=500)
    with open(segy, "rb") as f:  # both contenders start from a warm SEG-Y file
        while f.read(64 << 20):
            pass
    work = Path(tempfile.mkdtemp(prefix="store-", dir=opts.cache))
    try:
        imports, disks = [], []
        for k in range(opts.repeat):
            if k:
                shutil.rmtree(work / "cube.zarr")
            imports.append(child("store", segy=str(segy), cube=str(work / "cube.zarr")))
            disks.append(child("disk", path=str(work / "written.bin"), size=imports[-1]["nbytes"]))
            (work / "written.bin").unlink()
        cube = open_cube(work / "cube.zarr")
        size = cube.nbytes
        imported = min(r["seconds"] for r in imports)
        disk = min(r["seconds"] for r in disks)
        print(
            f"\n{segy.name}: cube {cube.shape} {cube.dtype}, {size / 1e9:.2f} GB, stored in "
            f"{tree_bytes(work / 'cube.zarr') / 1e9:.2f} GB (lossless); best of {opts.repeat} "
            f"(import: {seconds(imports)} s, disk: {seconds(disks)} s)"
        )
        print(f"import into the store  {imported:7.2f} s {size / 1e6 / imported:6.0f} MB/s")
        print(f"disk write, same bytes {disk:7.2f} s {size / 1e6 / disk:6.0f} MB/s")
        print(f"import / disk write: {disk / imported:.2f} (target >= 0.5)\n")

        # The layouts, written from a .npy copy of the cube.
        npy = work / "cube.npy"
        mapped = np.lib.format.open_memmap(npy, "w+", cube.dtype, cube.shape)
        for a in range(0, cube.shape[0], 64):
            mapped[a : a + 64] = cube.read((slice(a, a + 64),))
        mapped.flush()
        del mapped
        mapped = np.load(npy, mmap_mode="r")
        rows = {".npy memory map": timed_reads(lambda w: np.array(mapped[w]), npy, cube.shape)}
        written = {}
        for name, (chunks, shards) in layouts(cube.shape).items():
            where = work / f"layout-{len(written)}.zarr"
            t = time.perf_counter()
            with create_cube(where, cube.shape, cube.dtype, chunks, shards=shards) as writer:
                step = shards[0] if shards else max(chunks[0], 64 // chunks[0] * chunks[0])
                for a in range(0, cube.shape[0], step):
                    writer.write((slice(a, a + step),), mapped[a : a + step])
                layout = writer.commit()
            written[name] = (
                time.perf_counter() - t,
                tree_bytes(where),
                len(list(where.rglob("*"))),
            )
            rows[name] = timed_reads(layout.read, where, cube.shape)
            shutil.rmtree(where)
        names = list(slices(cube.shape))
        print("cold reads (seconds):")
        print(
            f"{'layout':36}" + "".join(f"{n:>12}" for n in names) + f"{'write s':>9}{'files':>7}"
        )
        for name, reads in rows.items():
            extra = written.get(name)
            tail = f"{extra[0]:9.1f}{extra[2]:7d}" if extra else ""
            print(f"{name:36}" + "".join(f"{reads[n]:12.4f}" for n in names) + tail)
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
