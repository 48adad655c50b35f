"""The project file, as scripts written before gemlo.storage import it."""

from gemlo.model.dataobject import PERCENTILES as CACHED
from gemlo.storage.chunks import MAPPED_BYTES
from gemlo.storage.database import ProjectDatabase, database_error, selection_texts
from gemlo.storage.errors import DamagedProject, NewerProject, ReadOnlyProject, UnreadableObject
from gemlo.storage.paths import EXTENSION, JOURNAL_SUFFIX, check_new_file_name
from gemlo.storage.schema import FORMAT, VERSION

__all__ = [
    "CACHED",
    "EXTENSION",
    "FORMAT",
    "JOURNAL_SUFFIX",
    "MAPPED_BYTES",
    "VERSION",
    "DamagedProject",
    "NewerProject",
    "ProjectDatabase",
    "ReadOnlyProject",
    "UnreadableObject",
    "check_new_file_name",
    "database_error",
    "selection_texts",
]
