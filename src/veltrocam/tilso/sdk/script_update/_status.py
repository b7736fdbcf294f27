"""What ``status`` reports, worked out from the targets' records and the
files as they are: a start-up file counts as sourcing the store only when
it holds, byte for byte, what the store would write there now."""

from __future__ import annotations

import os
from typing import NamedTuple

from . import _files
from ._context import context
from ._names import refusal
from ._target import Hook, find_block, holds_block
from ._targets import LEAD, TARGETS
from ._transaction import kept_targets, shareable

SOURCES = "sources the store"
DIFFERS = ("holds a veltrocam block that differs from the one the store writes "
           "now (edited, commented out or sourcing another file); the next "
           "change mends it")


class StoreStatus(NamedTuple):
    """What :func:`store_status` found; nothing in it is a secret but
    ``values``.

    ``value_files`` and ``startup_files`` map each path to its state: the
    mode of a value file (None when it is missing), or a short description
    of a start-up file (``SOURCES`` when it sources the store).
    ``shell_files`` are the files every new session of ``shell`` reads
    (empty for a shell that reads none of them); ``covered`` tells whether
    all of them source the store.  ``problems`` describes each value file
    that cannot be read (a dangling symbolic link, say) and how to fix it;
    ``refused`` maps each stored name that is refused now to the reason.
    ``left_out`` maps each stored name that a value file cannot hold to
    that file and the reason; the other files still hold it.
    """

    value_files: dict[str, int | None]
    values: dict[str, str]
    startup_files: dict[str, str]
    shell: str
    shell_files: list[str]
    covered: bool
    problems: dict[str, str]
    refused: dict[str, str]
    left_out: dict[str, str]


def store_status() -> StoreStatus:
    """Describe the store without changing anything.

    Raises ValueError when a value file cannot be parsed, RuntimeError when
    there is no home folder.  A value file that cannot be read is reported
    in ``problems``.
    """
    ctx = context()
    kept = kept_targets(ctx)
    value_files: dict[str, int | None] = {}
    problems: dict[str, str] = {}
    parsed = {}
    for target in TARGETS:
        path = target.value_file(ctx)
        if not (target.in_store_folder or target.in_use(ctx) or target in kept):
            continue
        value_files[path] = None
        try:
            file = _files.read(path)
        except OSError as error:
            problems[path] = _problem(error)
            continue
        value_files[path] = file.mode
        parsed[target] = target.parse(file.path, file.data or b"")
    entries = parsed.get(LEAD, {})
    states: dict[str, str] = {}
    for target in TARGETS:
        wanted = target.hooks(ctx) if target in kept else []
        for hook in wanted + target.all_hooks(ctx):
            if hook.path not in states and (hook in wanted or os.path.lexists(hook.path)):
                states[hook.path] = _startup_state(hook)
    shell_files = next((files for files in (target.read_by(ctx) for target in TARGETS)
                        if files is not None), [])
    for path in shell_files:
        if path not in states:
            states[path] = ("missing" if os.path.isdir(os.path.dirname(path)) else
                            "missing, and so is its folder: the shell reads no file there")
    covered = bool(shell_files) and all(states.get(path) == SOURCES for path in shell_files)
    left_out: dict[str, str] = {}
    for target in kept[1:]:
        for name, value in shareable(entries).items():
            problem = target.cannot_hold(ctx, value, name)
            if problem is not None:
                text = f"left out of {target.value_file(ctx)}: {problem}"
                left_out[name] = f"{left_out[name]}; {text}" if name in left_out else text
    refused = {}
    for name in entries:
        found = refusal(name)
        if found is not None:
            refused[name] = found[1]
    values = {name: value.decode("utf-8") for name, value in entries.items()}
    return StoreStatus(value_files, values, states, ctx.shell, shell_files, covered,
                       problems, refused, left_out)


def _startup_state(hook: Hook) -> str:
    try:
        file = _files.read(hook.path)
        if file.data is None:
            return "missing"
        if hook.whole:
            if file.data == hook.content:
                return SOURCES
            return ("empty; the next change writes it again" if not file.data
                    else "changed by hand; the next change writes it again")
        span = find_block(file.data, file.path)
    except (OSError, ValueError) as error:
        return _problem(error)
    if span is None:
        return "does not source the store"
    return SOURCES if holds_block(file.data, span, hook.content) else DIFFERS


def _problem(error: OSError | ValueError) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return " ".join(str(error).split())
