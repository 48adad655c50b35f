"""The packages below the window load no GUI toolkit, the commands included."""

import pkgutil
import subprocess
import sys
from pathlib import Path

import gemlo

HEADLESS = ("gemlo.io", "gemlo.processing", "gemlo.storage", "gemlo.model")
# Compiled modules the commands use, and a host module the compiled ones bind, by name.
COMPILED = ("gemlo.io.segycodec", "gemlo.utils.surveycalc", "gemlo.utils.convert_grid")
GUI = ("qtpy", "PySide6", "vispy")


def _modules():
    names = ["gemlo.session", "gemlo.app.__main__", "gemlo.app.project", *COMPILED]
    for package in HEADLESS:
        path = [str(Path(gemlo.__file__).parent / package.split(".")[1])]
        names += [package] + [f"{package}.{m.name}" for m in pkgutil.iter_modules(path)]
    return names


def test_headless_modules_and_commands_load_no_gui_toolkit():
    names = _modules()
    commands = ["import-segy", "import-las", "import-zmap", "process", "scan-segy"]
    code = f"""
import contextlib, io, sys
from gemlo.app import __main__ as entry
for name in {names!r}:
    __import__(name)
for command in {commands!r}:
    with contextlib.redirect_stdout(io.StringIO()), contextlib.suppress(SystemExit):
        entry.parse_args([command, "--help"])
print(sorted({{m.split(".")[0] for m in sys.modules}} & set({GUI!r})))
"""
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True, timeout=60
    )
    assert done.stdout.strip() == "[]", done.stdout
