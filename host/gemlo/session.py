"""The open project without a window: what it holds, and the work done on it as a whole
(new, open, save, imports, sample data, wells).

A window shows a session: it hands its own `add` (stores and shows new objects, all or
none) and `replace` (stores and shows one object, replacing one of its name), and keeps
`objects` as the objects it shows. Without a window they store the objects and keep them
in `objects`.
"""

from pathlib import Path

from gemlo.io import sample
from gemlo.storage.database import ProjectDatabase, database_error
from gemlo.storage.errors import DamagedProject, DatabaseError, UnreadableObject
from gemlo.storage.paths import with_extension
from gemlo.utils.convert_grid import ln2xy
from gemlo.utils.logger import logger


class Session:
    """The project of `database`, read whole: `survey` and `sgmt` (None without one),
    `objects` (name -> DataObject), `unreadable` (name -> why an object was left out),
    `extmodules` (the stored choice of modules) and `viewers` (the stored plot viewers).
    """

    def __init__(self, database):
        self.database = database
        self.objects = {}
        self.add, self.replace = self._add, self._replace
        try:
            self._load()
        except BaseException:
            database.close()
            raise

    @classmethod
    def create(cls, path):
        """A session on a new project file at `path` (".lmd" added if missing)."""
        return cls(ProjectDatabase.create(with_extension(Path(path).expanduser().absolute())))

    @classmethod
    def open(cls, path):
        """A session on the project file at `path`, all or nothing: a project that cannot
        be read raises DamagedProject (or OSError) naming the file. A data object that
        cannot be read is left out and named in `unreadable`."""
        return cls(ProjectDatabase.open(Path(path).expanduser().absolute()))

    def _read(self, what, load):
        try:
            return load()
        except UnreadableObject:
            raise
        except DatabaseError as error:
            raise database_error(self.database.path, error) from error
        except (ValueError, TypeError, KeyError) as error:
            raise DamagedProject(
                f"The project file {self.database.path} is damaged: its {what} cannot be "
                f"read ({type(error).__name__}: {error})"
            ) from error

    def _load(self):
        database = self.database
        self.survey, self.sgmt = self._read("survey", database.load_survey)
        self.extmodules = self._read("choice of modules", database.load_extmodules)
        self.unreadable = {}
        for name in self._read("list of data objects", database.object_names):
            try:
                load = lambda n=name: database.load_object(n)  # noqa: E731
                self.objects[name] = self._read(f"data object {name!r}", load)
            except UnreadableObject as error:
                self.unreadable[name] = str(error)
        self.viewers = self._read("viewers", database.load_viewers)

    @property
    def path(self):
        return self.database.path

    def close(self):
        self.database.close()

    def _add(self, dobs):
        dobs = list(dobs)
        self.database.save_objects(dobs)
        self.objects.update((dob.name, dob) for dob in dobs)
        return dobs

    def _replace(self, dob):
        self.database.save_object(dob)
        self.objects[dob.name] = dob
        return dob

    def set_survey(self, survey, sgmt):
        """Store `survey` (its extent given by the segment dictionary) as the project's."""
        self.database.save_survey(survey, sgmt)
        self.survey, self.sgmt = survey, sgmt

    def set_extmodules(self, selection):
        self.database.save_extmodules(selection)
        self.extmodules = dict(selection)

    def add_sample_data(self):
        """Store the sample survey, the synthetic cube and a well on it; returns the objects."""
        self.database.check_writable()
        self.set_survey(*sample.sample_survey())
        cube = sample.sample_cube()
        well = sample.sample_well(cube)
        well.meta["location"] = [
            float(v) for v in ln2xy([well.meta["il"], well.meta["xl"]], self.survey)
        ]
        added = [self.replace(cube), self.replace(well)]
        logger.info("Added the sample survey, cube and well log")
        return added

    def import_las(self, paths):
        """Add one well per LAS file of `paths`; returns the new objects. Every file is read
        first: one that cannot be imported raises LasError and nothing is added."""
        from gemlo.io.las import read_wells

        wells = self.add(read_wells(paths, self.objects.keys() | self.unreadable.keys()))
        for well in wells:
            logger.info("Imported well %s from %s", well.name, well.meta["source"])
        return wells

    def import_horizon(self, path, progress=None):
        """Add the horizon of the grid file `path` (ZMAP+ or IRAP, told by its content) on
        the project's survey; returns it. `progress(done, total)` may raise Cancelled:
        nothing is added then."""
        from gemlo.io.horizons import read_horizon

        taken = self.objects.keys() | self.unreadable.keys()
        [dob] = self.add([read_horizon(path, self.survey, self.sgmt, taken, progress)])
        return dob

    def export_horizon(self, name, path, kind, progress=None):
        """Write the horizon `name` to the grid file `path` of `kind` ("zmap", "irap-ascii",
        "irap-binary"), all or nothing; `progress` may raise Cancelled: nothing is written."""
        from gemlo.io.horizons import write_horizon

        write_horizon(self.objects[name], self.survey, path, kind, progress)

    def export_las(self, name, path, progress=None):
        """Write the well `name` to the LAS file `path`, all or nothing."""
        from gemlo.io.las import write_well

        write_well(self.objects[name], path, progress)

    def wells(self):
        """The project's wells that have a map location: [(name, x, y)]."""
        return [
            (dob.name, *dob.meta["location"])
            for dob in self.objects.values()
            if dob.prop_array_key == "array1d" and dob.meta.get("location")
        ]

    def save(self, viewers):
        """Store every object as it is now (a script may have changed one) and the plot
        `viewers` [(name, state dict, shown names)]."""
        for dob in self.objects.values():
            try:
                self.database.update_object(dob)
            except KeyError:
                self.database.save_object(dob)
        self.database.save_viewers(viewers)
        self.viewers = list(viewers)
        logger.info("Saved project %s", self.database.path)
