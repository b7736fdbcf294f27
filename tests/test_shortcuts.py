"""The native shortcuts against the Python they stand for.

Each case runs twice, each time in a fresh interpreter: once with the
native module, once with the same source as a Python module of its own.
Everything the case reports (results, exceptions, what tools saw, when
finalizers ran) must be the same.  Cases run cold and after warm calls,
so that no case passes only because nothing was cached yet.
"""

import sys
import textwrap

import pytest

from conftest import FREE_THREADED, run_python

_PRELUDE = '''
import gc, io, os, sys, types, weakref, contextlib, traceback
import click
from collections.abc import Mapping
from veltrocam.tilso.sdk import license_helper as lh

SOURCE = """
import os, re, sys, click
from veltrocam.tilso.sdk.script_update import update_bash_file
def get_license_info(license_name="VELTROCAM_LICENSE"):
    license = os.environ.get(license_name)
    if license:
        if license.find(":") == -1:
            click.echo("当前环境变量 {{license_name}} 的格式不正确，应为 用户名:密码".format(
                license_name=license_name))
            return None, None
        user = license[:license.find(":")]
        pw = license[license.find(":") + 1:]
        return user, pw
    else:
        click.echo("当前环境未配置用户名和密码")
        return None, None
def set_to_environ(variables, value):
    var_name = "veltrocam license" if variables == "VELTROCAM_LICENSE" else variables
    if not isinstance(variables, list):
        variables = [variables]
    if sys.platform.startswith("win"):
        raise AssertionError("not here")
    else:
        update_bash_file(variables, value)
    for variable_name in variables:
        os.environ[variable_name] = value
    click.echo("当前 {{var_name}} 已设置为 {{value}}".format(var_name=var_name, value=value))
    click.echo("请重启当前的 terminal ")
"""
if {native}:
    M = lh
else:
    M = types.ModuleType("equivalent")
    exec(compile(SOURCE, "equivalent", "exec"), vars(M))
E = os.environ
E["LH_NAME"], E["LH_OTHER"] = "user:pw", "other:value"
log = []
def outcome(call, *args, **kwargs):
    with contextlib.redirect_stdout(io.StringIO()) as out:
        try:
            result = repr(call(*args, **kwargs))
        except BaseException as e:
            result = [type(e).__name__, str(e)]
    return [result, out.getvalue()]
for _ in range({warm}):
    M.get_license_info("LH_NAME"), M.get_license_info("LH_NONE")
'''


def skip_where_caches_keep():
    """When an object dies is compared only on builds with a GIL."""
    if FREE_THREADED:
        pytest.skip("free-threaded builds may keep what they cache, as CPython does")


def differential(body, warm, env=None):
    """Runs `body` with the module and with its Python source; both must
    report the same."""
    seen = {}
    for native in (True, False):
        code = textwrap.dedent(_PRELUDE).format(native=native, warm=warm)
        child = run_python(code + textwrap.dedent(body), env=env)
        assert child.returncode == 0, child.stderr
        assert child.reports, child.stdout
        seen[native] = child.reports
    assert seen[True] == seen[False]
    return seen[True]


WARM = pytest.mark.parametrize("warm", [0, 3])

# ---------------------------------------------------------------------------
# Tools see the calls Python makes.

_TOOLS = {
    "setprofile": """
        sys.setprofile(lambda frame, event, arg: log.append((event, frame.f_code.co_qualname)))
        first = outcome(M.get_license_info, "LH_NAME")
        sys.setprofile(None)
    """,
    "settrace": """
        def tracer(frame, event, arg):
            log.append((event, frame.f_code.co_qualname, frame.f_lineno))
            return tracer
        sys.settrace(tracer)
        first = outcome(M.get_license_info, "LH_NAME")
        sys.settrace(None)
    """,
    "tracer changes the value": """
        def tracer(frame, event, arg):
            if event == "call" and frame.f_code.co_name == "__getitem__":
                os.environ._data[b"LH_NAME"] = b"traced:value"
            return None
        sys.settrace(tracer)
        first = outcome(M.get_license_info, "LH_NAME")
        sys.settrace(None)
    """,
    "monitoring": """
        m = sys.monitoring
        m.use_tool_id(2, "test")
        m.register_callback(2, m.events.PY_START, lambda code, offset: log.append(code.co_qualname))
        m.set_events(2, m.events.PY_START)
        first = outcome(M.get_license_info, "LH_NAME")
        m.set_events(2, 0)
    """,
    "monitoring, local events": """
        m = sys.monitoring
        m.use_tool_id(2, "test")
        m.register_callback(2, m.events.PY_START, lambda code, offset: log.append(code.co_qualname))
        m.set_local_events(2, type(E).__getitem__.__code__, m.events.PY_START)
        first = outcome(M.get_license_info, "LH_NAME")
        m.set_local_events(2, type(E).__getitem__.__code__, 0)
    """,
}


@WARM
@pytest.mark.parametrize("tool", list(_TOOLS))
def test_tools_see_what_they_see_with_python(tool, warm):
    if "monitoring" in tool and sys.version_info < (3, 12):
        pytest.skip("sys.monitoring is new in 3.12")
    body = _TOOLS[tool] + """
        after = outcome(M.get_license_info, "LH_NAME")
        calls = [entry for entry in log if "get_license_info" not in str(entry)
                 and "outcome" not in str(entry) and "<lambda>" not in str(entry)]
        report(first=first, after=after, calls=calls)
    """
    seen = differential(body, warm)[0]
    if tool == "tracer changes the value":
        assert seen["first"][0] == "('traced', 'value')"
    else:
        assert any("__getitem__" in str(call) for call in seen["calls"])


# ---------------------------------------------------------------------------
# The recursion limit, hit at every depth around it.

@WARM
@pytest.mark.parametrize("call", ["M.get_license_info('LH_NAME')",
                                  "M.get_license_info('LH_NONE')",
                                  "M.set_to_environ('LH_SET', 'a:b')"])
def test_recursion_limit_is_hit_where_python_hits_it(call, warm):
    body = f"""
        M.update_bash_file = lambda variables, value: None
        M.click = types.SimpleNamespace(echo=lambda text: None)
        def at_depth(n):
            if n:
                return at_depth(n - 1)
            try:
                return repr({call})
            except RecursionError as e:
                return e
        BYPASSED = {"get", "__getitem__", "encode", "decode"}
        sys.setrecursionlimit(200)
        rows = []
        for depth in range(150, 200):
            try:
                got = at_depth(depth)
            except RecursionError:
                got = "too deep for the test itself"
            if isinstance(got, RecursionError):
                # CPython 3.13 gives the bypassed function that failed to
                # start an entry only when Python code called it.
                names = [f.name.split(".")[-1] for f in traceback.extract_tb(got.__traceback__)]
                got = [str(got), [n for n in names if n not in BYPASSED][-2:]]
            rows.append(got)
        report(rows=rows)
    """
    rows = differential(body, warm)[0]["rows"]
    assert any("maximum recursion depth" in str(row) for row in rows)
    assert "pw" in str(rows[0]) or "None" in str(rows[0])


# ---------------------------------------------------------------------------
# Lifetimes: what a call read and the program dropped dies when Python
# would let it die.

_DROPPED = {
    "os": ("M.os = types.ModuleType('fake_os'); M.os.environ = {'LH_NAME': 'a:b'}; "
           "M.os.__dict__['x'] = Dying('os')",
           "M.os = os"),
    "click": ("M.click = types.ModuleType('fake_click'); M.click.echo = lambda t: None; "
              "M.click.__dict__['x'] = Dying('click')",
              "M.click = click"),
    "os.environ": ("os.environ = {'LH_NAME': 'c:d', 'x': Dying('environ')}",
                   "os.environ = E"),
    "_data": ("E._data = {b'LH_NAME': b'e:f', b'x': Dying('data')}",
              "E._data = saved_data"),
    "codec": ("E.decodevalue = (lambda d: lambda v: (d, v.decode())[1])(Dying('codec'))",
              "E.decodevalue = saved_decode"),
    "sys": ("M.sys = types.ModuleType('fake_sys'); M.sys.platform = 'linux'; "
            "M.sys.__dict__['x'] = Dying('sys')",
            "M.sys = sys"),
    "update_bash_file": ("M.update_bash_file = (lambda d: lambda names, value: (d, None)[1])("
                         "Dying('update_bash_file'))",
                         "M.update_bash_file = no_store"),
}


_DROPPED_NAME = {"os": "os", "click": "click", "os.environ": "environ", "_data": "data",
                 "codec": "codec", "sys": "sys", "update_bash_file": "update_bash_file"}


@WARM
@pytest.mark.parametrize("what", list(_DROPPED))
def test_dropped_objects_die_when_python_drops_them(what, warm):
    bind, restore = _DROPPED[what]
    body = f"""
        class Dying:
            def __init__(self, name): self.name = name
            def __del__(self): log.append("died " + self.name)
        saved_data, saved_decode = E._data, E.decodevalue
        no_store = M.update_bash_file = lambda names, value: None
        gc.disable()
        {bind}
        first = outcome(M.get_license_info, "LH_NAME")
        first_none = outcome(M.get_license_info, "LH_NONE")
        first_set = outcome(M.set_to_environ, "LH_SET", "set:value")
        log.append("call")
        {restore}
        log.append("restored")
        after = outcome(M.get_license_info, "LH_NAME")
        report(first=first, first_none=first_none, first_set=first_set, after=after, log=log)
    """
    skip_where_caches_keep()
    log = differential(body, warm)[0]["log"]
    assert log.index("call") < log.index("died " + _DROPPED_NAME[what]) < log.index("restored")


def test_a_late_finalizer_is_seen_by_the_next_call():
    body = """
        class Swap:
            def __del__(self):
                E._data = {b"LH_NAME": b"late:value"}
        E._data = {b"LH_NAME": b"first:value", b"s": Swap()}
        rows = [outcome(M.get_license_info, "LH_NAME")]
        E._data = {b"LH_NAME": b"second:value"}
        rows.append(outcome(M.get_license_info, "LH_NAME"))
        report(rows=rows)
    """
    skip_where_caches_keep()
    rows = differential(body, 2)[0]["rows"]
    assert "late" in rows[-1][0]


# ---------------------------------------------------------------------------
# Dicts searched: keys that run code, one dict in two roles, no watcher.

_DICT_CASES = {
    "a global in neither dict, builtins with a __getattr__": """
        import builtins
        saved = M.os
        del M.os
        builtins.__getattr__ = lambda name: log.append(name) or types.SimpleNamespace(environ={})
        rows = [outcome(M.get_license_info, "LH_NAME"), list(log)]
        try:
            M.get_license_info("LH_NAME")
        except NameError as e:
            rows.append(e.name)
        del builtins.__getattr__
        M.os = saved
    """,
    "_data is os.__dict__, then os.environ changes": """
        E._data = vars(os)
        rows = [outcome(M.get_license_info, "environ")]
        os.environ = {"LH_NAME": "new:environ"}
        rows.append(outcome(M.get_license_info, "LH_NAME"))
        os.environ = E
    """,
    "_data is the module's dict, then os changes": """
        E._data = vars(M)
        rows = [outcome(M.get_license_info, "os")]
        M.os = types.SimpleNamespace(environ={"LH_NAME": "new:os"})
        rows.append(outcome(M.get_license_info, "LH_NAME"))
        M.os = os
    """,
    "the name's hash and __eq__ drop the mapping searched": """
        class Value(str):
            pass
        class HashDrops(str):
            def __hash__(self):
                os.environ = E
                return str.__hash__(self)
        class EqDrops(str):
            __hash__ = str.__hash__
            def __eq__(self, other):
                os.environ = E
                return str.__eq__(self, other)
        rows = []
        for name in (HashDrops("LH_DICT"), EqDrops("LH_DICT")):
            os.environ = {"LH_DICT": Value("held:value")}
            rows.append(outcome(M.get_license_info, "LH_NONE"))
            rows.append(outcome(M.get_license_info, name))
        os.environ = E
    """,
    "os.environ let go of when get is read, or held while its method runs": """
        armed = []
        def get(*args):
            if armed:
                os.environ = E
                log.append("switched")
        class Own:
            def __del__(self): log.append("freed")
        class Method(Own):
            get = get
        for make in (Own, Method):
            for fill_first in (False, True):
                mapping = make()
                if make is Own:
                    mapping.get = get
                os.environ = mapping
                del mapping
                if fill_first:
                    outcome(M.get_license_info, "LH_NONE")
                armed.append(1)
                outcome(M.get_license_info, "LH_NONE")
                armed.clear()
                log.append("--")
        rows = [list(log)]
    """,
    "a key of the module's dict that is not a str": """
        vars(M)[1] = "one"
        rows = [outcome(M.get_license_info, "LH_NONE")]
        M.click = types.SimpleNamespace(echo=log.append)
        rows += [outcome(M.get_license_info, "LH_NONE"), list(log)]
        M.click = click
    """,
    "a key of the module's dict that raises when compared with click": """
        class Key:
            armed = False
            def __hash__(self): return hash("click")
            def __eq__(self, other):
                if Key.armed:
                    log.append("compared")
                    raise LookupError("compared")
                return False
        del M.click
        vars(M)[Key()] = None
        M.click, Key.armed = click, True
        rows = [outcome(M.get_license_info, "LH_NONE"), list(log)]
    """,
    "a key of os's dict that is not a str": """
        vars(os)[1] = "one"
        rows = [outcome(M.get_license_info, "LH_NAME")]
        os.environ = {"LH_NAME": "new:environ"}
        rows.append(outcome(M.get_license_info, "LH_NAME"))
        os.environ = E
        del vars(os)[1]
    """,
    "click.echo read before its argument is made": """
        class Name(str):
            def __format__(self, spec):
                log.append("format")
                return str.__format__(self, spec)
        class Click:
            @property
            def echo(self):
                log.append("echo read")
                return lambda text: log.append("echoed")
        E["LH_PLAIN"] = "no colon"
        M.click = Click()
        rows = [outcome(M.get_license_info, Name("LH_PLAIN")), list(log)]
    """,
}


@WARM
@pytest.mark.parametrize("case", list(_DICT_CASES))
@pytest.mark.parametrize("watchers", ["free", "all taken"])
def test_dicts_searched_give_what_python_gives(case, warm, watchers):
    if watchers == "all taken" and sys.version_info < (3, 12):
        pytest.skip("dict watchers are new in 3.12")
    if "let go of" in case:
        skip_where_caches_keep()
    take = """
        import ctypes
        WATCH = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object,
                                 ctypes.py_object, ctypes.py_object)
        callback = WATCH(lambda *args: 0)
        add = ctypes.pythonapi.PyDict_AddWatcher
        add.argtypes = [WATCH]
        while True:
            try:
                add(callback)
            except (ValueError, RuntimeError):
                break
    """ if watchers == "all taken" else ""
    body = take + _DICT_CASES[case] + """
        rows.append(outcome(M.get_license_info, "LH_NAME"))
        report(rows=rows)
    """
    differential(body, warm)
