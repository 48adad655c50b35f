"""Statistics and processing as dask graphs: exact percentiles chunk by chunk, trace-wise
processing on blocks of whole traces, locally and on a two-process cluster."""

import os
import warnings

import dask.array as da
import numpy as np
import pytest
import zarr
from numpy.lib.format import open_memmap

from gemlo.app.__main__ import main as gemlo_main
from gemlo.model.dataobject import DataObject
from gemlo.processing import exact, graphs
from gemlo.processing.operations import OPERATIONS
from gemlo.processing.runner import FileWriter, ProcessJob, run_chunked
from gemlo.storage import chunks
from gemlo.storage.database import ProjectDatabase

META = {"dz": 4.0, "z_unit": "ms"}


def numpy_inputs():
    """Inputs of numpy's own percentile tests, and their kind of trouble."""
    rng = np.random.default_rng(5)
    half = np.zeros(65521, np.float32)
    half[:20000] = 1  # many ties: the windows overflow, histograms narrow them
    return {
        "halves": np.arange(8) * 0.5,
        "five": np.array([15.0, 20.0, 35.0, 40.0, 50.0]),
        "infinities": np.array([1.0, np.inf, 3.0, -np.inf, np.inf]),
        "inf at a rank": np.array([-np.inf, 1.0, 2.0]),
        "negative zero": np.array([-0.0, 0.0, 0.0, 1.0, -0.0]),
        "int16 wraps": np.array([-30000, 30000, 0], np.int16),
        "ints": np.arange(10, dtype=np.int8),
        "uint64": rng.integers(0, 2**64 - 1, 500, np.uint64, endpoint=True),
        "single": np.array([7.0], np.float32),
        "ties float32": half,
        "normal float32": rng.standard_normal((40, 50, 30)).astype(np.float32),
        "tiny": np.array([1e-300, 5e-324, -5e-324, 0.0]),
    }


QS = [50, 0, 100, 10.0, 99, [0, 10, 50, 90, 100], np.float64(33.3), np.float32(50), (25, 75)]


def same(got, want):
    return (
        type(got) is type(want)
        and np.asarray(got).dtype == np.asarray(want).dtype
        and np.array_equal(got, want, equal_nan=True)
    )


@pytest.mark.parametrize("name", list(numpy_inputs()))
def test_percentiles_are_numpys_whatever_the_chunks(name, monkeypatch):
    values = numpy_inputs()[name]
    for size in {1, 3, max(1, values.size // 7), values.size}:
        if values.size // size > 64:
            continue
        array = da.from_array(values.ravel(), chunks=size)
        for q in QS:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)  # numpy's own, on inf - inf
                got, want = exact.percentile(array, q), np.percentile(values, q)
            assert same(got, want), (name, size, q, got, want)
    # A sample too small for its windows: every rank escapes, and is narrowed by
    # histograms of few bins, one read at a time.
    monkeypatch.setattr(exact, "SAMPLE", 4)
    monkeypatch.setattr(exact, "SPREAD", 0)
    monkeypatch.setattr(exact, "GATHER", 2)
    monkeypatch.setattr(exact, "MIN_CAP", 0)
    monkeypatch.setattr(exact, "MAX_ROUNDS", 80)
    monkeypatch.setattr(exact.chunkstats, "MAX_BINS", 4)
    array = da.from_array(values.ravel(), chunks=max(1, values.size // 5))
    q = [0, 10, 50, 90, 100]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        assert same(exact.percentile(array, q), np.percentile(values, q)), name


def test_nulls_are_left_out_and_counted_on_the_cluster(dask_cluster, monkeypatch):
    rng = np.random.default_rng(1)
    values = rng.standard_normal((20, 30, 40)).astype(np.float32)
    values[values > 1.5] = np.nan
    present = values[~np.isnan(values)]
    with graphs.Scheduler(dask_cluster.scheduler_address) as scheduler:
        array = da.from_array(values, chunks=(7, 11, 40))  # bricks of uneven sizes
        points, nulls = graphs.statistics(array, scheduler)
        assert nulls == np.isnan(values).sum()
        # The Statistics dock's numbers: numpy's, a point at a time, in float32.
        assert all(
            same(p, np.percentile(present, q)) for p, q in zip(points, graphs.POINTS, strict=True)
        )
        all_null = da.full((4, 5), np.nan, chunks=2, dtype=np.float32)
        points, nulls = graphs.statistics(all_null, scheduler)
        assert nulls == 20 and np.isnan(points).all()
    for bad, message in [
        (da.zeros((0, 3), chunks=1), "no values"),
        (da.zeros(3, dtype=np.float16, chunks=1), "cannot select values of type float16"),
    ]:
        with pytest.raises(ValueError, match=message):
            exact.percentile(bad, 50)
    monkeypatch.setattr(graphs, "CONNECT_SECONDS", 1)
    with pytest.raises(graphs.SchedulerError, match="cannot reach"):
        graphs.Scheduler("tcp://127.0.0.1:9")


def cube(shape=(24, 40, 500), seed=3):  # 1.9 MB
    values = np.random.default_rng(seed).standard_normal(shape).astype(np.float32)
    values[2, 3] = 0  # a dead trace
    return values


@pytest.mark.parametrize(("key", "params"), [("envelope", {}), ("bandpass", {})])
def test_processing_on_the_cluster_equals_the_local_engine(
    tmp_path, dask_cluster, monkeypatch, key, params
):
    # Blocks of three inlines; on this machine's threads the kernel runs on pieces of 7
    # traces of them (the workers import their own module, with pieces of 512 KB).
    monkeypatch.setattr(graphs, "PROCESS_BLOCK_BYTES", 7 * 500 * 4)
    values = cube()
    kernel = OPERATIONS[key].kernel(META, values.shape, **params)
    expected = run_chunked(kernel, values, np.empty(values.shape, np.float32))
    np.save(tmp_path / "in.npy", values)
    mapped = open_memmap(tmp_path / "in.npy", "r")
    # Bricks that cut the traces: rechunked to whole traces, never processed as they are.
    store = zarr.open_array(tmp_path / "in.zarr", mode="w", shape=values.shape,
                            chunks=(8, 8, 64), dtype=np.float32)  # fmt: skip
    store[...] = values
    bricks = da.from_zarr(store)
    assert not np.array_equal(bricks.map_blocks(kernel, dtype=np.float32).compute(), expected)
    with graphs.Scheduler(dask_cluster.scheduler_address) as scheduler:
        # The workers read the project's file and send the blocks back here.
        back = graphs.process(kernel, mapped, np.empty(values.shape, np.float32), scheduler,
                              chunk_bytes=3 * 40 * 500 * 4)  # fmt: skip
        assert np.array_equal(back, expected)
        # A new array in the same store, written by the workers themselves.
        out = zarr.open_array(tmp_path / "out.zarr", mode="w", shape=values.shape,
                              chunks=(8, 20, 500), dtype=np.float32)  # fmt: skip
        graphs.process(kernel, bricks, out, scheduler)
        assert np.array_equal(out[...], expected)
    local = graphs.process(kernel, bricks, np.empty(values.shape, np.float32), graphs.Scheduler())
    assert np.array_equal(local, expected)


def test_a_store_cube_is_processed_into_a_new_cube_of_its_store(tmp_path, dask_cluster):
    cubestore = pytest.importorskip("gemlo.storage.cubestore")
    values = cube((8, 80, 500))  # shards of 64 crosslines: boxes of traces
    source = cubestore.write_cube(values, tmp_path / "c.amplitude.zarr")
    kernel = OPERATIONS["envelope"].kernel(META, values.shape)
    with graphs.Scheduler(dask_cluster.scheduler_address) as scheduler:
        made = graphs.process_cube(kernel, source, tmp_path / "c.env.zarr", scheduler, name="env")
        points, nulls = graphs.statistics(made.as_dask(), scheduler)
    expected = run_chunked(kernel, values, np.empty(values.shape, np.float32))
    assert np.array_equal(made.read(), expected) and made.shards == source.shards
    # Into a project's data file, the shards (boxes of traces) written by the workers
    # (they reach the file on this machine), or sent back and written here.
    for on_workers in (None, False):
        out = open_memmap(tmp_path / "out.npy", "w+", np.float32, values.shape)
        fd = os.open(tmp_path / "out.npy", os.O_RDWR)
        with graphs.Scheduler(dask_cluster.scheduler_address) as scheduler:
            writer = FileWriter(fd, out.offset, out.shape)
            graphs.process(kernel, source, writer, scheduler, on_workers=on_workers)
        os.close(fd)
        assert np.array_equal(out, expected)
        del out
    assert points == [np.percentile(expected, q) for q in graphs.POINTS] and nulls == 0


def test_commands_on_the_cluster(tmp_path, dask_cluster, capsys, monkeypatch):
    monkeypatch.setattr(chunks, "MAPPED_BYTES", 1 << 20)  # properties in data files
    values = cube()
    values[0, 0, :5] = np.nan
    path = tmp_path / "p.lmd"
    db = ProjectDatabase.create(path)
    prop = {"amplitude": {"array3d": values}, "count": {"array3d": np.arange(24 * 40 * 500)
                                                        .reshape(values.shape)}}  # fmt: skip
    db.save_object(DataObject("cube", prop, "array3d", META))
    db.close()
    address = dask_cluster.scheduler_address
    assert gemlo_main(["stats", str(path), "cube", "--scheduler", address]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].split() == ["Name", "Min", "P10", "P50", "P90", "Max", "Nulls"]
    present = values[~np.isnan(values)]
    assert lines[1].split() == ["amplitude", *(str(np.percentile(present, q)) for q in
                                graphs.POINTS), "5"]  # fmt: skip
    assert lines[2].split()[-2:] == ["479999.0", "0"]
    # The project's setting sends processing to the cluster.
    assert gemlo_main(["scheduler", str(path), address]) == 0
    args = ["process", str(path), "cube", "envelope", "--property", "amplitude"]
    assert gemlo_main([*args, "--output", "env"]) == 0
    dob = ProjectDatabase.open(path).load_object("cube")
    job = ProcessJob(dob, "amplitude", "envelope", "x")
    assert np.array_equal(dob.array("env"), job.compute(), equal_nan=True)
    assert gemlo_main(["stats", str(path), "cube", "--property", "nothing"]) == 1
    assert "no property named 'nothing'" in capsys.readouterr().err
    monkeypatch.setattr(graphs, "CONNECT_SECONDS", 1)
    assert gemlo_main([*args, "--output", "e2", "--scheduler", "tcp://127.0.0.1:9"]) == 1
    assert "cannot reach the dask scheduler" in capsys.readouterr().err
    assert "e2" not in ProjectDatabase.open(path).load_object("cube").prop
