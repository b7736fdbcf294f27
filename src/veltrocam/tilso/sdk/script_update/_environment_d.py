"""systemd user sessions: a file of ``NAME="value"`` lines in
``environment.d``, read by systemd's environment generator for the user's
services.  It reaches no shell, and no start-up file sources it."""

from __future__ import annotations

import os
import re

from ._context import Context
from ._target import WHOLE_FILE_HEADER, Target

# Tests may point it elsewhere, or to None for a machine without systemd.
GENERATOR: str | None = (
    "/usr/lib/systemd/user-environment-generators/30-systemd-environment-d-generator")
_ESCAPE = re.compile(rb"\\([\\\"`])|\$(\$)")
_CONTROL = re.compile(rb"[\x00-\x1f\x7f]")


class EnvironmentD(Target):
    name = "systemd"
    in_store_folder = False
    header = WHOLE_FILE_HEADER
    # The generator takes \\, \" and \` inside double quotes, then expands
    # $NAME and ${NAME} (even where they came from a backslash), and $$ is a
    # dollar sign.  It drops NAME="" as invalid; NAME="${NAME:+}" gives an
    # empty value whatever NAME held before.
    entry = re.compile(rb'([A-Za-z_][A-Za-z0-9_]*)="(?:\$\{\1:\+\}|'
                       rb'((?:[^"\\$]++|\\[\\"`]|\$\$)++))"\n')

    def value_file(self, ctx: Context) -> str:
        return ctx.in_config("environment.d", "60-veltrocam.conf")

    def in_use(self, ctx: Context) -> bool:
        return GENERATOR is not None and os.path.exists(GENERATOR)

    def quote(self, value: bytes) -> bytes:
        return (b'"' + value.replace(b"\\", b"\\\\").replace(b'"', b'\\"')
                .replace(b"`", b"\\`").replace(b"$", b"$$") + b'"')

    def cannot_hold(self, ctx: Context, value: bytes, name: str = "") -> str | None:
        """The generator prints its result C-escaped, and the user manager
        takes ``\\n`` back as a backslash and an n: a control character
        does not arrive as it was."""
        if _CONTROL.search(value) is None:
            return None
        return ("systemd's user manager would not get it exactly: it receives "
                "control characters (a line feed, a tab) C-escaped")

    def line(self, name: str, value: bytes) -> bytes:
        if not value:
            return b'%s="${%s:+}"\n' % (name.encode("ascii"), name.encode("ascii"))
        return super().line(name, value)

    def unquote(self, match: re.Match[bytes]) -> bytes:
        return _ESCAPE.sub(rb"\1\2", match[2] or b"")


TARGET = EnvironmentD()
