"""elvish: ``env.elv`` of ``set E:NAME = '...'`` lines, sourced by a marked
block in ``rc.elv``, which elvish reads in interactive sessions."""

from __future__ import annotations

import os
import re

from ._context import Context
from ._target import Hook, Target, block


def quote(data: bytes) -> bytes:
    """Quote bytes for elvish: single quotes, with no escapes but '' for
    a quote; line breaks stand as they are."""
    return b"'" + data.replace(b"'", b"''") + b"'"


class Elvish(Target):
    name = "elvish"
    entry = re.compile(rb"set E:([A-Za-z_][A-Za-z0-9_]*) = '((?:[^']++|'')*+)'\n")
    line_format = b"set E:%s = %s\n"

    def value_file(self, ctx: Context) -> str:
        return os.path.join(ctx.folder, "env.elv")

    def in_use(self, ctx: Context) -> bool:
        return ctx.shell == "elvish" or ctx.installed("elvish")

    def quote(self, value: bytes) -> bytes:
        return quote(value)

    def unquote(self, match: re.Match[bytes]) -> bytes:
        return match[2].replace(b"''", b"'")

    def _files(self, ctx: Context) -> list[str]:
        """``rc.elv`` in the config folder; elvish before 0.20 reads
        ``~/.elvish/rc.elv`` instead when that exists."""
        legacy = ctx.in_home(os.path.join(".elvish", "rc.elv"))
        return [ctx.in_config("elvish", "rc.elv"), legacy]

    def _block(self, ctx: Context) -> bytes:
        path = quote(os.fsencode(self.value_file(ctx)))
        return block(b"use path; if (path:is-regular %s) { eval (slurp < %s) }" % (path, path))

    def hooks(self, ctx: Context) -> list[Hook]:
        new, legacy = self._files(ctx)
        content = self._block(ctx)
        return [Hook(path, content) for path in [new] + [legacy] * os.path.lexists(legacy)]

    def all_hooks(self, ctx: Context) -> list[Hook]:
        content = self._block(ctx)
        return [Hook(path, content) for path in self._files(ctx)]

    def read_by(self, ctx: Context) -> list[str] | None:
        if ctx.shell != "elvish":
            return None
        new, legacy = self._files(ctx)
        return [legacy if os.path.lexists(legacy) else new]


TARGET = Elvish()
