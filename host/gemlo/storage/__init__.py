"""Project files and data files: the only package that opens them."""
