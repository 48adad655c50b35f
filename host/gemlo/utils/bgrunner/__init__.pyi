"""
Run one function with its arguments on a thread of its own.
"""
import PySide6.QtCore
from PySide6.QtCore import QThread
from __future__ import annotations
import logging
import typing
__all__: list[str] = ['BgRunner', 'QThread', 'logger', 'main', 'some_process']
class BgRunner(PySide6.QtCore.QThread):
    """
    Run `func(*args)` on a thread of its own.
    
    The runner keeps itself alive from start() until its thread has finished,
    so a caller may drop it while it runs. An error raised by `func` is logged
    with its traceback and ends the thread; it never ends the application.
    """
    staticMetaObject: typing.ClassVar[PySide6.QtCore.QMetaObject]
    def __init__(self, func, args):
        ...
    def run(self):
        """
        Call `func` with the items of `args`; runs on the worker's thread.
        """
    def start(self, *args, **kwargs):
        """
        Start the thread, which calls run().
        """
def main(*args, **kwargs):
    """
    Demonstration: run some_process on a worker thread, wait 5 seconds.
    """
def some_process(*args, **kwargs):
    """
    Write "in thread" to standard output.
    """
_running: dict = {}
logger: logging.Logger
