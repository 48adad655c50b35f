"""Regenerate the type stubs of the compiled modules: python tools/stubs.py [OUTDIR]

The modules are those that CMakeLists.txt builds, imported from wherever
Python finds the gemlo package (installed, or built in place with
PYTHONPATH=host); the stubs go into OUTDIR (default: host).
"""

import os
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def modules():
    """Dotted names of the compiled modules, in the order CMakeLists.txt lists them."""
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.findall(r"^\s*gemlo_module\(\s*([\w.]+)", text, re.MULTILINE)


def generate(out):
    """Write the stubs of every compiled module, and the package's py.typed, under `out`."""
    env = dict(os.environ)
    env.setdefault("QT_QPA_PLATFORM", "offscreen")  # the widget modules import Qt
    subprocess.run(
        [
            sys.executable,
            "-m",
            "pybind11_stubgen",
            "--exit-code",
            "--output-dir",
            str(out),
            *modules(),
        ],
        check=True,
        env=env,
        stdout=subprocess.DEVNULL,
    )
    (Path(out) / "gemlo" / "py.typed").touch()


if __name__ == "__main__":
    generate(sys.argv[1] if len(sys.argv) > 1 else ROOT / "host")
