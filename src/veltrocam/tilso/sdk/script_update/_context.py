"""Where the store is, and what the targets need to know of the user and
the machine: the home folder, the config folder, the user's shell, the
programs on ``PATH`` and the opt-out."""

from __future__ import annotations

import os
import pwd


class Context:
    """The home and config folders, the store folder, the user's shell (as
    named by ``$SHELL``, else the password database) and its real program,
    ``ZDOTDIR``, and whether ``VELTROCAM_NO_MODIFY_RC=1`` is set."""

    def __init__(self, home: str, config: str, shell_path: str) -> None:
        self.home = home
        self.config = config
        self.folder = os.path.join(config, "veltrocam")
        self.lock = os.path.join(self.folder, "env.sh.lock")
        self.shell_path = shell_path
        self.shell = os.path.basename(shell_path)
        self.opted_out = os.environ.get("VELTROCAM_NO_MODIFY_RC") == "1"
        zdotdir = os.environ.get("ZDOTDIR", "")
        self.zdotdir = zdotdir if os.path.isabs(zdotdir) else None
        self.zdotdir_unusable = "ZDOTDIR" in os.environ and self.zdotdir is None
        self._installed: dict[str, bool] = {}

    def in_home(self, name: str) -> str:
        return os.path.join(self.home, name)

    def in_config(self, *names: str) -> str:
        return os.path.join(self.config, *names)

    def installed(self, program: str) -> bool:
        """Tell whether ``program`` is on ``PATH`` (asked once per call)."""
        import shutil  # here: slow to import, and needed only to store values

        if program not in self._installed:
            self._installed[program] = shutil.which(program) is not None
        return self._installed[program]

    def shell_program(self) -> str:
        """The base name of the program the user's shell really is
        (``csh`` may be a link to tcsh or to bsd-csh)."""
        path = self.shell_path
        if not os.path.isabs(path):
            import shutil

            path = shutil.which(path) or path
        return os.path.basename(os.path.realpath(path))


def context(require_home: bool = True) -> Context:
    """Find the home folder and the config folder.

    An unset, empty or relative ``HOME`` is refused (an empty one would make
    ``/`` the home); so is a home folder that does not exist, which is never
    created.
    """
    home = os.environ.get("HOME")
    if home is None:
        try:
            home = pwd.getpwuid(os.getuid()).pw_dir
        except KeyError:
            home = ""
    if not os.path.isabs(home):
        raise RuntimeError("cannot find the home folder: set HOME to an absolute path")
    home = home.rstrip("/") or "/"
    if require_home and not os.path.isdir(home):
        raise RuntimeError(f"the home folder {home} does not exist; "
                           f"create it or set HOME to another one")
    config = os.environ.get("XDG_CONFIG_HOME", "")
    if not os.path.isabs(config):
        config = os.path.join(home, ".config")
    shell = os.environ.get("SHELL")
    if not shell:
        try:
            shell = pwd.getpwuid(os.getuid()).pw_shell
        except KeyError:
            shell = ""
    return Context(home, config, shell)
