"""POSIX shells (sh, dash, bash, zsh, ksh...): ``env.sh`` of ``export``
lines, sourced by a marked block in ``.profile``, bash's and zsh's files.

This target leads: it holds every stored name, and the other value files
are written from its entries.
"""

from __future__ import annotations

import os
import re

from ._context import Context
from ._target import Hook, Target, block, home_relative

# Shells that read ``.profile`` (as login shells) and no other file of ours.
_PROFILE_SHELLS = frozenset({"sh", "dash", "ash", "ksh", "mksh", "yash", "posh"})


def quote(data: bytes) -> bytes:
    """Quote bytes for the shell: single quotes, each ' written as '\\''."""
    return b"'" + data.replace(b"'", b"'\\''") + b"'"


class Sh(Target):
    name = "sh"
    # export NAME='value', where each ' of the value is '\''.
    entry = re.compile(rb"export ([A-Za-z_][A-Za-z0-9_]*)='((?:[^']++|'\\'')*+)'\n")
    line_format = b"export %s=%s\n"

    def value_file(self, ctx: Context) -> str:
        return os.path.join(ctx.folder, "env.sh")

    def in_use(self, ctx: Context) -> bool:
        return True

    def quote(self, value: bytes) -> bytes:
        return quote(value)

    def unquote(self, match: re.Match[bytes]) -> bytes:
        return match[2].replace(b"'\\''", b"'")

    def _block(self, ctx: Context) -> bytes:
        store = self.value_file(ctx)
        path = home_relative(ctx, store) or quote(os.fsencode(store))
        return block(b"if [ -r %s ]; then . %s; fi" % (path, path))

    def _zshenvs(self, ctx: Context) -> list[str]:
        """The ``.zshenv`` files zsh reads: ``$ZDOTDIR/.zshenv`` for a zsh
        started with ``ZDOTDIR``, and ``~/.zshenv`` for one started without
        it (a fresh login, where ``~/.zshenv`` often sets ``ZDOTDIR``)."""
        files = [ctx.in_home(".zshenv")]
        if ctx.zdotdir and os.path.realpath(ctx.zdotdir) != os.path.realpath(ctx.home):
            files.append(os.path.join(ctx.zdotdir, ".zshenv"))
        return files

    def hooks(self, ctx: Context) -> list[Hook]:
        """``.profile`` (created if missing); ``.bash_profile`` and
        ``.bash_login`` when they exist, never created, since either makes
        bash skip ``.profile``; ``.bashrc`` when it exists or bash is the
        user's shell; ``.zshenv`` where zsh reads it, when zsh is the user's
        shell or installed (also in ``$ZDOTDIR`` when that folder exists:
        the folder is never created)."""
        files = [ctx.in_home(".profile")]
        files += [path for path in map(ctx.in_home, (".bash_profile", ".bash_login"))
                  if os.path.lexists(path)]
        bashrc = ctx.in_home(".bashrc")
        if ctx.shell == "bash" or os.path.lexists(bashrc):
            files.append(bashrc)
        if ctx.shell == "zsh" or ctx.installed("zsh"):
            files += [path for path in self._zshenvs(ctx)
                      if os.path.isdir(os.path.dirname(path))]
        content = self._block(ctx)
        return [Hook(path, content) for path in files]

    def all_hooks(self, ctx: Context) -> list[Hook]:
        names = (".profile", ".bash_profile", ".bash_login", ".bashrc")
        files = [ctx.in_home(name) for name in names] + self._zshenvs(ctx)
        content = self._block(ctx)
        return [Hook(path, content) for path in dict.fromkeys(files)]

    def read_by(self, ctx: Context) -> list[str] | None:
        """A bash login shell reads the first of ``.bash_profile``,
        ``.bash_login`` and ``.profile``; other bash shells ``.bashrc``."""
        if ctx.shell == "bash":
            logins = [ctx.in_home(name) for name in (".bash_profile", ".bash_login", ".profile")]
            login = next((path for path in logins if os.path.lexists(path)), logins[-1])
            return [login, ctx.in_home(".bashrc")]
        if ctx.shell == "zsh":
            # ZDOTDIR empty or relative: zsh reads /.zshenv, or a file that
            # moves with the current folder, so no file of the user's.
            return [] if ctx.zdotdir_unusable else self._zshenvs(ctx)[::-1]
        if ctx.shell in _PROFILE_SHELLS:
            return [ctx.in_home(".profile")]
        return None


TARGET = Sh()
