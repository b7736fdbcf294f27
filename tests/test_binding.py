"""Binding call arguments, the same through every way of calling."""
import ctypes
import functools

import pytest

from conftest import GET, SET, call_slot, module_entries, vectorcall


def _vectorcall(function, args, kwargs):
    """Calls through PyObject_Vectorcall with keyword names made at run
    time (not interned), or no keyword-name tuple when there are none."""
    names = tuple("".join(list(k)) for k in kwargs)
    return vectorcall(function, args, names or None, kwargs.values())


CALLERS = {
    "direct": lambda f, a, k: f(*a, **k),
    "partial": lambda f, a, k: functools.partial(f, *a)(**k),
    "vectorcall": _vectorcall,
    "call_slot": call_slot,
}


@pytest.fixture(params=sorted(CALLERS))
def call(request):
    return CALLERS[request.param]


@pytest.fixture
def recorded(lh, module_globals):
    """Replaces what the bodies reach, so a bound call shows its arguments."""
    seen = []

    class Environ:
        def get(self, key):
            seen.append(key)
            return "u:p"

        def __setitem__(self, key, value):
            seen.append((key, value))

    class Os:
        environ = Environ()

    class Sys:
        platform = "linux"

    class Click:
        @staticmethod
        def echo(text):
            pass

    module_globals.update(os=Os(), sys=Sys(), click=Click(),
                          update_bash_file=lambda names, value: seen.append(("store", names, value)))
    return seen


@pytest.mark.parametrize("args, kwargs, bound", [
    ((), {}, "VELTROCAM_LICENSE"),
    (("A",), {}, "A"),
    ((), {"license_name": "B"}, "B"),
])
def test_get_license_info_binds(lh, recorded, call, args, kwargs, bound):
    assert call(lh.get_license_info, args, kwargs) == ("u", "p")
    assert recorded == [bound]


@pytest.mark.parametrize("args, kwargs", [
    (("N", "V"), {}),
    (("N",), {"value": "V"}),
    ((), {"variables": "N", "value": "V"}),
    ((), {"value": "V", "variables": "N"}),
])
def test_set_to_environ_binds(lh, recorded, call, args, kwargs, capsys):
    assert call(lh.set_to_environ, args, kwargs) is None
    assert recorded == [("store", ["N"], "V"), ("N", "V")]


@pytest.mark.parametrize("name, args, kwargs, message", [
    ("get_license_info", ("a", "b"), {}, "get_license_info() takes at most 1 positional argument (2 given)"),
    ("get_license_info", ("a", "b"), {"license_name": "c"}, "get_license_info() takes at most 1 positional argument (2 given)"),
    ("get_license_info", ("a",), {"license_name": "c"}, "get_license_info() got multiple values for keyword argument 'license_name'"),
    ("get_license_info", (), {"other": 1}, "get_license_info() got an unexpected keyword argument 'other'"),
    ("get_license_info", ("a",), {"other": 1}, "get_license_info() got an unexpected keyword argument 'other'"),
    ("set_to_environ", ("a",), {}, "set_to_environ() takes exactly 2 positional arguments (1 given)"),
    ("set_to_environ", ("a", "b", "c"), {}, "set_to_environ() takes exactly 2 positional arguments (3 given)"),
    ("set_to_environ", ("a", "b", "c"), {"value": 1}, "set_to_environ() takes exactly 2 positional arguments (3 given)"),
    ("set_to_environ", (), {}, "set_to_environ() takes exactly 2 positional arguments (0 given)"),
    ("set_to_environ", (), {"value": "v"}, "set_to_environ() takes exactly 2 positional arguments (0 given)"),
    ("set_to_environ", (), {"variables": "n"}, "set_to_environ() takes exactly 2 positional arguments (1 given)"),
    ("set_to_environ", (), {"variable_name": "n", "value": "v"}, "set_to_environ() takes exactly 2 positional arguments (0 given)"),
    ("set_to_environ", ("a",), {"variables": "n"}, "set_to_environ() takes exactly 2 positional arguments (1 given)"),
    ("set_to_environ", ("a", "b"), {"value": "v"}, "set_to_environ() got multiple values for keyword argument 'value'"),
    ("set_to_environ", ("a",), {"value": "v", "other": 1}, "set_to_environ() got an unexpected keyword argument 'other'"),
])
def test_binding_errors(lh, recorded, call, name, args, kwargs, message):
    function = getattr(lh, name)
    with pytest.raises(TypeError) as raised:
        call(function, args, kwargs)
    assert str(raised.value) == message
    line, qualified = (15, GET) if name == "get_license_info" else (27, SET)
    assert module_entries(raised.value) == [(line, qualified)]
    assert recorded == []


@pytest.mark.parametrize("args", [(), ("A",), ("A", "B")])
def test_an_empty_keyword_tuple_is_no_keywords(lh, recorded, args):
    for f in (lh.get_license_info, lh.set_to_environ):
        try:
            expected = f(*args)
        except TypeError as e:
            expected = str(e)
        recorded.clear()
        try:
            got = _vectorcall_empty_names(f, args)
        except TypeError as e:
            got = str(e)
        assert got == expected


def _vectorcall_empty_names(function, args):
    return vectorcall(function, args, ())


class _Key(str):
    """A keyword name that compares by a method of its own."""
    def __eq__(self, other):
        return str.__eq__(self, other)

    __hash__ = str.__hash__


def test_keyword_names_of_str_subclasses_bind_by_equality(lh, recorded):
    assert lh.get_license_info(**{_Key("license_name"): "K"}) == ("u", "p")
    assert recorded == ["K"]


def test_a_failing_comparison_passes_its_exception_on(lh, recorded):
    class Angry(str):
        def __eq__(self, other):
            raise ZeroDivisionError("no comparison")
        __hash__ = str.__hash__

    with pytest.raises(ZeroDivisionError) as raised:
        lh.get_license_info(**{Angry("license_nam_"): 1})
    assert module_entries(raised.value) == [(15, GET)]


def test_the_functions_are_vectorcall_callables(lh):
    find = ctypes.pythonapi.PyVectorcall_Function
    find.restype = ctypes.c_void_p
    find.argtypes = [ctypes.py_object]
    entries = {find(lh.get_license_info), find(lh.set_to_environ)}
    assert len(entries) == 1 and None not in entries
