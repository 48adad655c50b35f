"""The shipped type stubs are those the generator makes from the built modules."""

import os
import subprocess
import sys
from pathlib import Path

import gemlo

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))
import stubs  # noqa: E402


def stub_files(top):
    return {p.relative_to(top): p.read_text() for p in Path(top).rglob("*.pyi")}


def test_stubs_match_the_built_modules(tmp_path, monkeypatch):
    # The modules the tests import, built in place or installed.
    monkeypatch.setenv("PYTHONPATH", str(Path(gemlo.__file__).parent.parent))
    stubs.generate(tmp_path)
    fresh = stub_files(tmp_path)
    assert len(fresh) == len(stubs.modules())
    assert fresh == stub_files(ROOT / "host"), "stale stubs: run `make stubs`"
    assert (ROOT / "host" / "gemlo" / "py.typed").is_file()


def test_type_checker_reads_the_stubs(tmp_path):
    (tmp_path / "use.py").write_text(
        "from gemlo.widgets.projects.extpicker import ExtPicker\n"
        "from gemlo.automation.automate import quit\n"
        "ExtPicker().add_items({'a/b': 'True'})\n"
        "ExtPicker().add_items(defaults=None, bad=1)\n"
        "quit(None, None, timeout_ms='soon')\n"
    )
    checked = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--no-incremental",
            "--follow-imports=skip",
            "--cache-dir",
            os.devnull,
            str(tmp_path / "use.py"),
        ],
        check=False,
        env=dict(os.environ, MYPYPATH=str(ROOT / "host")),
        capture_output=True,
        text=True,
    )
    errors = [line for line in checked.stdout.splitlines() if ": error:" in line]
    assert [e.split(":")[1] for e in errors] == ["4", "5"], checked.stdout
