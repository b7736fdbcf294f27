"""Threads calling both functions while others change what the calls read.

The interpreter is made to switch threads as often as it can; every result
must still be one that some serial order of the same calls gives.
"""
import os
import sys
import threading
import types

import pytest

from conftest import GET, SET, SOURCE_PATH, run_python

NOTICE_UNSET = "当前环境未配置用户名和密码"
NOTICE_RESTART = "请重启当前的 terminal "
ROUNDS = 1500


@pytest.fixture
def fast_switching():
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(saved)


def _run_threads(targets):
    """Runs each target in its own thread, started together; returns the
    exceptions that escaped them."""
    errors = []
    start = threading.Barrier(len(targets))

    def wrapped(target):
        try:
            start.wait()
            target()
        except BaseException as e:  # reported to the test below
            errors.append(e)

    threads = [threading.Thread(target=wrapped, args=(t,)) for t in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads), "a thread hung"
    return errors


def test_calls_while_globals_and_environment_change(lh, module_globals, environ_restored,
                                                     fast_switching):
    fake_environ = {"VELTROCAM_LICENSE": "fake:one"}
    fake_os = types.SimpleNamespace(environ=fake_environ)
    echoed_a, echoed_b = [], []
    clicks = [types.SimpleNamespace(echo=echoed_a.append),
              types.SimpleNamespace(echo=echoed_b.append)]
    stored = []
    module_globals.update(click=clicks[0], os=os, sys=types.SimpleNamespace(platform="linux"),
                          update_bash_file=lambda names, value: stored.append((names, value)))
    environ_restored.pop("VELTROCAM_LICENSE", None)
    names = ["CONCURRENT_A", "CONCURRENT_B"]
    for name in names:
        environ_restored.pop(name, None)
    done = threading.Event()
    results = {"default": [], "named": []}

    def reader():
        for _ in range(ROUNDS):
            results["default"].append(lh.get_license_info())
            results["named"].append(lh.get_license_info(license_name="CONCURRENT_A"))

    def writer():
        for i in range(ROUNDS):
            assert lh.set_to_environ(names, ("x:1", "y:2")[i % 2]) is None

    def changer():
        credentials = ["real:a:b", None, "nocolon"]
        i = 0
        while not done.is_set() or i < 30:
            module_globals["os"] = (os, fake_os)[i % 2]
            module_globals["click"] = clicks[i % 3 % 2]
            value = credentials[i % 3]
            if value is None:
                os.environ.pop("VELTROCAM_LICENSE", None)
            else:
                os.environ["VELTROCAM_LICENSE"] = value
            i += 1
        module_globals["os"] = os

    changing = threading.Thread(target=changer)
    changing.start()
    try:
        errors = _run_threads([reader, reader, writer, writer])
    finally:
        done.set()
        changing.join()
    assert errors == []

    assert set(results["default"]) <= {("fake", "one"), ("real", "a:b"), (None, None)}
    assert set(results["named"]) <= {("x", "1"), ("y", "2"), (None, None)}
    assert len(results["default"]) == len(results["named"]) == 2 * ROUNDS
    malformed = "当前环境变量 VELTROCAM_LICENSE 的格式不正确，应为 用户名:密码"
    lines = {NOTICE_UNSET, malformed, NOTICE_RESTART,
             f"当前 {names} 已设置为 x:1", f"当前 {names} 已设置为 y:2"}
    assert set(echoed_a + echoed_b) <= lines
    assert len(stored) == 2 * ROUNDS
    assert all(pair in ((names, "x:1"), (names, "y:2")) for pair in stored)
    # Each of the writers' calls set both names, in whichever environment
    # the call read `os` from.
    for environ in (os.environ, fake_environ):
        if "CONCURRENT_A" in environ:
            assert environ["CONCURRENT_B"] in ("x:1", "y:2")


def test_attribute_reads_while_attributes_are_replaced(lh, fast_switching):
    f = lh.get_license_info
    saved_doc, saved_name = f.__doc__, f.__name__
    docs, names = {saved_doc, "other doc"}, {saved_name, "other_name"}
    seen = []

    def reader():
        for _ in range(ROUNDS):
            seen.append((f.__doc__, f.__name__, f.__qualname__, repr(f), f.__reduce__()))

    def writer():
        for i in range(ROUNDS):
            f.__doc__ = ("other doc", saved_doc)[i % 2]
            f.__name__ = ("other_name", saved_name)[i % 2]
            del f.__doc__
            f.__doc__ = saved_doc

    try:
        assert _run_threads([reader, reader, writer]) == []
    finally:
        f.__doc__, f.__name__ = saved_doc, saved_name
    assert {doc for doc, *_ in seen} <= docs | {None}
    assert {name for _, name, *_ in seen} <= names
    assert {(qualname, reduced) for _, _, qualname, _, reduced in seen} == {
        ("get_license_info", "get_license_info")}
    assert all(" get_license_info at " in text for _, _, _, text, _ in seen)


# Threads in a fresh interpreter, where no failure has been reported yet:
# the first report of each failure line happens in several threads at once.
_FIRST_FAILURES = f"""
import sys, threading, types
import veltrocam.tilso.sdk.license_helper as lh
sys.setswitchinterval(1e-6)
g = vars(lh)

class BadBool(str):
    def __bool__(self):
        raise ZeroDivisionError

class BadEq:
    def __eq__(self, other):
        raise ZeroDivisionError
    __hash__ = object.__hash__

class BadPlatform(str):
    def startswith(self, *args):
        raise ZeroDivisionError

def refuse(*args):
    raise ZeroDivisionError

g.update(os=types.SimpleNamespace(environ={{"B": BadBool("a:b")}}, popen=refuse),
         sys=types.SimpleNamespace(platform="linux"),
         click=types.SimpleNamespace(echo=refuse), update_bash_file=refuse)

cases = [
    (lambda: lh.get_license_info(1, 2), 15, "{GET}"),
    (lambda: lh.get_license_info("B"), 18, "{GET}"),
    (lambda: lh.get_license_info("unset"), 23, "{GET}"),
    (lambda: lh.set_to_environ(1), 27, "{SET}"),
    (lambda: lh.set_to_environ(BadEq(), "v"), 32, "{SET}"),
    (lambda: lh.set_to_environ("N", "v"), 43, "{SET}"),
]
wrong = []
barrier = threading.Barrier(len(cases) * 3)

def work(call, line, name):
    barrier.wait()
    for _ in range(200):
        try:
            call()
        except Exception as e:
            got = [entry[1:] for entry in entries(e) if entry[0] == {SOURCE_PATH!r}]
            if got != [[line, name]]:
                wrong.append([line, got])
        else:
            wrong.append([line, "no failure"])

threads = [threading.Thread(target=work, args=case) for case in cases for _ in range(3)]
for t in threads: t.start()
for t in threads: t.join()
report(wrong=wrong[:5], count=len(wrong))
"""


def test_first_reports_of_failures_from_several_threads():
    child = run_python(_FIRST_FAILURES)
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.reports == [{"wrong": [], "count": 0}]


# For a few seconds, threads call both functions while others change every
# input a call reads: os.environ's entries and its _data dict, the module's
# `os`, and the functions' writable attributes.  Each name only ever holds
# values of its own, so a result can be traced to the name it was read from.
_STRESS = """
import os, sys, threading, time, types, warnings
import veltrocam.tilso.sdk.license_helper as lh
warnings.simplefilter("ignore", RuntimeWarning)  # the defaults setters warn
sys.setswitchinterval(1e-6)
g, real_os = vars(lh), os
lines = []
g["click"] = types.SimpleNamespace(echo=lines.append)
NAMES = ["VELTROCAM_LICENSE", "STRESS_A", "STRESS_B", "STRESS_C"]
VALUES = {n: [f"{n.lower()}:{i}" for i in range(3)] + [n.lower(), ""] for n in NAMES}
def pick(n, i):
    return VALUES[n][i % len(VALUES[n])]
fakes = [types.SimpleNamespace(environ={n: pick(n, 1) for n in NAMES}), types.ModuleType("os")]
fakes[1].environ = {n: pick(n, 0) for n in NAMES[:2]}
deadline = time.monotonic() + DURATION
errors, seen = [], {n: set() for n in NAMES}

def loop(body):
    def run():
        i = 0
        try:
            while not i or time.monotonic() < deadline:
                body(i)
                i += 1
        except BaseException as e:
            errors.append((body.__name__, repr(e)))
    return run

def reader(i):
    n = NAMES[i % 4]
    got = (lh.get_license_info() if n == NAMES[0] and i % 3 else
           lh.get_license_info(license_name=n) if i % 2 else lh.get_license_info(n))
    seen[n].add(got)

def setter(i):  # the store refuses an empty value
    value = VALUES[NAMES[3 - i % 2]][i % 4]
    assert lh.set_to_environ(["STRESS_B"] if i % 2 else "STRESS_C", value) is None

def environ_writer(i):
    n = NAMES[i % 4]
    if i % 5:
        os.environ[n] = pick(n, i)
    else:  # os's own pop fails when the entry goes between its read and its del
        try:
            os.environ.pop(n, None)
        except KeyError:
            pass

def data_replacer(i):
    data = dict(os.environ._data)
    if i % 2:
        n = NAMES[i % 4]
        data[n.encode()] = pick(n, i + 1).encode()
    os.environ._data = data

def os_swapper(i):
    g["os"] = fakes[i % 2] if i % 3 else real_os

def attributes(f):
    def body(i):
        f.__defaults__ = ("STRESS_A",) if i % 2 else None
        f.__kwdefaults__ = {"license_name": "STRESS_A"} if i % 3 else None
        f.__dict__ = {"i": i}
        f.__doc__ = f.__name__ = f.__qualname__ = "f%d" % (i % 3)
        f.__annotations__ = {"return": i % 3}
        assert {f.__name__, f.__qualname__, f.__doc__} <= {"f0", "f1", "f2"}
        assert f.__annotations__["return"] in range(3) and f.__dict__.keys() == {"i"}
        assert f.__defaults__ in (None, ("STRESS_A",))
        assert f.__kwdefaults__ in (None, {"license_name": "STRESS_A"})
    return body

lh.set_to_environ("STRESS_C", "stress_c")  # the store's files exist before the threads start
bodies = [reader] * 4 + [setter] * 2 + [environ_writer, data_replacer, os_swapper] + [
          attributes(lh.get_license_info), attributes(lh.set_to_environ)] * 2
threads = [threading.Thread(target=loop(b)) for b in bodies]
for t in threads: t.start()
for t in threads: t.join()
g["os"] = real_os
final = {n: lh.get_license_info(n) for n in NAMES}
report(errors=errors[:5], seen={n: sorted(map(list, s), key=str)
       for n, s in seen.items()}, lines=sorted(set(lines)), final=final,
       environ={n: os.environ.get(n) for n in NAMES})
"""


def _split(value):
    return [None, None] if not value or ":" not in value else value.split(":", 1)


def test_calls_while_everything_they_read_changes(tmp_path):
    child = run_python(_STRESS.replace("DURATION", "3"), timeout=300,
                       env={"HOME": str(tmp_path), "XDG_CONFIG_HOME": str(tmp_path / "config")})
    assert child.returncode == 0, child.stderr[-3000:]
    [got] = child.reports
    assert got["errors"] == []
    values = {n: [f"{n.lower()}:{i}" for i in range(3)] + [n.lower(), ""] for n in got["seen"]}
    for name, results in got["seen"].items():
        assert results and all(r in [_split(v) for v in values[name]] for r in results), name
        assert got["final"][name] == _split(got["environ"][name]), name
    malformed = "当前环境变量 {} 的格式不正确，应为 用户名:密码"
    allowed = {NOTICE_UNSET, NOTICE_RESTART, *map(malformed.format, values)} | {
        f"当前 {shown} 已设置为 {v}" for shown, name in [("['STRESS_B']", "STRESS_B"),
                                                    ("STRESS_C", "STRESS_C")]
        for v in values[name]}
    assert set(got["lines"]) <= allowed
