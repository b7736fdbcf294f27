"""tcsh and csh: ``env.csh`` of ``setenv`` lines, sourced by a marked block
in ``.tcshrc`` and ``.cshrc``."""

from __future__ import annotations

import os
import re

from ._context import Context
from ._target import Hook, Target, block, home_relative

_SHELLS = frozenset({"tcsh", "csh", "bsd-csh"})
_STARTUP_FILES = (".tcshrc", ".cshrc")
_ESCAPE = re.compile(rb"\\([!\n])")
# csh (bsd-csh, not tcsh) reads at most this many bytes in one word,
# counting \! as one: a longer value is cut short with "Word too long".
WORD_MAX = 8187


def quote(data: bytes) -> bytes:
    """Quote bytes for csh: single quotes, each ' written as '\\'', each !
    and line feed after a backslash (a backslash is itself before anything
    else)."""
    return (b"'" + data.replace(b"'", b"'\\''").replace(b"!", b"\\!")
            .replace(b"\n", b"\\\n") + b"'")


class Csh(Target):
    name = "csh"
    entry = re.compile(
        rb"setenv ([A-Za-z_][A-Za-z0-9_]*) '((?:[^'\\!\n]++|\\[!\n]|\\|'\\'')*+)'\n")
    line_format = b"setenv %s %s\n"

    def value_file(self, ctx: Context) -> str:
        return os.path.join(ctx.folder, "env.csh")

    def in_use(self, ctx: Context) -> bool:
        return (ctx.shell in _SHELLS or ctx.installed("tcsh")
                or ctx.installed("bsd-csh"))

    def quote(self, value: bytes) -> bytes:
        return quote(value)

    def unquote(self, match: re.Match[bytes]) -> bytes:
        return _ESCAPE.sub(rb"\1", match[2].replace(b"'\\''", b"'"))

    def cannot_hold(self, ctx: Context, value: bytes, name: str = "") -> str | None:
        """Only bsd-csh limits a word; tcsh reads any length."""
        size = len(quote(value)) - value.count(b"!")
        if size <= WORD_MAX:
            return None
        if not (ctx.installed("bsd-csh") or ctx.shell == "bsd-csh"
                or ctx.shell == "csh" and ctx.shell_program() != "tcsh"):
            return None
        return (f"csh would not read its value back exactly: quoted, it takes "
                f"{size} bytes in env.csh, and csh reads words of at most "
                f"{WORD_MAX} bytes")

    def _block(self, ctx: Context) -> bytes:
        store = self.value_file(ctx)
        path = home_relative(ctx, store) or quote(os.fsencode(store))
        return block(b"if ( -r %s ) source %s" % (path, path))

    def hooks(self, ctx: Context) -> list[Hook]:
        """Each of ``.tcshrc`` and ``.cshrc`` that exists, else ``.cshrc``,
        which tcsh reads when there is no ``.tcshrc``.  ``.tcshrc`` is never
        created: it would hide ``.cshrc`` from tcsh."""
        files = [ctx.in_home(name) for name in _STARTUP_FILES]
        content = self._block(ctx)
        return [Hook(path, content)
                for path in [path for path in files if os.path.lexists(path)] or files[-1:]]

    def all_hooks(self, ctx: Context) -> list[Hook]:
        content = self._block(ctx)
        return [Hook(ctx.in_home(name), content) for name in _STARTUP_FILES]

    def read_by(self, ctx: Context) -> list[str] | None:
        if ctx.shell == "tcsh" or ctx.shell == "csh" and ctx.shell_program() == "tcsh":
            tcshrc = ctx.in_home(".tcshrc")
            return [tcshrc if os.path.lexists(tcshrc) else ctx.in_home(".cshrc")]
        if ctx.shell in _SHELLS:
            return [ctx.in_home(".cshrc")]
        return None


TARGET = Csh()
