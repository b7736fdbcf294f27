"""Differential harness: one program, run against the native module and
against its Python source, in one interpreter.

A program is a list of operations taken from a fixed vocabulary (see
``OPS``); it is built from bytes (``build``), so that a fuzzer's input, a
corpus file and a finding are all just bytes.  ``run(program, side)`` runs it
against one side and returns its log: every result, every exception (type
and message), every call into the program's own code (the ``__eq__``,
``__hash__``, ``__format__``, ``__len__``, ``find`` and ``__getitem__`` of
its ``str`` and ``bytes`` subclasses, its stand-ins for ``click.echo``,
``update_bash_file`` and ``os.popen``, its wrappers of the mapping's methods
and codecs, finalizers, weakref callbacks and tracers), and which of its
objects are still alive at the end.  ``difference(program)`` runs both sides
and gives the difference, if any.

Both sides share the process's ``os``, ``sys`` and ``click``: everything a
program changes there (``os.environ``, ``os.environ._data``, codecs,
class attributes, code objects, defaults, closure cells, the environment's
entries) is put back after each run, before the other side runs.  The
module globals a program replaces are those of the side it runs against.

Outside the comparison, because the module departs from its source on
purpose there: the Windows branch is only given exact str values, shorter
than the 1024 characters setx keeps, names whose ``__format__`` gives their
own text and plain lists (it walks the caller's names once, where the
source walks them twice), and no hook changes the list while it walks it.
A call with the recursion limit lowered runs with the tools switched off:
their callbacks take a frame for each function of the Python source that
starts, which the module's native functions never start.
"""

import collections.abc
import functools
import gc
import io
import os
import sys
import tempfile
import types
import weakref

HERE = os.path.dirname(os.path.abspath(__file__))
BENCH = os.path.join(os.path.dirname(HERE), "bench")

# Nothing a program does may reach the user's files: the real store is never
# called (update_bash_file is always a stand-in), but HOME points elsewhere
# all the same.
_HOME = tempfile.mkdtemp(prefix="veltrocam-fuzz-home-")
os.environ["HOME"] = _HOME
os.environ["XDG_CONFIG_HOME"] = _HOME
os.environ["VELTROCAM_NO_MODIFY_RC"] = "1"

from veltrocam.tilso.sdk import license_helper as native  # noqa: E402


def _load_equivalent():
    import importlib.util

    spec = importlib.util.spec_from_file_location("fuzz_license_helper_equivalent",
                                                  os.path.join(BENCH, "equivalent.py"))
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


equivalent = _load_equivalent()
SIDES = {"module": native, "equivalent": equivalent}


def relayout(d, order):
    """Builds `d` afresh, its keys inserted in `order` (then any other in its
    own order): a dict's table then depends on its keys and `order` only,
    so a key that collides with a name meets the same entries on the way to
    it, as many times, whatever the dict went through before."""
    saved = dict(d)
    d.clear()
    for key in order:
        if key in saved:
            d[key] = saved.pop(key)
    d.update(saved)


# Every side's globals get the same names in the same order, each name a
# side lacks taking another side's value (no side's code reads it), so that
# a colliding key is compared as often on either side.
TARGET_ORDER = list(vars(native)) + [key for key in vars(equivalent) if key not in vars(native)]
_TARGET_FILL = {**vars(equivalent), **vars(native)}


def align(module):
    d = vars(module)
    for key in TARGET_ORDER:
        if key not in d:
            d[key] = _TARGET_FILL[key]
    relayout(d, TARGET_ORDER)


align(native)
align(equivalent)

# Categories of difference a run may be told to leave out (FUZZ_IGNORE, a
# comma-separated list): each takes its operations out of the vocabulary or
# its events out of the comparison, so that a long run can look past a
# difference already known.
#   trace      tracers (settrace, setprofile, sys.monitoring)
#   recursion  calls with the recursion limit lowered, and wrappers that
#              recurse without end
#   lifetime   finalizers, weakref callbacks and objects alive at the end
#   collide    non-str keys colliding with the module's globals
#   watchers   every dict watcher taken
#   roles      one dict in two roles (os.environ._data = vars(os) ...)
IGNORE = frozenset(filter(None, os.environ.get("FUZZ_IGNORE", "").split(",")))

ORIGINAL_ENVIRON = os.environ
ORIGINAL_DATA = os.environ._data
ENVIRON_TYPE = type(os.environ)
ENCODE = os.environ.encodekey
DECODE = os.environ.decodevalue
MAPPING_GET = collections.abc.Mapping.get
ENVIRON_GETITEM = os._Environ.__getitem__
ORIGINAL_CODES = {"Mapping.get": MAPPING_GET.__code__,
                  "_Environ.__getitem__": ENVIRON_GETITEM.__code__,
                  "encode": ENCODE.__code__, "decode": DECODE.__code__}
ORIGINAL_GET_DEFAULTS = MAPPING_GET.__defaults__
ORIGINAL_ENCODING = ENCODE.__closure__[0].cell_contents
# The files of the code that os.environ.get runs ("<frozen os>" where the
# interpreter has frozen copies of them).
TRACED_FILES = {MAPPING_GET.__code__.co_filename, ENVIRON_GETITEM.__code__.co_filename}

NAMES = ["VELTROCAM_LICENSE", "FZ_A", "FZ_B", "FZ_\udcff", "FZ_\xe9", "", "FZ=X", "FZ\0"]
VALUES = ["user:pw", "us:er:pw", "nocolon", "", ":", "\xe9:\udcff", "x" * 40, "a\0b"]
GLOBALS = ["os", "click", "sys", "update_bash_file"]


class FuzzError(Exception):
    """What a hook raises when told to."""


# ---------------------------------------------------------------------------
# The run in progress and its log.

class Run:
    def __init__(self, side):
        self.side = side
        self.target = SIDES[side]
        self.log = []
        self.refs = {}       # tag -> weakref
        self.undo = []       # (key, restore) pairs, last first at the end
        self.fired = set()   # (tag, hook) of actions already run
        self.depth = 0


RUN = None


def log(text, run=None):
    current = RUN
    if current is None:
        return
    if run is not None and run is not current:
        # An object of an earlier run used now: only a use is a difference,
        # its late finalizer is reported by the run that made it.
        if text.startswith(("freed ", "del ")):
            return
        text = "stale " + text
    if "lifetime" in IGNORE and text.startswith(("freed ", "del ", "alive ")):
        return
    current.log.append(text)


def describe(obj):
    """A text for `obj` that is the same on both sides: no addresses."""
    tag = getattr(obj, "_fz_tag", None) if not isinstance(obj, type) else None
    if isinstance(obj, str):
        text = repr(str.__str__(obj)) if type(obj) is not str else repr(obj)
        return f"{tag}:{text}" if tag else text
    if isinstance(obj, bytes):
        text = repr(bytes(obj))
        return f"{tag}:{text}" if tag else text
    if obj is None or isinstance(obj, (int, bool)):
        return repr(obj)
    if isinstance(obj, tuple):
        return "(" + ", ".join(describe(x) for x in obj) + ("," if len(obj) == 1 else "") + ")"
    if isinstance(obj, list):
        return f"{tag + ':' if tag else ''}[" + ", ".join(describe(x) for x in obj) + "]"
    return tag or type(obj).__name__


def exception_text(exc):
    try:
        message = str(exc)
    except Exception:  # noqa: BLE001 - a message that cannot be made is a result too
        message = "<unprintable>"
    return f"{type(exc).__name__}: {message}"


def track(obj, tag):
    """Log when `obj` is freed; report it if alive at the end."""
    run = RUN
    try:
        run.refs[tag] = weakref.ref(obj, lambda _ref, tag=tag, run=run: log(f"freed {tag}", run))
    except TypeError:
        pass
    return obj


# ---------------------------------------------------------------------------
# Hooks and their actions.  An action runs the first time its hook is
# called, and never more than 5 deep (a fifth nested call takes a spare
# set of caches).

ACTIONS = ["none", "get", "set", "env", "gc", "raise", "restore_environ", "restore_os",
           "set_other", "restore_data"]


def act(action, tag, hook, run):
    if action == "none" or run is not RUN:
        return
    if hook == "__del__" and "lifetime" in IGNORE:
        return  # when a finalizer runs is left out: so is what it does
    key = (tag, hook)
    if key in run.fired or run.depth >= 5:
        return
    run.fired.add(key)
    run.depth += 1
    try:
        log(f"{tag}.{hook} does {action}", run)
        if action == "get":
            result = guarded(lambda: run.target.get_license_info())
            log(f"  nested get_license_info() -> {result}", run)
        elif action == "set":
            result = guarded(lambda: run.target.set_to_environ("FZ_B", "nested:value"))
            log(f"  nested set_to_environ('FZ_B', 'nested:value') -> {result}", run)
        elif action == "env":
            ORIGINAL_ENVIRON["FZ_A"] = "late:value"
        elif action == "set_other":
            ORIGINAL_DATA[b"VELTROCAM_LICENSE"] = b"changed:inside"
        elif action == "gc":
            gc.collect()
        elif action == "raise":
            raise FuzzError(f"from {tag}.{hook}")
        elif action == "restore_environ":
            os.environ = ORIGINAL_ENVIRON
        elif action == "restore_data":
            ORIGINAL_ENVIRON._data = ORIGINAL_DATA
        elif action == "restore_os":
            vars(run.target)["os"] = os
    finally:
        run.depth -= 1


def guarded(call):
    try:
        return describe(call())
    except BaseException as exc:  # noqa: BLE001 - every outcome is logged
        if isinstance(exc, (KeyboardInterrupt, SystemExit)):
            raise
        return "raise " + exception_text(exc)


# The module words its binding errors its own way (the tests pin each
# message); the harness compares only their type and that they happen.
_BINDING = ("get_license_info() ", "set_to_environ() ")


def called(call):
    text = guarded(call)
    if text.startswith("raise TypeError: ") and text[17:].startswith(_BINDING):
        return "raise TypeError: <binding error>"
    return text


class FzStr(str):
    """A str whose hooks log and may act."""

    def __eq__(self, other):
        log(f"{self._fz_tag}.__eq__({describe(other)})", self._fz_run)
        act(self._fz_action, self._fz_tag, "__eq__", self._fz_run)
        return str.__eq__(self, other)

    def __ne__(self, other):
        log(f"{self._fz_tag}.__ne__({describe(other)})", self._fz_run)
        return str.__ne__(self, other)

    def __hash__(self):
        log(f"{self._fz_tag}.__hash__", self._fz_run)
        act(self._fz_action, self._fz_tag, "__hash__", self._fz_run)
        return str.__hash__(self)

    def __format__(self, format_spec):
        log(f"{self._fz_tag}.__format__({format_spec!r})", self._fz_run)
        act(self._fz_action, self._fz_tag, "__format__", self._fz_run)
        return str.__format__(self, format_spec)

    def __len__(self):
        log(f"{self._fz_tag}.__len__", self._fz_run)
        return str.__len__(self)

    def find(self, *args):
        log(f"{self._fz_tag}.find{describe(args)}", self._fz_run)
        return str.find(self, *args)

    def startswith(self, *args):
        log(f"{self._fz_tag}.startswith{describe(args)}", self._fz_run)
        return str.startswith(self, *args)

    def __getitem__(self, index):
        log(f"{self._fz_tag}.__getitem__", self._fz_run)
        return str.__getitem__(self, index)

    def __del__(self):
        log(f"del {self._fz_tag}", self._fz_run)
        act(self._fz_action, self._fz_tag, "__del__", self._fz_run)


class FzBytes(bytes):
    """A bytes key or value whose hooks log."""

    def __eq__(self, other):
        log(f"{self._fz_tag}.__eq__({describe(other)})", self._fz_run)
        act(self._fz_action, self._fz_tag, "__eq__", self._fz_run)
        return bytes.__eq__(self, other)

    def __hash__(self):
        log(f"{self._fz_tag}.__hash__", self._fz_run)
        return bytes.__hash__(self)

    def decode(self, *args):
        log(f"{self._fz_tag}.decode{describe(args)}", self._fz_run)
        return bytes.decode(self, *args)

    def __del__(self):
        log(f"del {self._fz_tag}", self._fz_run)


class Canary:
    """Put inside a dict that cannot be weakly referenced: its finalizer
    tells when the dict is freed."""

    def __init__(self, tag, action):
        self._fz_tag, self._fz_run, self._fz_action = tag, RUN, action

    def __del__(self):
        log(f"del {self._fz_tag}", self._fz_run)
        act(self._fz_action, self._fz_tag, "__del__", self._fz_run)


class Collider:
    """A non-str key whose hash equals a global's name."""

    def __init__(self, name, tag, action):
        self.name, self._fz_tag, self._fz_run, self._fz_action = name, tag, RUN, action

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if _quiet:
            return False
        log(f"{self._fz_tag}.__eq__({describe(other)})", self._fz_run)
        act(self._fz_action, self._fz_tag, "__eq__", self._fz_run)
        return False


# The two sides' module dicts hold different keys, so the colliding keys
# that the harness's own stores and deletions meet depend on each dict's
# layout (and on what a collection run by such a key did to it), not on
# the side: those comparisons are not logged.
_quiet = 0


class quiet:
    def __enter__(self):
        global _quiet
        _quiet += 1

    def __exit__(self, *exc):
        global _quiet
        _quiet -= 1


class Namespace:
    """A stand-in module: attributes only, weakly referable."""

    def __init__(self, tag, **attributes):
        self._fz_run = RUN
        self._fz_tag = tag
        for name, value in attributes.items():
            setattr(self, name, value)


class LoggingNamespace(Namespace):
    """Logs every attribute read."""

    def __getattribute__(self, name):
        if not name.startswith("_fz"):
            log(f"{object.__getattribute__(self, '_fz_tag')}.{name}",
                object.__getattribute__(self, "_fz_run"))
        return object.__getattribute__(self, name)


def recorder(tag, what, action="none", mutate=None):
    run = RUN

    def call(*args, **kwargs):
        log(f"{tag}{describe(args)}", run)
        act(action, tag, "call", run)
        if mutate == "append" and args and isinstance(args[0], list):
            args[0].append("FZ_B")
        elif mutate == "clear" and args and isinstance(args[0], list):
            args[0].clear()
        elif mutate == "raise":
            raise FuzzError(f"{tag} refused")
        return [] if what == "store" else None

    call._fz_tag = tag
    return call


def wrapper(tag, original, action="none", change=None):
    """A logging stand-in for a function of os's mapping (a plain function,
    so that as a class attribute it binds like the original)."""
    run = RUN

    def wrapped(*args):
        log(f"{tag}{describe(args[1:] if args and args[0] is ORIGINAL_ENVIRON else args)}", run)
        act(action, tag, "call", run)
        result = original(*args)
        if change == "upper" and isinstance(result, str):
            result = result.upper()
        elif change == "upper" and isinstance(result, bytes):
            result = result.upper()
        return result

    wrapped._fz_tag = tag
    return wrapped


def make_str(choice, tag):
    kind, index, action = choice
    if kind == "str":
        return NAMES[index % len(NAMES)]
    if kind == "value":
        return VALUES[index % len(VALUES)]
    if kind in ("sub", "subvalue"):
        pool = NAMES if kind == "sub" else VALUES
        obj = FzStr(pool[index % len(pool)])
        obj._fz_tag, obj._fz_run, obj._fz_action = tag, RUN, action
        return track(obj, tag)
    if kind == "bytes":
        return NAMES[index % len(NAMES)].encode("utf-8", "surrogateescape")
    if kind == "bsub":
        obj = FzBytes(NAMES[index % len(NAMES)].encode("utf-8", "surrogateescape"))
        obj._fz_tag, obj._fz_run, obj._fz_action = tag, RUN, action
        return track(obj, tag)
    if kind == "int":
        return index
    return None


def render_str(choice, tag):
    kind, index, action = choice
    then = "" if action == "none" else f", then={action!r}"
    if kind == "str":
        return repr(NAMES[index % len(NAMES)])
    if kind == "value":
        return repr(VALUES[index % len(VALUES)])
    if kind in ("sub", "subvalue"):
        pool = NAMES if kind == "sub" else VALUES
        text = pool[index % len(pool)]
        return f"{tag}=FzStr({text!r}{then})"
    if kind == "bytes":
        return repr(NAMES[index % len(NAMES)].encode("utf-8", "surrogateescape"))
    if kind == "bsub":
        return f"{tag}=FzBytes({NAMES[index % len(NAMES)].encode('utf-8', 'surrogateescape')!r}{then})"
    if kind == "int":
        return repr(index)
    return "None"


# ---------------------------------------------------------------------------
# Reading a program from bytes.

class Reader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def pick(self, seq):
        return seq[self.byte() % len(seq)]

    def left(self):
        return self.pos < len(self.data)


STR_KINDS = ["str", "str", "sub", "value", "subvalue", "bytes", "bsub", "int", "none"]
NAME_KINDS = ["str", "str", "str", "sub", "sub", "bytes", "int"]
VALUE_KINDS = ["value", "value", "value", "subvalue", "subvalue", "int"]
KEY_KINDS = ["bytes", "bytes", "bsub", "str", "int"]


def read_str(r, kinds):
    return (r.pick(kinds), r.byte(), r.pick(ACTIONS) if r.byte() % 3 == 0 else "none")


GET_SHAPES = ["()", "(n)", "(license_name=n)", "(n, n)", "(bad=n)", "(n, license_name=n)",
              "(*[n])", "(**{'license_name': n})"]
SET_SHAPES = ["(v, x)", "(variables=v, value=x)", "(v, value=x)", "(v)", "(v, x, x)",
              "(value=x, variables=v)"]
VAR_FORMS = ["name", "list", "list2", "tuple", "empty", "listsub"]

GLOBAL_VARIANTS = {
    "os": ["restore", "delete", "namespace", "logging", "module", "no_environ"],
    "click": ["restore", "delete", "logging", "real", "raising", "module"],
    "sys": ["restore", "delete", "linux_sub", "win32", "win32_sub", "no_platform"],
    "update_bash_file": ["restore", "delete", "raising", "append", "clear", "nested"],
}
ENVIRON_VARIANTS = ["restore", "dict", "dict_sub", "environ_copy", "environ_sub", "getter",
                    "env_with_data"]
DATA_VARIANTS = ["restore", "dict", "dict_canary", "dict_sub", "bsub_key", "str_key",
                 "vars_os", "vars_module"]
CODECS = ["encodekey", "decodekey", "encodevalue", "decodevalue"]
CODEC_VARIANTS = ["restore", "logging", "upper", "partial", "lambda"]
CLASS_ATTRS = [("_Environ", "__getitem__"), ("_Environ", "get"), ("Mapping", "get"),
               ("MutableMapping", "get"), ("_Environ", "_data"), ("_Environ", "encodekey"),
               ("Mapping", "__getitem__"), ("_Environ", "__getattribute__")]
# "set" wraps what the class gives; "set_mro" wraps what the mapping's own
# class finds first, which calls the wrapper again when that class is a
# subclass whose method calls the base's: a recursion without end.
CLASS_ATTR_MODES = ["set", "restore", "set_mro"]
CODE_TARGETS = ["Mapping.get", "_Environ.__getitem__", "encode", "decode"]
INSTANCE_VARIANTS = ["restore", "class_sub", "class_plain_sub", "dict_copy", "dict_get",
                     "attr_get", "dict_nonstr"]
TRACERS = ["off", "settrace", "setprofile", "monitoring", "settrace_act"]


def build(data):
    """The program the bytes give: a list of operations, each a tuple of
    plain values (so that it can be printed and compared)."""
    r = Reader(data)
    ops = []
    while r.left() and len(ops) < 24:
        count = len(ops)
        kind = r.pick(OPS)
        if kind == "get":
            ops.append(("get", r.pick(GET_SHAPES), read_str(r, NAME_KINDS)))
        elif kind == "set":
            ops.append(("set", r.pick(SET_SHAPES), r.pick(VAR_FORMS), read_str(r, NAME_KINDS),
                        read_str(r, NAME_KINDS), read_str(r, VALUE_KINDS)))
        elif kind == "env_set":
            ops.append(("env_set", read_str(r, NAME_KINDS), read_str(r, VALUE_KINDS)))
        elif kind == "env_del":
            ops.append(("env_del", read_str(r, NAME_KINDS)))
        elif kind == "data_set":
            ops.append(("data_set", read_str(r, KEY_KINDS), r.pick(["bytes", "bsub", "str", "int"]),
                        r.byte()))
        elif kind == "data_del":
            ops.append(("data_del", read_str(r, KEY_KINDS)))
        elif kind == "global":
            name = r.pick(GLOBALS)
            ops.append(("global", name, r.pick(GLOBAL_VARIANTS[name]), r.pick(ACTIONS)))
        elif kind == "collide":
            ops.append(("collide", r.pick(GLOBALS), r.pick(ACTIONS)))
        elif kind == "environ":
            ops.append(("environ", r.pick(ENVIRON_VARIANTS), r.pick(ACTIONS)))
        elif kind == "data":
            variant = r.pick(DATA_VARIANTS)
            if "roles" in IGNORE and variant in ("vars_os", "vars_module"):
                variant = "dict"
            ops.append(("data", variant, r.pick(ACTIONS)))
        elif kind == "codec":
            ops.append(("codec", r.pick(CODECS), r.pick(CODEC_VARIANTS), r.pick(ACTIONS)))
        elif kind == "class_attr":
            cls, attr = r.pick(CLASS_ATTRS)
            mode = r.pick(CLASS_ATTR_MODES)
            if "recursion" in IGNORE and mode == "set_mro":
                mode = "set"
            ops.append(("class_attr", cls, attr, mode, r.pick(ACTIONS)))
        elif kind == "code":
            ops.append(("code", r.pick(CODE_TARGETS), r.pick(["logging", "restore", "defaults",
                                                               "cell", "closure_restore"])))
        elif kind == "instance":
            ops.append(("instance", r.pick(INSTANCE_VARIANTS), r.pick(ACTIONS)))
        elif kind == "tracer":
            ops.append(("tracer", r.pick(TRACERS), r.pick(ACTIONS)))
        elif kind == "gc":
            ops.append(("gc",))
        elif kind == "recursion":
            ops.append(("recursion", 1 + r.byte() % 12, r.pick(GET_SHAPES[:3]),
                        read_str(r, NAME_KINDS)))
        elif kind == "watchers":
            ops.append(("watchers", r.pick(["take", "release"])))
        elif kind == "restore_all":
            ops.append(("restore_all",))
        if kind in SKIPPED:
            del ops[count:]
    return ops


OPS = ["get", "get", "get", "set", "set", "env_set", "env_set", "env_del", "data_set",
       "data_del", "global", "global", "collide", "environ", "environ", "data", "data",
       "codec", "class_attr", "code", "instance", "tracer", "gc", "recursion", "watchers",
       "restore_all"]
# Left out operations still take their bytes, so that an input means the
# same program whatever is left out and on every version.
_DROPPED = {"trace": {"tracer"}, "recursion": {"recursion"}, "collide": {"collide"},
            "watchers": {"watchers"}}
SKIPPED = frozenset(kind for i in IGNORE for kind in _DROPPED.get(i, ()))


def encode_program(ops):
    """Bytes that `build` turns into `ops` (for seeds written by hand)."""
    out = bytearray()

    def index(seq, value):
        return seq.index(value)

    def put_str(choice, kinds):
        kind, i, action = choice
        out.append(index(kinds, kind))
        out.append(i)
        if action == "none":
            out.append(1)
        else:
            out.append(0)
            out.append(index(ACTIONS, action))

    for op in ops:
        kind = op[0]
        out.append(OPS.index(kind))
        if kind == "get":
            out.append(index(GET_SHAPES, op[1]))
            put_str(op[2], NAME_KINDS)
        elif kind == "set":
            out.append(index(SET_SHAPES, op[1]))
            out.append(index(VAR_FORMS, op[2]))
            put_str(op[3], NAME_KINDS)
            put_str(op[4], NAME_KINDS)
            put_str(op[5], VALUE_KINDS)
        elif kind == "env_set":
            put_str(op[1], NAME_KINDS)
            put_str(op[2], VALUE_KINDS)
        elif kind == "env_del":
            put_str(op[1], NAME_KINDS)
        elif kind == "data_set":
            put_str(op[1], KEY_KINDS)
            out.append(["bytes", "bsub", "str", "int"].index(op[2]))
            out.append(op[3])
        elif kind == "data_del":
            put_str(op[1], KEY_KINDS)
        elif kind == "global":
            out += bytes([GLOBALS.index(op[1]), GLOBAL_VARIANTS[op[1]].index(op[2]),
                          ACTIONS.index(op[3])])
        elif kind == "collide":
            out += bytes([GLOBALS.index(op[1]), ACTIONS.index(op[2])])
        elif kind == "environ":
            out += bytes([ENVIRON_VARIANTS.index(op[1]), ACTIONS.index(op[2])])
        elif kind == "data":
            out += bytes([DATA_VARIANTS.index(op[1]), ACTIONS.index(op[2])])
        elif kind == "codec":
            out += bytes([CODECS.index(op[1]), CODEC_VARIANTS.index(op[2]), ACTIONS.index(op[3])])
        elif kind == "class_attr":
            out += bytes([CLASS_ATTRS.index((op[1], op[2])), CLASS_ATTR_MODES.index(op[3]),
                          ACTIONS.index(op[4])])
        elif kind == "code":
            out += bytes([CODE_TARGETS.index(op[1]),
                          ["logging", "restore", "defaults", "cell", "closure_restore"].index(op[2])])
        elif kind == "instance":
            out += bytes([INSTANCE_VARIANTS.index(op[1]), ACTIONS.index(op[2])])
        elif kind == "tracer":
            out += bytes([TRACERS.index(op[1]), ACTIONS.index(op[2])])
        elif kind == "recursion":
            out.append(op[1] - 1)
            out.append(GET_SHAPES.index(op[2]))
            put_str(op[3], NAME_KINDS)
        elif kind == "watchers":
            out.append(["take", "release"].index(op[1]))
    return bytes(out)


# ---------------------------------------------------------------------------
# Running a program.

sys.modules.setdefault("_fz_harness", sys.modules[__name__])
ORIGINAL_INSTANCE_DICT = ORIGINAL_ENVIRON.__dict__
ORIGINAL_CODECS = {name: ORIGINAL_INSTANCE_DICT[name] for name in CODECS}
CLASSES = {"_Environ": os._Environ, "Mapping": collections.abc.Mapping,
           "MutableMapping": collections.abc.MutableMapping}
MISSING = object()
_watchers = []
# Fresh from the first run on, as every run leaves them.
for _shared in (vars(os), ORIGINAL_INSTANCE_DICT, ORIGINAL_DATA):
    relayout(_shared, list(_shared))


def _code_stand_ins():
    def get(self, key, default=None):
        __import__("sys").modules["_fz_harness"].log("Mapping.get code")
        try:
            return self[key]
        except KeyError:
            return default

    def __getitem__(self, key):
        __import__("sys").modules["_fz_harness"].log("_Environ.__getitem__ code")
        try:
            value = self._data[self.encodekey(key)]
        except KeyError:
            raise KeyError(key) from None
        return self.decodevalue(value)

    def closures(encoding):
        def encode(value):
            __import__("sys").modules["_fz_harness"].log("encode code")
            if not isinstance(value, str):
                raise TypeError("str expected, not %s" % type(value).__name__)
            return value.encode(encoding, 'surrogateescape')

        def decode(value):
            __import__("sys").modules["_fz_harness"].log("decode code")
            return value.decode(encoding, 'surrogateescape')
        return encode, decode

    encode, decode = closures("utf-8")
    return {"Mapping.get": get.__code__, "_Environ.__getitem__": __getitem__.__code__,
            "encode": encode.__code__, "decode": decode.__code__}


CODE_STAND_INS = _code_stand_ins()
CODE_FUNCTIONS = {"Mapping.get": MAPPING_GET, "_Environ.__getitem__": ENVIRON_GETITEM,
                  "encode": ENCODE, "decode": DECODE}
ORIGINAL_DEFAULTS = {name: f.__defaults__ for name, f in CODE_FUNCTIONS.items()}


def _warm_stand_ins():
    """Runs each stand-in code once, as it will run: the first run of a code
    object near the recursion limit can fail where later runs do not (3.13),
    which would tell the first side from the second."""
    for name, function in CODE_FUNCTIONS.items():
        warm = types.FunctionType(CODE_STAND_INS[name], function.__globals__, name,
                                  function.__defaults__, function.__closure__)
        argument = {"Mapping.get": ({}, "x"), "_Environ.__getitem__": (ORIGINAL_ENVIRON, "HOME"),
                    "encode": ("x",), "decode": (b"x",)}[name]
        warm(*argument)


_warm_stand_ins()


class FzDict(dict):
    """A dict subclass that logs reads."""

    def __getitem__(self, key):
        log(f"{self._fz_tag}[{describe(key)}]", self._fz_run)
        return dict.__getitem__(self, key)

    def get(self, key, default=None):
        log(f"{self._fz_tag}.get({describe(key)})", self._fz_run)
        return dict.get(self, key, default)


class FzList(list):
    """A list subclass that logs iteration."""

    def __iter__(self):
        log(f"{self._fz_tag}.__iter__", self._fz_run)
        return list.__iter__(self)

    def __eq__(self, other):
        log(f"{self._fz_tag}.__eq__({describe(other)})", self._fz_run)
        return list.__eq__(self, other)

    __hash__ = None


class FzEnviron(os._Environ):
    def __getitem__(self, key):
        log(f"FzEnviron.__getitem__({describe(key)})")
        return os._Environ.__getitem__(self, key)


class PlainEnviron(os._Environ):
    pass


def tagged(obj, tag, action="none"):
    obj._fz_tag, obj._fz_run, obj._fz_action = tag, RUN, action
    return track(obj, tag)


def current_data():
    return dict(ORIGINAL_ENVIRON.__dict__.get("_data", ORIGINAL_DATA))


def snapshot_dict(d):
    return d, dict(d)


def restore_dict(d, saved):
    for key in [k for k in d if k not in saved or d[k] is not saved[k]]:
        if key not in saved:
            del d[key]
    for key, value in saved.items():
        if d.get(key, MISSING) is not value:
            d[key] = value


class State:
    """What a run changes outside its side's globals, taken at its start."""

    def __init__(self, run):
        self.data = dict(ORIGINAL_DATA)
        self.os_dict = dict(vars(os))
        self.instance_dict = list(ORIGINAL_INSTANCE_DICT)
        self.target_dict = dict(vars(run.target))
        self.classes = {key: dict(cls.__dict__) for key, cls in CLASSES.items()}
        self.limit = sys.getrecursionlimit()


def restore_all(run, state, final=False):
    sys.settrace(None)
    sys.setprofile(None)
    if hasattr(sys, "monitoring") and sys.monitoring.get_tool(4) is not None:
        sys.monitoring.set_events(4, 0)
        for event in (sys.monitoring.events.PY_START, sys.monitoring.events.CALL):
            sys.monitoring.register_callback(4, event, None)
        sys.monitoring.free_tool_id(4)
    release_watchers()
    for key, cls in CLASSES.items():
        saved = state.classes[key]
        for attr in [a for a in cls.__dict__ if a not in saved]:
            delattr(cls, attr)
        for attr, value in saved.items():
            if cls.__dict__.get(attr, MISSING) is not value and attr not in ("__dict__",
                                                                            "__weakref__"):
                setattr(cls, attr, value)
    for name, function in CODE_FUNCTIONS.items():
        if function.__code__ is not ORIGINAL_CODES[name]:
            function.__code__ = ORIGINAL_CODES[name]
        if function.__defaults__ is not ORIGINAL_DEFAULTS[name]:
            function.__defaults__ = ORIGINAL_DEFAULTS[name]
    if ENCODE.__closure__[0].cell_contents is not ORIGINAL_ENCODING:
        ENCODE.__closure__[0].cell_contents = ORIGINAL_ENCODING
    if type(ORIGINAL_ENVIRON) is not ENVIRON_TYPE:
        ORIGINAL_ENVIRON.__class__ = ENVIRON_TYPE
    if ORIGINAL_ENVIRON.__dict__ is not ORIGINAL_INSTANCE_DICT:
        ORIGINAL_ENVIRON.__dict__ = ORIGINAL_INSTANCE_DICT
    for key in [k for k in ORIGINAL_INSTANCE_DICT if not isinstance(k, str)]:
        del ORIGINAL_INSTANCE_DICT[key]
    ORIGINAL_INSTANCE_DICT.pop("get", None)
    for name, codec in ORIGINAL_CODECS.items():
        if ORIGINAL_INSTANCE_DICT.get(name) is not codec:
            ORIGINAL_INSTANCE_DICT[name] = codec
    if ORIGINAL_INSTANCE_DICT.get("_data") is not ORIGINAL_DATA:
        ORIGINAL_INSTANCE_DICT["_data"] = ORIGINAL_DATA
    if os.environ is not ORIGINAL_ENVIRON:
        os.environ = ORIGINAL_ENVIRON
    target = vars(run.target)
    for key in [k for k in target if not isinstance(k, str)]:
        del target[key]
    for key in [k for k in vars(os) if not isinstance(k, str)]:
        del vars(os)[key]
    for name in GLOBALS:
        value = run.defaults[name] if not final else state.target_dict[name]
        if target.get(name, MISSING) is not value:
            target[name] = value
    if final:
        for key in [k for k in target if k not in state.target_dict]:
            del target[key]
        for key in [k for k in vars(os) if k not in state.os_dict]:
            del vars(os)[key]
        if os.popen is not state.os_dict["popen"]:
            os.popen = state.os_dict["popen"]
        for key in [k for k in ORIGINAL_DATA if k not in state.data]:
            del ORIGINAL_DATA[key]
        for key, value in state.data.items():
            if ORIGINAL_DATA.get(key, MISSING) != value or type(ORIGINAL_DATA[key]) is not bytes:
                ORIGINAL_DATA[key] = value
        # Deleted keys leave their slots behind, and where a key of the
        # next run lands (so which colliding keys a lookup meets) would
        # depend on every run before: each dict a program can fill is laid
        # out afresh, in the order it had when the run began.
        relayout(target, TARGET_ORDER)
        relayout(vars(os), state.os_dict)
        relayout(ORIGINAL_INSTANCE_DICT, state.instance_dict)
        relayout(ORIGINAL_DATA, state.data)


def release_watchers():
    if not _watchers:
        return
    import ctypes

    clear = ctypes.pythonapi.PyDict_ClearWatcher
    clear.argtypes = [ctypes.c_int]
    for watcher_id, _callback in _watchers:
        clear(watcher_id)
    _watchers.clear()


def take_watchers():
    import ctypes

    callback_type = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p,
                                     ctypes.c_void_p, ctypes.c_void_p)
    add = ctypes.pythonapi.PyDict_AddWatcher
    add.argtypes = [callback_type]
    add.restype = ctypes.c_int
    taken = 0
    while True:
        callback = callback_type(lambda *args: 0)
        try:
            watcher_id = add(callback)
        except (ValueError, RuntimeError):  # none left (3.12, 3.13)
            break
        _watchers.append((watcher_id, callback))
        taken += 1
    return taken


def call_get(function, shape, n):
    if shape == "()":
        return function()
    if shape == "(n)":
        return function(n)
    if shape == "(license_name=n)":
        return function(license_name=n)
    if shape == "(n, n)":
        return function(n, n)
    if shape == "(bad=n)":
        return function(bad=n)
    if shape == "(n, license_name=n)":
        return function(n, license_name=n)
    if shape == "(*[n])":
        return function(*[n])
    return function(**{"license_name": n})


def call_set(function, shape, v, x):
    if shape == "(v, x)":
        return function(v, x)
    if shape == "(variables=v, value=x)":
        return function(variables=v, value=x)
    if shape == "(v, value=x)":
        return function(v, value=x)
    if shape == "(v)":
        return function(v)
    if shape == "(v, x, x)":
        return function(v, x, x)
    return function(value=x, variables=v)


def make_variables(form, a, b, tag):
    if form == "name":
        return a
    if form == "list":
        return [a]
    if form == "list2":
        return [a, b]
    if form == "tuple":
        return (a, b)
    if form == "empty":
        return []
    return tagged(FzList([a, b]), tag)


def pause_tools():
    """Switches the tools off for a recursion-limited call: a tool's Python
    callback takes a frame of its own for each function of the Python source
    that starts (the module's own functions are no Python code, so start
    none), and near the limit that frame alone decides where RecursionError
    comes."""
    events = sys.monitoring.get_events(4) if hasattr(sys, "monitoring") \
        and sys.monitoring.get_tool(4) is not None else 0
    paused = (sys.gettrace(), sys.getprofile(), events)
    sys.settrace(None)
    sys.setprofile(None)
    if events:
        sys.monitoring.set_events(4, 0)
    return paused


def resume_tools(paused):
    trace, profile, events = paused
    sys.settrace(trace)
    sys.setprofile(profile)
    if events:
        sys.monitoring.set_events(4, events)


def recursion_depth():
    """The depth the recursion limit is checked against here, found by
    recursing to the limit (3.11 counts C calls too, so frames alone would
    not tell it)."""
    count = 0

    def probe():
        nonlocal count
        count += 1
        probe()

    try:
        probe()
    except RecursionError:
        pass
    return sys.getrecursionlimit() - count


def windows_safe(run):
    """Whether the Windows branch could be taken: sys replaced by a stand-in
    whose platform starts with "win"."""
    platform = getattr(vars(run.target).get("sys"), "platform", "")
    return isinstance(platform, str) and str.startswith(platform, "win")


def apply(op, i, run, state):
    kind = op[0]
    target = run.target
    tag = f"o{i}"
    if kind == "get":
        n = make_str(op[2], f"n{i}")
        log(f"get_license_info{op[1]} -> "
            + called(lambda: call_get(target.get_license_info, op[1], n)))
    elif kind == "set":
        a, b = make_str(op[3], f"a{i}"), make_str(op[4], f"b{i}")
        x = make_str(op[5], f"x{i}")
        if windows_safe(run):
            # The module refuses what setx would cut, and formats nothing of
            # the caller's: outside the comparison.
            x = x if not isinstance(x, str) else str.__str__(x)[:100]
        v = make_variables(op[2], a, b, f"v{i}")
        if windows_safe(run) and isinstance(v, FzList):
            v = list(v)  # the module walks the names once there, on purpose
        del a, b
        log(f"set_to_environ{op[1]} -> " + called(lambda: call_set(target.set_to_environ,
                                                                   op[1], v, x)))
    elif kind == "env_set":
        n, x = make_str(op[1], f"n{i}"), make_str(op[2], f"x{i}")

        def store():
            os.environ[n] = x
        log("os.environ[n] = x -> " + guarded(store))
    elif kind == "env_del":
        n = make_str(op[1], f"n{i}")

        def remove():
            del os.environ[n]
        log("del os.environ[n] -> " + guarded(remove))
    elif kind == "data_set":
        key = make_str(op[1], f"k{i}")
        text = VALUES[op[3] % len(VALUES)]
        raw = text.encode("utf-8", "surrogateescape")
        value = {"bytes": raw, "str": text, "int": op[3]}.get(op[2])
        if op[2] == "bsub":
            value = tagged(FzBytes(raw), f"w{i}")

        def store():
            getattr(ORIGINAL_ENVIRON, "_data")[key] = value
        log("os.environ._data[k] = w -> " + guarded(store))
    elif kind == "data_del":
        key = make_str(op[1], f"k{i}")

        def remove():
            del getattr(ORIGINAL_ENVIRON, "_data")[key]
        log("del os.environ._data[k] -> " + guarded(remove))
    elif kind == "global":
        with quiet():
            apply_global(op, tag, run)
    elif kind == "collide":
        with quiet():
            vars(target)[track(Collider(op[1], tag, op[2]), tag)] = "collider"
    elif kind == "environ":
        apply_environ(op, tag)
    elif kind == "data":
        apply_data(op, tag, run)
    elif kind == "codec":
        which, variant = op[1], op[2]
        original = ORIGINAL_CODECS[which]
        if variant == "restore":
            setattr(ORIGINAL_ENVIRON, which, original)
        elif variant == "logging":
            setattr(ORIGINAL_ENVIRON, which, wrapper(tag, original, op[3]))
        elif variant == "upper":
            setattr(ORIGINAL_ENVIRON, which, wrapper(tag, original, op[3], change="upper"))
        elif variant == "partial":
            setattr(ORIGINAL_ENVIRON, which, track(functools.partial(original), tag))
        else:
            setattr(ORIGINAL_ENVIRON, which, track(lambda value: original(value), tag))
    elif kind == "class_attr":
        apply_class_attr(op, tag, state)
    elif kind == "code":
        function = CODE_FUNCTIONS[op[1]]
        if op[2] == "logging":
            function.__code__ = CODE_STAND_INS[op[1]]
        elif op[2] == "restore":
            function.__code__ = ORIGINAL_CODES[op[1]]
            function.__defaults__ = ORIGINAL_DEFAULTS[op[1]]
        elif op[2] == "defaults":
            function.__defaults__ = ("DEF",)
        elif op[2] == "cell":
            if function.__closure__:
                function.__closure__[0].cell_contents = "latin-1"
            else:
                function.__defaults__ = tuple(function.__defaults__ or ())
        else:
            ENCODE.__closure__[0].cell_contents = ORIGINAL_ENCODING
    elif kind == "instance":
        with quiet():
            apply_instance(op, tag)
    elif kind == "tracer":
        apply_tracer(op, run)
    elif kind == "gc":
        gc.collect()
    elif kind == "recursion":
        n = make_str(op[3], f"n{i}")
        limit = sys.getrecursionlimit()
        outcome = None
        paused = pause_tools()
        try:
            sys.setrecursionlimit(recursion_depth() + op[1])
            try:
                outcome = call_get(target.get_license_info, op[2], n)
            finally:
                sys.setrecursionlimit(limit)
                resume_tools(paused)
            text = describe(outcome)
        except RecursionError as exc:
            sys.setrecursionlimit(limit)
            text = "raise " + exception_text(exc)
        except Exception as exc:  # noqa: BLE001 - logged like any result
            text = "raise " + exception_text(exc)
            if text.startswith("raise TypeError: get_license_info() "):
                text = "raise TypeError: <binding error>"
        log(f"recursion-limited get_license_info{op[2]} -> {text}")
    elif kind == "watchers":
        if sys.version_info < (3, 12):
            log("no dict watchers before 3.12")
        elif op[1] == "take":
            log(f"watchers taken: {'some' if take_watchers() else 'none'}")
        else:
            release_watchers()
    elif kind == "restore_all":
        with quiet():
            restore_all(run, state)


def apply_global(op, tag, run):
    name, variant, action = op[1], op[2], op[3]
    namespace = vars(run.target)
    popen = recorder(f"{tag}.popen", "popen", action)
    if variant == "restore":
        value = run.defaults[name]
    elif variant == "delete":
        namespace.pop(name, None)
        return
    elif name == "os":
        if variant == "namespace":
            value = Namespace(tag, environ=os.environ, popen=popen)
        elif variant == "logging":
            value = LoggingNamespace(tag, environ=os.environ, popen=popen)
        elif variant == "module":
            value = types.ModuleType("fzos")
            value.environ, value.popen, value._fz_tag = os.environ, popen, tag
        else:
            value = Namespace(tag, popen=popen)
    elif name == "click":
        echo = recorder(f"{tag}.echo", "echo", action, "raise" if variant == "raising" else None)
        if variant == "logging":
            value = LoggingNamespace(tag, echo=echo)
        elif variant == "real":
            import click
            value = click
        elif variant == "module":
            value = types.ModuleType("fzclick")
            value.echo, value._fz_tag = echo, tag
        else:
            value = Namespace(tag, echo=echo)
    elif name == "sys":
        if variant == "linux_sub":
            value = Namespace(tag, platform=tagged(FzStr("linux"), f"{tag}p", action))
        elif variant == "win32":
            value = Namespace(tag, platform="win32")
        elif variant == "win32_sub":
            value = Namespace(tag, platform=tagged(FzStr("win32"), f"{tag}p", action))
        else:
            value = Namespace(tag)
    else:
        mutate = {"raising": "raise", "append": "append", "clear": "clear"}.get(variant)
        value = recorder(tag, "store", action if variant == "nested" else "none", mutate)
    namespace[name] = track(value, tag) if value is not run.defaults.get(name) else value


def apply_environ(op, tag):
    variant, action = op[1], op[2]
    if variant == "restore":
        os.environ = ORIGINAL_ENVIRON
        return
    decoded = {}
    for key, value in current_data().items():
        if isinstance(key, bytes) and isinstance(value, bytes):
            decoded[key.decode("utf-8", "surrogateescape")] = value.decode("utf-8",
                                                                            "surrogateescape")
    if variant == "dict":
        decoded["FZ_CANARY"] = Canary(f"{tag}c", action)
        os.environ = decoded
    elif variant == "dict_sub":
        os.environ = tagged(FzDict(decoded), tag, action)
    elif variant == "environ_copy":
        os.environ = track(os._Environ(current_data(), ENCODE, DECODE, ENCODE, DECODE), tag)
    elif variant == "environ_sub":
        os.environ = track(FzEnviron(current_data(), ENCODE, DECODE, ENCODE, DECODE), tag)
    elif variant == "getter":
        os.environ = track(Namespace(tag, get=recorder(f"{tag}.get", "get", action)), tag)
    else:
        data = tagged(FzDict(current_data()), f"{tag}d", action)
        os.environ = track(os._Environ(data, ENCODE, DECODE, ENCODE, DECODE), tag)


def apply_data(op, tag, run):
    variant, action = op[1], op[2]
    data = current_data()
    if variant == "restore":
        value = ORIGINAL_DATA
    elif variant == "dict":
        value = data
    elif variant == "dict_canary":
        data[b"FZ_CANARY"] = Canary(f"{tag}c", action)
        value = data
    elif variant == "dict_sub":
        value = tagged(FzDict(data), tag, action)
    elif variant == "bsub_key":
        data[tagged(FzBytes(b"FZ_A"), f"{tag}k", action)] = b"bsub:key"
        value = data
    elif variant == "str_key":
        data["FZ_A"] = b"str:key"
        value = data
    elif variant == "vars_os":
        value = vars(os)
    else:
        value = vars(run.target)
    ORIGINAL_ENVIRON._data = value


def apply_class_attr(op, tag, state):
    cls_name, attr, mode, action = op[1], op[2], op[3], op[4]
    cls = CLASSES[cls_name]
    saved = state.classes[cls_name].get(attr, MISSING)
    if mode == "restore":
        if saved is MISSING:
            if attr in cls.__dict__:
                delattr(cls, attr)
        else:
            setattr(cls, attr, saved)
        return
    if attr == "_data":
        def data(self):
            log(f"{tag} _data property")
            return self.__dict__["_data"]
        setattr(cls, attr, track(property(data), tag))
    elif attr == "encodekey":
        def encodekey(self):
            log(f"{tag} encodekey property")
            return self.__dict__["encodekey"]
        setattr(cls, attr, track(property(encodekey), tag))
    elif attr == "__getattribute__":
        run = RUN

        def getattribute(self, name):
            log(f"{tag} __getattribute__({name!r})", run)
            return object.__getattribute__(self, name)
        setattr(cls, attr, track(getattribute, tag))
    else:
        mro = cls.__mro__ if mode == "set" else type(ORIGINAL_ENVIRON).__mro__
        original = next((klass.__dict__[attr] for klass in mro if attr in klass.__dict__),
                        MAPPING_GET)
        setattr(cls, attr, wrapper(tag, original, action))


def apply_instance(op, tag):
    variant, action = op[1], op[2]
    if variant == "restore":
        ORIGINAL_ENVIRON.__class__ = ENVIRON_TYPE
        ORIGINAL_ENVIRON.__dict__ = ORIGINAL_INSTANCE_DICT
        ORIGINAL_INSTANCE_DICT.pop("get", None)
    elif variant == "class_sub":
        ORIGINAL_ENVIRON.__class__ = FzEnviron
    elif variant == "class_plain_sub":
        ORIGINAL_ENVIRON.__class__ = PlainEnviron
    elif variant == "dict_copy":
        ORIGINAL_ENVIRON.__dict__ = dict(ORIGINAL_ENVIRON.__dict__)
    elif variant == "dict_get":
        copy = dict(ORIGINAL_ENVIRON.__dict__)
        copy["get"] = recorder(f"{tag}.get", "get", action)
        ORIGINAL_ENVIRON.__dict__ = copy
    elif variant == "attr_get":
        ORIGINAL_ENVIRON.get = track(recorder(f"{tag}.get", "get", action), tag)
    else:
        ORIGINAL_ENVIRON.__dict__[track(Collider("_data", tag, action), tag)] = 1


def apply_tracer(op, run):
    variant, action = op[1], op[2]
    if variant == "off":
        sys.settrace(None)
        sys.setprofile(None)
        if hasattr(sys, "monitoring") and sys.monitoring.get_tool(4) is not None:
            sys.monitoring.set_events(4, 0)
        return
    if variant in ("settrace", "settrace_act"):
        def tracer(frame, event, arg):
            code = frame.f_code
            if event == "call" and code.co_filename in TRACED_FILES:
                log(f"trace call {code.co_name}", run)
                if variant == "settrace_act" and code.co_name == "__getitem__":
                    act(action, "tracer", "call", run)
            return None
        sys.settrace(tracer)
    elif variant == "setprofile":
        def profiler(frame, event, arg):
            if frame.f_code.co_filename in TRACED_FILES:
                if event == "call":
                    log(f"profile call {frame.f_code.co_name}", run)
                elif event == "c_call":
                    log(f"profile c_call {getattr(arg, '__name__', '?')}", run)
        sys.setprofile(profiler)
    elif hasattr(sys, "monitoring"):
        monitoring = sys.monitoring
        if monitoring.get_tool(4) is None:
            monitoring.use_tool_id(4, "fuzz")

        def started(code, offset):
            if code.co_filename in TRACED_FILES:
                log(f"monitor start {code.co_name}", run)

        monitoring.register_callback(4, monitoring.events.PY_START, started)
        monitoring.set_events(4, monitoring.events.PY_START)


_frozen = False


def unraisable(report):
    try:
        log("unraisable " + exception_text(report.exc_value))
    except RecursionError:
        log("unraisable, not told at the recursion limit")


def run(program, side):
    """The log of `program` run against `side` ("module" or "equivalent")."""
    global RUN, _frozen
    this = Run(side)
    gc.collect()
    if not _frozen:
        # Everything there is before the first run (the interpreter, the
        # harness, the fuzzer) is left out of every later collection, which
        # then costs next to nothing.
        gc.freeze()
        _frozen = True
    gc.disable()
    output = io.StringIO()
    saved_stdout = sys.stdout
    saved_hook = sys.unraisablehook
    RUN = this
    state = State(this)
    try:
        sys.stdout = output
        sys.unraisablehook = unraisable
        os.popen = recorder("os.popen", "popen")
        this.defaults = {"os": os, "sys": sys, "click": Namespace("click", echo=recorder(
            "click.echo", "echo")), "update_bash_file": recorder("update_bash_file", "store")}
        vars(this.target).update(this.defaults)
        # Warm calls first, so that each program starts from caches filled
        # by the same calls.
        guarded(lambda: this.target.get_license_info())
        guarded(lambda: this.target.get_license_info("FZ_A"))
        this.log.clear()
        for i, op in enumerate(program):
            this.log.append(f"[{i}]")
            try:
                apply(op, i, this, state)
            except RecursionError as exc:
                log("op raised " + exception_text(exc))
            except Exception as exc:  # noqa: BLE001 - logged, and the program goes on
                log("op raised " + exception_text(exc))
        this.log.append("[end]")
    finally:
        try:
            with quiet():
                restore_all(this, state, final=True)
        finally:
            sys.stdout = saved_stdout
            if sys.getrecursionlimit() != state.limit:
                sys.setrecursionlimit(state.limit)
    gc.collect()
    for tag, ref in sorted(this.refs.items()):
        if ref() is not None:
            log(f"alive {tag}")
    RUN = None
    sys.unraisablehook = saved_hook
    gc.enable()
    if output.getvalue():
        this.log.append("stdout " + repr(output.getvalue()))
    return this.log


def difference(program):
    """None, or (index, module log, equivalent log) at the first difference."""
    return first_difference(run(program, "module"), run(program, "equivalent"))


def first_difference(left, right):
    if left == right:
        return None
    index = next((i for i, (a, b) in enumerate(zip(left, right)) if a != b),
                 min(len(left), len(right)))
    return index, left, right


def minimize(program, still=None):
    """A shorter program with a difference still (ops removed one by one)."""
    still = still or (lambda p: difference(p) is not None)
    ops = list(program)
    changed = True
    while changed:
        changed = False
        for i in range(len(ops) - 1, -1, -1):
            candidate = ops[:i] + ops[i + 1:]
            if candidate and still(candidate):
                ops = candidate
                changed = True
    # Then each operation made plainer: hooks that do nothing, exact str
    # and bytes for subclasses.
    for i in range(len(ops)):
        progress = True
        while progress:
            progress = False
            for simpler in _plainer(ops[i]):
                candidate = ops[:i] + [simpler] + ops[i + 1:]
                if still(candidate):
                    ops, progress = candidate, True
                    break
    return ops


_PLAIN = {"sub": "str", "subvalue": "value", "bsub": "bytes"}


def _plainer(op):
    """Plainer forms of `op`, one change at a time."""
    for position, part in enumerate(op):
        if isinstance(part, tuple) and len(part) == 3:
            kind, index, action = part
            if action != "none":
                yield op[:position] + ((kind, index, "none"),) + op[position + 1:]
            if kind in _PLAIN:
                yield op[:position] + ((_PLAIN[kind], index, action),) + op[position + 1:]
        elif position == len(op) - 1 and part in ACTIONS and part != "none":
            yield op[:position] + ("none",)


# ---------------------------------------------------------------------------
# Printing a program and a finding.

def render(op, i):
    kind = op[0]
    tag = f"o{i}"

    def then(action):
        return "" if action == "none" else f"  # its hook then does {action!r}"

    if kind == "get":
        if op[1] == "()":
            return "M.get_license_info()"
        return f"n = {render_str(op[2], f'n{i}')}; M.get_license_info{op[1]}"
    if kind == "set":
        v = {"name": "a", "list": "[a]", "list2": "[a, b]", "tuple": "(a, b)", "empty": "[]",
             "listsub": f"v{i}=FzList([a, b])"}[op[2]]
        return (f"a, b, x = {render_str(op[3], f'a{i}')}, {render_str(op[4], f'b{i}')}, "
                f"{render_str(op[5], f'x{i}')}; v = {v}; M.set_to_environ{op[1]}")
    if kind == "env_set":
        return f"os.environ[{render_str(op[1], f'n{i}')}] = {render_str(op[2], f'x{i}')}"
    if kind == "env_del":
        return f"del os.environ[{render_str(op[1], f'n{i}')}]"
    if kind == "data_set":
        text = VALUES[op[3] % len(VALUES)]
        value = {"bytes": repr(text.encode('utf-8', 'surrogateescape')), "str": repr(text),
                 "int": repr(op[3]),
                 "bsub": f"w{i}=FzBytes({text.encode('utf-8', 'surrogateescape')!r})"}[op[2]]
        return f"os.environ._data[{render_str(op[1], f'k{i}')}] = {value}"
    if kind == "data_del":
        return f"del os.environ._data[{render_str(op[1], f'k{i}')}]"
    if kind == "global":
        name, variant, action = op[1], op[2], op[3]
        if variant == "restore":
            return f"M.{name} = <as at the start>"
        if variant == "delete":
            return f"del M.{name}"
        return f"M.{name} = {tag}=<{variant} stand-in for {name}>{then(action)}"
    if kind == "collide":
        return f"vars(M)[{tag}=Collider(hash={op[1]!r})] = 'collider'{then(op[2])}"
    if kind == "environ":
        if op[1] == "restore":
            return "os.environ = <the original>"
        return f"os.environ = {tag}=<{op[1]} copy of the environment>{then(op[2])}"
    if kind == "data":
        if op[1] == "restore":
            return "os.environ._data = <the original>"
        what = {"vars_os": "vars(os)", "vars_module": "vars(M)"}.get(op[1], f"{tag}=<{op[1]} copy>")
        return f"os.environ._data = {what}{then(op[2])}"
    if kind == "codec":
        if op[2] == "restore":
            return f"os.environ.{op[1]} = <the original>"
        return f"os.environ.{op[1]} = {tag}=<{op[2]} wrapper of the original>{then(op[3])}"
    if kind == "class_attr":
        if op[3] == "restore":
            return f"{op[1]}.{op[2]} = <as at the start>"
        what = "" if op[3] == "set" else " of what type(os.environ) finds first"
        return f"{op[1]}.{op[2]} = {tag}=<logging stand-in{what}>{then(op[4])}"
    if kind == "code":
        name = {"encode": "os.environ.encodekey", "decode": "os.environ.decodevalue"}.get(op[1], op[1])
        return {"logging": f"{name}.__code__ = <the same code, logging>",
                "restore": f"{name}.__code__, .__defaults__ = <the originals>",
                "defaults": f"{name}.__defaults__ = ('DEF',)",
                "cell": (f"{name}.__closure__[0].cell_contents = 'latin-1'"
                         if op[1] in ("encode", "decode") else
                         f"{name}.__defaults__ = tuple({name}.__defaults__)"),
                "closure_restore": "os.environ.encodekey.__closure__[0].cell_contents = <the original>"}[op[2]]
    if kind == "instance":
        return {"restore": "os.environ.__class__, .__dict__ = <the originals>",
                "class_sub": "os.environ.__class__ = FzEnviron",
                "class_plain_sub": "os.environ.__class__ = class PlainEnviron(os._Environ): pass",
                "dict_copy": "os.environ.__dict__ = dict(os.environ.__dict__)",
                "dict_get": f"os.environ.__dict__ = {{**os.environ.__dict__, 'get': {tag}.get=<recorder>}}",
                "attr_get": f"os.environ.get = {tag}=<recorder>",
                "dict_nonstr": f"os.environ.__dict__[{tag}=Collider(hash='_data')] = 1"}[op[1]] + then(op[2])
    if kind == "tracer":
        return {"off": "sys.settrace(None); sys.setprofile(None); <monitoring events off>",
                "settrace": "sys.settrace(<logs calls into os and _collections_abc>)",
                "setprofile": "sys.setprofile(<logs calls and C calls in os and _collections_abc>)",
                "monitoring": "sys.monitoring: PY_START of os and _collections_abc logged",
                "settrace_act": f"sys.settrace(<logs calls; at the first __getitem__ does {op[2]!r}>)"}[op[1]]
    if kind == "gc":
        return "gc.collect()"
    if kind == "recursion":
        return (f"n = {render_str(op[3], f'n{i}')}; with recursion limit = depth + {op[1]}: "
                f"M.get_license_info{op[2]}")
    if kind == "watchers":
        return ("<take every free dict watcher (PyDict_AddWatcher)>" if op[1] == "take"
                else "<release them (PyDict_ClearWatcher)>")
    return "<restore everything above>"


def format_program(program):
    return "\n".join(f"[{i}] {render(op, i)}" for i, op in enumerate(program))


def format_finding(program, found):
    index, left, right = found
    lines = ["program (M is the module, or its Python source):", format_program(program), "",
             f"first difference at log entry {index}:"]
    start = max(0, index - 6)
    for title, log_ in (("module", left), ("equivalent", right)):
        lines.append(f"  {title}:")
        for j in range(start, min(len(log_), index + 6)):
            lines.append(f"    {'>' if j == index else ' '} {log_[j]}")
    return "\n".join(lines)


def category(found):
    """A coarse name for a difference, to tell findings apart."""
    index, left, right = found
    entries = [e for e in (left[index] if index < len(left) else "",
                           right[index] if index < len(right) else "") if e]
    text = " ".join(entries)
    for word, name in (("trace ", "trace"), ("profile ", "trace"), ("monitor ", "trace"),
                       ("recursion-limited", "recursion"), ("alive ", "lifetime"),
                       ("freed ", "lifetime"), ("del ", "lifetime"), ("stale ", "stale"),
                       ("Collider", "collide"), ("__eq__", "hooks"), ("__format__", "order"),
                       ("echo", "order"), ("raise", "exception"), ("->", "result")):
        if word in text:
            return name
    return "other"
