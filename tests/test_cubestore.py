"""Cubes in Zarr stores, in a folder and in a bucket on a local S3 endpoint."""

import os
import signal
import subprocess
import sys

import numpy as np
import pytest
from test_segy_import import Case, write_cube

from gemlo.io.segy import SegyImport
from gemlo.io.segy_store import copy_to_cube, cube_coords
from gemlo.storage.cubestore import (
    BrickCache,
    Profile,
    StoreError,
    StoreLocation,
    create_cube,
    cube_exists,
    open_cube,
)


@pytest.fixture(params=["folder", "bucket"])
def store(request, tmp_path):
    """(parent location, profile) of an empty place for cubes."""
    if request.param == "folder":
        return str(tmp_path / "cubes"), None
    profile, root = request.getfixturevalue("s3_profile")
    return root, profile


def listing(parent, profile):
    from gemlo.storage.cubestore import _filesystem

    fs, path, _remote = _filesystem(parent, profile)
    return (
        sorted(p.rsplit("/", 1)[-1] for p in fs.ls(path, detail=False)) if fs.exists(path) else []
    )


def test_cube_reads_back_by_slice_and_opens_labelled_in_xarray(store):
    xr = pytest.importorskip("xarray")
    parent, profile = store
    values = np.random.default_rng(1).standard_normal((40, 35, 150)).astype(np.float32)
    coords = {"inline": np.arange(100, 140), "xline": np.arange(7, 77, 2)}
    url = f"{parent}/c.zarr"
    with create_cube(url, values.shape, values.dtype, None, {"meta": {"dz": 4.0}}, profile,
                     coords=coords) as writer:  # fmt: skip
        writer.write((slice(None),), values)
        assert not cube_exists(url, profile)  # hidden until committed
        writer.commit()
    cube = open_cube(url, profile)
    assert (cube.shape, cube.dtype, cube.attrs["meta"]) == (values.shape, np.float32, {"dz": 4.0})
    assert cube.chunks == (32, 32, 64) and cube.shards == (64, 64, 192)
    cache = BrickCache(cube, max_bytes=1 << 20)
    for where in [(5,), (slice(None), 34), (slice(None), slice(None), 149), (3, 4),
                  (slice(2, 39), slice(5, 9), slice(60, 130))]:  # fmt: skip
        assert np.array_equal(cube.read(where), values[where])
        assert np.array_equal(cache.read(where), values[where]), where
        assert cache.bytes <= (1 << 20) + cache.cube.nbytes // 20
    blocks = cube.as_dask()  # one block per shard: whole traces
    assert blocks.chunks[2] == (150,) and np.array_equal(blocks[:, 3].compute(), values[:, 3])
    options = profile.storage_options() if profile else None
    ds = xr.open_zarr(url, storage_options=options)
    assert ds["amplitude"].dims == ("inline", "xline", "time")
    assert np.array_equal(ds["xline"], coords["xline"])
    assert np.array_equal(ds["amplitude"].sel(inline=120, xline=11), values[20, 2])
    with pytest.raises(StoreError, match="exists already"):
        create_cube(url, values.shape, values.dtype, profile=profile)
    assert listing(parent, profile) == ["c.zarr"]


@pytest.mark.parametrize(
    "case",
    [
        Case(),
        Case(3, "little", False, holes=((1000, 2000), (1004, 2003), (1008, 2006))),
        Case(1, ilines=tuple(range(1008, 999, -2)), xlines=(2012, 2010, 2008)),
    ],
    ids=["inline-sorted", "crossline-sorted-holes", "ibm-decreasing"],
)
def test_segy_decodes_into_a_cube_slab_by_slab(tmp_path, case):
    expected, _xy, _order = write_cube(tmp_path / "in.sgy", case, ns=70)
    job = SegyImport(tmp_path / "in.sgy", tmp_path, "c")
    # Shards of 2 lines: several slabs, the last one short.
    with create_cube(tmp_path / "c.zarr", job.shape, job.dtype, (1, 2, 32), shards=(2, 2, 96),
                     coords=cube_coords(job)) as writer:  # fmt: skip
        copy_to_cube(job, writer)
        cube = writer.commit()
    assert cube.dtype == expected.dtype and np.array_equal(cube.read(), expected)
    assert np.array_equal(cube.coords()["inline"], sorted(case.ilines))
    assert job.done == job.traces


def test_locations_and_profiles(tmp_path, monkeypatch):
    table = {
        "npy": StoreLocation("npy"),
        "zarr": StoreLocation("zarr"),
        "s3://bucket/a/b/": StoreLocation("s3", "bucket/a/b", "lab"),
    }
    for text, location in table.items():
        assert StoreLocation.parse(text, profile="lab" if text[:2] == "s3" else None) == location
    assert StoreLocation.parse("s3://bkt/p").cube_url("x") == "s3://bkt/p/x.zarr"
    assert StoreLocation.parse("zarr").cube_url("x", beside="/d") == "/d/x.zarr"
    for bad in ("s3://", "ftp://x", "zarr:"):
        with pytest.raises(StoreError):
            StoreLocation.parse(bad)
    path = tmp_path / "stores.ini"
    path.write_text("[lab]\nendpoint_url = http://127.0.0.1:9\nkey = k\n")
    monkeypatch.setenv("GEMLO_STORES", str(path))
    with pytest.raises(StoreError, match="lacks secret"):
        Profile.load("lab")
    with pytest.raises(StoreError, match="No store profile 'other'"):
        Profile.load("other")
    with pytest.raises(StoreError, match="needs a store profile"):
        open_cube("s3://bkt/p/x.zarr")
    with pytest.raises(StoreError, match="No cube"):
        open_cube(tmp_path / "none.zarr")


def test_slice_reader_delivers_only_the_latest_request(qtbot, tmp_path):
    import threading

    from gemlo.widgets.slicereader import SliceReader

    values = np.arange(20 * 30 * 40, dtype=np.float32).reshape(20, 30, 40)
    with create_cube(tmp_path / "c.zarr", values.shape, values.dtype) as writer:
        writer.write((slice(None),), values)
        cube = writer.commit()
    gate = threading.Event()

    class Slow:  # the store answers only when the gate opens
        def __getattr__(self, name):
            return getattr(cube, name)

        def read(self, where):
            gate.wait(10)
            return cube.read(where)

    slow, got = Slow(), []
    reader = SliceReader()
    reader.ready.connect(lambda key, v: got.append((key, v)))
    reader.request("first", slow, (1,))  # taken by the thread, waits at the gate
    reader.request("second", slow, (2,))  # replaced before it starts
    reader.request("third", slow, (slice(None), 3))
    gate.set()
    qtbot.waitUntil(lambda: bool(got), timeout=5000)
    qtbot.wait(100)
    assert [key for key, _ in got] == ["third"] and np.array_equal(got[0][1], values[:, 3])
    reader.close()


@pytest.fixture
def small_segy(tmp_path):
    from gemlo.io.synthetic import write_synthetic_segy

    path = tmp_path / "small.sgy"
    write_synthetic_segy(path, 130, 20, 100)  # three slabs of shards
    return path


def project_files(folder):
    """The project's folder, without the stores' profiles and the local store."""
    return sorted(p.name for p in folder.iterdir() if p.name not in ("stores.ini", "cubes"))


def store_args(store, tmp_path):
    parent, profile = store
    if profile is None:
        return [f"zarr:{parent}"], parent, None
    return [parent, "--profile", "test"], parent, profile


def test_cube_moved_between_stores_comes_back_identical(store, small_segy, tmp_path, capsys):
    from gemlo.app.__main__ import main
    from gemlo.storage.database import ProjectDatabase

    project = tmp_path / "p.lmd"
    assert main(["import-segy", str(small_segy), str(project)]) == 0
    db = ProjectDatabase.open(project)
    original = np.array(db.load_object("small").array("amplitude"))
    db.close()
    where, parent, profile = store_args(store, tmp_path)
    for target in (["zarr"], ["--store", *where][1:], ["npy"]):
        assert main(["move-cube", str(project), "small", "--store", *target]) == 0
        db = ProjectDatabase.open(project)
        values = db.load_object("small").array("amplitude")
        assert np.array_equal(np.asarray(values), original)
        db.close()
    assert type(values) is np.memmap
    assert project_files(tmp_path) == ["p.lmd", "p.small.amplitude.npy", "small.sgy"]
    assert listing(parent, profile) == []
    assert "Moved amplitude of small to npy" in capsys.readouterr().out


IMPORTER = """
import sys, time
from gemlo.app.__main__ import main
from gemlo.storage.cubestore import CubeWriter
write = CubeWriter.write
def slowly(self, region, values):
    write(self, region, values)
    print("wrote", region[0], flush=True)
    time.sleep(3)  # an interruption waits for the slab being written, then cleans up
CubeWriter.write = slowly
sys.exit(main(sys.argv[1:]))
"""


@pytest.mark.parametrize("how", [signal.SIGKILL, signal.SIGTERM])
def test_interrupted_import_into_a_store_leaves_nothing(store, small_segy, tmp_path, how):
    from gemlo.app.__main__ import main

    where, parent, profile = store_args(store, tmp_path)
    command = ["import-segy", str(small_segy), str(tmp_path / "p.lmd"), "--store", *where]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    child = subprocess.Popen([sys.executable, "-c", IMPORTER, *command],
                             stdout=subprocess.PIPE, env=env, text=True)  # fmt: skip
    while "wrote" not in child.stdout.readline():
        assert child.poll() is None
    child.send_signal(how)
    assert child.wait(30) == (130 if how == signal.SIGTERM else -signal.SIGKILL)
    child.stdout.close()
    if how == signal.SIGTERM:
        assert project_files(tmp_path) == ["small.sgy"] and listing(parent, profile) == []
    # The same command again succeeds, and what a killed one left is gone.
    assert main(command) == 0
    assert listing(parent, profile) == ["p.small.amplitude.zarr"]
    assert project_files(tmp_path) == ["p.lmd", "small.sgy"]


def test_unreachable_bucket_leaves_its_object_out_naming_why(s3_profile, small_segy, tmp_path):
    from gemlo.app.__main__ import main
    from gemlo.storage.database import ProjectDatabase
    from gemlo.storage.errors import UnreadableObject

    profile, root = s3_profile
    project = tmp_path / "p.lmd"
    assert main(["import-segy", str(small_segy), str(project), "--store", root,
                 "--profile", "test"]) == 0  # fmt: skip
    profiles = tmp_path / "stores.ini"
    profiles.write_text(profiles.read_text().replace(profile.endpoint_url, "http://127.0.0.1:9"))
    db = ProjectDatabase.open(project)
    with pytest.raises(UnreadableObject, match="amplitude.*Cannot reach"):
        db.load_object("small")
    db.close()


def test_statistics_of_a_stored_cube_are_read_off_the_window_thread(
    main_window, qtbot, small_segy, tmp_path
):
    from gemlo.app.__main__ import main
    from gemlo.widgets.statpanel import StatPanel

    project = tmp_path / "z.lmd"
    assert main(["import-segy", str(small_segy), str(project), "--store", "zarr"]) == 0
    main_window.open_project(project)
    tree, panel = main_window.treebase, main_window.findChildren(StatPanel)[0]
    tree.setCurrentItem(tree.object_item("small"))
    assert "from its store" in panel.placeholder.text()  # the window went on
    qtbot.waitUntil(lambda: panel.table is not None, timeout=10_000)
    values = tree.object_data["small"].array("amplitude").read()
    expected = [str(np.percentile(values, q)) for q in (0, 10, 50, 90, 100)]  # float32
    assert [panel.table.item(0, c).text() for c in range(1, 6)] == expected
