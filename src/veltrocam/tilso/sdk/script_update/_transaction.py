"""A change to the store, applied as one transaction.

A change first works out the new bytes of every file it touches (value
files, start-up files) from the targets' records, then writes and fsyncs
every temporary file beside its target, and only then renames them all into
place (and removes the files that go) and fsyncs their folders.  A failure
before the first rename (a full disk, a file-size limit, a read-only
folder) leaves every file as it was, and removes the temporary files and
any folder the change made.
"""

from __future__ import annotations

import contextlib
import os
from typing import NamedTuple

from . import _files
from ._context import Context
from ._files import File
from ._names import refusal
from ._target import Hook, Target, find_block, holds_block
from ._targets import LEAD, TARGETS


class Change(NamedTuple):
    """New content for the real file at ``path``, written with ``mode``;
    ``data`` None removes the file."""

    path: str
    data: bytes | None
    mode: int


def commit(changes: list[Change]) -> list[str]:
    """Apply every change, all or nothing until the first rename; return
    the paths changed, in order."""
    made: list[str] = []
    temporaries: list[tuple[int, str, Change]] = []
    try:
        for change in changes:
            if change.data is None:
                continue
            made += _files.make_folders(os.path.dirname(change.path), _public_folder_mode())
            fd, temporary = _files.locked_temporary(change.path)
            temporaries.append((fd, temporary, change))
            with open(fd, "wb", closefd=False) as file:
                file.write(change.data)
            os.fchmod(fd, change.mode)
            os.fsync(fd)
    except BaseException:
        for fd, temporary, _ in temporaries:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
            os.close(fd)
        for folder in reversed(made):
            with contextlib.suppress(OSError):
                os.rmdir(folder)
        raise
    # From here on each file is whole at every moment: old or new.
    renamed = {change.path: temporary for _, temporary, change in temporaries}
    try:
        for change in changes:
            if change.data is None:
                os.unlink(change.path)
            else:
                os.replace(renamed[change.path], change.path)
                del renamed[change.path]
    finally:
        for temporary in renamed.values():
            with contextlib.suppress(OSError):
                os.unlink(temporary)
        for fd, _, _ in temporaries:
            os.close(fd)  # only now: closing releases the lock
    for folder in dict.fromkeys(os.path.dirname(change.path) for change in changes):
        _files.fsync_folder(folder)
    return [change.path for change in changes]


def _public_folder_mode() -> int:
    """Folders the store makes outside its own: at most 0755."""
    return 0o755 & ~_files.umask()


def _startup_mode(file: File) -> int:
    """Keep a start-up file's mode; a new one is at most 0644."""
    return file.mode if file.mode is not None else 0o644 & ~_files.umask()


def _changed(file: File, data: bytes | None, mode: int) -> list[Change]:
    """Plan writing ``data`` over ``file`` when it differs; only a file that
    must change has to be ours and have one link."""
    if file.data == data:
        return []
    _files.check_writable(file)
    return [Change(file.path, data, mode)]


def _discarded(path: str, file: File) -> list[Change]:
    """Plan removing a file of the store's own.  Through a symbolic link it
    is emptied instead, so that the link keeps its target."""
    if file.data is None:
        return []
    if os.path.islink(path):
        return _changed(file, b"", file.mode or 0o600)
    _files.check_writable(file)
    return [Change(file.path, None, 0)]


def shareable(entries: dict[str, bytes]) -> dict[str, bytes]:
    """The entries the other value files get: all but names refused now."""
    return {name: value for name, value in entries.items() if refusal(name) is None}


def lead_format(entries: dict[str, bytes]) -> bytes:
    """``env.sh``: a name refused now goes last, since a shell that stops
    reading the file at it loses only what comes after it."""
    kept = shareable(entries)
    return LEAD.format(kept | {name: entries[name] for name in entries if name not in kept})


def kept_targets(ctx: Context) -> list[Target]:
    """The targets whose value files are kept: the lead always; any other
    when its value file exists (so a removal reaches it, whatever else is
    set), or when it is in use and the file may be created: one outside the
    store folder is not created under the opt-out."""
    return [target for target in TARGETS
            if target is LEAD or os.path.lexists(target.value_file(ctx))
            or target.in_use(ctx) and (target.in_store_folder or not ctx.opted_out)]


def held(ctx: Context, target: Target, entries: dict[str, bytes]) -> dict[str, bytes]:
    """The entries ``target`` gets: those it can hold."""
    if target is LEAD:
        return entries
    return {name: value for name, value in shareable(entries).items()
            if target.cannot_hold(ctx, value, name) is None}


def leftover_paths(ctx: Context) -> list[str]:
    paths = [target.value_file(ctx) for target in TARGETS]
    for target in TARGETS:
        paths += [hook.path for hook in target.all_hooks(ctx)]
    return paths


class Store:
    """The value files as read under the locks."""

    def __init__(self, ctx: Context) -> None:
        self.ctx = ctx
        self.files: list[tuple[Target, File, dict[str, bytes]]] = []
        for target in kept_targets(ctx):
            path = target.value_file(ctx)
            file = _files.read(path)
            self.files.append((target, file, target.parse(file.path, file.data or b"")))
        self.entries = self.files[0][2]

    def value_changes(self, entries: dict[str, bytes]) -> list[Change]:
        changes = []
        for target, file, _ in self.files:
            data = (lead_format(entries) if target is LEAD
                    else target.format(held(self.ctx, target, entries)))
            changes += _changed(file, data, 0o600)
        return changes

    def tighten_modes(self) -> None:
        """A value file left unchanged but readable by others gets 0600."""
        for _, file, _ in self.files:
            with contextlib.suppress(FileNotFoundError):
                info = os.stat(file.path)
                if info.st_mode & 0o077:
                    os.chmod(file.path, 0o600)

    def discards(self) -> list[Change]:
        """Remove every value file, the lead last, so that an interrupted
        call leaves it holding the names."""
        changes = []
        for target, file, _ in self.files[1:] + self.files[:1]:
            changes += _discarded(target.value_file(self.ctx), file)
        return changes


def hook_changes(ctx: Context, targets: list[Target]) -> list[Change]:
    """Plan putting each target's block (or whole file) in place: added
    where missing, mended where it differs from the one wanted now; a file
    that already holds it is only read."""
    changes = []
    seen: set[str] = set()
    for target in targets:
        for hook in target.hooks(ctx):
            file = _files.read(hook.path)
            if file.path in seen:
                continue
            seen.add(file.path)
            changes += _changed(file, _hooked(file, hook), _startup_mode(file))
    return changes


def _hooked(file: File, hook: Hook) -> bytes:
    if hook.whole:
        return hook.content
    data = file.data or b""
    span = find_block(data, file.path)
    if span is None:
        if data and not data.endswith(b"\n"):
            data += b"\n"
        return data + hook.content
    if holds_block(data, span, hook.content):
        return data
    return data[:span[0]] + hook.content + data[span[1]:]


def unhook_changes(ctx: Context) -> list[Change]:
    """Plan cutting every block out of the start-up files, and removing
    the store's own start-up files."""
    changes = []
    hooks = [hook for target in TARGETS for hook in target.all_hooks(ctx)]
    for path, file in _files.read_each(hook.path for hook in hooks):
        whole = next(hook.whole for hook in hooks if hook.path == path)
        if whole:
            changes += _discarded(path, file)
            continue
        data = file.data or b""
        span = find_block(data, file.path)
        if span is not None:
            changes += _changed(file, data[:span[0]] + data[span[1]:], _startup_mode(file))
    return changes


def update(names: list[str], value: bytes) -> list[str]:
    ctx = _prepared()
    kept = kept_targets(ctx)
    _refuse_unreadable(ctx, kept, names, value)
    _files.make_private_folder(ctx.folder)
    with _files.locked_home(ctx.home), _files.locked(ctx.lock):
        _files.remove_leftovers(leftover_paths(ctx))
        store = Store(ctx)
        changes = store.value_changes(store.entries | dict.fromkeys(names, value))
        if not ctx.opted_out:
            changes += hook_changes(ctx, [target for target, _, _ in store.files])
        written = commit(changes)
        store.tighten_modes()
        return written


def remove(names: list[str]) -> list[str]:
    ctx = _prepared()
    if not os.path.isdir(ctx.folder):
        return []
    with _files.locked_home(ctx.home), _files.locked(ctx.lock):
        _files.remove_leftovers(leftover_paths(ctx))
        store = Store(ctx)
        found = set().union(*(entries for _, _, entries in store.files))
        removed = [name for name in dict.fromkeys(names) if name in found]
        if not removed:
            return removed
        entries = {name: value for name, value in store.entries.items()
                   if name not in removed}
        if entries:
            commit(store.value_changes(entries))
        else:
            changes = [] if ctx.opted_out else unhook_changes(ctx)
            commit(changes + store.discards())
        return removed


def _prepared() -> Context:
    from ._context import context

    return context()


def _refuse_unreadable(ctx: Context, kept: list[Target], names: list[str],
                       value: bytes) -> None:
    """Refuse a value that no target read by the user's shell can hold.
    Any other target that cannot hold it just goes without it."""
    serving = [target for target in kept if target.read_by(ctx) is not None]
    for name in names:
        problems = [target.cannot_hold(ctx, value, name) for target in serving]
        if serving and all(problems):
            raise ValueError(f"refusing to store {name}: {problems[0]}")
