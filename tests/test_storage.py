"""The project file's schema: files written by older versions open, newer ones are refused."""

import shutil
import sqlite3
from pathlib import Path

import numpy as np
import pytest

from gemlo.storage import schema
from gemlo.storage.database import ProjectDatabase
from gemlo.storage.errors import DamagedProject, NewerProject

# A project written by version 1 (a survey, a cube with a mapped and a stored property,
# a well, a viewer and a choice of external modules).
VERSION_1 = Path(__file__).parent / "data" / "v1"


def _copy(tmp_path):
    for entry in VERSION_1.iterdir():
        shutil.copy(entry, tmp_path / entry.name)
    return tmp_path / "old.lmd"


def _version(path):
    with sqlite3.connect(path) as conn:
        return conn.execute("SELECT value FROM meta WHERE key = 'version'").fetchone()[0]


def test_a_version_1_project_opens_and_is_migrated(tmp_path):
    path = _copy(tmp_path)
    database = ProjectDatabase.open(path)
    try:
        survey, sgmt = database.load_survey()
        assert survey.name == "old" and sgmt["P3_ILNO"] == 12
        assert database.object_names() == ["cube", "well"]
        cube = database.load_object("cube")
        np.testing.assert_array_equal(
            cube.array("amplitude"), np.arange(60, dtype=np.float32).reshape(3, 4, 5)
        )
        assert isinstance(cube.array("amplitude"), np.memmap)
        assert cube.array("depth").dtype == np.int16 and cube.meta == {"colormap": "RdBu"}
        well = database.load_object("well")
        assert np.isnan(well.array("GR")[1]) and well.prop["GR"]["unit"] == "API"
        assert database.load_viewers() == [("plot 1", {"zoom": 2}, ["well"])]
        assert database.load_extmodules() == {"g/m": "True"}
    finally:
        database.close()
    assert _version(path) == str(schema.VERSION)
    assert (tmp_path / "old.cube.amplitude.npy").exists()


@pytest.mark.parametrize(
    ("version", "error"),
    [(str(schema.VERSION + 1), NewerProject), ("two", DamagedProject)],
)
def test_a_version_it_cannot_keep_is_refused(tmp_path, version, error):
    path = _copy(tmp_path)
    with sqlite3.connect(path) as conn:
        conn.execute("UPDATE meta SET value = ? WHERE key = 'version'", (version,))
    with pytest.raises(error, match=str(path)):
        ProjectDatabase.open(path)
    assert _version(path) == version


def test_a_new_project_has_every_table_of_its_version(tmp_path):
    ProjectDatabase.create(tmp_path / "new.lmd").close()
    migrated = _copy(tmp_path)
    ProjectDatabase.open(migrated).close()
    tables = []
    for path in (tmp_path / "new.lmd", migrated):
        with sqlite3.connect(path) as conn:
            tables.append(
                {r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type='table'")}
            )
    assert tables[0] == tables[1] and _version(tmp_path / "new.lmd") == str(schema.VERSION)


def test_a_stored_choice_of_the_zmap_import_holds_for_every_horizon_format(tmp_path):
    database = ProjectDatabase.create(tmp_path / "p.lmd")
    try:
        database.save_extmodules({"Import/zmap": False})
        assert database.load_extmodules() == {"Import/horizons": "False"}
    finally:
        database.close()


def test_a_session_works_on_a_project_without_a_window(tmp_path):
    from gemlo.io import sample
    from gemlo.session import Session

    (tmp_path / "w.las").write_text(sample.sample_las_text())
    (tmp_path / "top.zmap").write_text(sample.sample_zmap_text())
    session = Session.create(tmp_path / "s")
    try:
        session.add_sample_data()
        [well] = session.import_las([tmp_path / "w.las"])
        horizon = session.import_horizon(tmp_path / "top.zmap")
        session.save([("plot", {}, [well.name])])
        wells = session.wells()
    finally:
        session.close()
    session = Session.open(tmp_path / "s.lmd")
    try:
        assert list(session.objects) == ["cube", "well_A", well.name, horizon.name]
        assert session.wells() == wells and session.survey.name == "sample"
        assert session.viewers == [("plot", {}, [well.name])]
    finally:
        session.close()
