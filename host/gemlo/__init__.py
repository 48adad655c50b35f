"""Stand-in host application: the package that the compiled modules extend."""

from importlib import metadata


def _version():
    """The installed package's version; from a source tree, the one its pyproject.toml names."""
    try:
        return metadata.version("gemlo")
    except metadata.PackageNotFoundError:
        pass
    import tomllib
    from pathlib import Path

    try:
        with open(Path(__file__).resolve().parents[2] / "pyproject.toml", "rb") as file:
            return tomllib.load(file)["project"]["version"]
    except (OSError, KeyError, tomllib.TOMLDecodeError):
        return "0+unknown"


__version__ = _version()
