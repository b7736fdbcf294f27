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

# Names whose value makes a shell or program run code taken from it, or
# from files in the folders it names.  Each was checked with the real
# shells (dash, bash, zsh, fish, tcsh, bsd-csh, xonsh, elvish) by storing a
# value that runs a command, or names a folder holding planted code.
_PROMPT_SUBST = ("zsh with prompt_subst (set by most zsh themes) runs $(...) "
                 "written in it at every prompt")
_RUNS_CODE = {
    "ENV": "sh (dash) and bash in POSIX mode run the file it names in every "
           "interactive shell",
    "BASH_ENV": "every non-interactive bash (scripts, bash -c) runs the file it names",
    "ZDOTDIR": "zsh runs .zshenv, .zshrc and the rest from the folder it names",
    "HOME": "every shell reads its start-up files from the folder it names",
    "PS0": "bash runs $(...) written in it before every command",
    "PS1": "sh (dash) and bash run $(...) written in it at every prompt, and "
           "so does zsh with prompt_subst",
    "PS2": "sh (dash) and bash run $(...) written in it at every continuation prompt",
    "PS3": "zsh with prompt_subst runs $(...) written in it at every select",
    "PS4": "bash runs $(...) written in it for every traced command (set -x)",
    "PROMPT_COMMAND": "bash runs it as a command before every prompt",
    **dict.fromkeys(("PROMPT", "prompt", "PROMPT2", "PROMPT3", "PROMPT4",
                     "RPROMPT", "RPROMPT2", "RPS1", "RPS2"), _PROMPT_SUBST),
    **dict.fromkeys(("FPATH", "fpath"),
                    "zsh loads functions (compinit and others) from the folders it names"),
    **dict.fromkeys(("MODULE_PATH", "module_path"),
                    "zsh loads modules (shared libraries) from the folders it names"),
    "fish_function_path": "fish loads functions from the folders it names",
    "BASH_COMPLETION_USER_DIR": "bash-completion runs the completion scripts "
                                "in the folder it names",
    "BASH_LOADABLES_PATH": "bash's enable -f loads shared libraries from the "
                           "folders it names",
    "XDG_CONFIG_HOME": "fish, xonsh and elvish run their start-up files from "
                       "the folder it names (and the store's files would move)",
    **dict.fromkeys(("XDG_DATA_DIRS", "XDG_DATA_HOME"),
                    "fish runs the vendor_conf.d scripts of the folders it names"),
    **dict.fromkeys(("XONSHRC", "XONSHRC_DIR"), "xonsh runs the files it names"),
    "PYTHONPATH": "every Python program, xonsh included, runs sitecustomize "
                  "and usercustomize from the folders it names",
    **dict.fromkeys(("OPTIND", "RANDOM", "HISTCMD"),
                    "bash evaluates it as arithmetic when env.sh sets it, "
                    "running $(...) written in an index"),
}
_RUNS_CODE_PREFIXES = {
    "LD_": "it makes every program load code from its value: the dynamic "
           "loader loads the libraries LD_PRELOAD and LD_AUDIT name and those "
           "in the folders LD_LIBRARY_PATH names",
    "DYLD_": "it makes every program on macOS load code from its value: "
             "macOS's dynamic loader reads DYLD_ variables",
}
# Names no version has stored: removing them is refused too.
_NEVER_STORED = frozenset({
    "PATH", "HOME", "IFS", "ENV", "BASH_ENV", "SHELLOPTS", "BASHOPTS",
    "PS1", "PS2", "PS3", "PS4", "PROMPT_COMMAND", "ZDOTDIR",
})
_NEVER_STORED_PREFIXES = ("LD_", "DYLD_")

# Names a real shell breaks on with an ordinary value (a word, a number, a
# path, a locale), read from its value file or inherited: each shell, then
# how it breaks, then the names.
_BREAKS = (
    ("every shell", "it looks up commands there, so storing it replaces the "
                    "user's command search path", "PATH"),
    ("sh, bash and zsh", "they split words at its characters in the shell "
                         "that reads env.sh", "IFS"),
    ("sh", "Debian's /etc/profile then runs /etc/bash.bashrc in dash, which "
           "fails", "BASH"),
    ("bash", 'it says "readonly variable" at every start',
     "SHELLOPTS BASHOPTS BASH_VERSINFO EUID UID PPID"),
    ("bash", 'it says "invalid value for trace file descriptor" at every start',
     "BASH_XTRACEFD"),
    ("bash", "it starts in POSIX mode and skips the start-up file that "
             "sources the store", "POSIXLY_CORRECT POSIX_PEDANTIC"),
    ("zsh", 'it says "read-only variable" or "inconsistent type for '
            'assignment" and stops reading env.sh, losing the names after it',
     "ARGC HISTCMD LINENO PPID TTYIDLE ZSH_EVAL_CONTEXT ZSH_SUBSHELL "
     "zsh_eval_context zsh_scheduled_events builtins dis_aliases dis_builtins "
     "dis_functions dis_functions_source dis_galiases dis_patchars "
     "dis_reswords dis_saliases funcfiletrace funcsourcetrace funcstack "
     "functions functions_source functrace history historywords jobdirs "
     "jobstates jobtexts keymaps modules parameters patchars reswords status "
     "termcap terminfo userdirs usergroups widgets aliases argv cdpath "
     "commands fignore galiases mailpath manpath nameddirs options path "
     "pipestatus psvar saliases signals"),
    ("zsh", "it takes the value as arithmetic: a path or a locale gives "
            '"bad math expression" and zsh stops reading env.sh, losing the '
            "names after it",
     "COLUMNS LINES SECONDS SHLVL EGID GID ERRNO TRY_BLOCK_ERROR "
     "TRY_BLOCK_INTERRUPT"),
    ("zsh", "it takes the value's third character as its comment character, "
            "and Debian's /etc/zsh/zprofile fails", "HISTCHARS histchars"),
    ("zsh", "running as root, it switches to the user it names", "USERNAME"),
    ("fish", 'it says "Tried to change the read-only variable" at every start',
     "FISH_VERSION PWD SHLVL _ fish_kill_signal fish_killring fish_pid "
     "history hostname pipestatus status status_generation version"),
    ("fish", 'it says "Failed to match debug category" at every start',
     "FISH_DEBUG"),
    ("tcsh", "it does not start when the value holds a {", "OSTYPE"),
    ("csh", "bsd-csh then runs tcsh's commands from /etc/csh.cshrc, which "
            "fail", "tcsh"),
    ("xonsh", "it does not start, nor does any Python program", "PYTHONHOME"),
)


def _breaks_by_name() -> dict[str, list[tuple[str, str]]]:
    found: dict[str, list[tuple[str, str]]] = {}
    for shell, how, names in _BREAKS:
        for name in names.split():
            found.setdefault(name, []).append((shell, how))
    return found


_BROKEN = _breaks_by_name()


def _listed(words: list[str]) -> str:
    return ", ".join(words[:-1]) + " and " + words[-1] if len(words) > 1 else words[0]


def refusal(name: str) -> tuple[str, str] | None:
    """Why ``name`` is refused: the error's wording and ``status``'s; None
    for a name that may be stored."""
    reason = _RUNS_CODE.get(name) or next(
        (text for prefix, text in _RUNS_CODE_PREFIXES.items()
         if name.startswith(prefix)), None)
    if reason is not None:
        if not name.startswith(tuple(_RUNS_CODE_PREFIXES)):
            reason = f"its value would decide what code runs: {reason}"
        return reason, reason
    if name in _BROKEN:
        found = _BROKEN[name]
        shells = _listed([shell for shell, _ in found])
        hows = (found[0][1] if len(found) == 1
                else "; ".join(f"{shell}: {how}" for shell, how in found))
        return (f"storing it would break {shells}: {hows}",
                f"it breaks {shells}: {hows}")
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
