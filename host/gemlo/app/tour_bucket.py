"""The tour's look at a cube in a bucket: an S3 endpoint on this machine (moto's server on
127.0.0.1), the imported SEG-Y cube moved into it, and its inline read from there by the
image viewer."""

import atexit
import logging
import os
from pathlib import Path

REGION, BUCKET, PROFILE = "eu-central-1", "gemlo-tour", "tour"


def local_s3(folder):
    """Start an S3 endpoint on 127.0.0.1 (a free port) holding an empty bucket, and name it
    in a store profile "tour" in `folder`/stores.ini, which GEMLO_STORES then points at.
    Returns (server, StoreLocation of the bucket), or None when moto is not installed. The
    server stops when the program ends (or by its stop())."""
    try:
        import boto3
        from moto.server import ThreadedMotoServer
    except ImportError:
        return None
    from gemlo.storage.cubestore import PROFILES_ENV, StoreLocation

    # Fake keys only; the client must never ask the instance metadata address for others.
    os.environ["AWS_EC2_METADATA_DISABLED"] = "true"
    # The endpoint's web server would log every request of the viewer to the terminal.
    logging.getLogger("werkzeug").setLevel(logging.WARNING)
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    atexit.register(server.stop)
    host, port = server.get_host_and_port()
    endpoint = f"http://{host}:{port}"
    boto3.client(
        "s3",
        endpoint_url=endpoint,
        aws_access_key_id="tour",
        aws_secret_access_key="tour",
        region_name=REGION,
    ).create_bucket(Bucket=BUCKET, CreateBucketConfiguration={"LocationConstraint": REGION})
    profiles = Path(folder) / "stores.ini"
    profiles.write_text(
        f"[{PROFILE}]\nendpoint_url = {endpoint}\nkey = tour\nsecret = tour\nregion = {REGION}\n"
    )
    os.environ[PROFILES_ENV] = str(profiles)
    return server, StoreLocation("s3", f"{BUCKET}/cubes", PROFILE)


def show_cube_from_bucket(window, folder, timeout_ms=60_000):
    """Move the first cube of the window's project into a bucket on a local S3 endpoint
    (see local_s3) and show its inline, read from the bucket, in the image viewer.
    Returns the StoreLocation, or None (and changes nothing) when moto is not installed."""
    from qtpy.QtCore import QDeadlineTimer, QEventLoop
    from qtpy.QtWidgets import QApplication

    from gemlo.storage.cubes import move_object
    from gemlo.widgets.vispy_image import VispyImage

    started = local_s3(folder)
    if started is None:
        return None
    _server, store = started
    tree = window.treebase
    name = next(n for n, d in tree.object_data.items() if d.prop_array_key == "array3d")
    move_object(window.database, name, store)
    dob = window.database.load_object(name)  # opens the cube, reads no values
    tree.add_object(dob, save=False)
    tree.setCurrentItem(tree.object_item(name))
    viewer = window.viewers(VispyImage)[0]
    window.deck.setCurrentWidget(viewer)
    viewer.refresh()
    deadline = QDeadlineTimer(timeout_ms)
    while viewer.pending is not None and not deadline.hasExpired():
        QApplication.processEvents(QEventLoop.AllEvents, 50)
    if viewer.pending is not None:
        raise TimeoutError(f"the inline of {name} did not arrive from {store}")
    return store
