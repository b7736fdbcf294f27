"""Account credentials and persistent environment variables (native module)."""

import os as os
import re as re
import sys as sys

import click as click

from veltrocam.tilso.sdk.script_update import update_bash_file as update_bash_file

__test__: dict[str, object]

def get_license_info(
    license_name: str = "VELTROCAM_LICENSE",
) -> tuple[str, str] | tuple[None, None]:
    """Return (user, password) read from the variable ``license_name``.

    The value is split at its first colon.  When the variable is unset or
    empty, or holds no colon, a notice is printed and (None, None) returned.
    """

def set_to_environ(variables: str | list[str], value: str) -> None:
    """Set each of ``variables`` to ``value`` for new shells and this process.

    Windows keeps the values through ``setx``; other systems through
    :func:`veltrocam.tilso.sdk.script_update.update_bash_file`.
    """
