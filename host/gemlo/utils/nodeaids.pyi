"""
Convenient class to offload methods in data tree base class
"""
from __future__ import annotations
from gemlo.dialogs.camera_operator import Dialog as CameraOperatorDialog
from gemlo.dialogs.colorbar_editor import ColorbarEditor
from gemlo.widgets.dialogs import ConfigDialog
from gemlo.widgets.dialogs import CopyObjectDialog
from gemlo.widgets.dialogs import CreatePropertyDialog
from gemlo.widgets.dialogs import PropertyOperatorDialog
from gemlo.widgets.dialogs import RemoveObjectDialog
from gemlo.widgets.dialogs import RemovePropertyDialog
from gemlo.widgets.dialogs import RenameObjectDialog
from gemlo.widgets.dialogs import RenamePropertyDialog
__all__: list[str] = ['Buds', 'CameraOperatorDialog', 'ColorbarEditor', 'ConfigDialog', 'CopyObjectDialog', 'CreatePropertyDialog', 'PropertyOperatorDialog', 'RemoveObjectDialog', 'RemovePropertyDialog', 'RenameObjectDialog', 'RenamePropertyDialog']
class Buds:
    def _Buds__preference_page_changed(self, index):
        """
        Preference page index has changed
        """
    def __init__(self, treebase = None):
        ...
    def copy_object_rc(self):
        ...
    def create_property_rc(self):
        ...
    def open_camera_operator(self):
        ...
    def open_colorbar_editor(self):
        ...
    def open_colorbar_editor_rc(self):
        ...
    def open_copy_object(self):
        ...
    def open_create_property(self):
        ...
    def open_property_operator(self):
        ...
    def open_remove_object(self):
        ...
    def open_remove_property(self):
        ...
    def open_rename_object(self):
        ...
    def open_rename_property(self):
        ...
    def open_style_editor(self, dob):
        """
         
        """
    def open_style_editor_rc(self):
        """
         by right click 
        """
    def property_operation(self, object_name, script):
        ...
    def rename_object_rc(self):
        ...
    def set_prefs_size(self, size):
        """
        Save preferences dialog size
        """
