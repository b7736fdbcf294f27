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
    # The loop looks `os` up again for every name, as Python's does, so one
    # call may put its names into different environments; every name still
    # lands in one of them, with a value some call stored.
    for name in names:
        found = [environ[name] for environ in (os.environ, fake_environ) if name in environ]
        assert found and set(found) <= {"x:1", "y:2"}


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


# For a few seconds, threads call both functions while others change all a
# call reads: os.environ's entries and its _data, the module's `os`, the
# functions' attributes.  Each name holds values of its own only, so every
# result and line shows which name it came from.
_STRESS = """
import os, sys, threading, time, types, warnings
import veltrocam.tilso.sdk.license_helper as lh
warnings.simplefilter("ignore", RuntimeWarning)  # the defaults setters warn
sys.setswitchinterval(1e-6)
g, real_os, lines, errors, seen = vars(lh), os, [], [], set()
g["click"] = types.SimpleNamespace(echo=lines.append)
NAMES = ["VELTROCAM_LICENSE", "STRESS_A", "STRESS_B", "STRESS_C"]
VALUES = {n: [f"{n.lower()}:{i}" for i in range(3)] + [n.lower(), ""] for n in NAMES}
pick = lambda n, i: VALUES[n][i % 5]
fakes = [types.SimpleNamespace(environ={n: pick(n, 1) for n in NAMES}), types.ModuleType("os")]
fakes[1].environ = {n: pick(n, 0) for n in NAMES[:2]}
lh.set_to_environ("STRESS_C", "stress_c")  # the store's files exist before the threads start
deadline = time.monotonic() + 3
split = lambda v: (None, None) if not v or ":" not in v else tuple(v.split(":", 1))
stale = []
def loop(body, i=0):
    try:
        while not i or time.monotonic() < deadline:
            body(i)
            i += 1
    except BaseException as e:
        errors.append(repr(e))
    if body is swap_os:
        g["os"] = real_os
    # Once every writer stopped, each reader (with the caches of its own
    # thread) must see the last write.
    finish.wait()
    if body is reader:
        stale.extend(n for n in NAMES if lh.get_license_info(n) != split(os.environ.get(n)))
def reader(i, n="VELTROCAM_LICENSE"):
    seen.add((n, lh.get_license_info()) if i % 3 == 0 else (n := NAMES[i % 4],
             lh.get_license_info(license_name=n) if i % 2 else lh.get_license_info(n)))
# libc's setenv is not safe between threads, and os.environ calls it
# unlocked: the writers take turns at it, the readers do not.
putenv = threading.Lock()
def setter(i):  # the store refuses an empty value
    with putenv:
        lh.set_to_environ(["STRESS_B"] if i % 2 else "STRESS_C", pick(NAMES[3 - i % 2], i % 4))
def environ_writer(i, n="VELTROCAM_LICENSE"):
    try:
        with putenv:
            os.environ.__setitem__(n := NAMES[i % 4], pick(n, i)) if i % 5 else os.environ.pop(n, None)
    except KeyError:  # os's own pop, when the entry goes between its read and its del
        pass
def data_replacer(i, n="STRESS_A"):
    os.environ._data = {**os.environ._data, **({n.encode(): pick(n, i).encode()} if i % 2 else {})}
def attributes(f):
    def body(i):
        f.__defaults__, f.__kwdefaults__ = (("A",) if i % 2 else None), ({"a": 1} if i % 3 else None)
        f.__dict__, f.__annotations__ = {"i": i}, {"return": i % 3}
        f.__doc__ = f.__name__ = f.__qualname__ = "f%d" % (i % 3)
        assert {f.__name__, f.__qualname__, f.__doc__} <= {"f0", "f1", "f2"} and list(f.__dict__) == ["i"]
        assert (f.__defaults__, f.__kwdefaults__, f.__annotations__["return"]) in [
            (d, k, r) for d in (None, ("A",)) for k in (None, {"a": 1}) for r in range(3)]
    return body
swap_os = lambda i: g.__setitem__("os", (real_os, *fakes)[i % 3])
bodies = [reader] * 4 + [setter] * 2 + [environ_writer, data_replacer, attributes(lh.get_license_info),
          attributes(lh.set_to_environ), swap_os]
finish = threading.Barrier(len(bodies))
threads = [threading.Thread(target=loop, args=(b,)) for b in bodies]
for t in threads: t.start()
for t in threads: t.join()
g["os"] = real_os
seen |= {(n, lh.get_license_info(n)) for n in NAMES}
shown = {"STRESS_C": "STRESS_C", "STRESS_B": "['STRESS_B']"}
report(errors=errors, stale=stale, final=all(lh.get_license_info(n) == split(os.environ.get(n)) for n in NAMES),
       wrong=[r for r in seen if r[1] not in map(split, VALUES[r[0]])], read=len(seen), lines=sorted(
       set(lines) - {f"当前环境变量 {n} 的格式不正确，应为 用户名:密码" for n in NAMES} - {
       f"当前 {shown[n]} 已设置为 {v}" for n in shown for v in VALUES[n]}))
"""


def test_calls_while_everything_they_read_changes(tmp_path):
    child = run_python(_STRESS, timeout=300,
                       env={"HOME": str(tmp_path), "XDG_CONFIG_HOME": str(tmp_path / "config")})
    assert child.returncode == 0, child.stderr[-3000:]
    [got] = child.reports
    assert got["read"] > 8 and got.pop("read")
    assert got == {"errors": [], "stale": [], "final": True, "wrong": [],
                   "lines": sorted({NOTICE_RESTART, NOTICE_UNSET})}


# ---------------------------------------------------------------------------
# A caller's list changed by other threads while the call walks it.

def test_a_list_changed_during_the_call_is_walked_like_a_for_loop():
    child = run_python("""
        import threading
        from veltrocam.tilso.sdk import license_helper as lh
        lh.update_bash_file = lambda variables, value: None
        lh.click = type("C", (), {"echo": staticmethod(lambda text: None)})
        names = [f"LH_LIST_{i}" for i in range(40)]
        variables = list(names)
        stop = threading.Event()
        def churn():
            while not stop.is_set():
                variables.extend(names)
                del variables[40:]
                variables.clear()
                variables.extend(names)
        threads = [threading.Thread(target=churn) for _ in range(2)]
        for thread in threads:
            thread.start()
        errors = []
        for _ in range(3000):
            try:
                lh.set_to_environ(variables, "v")
            except Exception as e:
                errors.append(repr(e))
        stop.set()
        for thread in threads:
            thread.join()
        import os
        stray = [k for k in os.environ if k.startswith("LH_LIST_") and k not in names]
        report(errors=errors[:3], stray=stray)
    """, timeout=300)
    assert child.returncode == 0, child.stderr
    assert child.reports[0] == {"errors": [], "stray": []}


# Another extension's watcher that runs Python code while a dict tells its
# watchers of a change lets other threads run before the change is made.
_SLOW_WATCHER = """
import ctypes, sys, threading, time, types
from veltrocam.tilso.sdk import license_helper as lh
sys.setswitchinterval(1e-6)
echoed = []
clicks = [types.SimpleNamespace(echo=lambda text, i=i: echoed.append(i)) for i in range(2)]
lh.click = clicks[0]
WATCH = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p,
                         ctypes.c_void_p)
def slow(event, d, key, value):
    if key == id("click"):
        end = time.perf_counter() + 0.02
        while time.perf_counter() < end:
            pass
    return 0
callback = WATCH(slow)
add = ctypes.pythonapi.PyDict_AddWatcher
add.argtypes = [WATCH]
ctypes.pythonapi.PyDict_Watch(add(callback), ctypes.py_object(vars(lh)))
stop, stale = threading.Event(), []
def reader():
    while not stop.is_set():
        lh.get_license_info("LH_NONE")
    lh.get_license_info("LH_NONE")
    stale.append(echoed[-1])
threads = [threading.Thread(target=reader) for _ in range(2)]
for t in threads: t.start()
for i in range(20):
    lh.click = clicks[(i + 1) % 2]
    time.sleep(0.005)
stop.set()
for t in threads: t.join()
lh.get_license_info("LH_NONE")
report(last=stale + [echoed[-1]])
"""


@pytest.mark.skipif(sys.version_info < (3, 12), reason="dict watchers are new in 3.12")
def test_a_slow_watcher_of_another_extension_leaves_no_stale_cache():
    child = run_python(_SLOW_WATCHER, timeout=120)
    assert child.returncode == 0, child.stderr[-3000:]
    assert child.reports == [{"last": [0, 0, 0]}]
