"""Time from a fresh interpreter to a shown main window (offscreen), against the target.

Each run is a new process: the imports, the window's construction, setup and first
show. The CPU time is printed beside the wall time: on a loaded machine it is the
steadier figure. Target: the best wall time at most 0.8 s (ratio at most 1.0).

    PYTHONPATH=host python bench/bench_startup.py [--runs N]
"""

import argparse
import os
import subprocess
import sys

TARGET = 0.8  # seconds

RUN = """
import time
wall, cpu = time.perf_counter(), time.process_time()
import argparse, sys
from qtpy.QtWidgets import QApplication
from gemlo.app.mainwindow import MainWindow
app = QApplication(sys.argv[:1])
window = MainWindow(argparse.Namespace(plugins_paths="", working_directory=None, debug=False))
window.setup()
window.show()
window.post_visible_setup()
app.processEvents()
print(time.perf_counter() - wall, time.process_time() - cpu, "scipy" in sys.modules)
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    runs = []
    for _ in range(args.runs):
        done = subprocess.run(
            [sys.executable, "-c", RUN], env=env, capture_output=True, text=True, check=True
        )
        wall, cpu, scipy = done.stdout.split()
        runs.append((float(wall), float(cpu), scipy == "True"))
    wall, cpu = min(r[0] for r in runs), min(r[1] for r in runs)
    print(f"start-up to a shown window: best {wall:.3f} s wall, {cpu:.3f} s CPU of {args.runs}")
    print(f"scipy loaded at start-up: {any(r[2] for r in runs)}")
    print(f"ratio to the {TARGET} s target: {wall / TARGET:.2f}")


if __name__ == "__main__":
    main()
