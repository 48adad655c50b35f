"""The project's data: data objects and the tree that shows them."""

from gemlo.data.dataobject import DataObject
from gemlo.data.treebase import TreeBase

__all__ = ["DataObject", "TreeBase"]
