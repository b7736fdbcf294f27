"""Veltrocam SDK helpers: account credentials and persistent environment variables."""
