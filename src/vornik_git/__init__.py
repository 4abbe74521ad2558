"""Merge and diff drivers for pipeline notebooks."""

from __future__ import annotations

from pathlib import Path

_DISTRIBUTION = "vornik_git"


def _version() -> str:
    """The version of the package this module belongs to.

    That is the installed distribution's when this file is the one it installed; otherwise
    (an in-place or editable build run from the source tree) the source tree's own
    pyproject.toml, so that another installed copy cannot lend its number.
    """
    from importlib import metadata

    here = Path(__file__).resolve()
    try:
        distribution = metadata.distribution(_DISTRIBUTION)
    except metadata.PackageNotFoundError:
        distribution = None
    if distribution is not None:
        installed = Path(str(distribution.locate_file("vornik_git/__init__.py")))
        if installed.exists() and installed.resolve() == here:
            return distribution.version
    import tomllib

    try:
        with open(here.parents[2] / "pyproject.toml", "rb") as project:
            return str(tomllib.load(project)["project"]["version"])
    except (OSError, KeyError, TypeError, tomllib.TOMLDecodeError):
        return distribution.version if distribution is not None else "0+unknown"


def __getattr__(name: str) -> str:
    # Found on first use only: reading the package metadata costs more than the rest of a
    # driver's start-up.
    if name == "__version__":
        version = _version()
        globals()["__version__"] = version
        return version
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
