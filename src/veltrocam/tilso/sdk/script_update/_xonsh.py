"""xonsh: ``env.xsh`` of ``$NAME = '...'`` lines (Python string literals),
sourced from a file of the store's own in xonsh's ``rc.d``, which xonsh
reads in interactive and login sessions."""

from __future__ import annotations

import os
import re

from ._context import Context
from ._target import WHOLE_FILE_HEADER, Hook, Target

# Characters written as themselves; every other one is an escape, so the
# file is ASCII with no quote, backslash, $ or line break inside a value.
_ESCAPED = re.compile(r"[^A-Za-z0-9_\-.,:/+= ]")
_UNESCAPE = re.compile(rb"\\(?:x([0-9a-f]{2})|u([0-9a-f]{4})|U([0-9a-f]{8}))")
# xonsh turns a variable named so into a list of paths, and expands ~ and
# variables in each part when it passes it on.
_PATH_NAME = re.compile(r"\w*(?:PATH|DIRS)")


def _escape(match: re.Match[str]) -> str:
    code = ord(match[0])
    return ("\\x%02x" if code < 0x100 else "\\u%04x" if code < 0x10000
            else "\\U%08x") % code


def quote(data: bytes) -> bytes:
    """A Python string literal for ``data`` (valid UTF-8), in ASCII."""
    return ("'" + _ESCAPED.sub(_escape, data.decode("utf-8")) + "'").encode("ascii")


class Xonsh(Target):
    name = "xonsh"
    entry = re.compile(rb"\$([A-Za-z_][A-Za-z0-9_]*) = '((?:[A-Za-z0-9_\-.,:/+= ]++"
                       rb"|\\x[0-9a-f]{2}|\\u[0-9a-f]{4}|\\U[0-9a-f]{8})*+)'\n")
    line_format = b"$%s = %s\n"

    def value_file(self, ctx: Context) -> str:
        return os.path.join(ctx.folder, "env.xsh")

    def in_use(self, ctx: Context) -> bool:
        return ctx.shell == "xonsh" or ctx.installed("xonsh")

    def quote(self, value: bytes) -> bytes:
        return quote(value)

    def unquote(self, match: re.Match[bytes]) -> bytes:
        # An escape of a surrogate would not encode: it fails the UTF-8
        # check as a damaged file.
        return _UNESCAPE.sub(lambda m: chr(int(m[1] or m[2] or m[3], 16)).encode(
            "utf-8", "surrogatepass"), match[2])

    def cannot_hold(self, ctx: Context, value: bytes, name: str = "") -> str | None:
        if _PATH_NAME.fullmatch(name) and any(sign in value for sign in (b"~", b"$", b"%")):
            return (f"xonsh treats {name} as a list of paths and expands ~, $NAME "
                    f"and %NAME% in it before passing it on")
        return None

    def _conf(self, ctx: Context) -> Hook:
        path = quote(os.fsencode(self.value_file(ctx)))
        content = WHOLE_FILE_HEADER + (
            b"if __import__('os').access(%s, __import__('os').R_OK):\n"
            b"    source @(%s)\n" % (path, path))
        return Hook(ctx.in_config("xonsh", "rc.d", "veltrocam.xsh"), content, whole=True)

    def hooks(self, ctx: Context) -> list[Hook]:
        return [self._conf(ctx)]

    all_hooks = hooks

    def read_by(self, ctx: Context) -> list[str] | None:
        return [self._conf(ctx).path] if ctx.shell == "xonsh" else None


TARGET = Xonsh()
