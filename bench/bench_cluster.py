"""Statistics and processing on a dask.distributed cluster of two worker processes (one
thread each) on this machine, side by side with their references, in one run:

- exact percentiles (min, P10, P50, P90, max) of 10^8 float32 values in 40 chunks of a
  local zarr store, against dask's approximate `da.percentile` of the same chunks on the
  same cluster (target: at most 1.5 times its time), checked identical to numpy.percentile
  of the whole array in memory, both as a list of points and a point at a time;
- a trace-wise operation on a cube of the project's kind (a .npy file), its blocks read
  by the workers and written back here, against the local chunked engine on two threads
  (target: at least 0.7 times its throughput), results checked identical.

The workers start without dask's default MALLOC_TRIM_THRESHOLD_ (65536), which makes
glibc map and fault in every large temporary afresh: the Hilbert transform of a block
then takes about 1.6 times as long as in a process with glibc's own defaults (the local
engine's). --dask-malloc keeps dask's setting, to see that cost.

Prints the times, the ratios and the passes over the array. The data are generated into
a temporary folder (--dir) removed at the end. With a development tree: PYTHONPATH=host.

    python bench/bench_cluster.py [--values 1e8] [--chunks 40] [--process-values 2.5e7]
"""

import argparse
import os
import tempfile
import time
import warnings

import dask
import dask.array as da
import numpy as np
import psutil
import zarr
from distributed import LocalCluster
from numpy.lib.format import open_memmap

from gemlo.processing import exact, graphs
from gemlo.processing.operations import OPERATIONS
from gemlo.processing.runner import FileWriter, run_chunked

NS = 2500  # samples per trace
POINTS = [0, 10, 50, 90, 100]


def generate(n, seed=0):
    """Amplitudes of traces whose gain varies, with a few dead traces and spikes."""
    rng = np.random.default_rng(seed)
    traces = n // NS
    values = rng.standard_normal((traces, NS), dtype=np.float32)
    values *= rng.uniform(0.2, 5.0, (traces, 1)).astype(np.float32)
    values[rng.integers(0, traces, traces // 100)] = 0
    values.flat[rng.integers(0, n, 100)] = np.float32(1e30)
    return values.reshape(-1)


def timed(function, repeat):
    best, result = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        result = function()
        best = min(best, time.perf_counter() - start)
    return best, result


def store(folder, values, chunks):
    """The values as a cube of the project's cube store (a zarr array when there is none),
    in `chunks` objects of whole traces, one block each."""
    traces = values.size // NS
    shape = (chunks, traces // chunks, NS)
    layout = (1, shape[1], NS)
    location = os.path.join(folder, "bench.zarr")
    try:
        from gemlo.storage.cubestore import create_cube
    except ImportError:
        z = zarr.create_array(location, shape=shape, chunks=layout, dtype=np.float32)
        z[...] = values.reshape(shape)
        return da.from_zarr(z)
    with create_cube(location, shape, np.float32, chunks=layout) as writer:
        for i, part in enumerate(values.reshape(shape)):
            writer.write((slice(i, i + 1),), part[None])
        return writer.commit().as_dask()


def percentiles(args, folder, scheduler):
    values = generate(int(args.values))
    array = store(folder, values, args.chunks)
    print(f"{values.size:.3g} float32 values in {array.npartitions} chunks of a zarr store")
    # dask's percentile is 1-D: the same chunks, each flattened.
    flat = da.concatenate([array.blocks[i].ravel() for i in np.ndindex(array.numblocks)])
    t_approx, approx = timed(
        lambda: scheduler.compute(da.percentile(flat, POINTS))[0], args.repeat
    )
    reads = []

    def exact_run():
        selection = exact.Selection(array, scheduler.compute)
        result = exact.percentile(array, POINTS, selection=selection)
        reads.append(selection.reads)
        return result

    t_exact, result = timed(exact_run, args.repeat)
    t_points, (points, _nulls) = timed(
        lambda: graphs.statistics(array, scheduler, POINTS), args.repeat
    )
    start = time.perf_counter()
    want = np.percentile(values, POINTS)
    t_numpy = time.perf_counter() - start
    want_points = [np.percentile(values, p) for p in POINTS]
    identical = np.array_equal(result, want) and result.dtype == want.dtype
    identical_points = all(
        p == w and p.dtype == w.dtype for p, w in zip(points, want_points, strict=True)
    )
    print(f"  dask da.percentile (approximate)  {t_approx:7.2f} s   {np.asarray(approx)}")
    print(f"  exact, list of points             {t_exact:7.2f} s   {result}")
    print(f"  exact, Statistics dock's row      {t_points:7.2f} s   {points}")
    print(f"  numpy.percentile in memory        {t_numpy:7.2f} s   (one process, for scale)")
    print(f"  passes over the array: {max(reads)}; identical to numpy: list {identical}, "
          f"a point at a time {identical_points}")  # fmt: skip
    print(f"  ratio exact / dask approximate: {t_exact / t_approx:.2f} (target <= 1.5)")
    return identical and identical_points


def processing(args, folder, scheduler):
    n = int(args.process_values) // NS * NS
    cube = generate(n, seed=1).reshape(-1, 200, NS)
    path = os.path.join(folder, "cube.npy")
    np.save(path, cube)
    del cube
    source = open_memmap(path, "r")
    kernel = OPERATIONS[args.operation].kernel({"dz": 4.0, "z_unit": "ms"}, source.shape)

    def into(name, run):
        out = open_memmap(os.path.join(folder, name), "w+", np.float32, source.shape)
        fd = os.open(os.path.join(folder, name), os.O_RDWR)
        try:
            run(FileWriter(fd, out.offset, out.shape))
            os.fsync(fd)
        finally:
            os.close(fd)
        return out

    def cpu():
        # This process (the driver, and the scheduler of a LocalCluster) and the workers:
        # on a machine shared with other work, CPU seconds swing less than wall time.
        workers = scheduler.client.run(lambda: sum(psutil.Process().cpu_times()[:2]))
        return sum(psutil.Process().cpu_times()[:2]) + sum(workers.values())

    # Each worker loads scipy once, as this process did making the kernel: not timed.
    scheduler.client.run(kernel, np.zeros((1, NS), np.float32))
    # The same values in a zarr array without compression (to compare with the .npy file
    # alone): processed into a new array of that store, written by the workers.
    layout = (4, source.shape[1], NS)  # 16 MB blocks of whole traces
    zin = zarr.create_array(os.path.join(folder, "in.zarr"), shape=source.shape,
                            chunks=layout, dtype=np.float32, compressors=None)  # fmt: skip
    for i in range(0, source.shape[0], layout[0]):
        zin[i : i + layout[0]] = source[i : i + layout[0]]

    def in_store(_name, run):
        out = zarr.create_array(os.path.join(folder, "out.zarr"), shape=source.shape,
                                chunks=layout, dtype=np.float32, compressors=None,
                                overwrite=True)  # fmt: skip
        run(out)
        return out  # read back after the timing

    runs = {}
    for side, make, run in [
        ("local", into, lambda w: run_chunked(kernel, source, w)),
        ("cluster", into, lambda w: graphs.process(kernel, source, w, scheduler)),
        ("store", in_store, lambda w: graphs.process(kernel, da.from_zarr(zin), w, scheduler)),
    ]:
        before = cpu()
        runs[side] = (*timed(lambda make=make, run=run, side=side: make(f"{side}.npy", run),
                             args.repeat), (cpu() - before) / args.repeat)  # fmt: skip
    mb = source.nbytes / 1e6
    t_local, local, c_local = runs["local"]
    same = all(np.array_equal(local, r[1][...]) for r in runs.values())
    print(f"{args.operation} of a {mb:.0f} MB cube ({source.shape}); identical results: {same}")
    for side, label in [
        ("local", "local chunked engine, 2 threads"),
        ("cluster", "cluster, project file, workers write"),
        ("store", "cluster, zarr store, workers write"),
    ]:
        t, _, c = runs[side]
        print(f"  {label:37} {t:6.2f} s {mb / t:7.1f} MB/s {c:6.2f} CPU s   ratio "
              f"{t_local / t:.2f} (by CPU {c_local / c:.2f}; target >= 0.7)")  # fmt: skip
    return same


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--values", type=float, default=1e8)
    parser.add_argument("--chunks", type=int, default=40)
    parser.add_argument("--process-values", type=float, default=2.5e7)
    parser.add_argument("--operation", default="envelope", choices=list(OPERATIONS))
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--dir", default=None)
    parser.add_argument("--dask-malloc", action="store_true", help="keep dask's malloc setting")
    args = parser.parse_args()
    warnings.simplefilter("ignore", RuntimeWarning)
    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ"))
    if not args.dask_malloc:
        environ.pop("MALLOC_TRIM_THRESHOLD_", None)
    dask.config.set({"distributed.nanny.pre-spawn-environ": environ})
    with (
        tempfile.TemporaryDirectory(dir=args.dir, prefix="gemlo-bench-") as folder,
        LocalCluster(
            n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None
        ) as cluster,
        graphs.Scheduler(cluster.scheduler_address) as scheduler,
    ):
        ok = percentiles(args, folder, scheduler)
        ok = processing(args, folder, scheduler) and ok
    raise SystemExit(0 if ok else 1)


if __name__ == "__main__":
    main()
