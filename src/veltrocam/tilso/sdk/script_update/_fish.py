"""fish: ``env.fish`` of ``set -gx`` lines, sourced from a file of the
store's own in fish's ``conf.d``, which fish reads in every session."""

from __future__ import annotations

import os
import re

from ._context import Context
from ._target import WHOLE_FILE_HEADER, Hook, Target

_ESCAPE = re.compile(rb"\\([\\'])")


def quote(data: bytes) -> bytes:
    """Quote bytes for fish: single quotes, with \\ and ' escaped (the only
    escapes fish knows inside them)."""
    return b"'" + data.replace(b"\\", b"\\\\").replace(b"'", b"\\'") + b"'"


class Fish(Target):
    name = "fish"
    entry = re.compile(rb"set -gx ([A-Za-z_][A-Za-z0-9_]*) '((?:[^'\\]++|\\[\\'])*+)'\n")
    line_format = b"set -gx %s %s\n"

    def value_file(self, ctx: Context) -> str:
        return os.path.join(ctx.folder, "env.fish")

    def in_use(self, ctx: Context) -> bool:
        return ctx.shell == "fish" or ctx.installed("fish")

    def quote(self, value: bytes) -> bytes:
        return quote(value)

    def unquote(self, match: re.Match[bytes]) -> bytes:
        return _ESCAPE.sub(rb"\1", match[2])

    def _conf(self, ctx: Context) -> Hook:
        path = quote(os.fsencode(self.value_file(ctx)))
        content = WHOLE_FILE_HEADER + b"if test -r %s\n    source %s\nend\n" % (path, path)
        return Hook(ctx.in_config("fish", "conf.d", "veltrocam.fish"), content, whole=True)

    def hooks(self, ctx: Context) -> list[Hook]:
        return [self._conf(ctx)]

    all_hooks = hooks

    def read_by(self, ctx: Context) -> list[str] | None:
        return [self._conf(ctx).path] if ctx.shell == "fish" else None


TARGET = Fish()
