"""The application log."""

import logging

logger = logging.getLogger("gemlo")
if not logger.handlers:
    _handler = logging.StreamHandler()
    _handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(message)s"))
    logger.addHandler(_handler)
    logger.setLevel(logging.INFO)
    # Our handler already writes to stderr; the root one would do it twice.
    logger.propagate = False
