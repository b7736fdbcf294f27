"""The function objects: attributes, representation, pickling, binding as
methods, calls through the type's call slot and introspection tools."""
import copy
import doctest
import inspect
import pickle
import pydoc
import sys
import warnings
import weakref

import pytest

from conftest import MODULE, SOURCE_PATH, call_slot

SET_DOC = "将变量设置到环境变量\n    :param variable_name: string\n    :param value: string\n    "


@pytest.fixture(params=["get_license_info", "set_to_environ"])
def function(request, lh):
    """A function object, its attributes restored after the test."""
    f = getattr(lh, request.param)
    saved = {k: getattr(f, k) for k in ("__doc__", "__name__", "__qualname__", "__module__",
                                        "__defaults__", "__kwdefaults__")}
    yield f
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for key, value in saved.items():
            setattr(f, key, value)
    f.__dict__.clear()


def test_fixed_attributes(lh):
    g, s = lh.get_license_info, lh.set_to_environ
    assert type(g).__name__ == "compiled_function_or_method"
    assert (g.__name__, g.__qualname__, s.__name__, s.__qualname__) == (
        "get_license_info", "get_license_info", "set_to_environ", "set_to_environ")
    assert g.__module__ == s.__module__ == MODULE
    assert g.__globals__ is s.__globals__ is vars(lh)
    assert g.__closure__ is s.__closure__ is None
    assert g.__doc__ == "从license获取账户的相关信息" and s.__doc__ == SET_DOC
    assert g.__defaults__ == ("VELTROCAM_LICENSE",) and s.__defaults__ is None
    assert g.__defaults__[0] is sys.intern("VELTROCAM_LICENSE")
    assert g.__kwdefaults__ is None and s.__kwdefaults__ is None
    assert g._is_coroutine is False and s._is_coroutine is False
    assert g.func_name == "get_license_info" and g.func_globals is g.__globals__


@pytest.mark.parametrize("name, argcount, varnames, line", [
    ("get_license_info", 1, ("license_name", "license", "user", "pw"), 15),
    ("set_to_environ", 2, ("variables", "value", "var_name", "variable_name"), 27),
])
def test_code_objects(lh, name, argcount, varnames, line):
    code = getattr(lh, name).__code__
    assert (code.co_name, code.co_qualname, code.co_filename, code.co_firstlineno) == (
        name, name, SOURCE_PATH, line)
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (argcount, 0, 0)
    # The stack size is 0 as given, or what the interpreter makes of that.
    stacksize = (lambda: None).__code__.replace(co_stacksize=0).co_stacksize
    assert (code.co_nlocals, code.co_stacksize, code.co_flags) == (4, stacksize, 3)
    assert code.co_varnames == varnames
    assert code.co_consts == () and code.co_names == () and code.co_freevars == ()
    assert code.co_code == b"" and code.co_name is code.co_qualname
    assert all(v is sys.intern(v) for v in code.co_varnames)


def test_notices_are_interned_only_when_they_are_identifiers(lh, capsys):
    lh.get_license_info("VELTROCAM_NO_SUCH_VARIABLE")
    # The printed notice is the module's own object: interning it must give
    # that same object back, while the non-identifier notices are copies.
    notice = sys.intern("当前环境未配置用户名和密码")
    assert capsys.readouterr().out == notice + "\n"
    fresh = "当前 {var_name} 已设置为 {value}"
    assert sys.intern(fresh) is fresh  # nothing of that text was interned before


def test_representation_and_reduce(lh):
    f = lh.get_license_info
    assert repr(f) == "<pellixfunction get_license_info at %#x>" % id(f)
    assert f.__reduce__() == "get_license_info"
    assert pickle.loads(pickle.dumps(f)) is f
    assert copy.copy(f) is f and copy.deepcopy(f) is f


@pytest.mark.parametrize("attribute, value, message", [
    ("__name__", 1, "__name__ must be set to a string object"),
    ("__name__", None, "__name__ must be set to a string object"),
    ("__qualname__", b"x", "__qualname__ must be set to a string object"),
    ("__dict__", [], "setting function's dictionary to a non-dict"),
    ("__defaults__", [1], "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
    ("__annotations__", 3, "__annotations__ must be set to a dict object"),
])
def test_setters_refuse_wrong_types_and_keep_the_old_value(function, attribute, value, message):
    before = getattr(function, attribute)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no warning may come first
        with pytest.raises(TypeError) as raised:
            setattr(function, attribute, value)
    assert str(raised.value) == message
    assert getattr(function, attribute) == before


@pytest.mark.parametrize("attribute, message", [
    ("__name__", "__name__ must be set to a string object"),
    ("__qualname__", "__qualname__ must be set to a string object"),
    ("__dict__", "function's dictionary may not be deleted"),
])
def test_deleters_that_refuse(function, attribute, message):
    with pytest.raises(TypeError) as raised:
        delattr(function, attribute)
    assert str(raised.value) == message


@pytest.mark.parametrize("attribute", ["__globals__", "__closure__", "__code__",
                                       "_is_coroutine", "func_code"])
@pytest.mark.parametrize("delete", [False, True])
def test_read_only_attributes(function, attribute, delete):
    with pytest.raises(AttributeError, match="not writable"):
        if delete:
            delattr(function, attribute)
        else:
            setattr(function, attribute, None)


class _Name(str):
    pass


def test_setters_store_and_deleters_reset(function):
    function.__name__ = _Name("renamed")
    function.__qualname__ = "Q.renamed"
    assert function.__name__ == "renamed" and type(function.__name__) is _Name
    assert repr(function).startswith("<pellixfunction Q.renamed at ")
    function.__doc__ = 42
    assert function.__doc__ == 42
    del function.__doc__
    assert function.__doc__ is None
    function.__module__ = 7
    assert function.__module__ == 7
    del function.__module__
    assert function.__module__ is None
    function.extra = "x"
    assert function.__dict__ == {"extra": "x"}
    function.__dict__ = {"other": 1}
    assert function.other == 1


def test_annotations_are_made_on_demand(function):
    first = function.__annotations__
    assert first == {} and function.__annotations__ is first
    function.__annotations__ = {"a": int}
    assert function.__annotations__ == {"a": int}
    function.__annotations__ = None
    assert function.__annotations__ == {} and function.__annotations__ is not first
    del function.__annotations__
    assert function.__annotations__ == {}


@pytest.mark.parametrize("attribute, value", [
    ("__defaults__", ("X",)), ("__defaults__", None), ("__kwdefaults__", {"a": 1}),
    ("__kwdefaults__", None)])
def test_defaults_setters_warn_then_store(function, attribute, value):
    with pytest.warns(RuntimeWarning) as caught:
        setattr(function, attribute, value)
    assert [str(w.message) for w in caught] == [
        f"changes to pellixfunction.{attribute} will not currently affect the values used "
        "in function calls"]
    assert getattr(function, attribute) == value
    with pytest.warns(RuntimeWarning):
        delattr(function, attribute)
    assert getattr(function, attribute) is None


@pytest.mark.parametrize("attribute, value", [("__defaults__", ("X",)),
                                              ("__kwdefaults__", {"a": 1})])
def test_defaults_setters_fail_when_warnings_are_errors(function, attribute, value):
    before = getattr(function, attribute)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning):
            setattr(function, attribute, value)
    assert getattr(function, attribute) == before


def test_replaced_defaults_do_not_change_calls(lh, environ_restored, capsys):
    environ_restored["VELTROCAM_LICENSE"] = "u:p"
    environ_restored["OTHER"] = "o:q"
    with pytest.warns(RuntimeWarning):
        lh.get_license_info.__defaults__ = ("OTHER",)
    try:
        assert lh.get_license_info() == ("u", "p")
    finally:
        with pytest.warns(RuntimeWarning):
            lh.get_license_info.__defaults__ = ("VELTROCAM_LICENSE",)


def test_binding_through_a_class(lh, environ_restored):
    class Holder:
        read = lh.get_license_info

        def __str__(self):
            return "HOLDER_VARIABLE"

    environ_restored["HOLDER_VARIABLE"] = "a:b"
    holder = Holder()
    bound = holder.read
    assert type(bound).__name__ == "method" and bound.__self__ is holder
    assert Holder.read is lh.get_license_info
    assert lh.get_license_info.__get__(None, Holder) is lh.get_license_info
    # The instance binds to license_name; os.environ refuses a non-str key.
    with pytest.raises(TypeError, match="str expected, not Holder"):
        bound()
    with pytest.raises(TypeError, match=r"takes at most 1 positional argument \(2 given\)"):
        bound("x")


def testcall_slot(lh, environ_restored):
    environ_restored["SLOT_VARIABLE"] = "s:t"
    f = lh.get_license_info
    assert call_slot(f, ("SLOT_VARIABLE",), {}) == ("s", "t")
    assert call_slot(f, (), {"license_name": "SLOT_VARIABLE"}) == ("s", "t")
    with pytest.raises(TypeError) as raised:
        call_slot(f, (), {1: "SLOT_VARIABLE"})
    assert str(raised.value) == "keywords must be strings"
    assert type(f).__call__(f, "SLOT_VARIABLE") == ("s", "t")


def test_weak_references_are_cleared(lh):
    class Sub(type(lh.get_license_info)):
        pass
    assert issubclass(Sub, type(lh.get_license_info))
    ref = weakref.ref(lh.get_license_info)
    assert ref() is lh.get_license_info
    code = compile("import weakref, sys\n"
                   "m = sys.modules[%r]\n" % MODULE, "<test>", "exec")
    namespace = {}
    exec(code, namespace)
    assert weakref.ref(namespace["m"].set_to_environ)() is lh.set_to_environ


def test_introspection_tools(lh):
    assert str(inspect.signature(lh.get_license_info)) == "(license_name='VELTROCAM_LICENSE')"
    assert str(inspect.signature(lh.set_to_environ)) == "(variables, value)"
    text = pydoc.render_doc(lh.get_license_info, renderer=pydoc.plaintext)
    assert "get_license_info(license_name='VELTROCAM_LICENSE')" in text
    assert "从license获取账户的相关信息" in text
    assert doctest.DocTestFinder().find(lh) is not None
    assert inspect.getdoc(lh.set_to_environ).startswith("将变量设置到环境变量")
