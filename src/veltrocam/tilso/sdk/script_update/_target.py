"""What a target is: a shell, or systemd, that gets the stored values.

Each target is a record (one module each): where its value file is and
whether it is in use, how a value is written (``quote``) and read back
(``parse``), what it cannot hold, and the start-up files that source its
value file, with the block (or whole file) that does it.  The core works
from these records alone and never tests a shell's name.
"""

from __future__ import annotations

import os
import re
from typing import NamedTuple

from ._context import Context

BEGIN = b"# >>> veltrocam >>>"
END = b"# <<< veltrocam <<<"
WHOLE_FILE_HEADER = (b"# Written by veltrocam-license-helper, which replaces or "
                     b"removes this file as a whole.\n")
# Characters that keep their literal meaning inside double quotes in every shell.
_PLAIN_IN_DOUBLE_QUOTES = re.compile(r'[^"$`\\!\n\r]*')


class Hook(NamedTuple):
    """A start-up file that sources a value file.  ``content`` is the marked
    block the store puts in a file shared with the user, or, when ``whole``,
    the entire content of a file of the store's own."""

    path: str
    content: bytes
    whole: bool = False


class Target:
    """The record of one target; the defaults suit a target with no
    start-up file and no limit."""

    name = ""
    # Whether the value file lies in the store folder.  One that does not
    # is created only without the opt-out.
    in_store_folder = True
    header = b""
    # One stored variable: group 1 the name, group 2 the quoted value.  The
    # quantifiers are possessive, so a damaged file fails in time linear in
    # its size instead of backtracking.
    entry: re.Pattern[bytes]
    line_format = b"%s=%s\n"

    def value_file(self, ctx: Context) -> str:
        raise NotImplementedError

    def in_use(self, ctx: Context) -> bool:
        """Whether a shell of this kind (or systemd) may read the values."""
        raise NotImplementedError

    def quote(self, value: bytes) -> bytes:
        raise NotImplementedError

    def unquote(self, match: re.Match[bytes]) -> bytes:
        raise NotImplementedError

    def line(self, name: str, value: bytes) -> bytes:
        return self.line_format % (name.encode("ascii"), self.quote(value))

    def cannot_hold(self, ctx: Context, value: bytes, name: str = "") -> str | None:
        """Why the target would not give ``value`` back exactly, or None."""
        return None

    def hooks(self, ctx: Context) -> list[Hook]:
        """The start-up files that should source the value file now."""
        return []

    def all_hooks(self, ctx: Context) -> list[Hook]:
        """Every start-up file that may hold what this target puts there,
        with what it would hold now."""
        return []

    def read_by(self, ctx: Context) -> list[str] | None:
        """The start-up files every new session of the user's shell reads,
        when this target serves that shell; None when it does not."""
        return None

    def format(self, entries: dict[str, bytes]) -> bytes:
        return self.header + b"".join(self.line(name, value)
                                      for name, value in entries.items())

    def parse(self, path: str, data: bytes) -> dict[str, bytes]:
        """Parse a value file strictly into names and UTF-8 encoded values."""
        entries: dict[str, bytes] = {}
        position = 0
        if data and self.header:
            if not data.startswith(self.header):
                raise _parse_error(path, data, 0, "cannot be parsed")
            position = len(self.header)
        while position < len(data):
            match = self.entry.match(data, position)
            if match is None:
                raise _parse_error(path, data, position, "cannot be parsed")
            name = match[1].decode("ascii")
            value = self.unquote(match)
            if name in entries:
                raise _parse_error(path, data, position, f"sets {name} a second time")
            if not _is_utf8(value):
                raise _parse_error(path, data, position, "is not UTF-8")
            entries[name] = value
            position = match.end()
        return entries


def _parse_error(path: str, data: bytes, position: int, problem: str) -> ValueError:
    line = data.count(b"\n", 0, position) + 1
    return ValueError(f"{path}: line {line} {problem}; fix or remove the file")


def _is_utf8(data: bytes) -> bool:
    # The error is not kept: it would hold the bytes, which may be a password.
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


def home_relative(ctx: Context, path: str) -> bytes | None:
    """``"$HOME/..."`` for a path under the home folder that reads the same
    inside double quotes in every shell; None for any other path."""
    home = ctx.home.rstrip("/") + "/"
    relative = path[len(home):]
    if path.startswith(home) and _PLAIN_IN_DOUBLE_QUOTES.fullmatch(relative):
        return b'"$HOME/' + os.fsencode(relative) + b'"'
    return None


def block(line: bytes) -> bytes:
    """The marked block around ``line``.  The line ends in a comment, which
    absorbs a CR left by an editor that converts the file to CRLF."""
    return b"\n".join((BEGIN, line + b" # veltrocam", END)) + b"\n"


def find_block(data: bytes, path: str) -> tuple[int, int] | None:
    """Return the byte range of the one marked block, None if there is none.

    Markers count only as whole lines (a CR before the LF is allowed).
    Raises ValueError for a begin without an end, an end before its begin
    or more than one block.
    """
    begins, ends = [], []
    start = 0
    while start < len(data):
        stop = data.find(b"\n", start) + 1 or len(data)
        line = data[start:stop].removesuffix(b"\n").removesuffix(b"\r")
        if line == BEGIN:
            begins.append(start)
        elif line == END:
            ends.append(stop)
        start = stop
    if not begins and not ends:
        return None
    if len(begins) == 1 and len(ends) == 1 and begins[0] < ends[0]:
        return begins[0], ends[0]
    raise ValueError(f"{path}: malformed veltrocam block; it needs one line "
                     f"{BEGIN.decode()!r} followed by one line "
                     f"{END.decode()!r}; fix it by hand")


def holds_block(data: bytes, span: tuple[int, int], wanted: bytes) -> bool:
    """Whether the block at ``span`` is the block wanted, byte for byte but
    for CRLF line ends (an editor's conversion, which the block survives)."""
    found = data[span[0]:span[1]]
    return found == wanted or found == wanted.replace(b"\n", b"\r\n")
