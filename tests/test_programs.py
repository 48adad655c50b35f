"""The compiled modules with a main() run as programs with python -m."""

import os
import subprocess
import sys
import threading

import pytest

import gemlo


def program_env(**extra):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", **extra)
    # The package the tests import, built in place or installed.
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(os.path.dirname(gemlo.__file__)), env.get("PYTHONPATH", "")]
    )
    return env


@pytest.mark.parametrize(
    "module, output",
    [
        ("gemlo.utils.surveycalc", ""),
        ("gemlo.utils.bgrunner", "start\nin thread\nend\n"),
    ],
)
def test_runs_to_completion(module, output):
    done = subprocess.run(
        [sys.executable, "-m", module],
        check=False,
        env=program_env(),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert (done.returncode, done.stdout) == (0, output), done.stderr


@pytest.mark.parametrize(
    "module, widget",
    [
        ("gemlo.widgets.terminal", "Terminal"),
        ("gemlo.widgets.projects.extpicker", "ExtPicker"),
    ],
)
def test_shows_its_window(module, widget):
    # Qt's own painting log says when a top-level widget reaches the screen.
    env = program_env(QT_LOGGING_RULES="qt.widgets.painting=true")
    process = subprocess.Popen(
        [sys.executable, "-m", module],
        env=env,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
    )
    shown, seen, up = f" of {widget}(0x", [], threading.Event()

    def read():
        for line in process.stderr:
            seen.append(line)
            if line.startswith("qt.widgets.painting: Flushing") and shown in line:
                up.set()

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    try:
        assert up.wait(60), "".join(seen[-20:])
        assert process.poll() is None, "".join(seen[-20:])
    finally:
        process.kill()
        process.wait()
        reader.join(10)
        process.stderr.close()
