"""Functions offered to scripts run in the application."""

from pprint import pformat

from gemlo.utils.logger import logger


def myprint(*args, sep=" "):
    """Print to the application's log, which the main window shows.

    Scripts use it instead of print(): standard output is not visible to a
    desktop user, and compiled modules do not share Python's sys.stdout.
    """
    logger.info(sep.join(a if isinstance(a, str) else pformat(a) for a in args))
