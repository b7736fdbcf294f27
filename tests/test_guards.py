"""Each guard of the native shortcuts, pinned by a case that fails without it.

The cases are differential, as in test_shortcuts.py: the module and its
Python source run the same case in fresh interpreters and must report the
same, cold and after warm calls.  Most cases let a call record what it saw,
then change the one thing a single guard watches, in a way that changes no
dict the record depends on, so that only that guard can notice.
"""

import sys
import textwrap

import pytest

from conftest import run_python
from test_shortcuts import _PRELUDE, WARM, differential

# Finds the lookups of a colliding hash: a key whose `__eq__` replaces the
# decoder the mapping calls next, which Python then calls and the direct
# path, had it looked, would not.
_FOREIGN_KEY = """
        saved_decode, saved_data = E.decodevalue, dict(E._data)
        class Foreign:
            def __hash__(self):
                return hash(b"LH_GUARD")
            def __eq__(self, other):
                E.decodevalue = lambda value: "eq:replaced"
                return True
        rows = [outcome(M.get_license_info, "LH_NAME")]
"""

_GUARDS = {
    "instance __dict__ assigned": """
        rows = [outcome(M.get_license_info, "LH_NAME")]
        saved = E.__dict__
        E.__dict__ = dict(saved, _data={b"LH_NAME": b"assigned:dict"})
        rows.append(outcome(M.get_license_info, "LH_NAME"))
        E.__dict__ = saved
    """,
    "Mapping.get.__defaults__ replaced": """
        rows = [outcome(M.get_license_info, "LH_NONE")]
        Mapping.get.__defaults__ = ("default:value",)
        rows.append(outcome(M.get_license_info, "LH_NONE"))
        Mapping.get.__defaults__ = (None,)
    """,
    "a class with its own __getattribute__": """
        class Seen(type(E)):
            def __getattribute__(self, name):
                if name == "_data":
                    return {b"LH_NAME": b"getattribute:data"}
                return super().__getattribute__(name)
        rows = [outcome(M.get_license_info, "LH_NAME")]
        E.__class__ = Seen
        rows.append(outcome(M.get_license_info, "LH_NAME"))
        E.__class__ = Seen.__base__
    """,
    "a bytes subclass value with its own decode": """
        class Value(bytes):
            def decode(self, *args):
                return "subclass:decode"
        rows = [outcome(M.get_license_info, "LH_NAME")]
        E._data[b"LH_NAME"] = Value(b"user:pw")
        rows.append(outcome(M.get_license_info, "LH_NAME"))
        E._data[b"LH_NAME"] = b"user:pw"
    """,
    "a key with __eq__ added to _data": _FOREIGN_KEY + """
        E._data[Foreign()] = b"found:it"
        rows.append(outcome(M.get_license_info, "LH_GUARD"))
        E.decodevalue = saved_decode
        E._data.clear()
        E._data.update(saved_data)
    """,
    "a key with __eq__ cloned into _data": _FOREIGN_KEY + """
        E._data.clear()
        E._data.update({b"LH_NAME": b"user:pw", Foreign(): b"found:it"})
        rows.append(outcome(M.get_license_info, "LH_GUARD"))
        E.decodevalue = saved_decode
        E._data.clear()
        E._data.update(saved_data)
    """,
    "os made an instance of a module subclass": """
        class Sub(types.ModuleType):
            @property
            def environ(self):
                return {"LH_NAME": "module:subclass"}
        rows = [outcome(M.get_license_info, "LH_NAME")]
        os.__class__ = Sub
        rows.append(outcome(M.get_license_info, "LH_NAME"))
        os.__class__ = types.ModuleType
    """,
    # The colliding key goes in first, so that every search for `os` meets
    # it (how often depends on the hash seed); Python searches again on
    # every read of a dict with such a key.
    "a key with __eq__ met by every search of the module's dict": """
        class Colliding:
            def __hash__(self):
                return hash("os")
            def __eq__(self, other):
                log.append("eq")
                return NotImplemented
        rows = [outcome(M.get_license_info, "LH_NAME")]
        namespace = vars(M)
        saved = dict(namespace)
        namespace.clear()
        namespace[Colliding()] = 1
        namespace.update(saved)
        for _ in range(3):
            log.clear()
            rows.append([outcome(M.get_license_info, "LH_NAME"), bool(log)])
    """,
    # A nested call (another cache set) follows a second mapping; the
    # first mapping's dict then has no version, and a change of it none
    # to advance.
    "the last name asked for while another mapping is followed": """
        E2 = type(E)({b"LH_NAME": b"second:mapping"}, E.encodekey, E.decodekey,
                     E.encodevalue, E.decodevalue)
        current = [E]
        class Switch:
            @property
            def environ(self):
                return current[0]
        def echo(text):
            current[0] = E2
            log.append(M.get_license_info("LH_NAME"))
            current[0] = E
        M.os, M.click = Switch(), types.SimpleNamespace(echo=echo)
        rows = [outcome(M.get_license_info, "LH_NONE"), outcome(M.get_license_info, "LH_NAME")]
        E._data[b"LH_NAME"] = b"changed:value"
        rows += [outcome(M.get_license_info, "LH_NAME"), log]
    """,
    # One dict in two roles: the mapping's `_data`, and the instance dict of
    # another mapping, whose check watches it for its contents.
    "_data also the instance dict of another mapping": """
        data = {b"LH_NAME": b"two:roles"}
        first = type(E)(data, E.encodekey, E.decodekey, E.encodevalue, E.decodevalue)
        other = object.__new__(type(E))
        other.__dict__ = data
        rows = []
        for environ in (first, other, first):
            os.environ = environ
            rows.append(outcome(M.get_license_info, "LH_NAME"))
        data[b"LH_NAME"] = b"changed:value"
        rows.append(outcome(M.get_license_info, "LH_NAME"))
        os.environ = E
    """,
    # Five calls in one another take every cache set; the calls inside
    # them get a spare set, which must let go of the name it kept.
    "calls nested deeper than the cache sets": """
        import sysconfig
        name = "".join(["LH_", "NAME"])
        sets = 64 if sysconfig.get_config_var("Py_GIL_DISABLED") else 4
        depth = []
        def echo(text):
            depth.append(text)
            M.get_license_info("LH_NONE" if len(depth) <= sets else name)
        M.click = types.SimpleNamespace(echo=echo)
        before = sys.getrefcount(name)
        rows = [outcome(M.get_license_info, "LH_NONE"), len(depth),
                sys.getrefcount(name) - before]
    """,
    "function attributes replaced": """
        class Held(str):
            pass
        rows = []
        for attr in ("__doc__", "__name__", "__qualname__", "__defaults__", "__kwdefaults__",
                     "__annotations__"):
            saved, held = getattr(M.get_license_info, attr), Held("held")
            before = sys.getrefcount(held)
            wrapped = {"__defaults__": lambda: (held,), "__kwdefaults__": lambda: {"k": held},
                       "__annotations__": lambda: {"k": held}}.get(attr, lambda: held)
            setattr(M.get_license_info, attr, wrapped())
            setattr(M.get_license_info, attr, saved)
            rows.append([attr, sys.getrefcount(held) - before])
    """,
    # Python's `for` holds each item while the loop body runs; an ordered
    # dict hashes a key before it takes a reference to it.
    "a list item whose __hash__ empties the list": """
        class Key(str):
            def __hash__(self):
                if variables:
                    log.append("hash")
                    variables.clear()
                return str.__hash__(self)
            def __del__(self):
                log.append("died")
        import collections
        target = collections.OrderedDict()
        M.os = types.SimpleNamespace(environ=target)
        M.update_bash_file = lambda variables, value: None
        M.click = types.SimpleNamespace(echo=lambda text: None)
        variables = [Key("LH_KEY")]
        rows = [outcome(M.set_to_environ, variables, "v"), list(target), list(log)]
    """,
    # Another extension's watcher that runs Python code is told of a change
    # before ours, so that what it reads is cached under the old version.
    "a dict watcher that reads during the change": """
        import ctypes
        WATCH = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p,
                                 ctypes.c_void_p)
        def reads_during_the_change(event, d, key, value):
            if d == id(vars(M)) and key == id("click"):
                M.get_license_info("LH_NONE")
            return 0
        callback = WATCH(reads_during_the_change)
        add = ctypes.pythonapi.PyDict_AddWatcher
        add.argtypes = [WATCH]
        watcher = add(callback)
        ctypes.pythonapi.PyDict_Watch(watcher, ctypes.py_object(vars(M)))
        rows = []
        for tag in ("first", "second", "third"):
            M.click = types.SimpleNamespace(echo=lambda text, tag=tag: log.append(tag))
            rows.append(outcome(M.get_license_info, "LH_NONE"))
        ctypes.pythonapi.PyDict_ClearWatcher(watcher)
        rows.append(log)
    """,
}

_NEEDS_WATCHERS = {"a dict watcher that reads during the change"}


# CPython 3.14's own specialised `os.environ` keeps reading the module's
# dict after `os.__class__` became a module subclass whose class defines
# `environ` (its guard compares `tp_getattro` alone), and gives what
# unspecialised Python would not; the module gives the unspecialised answer,
# which is what every earlier version gives too.
_SPECIALIZER_DIFFERS = {"os made an instance of a module subclass": (3, 14)}
_UNSPECIALISED = {"os made an instance of a module subclass":
                  [["('user', 'pw')", ""], ["('module', 'subclass')", ""]]}


@WARM
@pytest.mark.parametrize("case", list(_GUARDS))
def test_each_guard_sees_its_change(case, warm):
    if case in _NEEDS_WATCHERS and sys.version_info < (3, 12):
        pytest.skip("dict watchers are new in 3.12")
    body = _GUARDS[case] + "\n        report(rows=rows)\n"
    if sys.version_info >= _SPECIALIZER_DIFFERS.get(case, (99,)):
        code = textwrap.dedent(_PRELUDE).format(native=True, warm=warm)
        child = run_python(code + textwrap.dedent(body))
        assert child.returncode == 0, child.stderr
        assert child.reports[0]["rows"] == _UNSPECIALISED[case]
        return
    rows = differential(body, warm)[0]["rows"]
    assert len(rows) > 1
    if case in _UNSPECIALISED:
        assert rows == _UNSPECIALISED[case]


_TAKE_EVERY_WATCHER = """
import ctypes
WATCH = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.py_object,
                         ctypes.py_object)
callback = WATCH(lambda *args: 0)
add = ctypes.pythonapi.PyDict_AddWatcher
add.argtypes = [WATCH]
taken = 0
while True:
    try:
        add(callback)
    except (ValueError, RuntimeError):
        break
    taken += 1
"""


@WARM
@pytest.mark.skipif(sys.version_info < (3, 12), reason="dict watchers are new in 3.12")
def test_no_dict_watcher_left_when_the_module_loads(warm):
    body = """
        rows = [taken]
        for tag in ("first", "second", "third"):
            M.click = types.SimpleNamespace(echo=lambda text, tag=tag: log.append(tag))
            os.environ = {"LH_NAME": tag + ":environ"}
            rows += [outcome(M.get_license_info, "LH_NONE"),
                     outcome(M.get_license_info, "LH_NAME")]
        os.environ = E
        report(rows=rows, log=log)
    """
    seen = {}
    for native in (True, False):
        code = _TAKE_EVERY_WATCHER + textwrap.dedent(_PRELUDE).format(native=native, warm=warm)
        child = run_python(code + textwrap.dedent(body))
        assert child.returncode == 0, child.stderr
        seen[native] = child.reports
    assert seen[True] == seen[False]
    assert seen[True][0]["log"] == ["first", "second", "third"]
    assert seen[True][0]["rows"][0] > 0


# ---------------------------------------------------------------------------
# The loop of set_to_environ keeps what Python's `for` keeps: the loop
# variable holds the last item until the function returns, and the loop's
# iterator goes when the loop ends.

@WARM
@pytest.mark.parametrize("variables", ["[Key('LH_KEY')]", "Items([Key('LH_KEY')])"])
def test_the_loop_keeps_what_a_for_loop_keeps(variables, warm):
    body = f"""
        class Key(str):
            def __del__(self):
                log.append("item died")
        class Walk:
            def __init__(self, items):
                self.items = iter(items)
            def __iter__(self):
                return self
            def __next__(self):
                return next(self.items)
            def __del__(self):
                log.append("iterator died")
        class Items(list):
            def __iter__(self):
                return Walk(list.__iter__(self))
        class Environ:
            def __setitem__(self, key, value):
                log.append("set")
                variables.clear()
        M.os = types.SimpleNamespace(environ=Environ())
        M.update_bash_file = lambda variables, value: None
        M.click = types.SimpleNamespace(echo=lambda text: log.append("echo"))
        variables = {variables}
        first = outcome(M.set_to_environ, variables, "v")
        report(first=first, log=log)
    """
    assert "item died" in differential(body, warm)[0]["log"]
