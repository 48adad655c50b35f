"""Dialogs the data tree opens for its objects: colour bar, camera, style pages."""
