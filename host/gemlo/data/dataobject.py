"""Data objects, as code written before gemlo.model imports them."""

from gemlo.model.dataobject import ARRAY_KEYS, DataObject
from gemlo.storage.datafile import mapped_file_short

__all__ = ["ARRAY_KEYS", "DataObject", "mapped_file_short"]
