"""
Tables of how the values of data-object properties are distributed.
"""
from PySide6.QtCore import Qt
from PySide6.QtWidgets import QHBoxLayout
from PySide6.QtWidgets import QLabel
from PySide6.QtWidgets import QPushButton
from PySide6.QtWidgets import QTableWidget
from PySide6.QtWidgets import QTableWidgetItem
from PySide6.QtWidgets import QVBoxLayout
from PySide6.QtWidgets import QWidget
from __future__ import annotations
from gemlo.config.base import _
import numpy as np
__all__: list[str] = ['PropertyDistribtionTable', 'QHBoxLayout', 'QLabel', 'QPushButton', 'QTableWidget', 'QTableWidgetItem', 'QVBoxLayout', 'QWidget', 'Qt', 'add_array_percentile', 'dict_prop_table', 'np', 'refresh']
def PropertyDistribtionTable(dict_prop):
    """
    -i- dict_prop : dict, property name to property entry, for example cube.prop
    Return a table widget of properties data value distribution.
    """
def _percentile_passes(data):
    """
    Full reads of data that its percentiles took.
    """
def add_array_percentile(prop):
    """
    -i- prop : dict, for example cube.prop[prop]
    """
def dict_prop_table(dict_prop):
    """
     table with label 
    """
def refresh(table, dict_prop):
    ...
