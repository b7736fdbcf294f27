"""Safe reads of the store's files, locks, and leftovers of killed writers.

Every read-modify-write cycle holds two exclusive locks, always in this
order: one on the home folder, which serialises the start-up files of that
home whatever ``XDG_CONFIG_HOME`` says, and one in the store folder for the
files under it.  A writer also locks each temporary file until it is
renamed, so a process killed in between damages nothing but may leave its
temporary files behind; the next call removes such leftovers, never the
file of a running writer.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import os
import re
import stat
import time
from collections.abc import Iterable, Iterator
from typing import NamedTuple, NoReturn

LOCK_TIMEOUT = 10.0
LOCK_POLL_INTERVAL = 0.02

# What tempfile.mkstemp names a temporary file: a dot, the target's name, a
# dot, eight characters of its random sequence, ".tmp".
_LEFTOVER = re.compile(r"\.(.+)\.[a-z0-9_]{8}\.tmp")


class File(NamedTuple):
    """A file as read before a change: its real path, bytes, mode, owner
    and number of hard links.  ``data`` and ``mode`` are None when the file
    does not exist yet."""

    path: str
    data: bytes | None
    mode: int | None
    uid: int = -1
    links: int = 1


def refuse(path: str, reason: str) -> NoReturn:
    raise PermissionError(errno.EPERM, f"refusing to change it: {reason}", path)


def read(path: str) -> File:
    """Follow symbolic links from ``path`` and read the real file.

    A missing file is returned empty, to be created.  A dangling link, or a
    real file that is not a regular file, is refused with PermissionError:
    writing through a dangling link would create a file wherever it points.
    Owner and hard links matter only to a write (see :func:`check_writable`).
    """
    if not os.path.lexists(path):
        return File(path, None, None)
    try:
        real = os.path.realpath(path, strict=True)
    except FileNotFoundError:
        refuse(path, f"the symbolic link points to a missing file, "
                     f"{os.path.realpath(path)}; remove the link, or put "
                     f"the file it names back (empty will do)")
    # O_NONBLOCK keeps the open of a FIFO from waiting for a writer.
    fd = os.open(real, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            refuse(real, "not a regular file")
    except BaseException:
        os.close(fd)
        raise
    with open(fd, "rb") as file:
        return File(real, file.read(), stat.S_IMODE(info.st_mode),
                    info.st_uid, info.st_nlink)


def read_each(paths: Iterable[str]) -> list[tuple[str, File]]:
    """Read each file once, even when several paths lead to it; return each
    with the first path that led to it."""
    found: dict[str, tuple[str, File]] = {}
    for path in paths:
        file = read(path)
        found.setdefault(file.path, (path, file))
    return list(found.values())


def check_writable(file: File) -> None:
    """Refuse to replace a file of another user or one with several hard
    links: the change would not reach them, or would take the file over."""
    if file.data is None:
        return
    if file.uid != os.geteuid():
        refuse(file.path, "owned by another user")
    if file.links != 1:
        refuse(file.path, "it has several hard links")


def remove_leftovers(paths: Iterable[str]) -> None:
    """Remove temporary files that a killed call left beside ``paths``.

    Runs under both locks.  Only names of exactly the temporary files'
    pattern for one of ``paths`` (or the real file behind it) count, only
    regular files of this user, and only those that no writer holds locked:
    a writer of another home may share a linked target.
    """
    paths = list(paths)
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
            if match is not None and match[1] in targets:
                with contextlib.suppress(OSError):
                    _remove_leftover(os.path.join(folder, entry))


def _remove_leftover(path: str) -> None:
    fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode) or info.st_uid != os.geteuid():
            return
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return  # its writer is still running
        if os.path.samestat(info, os.lstat(path)):
            os.unlink(path)
    finally:
        os.close(fd)


def locked_temporary(path: str) -> tuple[int, str]:
    """Create and lock a temporary file beside ``path``.

    A leftover sweep may remove the file between its creation and the
    lock; then it is made again.
    """
    import tempfile  # here: slow to import, and needed only to store values

    folder, name = os.path.split(path)
    while True:
        fd, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=folder)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            if os.path.samestat(os.fstat(fd), os.lstat(temporary)):
                return fd, temporary
        except FileNotFoundError:
            pass
        except BaseException:
            os.close(fd)
            with contextlib.suppress(FileNotFoundError):
                os.unlink(temporary)
            raise
        os.close(fd)


def fsync_folder(folder: str) -> None:
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def make_private_folder(folder: str) -> None:
    """Create ``folder`` (and missing parents) as 0700; tighten a looser one."""
    make_folders(folder, 0o700)
    info = os.stat(folder)
    if not stat.S_ISDIR(info.st_mode):
        refuse(folder, "not a folder")
    if info.st_uid != os.geteuid():
        refuse(folder, "owned by another user")
    if info.st_mode & 0o077:
        os.chmod(folder, stat.S_IMODE(info.st_mode) & 0o700)


def make_folders(folder: str, mode: int) -> list[str]:
    """Create ``folder`` and its missing parents with ``mode`` exactly (the
    umask may only take bits away); return those created, outermost first."""
    if os.path.isdir(folder):
        return []
    made = make_folders(os.path.dirname(folder), mode)
    try:
        os.mkdir(folder, mode)
    except FileExistsError:
        return made
    if stat.S_IMODE(os.stat(folder).st_mode) != mode:
        os.chmod(folder, mode)
    return [*made, folder]


@contextlib.contextmanager
def locked(lock_path: str) -> Iterator[None]:
    """Hold an exclusive flock on ``lock_path``; TimeoutError after ~10 s.

    The lock file is created once and never renamed or removed, so every
    process locks the same inode.
    """
    fd = os.open(lock_path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
    try:
        _flock(fd, lock_path)
        yield
    finally:
        os.close(fd)


@contextlib.contextmanager
def locked_home(home: str) -> Iterator[None]:
    """Hold an exclusive flock on the home folder itself, which every
    caller with this home shares whatever its ``XDG_CONFIG_HOME``."""
    fd = os.open(home, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        _flock(fd, home)
        yield
    finally:
        os.close(fd)


def _flock(fd: int, path: str) -> None:
    deadline = time.monotonic() + LOCK_TIMEOUT
    while True:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return
        except BlockingIOError:
            if time.monotonic() >= deadline:
                raise TimeoutError(f"{path} stayed locked by another process") from None
            time.sleep(LOCK_POLL_INTERVAL)


def umask() -> int:
    """Return the process umask without changing it where Linux allows."""
    with contextlib.suppress(OSError, ValueError):
        with open("/proc/self/status", "rb") as status:
            for line in status:
                if line.startswith(b"Umask:"):
                    return int(line.split()[1], 8)
    mask = os.umask(0o077)
    os.umask(mask)
    return mask
