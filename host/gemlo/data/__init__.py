"""The project's data: data objects and the tree that shows them."""

from gemlo.data.treebase import TreeBase
from gemlo.model.dataobject import DataObject

__all__ = ["DataObject", "TreeBase"]
