import ctypes
import json
import os
import subprocess
import sys
import sysconfig
import textwrap
from dataclasses import dataclass, field

import pytest

MODULE = "veltrocam.tilso.sdk.license_helper"
SOURCE_PATH = "veltrocam\\tilso\\sdk\\license_helper"
INIT = "init veltrocam.tilso.sdk.license_helper"
GET = "veltrocam.tilso.sdk.license_helper.get_license_info"
SET = "veltrocam.tilso.sdk.license_helper.set_to_environ"

# Variables a child interpreter keeps from ours: the sanitizer runs preload
# their runtime into every process, and a free-threaded run may keep the GIL
# off by force.
_PASSED_ON = ("PATH", "LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS",
              "PYTHONMALLOC", "PYTHON_GIL")
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

_PRELUDE = """
import json, sys, traceback
def entries(exc):
    return [[f.filename, f.lineno, f.name] for f in traceback.extract_tb(exc.__traceback__)]
def report(**values):
    sys.stdout.write("@@" + json.dumps(values) + "\\n")
    sys.stdout.flush()
"""


@dataclass
class Child:
    returncode: int
    stdout: str
    stderr: str
    reports: list = field(default_factory=list)


def child_environment(**values):
    """An explicit environment for a child process: `values` and what the
    sanitizer run needs every process to have; a value of None leaves that
    variable out."""
    environment = {k: os.environ[k] for k in _PASSED_ON if k in os.environ}
    environment.update(values)
    return {k: v for k, v in environment.items() if v is not None}


def run_python(code, env=None, timeout=120, args=()):
    """Runs `code` in a fresh interpreter with an explicit environment.

    The code may call `report(**values)` to hand JSON values back, and
    `entries(exc)` gives an exception's traceback entries as
    [filename, line, name] lists.
    """
    environment = child_environment(PYTHONIOENCODING="utf-8", LC_ALL="C.UTF-8",
                                    HOME=os.environ.get("HOME", "/nonexistent"))
    environment.update(env or {})
    environment = {k: v for k, v in environment.items() if v is not None}
    done = subprocess.run(
        [sys.executable, *args, "-c", _PRELUDE + textwrap.dedent(code)],
        env=environment, capture_output=True, text=True, encoding="utf-8", timeout=timeout)
    reports = [json.loads(line[2:]) for line in done.stdout.splitlines() if line.startswith("@@")]
    return Child(done.returncode, done.stdout, done.stderr, reports)


_VECTORCALL = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p,
                                ctypes.c_size_t, ctypes.c_void_p)(
    ("PyObject_Vectorcall", ctypes.pythonapi))
_CALL = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object,
                          ctypes.py_object)(("PyObject_Call", ctypes.pythonapi))


def vectorcall(function, args=(), names=None, values=()):
    """PyObject_Vectorcall from C: `names` is the keyword-name tuple as given
    (repeats and all), or None for no tuple at all (a null pointer)."""
    everything = [*args, *values]
    vector = (ctypes.py_object * max(len(everything), 1))(*everything)
    names = None if names is None else tuple(names)
    return _VECTORCALL(function, ctypes.addressof(vector), len(args),
                       None if names is None else id(names))


def call_slot(function, args, kwargs):
    """PyObject_Call with a keyword dict, which may hold non-str keys."""
    return _CALL(function, tuple(args), kwargs)


def module_entries(exc):
    """The (line, function) of each traceback entry the module added."""
    entries = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == SOURCE_PATH:
            entries.append((tb.tb_lineno, code.co_name))
        tb = tb.tb_next
    return entries


def pytest_sessionstart(session):
    """A free-threaded build tests the module with the GIL off, or not at all."""
    if FREE_THREADED:
        __import__(MODULE)
        if sys._is_gil_enabled():
            pytest.exit(f"importing {MODULE} enabled the GIL of this free-threaded build",
                        returncode=3)


@pytest.fixture(scope="session")
def lh():
    import importlib
    return importlib.import_module(MODULE)


@pytest.fixture
def module_globals(lh):
    """The module's dict, restored after the test whatever it did to it."""
    saved = dict(vars(lh))
    yield vars(lh)
    namespace = vars(lh)
    for key in list(namespace):
        if key not in saved:
            del namespace[key]
    namespace.update(saved)


@pytest.fixture
def environ_restored():
    saved = dict(os.environ)
    yield os.environ
    os.environ.clear()
    os.environ.update(saved)
