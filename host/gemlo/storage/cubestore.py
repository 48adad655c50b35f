"""Cubes in chunked Zarr v3 stores, in a local folder or under an S3 prefix.

A cube is a Zarr group holding its values as one 3-D array named after the property,
with the dimensions "inline", "xline" and "time", beside three 1-D coordinate arrays
(line numbers, times), so that xarray opens it as a labelled array. What the project
knows of the object (geometry, source) is in the group's attributes.

The values are small bricks grouped in shards of whole-trace columns: a brick serves
inline, crossline and time slices alike, a shard keeps the number of objects small and
holds whole traces, so that trace-wise work can take a shard at a time.

A new cube is written under a hidden name beside its final one and takes that name only
when it is complete (`CubeWriter.commit`): a failed write is removed at once, and what a
killed writer left is removed by the next writer into that folder or prefix.

    store = StoreLocation.parse("s3://bucket/surveys", profile="lab")
    with create_cube(store.cube_url("survey.amplitude"), shape, "float32",
                     profile=store.profile) as writer:
        writer.write((slice(0, 64),), values)
        cube = writer.commit()
    cube = open_cube("s3://bucket/surveys/survey.amplitude.zarr", profile="lab")
    cube.read((10, slice(None), slice(None)))      # an inline, as numpy
    cube.as_dask()                                 # dask array, one block per shard
"""

import atexit
import configparser
import itertools
import json
import mmap
import os
import re
import secrets
import socket
import threading
import time
import warnings
from collections import OrderedDict
from dataclasses import dataclass, field

import numpy as np

from gemlo.storage.datafile import fsync_folder

DIMENSIONS = ("inline", "xline", "time")
# Bricks of 32 x 32 traces x 64 samples (256 KiB of float32) in shards of 64 x 64 whole
# traces: smaller bricks cost more in the codec pipeline than they save in reading.
BRICK = (32, 32, 64)
SHARD_TRACES = (64, 64)
SUFFIX = ".zarr"
# A cube being written: hidden, named after its final name, the writer's process and a token.
WRITING = re.compile(r"\.(?P<name>.+)\.(?P<pid>\d+)-(?P<token>[0-9a-f]{12})\.part")
MARKER = ".gemlo-writer.json"
# A writer on another machine cannot be asked whether it lives: its leftovers go after a day.
STALE_SECONDS = 24 * 3600
PROFILES_ENV = "GEMLO_STORES"


class StoreError(OSError):
    """A cube store that cannot be reached, read or written; the message says which and why."""


# Profiles: where a bucket is and the keys to it


def profiles_path():
    """The file of store profiles: $GEMLO_STORES, else gemlo/stores.ini in the user's
    configuration folder."""
    if os.environ.get(PROFILES_ENV):
        return os.path.expanduser(os.environ[PROFILES_ENV])
    base = os.environ.get("XDG_CONFIG_HOME") or os.path.expanduser("~/.config")
    return os.path.join(base, "gemlo", "stores.ini")


@dataclass(frozen=True)
class Profile:
    """An S3-compatible endpoint and the keys the user gave for it."""

    name: str
    key: str
    secret: str = field(repr=False)
    endpoint_url: str | None = None
    region: str | None = None

    @classmethod
    def load(cls, name, path=None):
        """The profile `name` from the profiles file (a section [name] with endpoint_url,
        key, secret and region)."""
        path = path or profiles_path()
        parser = configparser.ConfigParser(interpolation=None)
        try:
            with open(path, encoding="utf-8") as fp:
                parser.read_file(fp)
        except FileNotFoundError:
            raise StoreError(f"No store profile {name!r}: {path} does not exist") from None
        except (OSError, configparser.Error, UnicodeDecodeError) as error:
            raise StoreError(f"Cannot read the store profiles in {path}: {error}") from error
        if not parser.has_section(name):
            raise StoreError(f"No store profile {name!r} in {path}")
        section = parser[name]
        missing = [k for k in ("key", "secret") if not section.get(k, "").strip()]
        if missing:
            # Never fall back on credentials found elsewhere on the machine.
            raise StoreError(f"The store profile {name!r} in {path} lacks {' and '.join(missing)}")
        return cls(
            name,
            section["key"].strip(),
            section["secret"].strip(),
            section.get("endpoint_url", "").strip() or None,
            section.get("region", "").strip() or None,
        )

    def storage_options(self):
        """s3fs's options: these keys and this endpoint only, listings never cached (another
        process may have written meanwhile)."""
        options = {
            "key": self.key,
            "secret": self.secret,
            "anon": False,
            "use_listings_cache": False,
            # An endpoint that does not answer is reported within seconds, not minutes.
            "config_kwargs": {"connect_timeout": 5, "retries": {"max_attempts": 2}},
        }
        if self.endpoint_url:
            options["endpoint_url"] = self.endpoint_url
        if self.region:
            options["client_kwargs"] = {"region_name": self.region}
        return options


def _profile(profile):
    if profile is None or isinstance(profile, Profile):
        return profile
    return Profile.load(profile)


@dataclass(frozen=True)
class StoreLocation:
    """Where a project keeps cubes: "npy" (memory-mapped files beside the project),
    "zarr" (Zarr stores beside it, or in the folder `root`) or "s3" (under the prefix
    `root`, "bucket/prefix", reached with the named `profile`)."""

    kind: str
    root: str = ""
    profile: str | None = None

    @classmethod
    def parse(cls, text, profile=None):
        """ "npy", "zarr", "zarr:FOLDER" or "s3://bucket/prefix"."""
        text = str(text).strip()
        if text in ("npy", "zarr"):
            return cls(text)
        if text.startswith("zarr:") and text[5:]:
            return cls("zarr", os.path.abspath(os.path.expanduser(text[5:])))
        if text.startswith("s3://"):
            root = text[5:].strip("/")
            if not root or root.startswith("/") or "//" in root:
                raise StoreError(f"{text!r} names no bucket: use s3://bucket/prefix")
            name = profile.name if isinstance(profile, Profile) else profile
            return cls("s3", root, name)
        raise StoreError(
            f"Unknown store {text!r}: use npy, zarr, zarr:FOLDER or s3://bucket/prefix"
        )

    def cube_url(self, name, beside=None):
        """The location of the cube `name` in this store; `beside` is the folder of the
        project, where "zarr" without a folder puts it."""
        if self.kind == "s3":
            return f"s3://{self.root}/{name}{SUFFIX}"
        if self.kind != "zarr":
            raise StoreError(f"A {self.kind} store holds no Zarr cubes")
        folder = self.root or beside
        if not folder:
            raise StoreError("A Zarr store beside the project needs the project's folder")
        return os.path.join(folder, name + SUFFIX)

    def __str__(self):
        if self.kind == "s3":
            return f"s3://{self.root}"
        return f"zarr:{self.root}" if self.root else self.kind


# Reaching a cube's location


def _is_s3(url):
    return str(url).startswith("s3://")


def _filesystem(url, profile):
    """(fsspec file system, path in it, is S3) of the location `url`."""
    url = os.fspath(url)
    if _is_s3(url):
        if profile is None:
            raise StoreError(f"{url} needs a store profile (endpoint and keys)")
        import s3fs

        return s3fs.S3FileSystem(**profile.storage_options()), url[5:].rstrip("/"), True
    import fsspec

    return fsspec.filesystem("file"), os.path.abspath(os.path.expanduser(url)), False


_ASYNC_S3 = {}


def _async_s3(profile):
    """The asynchronous S3 file system zarr reads and writes a profile's bucket with: one
    per profile, its connections closed when the program ends."""
    import s3fs

    fs = _ASYNC_S3.get(profile)
    if fs is None:
        if not _ASYNC_S3:
            atexit.register(_close_async_s3)
        fs = _ASYNC_S3[profile] = s3fs.S3FileSystem(
            asynchronous=True, skip_instance_cache=True, **profile.storage_options()
        )
    return fs


def _close_async_s3():
    from zarr.core.sync import sync

    for fs in _ASYNC_S3.values():
        client = getattr(fs, "_s3", None)
        if client is not None:
            try:
                sync(client.close())
            except Exception:  # noqa: BLE001 - the program is ending anyway
                pass
    _ASYNC_S3.clear()


def _zarr_store(url, profile, read_only):
    import zarr.storage

    url = os.fspath(url)
    if _is_s3(url):
        fs = _async_s3(profile)
        return zarr.storage.FsspecStore(fs, read_only=read_only, path=url[5:].rstrip("/"))
    return zarr.storage.LocalStore(os.path.abspath(os.path.expanduser(url)), read_only=read_only)


def _reason(error):
    return getattr(error, "strerror", None) or str(error) or type(error).__name__


# Reading


class CubeStore:
    """A cube opened from its store. Opening reads its metadata only; values are read
    when asked for, from any thread."""

    def __init__(self, url, group, array, profile=None):
        self.url = os.fspath(url)
        self.profile = profile
        self._group = group
        self._array = array
        self.name = array.basename
        self.attrs = dict(group.attrs)

    shape = property(lambda self: tuple(self._array.shape))
    dtype = property(lambda self: np.dtype(self._array.dtype))
    ndim = property(lambda self: len(self._array.shape))
    size = property(lambda self: int(np.prod(self.shape, dtype=np.int64)))
    nbytes = property(lambda self: self.size * self.dtype.itemsize)
    # The bricks that are read and decoded as a unit, and the shards (objects) they are in.
    chunks = property(lambda self: tuple(self._array.chunks))
    shards = property(lambda self: tuple(self._array.shards or self._array.chunks))
    dimensions = DIMENSIONS

    @property
    def is_remote(self):
        return _is_s3(self.url)

    def read(self, slices=()):
        """The values at `slices` (as numpy indexes them: ints and slices), as numpy."""
        try:
            return np.asarray(self._array[slices])
        except (IndexError, TypeError):
            raise  # a bad index, as numpy says it
        except Exception as error:  # the store's libraries raise more than OSError
            raise StoreError(f"Cannot read {self.url}: {_reason(error)}") from error

    __getitem__ = read

    def __array__(self, dtype=None, copy=None):
        values = self.read()
        return values if dtype is None else values.astype(dtype, copy=False)

    def __len__(self):
        return self.shape[0]

    def coords(self):
        """dimension -> its 1-D coordinate values (line numbers, times)."""
        return {d: np.asarray(self._group[d][...]) for d in DIMENSIONS if d in self._group}

    def as_dask(self, chunks=None):
        """The values as a dask array, a block per shard (whole traces) unless `chunks`."""
        import dask.array as da

        return da.from_zarr(self._array, chunks=chunks or self.shards)

    def __repr__(self):
        return f"CubeStore({self.url}, {self.name}, {self.dtype}, {self.shape})"


def open_cube(location, profile=None):
    """The cube at `location` (a folder or s3://bucket/prefix/name.zarr); `profile` (a
    Profile or the name of one) reaches a bucket. StoreError when it is not there or
    not a cube."""
    import zarr

    profile = _profile(profile)
    location = os.fspath(location)
    fs, path, _remote = _filesystem(location, profile)
    try:
        group = zarr.open_group(_zarr_store(location, profile, True), mode="r")
        name = group.attrs.get("variable")
        array = group[name] if name else None
    except FileNotFoundError:
        raise StoreError(f"No cube at {location}") from None
    except Exception as error:  # the store's libraries raise more than OSError
        exists = _exists(fs, path)
        raise StoreError(
            f"{location} is not a cube: {_reason(error)}" if exists else f"No cube at {location}"
        ) from error
    if array is None or len(array.shape) != 3:
        raise StoreError(f"{location} is not a cube: it holds no 3-D values")
    return CubeStore(location, group, array, profile)


def cube_exists(location, profile=None):
    """Whether a complete cube is at `location`."""
    fs, path, _remote = _filesystem(location, _profile(profile))
    return _exists(fs, f"{path}/zarr.json")


def _exists(fs, path):
    try:
        return fs.exists(path)
    except Exception as error:  # an endpoint that cannot be reached, refused keys, ...
        raise StoreError(f"Cannot reach {path}: {_reason(error)}") from error


def delete_cube(location, profile=None):
    """Remove the cube at `location` (its metadata first, so a half-removed cube is none)."""
    fs, path, _remote = _filesystem(location, _profile(profile))
    try:
        if _exists(fs, path):
            fs.rm(f"{path}/zarr.json")
            fs.rm(path, recursive=True)
    except StoreError:
        raise
    except Exception as error:
        raise StoreError(f"Cannot remove {location}: {_reason(error)}") from error


# Writing


def default_layout(shape):
    """(bricks, shards) for a cube of `shape`: whole-trace shard columns of small bricks."""
    shape = tuple(int(n) for n in shape)
    brick = tuple(max(1, min(b, n)) for b, n in zip(BRICK, shape, strict=True))
    shard = [max(1, min(s, n)) for s, n in zip(SHARD_TRACES, shape[:2], strict=True)]
    # A shard is a whole number of bricks along each axis.
    shard = [-(-s // b) * b for s, b in zip(shard, brick[:2], strict=True)]
    return brick, (*shard, -(-shape[2] // brick[2]) * brick[2])


def _compressors():
    from zarr.codecs import BloscCodec

    # Lossless; the byte shuffle makes float samples compress, lz4 keeps pace with a disk.
    return [BloscCodec(cname="lz4", clevel=5, shuffle="shuffle")]


def _alive(marker):
    pid, host = marker.get("pid"), marker.get("host")
    if host == socket.gethostname() and isinstance(pid, int):
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return False
        except PermissionError:
            return True
        return True
    return time.time() - float(marker.get("started", 0)) < STALE_SECONDS


def remove_dead_writes(parent, profile=None):
    """Remove what killed writers left in the folder or prefix `parent`: their hidden
    cubes, and a final cube whose move into place they did not finish."""
    profile = _profile(profile)
    fs, path, remote = _filesystem(parent, profile)
    if not _exists(fs, path):
        return
    try:
        entries = fs.ls(path, detail=False)
    except Exception as error:
        raise StoreError(f"Cannot list {parent}: {_reason(error)}") from error
    for entry in entries:
        match = WRITING.fullmatch(entry.rstrip("/").rsplit("/", 1)[-1])
        if match is None:
            continue
        try:
            with fs.open(f"{entry}/{MARKER}", "rb") as fp:
                marker = json.loads(fp.read())
        except (OSError, ValueError):
            # Without its marker it is complete (the last step drops the marker) or was
            # killed while it began: a writer of this host that is gone left it.
            marker = {"pid": int(match["pid"]), "host": socket.gethostname(), "started": 0}
        if _alive(marker):
            continue
        target = f"{path}/{match['name']}"
        if remote and not _exists(fs, f"{target}/zarr.json") and _exists(fs, target):
            fs.rm(target, recursive=True)  # a move into place that stopped half-way
        fs.rm(entry, recursive=True)


class CubeWriter:
    """A new cube, written under a hidden name until `commit()` gives it its own.

    `array` is the zarr array of its values; `write(region, values)` stores a block (any
    thread, blocks of whole shards written at once from different threads). As a context
    manager it discards the cube on an exception.
    """

    def __init__(
        self,
        location,
        shape,
        dtype,
        chunks=None,
        attrs=None,
        profile=None,
        *,
        shards=None,
        name="amplitude",
        coords=None,
    ):
        import zarr

        self.profile = _profile(profile)
        self.location = os.fspath(location).rstrip("/")
        self.shape = tuple(int(n) for n in shape)
        self.dtype = np.dtype(dtype)
        if len(self.shape) != 3 or min(self.shape) < 1:
            raise ValueError(f"a cube needs three axes of at least one value, not {self.shape}")
        if self.dtype.hasobject or self.dtype.kind not in "biuf":
            raise TypeError(f"a cube holds numbers, not {self.dtype}")
        brick, shard = default_layout(self.shape)
        self.chunks = tuple(chunks or brick)
        self.shards = tuple(shards or (shard if chunks is None else self.chunks))
        self.committed = False
        self._lock = threading.Lock()
        self._fs, self._path, self._remote = _filesystem(self.location, self.profile)
        parent, base = self._path.rsplit("/", 1) if "/" in self._path else ("", self._path)
        self._parent = parent
        self.parent = self.location.rsplit("/", 1)[0]
        if _exists(self._fs, self._path):
            raise StoreError(f"Cannot write the cube: {self.location} exists already")
        remove_dead_writes(self.parent, self.profile)
        hidden = f".{base}.{os.getpid()}-{secrets.token_hex(6)}.part"
        self._hidden_path = f"{parent}/{hidden}"
        self.hidden = f"{self.parent}/{hidden}"
        try:
            if not self._remote:
                os.makedirs(self._hidden_path)
            with self._fs.open(f"{self._hidden_path}/{MARKER}", "wb") as fp:
                marker = {"pid": os.getpid(), "host": socket.gethostname(), "started": time.time()}
                fp.write(json.dumps(marker).encode())
            store = _zarr_store(self.hidden, self.profile, False)
            group = zarr.open_group(store, mode="a", zarr_format=3)  # ours, new
            group.attrs.update({**(attrs or {}), "variable": name})
            self.array = group.create_array(
                name,
                shape=self.shape,
                dtype=self.dtype,
                chunks=self.chunks,
                shards=self.shards,
                compressors=_compressors(),
                fill_value=0,
                dimension_names=DIMENSIONS,
                # Every brick is written: testing each for all zeros costs a pass over it.
                config={"write_empty_chunks": True},
            )
            for dim, n in zip(DIMENSIONS, self.shape, strict=True):
                values = np.arange(n) if coords is None or dim not in coords else coords[dim]
                values = np.asarray(values)
                if values.shape != (n,):
                    raise ValueError(f"{dim} coordinates need {n} values, not {values.shape}")
                coord = group.create_array(
                    dim, shape=(n,), dtype=values.dtype, chunks=(n,), dimension_names=(dim,)
                )
                coord[...] = values
            self._group = group
        except BaseException as error:
            self.discard()
            if isinstance(error, OSError | ValueError) and not isinstance(error, StoreError):
                raise StoreError(
                    f"Cannot write the cube {self.location}: {_reason(error)}"
                ) from error
            raise

    def write(self, region, values):
        """self.array[region] = values."""
        try:
            self.array[region] = values
        except Exception as error:
            raise StoreError(f"Cannot write the cube {self.location}: {_reason(error)}") from error

    def commit(self):
        """Give the complete cube its name; returns it opened. StoreError when the name was
        taken meanwhile (the cube is then discarded)."""
        import zarr
        import zarr.errors

        try:
            if _exists(self._fs, self._path):
                raise StoreError(f"Cannot write the cube: {self.location} exists already")
            # Unmarked, a hidden cube is removed only once this process is gone.
            self._fs.rm(f"{self._hidden_path}/{MARKER}")
            with warnings.catch_warnings():
                # One read of the root opens the cube (remote stores: one request).
                warnings.simplefilter("ignore", zarr.errors.ZarrUserWarning)
                zarr.consolidate_metadata(self._group.store)
            if self._remote:
                self._copy_into_place()
            else:
                _sync_tree(self._hidden_path)  # on the disk before it has its name
                os.rename(self._hidden_path, self._path)
                fsync_folder(self._parent)
        except BaseException as error:
            self.discard()
            if isinstance(error, OSError) and not isinstance(error, StoreError):
                raise StoreError(
                    f"Cannot store the cube {self.location}: {_reason(error)}"
                ) from error
            raise
        self.committed = True
        return open_cube(self.location, self.profile)

    def _copy_into_place(self):
        # Objects cannot be renamed: copy them on the server, the root's metadata last, so
        # that the cube is there only when whole.
        files = self._fs.find(self._hidden_path)
        head = f"{self._hidden_path}/"
        files.sort(key=lambda f: (f == f"{head}zarr.json", f.endswith("zarr.json")))
        try:
            for source in files:
                self._fs.copy(source, f"{self._path}/{source[len(head) :]}")
        except BaseException:
            try:
                self._fs.rm(self._path, recursive=True)
            except OSError:
                pass  # the next writer's sweep removes it
            raise
        self._fs.rm(self._hidden_path, recursive=True)

    def discard(self):
        """Remove the cube being written (unless committed); calling it again does nothing."""
        with self._lock:
            if self.committed or self._hidden_path is None:
                return
            try:
                if _exists(self._fs, self._hidden_path):
                    self._fs.rm(self._hidden_path, recursive=True)
            except (OSError, StoreError):
                pass  # left with its marker: the next writer into this folder removes it
            self._hidden_path = None

    def __enter__(self):
        return self

    def __exit__(self, etype, value, tb):
        if etype is not None:
            self.discard()
        return False

    def __repr__(self):
        return f"CubeWriter({self.location}, {self.dtype}, {self.shape})"


def create_cube(location, shape, dtype, chunks=None, attrs=None, profile=None, **options):
    """A CubeWriter of a new cube at `location` (see CubeWriter); `options`: shards,
    name (of the values, default "amplitude"), coords (dimension -> 1-D values)."""
    return CubeWriter(location, shape, dtype, chunks, attrs, profile, **options)


def write_cube(
    values,
    location,
    profile=None,
    *,
    attrs=None,
    name="amplitude",
    coords=None,
    progress=None,
    cancelled=None,
):
    """A new cube at `location` holding `values` (an array, a memory map or a CubeStore),
    copied a row of shards at a time so that memory stays bounded; returns it opened.
    `progress(done, total)` counts inlines; `cancelled()` true stops it (KeyboardInterrupt),
    leaving nothing."""
    shape, dtype = tuple(values.shape), np.dtype(values.dtype)
    if coords is None and isinstance(values, CubeStore):
        coords = values.coords()
    with create_cube(location, shape, dtype, None, attrs, profile, name=name,
                     coords=coords) as writer:  # fmt: skip
        step = writer.shards[0]
        for a in range(0, shape[0], step):
            if cancelled is not None and cancelled():
                raise KeyboardInterrupt(f"writing {location} cancelled")
            rows = (slice(a, a + step),)
            part = values.read(rows) if isinstance(values, CubeStore) else values[rows]
            writer.write(rows, part)
            _drop_pages(values)
            if progress is not None:
                progress(min(a + step, shape[0]), shape[0])
        return writer.commit()


def read_into(cube, target, progress=None, cancelled=None):
    """target[...] = the values of `cube`, a row of shards at a time (target: an array or a
    writable memory map, whose pages are let go behind the copy)."""
    step = cube.shards[0]
    for a in range(0, cube.shape[0], step):
        if cancelled is not None and cancelled():
            raise KeyboardInterrupt(f"reading {cube.url} cancelled")
        target[a : a + step] = cube.read((slice(a, a + step),))
        _drop_pages(target)
        if progress is not None:
            progress(min(a + step, cube.shape[0]), cube.shape[0])


def _drop_pages(array):
    # A long pass over a memory map keeps only what it is working on in memory (written
    # pages stay in the page cache, to be written back).
    pages = getattr(array, "_mmap", None)
    if isinstance(pages, mmap.mmap) and hasattr(mmap, "MADV_DONTNEED"):
        pages.madvise(mmap.MADV_DONTNEED)


def _sync_tree(folder):
    for here, _dirs, files in os.walk(folder):
        for name in files:
            fd = os.open(os.path.join(here, name), os.O_RDONLY)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)
        fsync_folder(here)


# Reading for viewers: bricks decoded once, kept within a byte budget


class BrickCache:
    """Slices of a cube assembled from its bricks, each read and decoded once and kept
    while the cache holds fewer than `max_bytes` (least recently used leave first)."""

    def __init__(self, cube, max_bytes=256 << 20):
        self.cube = cube
        self.max_bytes = int(max_bytes)
        self.bytes = 0
        self._bricks = OrderedDict()
        self._lock = threading.Lock()

    def read(self, slices):
        """The values at `slices` (a tuple of an int or a step-1 slice per axis)."""
        slices = tuple(slices) + (slice(None),) * (3 - len(slices))
        ranges, drop = [], []
        for axis, (s, n) in enumerate(zip(slices, self.cube.shape, strict=True)):
            if isinstance(s, slice):
                start, stop, step = s.indices(n)
                if step != 1:
                    raise ValueError("the cache reads slices of step 1")
                ranges.append((start, max(start, stop)))
            else:
                i = int(s) + n if int(s) < 0 else int(s)
                if not 0 <= i < n:
                    raise IndexError(f"index {s} is out of range for an axis of {n}")
                ranges.append((i, i + 1))
                drop.append(axis)
        chunks = self.cube.chunks
        spans = [range(a // c, -(-b // c)) for (a, b), c in zip(ranges, chunks, strict=True)]
        wanted = list(itertools.product(*spans))
        with self._lock:
            bricks = {i: self._bricks.get(i) for i in wanted}
            for i in wanted:
                if bricks[i] is not None:
                    self._bricks.move_to_end(i)
        if any(b is None for b in bricks.values()):
            bricks.update(self._fetch(spans))
        out = np.empty([b - a for a, b in ranges], self.cube.dtype)
        for index in wanted:
            src, dst = [], []
            for i, (a, b), c in zip(index, ranges, chunks, strict=True):
                lo, hi = max(a, i * c), min(b, (i + 1) * c)
                src.append(slice(lo - i * c, hi - i * c))
                dst.append(slice(lo - a, hi - a))
            out[tuple(dst)] = bricks[index][tuple(src)]
        return out.squeeze(axis=tuple(drop)) if drop else out

    def _fetch(self, spans):
        # One read of the bricks' bounding box: the store fetches its pieces concurrently.
        chunks, shape = self.cube.chunks, self.cube.shape
        box = tuple(
            slice(r.start * c, min(r.stop * c, n))
            for r, c, n in zip(spans, chunks, shape, strict=True)
        )
        values = self.cube.read(box)
        got = {}
        for index in itertools.product(*spans):
            part = tuple(
                slice((i - r.start) * c, (i - r.start + 1) * c)
                for i, r, c in zip(index, spans, chunks, strict=True)
            )
            got[index] = values[part].copy()
        with self._lock:
            for index, brick in got.items():
                old = self._bricks.pop(index, None)
                self.bytes += brick.nbytes - (0 if old is None else old.nbytes)
                self._bricks[index] = brick
            while self.bytes > self.max_bytes and len(self._bricks) > 1:
                _, old = self._bricks.popitem(last=False)
                self.bytes -= old.nbytes
        return got
