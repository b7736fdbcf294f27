"""Function objects of every call convention, made by the test-only module
`_runtime_probe` (built with LICENSE_HELPER_PROBE=ON): what each vectorcall
entry and the type's call slot hand to the native entry, their checks and
messages, binding through instances, defaults, the coroutine marker and
collection.  Skipped where the probe was not built, and never skipped where
LICENSE_HELPER_PROBE=ON says it was."""
import asyncio.coroutines
import gc
import importlib
import os
import sys
import tracemalloc
import warnings
import weakref

import pytest

from conftest import call_slot, run_python, vectorcall

PROBE = "veltrocam.tilso.sdk._runtime_probe"
if os.environ.get("LICENSE_HELPER_PROBE") == "ON":
    probe = importlib.import_module(PROBE)
else:
    probe = pytest.importorskip(PROBE)

RF, STATIC = probe.RECEIVER_FIRST, probe.STATIC
QUALNAME = "Outer." + "inner_" * 40
LONG = "long_name_" * 20 + "end"  # a record name longer than messages keep


class Receiver:
    pass


R = Receiver()
F = object()  # stands for the function itself in expected reports


def make(record, flags=0, **options):
    if record == "method":
        options.setdefault("defining_class", Receiver)
    return probe.function(record, QUALNAME, flags=flags, **options)


def slot(f, args=(), kwargs=None):
    """The type's call slot with `kwargs` (a dict or None) as it is: the
    interpreter's own calls take the vectorcall entry whenever there is one,
    but a slot wrapper passes both the tuple and the dict straight on."""
    if kwargs is None:
        return type(f).__call__(f, *args)
    return call_slot(type(f).__call__, (f, *args), kwargs)


CALLERS = {
    "direct": lambda f, a, k: f(*a, **k) if k else f(*a),
    # Keyword names made at run time; no name tuple at all without keywords.
    "vectorcall": lambda f, a, k: vectorcall(f, a, tuple("".join(n) for n in k) or None,
                                             k.values()),
    "slot": lambda f, a, k: slot(f, a, k or None),
    "slot_dict": lambda f, a, k: slot(f, a, dict(k)),  # an empty dict too
}


def expected(record, receiver, args, kwargs, caller):
    names = tuple(kwargs) or None
    if record == "varargs_keywords":  # no vectorcall entry: the call slot
        return (record, receiver, args, kwargs or ({} if caller == "slot_dict" else None))
    vector = (args, names, tuple(kwargs.values()), len(args))
    return {"noargs": ("noargs", receiver, True), "o": ("o", receiver, *args),
            "fastcall_keywords": (record, receiver, *vector),
            "method": (record, receiver, Receiver, *vector)}[record]


@pytest.mark.parametrize("caller", sorted(CALLERS))
@pytest.mark.parametrize("flags", [0, RF, RF | STATIC], ids=["plain", "receiver", "static"])
@pytest.mark.parametrize("record, args, kwargs", [
    ("noargs", (), {}), ("o", ("x",), {}), ("fastcall_keywords", (), {}),
    ("fastcall_keywords", (1, 2), {"b": 3, "a": 4}), ("method", (1,), {"a": 2}),
    ("varargs_keywords", (), {}), ("varargs_keywords", (1, 2), {"b": 3, "a": 4}),
])
def test_each_entry_passes_what_it_gets(record, args, kwargs, flags, caller):
    f = make(record, flags)
    receiver_first = flags == RF
    called = (R, *args) if receiver_first else args
    got = CALLERS[caller](f, called, kwargs)
    assert got == expected(record, R if receiver_first else f, args, kwargs, caller)
    assert got[1] is (R if receiver_first else f)


def test_empty_and_masked_call_flags():
    """An empty keyword-name tuple is no keywords; bits outside the call
    flags change nothing."""
    f = make("noargs")
    assert vectorcall(f, (), ()) == ("noargs", f, True)
    g = make("fastcall_keywords")
    assert vectorcall(g, (1,), ()) == ("fastcall_keywords", g, (1,), (), (), 1)
    h = make("o_coexist")
    assert h(5) == slot(h, (5,)) == ("o", h, 5)


@pytest.mark.parametrize("record", ["varargs", "fastcall", "noargs_o", "method_o", "none"])
def test_creation_refuses_other_call_flags(record):
    qualname = "".join(["refused_", record])
    before = sys.getrefcount(qualname)
    with pytest.raises(SystemError, match=r"^Bad call flags for PellixFunction$"):
        probe.function(record, qualname)
    assert sys.getrefcount(qualname) == before


@pytest.mark.parametrize("through_slot", [False, True], ids=["vectorcall", "slot"])
@pytest.mark.parametrize("record, flags, args, kwargs, message", [
    ("noargs", 0, (1,), {}, "noargs() takes no arguments (1 given)"),
    ("noargs", 0, (1, 2), {"a": 1}, "noargs() takes no keyword arguments"),
    ("o", 0, (), {}, "o() takes exactly one argument (0 given)"),
    ("o", 0, (1, 2), {}, "o() takes exactly one argument (2 given)"),
    ("o", 0, (), {"a": 1}, "o() takes no keyword arguments"),
    ("o_coexist", 0, (1, 2, 3), {}, "o_coexist() takes exactly one argument (3 given)"),
    (LONG, 0, (), {}, LONG[:200] + "() takes exactly one argument (0 given)"),
    ("noargs", RF, (), {"a": 1}, "noargs() needs an argument"),
    ("noargs", RF, (R, 1), {}, "noargs() takes no arguments (1 given)"),
    ("o", RF, (R,), {}, "o() takes exactly one argument (0 given)"),
    ("o", RF, (), {"a": 1}, "o() needs an argument"),
    ("o", RF, (R, 1), {"a": 1}, "o() takes no keyword arguments"),
    ("fastcall_keywords", RF, (), {"a": 1}, "fastcall_keywords() needs an argument"),
    ("method", RF, (), {}, "method() needs an argument"),
    ("varargs_keywords", RF, (), {"a": 1}, f"unbound method {QUALNAME[:200]}() needs an argument"),
])
def test_checks_and_their_messages(record, flags, args, kwargs, message, through_slot):
    f = make(record, flags)
    with pytest.raises(TypeError) as raised:
        slot(f, args, kwargs) if through_slot else f(*args, **kwargs)
    assert str(raised.value) == message


@pytest.mark.parametrize("record, flags, args, kwargs, result", [
    ("noargs", 0, (), None, ("noargs", F, True)),
    ("noargs", 0, (), {}, ("noargs", F, True)),
    ("noargs", 0, (1,), None, "noargs() takes no arguments (1 given)"),
    ("noargs", 0, (), {"a": 1}, "noargs() takes no keyword arguments"),
    ("o", 0, (1,), {}, ("o", F, 1)),
    ("o", 0, (1, 2), None, "o() takes exactly one argument (2 given)"),
    ("o", 0, (1,), {"a": 1}, "o() takes no keyword arguments"),
    ("varargs", 0, (1, 2), {}, ("varargs", F, (1, 2))),
    ("varargs", 0, (1,), {"a": 1}, "varargs() takes no keyword arguments"),
    ("o", RF, (R, 1), None, ("o", R, 1)),
    ("o", RF, (), None, f"unbound method {QUALNAME[:200]}() needs an argument"),
    ("o", RF | STATIC, (1,), None, ("o", F, 1)),
    ("fastcall_keywords", 0, (), None, SystemError("Bad call flags for PellixFunction")),
])
def test_call_slot_by_the_record_flags(record, flags, args, kwargs, result):
    """Objects without a vectorcall entry, called through the slot by the
    record's own flags."""
    f = make(record, flags, slot_only=True)
    if isinstance(result, tuple):
        assert slot(f, args, kwargs) == tuple(f if item is F else item for item in result)
        return
    error = result if isinstance(result, Exception) else TypeError(result)
    with pytest.raises(type(error)) as raised:
        slot(f, args, kwargs)
    assert str(raised.value) == str(error)


def test_call_slot_keyword_dict():
    f = make("fastcall_keywords")
    name, value = "".join(["ke", "y"]), object()
    counts = sys.getrefcount(name), sys.getrefcount(value)
    kwargs = {"b": 1, name: value, "a": 2}
    assert slot(f, (0,), kwargs) == ("fastcall_keywords", f, (0,), ("b", "key", "a"),
                                     (1, value, 2), 1)
    for wrong in ({name: value, 1: 2}, {b"a": 2, name: value}):
        with pytest.raises(TypeError) as raised:
            slot(f, (0,), wrong)
        assert str(raised.value) == "keywords must be strings"
    del kwargs, wrong, raised
    assert (sys.getrefcount(name), sys.getrefcount(value)) == counts

    class Name(str):
        pass
    assert slot(f, (), {Name("n"): 1})[3] == ("n",)


def test_call_slot_frees_its_keyword_vector():
    f = make("fastcall_keywords")
    kwargs = {"a": 1, "b": 2}
    tracemalloc.start()
    try:
        for _ in range(100):
            slot(f, (1,), kwargs)
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(5000):
            slot(f, (1,), kwargs)
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 5000 * 8


def test_keyword_dict_changed_by_its_keys():
    """A key whose comparison empties and refills the dict while it is
    copied: the copy fails, nothing is called, nothing crashes."""
    f = make("fastcall_keywords")
    state = {"armed": False}
    kwargs = {}

    class Key(str):
        def __hash__(self):
            return 7

        def __eq__(self, other):
            if state["armed"]:
                kwargs.clear()
                kwargs.update((str(i), i) for i in range(20))
            return self is other

    kwargs.update({Key("a"): 1, Key("b"): 2, **{f"x{i}": i for i in range(6)}})
    for i in range(6):
        del kwargs[f"x{i}"]  # a dict with holes is copied key by key
    state["armed"] = True
    with pytest.raises(RuntimeError, match="dict mutated during update"):
        slot(f, (), kwargs)


@pytest.mark.parametrize("flags", [0, RF, RF | STATIC], ids=["plain", "receiver", "static"])
@pytest.mark.parametrize("record", ["o", "fastcall_keywords", "varargs_keywords"])
def test_binding_through_an_instance(record, flags):
    f = make(record, flags)

    class Holder:
        method = f

    holder = Holder()
    assert Holder.method is f and f.__get__(None, Holder) is f
    bound = holder.method
    assert type(bound).__name__ == "method" and bound.__self__ is holder
    receiver = holder if flags == RF else f
    args = () if flags == RF else (holder,)
    for call in (holder.method, bound, lambda *a: bound(*a, **{})):
        if record == "o":
            if flags == RF:
                assert call(1) == ("o", holder, 1)
            else:
                with pytest.raises(TypeError, match=r"^o\(\) takes exactly one argument \(2 given\)$"):
                    call(1)
            continue
        got = call(1)
        assert got[:3] == (record, receiver, (*args, 1))
        assert got[1] is receiver


def test_attributes_of_records_and_creation():
    f = make("undocumented")
    assert f.__doc__ is None and f.__module__ is None and f.__code__ is None
    assert f.__globals__ is vars(probe) and f.__name__ == "undocumented"
    f.__doc__ = "set"
    assert f.__doc__ == "set"
    g = probe.function("o", "o", module="somewhere")
    assert g.__doc__ == "The one-argument convention." and g.__module__ == "somewhere"
    assert repr(g) == f"<pellixfunction o at {hex(id(g))}>"


def test_defaults_getter_runs_once_and_failures_store_nothing():
    f = make("o", defaults=(("d",), {"k": 1}), getter=True)
    calls = probe.getter_calls()
    assert f.__kwdefaults__ == {"k": 1} and f.__defaults__ == ("d",)
    assert f.__kwdefaults__ == {"k": 1}
    assert probe.getter_calls() == calls + 1
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        f.__defaults__ = ("new",)
    assert f.__defaults__ == ("new",) and probe.getter_calls() == calls + 1

    g = make("o", defaults=(["no tuple"], {}), getter=True)
    for attribute in ("__defaults__", "__kwdefaults__", "__defaults__"):
        with pytest.raises(TypeError, match="the defaults block holds no tuple and dict"):
            getattr(g, attribute)
    assert probe.getter_calls() == calls + 4
    probe.set_default(g, 0, ("fixed",))
    assert g.__defaults__ == ("fixed",) and g.__kwdefaults__ == {}
    assert make("o", defaults=((1,), {})).__defaults__ is None  # no getter


def test_collection_of_what_the_object_holds():
    held, cls = object(), type("Defining", (), {})
    f = make("method", defaults=(held, 0), defining_class=cls)
    referents = gc.get_referents(f)
    assert any(r is held for r in referents) and any(r is cls for r in referents)
    assert f()[2] is cls
    collected = []
    # A cycle through the defaults block alone: only the object's own clear
    # can break it, after its traverse showed the tuple as held.
    probe.set_default(f, 1, (f,))
    ref = weakref.ref(f, collected.append)
    del f
    gc.collect()
    assert ref() is None and collected == [ref]
    counts = sys.getrefcount(held)
    g = make("o", defaults=(held, held))
    ref = weakref.ref(g, collected.append)
    del g  # freed at once, outside the collector
    assert ref() is None and collected[1:] == [ref]
    assert sys.getrefcount(held) == counts


def test_coroutine_marker():
    f = make("o", probe.COROUTINE)
    assert f._is_coroutine is asyncio.coroutines._is_coroutine
    assert make("o", RF | STATIC)._is_coroutine is False
    child = run_python(f"""
        import sys, types
        import {PROBE} as probe
        sys.modules["asyncio.coroutines"] = None
        first = probe.function("o", "o", flags=probe.COROUTINE)._is_coroutine
        sys.modules["asyncio.coroutines"] = types.ModuleType("asyncio.coroutines")
        second = probe.function("o", "o", flags=probe.COROUTINE)._is_coroutine
        report(first=first, second=second)
    """)
    assert child.reports == [{"first": True, "second": True}], child.stderr


_NO_MEMORY = f"""
import _testcapi, asyncio.coroutines
import {PROBE} as probe

class Receiver:
    pass

receiver = Receiver()
slot = lambda f, *a, **k: type(f).__call__(f, *a, **k)
made = lambda record, flags=0: probe.function(record, "q", flags=flags)
# Tuples too long for the interpreter's free lists, which allocate nothing.
keywords = {{f"k{{i}}": i for i in range(30)}}
cases = {{
    "keywords through the slot": (lambda: made("fastcall_keywords"),
                                  lambda f: slot(f, 1, **keywords)[2:]),
    "receiver through the slot": (lambda: made("varargs_keywords", probe.RECEIVER_FIRST),
                                  lambda f: f(receiver, *range(30))[1:3] == (receiver, tuple(range(30)))),
    "doc": (lambda: made("noargs"), lambda f: f.__doc__),
    "name": (lambda: made("noargs"), lambda f: f.__name__),
    "coroutine marker": (lambda: made("o", probe.COROUTINE),
                         lambda f: f._is_coroutine is asyncio.coroutines._is_coroutine or
                                   f._is_coroutine),
}}
for label, (setup, action) in cases.items():
    normal, kinds, n, quiet = action(setup()), set(), 0, 0
    while quiet < 30:
        f = setup()
        _testcapi.set_nomemory(n, n + 1)
        try:
            got = action(f)
        except BaseException as e:
            _testcapi.remove_mem_hooks()
            got = e
        else:
            _testcapi.remove_mem_hooks()
        kind = type(got).__name__ if isinstance(got, BaseException) else repr(got == normal)
        kinds.add(kind)
        quiet = quiet + 1 if kind == "True" else 0
        assert action(setup()) == normal
        n += 1
    report(label=label, kinds=sorted(kinds))
"""


def test_failing_allocations_raise_memory_error():
    """Each allocation of the slot's keyword vector and name tuple, the
    receiver's slice, the lazily made attributes and the marker's import
    fails in turn: MemoryError, or the normal result (the marker falls back
    to True, the normal result when its import fails)."""
    child = run_python(_NO_MEMORY)
    assert child.returncode == 0, child.stderr[-3000:]
    assert {r["label"]: r["kinds"] for r in child.reports} == {
        "keywords through the slot": ["MemoryError", "True"],
        "receiver through the slot": ["MemoryError", "True"],
        "doc": ["MemoryError", "True"], "name": ["MemoryError", "True"],
        "coroutine marker": ["MemoryError", "True"],
    }
