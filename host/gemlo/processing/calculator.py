"""Property scripts run all or nothing.

The script runs through the data tree's `property_operation` (its names stand for the
property arrays, results are written into them), but on a stand-in object holding
copies: the object's own arrays change only when every result is stored, in one
commit of the project. A failed or killed run changes nothing.

A script that only computes value by value (names, numbers, arithmetic, comparisons,
`abs`, `astype`, `clip`, `round`) runs a chunk of the first axis at a time, its results
written into new data files: memory stays that of a few chunks whatever the cube's
size. Any other script runs once, on copies of the whole arrays (copy-on-write maps of
mapped ones).

A result whose values the property's type cannot hold without truncating them (floats
into an integer property) makes the property take the result's type, and the log says
so; integers too large for an integer property are refused, naming it.
"""

import ast
import copy

import numpy as np
from numpy.lib import format as npy_format

from gemlo.model.dataobject import PERCENTILES
from gemlo.storage.chunks import (
    COPY_CHUNK_BYTES,
    copy_chunked,
    drop_pages,
    needs_data_file,
    rows_per_chunk,
)
from gemlo.storage.datafile import DataFile, mapped_file
from gemlo.utils.logger import logger

# Array methods and builtins that work value by value.
METHODS = {"astype", "clip", "round"}
BUILTINS = {"abs"}
NP_NAMES = {"where", "clip", "pi", "e", "nan", "inf"}
# How many chunk-sized arrays a value-by-value script holds at once, per property.
TEMPORARIES = 3


class _Slot(np.ndarray):
    """A property array of the stand-in object: stores into it go through its property,
    which keeps them from truncating values; what is computed from it is a plain array."""

    def __array_finalize__(self, obj):
        self._prop = getattr(obj, "_prop", None)

    def __array_wrap__(self, array, context=None, return_scalar=False):
        array = array.view(np.ndarray)
        return array[()] if return_scalar else array

    def __setitem__(self, key, value):
        if self._prop is None:
            super().__setitem__(key, value)
        else:
            self._prop.store(self, key, value)


def _root(array):
    while isinstance(array.base, np.ndarray):
        array = array.base
    return array if array.base is None else array.base


def _value_dtype(value, dtype):
    if isinstance(value, (bool, int, float, complex)):
        # A Python number takes the array's type where it can (numpy's own rule).
        return np.result_type(dtype, value)
    return np.asarray(value).dtype


class _Property:
    """One property of the stand-in object: its entry and what the script did to it."""

    def __init__(self, name, entry, key, array):
        self.name, self.entry, self.key = name, entry, key
        self.original = array
        self.touched = False
        self.promoted = None
        self.put(array)

    def put(self, array):
        array._prop = self
        self.entry[self.key] = array

    def release(self):
        # The arrays refer to their property: without this cycle they go as soon as
        # the chunk is done, not at the next garbage collection.
        self.entry.clear()
        self.original = None

    def store(self, target, key, value):
        current = self.entry[self.key]
        if _root(target) is not _root(current):
            np.ndarray.__setitem__(target, key, value)  # a copy made by the script
            return
        self.touched = True
        dtype, got = current.dtype, _value_dtype(value, current.dtype)
        if np.can_cast(got, dtype, "same_kind"):
            if dtype.kind in "iu" and not np.can_cast(got, dtype, "safe"):
                self._check_range(value, dtype)
            np.ndarray.__setitem__(target, key, value)
            return
        if got.kind not in "biufc":
            raise TypeError(f"the property {self.name!r} cannot hold {got} values")
        whole = target.shape == current.shape and (
            key is Ellipsis or key == slice(None) or key == ()
        )
        if not whole:
            raise TypeError(
                f"storing {got} values into part of the {dtype} property {self.name!r} "
                f"would truncate them; convert it whole first, e.g. "
                f"{self.name} = {self.name}.astype('{got}')"
            )
        promoted = _Slot(current.shape, got)
        np.ndarray.__setitem__(promoted, Ellipsis, value)
        self.promoted = (self.promoted or (dtype,))[:1] + (got,)
        self.put(promoted)

    def _check_range(self, value, dtype):
        value = np.asarray(value)
        if value.size == 0:
            return
        info = np.iinfo(dtype)
        low, high = value.min(), value.max()
        if low < info.min or high > info.max:
            raise OverflowError(
                f"the values for the property {self.name!r} ({low} to {high}) do not fit "
                f"its type {dtype}"
            )


def elementwise_plan(script, prop_names):
    """(properties used, properties assigned) if `script` computes value by value, else None."""
    try:
        tree = ast.parse(script)
    except SyntaxError:
        return None
    props = set(prop_names)
    for node in ast.walk(tree):
        # The rewriting would reach a property name used as an attribute or keyword.
        if isinstance(node, ast.Attribute) and node.attr in props:
            return None
        if isinstance(node, ast.keyword) and node.arg in props:
            return None
    local, used, assigned = set(), [], []
    numpy = set()  # the names numpy is imported as

    def is_np(node):
        return isinstance(node.value, ast.Name) and node.value.id in numpy

    def name_ok(name):
        if name in props:
            if name not in used:
                used.append(name)
            return True
        return name in local

    def ok(node):
        if isinstance(node, ast.Constant):
            return type(node.value) in (int, float, complex, bool)
        if isinstance(node, ast.Name):
            return name_ok(node.id)
        if isinstance(node, ast.BinOp):
            return not isinstance(node.op, ast.MatMult) and ok(node.left) and ok(node.right)
        if isinstance(node, ast.UnaryOp):
            return not isinstance(node.op, ast.Not) and ok(node.operand)
        if isinstance(node, ast.Compare):
            return (
                len(node.ops) == 1
                and not isinstance(node.ops[0], (ast.In, ast.NotIn, ast.Is, ast.IsNot))
                and ok(node.left)
                and ok(node.comparators[0])
            )
        if isinstance(node, ast.Attribute):
            return is_np(node) and (
                node.attr in NP_NAMES or isinstance(getattr(np, node.attr, None), np.ufunc)
            )
        if isinstance(node, ast.Call) and not node.keywords:
            func = node.func
            if isinstance(func, ast.Name) and func.id in BUILTINS and func.id not in local | props:
                return all(ok(a) for a in node.args)
            if isinstance(func, ast.Attribute) and is_np(func):
                # np.where with one argument gives indices, not values.
                whole = func.attr != "where" or len(node.args) == 3
                return whole and ok(func) and all(ok(a) for a in node.args)
            if isinstance(func, ast.Attribute) and func.attr in METHODS:
                if func.attr == "astype":
                    return len(node.args) == 1 and _is_type(node.args[0]) and ok(func.value)
                return ok(func.value) and all(ok(a) for a in node.args)
        return False

    for statement in tree.body:
        if isinstance(statement, ast.Import):
            for alias in statement.names:
                name = alias.asname or alias.name
                if alias.name != "numpy" or name in props or name in local:
                    return None
                numpy.add(name)
            continue
        if isinstance(statement, ast.Assign):
            targets = statement.targets
            if not (all(isinstance(t, ast.Name) for t in targets) and ok(statement.value)):
                return None
        elif isinstance(statement, ast.AugAssign):
            targets = [statement.target]
            if not (
                isinstance(statement.target, ast.Name)
                and not isinstance(statement.op, ast.MatMult)
                and name_ok(statement.target.id)
                and ok(statement.value)
            ):
                return None
        else:
            return None
        for target in targets:
            if target.id in numpy:
                return None
            if target.id in props:
                if target.id not in used:
                    used.append(target.id)
                if target.id not in assigned:
                    assigned.append(target.id)
            else:
                local.add(target.id)
    return used, assigned


def _is_type(node):
    if isinstance(node, ast.Constant):
        return isinstance(node.value, str)
    if isinstance(node, ast.Name):
        return node.id in ("float", "int", "bool", "complex")
    return isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name)


def _same(a, b):
    """Whether two arrays hold the same bytes, compared a chunk at a time."""
    if a.shape != b.shape or a.dtype != b.dtype:
        return False
    if a.ndim == 0:
        return a.tobytes() == b.tobytes()
    rows = rows_per_chunk(a.shape, a.dtype.itemsize)
    for i in range(0, a.shape[0], rows):
        same = (
            np.ascontiguousarray(a[i : i + rows]).tobytes()
            == np.ascontiguousarray(b[i : i + rows]).tobytes()
        )
        drop_pages(a)
        drop_pages(b)
        if not same:
            return False
    return True


class PropertyRun:
    """One run of `script` on the object `name` of `object_data` (see the module)."""

    def __init__(self, object_data, name, script, database=None, execute=None, progress=None):
        self.object_data = object_data
        self.dob = object_data[name]
        self.script = script
        self.database = database
        # execute(name, script) runs the script on object_data[name]: property_operation.
        self.execute = execute
        self.progress = progress
        self.outputs = {}  # property -> DataFile or array of its new values
        self.attributes = {}
        self.promoted = {}

    def run(self):
        """Run and store; returns whether anything changed. Raises what the script or the
        project raised, with the object and the project as they were."""
        if self.database is not None:
            self.database.check_writable()  # before anything is computed
        try:
            plan = self._plan()
            if plan is not None:
                remove, meta = self._run_chunked(*plan), None
            else:
                remove, meta = self._run_whole()
            if not (self.outputs or self.attributes or remove or meta is not None):
                return False
            self._store(remove, meta)
        finally:
            for output in self.outputs.values():
                if isinstance(output, DataFile):
                    output.discard()  # stored ones stay
        for name, (old, new) in self.promoted.items():
            logger.warning(
                "The property %s of %s now holds %s values (it held %s): the script's "
                "results are not all %s",
                name,
                self.dob.name,
                new,
                old,
                old,
            )
        return True

    # Running

    def _plan(self):
        dob = self.dob
        plan = elementwise_plan(self.script, dob.prop)
        if not plan or not plan[0]:
            return None
        shapes = {np.shape(dob.array(p)) for p in plan[0]}
        if len(shapes) != 1 or len(next(iter(shapes))) == 0:
            return None
        return plan

    def _stand_in(self):
        dob = self.dob
        return type(dob)(dob.name, {}, dob.prop_array_key, copy.deepcopy(dob.meta))

    def _execute(self, stand_in):
        name = self.dob.name
        self.object_data[name] = stand_in
        try:
            self.execute(name, self.script)
        finally:
            self.object_data[name] = self.dob

    def _run_chunked(self, used, assigned):
        dob, key = self.dob, self.dob.prop_array_key
        shape = np.shape(dob.array(used[0]))
        itemsize = sum(dob.array(p).dtype.itemsize for p in used)
        rows = rows_per_chunk(shape, itemsize * TEMPORARIES, COPY_CHUNK_BYTES)
        order = [p for p in dob.prop if p in used]
        for a in range(0, shape[0], rows):
            stand_in = self._stand_in()
            props = {}
            for p in order:
                source = dob.array(p)[a : a + rows]
                if p in assigned:
                    array = _Slot(source.shape, source.dtype)
                    np.ndarray.__setitem__(array, Ellipsis, source)
                else:
                    array = source.view(_Slot)
                    array.flags.writeable = False
                entry = {k: v for k, v in dob.prop[p].items() if k != key}
                stand_in.prop[p] = entry
                props[p] = _Property(p, entry, key, array)
            self._execute(stand_in)
            for p in assigned:
                result = props[p].entry[key]
                if props[p].promoted:
                    self.promoted[p] = props[p].promoted
                if p not in self.outputs:
                    self.outputs[p] = self._output(p, result.dtype, shape)
                out = self.outputs[p]
                out = out.array if isinstance(out, DataFile) else out
                if result.dtype != out.dtype:
                    raise TypeError(
                        f"the script gave the property {p!r} values of {result.dtype} "
                        f"in one part and {out.dtype} in another"
                    )
                out[a : a + rows] = result
                drop_pages(out)
            for prop in props.values():
                prop.release()
            del stand_in, props
            for p in order:
                drop_pages(dob.array(p))
            if self.progress is not None:
                self.progress(min(a + rows, shape[0]), shape[0])
        cached = PERCENTILES
        for p in assigned:
            self.attributes[p] = {k: v for k, v in dob.prop[p].items() if k not in (key, cached)}
        return ()

    def _output(self, prop_name, dtype, shape):
        """Where the new values of a property go: a data file for a mapped or large
        property of a project, else memory."""
        old = self.dob.prop.get(prop_name, {}).get(self.dob.prop_array_key)
        nbytes = int(np.prod(shape, dtype=np.int64)) * np.dtype(dtype).itemsize
        if self.database is not None and (isinstance(old, np.memmap) or needs_data_file(nbytes)):
            return self.database.new_data_file(self.dob.name, prop_name, dtype, shape)
        return np.empty(shape, dtype)

    def _run_whole(self):
        dob, key, cached = self.dob, self.dob.prop_array_key, PERCENTILES
        stand_in = self._stand_in()
        props = {}
        for p, entry in dob.prop.items():
            old = entry[key]
            file = mapped_file(old)
            if file:
                array = npy_format.open_memmap(file, "c").view(_Slot)
            else:
                array = np.array(old, copy=True, subok=False).view(_Slot)
            attributes = copy.deepcopy({k: v for k, v in entry.items() if k != key})
            stand_in.prop[p] = attributes
            props[p] = _Property(p, attributes, key, array)
        self._execute(stand_in)
        for p, entry in stand_in.prop.items():
            if key not in entry:
                raise ValueError(f"the script left the property {p!r} without its {key!r}")
            new = entry[key]
            attributes = {k: v for k, v in entry.items() if k not in (key, cached)}
            if p not in dob.prop:
                self._take(p, new)
                self.attributes[p] = attributes
                continue
            prop = props.get(p)
            old_attributes = {k: v for k, v in dob.prop[p].items() if k not in (key, cached)}
            if prop is not None and prop.promoted:
                self.promoted[p] = prop.promoted
            changed = (
                prop is None
                or new is not prop.original
                or prop.touched
                or not _same(np.asarray(new), dob.prop[p][key])
            )
            if changed:
                self._take(p, new)
                self.attributes[p] = attributes
            elif attributes != old_attributes:
                self.outputs[p] = dob.prop[p][key]
                self.attributes[p] = attributes
        remove = [p for p in dob.prop if p not in stand_in.prop]
        meta = stand_in.meta if stand_in.meta != dob.meta else None
        for prop in props.values():
            prop.release()
        return remove, meta

    def _take(self, prop_name, array):
        array = np.asarray(array)
        if isinstance(array, _Slot) or isinstance(array, np.memmap):
            array = array.view(np.ndarray)
        output = self._output(prop_name, array.dtype, array.shape) if array.ndim else None
        if isinstance(output, DataFile):
            self.outputs[prop_name] = output
            copy_chunked(array, output.array)
        else:
            self.outputs[prop_name] = np.array(array)

    # Storing

    def _store(self, remove, meta):
        dob, key = self.dob, self.dob.prop_array_key
        if self.database is not None:
            self.database.store_properties(
                dob, self.outputs, self.attributes, remove=remove, meta=meta
            )
            return
        for p, output in self.outputs.items():
            dob.prop[p] = {key: output, **self.attributes.get(p, {})}
        for p in remove:
            dob.prop.pop(p, None)
        if meta is not None:
            dob.meta = meta


def run(object_data, name, script, database=None, execute=None, progress=None):
    """Run the property script `script` on the object `name` (see the module); returns
    whether anything changed."""
    return PropertyRun(object_data, name, script, database, execute, progress).run()
