"""Veltrocam SDK helpers: account credentials and persistent environment variables."""

from importlib.metadata import version as _version

__all__ = ["__version__"]

__version__: str = _version("veltrocam-license-helper")
