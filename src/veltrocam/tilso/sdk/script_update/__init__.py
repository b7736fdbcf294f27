"""Persistent environment variables for POSIX shells, fish, tcsh and csh,
xonsh, elvish and systemd user sessions.

Values live in a private file of ``export`` lines,
``${XDG_CONFIG_HOME:-$HOME/.config}/veltrocam/env.sh`` (mode 0600 in a 0700
folder).  The user's shell start-up files only get a small marked block that
sources that file::

    # >>> veltrocam >>>
    if [ -r "$HOME/.config/veltrocam/env.sh" ]; then . "$HOME/.config/veltrocam/env.sh"; fi # veltrocam
    # <<< veltrocam <<<

Each other target (fish, tcsh and csh, xonsh, elvish, systemd's ``environment.d``) keeps
the same names and values in a value file of its own, written from
``env.sh``'s entries, and sourced from its shells' start-up files.  Each
target is one module, a record of what it is (see ``_target``); the table
in ``_targets`` lists them.  ``_transaction`` applies a change to every file
as one transaction, ``_files`` holds the locks and removes leftovers of
killed writers, and ``_status`` reports from the same records.

Start-up files are handled as bytes: every byte outside the block stays as it
was, except one line feed added to end an unterminated last line.  Symbolic
links are followed and kept.  Setting ``VELTROCAM_NO_MODIFY_RC=1`` leaves
start-up files alone, and creates no file outside the store folder; value
files that exist are still kept in step, so a removal reaches them all.
"""

from __future__ import annotations

import os

from . import _names, _transaction
from ._status import SOURCES, StoreStatus, store_status

__all__ = ["update_bash_file", "remove_from_bash_file", "store_status",
           "StoreStatus", "SOURCES"]


def update_bash_file(variables: list[str], value: str) -> list[str]:
    """Store each name in ``variables`` with ``value`` for future shells.

    Names already stored keep their place; new ones are appended.  Unless
    ``VELTROCAM_NO_MODIFY_RC=1`` is set, the start-up files of the user's
    shells get the block that sources the value file (once).  A value file
    that cannot hold the value goes without it; the change is refused only
    when the user's shell could not read the value back.

    Returns the real paths of the files written, in the order written; an
    empty list when nothing had to change.

    Raises TypeError or ValueError for bad input (a refused name, a value
    the user's shell would not get back exactly), PermissionError under sudo
    and RuntimeError for an unusable home folder, all before anything on
    disk is touched; TimeoutError when a lock stays busy; OSError or
    ValueError when a file is unsafe to change or cannot be parsed, or a
    write fails, in which case every file stays as it was.
    """
    names = _names.checked_names(variables)
    encoded = _names.checked_value(value)
    _refuse_sudo()
    if not names:
        return []
    return _transaction.update(names, encoded)


def remove_from_bash_file(variables: list[str]) -> list[str]:
    """Drop the names in ``variables`` from every value file.

    Names that are not stored are skipped without any write; a name that
    is refused now but was stored by an earlier version can be removed.
    When the last name goes, the value files are removed, and so are the
    marked blocks in the start-up files and the fish ``conf.d`` file (unless
    ``VELTROCAM_NO_MODIFY_RC=1`` is set).  A file that is a symbolic link
    is emptied through the link instead, so that the link keeps a target.

    Returns the names removed, in the order given.  Raises like
    :func:`update_bash_file`.
    """
    names = _names.checked_names(variables, removing=True)
    _refuse_sudo()
    if not names:
        return []
    return _transaction.remove(names)


def _refuse_sudo() -> None:
    """Refuse to run as root on behalf of a user who ran sudo."""
    if os.geteuid() == 0 and os.environ.get("SUDO_USER"):
        raise PermissionError(
            "refusing to run under sudo: files in the user's home folder "
            "would end up owned by root; run it again without sudo")
