"""Input checks: they run before anything on disk is touched, and their
messages name the offending name but never quote the value.

A name is refused for one of two reasons, and the message says which: a
shell or program runs code taken from its value, or a real shell breaks on
it.
"""

from __future__ import annotations

import re

_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_SURROGATE = re.compile("[\ud800-\udfff]")
MAX_VALUE_BYTES = 32 * 1024

# Names whose value some shell or program runs as code, or takes code from.
_RUNS_CODE = {
    **dict.fromkeys(("PS1", "PS2", "PS3", "PS4"),
                    "shells expand command substitutions in prompts, so every "
                    "interactive shell would run code taken from its value"),
    "PROMPT_COMMAND": "bash runs its value as a command before every prompt",
    **dict.fromkeys(("PROMPT", "prompt", "RPROMPT", "RPS1", "RPS2", "PROMPT2",
                     "PROMPT3", "PROMPT4", "RPROMPT2"),
                    "zsh expands command substitutions in it at every prompt"),
    "ENV": "sh and bash read the file it names at start-up and run it",
    "BASH_ENV": "bash reads the file it names at start-up and runs it",
    "ZDOTDIR": "zsh reads its start-up files from the folder it names",
    "PATH": "every shell runs programs from the folders it names",
    "IFS": "it changes how every shell splits words, so commands run differently",
    "SHELLOPTS": "bash takes its options from it (xtrace, noexec and the like)",
    "BASHOPTS": "bash takes its options from it",
    "HOME": "every shell reads its start-up files from the folder it names",
    "MODULE_PATH": "zsh loads modules, that is code, from the folders it names",
    "module_path": "zsh loads modules, that is code, from the folders it names",
    "FPATH": "zsh autoloads functions, that is code, from the folders it names",
    "fpath": "zsh autoloads functions, that is code, from the folders it names",
}
_RUNS_CODE_PREFIXES = {
    "LD_": "it makes every program load code from its value (the dynamic "
           "loader reads LD_ variables)",
    "DYLD_": "it makes every program load code from its value (the macOS "
             "dynamic loader reads DYLD_ variables)",
    "BASH_FUNC_": "bash takes a function, that is code, from such a variable",
}

# Names no version has stored: removing them is refused too.
_NEVER_STORED = frozenset({
    "PATH", "HOME", "IFS", "ENV", "BASH_ENV", "SHELLOPTS", "BASHOPTS",
    "PS1", "PS2", "PS3", "PS4", "PROMPT_COMMAND", "ZDOTDIR",
})
_NEVER_STORED_PREFIXES = ("BASH_FUNC_", "LD_", "DYLD_")

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
    "sh": "OPTIND PPID PWD _",
    "bash": (
        "BASH BASHPID BASH_ALIASES BASH_ARGC BASH_ARGV BASH_ARGV0 "
        "BASH_CMDS BASH_COMMAND BASH_COMPAT BASH_LINENO BASH_SOURCE "
        "BASH_SUBSHELL BASH_VERSINFO BASH_VERSION BASH_XTRACEFD COLUMNS "
        "COMP_WORDBREAKS DIRSTACK EPOCHREALTIME EPOCHSECONDS EUID FUNCNAME "
        "GROUPS HISTCMD INSIDE_EMACS LINENO LINES OPTERR "
        "OPTIND PIPESTATUS POSIXLY_CORRECT POSIX_PEDANTIC PPID "
        "PS0 PWD RANDOM SECONDS SHLVL SRANDOM UID _"),
    "zsh": (
        "ARGC ARGV0 COLUMNS CPUTYPE EGID ERRNO EUID GID HISTCHARS HISTCMD HOST "
        "KEYBOARD_HACK LINENO LINES MACHTYPE OLDPWD "
        "OPTIND OSTYPE PPID PROMPT_EOL_MARK PWD RANDOM READNULLCMD "
        "SECONDS SHLVL TRY_BLOCK_ERROR TRY_BLOCK_INTERRUPT TTY TTYIDLE "
        "UID USERNAME VENDOR WATCH ZSH_ARGZERO ZSH_EVAL_CONTEXT ZSH_NAME "
        "ZSH_PATCHLEVEL ZSH_SUBSHELL ZSH_VERSION _ aliases argv builtins "
        "cdpath commands dirstack dis_aliases dis_builtins dis_functions "
        "dis_functions_source dis_galiases dis_patchars dis_reswords "
        "dis_saliases fignore funcfiletrace funcsourcetrace funcstack "
        "functions functions_source functrace galiases histchars history "
        "historywords i jobdirs jobstates jobtexts key keymaps mailpath "
        "manpath modules nameddirs options parameters patchars "
        "path pipestatus psvar reswords saliases signals status "
        "termcap terminfo userdirs usergroups watch widgets "
        "zle_bracketed_paste zsh_eval_context zsh_scheduled_events"),
    "fish": (
        "CMD_DURATION EUID FISH_DEBUG FISH_VERSION PWD SHLVL "
        "USER _ __fish_added_user_paths __fish_bin_dir __fish_cache_dir "
        "__fish_config_dir __fish_data_dir __fish_help_dir __fish_sysconf_dir "
        "__fish_user_data_dir __fish_vendor_completionsdirs "
        "__fish_vendor_confdirs __fish_vendor_functionsdirs argv "
        "fish_bind_mode fish_complete_path fish_escape_delay_ms "
        "fish_function_path fish_kill_signal fish_killring fish_pid "
        "fish_read_limit fish_sequence_key_delay_ms history hostname "
        "pipestatus status status_generation umask version"),
    "tcsh": "HOST HOSTTYPE MACHTYPE NLSPATH PWD SHLVL VENDOR",
    "csh": "PWD tcsh",
}


def _shells_by_name() -> dict[str, str]:
    """Map each name of ``_SHELL_NAMES`` to the shells it breaks, as text."""
    shells: dict[str, list[str]] = {}
    for shell, names in _SHELL_NAMES.items():
        for name in names.split():
            shells.setdefault(name, []).append(shell)
    return {name: ", ".join(found[:-1]) + " and " + found[-1] if len(found) > 1
            else found[0] for name, found in shells.items()}


_BREAKS = _shells_by_name()


def refusal(name: str) -> tuple[str, str] | None:
    """Why ``name`` is refused: the error's wording and ``status``'s; None
    for a name that may be stored."""
    reason = _RUNS_CODE.get(name) or next(
        (text for prefix, text in _RUNS_CODE_PREFIXES.items()
         if name.startswith(prefix)), None)
    if reason is not None:
        return reason, reason
    if name in _BREAKS:
        return (f"storing it would break {_BREAKS[name]}",
                f"it breaks {_BREAKS[name]}")
    return None


def checked_names(variables: object, removing: bool = False) -> list[str]:
    """Return the names as plain strings, or raise TypeError/ValueError.

    A refused name is refused, except for ``removing`` it: an earlier
    version may have stored it.
    """
    if not isinstance(variables, list):
        raise TypeError(f"variables must be a list of str, not {type(variables).__name__}")
    names = []
    for name in list(variables):
        if not isinstance(name, str):
            raise TypeError(f"variable names must be str, not {type(name).__name__}")
        name = str.__str__(name)  # an exact str: a subclass cannot alter it
        if _NAME.fullmatch(name) is None:
            raise ValueError(f"invalid environment variable name: {name!r}")
        refused = refusal(name)
        if refused is not None and (not removing or name in _NEVER_STORED
                                    or name.startswith(_NEVER_STORED_PREFIXES)):
            raise ValueError(f"refusing to store {name}: {refused[0]}")
        names.append(name)
    return names


def checked_value(value: object) -> bytes:
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
    if len(encoded) > MAX_VALUE_BYTES:
        raise ValueError(f"value must be at most {MAX_VALUE_BYTES} bytes in UTF-8")
    return encoded
