"""The installed version of the package, for ``__version__`` and ``--version``."""


def installed_version() -> str:
    try:
        from importlib.metadata import PackageNotFoundError, version
    except ImportError:  # pragma: no cover - every supported Python has it
        return "0+unknown"
    try:
        return version("quelmar-data-frame-builder-helper")
    except PackageNotFoundError:
        return "0+unknown"
