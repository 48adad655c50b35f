"""
Start the main window on a fresh project and quit it, unattended.
"""
from PySide6.QtCore import QEventLoop
from PySide6.QtCore import QTimer
from PySide6.QtCore import Qt
from PySide6.QtWidgets import QApplication
from PySide6.QtWidgets import QMessageBox
from __future__ import annotations
from argparse import Namespace
from dotenv.main import load_dotenv
from gemlo.app.mainwindow import MainWindow
import os as os
import typing
__all__: list[str] = ['MS_BETWEEN_CLICKS', 'MainWindow', 'Namespace', 'PROJECT_PREFIX', 'QApplication', 'QEventLoop', 'QMessageBox', 'QTimer', 'Qt', 'launch', 'load_dotenv', 'os', 'quit']
def launch() -> typing.Any:
    """
    Build, show and ready the main window on a new project; return the window.
    
    Locations come from the environment (GEMLO_BASE_DIR, GEMLO_ENV_FILE, then,
    after the environment file is loaded, GEMLO_PLUGINS_PATH and GEMLO_PROJECT_DIR).
    """
def quit(qtbot: typing.Any, window: typing.Any, timeout_ms: typing.SupportsInt | typing.SupportsIndex = 5000) -> None:
    """
    Close `window` through its quit button, answering Yes to the confirmation.
    
    Waits up to `timeout_ms` for the confirmation; if none comes, raises TimeoutError
    and leaves the main window open.
    """
MS_BETWEEN_CLICKS: int = 1000
PROJECT_PREFIX: str = 'automate_'
