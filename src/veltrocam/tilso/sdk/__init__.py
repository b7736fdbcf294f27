"""Veltrocam SDK helpers: account credentials and persistent environment variables."""

from veltrocam.tilso.sdk._version import __version__

__all__ = ["__version__"]
