"""Processing: attributes and filters chunk by chunk, against scipy on the whole cube."""

import os
import threading

import numpy as np
import pytest
from numpy.lib.format import open_memmap
from qtpy.QtWidgets import QDialogButtonBox, QPushButton
from scipy.ndimage import uniform_filter1d
from scipy.signal import butter, hilbert, sosfiltfilt

from gemlo.app.__main__ import main as gemlo_main
from gemlo.dialogs.processing import ProcessRun, open_process_dialog
from gemlo.processing.operations import OPERATIONS
from gemlo.processing.runner import (
    FileWriter,
    ProcessingCancelled,
    ProcessJob,
    blocks,
    run_chunked,
)
from gemlo.storage import chunks
from gemlo.storage.database import ProjectDatabase

DZ = 4.0
FS = 1000 / DZ
META = {"dz": DZ, "z_unit": "ms"}


def _rms(x, size):
    return np.sqrt(uniform_filter1d(x.astype(np.float64) ** 2, size, axis=-1))


def _agc(x, size):
    g = _rms(x, size)
    return np.divide(x, g, out=np.zeros_like(g), where=g > 0)


# Operation, its parameters, and the scipy call on the whole cube it must equal.
CASES = [
    ("envelope", {}, lambda c: np.abs(hilbert(c, axis=-1))),
    ("phase", {}, lambda c: np.angle(hilbert(c, axis=-1))),
    (
        "frequency",
        {},
        lambda c: (
            np.gradient(np.unwrap(np.angle(hilbert(c, axis=-1)), axis=-1), axis=-1)
            * FS
            / (2 * np.pi)
        ),
    ),
    ("rms", {"window": 28.0}, lambda c: _rms(c, 7)),  # 28 ms: 7 samples
    ("rms", {"window": 30.0}, lambda c: _rms(c, 9)),  # 7.5 samples: the odd count nearest
    (
        "bandpass",
        {"low": 10.0, "high": 50.0, "order": 3},
        lambda c: sosfiltfilt(
            butter(3, [10, 50], btype="band", fs=FS, output="sos"), c.astype(np.float64)
        ),
    ),
    ("agc", {"window": 100.0}, lambda c: _agc(c, 25)),
]


def cube(shape=(5, 3, 96), seed=0):
    data = np.random.default_rng(seed).standard_normal(shape).astype(np.float32)
    data[1, 2] = 0  # a dead trace: no division by zero, no NaN
    return data


@pytest.mark.parametrize(("key", "params", "reference"), CASES)
def test_chunked_result_is_scipy_on_the_whole_cube(tmp_path, key, params, reference):
    source = cube()
    expected = reference(source).astype(np.float32)
    kernel = OPERATIONS[key].kernel(META, source.shape, **params)
    # Memory maps (whose pages are dropped behind), plain arrays and a file written with
    # pwrite; chunks of one trace, of part of an inline, of two inlines, of the whole
    # cube; one and two threads.
    np.save(tmp_path / "in.npy", source)
    mapped = open_memmap(tmp_path / "in.npy", "r")
    for i, (chunk_bytes, workers) in enumerate(
        [(1, 2), (2 * 96 * 4, 1), (2 * 3 * 96 * 4, 2), (1 << 30, 1)]
    ):
        out = open_memmap(tmp_path / f"out{i}.npy", "w+", np.float32, source.shape)
        fd = os.open(tmp_path / f"out{i}.npy", os.O_RDWR)
        target = FileWriter(fd, out.offset, out.shape) if i % 2 else out
        run_chunked(kernel, mapped if i % 2 == 0 else source, target, chunk_bytes, workers)
        os.close(fd)
        np.testing.assert_allclose(out, expected, rtol=1e-5, atol=1e-5 * np.abs(expected).max())
    assert not np.isnan(expected).any()


def mapped_kb(path):
    """Kilobytes of the file `path` that this process has mapped in memory now."""
    total, current = 0, None
    with open("/proc/self/smaps") as smaps:
        for line in smaps:
            fields = line.split()
            if "-" in fields[0] and not fields[0].endswith(":"):
                current = fields[-1] if len(fields) > 5 else None
            elif fields[0] == "Rss:" and current == str(path):
                total += int(fields[1])
    return total


def test_pages_are_dropped_behind_the_chunks(tmp_path):
    # 8 MB in chunks of 8 traces: nothing stays mapped, not even the pages that a read
    # faulted in around a chunk after its neighbour had gone.
    np.save(tmp_path / "in.npy", cube((32, 64, 1024)))
    source = open_memmap(tmp_path / "in.npy", "r")
    out = open_memmap(tmp_path / "out.npy", "w+", np.float32, source.shape)
    run_chunked(np.negative, source, out, 32 << 10, 2)
    assert mapped_kb(tmp_path / "in.npy") + mapped_kb(tmp_path / "out.npy") < 256
    np.testing.assert_array_equal(out, -source)


def test_chunks_cover_the_cube_in_whole_traces():
    for shape, chunk_bytes in [
        ((4, 3, 10), 1),
        ((4, 3, 10), 80),
        ((4, 3, 10), 250),
        ((7, 3, 10), 10**6),
    ]:
        seen = np.zeros(shape[:2], int)
        total = 0
        for index, traces in blocks(shape, 4, chunk_bytes):
            seen[index] += 1
            total += traces
        assert (seen == 1).all() and total == shape[0] * shape[1]
    assert blocks((0, 3, 10), 4) == []


@pytest.mark.parametrize(
    ("key", "params", "meta", "shape", "message"),
    [
        ("bandpass", {"low": 10, "high": 125}, META, (2, 2, 200), "below the Nyquist"),
        ("bandpass", {"low": 130, "high": 140}, META, (2, 2, 200), "below the Nyquist"),
        ("bandpass", {"low": 50, "high": 50}, META, (2, 2, 200), "below the high"),
        ("bandpass", {"low": 0, "high": 50}, META, (2, 2, 200), "positive"),
        ("bandpass", {"low": float("nan"), "high": 50}, META, (2, 2, 200), "positive"),
        ("bandpass", {"low": 10, "high": 50, "order": 0}, META, (2, 2, 200), "order"),
        ("bandpass", {"low": 10, "high": 50, "order": 2.5}, META, (2, 2, 200), "whole"),
        ("bandpass", {"low": 10, "high": 50}, META, (2, 2, 20), "too short"),
        ("rms", {"window": -4}, META, (2, 2, 20), "positive"),
        ("agc", {"window": 400}, META, (2, 2, 20), "longer than the traces"),
        ("rms", {"window": 40}, {}, (2, 2, 20), "sample interval"),
        ("frequency", {}, {"dz": 2.0, "z_unit": "m"}, (2, 2, 20), "sampled in time"),
        ("envelope", {"window": 4}, META, (2, 2, 20), "no parameter"),
    ],
)
def test_bad_parameters_are_refused(key, params, meta, shape, message):
    with pytest.raises(ValueError, match=message):
        OPERATIONS[key].kernel(meta, shape, **params)


def test_an_error_in_a_chunk_stops_the_run():
    calls = []

    def kernel(x):
        calls.append(1)
        if len(calls) == 3:
            raise FloatingPointError("boom")
        return x

    with pytest.raises(FloatingPointError):
        run_chunked(kernel, np.ones((20, 1, 8)), np.empty((20, 1, 8), np.float32), 32, 2)
    assert len(calls) <= 4


def folder_files(folder):
    return sorted(p.name for p in folder.iterdir())


def wait_done(qtbot, run):
    with qtbot.waitSignal(run.sigDone, timeout=20000) as blocker:
        pass
    return blocker.args[0]


def test_dialog_refuses_bad_input_then_runs(main_window, qtbot, tmp_path):
    tree = main_window.treebase
    tree.setCurrentItem(tree.object_item("cube"))
    dialog = open_process_dialog(main_window, "bandpass")
    assert [dialog.object_box.itemText(i) for i in range(dialog.object_box.count())] == ["cube"]
    assert dialog.output_edit.text() == "amplitude_bandpass"
    run = dialog.buttons.button(QDialogButtonBox.Ok)
    for field, text, message in [
        ("high", "125", "Nyquist frequency (125 Hz"),
        ("high", "abc", "must be a number"),
        ("order", "2.5", "must be a whole number"),
    ]:
        dialog.edits[field].setText(text)
        run.click()
        assert message in dialog.message.text() and dialog.isVisible()
        dialog.edits[field].setText({"high": "60", "order": "4"}[field])
    dialog.output_edit.setText("amplitude")
    run.click()
    assert "already exists" in dialog.message.text()
    dialog.output_edit.setText("filtered")
    run.click()
    entry = wait_done(qtbot, dialog.run_obj)
    source = tree.object_data["cube"].array("amplitude")
    sos = butter(4, [10, 60], btype="band", fs=FS, output="sos")
    np.testing.assert_allclose(entry["array3d"], sosfiltfilt(sos, source), atol=1e-5)
    assert entry["unit"] == tree.object_data["cube"].prop["amplitude"].get("unit", "")
    reopened = ProjectDatabase.open(main_window.database.path).load_object("cube")
    np.testing.assert_array_equal(reopened.array("filtered"), entry["array3d"])


@pytest.mark.parametrize("mapped", [False, True])
@pytest.mark.parametrize("how", ["cancel", "store fails"])
def test_a_run_cancelled_or_failing_leaves_the_project_unchanged(
    main_window, qtbot, tmp_path, monkeypatch, mapped, how
):
    if mapped:  # the result goes into a data file of its own
        monkeypatch.setattr(chunks, "MAPPED_BYTES", 1)
    if how == "store fails":

        def full(*args, **kwargs):
            raise OSError(28, "No space left on device")

        monkeypatch.setattr(main_window.database, "_store", full)
    release = threading.Event()
    dob = main_window.treebase.object_data["cube"]
    job = ProcessJob(
        dob,
        "amplitude",
        "envelope",
        "env",
        chunk_bytes=80 * 120 * 4,  # one inline
        progress=lambda done, total: release.wait(10),
    )
    before = folder_files(tmp_path)
    run = ProcessRun(main_window, job).start()
    qtbot.waitUntil(lambda: job.done > 0, timeout=10000)
    if how == "cancel":  # after the first chunk
        run.dialog.findChild(QPushButton).click()
    release.set()
    assert wait_done(qtbot, run) is None
    if how == "cancel":
        assert 0 < job.done < job.total and run.message is None
    else:
        assert job.done == job.total and "No space left" in run.message.text()
    assert "env" not in dob.prop and folder_files(tmp_path) == before
    monkeypatch.undo()
    assert "env" not in ProjectDatabase.open(tmp_path / "project.lmd").load_object("cube").prop


def test_menu_entries_follow_the_module_switches(main_window):
    if not hasattr(main_window, "apply_extmodules"):
        pytest.skip("this window cannot switch modules yet")
    actions = main_window.processing_actions
    assert {k: len(v) for k, v in actions.items()} == {
        "Processing/attributes": 4,
        "Processing/filters": 2,
    }
    for attributes, filters in [("True", "False"), ("False", "True"), ("True", "True")]:
        choice = dict(main_window.extmodules)
        choice.update({"Processing/attributes": attributes, "Processing/filters": filters})
        main_window.set_extmodules(choice)
        assert all(
            a.isVisible() == (attributes == "True") for a in actions["Processing/attributes"]
        )
        assert all(a.isVisible() == (filters == "True") for a in actions["Processing/filters"])


def test_command_processes_a_cube_of_a_project(tmp_path, capsys, monkeypatch):
    from gemlo.io.sample import sample_cube

    monkeypatch.setattr(chunks, "MAPPED_BYTES", 1 << 20)  # the result into a data file

    path = tmp_path / "p.lmd"
    db = ProjectDatabase.create(path)
    db.save_object(sample_cube())
    db.close()
    before = folder_files(tmp_path)
    args = ["process", str(path), "cube", "rms", "--window", "20", "--output", "rms"]
    args += ["--property", "amplitude"]
    assert gemlo_main(args) == 0
    assert "100%" in capsys.readouterr().out
    dob = ProjectDatabase.open(path).load_object("cube")
    assert isinstance(dob.array("rms"), np.memmap)
    np.testing.assert_allclose(dob.array("rms"), _rms(dob.array("amplitude"), 5), rtol=1e-6)
    assert dob.prop["rms"]["description"] == "RMS amplitude of amplitude (window=20)"
    for argv, message in [
        (args, "already has a property named 'rms'"),
        (args[:-4] + ["--output", "x"], "has 5 properties"),
        (args[:3] + ["agc", "--output", "x", "--property", "rms"], "agc needs --window"),
        (args[:3] + ["phase", "--low", "3", "--output", "x"], "phase takes no --low"),
        (["process", str(tmp_path / "none.lmd"), "cube", "phase", "--output", "x"], "No project"),
    ]:
        assert gemlo_main(argv) == 1
        err = capsys.readouterr().err
        assert message in err and len(err.strip().splitlines()) == 1
    assert folder_files(tmp_path) == sorted([*before, "p.cube.rms.npy"])
    with pytest.raises(ProcessingCancelled):
        job = ProcessJob(
            dob, "amplitude", "phase", "x", chunk_bytes=1, progress=lambda *a: job.cancel()
        )
        job.compute()
