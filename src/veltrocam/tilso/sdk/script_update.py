"""Persistent environment variables for POSIX shells and fish.

Values live in a private file of ``export`` lines,
``${XDG_CONFIG_HOME:-$HOME/.config}/veltrocam/env.sh`` (mode 0600 in a 0700
folder).  The user's shell start-up files only get a small marked block that
sources that file::

    # >>> veltrocam >>>
    if [ -r "$HOME/.config/veltrocam/env.sh" ]; then . "$HOME/.config/veltrocam/env.sh"; fi # veltrocam
    # <<< veltrocam <<<

When fish is the user's shell or is installed, ``env.fish`` beside
``env.sh`` holds the same names and values as ``set -gx`` lines, and
``${XDG_CONFIG_HOME:-$HOME/.config}/fish/conf.d/veltrocam.fish``, a file of
this package written as a whole, sources it in every fish.  ``env.sh`` leads:
``env.fish`` is written from its entries, so a difference left by an
interrupted call is mended by the next one.

Start-up files are handled as bytes: every byte outside the block stays as it
was, except one line feed added to end an unterminated last line.  Every write
goes to a temporary file beside the real target (symbolic links are followed
and kept) that then replaces it, and all read-modify-write cycles hold an
exclusive lock, so concurrent callers lose nothing.  A process killed
between those steps damages nothing but may leave its temporary file behind;
the next call removes such leftovers while it holds the lock.

Setting ``VELTROCAM_NO_MODIFY_RC=1`` leaves start-up files (and the fish
``conf.d`` file) alone.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import os
import pwd
import re
import stat
import time
from collections.abc import Callable, Iterator
from typing import NamedTuple, NoReturn

__all__ = ["update_bash_file", "remove_from_bash_file", "store_status",
           "StoreStatus"]

_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_PROTECTED_NAMES = frozenset({
    "PATH", "HOME", "IFS", "ENV", "BASH_ENV", "SHELLOPTS", "BASHOPTS",
    "PS1", "PS2", "PS3", "PS4", "PROMPT_COMMAND", "ZDOTDIR",
})
_PROTECTED_PREFIXES = ("BASH_", "LD_", "DYLD_")
_SURROGATE = re.compile("[\ud800-\udfff]")
_MAX_VALUE_BYTES = 32 * 1024

_LOCK_TIMEOUT = 10.0
_LOCK_POLL_INTERVAL = 0.02

_BEGIN = b"# >>> veltrocam >>>"
_END = b"# <<< veltrocam <<<"
# One stored variable: export NAME='value', where each ' of the value is '\''.
_ENTRY = re.compile(rb"export ([A-Za-z_][A-Za-z0-9_]*)='((?:[^']+|'\\'')*)'\n")
# The same for fish: set -gx NAME 'value'.  Inside fish's single quotes only
# \\ and \' are escapes, and both are always written.
_FISH_ENTRY = re.compile(
    rb"set -gx ([A-Za-z_][A-Za-z0-9_]*) '((?:[^'\\]+|\\[\\'])*)'\n")
_FISH_ESCAPE = re.compile(rb"\\([\\'])")
# What tempfile.mkstemp names a temporary file in _replace_file: a dot, the
# target's name, a dot, eight characters of its random sequence, ".tmp".
_LEFTOVER = re.compile(r"\.(.+)\.[a-z0-9_]{8}\.tmp")
# Shells that read ``.profile`` (as login shells) and no other file of ours.
_POSIX_SHELLS = frozenset({"sh", "dash", "ash", "ksh", "mksh", "yash", "posh"})
# Characters that keep their literal meaning inside double quotes in every shell.
_PLAIN_IN_DOUBLE_QUOTES = re.compile(r'[^"$`\\!\n\r]*')


class _Layout(NamedTuple):
    """Where the home folder, the value files, the lock file and the fish
    ``conf.d`` file are."""

    home: str
    folder: str
    store: str
    lock: str
    fish_store: str
    fish_conf: str


class _Target(NamedTuple):
    """A file as read before a change: its real path, bytes and mode.

    ``data`` and ``mode`` are None when the file does not exist yet.
    """

    path: str
    data: bytes | None
    mode: int | None


class _Change(NamedTuple):
    """New content for the file at ``path``, written with ``mode``."""

    path: str
    data: bytes
    mode: int


class StoreStatus(NamedTuple):
    """What :func:`store_status` found; nothing in it is a secret but
    ``values``.

    ``value_files`` and ``startup_files`` map each path to its state: the
    mode of a value file (None when it is missing), or a short description
    of a start-up file (``SOURCES`` when it sources the store).
    ``shell_files`` are the files every new session of ``shell`` reads
    (empty for a shell that reads none of them); ``covered`` tells whether
    all of them source the store.
    """

    value_files: dict[str, int | None]
    values: dict[str, str]
    startup_files: dict[str, str]
    shell: str
    shell_files: list[str]
    covered: bool


SOURCES = "sources the store"


def update_bash_file(variables: list[str], value: str) -> list[str]:
    """Store each name in ``variables`` with ``value`` for future shells.

    Names already stored keep their place; new ones are appended.  Unless
    ``VELTROCAM_NO_MODIFY_RC=1`` is set, the start-up files of the user's
    shells get the block that sources the value file (once).

    Returns the real paths of the files written, in the order written; an
    empty list when nothing had to change.

    Raises TypeError or ValueError for bad input and PermissionError under
    sudo, all before anything on disk is touched; TimeoutError when the lock
    stays busy; OSError or ValueError when a file is unsafe to change or
    cannot be parsed, in which case nothing is written.
    """
    names = _checked_names(variables)
    encoded = _checked_value(value)
    _refuse_sudo()
    if not names:
        return []
    layout = _layout()
    _make_private_folder(layout.folder)
    with _locked(layout.lock):
        _remove_leftovers(layout)
        store = _read_target(layout.store)
        entries = _parse_store(store)
        fish = _read_fish_store(layout)
        updated = entries | dict.fromkeys(names, encoded)
        changes = []
        if updated != entries:
            changes.append(_Change(store.path, _format_store(updated), 0o600))
        else:
            _tighten_store_mode(store)
        if fish is not None:
            changes += _fish_store_changes(fish, updated)
        if not _startup_files_opted_out():
            changes += _marking_changes(layout)
            if fish is not None:
                changes += _fish_conf_changes(layout)
        return _apply(changes)


def remove_from_bash_file(variables: list[str]) -> list[str]:
    """Drop the names in ``variables`` from the value file.

    Names that are not stored are skipped without any write.  When the last
    name goes, the value files are removed, and so are the marked blocks in
    the start-up files and the fish ``conf.d`` file (unless
    ``VELTROCAM_NO_MODIFY_RC=1`` is set).

    Returns the names removed, in the order given.  Raises like
    :func:`update_bash_file`.
    """
    names = _checked_names(variables)
    _refuse_sudo()
    layout = _layout()
    if not names or not os.path.isdir(layout.folder):
        return []
    with _locked(layout.lock):
        _remove_leftovers(layout)
        store = _read_target(layout.store)
        entries = _parse_store(store)
        fish = _read_fish_store(layout)
        removed = [name for name in dict.fromkeys(names) if name in entries]
        if not removed:
            return removed
        for name in removed:
            del entries[name]
        if entries:
            changes = [_Change(store.path, _format_store(entries), 0o600)]
            if fish is not None:
                changes += _fish_store_changes(fish, entries)
            _apply(changes)
            return removed
        if not _startup_files_opted_out():
            # Both are planned, and so checked, before anything is removed.
            conf = _read_target(layout.fish_conf)
            unmarking = _unmarking_changes(layout)
            if conf.data is not None:
                _remove_file(conf.path)
            _apply(unmarking)
        if fish is not None and fish.data is not None:
            _remove_file(fish.path)
        _remove_file(store.path)
        return removed


def store_status() -> StoreStatus:
    """Describe the store without changing anything.

    Raises ValueError when a value file cannot be parsed, OSError when one
    cannot be read, RuntimeError when there is no home folder.
    """
    layout = _layout()
    value_files: dict[str, int | None] = {}
    entries: dict[str, bytes] = {}
    for path, parse in ((layout.store, _parse_store),
                        (layout.fish_store, _parse_fish_store)):
        target = _read_target(path)
        value_files[path] = target.mode
        parsed = parse(target)
        if path == layout.store:
            entries = parsed
    startup = list(dict.fromkeys(_files_to_mark(layout.home)
                                 + _files_to_unmark(layout.home)))
    states = {path: _startup_state(path) for path in startup}
    if _fish_in_use(layout) or os.path.lexists(layout.fish_conf):
        states[layout.fish_conf] = _fish_conf_state(layout)
    shell = _user_shell()
    read = _files_read_by(shell, layout)
    covered = bool(read) and all(states.get(path) == SOURCES for path in read)
    values = {name: value.decode("utf-8") for name, value in entries.items()}
    return StoreStatus(value_files, values, states, shell, read, covered)


# Input checks: they run before anything on disk is touched, and their
# messages name the offending name but never quote the value.

def _checked_names(variables: object) -> list[str]:
    """Return the names as plain strings, or raise TypeError/ValueError."""
    if not isinstance(variables, list):
        raise TypeError(
            f"variables must be a list of str, not {type(variables).__name__}")
    names = []
    for name in list(variables):
        if not isinstance(name, str):
            raise TypeError(
                f"variable names must be str, not {type(name).__name__}")
        name = str.__str__(name)  # an exact str: a subclass cannot alter it
        if _NAME.fullmatch(name) is None:
            raise ValueError(f"invalid environment variable name: {name!r}")
        if name in _PROTECTED_NAMES or name.startswith(_PROTECTED_PREFIXES):
            raise ValueError(
                f"refusing to store {name}: setting it would break the shell")
        names.append(name)
    return names


def _checked_value(value: object) -> bytes:
    """Return the value encoded as UTF-8, or raise TypeError/ValueError."""
    if not isinstance(value, str):
        raise TypeError(f"value must be a str, not {type(value).__name__}")
    value = str.__str__(value)
    if "\0" in value:
        raise ValueError("value must not contain a NUL character")
    # A surrogate is the only thing UTF-8 cannot encode; checking for it first
    # keeps the value out of any UnicodeEncodeError.
    if _SURROGATE.search(value):
        raise ValueError("value must be encodable as UTF-8")
    encoded = value.encode("utf-8")
    if len(encoded) > _MAX_VALUE_BYTES:
        raise ValueError(
            f"value must be at most {_MAX_VALUE_BYTES} bytes in UTF-8")
    return encoded


def _refuse_sudo() -> None:
    """Refuse to run as root on behalf of a user who ran sudo."""
    if os.geteuid() == 0 and os.environ.get("SUDO_USER"):
        raise PermissionError(
            "refusing to run under sudo: files in the user's home folder "
            "would end up owned by root; run it again without sudo")


# Locations.

def _layout() -> _Layout:
    """Find the home folder, the value file and its lock file."""
    home = os.path.expanduser("~")
    if not os.path.isabs(home):
        raise RuntimeError("cannot find the home folder: set HOME")
    config = os.environ.get("XDG_CONFIG_HOME", "")
    if not os.path.isabs(config):
        config = os.path.join(home, ".config")
    folder = os.path.join(config, "veltrocam")
    return _Layout(home, folder, os.path.join(folder, "env.sh"),
                   os.path.join(folder, "env.sh.lock"),
                   os.path.join(folder, "env.fish"),
                   os.path.join(config, "fish", "conf.d", "veltrocam.fish"))


def _installed(program: str) -> bool:
    """Tell whether ``program`` is on ``PATH``."""
    import shutil  # here: slow to import, and needed only to store values

    return shutil.which(program) is not None


def _user_shell() -> str:
    """Return the base name of the user's shell ('bash', 'zsh', ...)."""
    shell = os.environ.get("SHELL")
    if not shell:
        try:
            shell = pwd.getpwuid(os.getuid()).pw_shell
        except KeyError:
            shell = ""
    return os.path.basename(shell)


def _zshenv(home: str) -> str:
    """Return the .zshenv in $ZDOTDIR when one exists there, else in home."""
    zdotdir = os.environ.get("ZDOTDIR", "")
    if os.path.isabs(zdotdir):
        candidate = os.path.join(zdotdir, ".zshenv")
        if os.path.lexists(candidate):
            return candidate
    return os.path.join(home, ".zshenv")


def _files_to_mark(home: str) -> list[str]:
    """Return the start-up files that should source the value file.

    ``.bash_profile`` and ``.bash_login`` are never created: either one
    makes bash skip ``.profile``.
    """
    shell = _user_shell()
    files = [os.path.join(home, ".profile")]
    for name in (".bash_profile", ".bash_login"):
        path = os.path.join(home, name)
        if os.path.lexists(path):
            files.append(path)
    bashrc = os.path.join(home, ".bashrc")
    if shell == "bash" or os.path.lexists(bashrc):
        files.append(bashrc)
    if shell == "zsh" or _installed("zsh"):
        files.append(_zshenv(home))
    return files


def _files_to_unmark(home: str) -> list[str]:
    """Return every existing start-up file that may hold a block."""
    return [path for path in _startup_files(home) if os.path.exists(path)]


def _startup_files(home: str) -> list[str]:
    """Return every start-up file that may get a block, existing or not."""
    names = (".profile", ".bash_profile", ".bash_login", ".bashrc", ".zshenv")
    files = [os.path.join(home, name) for name in names]
    zdotdir = os.environ.get("ZDOTDIR", "")
    if os.path.isabs(zdotdir):
        files.append(os.path.join(zdotdir, ".zshenv"))
    return files


def _fish_in_use(layout: _Layout) -> bool:
    """Tell whether fish needs the values: it is the user's shell, it is
    installed, or ``env.fish`` exists already and must stay the same as
    ``env.sh``."""
    return (_user_shell() == "fish" or _installed("fish")
            or os.path.lexists(layout.fish_store))


def _files_read_by(shell: str, layout: _Layout) -> list[str]:
    """Return the files whose blocks reach every session of ``shell``.

    A bash login shell reads the first of ``.bash_profile``, ``.bash_login``
    and ``.profile``; other bash shells read ``.bashrc``.  An empty list
    means the shell reads none of them.
    """
    home = layout.home
    if shell == "bash":
        logins = [os.path.join(home, name)
                  for name in (".bash_profile", ".bash_login", ".profile")]
        login = next((path for path in logins if os.path.lexists(path)),
                     logins[-1])
        return [login, os.path.join(home, ".bashrc")]
    if shell == "zsh":
        return [_zshenv(home)]
    if shell == "fish":
        return [layout.fish_conf]
    if shell in _POSIX_SHELLS:
        return [os.path.join(home, ".profile")]
    return []


def _startup_files_opted_out() -> bool:
    return os.environ.get("VELTROCAM_NO_MODIFY_RC") == "1"


# The value file.

def _parse_store(store: _Target) -> dict[str, bytes]:
    """Parse the value file strictly into names and UTF-8 encoded values."""
    return _parse_entries(store, _ENTRY,
                          lambda quoted: quoted.replace(b"'\\''", b"'"))


def _parse_fish_store(store: _Target) -> dict[str, bytes]:
    """Parse ``env.fish`` as strictly as :func:`_parse_store`."""
    return _parse_entries(store, _FISH_ENTRY,
                          lambda quoted: _FISH_ESCAPE.sub(rb"\1", quoted))


def _parse_entries(store: _Target, entry: re.Pattern[bytes],
                   unquote: Callable[[bytes], bytes]) -> dict[str, bytes]:
    data = store.data or b""
    entries: dict[str, bytes] = {}
    position = 0
    while position < len(data):
        match = entry.match(data, position)
        if match is None:
            raise _store_error(store, position, "cannot be parsed")
        name = match[1].decode("ascii")
        value = unquote(match[2])
        if name in entries:
            raise _store_error(store, position, f"sets {name} a second time")
        if not _is_utf8(value):
            raise _store_error(store, position, "is not UTF-8")
        entries[name] = value
        position = match.end()
    return entries


def _store_error(store: _Target, position: int, problem: str) -> ValueError:
    line = (store.data or b"").count(b"\n", 0, position) + 1
    return ValueError(f"{store.path}: line {line} {problem}; fix or remove the file")


def _is_utf8(data: bytes) -> bool:
    # The error is not kept: it would hold the bytes, which may be a password.
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


def _format_store(entries: dict[str, bytes]) -> bytes:
    return b"".join(b"export %s=%s\n" % (name.encode("ascii"), _quote(value))
                    for name, value in entries.items())


def _quote(data: bytes) -> bytes:
    """Quote bytes for the shell: single quotes, each ' written as '\\''."""
    return b"'" + data.replace(b"'", b"'\\''") + b"'"


def _tighten_store_mode(store: _Target) -> None:
    if store.mode is not None and store.mode & 0o077:
        os.chmod(store.path, 0o600)


# The fish files.

def _fish_quote(data: bytes) -> bytes:
    """Quote bytes for fish: single quotes, with \\ and ' escaped."""
    return b"'" + data.replace(b"\\", b"\\\\").replace(b"'", b"\\'") + b"'"


def _format_fish(entries: dict[str, bytes]) -> bytes:
    return b"".join(b"set -gx %s %s\n" % (name.encode("ascii"), _fish_quote(value))
                    for name, value in entries.items())


def _read_fish_store(layout: _Layout) -> _Target | None:
    """Read and check ``env.fish``; None when fish needs no values."""
    if not _fish_in_use(layout):
        return None
    fish = _read_target(layout.fish_store)
    _parse_fish_store(fish)
    return fish


def _fish_store_changes(fish: _Target, entries: dict[str, bytes]) -> list[_Change]:
    """Plan writing ``entries`` to ``env.fish`` unless it holds them already."""
    data = _format_fish(entries)
    if fish.data == data:
        _tighten_store_mode(fish)
        return []
    return [_Change(fish.path, data, 0o600)]


def _fish_conf(layout: _Layout) -> bytes:
    """Return the whole ``conf.d`` file: source ``env.fish`` when readable."""
    path = _fish_quote(os.fsencode(layout.fish_store))
    return (b"# Written by veltrocam-license-helper, which replaces or removes "
            b"this file as a whole.\n"
            b"if test -r %s\n    source %s\nend\n" % (path, path))


def _fish_conf_changes(layout: _Layout) -> list[_Change]:
    target = _read_target(layout.fish_conf)
    data = _fish_conf(layout)
    if target.data == data:
        return []
    return [_Change(target.path, data, _startup_mode(target))]


# What store_status reports about each start-up file.

def _startup_state(path: str) -> str:
    try:
        target = _read_target(path)
        if target.data is None:
            return "missing"
        if _find_block(target.data, target.path) is None:
            return "does not source the store"
    except (OSError, ValueError) as error:
        return _problem(error)
    return SOURCES


def _fish_conf_state(layout: _Layout) -> str:
    try:
        target = _read_target(layout.fish_conf)
    except OSError as error:
        return _problem(error)
    if target.data is None:
        return "missing"
    if target.data != _fish_conf(layout):
        return "changed by hand; the next change writes it again"
    return SOURCES


def _problem(error: OSError | ValueError) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return " ".join(str(error).split())


# Marked blocks in start-up files.

def _block(layout: _Layout) -> bytes:
    """Return the marked block that sources the value file."""
    home = layout.home.rstrip("/") + "/"
    relative = layout.store[len(home):]
    if (layout.store.startswith(home)
            and _PLAIN_IN_DOUBLE_QUOTES.fullmatch(relative)):
        path = b'"$HOME/' + os.fsencode(relative) + b'"'
    else:
        path = _quote(os.fsencode(layout.store))
    # The trailing comment absorbs a CR left by an editor that converts the
    # file to CRLF line ends.
    line = b"if [ -r %s ]; then . %s; fi # veltrocam" % (path, path)
    return b"\n".join((_BEGIN, line, _END)) + b"\n"


def _find_block(data: bytes, path: str) -> tuple[int, int] | None:
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
        if line == _BEGIN:
            begins.append(start)
        elif line == _END:
            ends.append(stop)
        start = stop
    if not begins and not ends:
        return None
    if len(begins) == 1 and len(ends) == 1 and begins[0] < ends[0]:
        return begins[0], ends[0]
    raise ValueError(f"{path}: malformed veltrocam block; it needs one line "
                     f"{_BEGIN.decode()!r} followed by one line "
                     f"{_END.decode()!r}; fix it by hand")


def _marking_changes(layout: _Layout) -> list[_Change]:
    """Plan adding the block to every start-up file that lacks it."""
    block = _block(layout)
    changes = []
    for target in _read_targets(_files_to_mark(layout.home)):
        data = target.data or b""
        if _find_block(data, target.path) is not None:
            continue
        if data and not data.endswith(b"\n"):
            data += b"\n"
        changes.append(_Change(target.path, data + block, _startup_mode(target)))
    return changes


def _unmarking_changes(layout: _Layout) -> list[_Change]:
    """Plan cutting the block out of every start-up file that holds one."""
    changes = []
    for target in _read_targets(_files_to_unmark(layout.home)):
        data = target.data or b""
        span = _find_block(data, target.path)
        if span is not None:
            start, stop = span
            changes.append(_Change(target.path, data[:start] + data[stop:],
                                   _startup_mode(target)))
    return changes


def _startup_mode(target: _Target) -> int:
    """Keep a start-up file's mode; a new one gets what open() would give."""
    return target.mode if target.mode is not None else 0o666 & ~_umask()


# Safe file access.

def _refuse(path: str, reason: str) -> NoReturn:
    raise PermissionError(errno.EPERM, f"refusing to change it: {reason}",
                          path)


def _read_targets(paths: list[str]) -> list[_Target]:
    """Read each file once, even when several paths lead to it."""
    targets: dict[str, _Target] = {}
    for path in paths:
        target = _read_target(path)
        targets.setdefault(target.path, target)
    return list(targets.values())


def _read_target(path: str) -> _Target:
    """Follow symbolic links from ``path`` and read the real file.

    A missing file is returned empty, to be created.  A dangling link, or a
    real file that is not a regular file of the current user with a single
    hard link, is refused with PermissionError.
    """
    if not os.path.lexists(path):
        return _Target(path, None, None)
    try:
        real = os.path.realpath(path, strict=True)
    except FileNotFoundError:
        _refuse(path, "the symbolic link points to a missing file")
    # O_NONBLOCK keeps the open of a FIFO from waiting for a writer.
    fd = os.open(real, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK
                 | os.O_CLOEXEC)
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            _refuse(real, "not a regular file")
        if info.st_uid != os.geteuid():
            _refuse(real, "owned by another user")
        if info.st_nlink != 1:
            _refuse(real, "it has several hard links")
    except BaseException:
        os.close(fd)
        raise
    with open(fd, "rb") as file:
        return _Target(real, file.read(), stat.S_IMODE(info.st_mode))


def _apply(changes: list[_Change]) -> list[str]:
    """Write every planned change; return the paths written.

    A missing folder (fish's ``conf.d``) is created with the umask's mode,
    as fish itself would create it.
    """
    for change in changes:
        os.makedirs(os.path.dirname(change.path), exist_ok=True)
        _replace_file(change.path, change.data, change.mode)
    return [change.path for change in changes]


def _replace_file(path: str, data: bytes, mode: int) -> None:
    """Atomically replace ``path`` with ``data``, leaving it with ``mode``.

    On any error before the final rename the target stays as it was and the
    temporary file is removed.
    """
    import tempfile  # here: slow to import, and needed only to store values

    folder, name = os.path.split(path)
    fd, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp",
                                     dir=folder)
    try:
        with open(fd, "wb") as file:
            file.write(data)
            file.flush()
            os.fchmod(file.fileno(), mode)
            os.fsync(file.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise
    _fsync_folder(folder)


def _remove_file(path: str) -> None:
    os.unlink(path)
    _fsync_folder(os.path.dirname(path))


def _remove_leftovers(layout: _Layout) -> None:
    """Remove temporary files that a killed call left beside its targets.

    Runs under the lock, so no other call is writing one.  Only names of
    exactly ``_replace_file``'s pattern for a file this module writes (or
    the real file behind it) count, and only regular files of this user.
    """
    paths = [layout.store, layout.fish_store, layout.fish_conf,
             *_startup_files(layout.home)]
    names: dict[str, set[str]] = {}
    for path in paths + [os.path.realpath(path) for path in paths]:
        folder, name = os.path.split(path)
        names.setdefault(folder, set()).add(name)
    for folder, targets in names.items():
        try:
            entries = os.listdir(folder)
        except OSError:
            continue
        for entry in entries:
            match = _LEFTOVER.fullmatch(entry)
            if match is None or match[1] not in targets:
                continue
            path = os.path.join(folder, entry)
            with contextlib.suppress(OSError):
                info = os.lstat(path)
                if stat.S_ISREG(info.st_mode) and info.st_uid == os.geteuid():
                    os.unlink(path)


def _fsync_folder(folder: str) -> None:
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _make_private_folder(folder: str) -> None:
    """Create ``folder`` (and missing parents) as 0700; tighten a looser one."""
    _make_folders(folder)
    info = os.stat(folder)
    if not stat.S_ISDIR(info.st_mode):
        _refuse(folder, "not a folder")
    if info.st_uid != os.geteuid():
        _refuse(folder, "owned by another user")
    if info.st_mode & 0o077:
        os.chmod(folder, stat.S_IMODE(info.st_mode) & 0o700)


def _make_folders(folder: str) -> None:
    # os.makedirs would give missing parents the umask's mode, not 0700.
    if os.path.isdir(folder):
        return
    _make_folders(os.path.dirname(folder))
    with contextlib.suppress(FileExistsError):
        os.mkdir(folder, 0o700)


@contextlib.contextmanager
def _locked(lock_path: str) -> Iterator[None]:
    """Hold an exclusive flock on ``lock_path``; TimeoutError after ~10 s.

    The lock file is created once and never renamed or removed, so every
    process locks the same inode.
    """
    fd = os.open(lock_path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW
                 | os.O_CLOEXEC, 0o600)
    try:
        deadline = time.monotonic() + _LOCK_TIMEOUT
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() >= deadline:
                    raise TimeoutError(
                        f"{lock_path} stayed locked by another process") from None
                time.sleep(_LOCK_POLL_INTERVAL)
        yield
    finally:
        os.close(fd)


def _umask() -> int:
    """Return the process umask without changing it where Linux allows."""
    with contextlib.suppress(OSError, ValueError):
        with open("/proc/self/status", "rb") as status:
            for line in status:
                if line.startswith(b"Umask:"):
                    return int(line.split()[1], 8)
    mask = os.umask(0o077)
    os.umask(mask)
    return mask
