"""What the benchmark scripts share: the two implementations side by side,
a null console, a recording store, and a throw-away home folder."""

import contextlib
import os
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import equivalent as _equivalent_file  # noqa: E402
from _commit import git_commit  # noqa: E402,F401 (bench/timing.py reads it from here)
from veltrocam.tilso.sdk import license_helper as native  # noqa: E402

equivalent = _equivalent_file.load("license_helper_equivalent")

IMPLEMENTATIONS = {"module": native, "equivalent": equivalent}

LICENSE_VARIABLE = "VELTROCAM_LICENSE"
LICENSE_VALUE = "benchuser:s3cret-Passw0rd"
SET_VALUE = "bench-value"
NAMES_1 = ["VELTROCAM_BENCH_0"]
NAMES_100 = ["VELTROCAM_BENCH_%d" % i for i in range(100)]
RC_FILES = (".profile", ".bashrc", ".zshenv")

_HOME_VARIABLES = ("HOME", "XDG_CONFIG_HOME", "SHELL", "ZDOTDIR", "VELTROCAM_NO_MODIFY_RC",
                   "SUDO_USER")


@contextlib.contextmanager
def environ_saved(names):
    """Give back the listed environment variables as they were."""
    saved = {name: os.environ.get(name) for name in names}
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


@contextlib.contextmanager
def null_console():
    """Send sys.stdout (which click.echo writes to) to the null device."""
    with open(os.devnull, "w", encoding="utf-8") as sink:
        saved = sys.stdout
        sys.stdout = sink
        try:
            yield
        finally:
            sys.stdout = saved


class Recorder:
    """Stands in for update_bash_file: keeps the last call, writes nothing."""

    def __init__(self):
        self.calls = 0
        self.last = None

    def __call__(self, variables, value):
        self.calls += 1
        self.last = (variables, value)
        return []


@contextlib.contextmanager
def recording_store(*modules):
    """Replace the global update_bash_file of each module with a Recorder."""
    recorder = Recorder()
    saved = [(module, module.__dict__["update_bash_file"]) for module in modules]
    for module, _ in saved:
        module.__dict__["update_bash_file"] = recorder
    try:
        yield recorder
    finally:
        for module, original in saved:
            module.__dict__["update_bash_file"] = original


def rc_text(size):
    """About `size` bytes of ordinary shell start-up lines."""
    line = b"alias ll='ls -alF'  # a start-up line of a user's shell file\n"
    return (line * (size // len(line) + 1))[:size - 1] + b"\n"


@contextlib.contextmanager
def temporary_home(rc_size):
    """A fresh home folder with rc files of `rc_size` bytes; env restored after."""
    with tempfile.TemporaryDirectory(prefix="veltrocam-bench-") as home, \
            environ_saved(_HOME_VARIABLES):
        for name in _HOME_VARIABLES:
            os.environ.pop(name, None)
        os.environ["HOME"] = home
        os.environ["SHELL"] = "/bin/bash"
        reset_rc_files(home, rc_size)
        yield home


def reset_rc_files(home, rc_size):
    """Write every rc file anew, without the marked block."""
    data = rc_text(rc_size)
    for name in RC_FILES:
        with open(os.path.join(home, name), "wb") as file:
            file.write(data)

