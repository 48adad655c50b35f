import gc
import logging
import threading
import time

import pytest

from gemlo.utils import bgrunner
from gemlo.utils.bgrunner import BgRunner


def run_and_wait(qtbot, runner):
    with qtbot.waitSignal(runner.finished, timeout=5000):
        runner.start()
    # The keep-alive reference is dropped from the event loop after `finished`.
    qtbot.waitUntil(lambda: runner not in bgrunner._running, timeout=5000)


@pytest.mark.parametrize(
    "args, expected",
    [
        ((), ()),
        ((1, "a"), (1, "a")),
        ([3, 2, 1], (3, 2, 1)),
        (iter("xyz"), ("x", "y", "z")),
    ],
)
def test_run_calls_func_once_on_its_own_thread(qtbot, args, expected):
    calls = []
    runner = BgRunner(lambda *a: calls.append((threading.get_ident(), a)) or "dropped", args)
    assert runner.func is not None and runner.args is args
    run_and_wait(qtbot, runner)
    assert len(calls) == 1
    thread, received = calls[0]
    assert thread != threading.get_ident()
    assert received == expected


def test_failures_are_logged_not_fatal(qtbot, gemlo_log):
    def boom(x):
        raise RuntimeError(f"bad {x}")

    called = []
    run_and_wait(qtbot, BgRunner(boom, (7,)))
    run_and_wait(qtbot, BgRunner(called.append, 42))  # not iterable: func is never called

    assert called == []
    errors = [r.getMessage() for r in gemlo_log if r.levelno == logging.ERROR]
    assert len(errors) == 2
    assert "RuntimeError: bad 7" in errors[0] and "in boom" in errors[0]  # with its traceback
    assert "not iterable" in errors[1]


def test_dropped_runner_keeps_itself_alive_until_finished(qtbot):
    done = threading.Event()
    release = threading.Event()

    def work():
        release.wait(5)
        done.set()

    runner = BgRunner(work, ())
    runner.start()
    del runner
    gc.collect()  # without the keep-alive this destroys a running QThread and aborts
    release.set()
    assert done.wait(5)
    qtbot.waitUntil(lambda: not bgrunner._running, timeout=5000)


def test_demonstration_prints_in_order(monkeypatch, capfd):
    slept = []
    real_sleep = time.sleep
    monkeypatch.setattr(time, "sleep", lambda s: (slept.append(s), real_sleep(0.3)))
    bgrunner.main()
    assert capfd.readouterr().out == "start\nin thread\nend\n"
    assert slept == [5]
