"""get_license_info: its results, notices, failures at each line, and the
global lookups and traceback entries seen through it."""
import array
import builtins
import collections.abc
import ctypes
import os
import sys
import traceback
import types
import unittest.mock

import pytest

from conftest import GET, MODULE, SOURCE_PATH, module_entries, run_python

UNSET = "当前环境未配置用户名和密码\n"


@pytest.mark.parametrize("value, expected", [
    ("user:secret", ("user", "secret")),
    (":secret", ("", "secret")),
    ("user:", ("user", "")),
    ("user:se:cr:et", ("user", "se:cr:et")),
    ("用户:密码", ("用户", "密码")),
])
def test_splits_at_the_first_colon(lh, environ_restored, capsys, value, expected):
    environ_restored["VELTROCAM_LICENSE"] = value
    environ_restored["OTHER_LICENSE"] = "o:" + value
    assert lh.get_license_info() == expected
    assert lh.get_license_info("OTHER_LICENSE") == ("o", value)
    assert lh.get_license_info(license_name="OTHER_LICENSE") == ("o", value)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("value", [None, ""])
def test_nothing_set_prints_the_notice_and_shares_the_pair(lh, environ_restored, capsys, value):
    environ_restored.pop("VELTROCAM_LICENSE", None)
    if value is not None:
        environ_restored["VELTROCAM_LICENSE"] = value
    first, second = lh.get_license_info(), lh.get_license_info()
    assert first == (None, None) and first is second
    assert capsys.readouterr().out == UNSET * 2


def test_a_value_without_colon_is_reported_without_the_value(lh, environ_restored, capsys):
    environ_restored["VELTROCAM_LICENSE"] = "hunter2"
    assert lh.get_license_info() is lh.get_license_info("NO_SUCH_VARIABLE_X")
    out = capsys.readouterr().out
    assert out == ("当前环境变量 VELTROCAM_LICENSE 的格式不正确，应为 用户名:密码\n" + UNSET)
    assert "hunter2" not in out


class _Text(str):
    """A credentials value whose methods the tests control."""


def _fake_os(value):
    class Environ:
        def get(self, key):
            return value
    return type("Os", (), {"environ": Environ()})()


class _Falsy:
    def __bool__(self):
        raise ZeroDivisionError("truth")


class _BadFind(str):
    def find(self, sub):
        raise KeyError("find")


class _NoSlice:
    def __bool__(self):
        return True

    def find(self, sub):
        return 1


class _SecondFindFails(str):
    calls = 0

    def find(self, sub):
        type(self).calls += 1
        if type(self).calls == 2:
            return "not a number"
        return 1


class _SecondSliceFails(str):
    def __getitem__(self, key):
        self.cuts = getattr(self, "cuts", 0) + 1
        if self.cuts == 2:
            raise IndexError("second slice")
        return str.__getitem__(self, key)


class _EqualityFails:
    def __eq__(self, other):
        raise ArithmeticError("compared")


@pytest.mark.parametrize("make_os, exception, message, line", [
    (lambda: type("Os", (), {})(), AttributeError, "'Os' object has no attribute 'environ'", 17),
    (lambda: _fake_os(_Falsy()), ZeroDivisionError, "truth", 18),
    (lambda: _fake_os(_BadFind("a:b")), KeyError, "'find'", 19),
    (lambda: _fake_os(_NoSlice()), TypeError, "'_NoSlice' object is unsliceable", 19),
    (lambda: _fake_os(_SecondFindFails("a:b")), TypeError,
     'can only concatenate str (not "int") to str', 20),
    (lambda: _fake_os(_SecondSliceFails("a:b")), IndexError, "second slice", 20),
    (lambda: _fake_os(_finding(_EqualityFails())), ArithmeticError, "compared", 19),
])
def test_failures_report_their_line(lh, module_globals, make_os, exception, message, line):
    module_globals["os"] = make_os()
    with pytest.raises(exception) as raised:
        lh.get_license_info()
    assert str(raised.value) == message
    assert module_entries(raised.value) == [(line, GET)]


def test_a_rejected_name_fails_at_line_17_without_notice(lh, capsys):
    with pytest.raises(TypeError) as raised:
        lh.get_license_info(17)
    assert module_entries(raised.value) == [(17, GET)]
    assert capsys.readouterr().out == ""


def test_echo_failure_reports_line_23(lh, module_globals, environ_restored):
    environ_restored.pop("VELTROCAM_LICENSE", None)
    module_globals["click"] = type("Click", (), {"echo": staticmethod(lambda text: 1 / 0)})()
    with pytest.raises(ZeroDivisionError) as raised:
        lh.get_license_info()
    assert module_entries(raised.value) == [(23, GET)]


def test_echo_may_be_a_method_of_a_native_heap_type(lh, module_globals, environ_restored):
    environ_restored.pop("VELTROCAM_LICENSE", None)
    sink = array.array("u" if sys.version_info < (3, 13) else "w")
    module_globals["click"] = types.SimpleNamespace(echo=sink.extend)
    assert lh.get_license_info() == (None, None)
    assert sink.tounicode() == UNSET.strip()


def _builtin_returning_null_without_error():
    """A built-in function of one argument that returns null and sets no
    exception, as a faulty extension's function may."""
    entry = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p)(
        lambda self, arg: None)

    class MethodDef(ctypes.Structure):
        _fields_ = [("name", ctypes.c_char_p), ("meth", type(entry)), ("flags", ctypes.c_int),
                    ("doc", ctypes.c_char_p)]
    definition = MethodDef(b"echo", entry, 0x0008, None)  # METH_O
    new = ctypes.pythonapi.PyCFunction_NewEx
    new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p] * 3
    function = new(ctypes.addressof(definition), None, None)
    return function, (entry, definition)  # the caller keeps both alive


def test_a_builtin_returning_null_without_error_gives_system_error(lh, module_globals,
                                                                  environ_restored):
    environ_restored.pop("VELTROCAM_LICENSE", None)
    echo, keep = _builtin_returning_null_without_error()
    module_globals["click"] = types.SimpleNamespace(echo=echo)
    with pytest.raises(SystemError, match="^NULL result without error in PyObject_Call$") as raised:
        lh.get_license_info()
    assert module_entries(raised.value) == [(23, GET)]


@pytest.mark.parametrize("name, line", [("os", 17), ("click", 23)])
def test_missing_globals_raise_name_error_and_fall_back_to_builtins(
        lh, module_globals, environ_restored, monkeypatch, capsys, name, line):
    environ_restored.pop("VELTROCAM_LICENSE", None)
    del module_globals[name]
    for _ in range(2):  # the second call answers from the same lookup cache
        with pytest.raises(NameError) as raised:
            lh.get_license_info()
        assert str(raised.value) == f"name '{name}' is not defined"
        assert module_entries(raised.value) == [(line, GET)]
    # A name absent from the module is looked up in the builtins each time.
    fake = _fake_os(None) if name == "os" else type("C", (), {"echo": print})()
    monkeypatch.setattr(builtins, name, fake, raising=False)
    assert lh.get_license_info() == (None, None)


def _store_global(m, fake):
    exec("def _store(value):\n    global os\n    os = value", vars(m))
    vars(m)["_store"](fake)


def _clear_and_refill(m, fake):
    saved = dict(vars(m))
    vars(m).clear()
    vars(m).update(saved, os=fake)


# Every way a module dict changes, each seen by the next call.
@pytest.mark.parametrize("change", [
    lambda m, fake: setattr(m, "os", fake),
    lambda m, fake: vars(m).__setitem__("os", fake),
    lambda m, fake: vars(m).update({"os": fake}),
    lambda m, fake: (vars(m).pop("os"), vars(m).setdefault("os", fake)),
    _clear_and_refill,
    _store_global,
], ids=["setattr", "subscript", "update", "pop-setdefault", "clear", "store-global"])
def test_replaced_globals_are_seen_by_the_next_call(lh, module_globals, environ_restored, change):
    environ_restored["VELTROCAM_LICENSE"] = "real:one"
    assert lh.get_license_info() == ("real", "one")
    change(lh, _fake_os("fake:two"))
    assert lh.get_license_info() == ("fake", "two")
    with unittest.mock.patch.object(lh, "os", _fake_os("mock:three")):
        assert lh.get_license_info() == ("mock", "three")
    assert lh.get_license_info() == ("fake", "two")
    get = lh.get_license_info
    vars(lh).clear()
    with pytest.raises(NameError):
        get()


class _FindsAt(str):
    """A value whose `find` answers a given number."""

    def find(self, sub):
        return self.at


class _CutsAtWholeFloats(_FindsAt):
    def __getitem__(self, key):
        whole = [int(x) if isinstance(x, float) else x for x in (key.start, key.stop)]
        return str.__getitem__(self, slice(*whole))


def _finding(at):
    value = (_CutsAtWholeFloats if isinstance(at, float) else _FindsAt)("someone:secret")
    value.at = at
    return value


# Numbers at the edges of the one-digit ints read in place, and beyond;
# answers equal to -1 without being the int -1 mean "no colon" as well.
@pytest.mark.parametrize("at", [0, 1, -1, -2, 2**30 - 1, 2**30, -(2**30), 2**62, -(2**62),
                                2**64, -(2**64), 10**30, True, 7.0, -1.0, -2.0,
                                type("Int", (int,), {})(-1)])
def test_split_positions_of_any_size(lh, module_globals, capsys, at):
    value = _finding(at)
    module_globals["os"] = _fake_os(value)
    expected = (None, None) if at == -1 else (value[:at], value[at + 1:])
    assert lh.get_license_info() == expected
    assert bool(capsys.readouterr().out) == (expected == (None, None))


def test_traceback_entries(lh, module_globals):
    module_globals["os"] = type("Os", (), {})()
    errors = []
    for _ in range(2):
        try:
            lh.get_license_info()
        except AttributeError as e:
            errors.append(e)
    frames = [e.__traceback__.tb_next.tb_frame for e in errors]
    assert frames[0].f_code is frames[1].f_code  # reused, not made anew
    assert frames[0].f_globals is vars(lh)
    assert frames[0].f_lineno == errors[0].__traceback__.tb_next.tb_lineno == 17
    summary = traceback.extract_tb(errors[0].__traceback__)[-1]
    assert (summary.filename, summary.lineno, summary.name) == (SOURCE_PATH, 17, GET)
    text = "".join(traceback.format_exception(errors[0]))
    assert f'File "{SOURCE_PATH}", line 17, in {GET}' in text
    # The interpreter's own printing of an uncaught exception agrees.
    child = run_python(f"import {MODULE} as m\nm.os = None\nm.get_license_info()")
    assert f'File "{SOURCE_PATH}", line 17, in {GET}\n' in child.stderr


def test_cached_code_objects_stay_found_whatever_order_lines_fail_in(lh, module_globals):
    def fail_at(line):
        makers = {17: lambda: type("Os", (), {})(), 18: lambda: _fake_os(_Falsy()),
                  19: lambda: _fake_os(_BadFind("a:b"))}
        module_globals["os"] = makers[line]()
        try:
            lh.get_license_info()
        except Exception as e:
            tb = e.__traceback__
            while tb.tb_frame.f_code.co_filename != SOURCE_PATH:
                tb = tb.tb_next
            return tb.tb_frame.f_code
    first = {line: fail_at(line) for line in (19, 17, 18)}
    again = {line: fail_at(line) for line in (18, 19, 17)}
    assert all(first[line] is again[line] for line in first)
    assert len({id(code) for code in first.values()}) == 3
    assert {code.co_firstlineno for code in first.values()} == {17, 18, 19}


# ---------------------------------------------------------------------------
# os.environ.get at line 17: the direct path taken only while every check
# holds, the generic call otherwise, with the same results either way.

class _EnvironSubclass(type(os.environ)):
    def get(self, key, default=None):
        return "sub:" + key


def _outcome(call, capsys):
    try:
        result = call()
    except Exception as e:
        result = (type(e), str(e))
    return result, capsys.readouterr().out.replace("\n", " ")


_GUARDS = {
    "os replaced": lambda mp, lh: mp.setattr(lh, "os", types.SimpleNamespace(
        environ={"LH_NAME": "fake:os"})),
    "environ replaced": lambda mp, lh: mp.setattr(os, "environ", {"LH_NAME": "plain:dict"}),
    "subclass": lambda mp, lh: mp.setattr(os, "environ", _EnvironSubclass(
        os.environ._data, os.environ.encodekey, os.environ.decodekey,
        os.environ.encodevalue, os.environ.decodevalue)),
    "_Environ.get": lambda mp, lh: mp.setattr(type(os.environ), "get", lambda s, k: "c:get",
                                              raising=False),
    "Mapping.get": lambda mp, lh: mp.setattr(collections.abc.Mapping, "get",
                                             lambda s, k, d=None: "m:get"),
    "Mapping.get defaults": lambda mp, lh: mp.setattr(collections.abc.Mapping.get,
                                                      "__defaults__", ("no colon",)),
    "__getitem__": lambda mp, lh: mp.setattr(type(os.environ), "__getitem__",
                                             lambda s, k: "item:" + k),
    "instance get": lambda mp, lh: mp.setattr(os.environ, "get", lambda k: "i:get",
                                              raising=False),
    "encodekey": lambda mp, lh: mp.setattr(os.environ, "encodekey", lambda k: b"LH_OTHER"),
    "decodevalue": lambda mp, lh: mp.setattr(os.environ, "decodevalue",
                                             lambda v: v.decode().upper()),
    "_data": lambda mp, lh: mp.setattr(os.environ, "_data", {b"LH_NAME": b"new:data"}),
    "__dict__": lambda mp, lh: mp.setattr(os.environ, "__dict__", {
        **vars(os.environ), "_data": {b"LH_NAME": b"new:dict"}}),
    "patch.dict": lambda mp, lh: mp.setitem(os.environ, "LH_NAME", "patched:dict"),
    "putenv": lambda mp, lh: os.putenv("LH_NAME", "put:env"),
    "reload_environ": lambda mp, lh: (os.putenv("LH_NAME", "re:loaded"),
                                      getattr(os, "reload_environ", os.environ.clear)()),
    "bytes value": lambda mp, lh: mp.setitem(os.environb, b"LH_NAME", b"\xff:\xfe\x80"),
}


@pytest.mark.parametrize("guard", list(_GUARDS))
@pytest.mark.parametrize("name", ["LH_NAME", "LH_MISSING", "LH_\udcff", "LH_\ud800", 5,
                                  _Text("LH_NAME")])
def test_environ_get_gives_what_python_gives(lh, module_globals, environ_restored, monkeypatch,
                                             capsys, guard, name):
    monkeypatch.setitem(os.environ, "LH_NAME", "user:pw")
    monkeypatch.setitem(os.environ, "LH_OTHER", "other:value")
    lh.get_license_info("LH_NAME")  # the direct path is checked and recorded
    _GUARDS[guard](monkeypatch, lh)
    expected = lh.os.environ.get

    def python():
        value = expected(name)
        if not value:
            lh.click.echo("当前环境未配置用户名和密码")
            return None, None
        if value.find(":") == -1:
            lh.click.echo(f"当前环境变量 {name} 的格式不正确，应为 用户名:密码")
            return None, None
        return value[:value.find(":")], value[value.find(":") + 1:]
    for _ in range(2):
        assert _outcome(lambda: lh.get_license_info(name), capsys) == _outcome(python, capsys)


# Hostile but legal changes to what os.environ.get runs, each in a fresh
# interpreter, made before the first call or after warm calls.  Every
# outcome, and every call into the user's code, must be Python's own.
_HOSTILE = {
    "__getitem__ code": "type(E).__getitem__.__code__ = (lambda self, key: 'code:' + key).__code__",
    "Mapping.get code": "Mapping.get.__code__ = (lambda self, key, default=None: 'g:' + key).__code__",
    "encode code": "E.encodekey.__code__ = (lambda encoding: lambda v: (v + '_X').encode(encoding))"
                   "('utf-8').__code__",
    "decode code": "E.decodevalue.__code__ = (lambda encoding: lambda v: v.decode(encoding)[::-1])"
                   "('utf-8').__code__",
    "static get": "type(E).get = staticmethod(Mapping.get)",
    "_data descriptor": "type(E)._data = property(lambda s: {b'LH_NAME': b'prop:erty'})",
    "abc KeyError": "import _collections_abc; _collections_abc.KeyError = ZeroDivisionError",
    "os isinstance": "os.isinstance = lambda value, kind: False",
    "builtins KeyError": "import builtins; builtins.KeyError = ZeroDivisionError",
    "encoding cell": "E.encodekey.__closure__[0].cell_contents = 'utf-16'",
    "dict key re-entry": "E.__dict__[Hostile('_data', lambda: lh.get_license_info('LH_NAME'))] = 1",
    "sys re-entry": "sys.getfilesystemencoding = lambda: (lh.get_license_info('LH_NAME'), 'utf-8')[1]",
    "data key raises": "E._data[Hostile(b'LH_NONE', lambda: 1 / 0)] = b'x'",
    "data key counts": "E._data[Hostile(b'LH_NONE', lambda: None)] = b'x'",
    "os isinstance bound builtin": "os.isinstance = [].count",
    "Mapping.get globals a dict subclass": (
        "import _collections_abc, types; Mapping.get = types.FunctionType(Mapping.get.__code__, "
        "Globals(vars(_collections_abc)), 'get', (None,))"),
    "encodekey globals a dict subclass": (
        "import types; E.encodekey = types.FunctionType(E.encodekey.__code__, "
        "Globals(vars(os)), 'encode', None, E.encodekey.__closure__)"),
}
# The code replacements also made before the module is imported, when
# nothing has been found trustworthy yet.
_BEFORE_IMPORT = ["__getitem__ code", "Mapping.get code", "encode code", "decode code"]
_HOSTILE_SETUP = """
import io, os, sys, contextlib, click
from collections.abc import Mapping
calls = []
class Hostile:
    def __init__(self, like, action): self.like, self.action = like, action
    def __hash__(self): return hash(self.like)
    def __eq__(self, other): calls.append(1); self.action(); return False
class Globals(dict):
    def __getitem__(self, key): calls.append(1); return dict.__getitem__(self, key)
def python(name):
    value = os.environ.get(name)
    if not value:
        click.echo("当前环境未配置用户名和密码"); return None, None
    if value.find(":") == -1:
        click.echo(f"当前环境变量 {name} 的格式不正确，应为 用户名:密码"); return None, None
    return value[:value.find(":")], value[value.find(":") + 1:]
def outcome(function, name):
    del calls[:]
    with contextlib.redirect_stdout(io.StringIO()) as out:
        try: result = repr(function(name))
        except Exception as e: result = [type(e).__name__, str(e)]
    return [result, out.getvalue(), len(calls)]
E = os.environ
E["LH_NAME"], E["LH_OTHER"] = "user:pw", "other:value"
"""
_HOSTILE_CHILD = """
{early}
from veltrocam.tilso.sdk import license_helper as lh
for _ in range({warm}): lh.get_license_info("LH_NAME"), lh.get_license_info("LH_NONE")
{patch}
report(rows=[[outcome(lh.get_license_info, n), outcome(python, n)]
             for n in ["LH_NAME", "LH_OTHER", "LH_NONE", "LH_\\udcff"] * 2])
"""


@pytest.mark.parametrize("case, warm", [(case, warm) for case in _HOSTILE for warm in (0, 3)]
                         + [(case, "before import") for case in _BEFORE_IMPORT])
def test_environ_get_gives_what_python_gives_to_hostile_code(case, warm):
    early = _HOSTILE[case] if warm == "before import" else ""
    child = run_python(_HOSTILE_SETUP + _HOSTILE_CHILD.format(
        warm=0 if early else warm, early=early, patch="" if early else _HOSTILE[case]))
    assert child.returncode == 0, child.stderr
    rows = child.reports[0]["rows"]
    assert all(native == python for native, python in rows), rows


def test_a_class_with_a_key_not_a_str_is_refused_without_searching_it():
    # A lookup whose comparison raises finds nothing and caches nothing, so
    # every search of the class for `get` compares once: the first call
    # must search it as often as Python's first `os.environ.get` does.
    child = run_python(_HOSTILE_SETUP + """
from veltrocam.tilso.sdk import license_helper as lh
os.environ = type("Environ", (type(E),), {Hostile("get", lambda: 1 / 0): 2})(
    E._data, E.encodekey, E.decodekey, E.encodevalue, E.decodevalue)
report(native=outcome(lh.get_license_info, "LH_NAME"), python=outcome(python, "LH_NAME"))
""")
    assert child.returncode == 0, child.stderr
    native, python = child.reports[0]["native"], child.reports[0]["python"]
    assert native == python
    assert python[0][0] == "AttributeError" and python[2] == 1
