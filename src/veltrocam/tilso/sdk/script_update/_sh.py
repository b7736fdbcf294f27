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

    def _zshenv(self, ctx: Context) -> str:
        """The ``.zshenv`` zsh reads: in ``$ZDOTDIR`` when that is set,
        else in the home folder."""
        return os.path.join(ctx.zdotdir or ctx.home, ".zshenv")

    def hooks(self, ctx: Context) -> list[Hook]:
        """``.profile`` (created if missing); ``.bash_profile`` and
        ``.bash_login`` when they exist, never created, since either makes
        bash skip ``.profile``; ``.bashrc`` when it exists or bash is the
        user's shell; ``.zshenv`` where zsh reads it, when zsh is the user's
        shell or installed (in ``$ZDOTDIR`` when that folder exists)."""
        files = [ctx.in_home(".profile")]
        files += [path for path in map(ctx.in_home, (".bash_profile", ".bash_login"))
                  if os.path.lexists(path)]
        bashrc = ctx.in_home(".bashrc")
        if ctx.shell == "bash" or os.path.lexists(bashrc):
            files.append(bashrc)
        if ctx.shell == "zsh" or ctx.installed("zsh"):
            zshenv = self._zshenv(ctx)
            files.append(zshenv if os.path.isdir(os.path.dirname(zshenv))
                         else ctx.in_home(".zshenv"))
        content = self._block(ctx)
        return [Hook(path, content) for path in files]

    def all_hooks(self, ctx: Context) -> list[Hook]:
        names = (".profile", ".bash_profile", ".bash_login", ".bashrc", ".zshenv")
        files = [ctx.in_home(name) for name in names]
        if ctx.zdotdir:
            files.append(os.path.join(ctx.zdotdir, ".zshenv"))
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
            return [self._zshenv(ctx)]
        if ctx.shell in _PROFILE_SHELLS:
            return [ctx.in_home(".profile")]
        return None


TARGET = Sh()
