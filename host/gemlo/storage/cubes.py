"""Properties of a project whose values are cubes in a cube store (Zarr, in a folder or a
bucket), and moving a cube object between stores.

The project records, beside the property's dtype and shape, which store holds it: the
kind ("zarr" or "s3"), the location (relative to the project's folder when the cube is
beside it) and the profile that reaches a bucket. The property's array is then the
opened cube (`gemlo.storage.cubestore.CubeStore`): opening the project reads no values.
"""

import os
import re
import sqlite3

from gemlo.storage import safepath
from gemlo.storage.cubestore import (
    CubeStore,
    StoreError,
    delete_cube,
    open_cube,
    read_into,
    write_cube,
)


def is_cube(value):
    return isinstance(value, CubeStore)


def stored(conn, object_name):
    """property name -> (kind, location, profile) of the object's properties in cube stores."""
    try:
        rows = conn.execute(
            "SELECT name, kind, location, profile FROM property_stores WHERE object = ?",
            (object_name,),
        )
        return {name: (kind, location, profile) for name, kind, location, profile in rows}
    except sqlite3.OperationalError:  # a read-only file from before cube stores
        return {}


def record(conn, object_name, prop_name, cube, folder):
    """Record that the property's values are the cube `cube` (in the caller's transaction)."""
    location = cube.url
    kind = "s3" if cube.is_remote else "zarr"
    if kind == "zarr" and os.path.dirname(os.path.abspath(location)) == os.path.abspath(folder):
        location = os.path.basename(location)  # the folder moves with the project
    profile = cube.profile.name if cube.profile is not None else None
    conn.execute(
        "INSERT OR REPLACE INTO property_stores VALUES (?, ?, ?, ?, ?)",
        (object_name, prop_name, kind, location, profile),
    )


def open_stored(kind, location, profile, folder):
    """The cube a property record names (its metadata only is read)."""
    if kind not in ("zarr", "s3"):
        raise StoreError(f"unknown store kind {kind!r}")
    return open_cube(_absolute(kind, location, folder), profile)


def _absolute(kind, location, folder):
    if kind == "zarr" and not os.path.isabs(location):
        return os.path.join(folder, location)
    return location


def cube_name(database, object_name, prop_name):
    """The name a cube of a project's property is given in a store."""
    return ".".join(
        re.sub(r"[^\w.-]", "_", n)[:160] for n in (database.name, object_name, prop_name)
    )


def move_object(database, object_name, target, progress=None, cancelled=None):
    """Move the cube properties (3-D values) of `object_name` to the store `target` (a
    StoreLocation: npy, zarr or s3). The new copies are made first, the project switches
    to them in one transaction, and only then the old ones are removed: a failure or an
    interruption leaves the project as it was and nothing new behind. Returns the names
    of the properties moved."""
    dob = database.load_object(object_name)
    folder = os.path.dirname(os.path.abspath(database.path))
    moving = {
        p: e[dob.prop_array_key]
        for p, e in dob.prop.items()
        if len(getattr(e[dob.prop_array_key], "shape", ())) == 3
        and _store_of(e[dob.prop_array_key]) != (target.kind, target.root)
    }
    made, values = [], {}
    try:
        for prop_name, source in moving.items():
            tell = None if progress is None else (lambda d, t, p=prop_name: progress(p, d, t))
            if target.kind == "npy":
                data_file = database.new_data_file(
                    object_name, prop_name, source.dtype, source.shape
                )
                made.append(data_file)
                read_into(source, data_file.array, tell, cancelled)  # a cube: npy stays
                values[prop_name] = data_file
            else:
                location = target.cube_url(cube_name(database, object_name, prop_name), folder)
                cube = write_cube(
                    source,
                    location,
                    target.profile,
                    attrs={"meta": dob.meta},
                    name=prop_name,
                    coords=None if is_cube(source) else _coords(dob.meta, source.shape),
                    progress=tell,
                    cancelled=cancelled,
                )
                made.append(cube)
                values[prop_name] = cube
        if values:
            database.store_properties(dob, values)
    except BaseException:
        for thing in made:
            if is_cube(thing):
                _remove_quietly(thing)
            else:
                thing.discard()
        raise
    folder_locations = {_absolute(k, loc, folder) for k, loc, _p in stored_all(database._conn)}
    for source in moving.values():
        if is_cube(source) and source.url not in folder_locations:
            _remove_quietly(source)  # no property of the project refers to it any more
    return list(values)


def _store_of(array):
    if not is_cube(array):
        return ("npy", "")
    if array.is_remote:
        return ("s3", array.url[5:].rsplit("/", 1)[0])
    return ("zarr", os.path.dirname(array.url))


def _remove_quietly(cube):
    try:
        delete_cube(cube.url, cube.profile)
    except StoreError as error:
        from gemlo.utils.logger import logger

        logger.warning(f"Could not remove the cube {cube.url}: {error}")


def _coords(meta, shape):
    """Line numbers and sample times of a cube of `shape` from its object's meta."""
    import numpy as np

    n_il, n_xl, ns = shape
    return {
        "inline": meta.get("il0", 0) + meta.get("il_step", 1) * np.arange(n_il),
        "xline": meta.get("xl0", 0) + meta.get("xl_step", 1) * np.arange(n_xl),
        "time": meta.get("z0", 0.0) + meta.get("dz", 1.0) * np.arange(ns, dtype=np.float64),
    }


def remove_recorded(conn, folder, stem):
    """Remove the cubes a project that is being thrown away recorded, of those named after
    it (`stem`): an import into a new project that did not complete."""
    for kind, location, profile in stored_all(conn):
        if not isinstance(location, str) or not location.rsplit("/", 1)[-1].startswith(f"{stem}."):
            continue
        if kind == "zarr":
            # A file anyone can edit names it: only a cube beside the project is its own.
            try:
                location = safepath.resolve(os.path.join(folder, f"{stem}.lmd"), location)
            except ValueError as error:
                from gemlo.utils.logger import logger

                logger.warning(f"Left the cube {location!r} alone: {error}")
                continue
        try:
            delete_cube(_absolute(kind, location, folder), profile)
        except StoreError as error:
            from gemlo.utils.logger import logger

            logger.warning(f"Could not remove the cube {location}: {error}")


def stored_all(conn):
    try:
        return list(conn.execute("SELECT kind, location, profile FROM property_stores"))
    except sqlite3.OperationalError:
        return []
