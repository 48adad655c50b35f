"""Fixtures shared by the host and module tests."""

import argparse
import logging
import os

# Before anything imports Qt: tests never need a display.
os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")

import pytest  # noqa: E402


@pytest.hookimpl(trylast=True)
def pytest_configure(config):
    # pytest-xvfb has set DISPLAY by now if it could; without one, xcb would abort the
    # process, so fall back to offscreen and let the rendering tests skip.
    if os.environ.get("QT_QPA_PLATFORM") == "xcb" and not os.environ.get("DISPLAY"):
        os.environ["QT_QPA_PLATFORM"] = "offscreen"


@pytest.fixture
def gl(qapp):
    """Skip unless widgets can draw with OpenGL (the xcb platform on an X display)."""
    if qapp.platformName() != "xcb":
        pytest.skip(
            f"OpenGL widgets need an X display; the {qapp.platformName()} platform "
            "has none (run: QT_QPA_PLATFORM=xcb pytest -m render, pytest-xvfb "
            "provides the display)"
        )


@pytest.fixture
def sample_survey():
    """(Survey, segment dictionary) of the sample grid."""
    from gemlo.io.sample import sample_survey

    return sample_survey()


@pytest.fixture
def main_options():
    return argparse.Namespace(plugins_paths="", working_directory=None, debug=False)


@pytest.fixture
def main_window(qtbot, tmp_path, main_options):
    """A shown main window with its internal plugins, on a new project holding the sample data."""
    from gemlo.app.mainwindow import MainWindow

    window = MainWindow(main_options)
    window.setup()
    qtbot.addWidget(window)
    window.show()
    qtbot.waitExposed(window)
    window.post_visible_setup()
    window.create_new_project(tmp_path / "project.lmd")
    window.add_sample_data()
    yield window
    window.close()


class _Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def gemlo_log():
    """The records logged to the application log during the test.

    caplog does not see them: the "gemlo" logger does not propagate to the root.
    """
    from gemlo.utils.logger import logger

    handler = _Records()
    logger.addHandler(handler)
    yield handler.records
    logger.removeHandler(handler)


@pytest.fixture
def rotated_grid():
    """(Survey, segment dictionary) of a rotated grid whose geometry is exact in binary."""
    from gemlo.utils.convert_grid import Survey
    from surveycalc_reference import ROTATED_SGMT

    return Survey.from_sgmt(ROTATED_SGMT), dict(ROTATED_SGMT)


@pytest.fixture
def translated(monkeypatch):
    """Texts through the host's translation come out marked "T:"."""
    import gemlo.config.base

    monkeypatch.setattr(gemlo.config.base._translation, "gettext", lambda text: "T:" + text)


@pytest.fixture
def script_prefix():
    """What the script console puts before the editor's text when it runs it."""
    return "from gemlo.utils.functions import myprint \n"


@pytest.fixture
def button_row():
    """`button_row(console)`: the layout of a script console's row of buttons."""
    return lambda console: console.layout().itemAt(0).layout()


@pytest.fixture
def file_dialogs(monkeypatch):
    """File dialogs that record their arguments and answer `file_dialogs.answer`."""
    from qtpy.QtWidgets import QFileDialog

    class Dialogs:
        answer = ("", "")
        calls = []

    for name in ("getOpenFileName", "getSaveFileName"):
        monkeypatch.setattr(
            QFileDialog,
            name,
            lambda *args, name=name: (Dialogs.calls.append((name, *args)), Dialogs.answer)[1],
        )
    return Dialogs


@pytest.fixture(scope="session")
def s3_server():
    """An S3 endpoint on 127.0.0.1 (moto's server) for the session: its URL."""
    pytest.importorskip("moto")
    from moto.server import ThreadedMotoServer

    # Fake keys, and no probing of the instance metadata address.
    os.environ["AWS_EC2_METADATA_DISABLED"] = "true"
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    host, port = server.get_host_and_port()
    yield f"http://{host}:{port}"
    server.stop()


@pytest.fixture
def s3_profile(s3_server, tmp_path, monkeypatch):
    """A store profile "test" for a new bucket on the session's S3 endpoint:
    (profile, "s3://bucket/prefix")."""
    import secrets

    import boto3

    from gemlo.storage.cubestore import PROFILES_ENV, Profile

    region, bucket = "eu-west-1", f"cubes-{secrets.token_hex(4)}"
    boto3.client(
        "s3",
        endpoint_url=s3_server,
        aws_access_key_id="testing",
        aws_secret_access_key="testing",
        region_name=region,
    ).create_bucket(Bucket=bucket, CreateBucketConfiguration={"LocationConstraint": region})
    path = tmp_path / "stores.ini"
    path.write_text(
        f"[test]\nendpoint_url = {s3_server}\nkey = testing\nsecret = testing\nregion = {region}\n"
    )
    monkeypatch.setenv(PROFILES_ENV, str(path))
    return Profile.load("test"), f"s3://{bucket}/surveys"


@pytest.fixture(scope="session")
def dask_cluster():
    """A dask.distributed cluster of two worker processes, one thread each, on this
    machine; its scheduler's address is `dask_cluster.scheduler_address`."""
    from distributed import LocalCluster

    with LocalCluster(
        n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None
    ) as cluster:
        yield cluster
