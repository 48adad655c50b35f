"""Values read back from a project, bounded before they are decoded.

A record (an object's attributes, a viewer's state) is a JSON text in the project file,
which anyone can edit: its size and nesting are checked before it is decoded, so that a
damaged one costs neither the program's memory nor its stack.
"""

import json
import re

import numpy as np

# Far beyond any record this application writes (a few KB), yet decoded in ~100 MB.
MAX_TEXT = 4 << 20
MAX_DEPTH = 64
_STRING = re.compile(rb'"(?:[^"\\]|\\.)*"', re.DOTALL)
_OPEN = np.zeros(256, np.int8)
_OPEN[[ord("["), ord("{")]] = 1
_OPEN[[ord("]"), ord("}")]] = -1


def depth(text):
    """How deeply the JSON `text` nests its arrays and objects."""
    data = text.encode("utf-8", "surrogatepass") if isinstance(text, str) else bytes(text)
    brackets = _STRING.sub(b"", data)
    if not brackets:
        return 0
    steps = _OPEN[np.frombuffer(brackets, np.uint8)]
    return int(np.cumsum(steps, dtype=np.int64).max(initial=0))


def loads(text):
    """The value of the JSON `text`; ValueError saying why when it is not one, is larger
    than MAX_TEXT or nests deeper than MAX_DEPTH."""
    if not isinstance(text, (str, bytes)):
        raise ValueError(f"a {type(text).__name__} where a JSON text belongs")
    if len(text) > MAX_TEXT:
        raise ValueError(f"its text is {len(text)} long, more than the {MAX_TEXT} read")
    nesting = depth(text)
    if nesting > MAX_DEPTH:
        raise ValueError(f"it nests {nesting} levels deep, more than the {MAX_DEPTH} read")
    try:
        return json.loads(text)
    except RecursionError:
        raise ValueError("it nests too deeply") from None


def expect(value, kind, what):
    """`value` if it is of the type `kind` (a type or tuple of them); ValueError naming
    `what` otherwise: a record whose fields have other types is damaged."""
    if not isinstance(value, kind):
        raise ValueError(f"{what} is a {type(value).__name__}, not {_names(kind)}")
    return value


def _names(kind):
    kinds = kind if isinstance(kind, tuple) else (kind,)
    text = {str: "text", dict: "a record", list: "a list", int: "a whole number"}
    return " or ".join(text.get(k, k.__name__) for k in kinds)
