"""Persistent environment variables for POSIX shells, fish, tcsh and csh, and
systemd user sessions.

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

tcsh and csh get the same from ``env.csh`` beside ``env.sh`` (``setenv``
lines), sourced by a marked block in ``~/.tcshrc`` and ``~/.cshrc``.  Where
systemd's environment generator is installed,
``${XDG_CONFIG_HOME:-$HOME/.config}/environment.d/60-veltrocam.conf`` holds
them for the services of the user's systemd instance.  Names that a shell
treats as its own are refused; one stored by an earlier version stays in
``env.sh``, after the other names, until removed, and goes into none of the
other files.

Start-up files are handled as bytes: every byte outside the block stays as it
was, except one line feed added to end an unterminated last line.  Every write
goes to a temporary file beside the real target (symbolic links are followed
and kept) that then replaces it.  Every read-modify-write cycle holds two
exclusive locks, always in this order: one on the home folder, which
serialises the start-up files of that home whatever ``XDG_CONFIG_HOME``
says, and one in the store folder for the files under it.  A writer also
locks its temporary file until it is renamed, so a process killed between
those steps damages nothing but may leave its temporary file behind, and
the next call removes such leftovers, never the file of a running writer.

Setting ``VELTROCAM_NO_MODIFY_RC=1`` leaves start-up files, the fish
``conf.d`` file and the ``environment.d`` file alone.
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
# Names no version has stored: they change what every shell runs or how
# programs load.
_PROTECTED_NAMES = frozenset({
    "PATH", "HOME", "IFS", "ENV", "BASH_ENV", "SHELLOPTS", "BASHOPTS",
    "PS1", "PS2", "PS3", "PS4", "PROMPT_COMMAND", "ZDOTDIR",
})
_PROTECTED_PREFIXES = ("BASH_", "LD_", "DYLD_")
# Names that break a shell when stored with an ordinary value: the shell
# prints an error or stops reading the file, drops the variables stored
# after it, or takes over a variable it sets itself.  Found by storing each
# name that these shells list or hold in their programs, with a word, a
# number, a locale and a path as values, and reading the file with sh
# (dash), bash (also --posix), zsh, fish 3.6 and 4, tcsh and csh: sourced,
# sourced in an interactive shell, and inherited by an interactive shell.
# A name counts when no such value works.  SECONDS and LINES hold only
# until the shell counts on or the terminal is resized.
_SHELL_NAMES = {
    "sh": "IFS LD_PRELOAD OPTIND PPID PS1 PWD _",
    "bash": (
        "BASH BASHOPTS BASHPID BASH_ALIASES BASH_ARGC BASH_ARGV BASH_ARGV0 "
        "BASH_CMDS BASH_COMMAND BASH_COMPAT BASH_LINENO BASH_SOURCE "
        "BASH_SUBSHELL BASH_VERSINFO BASH_VERSION BASH_XTRACEFD COLUMNS "
        "COMP_WORDBREAKS DIRSTACK EPOCHREALTIME EPOCHSECONDS EUID FUNCNAME "
        "GROUPS HISTCMD HOME IFS INSIDE_EMACS LD_PRELOAD LINENO LINES OPTERR "
        "OPTIND PIPESTATUS POSIXLY_CORRECT POSIX_PEDANTIC PPID PROMPT_COMMAND "
        "PS0 PS1 PS4 PWD RANDOM SECONDS SHELLOPTS SHLVL SRANDOM UID _"),
    "zsh": (
        "ARGC ARGV0 COLUMNS CPUTYPE EGID ERRNO EUID GID HISTCHARS HISTCMD HOST "
        "IFS KEYBOARD_HACK LD_PRELOAD LINENO LINES MACHTYPE MODULE_PATH OLDPWD "
        "OPTIND OSTYPE PPID PROMPT PROMPT_EOL_MARK PS1 PWD RANDOM READNULLCMD "
        "SECONDS SHLVL TERM TRY_BLOCK_ERROR TRY_BLOCK_INTERRUPT TTY TTYIDLE "
        "UID USERNAME VENDOR WATCH ZSH_ARGZERO ZSH_EVAL_CONTEXT ZSH_NAME "
        "ZSH_PATCHLEVEL ZSH_SUBSHELL ZSH_VERSION _ aliases argv builtins "
        "cdpath commands dirstack dis_aliases dis_builtins dis_functions "
        "dis_functions_source dis_galiases dis_patchars dis_reswords "
        "dis_saliases fignore fpath funcfiletrace funcsourcetrace funcstack "
        "functions functions_source functrace galiases histchars history "
        "historywords i jobdirs jobstates jobtexts key keymaps mailpath "
        "manpath module_path modules nameddirs options parameters patchars "
        "path pipestatus prompt psvar reswords saliases signals status "
        "termcap terminfo userdirs usergroups watch widgets "
        "zle_bracketed_paste zsh_eval_context zsh_scheduled_events"),
    "fish": (
        "CMD_DURATION EUID FISH_DEBUG FISH_VERSION IFS LD_PRELOAD PWD SHLVL "
        "USER _ __fish_added_user_paths __fish_bin_dir __fish_cache_dir "
        "__fish_config_dir __fish_data_dir __fish_help_dir __fish_sysconf_dir "
        "__fish_user_data_dir __fish_vendor_completionsdirs "
        "__fish_vendor_confdirs __fish_vendor_functionsdirs argv "
        "fish_bind_mode fish_complete_path fish_escape_delay_ms "
        "fish_function_path fish_kill_signal fish_killring fish_pid "
        "fish_read_limit fish_sequence_key_delay_ms history hostname "
        "pipestatus status status_generation umask version"),
    "tcsh": "HOME HOST HOSTTYPE LD_PRELOAD MACHTYPE NLSPATH PWD SHLVL VENDOR",
    "csh": "HOME LD_PRELOAD PWD tcsh",
}


def _shells_by_name() -> dict[str, str]:
    """Map each name of ``_SHELL_NAMES`` to the shells it breaks, as text."""
    shells: dict[str, list[str]] = {}
    for shell, names in _SHELL_NAMES.items():
        for name in names.split():
            shells.setdefault(name, []).append(shell)
    return {name: ", ".join(found[:-1]) + " and " + found[-1] if len(found) > 1
            else found[0] for name, found in shells.items()}


_REFUSED_NAMES = _shells_by_name()
_SURROGATE = re.compile("[\ud800-\udfff]")
_MAX_VALUE_BYTES = 32 * 1024

_LOCK_TIMEOUT = 10.0
_LOCK_POLL_INTERVAL = 0.02

_BEGIN = b"# >>> veltrocam >>>"
_END = b"# <<< veltrocam <<<"
# The entry patterns of the value files.  Their quantifiers are possessive,
# so a damaged file (a quote never closed, say) fails in time linear in its
# size instead of backtracking.
# One stored variable: export NAME='value', where each ' of the value is '\''.
_ENTRY = re.compile(rb"export ([A-Za-z_][A-Za-z0-9_]*)='((?:[^']++|'\\'')*+)'\n")
# The same for fish: set -gx NAME 'value'.  Inside fish's single quotes only
# \\ and \' are escapes, and both are always written.
_FISH_ENTRY = re.compile(
    rb"set -gx ([A-Za-z_][A-Za-z0-9_]*) '((?:[^'\\]++|\\[\\'])*+)'\n")
_FISH_ESCAPE = re.compile(rb"\\([\\'])")
# For csh: setenv NAME 'value'.  Inside csh's single quotes a backslash is
# itself except before ! (which would start a history substitution) and
# before a line feed (which would end the command); each ' is '\''.
_CSH_ENTRY = re.compile(
    rb"setenv ([A-Za-z_][A-Za-z0-9_]*) '((?:[^'\\!\n]++|\\[!\n]|\\|'\\'')*+)'\n")
_CSH_ESCAPE = re.compile(rb"\\([!\n])")
# csh (not tcsh) reads at most this many bytes in one word, counting \! as
# one: a longer value is cut short with "Word too long".
_CSH_WORD_MAX = 8187
# For systemd's environment.d: NAME="value".  The generator takes \\, \"
# and \` inside double quotes, then expands $NAME and ${NAME} (even where
# they came from a backslash), and $$ is a dollar sign.
_ENVIRONMENT_D_ENTRY = re.compile(
    rb'([A-Za-z_][A-Za-z0-9_]*)="((?:[^"\\$]++|\\[\\"`]|\$\$)*+)"\n')
_ENVIRONMENT_D_ESCAPE = re.compile(rb"\\([\\\"`])|\$(\$)")
# Tests may point it elsewhere, or to None for a machine without systemd.
_ENVIRONMENT_D_GENERATOR: str | None = (
    "/usr/lib/systemd/user-environment-generators/"
    "30-systemd-environment-d-generator")
_WHOLE_FILE_HEADER = (b"# Written by veltrocam-license-helper, which replaces or "
                      b"removes this file as a whole.\n")
# What tempfile.mkstemp names a temporary file in _replace_file: a dot, the
# target's name, a dot, eight characters of its random sequence, ".tmp".
_LEFTOVER = re.compile(r"\.(.+)\.[a-z0-9_]{8}\.tmp")
# Shells that read ``.profile`` (as login shells) and no other file of ours.
_POSIX_SHELLS = frozenset({"sh", "dash", "ash", "ksh", "mksh", "yash", "posh"})
_CSH_SHELLS = frozenset({"tcsh", "csh", "bsd-csh"})
_CSH_STARTUP_FILES = (".tcshrc", ".cshrc")
# Characters that keep their literal meaning inside double quotes in every shell.
_PLAIN_IN_DOUBLE_QUOTES = re.compile(r'[^"$`\\!\n\r]*')


class _Layout(NamedTuple):
    """Where the home folder, the value files, the lock file, the fish
    ``conf.d`` file and the ``environment.d`` file are."""

    home: str
    folder: str
    store: str
    lock: str
    fish_store: str
    fish_conf: str
    csh_store: str
    environment_d: str


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


class _ValueFile(NamedTuple):
    """A value file written from ``env.sh``'s entries for other shells.

    ``problem`` tells why a value cannot be written so that its reader gets
    it back exactly, or returns None.
    """

    path: str
    parse: Callable[[_Target], dict[str, bytes]]
    format: Callable[[dict[str, bytes]], bytes]
    problem: Callable[[bytes], str | None]


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
    ``refused`` maps each stored name that is refused now to the shells it
    breaks.
    """

    value_files: dict[str, int | None]
    values: dict[str, str]
    startup_files: dict[str, str]
    shell: str
    shell_files: list[str]
    covered: bool
    problems: dict[str, str]
    refused: dict[str, str]


SOURCES = "sources the store"


def update_bash_file(variables: list[str], value: str) -> list[str]:
    """Store each name in ``variables`` with ``value`` for future shells.

    Names already stored keep their place; new ones are appended.  Unless
    ``VELTROCAM_NO_MODIFY_RC=1`` is set, the start-up files of the user's
    shells get the block that sources the value file (once).

    Returns the real paths of the files written, in the order written; an
    empty list when nothing had to change.

    Raises TypeError or ValueError for bad input (a name a shell treats as
    its own, a value that csh or systemd would not give back exactly) and
    PermissionError under sudo, all before anything on disk is touched;
    TimeoutError when a lock stays busy; OSError or ValueError when a file
    is unsafe to change or cannot be parsed, in which case nothing is
    written.
    """
    names = _checked_names(variables)
    encoded = _checked_value(value)
    _refuse_sudo()
    if not names:
        return []
    layout = _layout()
    followers = _followers(layout)
    _check_values(followers, dict.fromkeys(names, encoded))
    _make_private_folder(layout.folder)
    with _locked_home(layout.home), _locked(layout.lock):
        _remove_leftovers(layout)
        store = _read_target(layout.store)
        entries = _parse_store(store)
        read = _read_followers(followers)
        updated = entries | dict.fromkeys(names, encoded)
        shared = _shared(updated)
        _check_values(followers, shared)
        changes = []
        if updated != entries:
            changes.append(_Change(store.path, _format_store(updated), 0o600))
        else:
            _tighten_store_mode(store)
        changes += _follower_changes(read, shared)
        if not _startup_files_opted_out():
            changes += _marking_changes(layout)
            if _fish_in_use(layout):
                changes += _fish_conf_changes(layout)
        return _apply(changes)


def remove_from_bash_file(variables: list[str]) -> list[str]:
    """Drop the names in ``variables`` from the value files.

    Names that are not stored are skipped without any write; a name that
    is refused now but was stored by an earlier version can be removed.
    When the last name goes, the value files are removed, and so are the
    marked blocks in the start-up files and the fish ``conf.d`` file (unless
    ``VELTROCAM_NO_MODIFY_RC=1`` is set).  A file that is a symbolic link
    is emptied through the link instead, so that the link keeps a target.

    Returns the names removed, in the order given.  Raises like
    :func:`update_bash_file`.
    """
    names = _checked_names(variables, removing=True)
    _refuse_sudo()
    layout = _layout()
    if not names or not os.path.isdir(layout.folder):
        return []
    followers = _followers(layout)
    with _locked_home(layout.home), _locked(layout.lock):
        _remove_leftovers(layout)
        store = _read_target(layout.store)
        entries = _parse_store(store)
        read = _read_followers(followers)
        removed = [name for name in dict.fromkeys(names) if name in entries]
        if not removed:
            return removed
        for name in removed:
            del entries[name]
        if entries:
            shared = _shared(entries)
            _check_values(followers, shared)
            changes = [_Change(store.path, _format_store(entries), 0o600)]
            _apply(changes + _follower_changes(read, shared))
            return removed
        # Everything is planned, and so checked, before anything changes;
        # env.sh goes last, so that an interrupted call leaves it leading.
        files = [(file.path, target) for file, target in read]
        changes = []
        if not _startup_files_opted_out():
            files.insert(0, (layout.fish_conf, _read_target(layout.fish_conf)))
            changes = _unmarking_changes(layout)
        files.append((layout.store, store))
        _apply(changes)
        for path, target in files:
            _discard(path, target)
        return removed


def store_status() -> StoreStatus:
    """Describe the store without changing anything.

    Raises ValueError when a value file cannot be parsed, RuntimeError when
    there is no home folder.  A value file that cannot be read is reported
    in ``problems``.
    """
    layout = _layout()
    value_files: dict[str, int | None] = {}
    problems: dict[str, str] = {}
    entries: dict[str, bytes] = {}
    files = [(layout.store, _parse_store), (layout.fish_store, _parse_fish_store),
             (layout.csh_store, _parse_csh_store)]
    if _generator_installed() or os.path.lexists(layout.environment_d):
        files.append((layout.environment_d, _parse_environment_d))
    for path, parse in files:
        value_files[path] = None
        try:
            target = _read_target(path)
        except OSError as error:
            problems[path] = _problem(error)
            continue
        value_files[path] = target.mode
        parsed = parse(target)
        if path == layout.store:
            entries = parsed
    startup = list(dict.fromkeys(_files_to_mark(layout)
                                 + _files_to_unmark(layout.home)))
    states = {path: _startup_state(path) for path in startup}
    if _fish_in_use(layout) or os.path.lexists(layout.fish_conf):
        states[layout.fish_conf] = _fish_conf_state(layout)
    shell = _user_shell()
    read = _files_read_by(shell, layout)
    covered = bool(read) and all(states.get(path) == SOURCES for path in read)
    values = {name: value.decode("utf-8") for name, value in entries.items()}
    refused = {name: _REFUSED_NAMES[name] for name in values
               if name in _REFUSED_NAMES}
    return StoreStatus(value_files, values, states, shell, read, covered,
                       problems, refused)


# Input checks: they run before anything on disk is touched, and their
# messages name the offending name but never quote the value.

def _checked_names(variables: object, removing: bool = False) -> list[str]:
    """Return the names as plain strings, or raise TypeError/ValueError.

    A name that breaks a shell is refused, except for ``removing`` it: an
    earlier version may have stored it.
    """
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
                f"refusing to store {name}: setting it would break every shell")
        if name in _REFUSED_NAMES and not removing:
            raise ValueError(f"refusing to store {name}: storing it would "
                             f"break {_REFUSED_NAMES[name]}")
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
                   os.path.join(config, "fish", "conf.d", "veltrocam.fish"),
                   os.path.join(folder, "env.csh"),
                   os.path.join(config, "environment.d", "60-veltrocam.conf"))


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


def _files_to_mark(layout: _Layout) -> list[str]:
    """Return the start-up files that should source a value file.

    ``.bash_profile`` and ``.bash_login`` are never created: either one
    makes bash skip ``.profile``.  Nor is ``.tcshrc``: it would hide
    ``.cshrc`` from tcsh.
    """
    home = layout.home
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
    if _csh_in_use(layout):
        csh = [os.path.join(home, name) for name in _CSH_STARTUP_FILES]
        files += [path for path in csh if os.path.lexists(path)] or csh[-1:]
    return files


def _files_to_unmark(home: str) -> list[str]:
    """Return every existing start-up file that may hold a block."""
    return [path for path in _startup_files(home) if os.path.exists(path)]


def _startup_files(home: str) -> list[str]:
    """Return every start-up file that may get a block, existing or not."""
    names = (".profile", ".bash_profile", ".bash_login", ".bashrc", ".zshenv",
             *_CSH_STARTUP_FILES)
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


def _csh_in_use(layout: _Layout) -> bool:
    """Tell whether tcsh or csh needs the values, as :func:`_fish_in_use`."""
    return (_user_shell() in _CSH_SHELLS or _installed("tcsh")
            or _installed("bsd-csh") or os.path.lexists(layout.csh_store))


def _generator_installed() -> bool:
    generator = _ENVIRONMENT_D_GENERATOR
    return generator is not None and os.path.exists(generator)


def _environment_d_in_use(layout: _Layout) -> bool:
    """Tell whether the ``environment.d`` file is kept: systemd's generator
    reads it, or it exists already, and the user has not opted out."""
    return not _startup_files_opted_out() and (
        _generator_installed() or os.path.lexists(layout.environment_d))


def _followers(layout: _Layout) -> list[_ValueFile]:
    """Return the value files besides ``env.sh`` that are kept."""
    files = []
    if _fish_in_use(layout):
        files.append(_ValueFile(layout.fish_store, _parse_fish_store,
                                _format_fish, _no_problem))
    if _csh_in_use(layout):
        files.append(_ValueFile(layout.csh_store, _parse_csh_store,
                                _format_csh, _csh_problem))
    if _environment_d_in_use(layout):
        files.append(_ValueFile(layout.environment_d, _parse_environment_d,
                                _format_environment_d, _environment_d_problem))
    return files


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
    if shell == "tcsh":
        tcshrc = os.path.join(home, ".tcshrc")
        return [tcshrc if os.path.lexists(tcshrc) else os.path.join(home, ".cshrc")]
    if shell in _CSH_SHELLS:
        return [os.path.join(home, ".cshrc")]
    if shell in _POSIX_SHELLS:
        return [os.path.join(home, ".profile")]
    return []


def _startup_files_opted_out() -> bool:
    return os.environ.get("VELTROCAM_NO_MODIFY_RC") == "1"


# The value files.

def _parse_store(store: _Target) -> dict[str, bytes]:
    """Parse the value file strictly into names and UTF-8 encoded values."""
    return _parse_entries(store, _ENTRY,
                          lambda quoted: quoted.replace(b"'\\''", b"'"))


def _parse_fish_store(store: _Target) -> dict[str, bytes]:
    """Parse ``env.fish`` as strictly as :func:`_parse_store`."""
    return _parse_entries(store, _FISH_ENTRY,
                          lambda quoted: _FISH_ESCAPE.sub(rb"\1", quoted))


def _parse_csh_store(store: _Target) -> dict[str, bytes]:
    """Parse ``env.csh`` as strictly as :func:`_parse_store`."""
    return _parse_entries(store, _CSH_ENTRY, lambda quoted: _CSH_ESCAPE.sub(
        rb"\1", quoted.replace(b"'\\''", b"'")))


def _parse_environment_d(store: _Target) -> dict[str, bytes]:
    """Parse the ``environment.d`` file: its header line, then entries."""
    return _parse_entries(store, _ENVIRONMENT_D_ENTRY, lambda quoted:
                          _ENVIRONMENT_D_ESCAPE.sub(rb"\1\2", quoted),
                          _WHOLE_FILE_HEADER)


def _parse_entries(store: _Target, entry: re.Pattern[bytes],
                   unquote: Callable[[bytes], bytes],
                   header: bytes = b"") -> dict[str, bytes]:
    data = store.data or b""
    entries: dict[str, bytes] = {}
    position = 0
    if data and header:
        if not data.startswith(header):
            raise _store_error(store, 0, "cannot be parsed")
        position = len(header)
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
    """Format ``env.sh``; a name refused now goes last, since a shell that
    stops reading the file at it loses only what comes after it."""
    kept = _shared(entries)
    ordered = kept | {name: entries[name] for name in entries if name not in kept}
    return b"".join(b"export %s=%s\n" % (name.encode("ascii"), _quote(value))
                    for name, value in ordered.items())


def _quote(data: bytes) -> bytes:
    """Quote bytes for the shell: single quotes, each ' written as '\\''."""
    return b"'" + data.replace(b"'", b"'\\''") + b"'"


def _tighten_store_mode(store: _Target) -> None:
    if store.mode is not None and store.mode & 0o077:
        os.chmod(store.path, 0o600)


def _shared(entries: dict[str, bytes]) -> dict[str, bytes]:
    """Return the entries the other value files get: all but refused names."""
    return {name: value for name, value in entries.items()
            if name not in _REFUSED_NAMES}


def _check_values(files: list[_ValueFile], entries: dict[str, bytes]) -> None:
    """Refuse the change when a value file cannot give a value back exactly."""
    for file in files:
        for name, value in entries.items():
            problem = file.problem(value)
            if problem is not None:
                raise ValueError(f"refusing to store {name}: {problem}")


def _no_problem(value: bytes) -> None:
    return None


def _read_followers(files: list[_ValueFile]) -> list[tuple[_ValueFile, _Target]]:
    """Read and parse each value file; a damaged one stops the change."""
    read = []
    for file in files:
        target = _read_target(file.path)
        file.parse(target)
        read.append((file, target))
    return read


def _follower_changes(read: list[tuple[_ValueFile, _Target]],
                      entries: dict[str, bytes]) -> list[_Change]:
    """Plan writing ``entries`` to each value file that does not hold them."""
    changes = []
    for file, target in read:
        data = file.format(entries)
        if target.data == data:
            _tighten_store_mode(target)
        else:
            changes.append(_Change(target.path, data, 0o600))
    return changes


# The fish files.

def _fish_quote(data: bytes) -> bytes:
    """Quote bytes for fish: single quotes, with \\ and ' escaped."""
    return b"'" + data.replace(b"\\", b"\\\\").replace(b"'", b"\\'") + b"'"


def _format_fish(entries: dict[str, bytes]) -> bytes:
    return b"".join(b"set -gx %s %s\n" % (name.encode("ascii"), _fish_quote(value))
                    for name, value in entries.items())


def _fish_conf(layout: _Layout) -> bytes:
    """Return the whole ``conf.d`` file: source ``env.fish`` when readable."""
    path = _fish_quote(os.fsencode(layout.fish_store))
    return (_WHOLE_FILE_HEADER
            + b"if test -r %s\n    source %s\nend\n" % (path, path))


def _fish_conf_changes(layout: _Layout) -> list[_Change]:
    target = _read_target(layout.fish_conf)
    data = _fish_conf(layout)
    if target.data == data:
        return []
    return [_Change(target.path, data, _startup_mode(target))]


# The csh file.

def _csh_quote(data: bytes) -> bytes:
    """Quote bytes for csh: single quotes, each ' written as '\\'', each !
    and line feed after a backslash."""
    return (b"'" + data.replace(b"'", b"'\\''").replace(b"!", b"\\!")
            .replace(b"\n", b"\\\n") + b"'")


def _format_csh(entries: dict[str, bytes]) -> bytes:
    return b"".join(b"setenv %s %s\n" % (name.encode("ascii"), _csh_quote(value))
                    for name, value in entries.items())


def _csh_problem(value: bytes) -> str | None:
    size = len(_csh_quote(value)) - value.count(b"!")
    if size <= _CSH_WORD_MAX:
        return None
    return (f"csh would not read its value back exactly: quoted, it takes "
            f"{size} bytes in env.csh, and csh reads words of at most "
            f"{_CSH_WORD_MAX} bytes")


# The environment.d file.

def _environment_d_quote(data: bytes) -> bytes:
    return (b'"' + data.replace(b"\\", b"\\\\").replace(b'"', b'\\"')
            .replace(b"`", b"\\`").replace(b"$", b"$$") + b'"')


def _format_environment_d(entries: dict[str, bytes]) -> bytes:
    return _WHOLE_FILE_HEADER + b"".join(
        b"%s=%s\n" % (name.encode("ascii"), _environment_d_quote(value))
        for name, value in entries.items())


def _environment_d_problem(value: bytes) -> str | None:
    if value:
        return None
    return ("systemd's environment.d files cannot hold an empty value: "
            "the generator drops the line as invalid")


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
    if not target.data:
        return "empty; the next change writes it again"
    if target.data != _fish_conf(layout):
        return "changed by hand; the next change writes it again"
    return SOURCES


def _problem(error: OSError | ValueError) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return " ".join(str(error).split())


# Marked blocks in start-up files.

def _block(layout: _Layout, startup_file: str) -> bytes:
    """Return the marked block that sources the value file: ``env.csh`` for
    a csh start-up file, ``env.sh`` for any other."""
    csh = os.path.basename(startup_file) in _CSH_STARTUP_FILES
    store = layout.csh_store if csh else layout.store
    home = layout.home.rstrip("/") + "/"
    relative = store[len(home):]
    if store.startswith(home) and _PLAIN_IN_DOUBLE_QUOTES.fullmatch(relative):
        path = b'"$HOME/' + os.fsencode(relative) + b'"'
    elif csh:
        path = _csh_quote(os.fsencode(store))
    else:
        path = _quote(os.fsencode(store))
    # The trailing comment absorbs a CR left by an editor that converts the
    # file to CRLF line ends.
    if csh:
        line = b"if ( -r %s ) source %s # veltrocam" % (path, path)
    else:
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
    changes = []
    for path, target in _read_targets(_files_to_mark(layout)):
        data = target.data or b""
        if _find_block(data, target.path) is not None:
            continue
        if data and not data.endswith(b"\n"):
            data += b"\n"
        block = _block(layout, path)
        changes.append(_Change(target.path, data + block, _startup_mode(target)))
    return changes


def _unmarking_changes(layout: _Layout) -> list[_Change]:
    """Plan cutting the block out of every start-up file that holds one."""
    changes = []
    for _, target in _read_targets(_files_to_unmark(layout.home)):
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


def _read_targets(paths: list[str]) -> list[tuple[str, _Target]]:
    """Read each file once, even when several paths lead to it; return each
    with the first path that led to it."""
    targets: dict[str, tuple[str, _Target]] = {}
    for path in paths:
        target = _read_target(path)
        targets.setdefault(target.path, (path, target))
    return list(targets.values())


def _read_target(path: str) -> _Target:
    """Follow symbolic links from ``path`` and read the real file.

    A missing file is returned empty, to be created.  A dangling link, or a
    real file that is not a regular file of the current user with a single
    hard link, is refused with PermissionError: writing through a dangling
    link would create a file wherever it points.
    """
    if not os.path.lexists(path):
        return _Target(path, None, None)
    try:
        real = os.path.realpath(path, strict=True)
    except FileNotFoundError:
        _refuse(path, f"the symbolic link points to a missing file, "
                      f"{os.path.realpath(path)}; remove the link, or put "
                      f"the file it names back (empty will do)")
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

    The temporary file stays locked until it is renamed, which tells
    :func:`_remove_leftovers` that its writer is alive.  On any error before
    the final rename the target stays as it was and the temporary file is
    removed.
    """
    folder = os.path.dirname(path)
    fd, temporary = _locked_temporary(path)
    try:
        with open(fd, "wb", closefd=False) as file:
            file.write(data)
        os.fchmod(fd, mode)
        os.fsync(fd)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise
    finally:
        os.close(fd)  # only now: closing releases the lock
    _fsync_folder(folder)


def _locked_temporary(path: str) -> tuple[int, str]:
    """Create and lock a temporary file beside ``path``.

    A leftover sweep may remove the file between its creation and the
    lock; then it is made again.
    """
    import tempfile  # here: slow to import, and needed only to store values

    folder, name = os.path.split(path)
    while True:
        fd, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp",
                                         dir=folder)
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


def _remove_file(path: str) -> None:
    os.unlink(path)
    _fsync_folder(os.path.dirname(path))


def _discard(path: str, target: _Target) -> None:
    """Remove a value file or the fish ``conf.d`` file, once its last name
    is gone.  Through a symbolic link the file is emptied instead: removing
    it would leave the link dangling."""
    if target.data is None:
        return
    if os.path.islink(path):
        if target.data:
            _replace_file(target.path, b"", target.mode or 0o600)
    else:
        _remove_file(target.path)


def _remove_leftovers(layout: _Layout) -> None:
    """Remove temporary files that a killed call left beside its targets.

    Runs under both locks.  Only names of exactly ``_replace_file``'s
    pattern for a file this module writes (or the real file behind it)
    count, only regular files of this user, and only those that no writer
    holds locked: a writer of another home may share a linked target.
    """
    paths = [layout.store, layout.fish_store, layout.csh_store,
             layout.environment_d, layout.fish_conf,
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
            with contextlib.suppress(OSError):
                _remove_leftover(os.path.join(folder, entry))


def _remove_leftover(path: str) -> None:
    fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK
                 | os.O_CLOEXEC)
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
        _flock(fd, lock_path)
        yield
    finally:
        os.close(fd)


@contextlib.contextmanager
def _locked_home(home: str) -> Iterator[None]:
    """Hold an exclusive flock on the home folder itself, which every
    caller with this home shares whatever its ``XDG_CONFIG_HOME``.

    A home that does not exist yet holds no start-up file to guard.
    """
    try:
        fd = os.open(home, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except FileNotFoundError:
        yield
        return
    try:
        _flock(fd, home)
        yield
    finally:
        os.close(fd)


def _flock(fd: int, path: str) -> None:
    deadline = time.monotonic() + _LOCK_TIMEOUT
    while True:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return
        except BlockingIOError:
            if time.monotonic() >= deadline:
                raise TimeoutError(
                    f"{path} stayed locked by another process") from None
            time.sleep(_LOCK_POLL_INTERVAL)


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
