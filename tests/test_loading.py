"""Loading the native module: each case runs in a fresh interpreter."""
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from conftest import FREE_THREADED, GET, INIT, MODULE, SOURCE_PATH, run_python

REPO = Path(__file__).resolve().parent.parent


def test_import_gives_a_plain_registered_module():
    # Any warning is an error, and the GIL is left to the module: a
    # free-threaded build keeps it off only for a module that declares
    # itself safe without it.
    child = run_python(f"""
        import builtins, sys
        import {MODULE} as m
        report(doc=m.__doc__ is None, builtins=m.__builtins__ is builtins,
               registered=sys.modules["{MODULE}"] is m,
               names=sorted(k for k in vars(m) if not k.startswith("__") or k == "__test__"),
               test=m.__test__, gil=getattr(sys, "_is_gil_enabled", lambda: True)())
    """, env={"PYTHON_GIL": None}, args=("-W", "error"))
    assert child.returncode == 0, child.stderr
    assert child.reports == [{
        "doc": True, "builtins": True, "registered": True,
        "names": ["__test__", "click", "get_license_info", "os", "re", "set_to_environ", "sys",
                  "update_bash_file"],
        "test": {}, "gil": not FREE_THREADED}]


@pytest.mark.parametrize("occupied", [False, True])
def test_loading_under_another_name_registers_the_full_name(occupied):
    child = run_python(f"""
        import importlib.util, sys
        origin = importlib.util.find_spec("{MODULE}").origin
        sentinel = object()
        if {occupied}:
            sys.modules["{MODULE}"] = sentinel
        spec = importlib.util.spec_from_file_location("license_helper", origin)
        m = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(m)
        entry = sys.modules["{MODULE}"]
        report(name=m.__name__, is_module=entry is m, is_sentinel=entry is sentinel,
               works=callable(m.get_license_info))
    """)
    assert child.returncode == 0, child.stderr
    assert child.reports == [{"name": "license_helper", "is_module": not occupied,
                              "is_sentinel": occupied, "works": True}]


def test_second_import_and_reload_reuse_the_module():
    child = run_python(f"""
        import importlib, sys
        import {MODULE} as first
        marker, function = first.__test__, first.get_license_info
        del sys.modules["{MODULE}"]
        second = importlib.import_module("{MODULE}")
        reloaded = importlib.reload(second)
        report(same=second is first, reloaded=reloaded is first,
               body_not_rerun=second.__test__ is marker and second.get_license_info is function)
    """)
    assert child.returncode == 0, child.stderr
    assert child.reports == [{"same": True, "reloaded": True, "body_not_rerun": True}]


_REFUSED_BY_US = ("ImportError: Interpreter change detected - this module can only be loaded "
                  "into one interpreter per process.")
# From 3.12 on, an isolated subinterpreter is refused by the import system
# itself, before the module is created; one that shares the main
# interpreter's import state still reaches the module's own guard.
_REFUSED_ISOLATED = (_REFUSED_BY_US if sys.version_info < (3, 12) else
                     f"ImportError: module {MODULE} does not support loading in subinterpreters")
# A free-threaded build checks extensions in every subinterpreter, shared
# import state or not.
_REFUSED_SHARED = _REFUSED_ISOLATED if FREE_THREADED else _REFUSED_BY_US
_IN_SUBINTERPRETER = f"""if 1:
    import json, os
    try:
        import {MODULE}
        outcome = "imported"
    except BaseException as e:
        outcome = type(e).__name__ + ": " + str(e)
    os.write(1, ("@@" + json.dumps({{"outcome": outcome}}) + "\\n").encode())
"""


@pytest.mark.parametrize("first_import_fails", [False, True])
@pytest.mark.parametrize("kind, expected", [("shared", _REFUSED_SHARED),
                                            ("isolated", _REFUSED_ISOLATED)])
def test_a_second_interpreter_is_refused(first_import_fails, kind, expected):
    child = run_python(f"""
        import os, sys, _testcapi
        if {first_import_fails}:
            sys.modules["click"] = None
            try:
                import {MODULE}
            except ImportError:
                pass
            del sys.modules["click"]
        else:
            import {MODULE}
        if "{kind}" == "shared":
            _testcapi.run_in_subinterp({_IN_SUBINTERPRETER!r})
        else:
            try:
                import _interpreters as interpreters
            except ImportError:
                import _xxsubinterpreters as interpreters
            interpreters.run_string(interpreters.create(), {_IN_SUBINTERPRETER!r})
    """)
    assert child.returncode == 0, child.stderr
    assert child.reports == [{"outcome": expected}]


def test_fifty_failed_imports_use_up_no_dict_watchers():
    child = run_python(f"""
        import ctypes, os, sys
        def free_watchers():
            # The interpreter has a handful of watcher ids for all
            # extensions: take them all, count them, give them back.
            if sys.version_info < (3, 12):
                return None
            add, clear = ctypes.pythonapi.PyDict_AddWatcher, ctypes.pythonapi.PyDict_ClearWatcher
            add.argtypes, add.restype = [ctypes.c_void_p], ctypes.c_int
            taken = []
            try:
                while (id := add(ctypes.cast(callback, ctypes.c_void_p))) >= 0:
                    taken.append(id)
            except RuntimeError:  # no more dict watcher IDs available
                pass
            for id in taken:
                clear(id)
            return len(taken)
        callback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object,
                                    ctypes.py_object, ctypes.py_object)(lambda *a: 0)
        before = free_watchers()
        for _ in range(50):
            sys.modules["click"] = None
            try:
                import {MODULE}
            except ImportError:
                pass
        del sys.modules["click"]
        import {MODULE} as m
        os.environ["VELTROCAM_LICENSE"] = "real:one"
        first = m.get_license_info()
        m.os = type("Os", (), {{"environ": {{"VELTROCAM_LICENSE": "fake:two"}}}})
        second = m.get_license_info()
        after = free_watchers()
        report(results=[first, second], used=None if before is None else before - after)
    """)
    assert child.returncode == 0, child.stderr
    [result] = child.reports
    assert result["results"] == [["real", "one"], ["fake", "two"]]
    # The module's own two (one per role), whatever number failed imports.
    assert result["used"] in (None, 2), result


# The create and exec steps driven through the interpreter's own entry for
# multi-phase initialisation, with specs of our making.
_BY_HAND = textwrap.dedent(f"""
    import ctypes, importlib.util, types
    origin = importlib.util.find_spec("{MODULE}").origin
    library = ctypes.PyDLL(origin)
    library.PyInit_license_helper.restype = ctypes.c_void_p
    definition = library.PyInit_license_helper()
    from_spec = ctypes.pythonapi.PyModule_FromDefAndSpec2
    from_spec.restype = ctypes.py_object
    from_spec.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.argtypes = [ctypes.py_object, ctypes.c_void_p]
    def create(**attributes):
        return from_spec(definition, types.SimpleNamespace(**attributes), 1013)
""")


def test_create_step_copies_the_spec_attributes():
    child = run_python(_BY_HAND + textwrap.dedent("""
        loader = object()
        full = create(name="m1", loader=loader, origin="/x/m1.so", parent="pkg",
                      submodule_search_locations=["/x"])
        bare = create(name="m2")
        nones = create(name="m3", loader=None, origin=None, parent=None,
                       submodule_search_locations=None)
        report(full=[full.__loader__ is loader, full.__file__, full.__package__, full.__path__],
               bare=sorted(k for k in vars(bare) if k in
                           ("__loader__", "__file__", "__package__", "__path__")),
               nones=[nones.__loader__, nones.__file__, nones.__package__, "__path__" in vars(nones)])
    """))
    assert child.returncode == 0, child.stderr
    assert child.reports == [{"full": [True, "/x/m1.so", "pkg", ["/x"]],
                              "bare": ["__loader__", "__package__"],
                              "nones": [None, None, None, False]}]


def test_create_step_with_the_file_loader():
    child = run_python(f"""
        import importlib.machinery, importlib.util
        origin = importlib.util.find_spec("{MODULE}").origin
        loader = importlib.machinery.ExtensionFileLoader("{MODULE}", origin)
        spec = importlib.machinery.ModuleSpec("{MODULE}", None, origin=origin)
        m = loader.create_module(spec)
        report(loader=m.__loader__, file=m.__file__ == origin, path="__path__" in vars(m))
    """)
    assert child.returncode == 0, child.stderr
    assert child.reports == [{"loader": None, "file": True, "path": False}]


@pytest.mark.parametrize("attribute", ["name", "loader", "origin", "parent",
                                       "submodule_search_locations"])
def test_create_step_passes_on_what_a_spec_attribute_raises(attribute):
    # As the import system's own copying of spec attributes: only an
    # AttributeError means absent.  (The interpreter reads `name` once
    # before the create step.)
    child = run_python(_BY_HAND + textwrap.dedent(f"""
        class Spec:
            name, loader, origin, parent, submodule_search_locations = "m", None, None, None, None
            reads = 0
        def read(self):
            Spec.reads += 1
            if Spec.reads == (2 if {attribute!r} == "name" else 1):
                raise LookupError({attribute!r})
            return "m"
        setattr(Spec, {attribute!r}, property(read))
        try:
            from_spec(definition, Spec(), 1013)
        except LookupError as e:
            report(error=repr(e))
        report(later=create(name="m2").__name__)
    """))
    assert child.returncode == 0, child.stderr
    assert child.reports == [{"error": f"LookupError({attribute!r})"}, {"later": "m2"}]


def test_two_creates_then_the_second_exec_is_refused():
    child = run_python(f"""
        import importlib.machinery, importlib.util
        origin = importlib.util.find_spec("{MODULE}").origin
        loader = importlib.machinery.ExtensionFileLoader("{MODULE}", origin)
        spec = importlib.util.spec_from_file_location("{MODULE}", origin)
        first, second = loader.create_module(spec), loader.create_module(spec)
        loader.exec_module(first)
        loader.exec_module(first)
        try:
            loader.exec_module(second)
        except RuntimeError as e:
            report(distinct=first is not second, error=str(e),
                   entries=[x for x in entries(e) if x[0] == {SOURCE_PATH!r}],
                   untouched="get_license_info" not in vars(second))
    """)
    assert child.returncode == 0, child.stderr
    assert child.reports == [{
        "distinct": True, "untouched": True, "entries": [],
        "error": "Module 'license_helper' has already been imported. "
                 "Re-initialisation is not supported."}]


def test_a_failing_statement_reports_its_line_and_a_later_import_starts_afresh():
    child = run_python(f"""
        import sys
        sys.modules["click"] = None
        try:
            import {MODULE}
        except ImportError as e:
            report(type=type(e).__name__, error=str(e), entries=entries(e)[-1:],
                   registered="{MODULE}" in sys.modules)
        del sys.modules["click"]
        import {MODULE} as m
        report(click=m.click.__name__, defined=callable(m.set_to_environ))
    """)
    assert child.returncode == 0, child.stderr
    assert child.reports == [
        {"type": "ModuleNotFoundError", "error": "import of click halted; None in sys.modules",
         "entries": [[SOURCE_PATH, 10, INIT]], "registered": False},
        {"click": "click", "defined": True}]


def test_a_missing_sibling_name_reports_line_11():
    child = run_python(f"""
        import sys, types
        sys.modules["veltrocam.tilso.sdk.script_update"] = types.ModuleType(
            "veltrocam.tilso.sdk.script_update")
        try:
            import {MODULE}
        except ImportError as e:
            report(type=type(e).__name__, error=str(e), entries=entries(e)[-1:])
        stub = types.ModuleType("veltrocam.tilso.sdk.script_update.update_bash_file")
        sys.modules[stub.__name__] = stub
        import {MODULE} as m
        report(bound=m.update_bash_file is stub)
    """)
    assert child.returncode == 0, child.stderr
    assert child.reports == [
        {"type": "ImportError", "error": "cannot import name update_bash_file",
         "entries": [[SOURCE_PATH, 11, INIT]]},
        {"bound": True}]


def test_os_taken_out_of_the_module_by_a_later_import_of_its_body():
    # The import of click runs a finder that removes the global `os`: as in
    # Python, the function then finds no `os`, until it is given one.
    child = run_python(f"""
        import sys
        class Finder:
            @staticmethod
            def find_spec(name, path=None, target=None):
                if name == "click":
                    del vars(sys.modules["{MODULE}"])["os"]
        sys.meta_path.insert(0, Finder)
        import {MODULE} as m
        sys.meta_path.remove(Finder)
        try:
            m.get_license_info("LH_NAME")
        except NameError as e:
            report(error=str(e), entries=entries(e)[-1:])
        import os
        m.os, os.environ["LH_NAME"] = os, "user:pw"
        report(later=m.get_license_info("LH_NAME"))
    """)
    assert child.returncode == 0, child.stderr
    assert child.reports == [
        {"error": "name 'os' is not defined", "entries": [[SOURCE_PATH, 17, GET]]},
        {"later": ["user", "pw"]}]


_RAISING_KEY = textwrap.dedent("""
    class Key:
        armed = False
        def __init__(self, like): self.like = like
        def __hash__(self): return hash(self.like)
        def __eq__(self, other):
            if Key.armed:
                Key.armed = False
                raise LookupError("compared")
            return False
""")


def test_a_raising_key_of_the_os_dict_is_absorbed_by_the_import():
    # Importing Python source reads no `os.environ`; the module's own look
    # at it while loading must not fail the import either.
    child = run_python(_RAISING_KEY + textwrap.dedent(f"""
        import os, click, veltrocam.tilso.sdk.script_update
        environ = os.environ
        del os.environ
        vars(os)[Key("environ")] = None
        os.environ, Key.armed = environ, True
        import {MODULE} as m
        os.environ["LH_NAME"] = "user:pw"
        report(compared=not Key.armed, result=m.get_license_info("LH_NAME"))
    """))
    assert child.returncode == 0, child.stderr
    assert child.reports == [{"compared": True, "result": ["user", "pw"]}]


def test_a_failing_module_table_lookup_fails_the_exec_step_at_line_1():
    child = run_python(_BY_HAND + _RAISING_KEY + textwrap.dedent(f"""
        import _imp, sys, click, veltrocam.tilso.sdk.script_update
        sys.modules[Key("{MODULE}")] = None
        spec = dict(name="{MODULE}", origin=origin, loader=None, parent="veltrocam.tilso.sdk")
        m = create(**spec)
        Key.armed = True
        try:
            _imp.exec_dynamic(m)
        except LookupError as e:
            report(error=str(e), entries=[x for x in entries(e) if x[0] == {SOURCE_PATH!r}],
                   registered="{MODULE}" in sys.modules)
        m = create(**spec)
        _imp.exec_dynamic(m)
        report(later=m.get_license_info("LH_NONE"), registered=sys.modules["{MODULE}"] is m)
    """))
    assert child.returncode == 0, child.stderr
    assert child.reports == [
        {"error": "compared", "entries": [[SOURCE_PATH, 1, INIT]], "registered": False},
        {"later": [None, None], "registered": True}]


@pytest.mark.parametrize("initializing, reads", [
    (True, 3), (False, 2), (None, 2), (0, 2), ("absent", 0), ("no spec", 0)])
def test_module_table_entries_are_taken_unless_still_initialising(initializing, reads):
    # Looking a module up in the module table reads `_initializing` once,
    # the module's own test once more, and the import system, when it is
    # asked, a third time.
    child = run_python(f"""
        import sys, types
        import veltrocam.tilso.sdk.script_update
        fake = types.ModuleType("click")
        class Spec:
            reads = 0
            @property
            def _initializing(self):
                Spec.reads += 1
                return {initializing!r}
        if {initializing!r} == "no spec":
            del fake.__spec__
        elif {initializing!r} == "absent":
            fake.__spec__ = types.SimpleNamespace()
        else:
            fake.__spec__ = Spec()
        sys.modules["click"] = fake
        import {MODULE} as m
        report(fake=m.click is fake, reads=Spec.reads)
    """)
    assert child.returncode == 0, child.stderr
    assert child.reports == [{"fake": True, "reads": reads}]


# The module is built for the running interpreter; these variants see a later
# minor version and an older one instead.
_BUILT_FOR = "%d.%d" % sys.version_info[:2]
_NEXT_MINOR = sys.version_info[1] + 1
_VERSIONS = [(f"0x03{_NEXT_MINOR:02X}01F0", f"3.{_NEXT_MINOR}"), ("0x030A0DF0", "3.10")]


@pytest.fixture(scope="module")
def foreign_version_builds(tmp_path_factory):
    """The module built to see another runtime version than its own."""
    if shutil.which("cmake") is None:
        pytest.skip("cmake is needed to build the test variant")
    builds = {}
    for word, _ in _VERSIONS:
        out = tmp_path_factory.mktemp("variant")
        subprocess.run(["cmake", "-S", str(REPO), "-B", str(out), "-DCMAKE_BUILD_TYPE=Release",
                        f"-DPython_EXECUTABLE={sys.executable}",
                        f"-DLICENSE_HELPER_RUNTIME_VERSION={word}"],
                       check=True, capture_output=True)
        subprocess.run(["cmake", "--build", str(out), "-j2"], check=True, capture_output=True)
        builds[word] = next(out.glob("license_helper*.so"))
    return builds


@pytest.mark.parametrize("word, version", _VERSIONS)
def test_another_runtime_version_warns_and_loads(foreign_version_builds, word, version):
    child = run_python(f"""
        import importlib.util, warnings
        spec = importlib.util.spec_from_file_location("{MODULE}", {str(foreign_version_builds[word])!r})
        m = importlib.util.module_from_spec(spec)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            spec.loader.exec_module(m)
        report(warnings=[[w.category.__name__, str(w.message)] for w in caught],
               loaded=callable(m.get_license_info))
    """)
    assert child.returncode == 0, child.stderr
    assert child.reports == [{
        "warnings": [["RuntimeWarning", f"compile time Python version {_BUILT_FOR} of module "
                      f"'{MODULE}' does not match runtime version {version}"]],
        "loaded": True}]


def test_another_runtime_version_fails_when_warnings_are_errors(foreign_version_builds):
    path = str(foreign_version_builds[_VERSIONS[0][0]])
    child = run_python(f"""
        import importlib.util, warnings
        warnings.simplefilter("error")
        spec = importlib.util.spec_from_file_location("{MODULE}", {path!r})
        m = importlib.util.module_from_spec(spec)
        try:
            spec.loader.exec_module(m)
        except RuntimeWarning as e:
            report(error=str(e), ours=[x for x in entries(e) if x[0] == {SOURCE_PATH!r}])
        warnings.resetwarnings()
        m = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(m)
        report(loaded=callable(m.get_license_info))
    """)
    assert child.returncode == 0, child.stderr
    assert child.reports == [
        {"error": f"compile time Python version {_BUILT_FOR} of module '{MODULE}' does not "
                  f"match runtime version {_VERSIONS[0][1]}", "ours": []},
        {"loaded": True}]


# An exec step run with allocations failing from the n-th up to `stop`
# (0: all the rest); it returns the exception, or None on success.
_EXEC_ATTEMPT = _BY_HAND + textwrap.dedent(f"""
    import _imp, _testcapi
    import click, veltrocam.tilso.sdk.script_update
    spec = dict(name="{MODULE}", origin=origin, loader=None, parent="veltrocam.tilso.sdk")
    def attempt(module, n, stop):
        # Nothing between setting and removing the hook allocates but the
        # exec step itself.
        _testcapi.set_nomemory(n, stop)
        try:
            _imp.exec_dynamic(module)
        except BaseException as e:
            _testcapi.remove_mem_hooks()
            return e
        _testcapi.remove_mem_hooks()
""")


def _exec_under_failing_allocations(start, persistent):
    """Runs the exec step with its allocations failing from the n-th on
    (`persistent`) or with only its n-th failing, for n from `start` on,
    until it succeeds; then makes a binding error at line 15."""
    code = _EXEC_ATTEMPT + textwrap.dedent(f"""
        lines, types_seen, n = set(), set(), {start}
        while True:
            m = create(**spec)
            e = attempt(m, n, 0 if {persistent} else n + 1)
            if e is None:
                break
            types_seen.add(type(e).__name__)
            lines.update(x[1] for x in entries(e) if x[2] == {INIT!r})
            del e
            n += 1
        try:
            m.get_license_info(1, 2)
        except TypeError as e:
            binding = entries(e)[-1]
        report(success_at=n, lines=sorted(lines), types=sorted(types_seen), binding=binding,
               works=m.get_license_info("NO_SUCH_VARIABLE"))
    """)
    child = run_python(code, timeout=300)
    assert child.returncode == 0, child.stderr
    return child.reports[0]


def test_every_failing_allocation_of_the_create_step_gives_memory_error():
    child = run_python(f"""
        import _imp, _testcapi, importlib.util, types
        origin = importlib.util.find_spec("{MODULE}").origin
        spec = types.SimpleNamespace(name="pkg.license_helper", loader=None, origin=origin,
                                     parent="pkg", submodule_search_locations=["/x"])
        kinds, n = set(), 0
        while True:
            _testcapi.set_nomemory(n, n + 1)
            try:
                m = _imp.create_dynamic(spec)
            except BaseException as e:
                _testcapi.remove_mem_hooks()
                kinds.add(type(e).__name__)
                n += 1
                continue
            _testcapi.remove_mem_hooks()
            break
        report(failed=n, kinds=sorted(kinds), path=m.__path__, file=m.__file__ == origin)
    """)
    assert child.returncode == 0, child.stderr
    result = child.reports[0]
    assert result["failed"] > 3 and result["kinds"] == ["MemoryError"]
    assert (result["path"], result["file"]) == (["/x"], True)


def test_memory_exhaustion_from_every_allocation_of_the_exec_step():
    result = _exec_under_failing_allocations(0, persistent=True)
    assert result["success_at"] > 50
    assert result["types"] == ["MemoryError"]
    assert result["works"] == [None, None]


def test_one_failed_allocation_at_a_time_in_the_exec_step():
    # Each run fails the n-th allocation of a first exec step, then retries
    # with the next one failing until the step succeeds.  A failure the exec
    # step recovers from (a module table lookup whose error is cleared) lets
    # it succeed at once; only a row of such runs means the last allocation
    # is past.
    lines, start, nothing_failed = set(), 0, 0
    for _ in range(400):
        result = _exec_under_failing_allocations(start, persistent=False)
        assert set(result["types"]) <= {"MemoryError"}, result["types"]
        assert result["binding"] == [SOURCE_PATH, 15, GET]
        assert result["works"] == [None, None]
        lines.update(result["lines"])
        nothing_failed = nothing_failed + 1 if result["success_at"] == start else 0
        if nothing_failed == 8:
            break
        start += 1
    assert {1, 27} <= lines <= {1, 6, 7, 8, 10, 11, 15, 27}, lines


def _first_exec_failing_at(n):
    """A fresh interpreter whose first exec step has only its n-th
    allocation fail; then a second exec step without failures and a binding
    error at line 15."""
    child = run_python(_EXEC_ATTEMPT + textwrap.dedent(f"""
        m = create(**spec)
        e = attempt(m, {n}, {n} + 1)
        lines = [x[1] for x in entries(e) if x[2] == {INIT!r}] if e is not None else []
        past_line_11 = "update_bash_file" in vars(m)
        if e is not None:
            m = create(**spec)
            _imp.exec_dynamic(m)
        try:
            m.get_license_info(1, 2)
        except TypeError as error:
            binding = entries(error)[-1]
        report(failed=e is not None, lines=lines, past_line_11=past_line_11, binding=binding)
    """))
    assert child.returncode == 0, child.stderr
    return child.reports[0]


def _progress(result):
    """How far the failed exec step got: the failing statement's line, with
    the set-up before the constants as 0 and the final `__test__` (line 1
    after line 11) as 99; None when no allocation failed for good."""
    if not result["failed"]:
        return None
    if not result["lines"]:
        return 0
    line = result["lines"][0]
    return 99 if line == 1 and result["past_line_11"] else line


def test_a_failed_definition_does_not_lend_its_name_to_binding_errors():
    # Fresh interpreters allocate in the same order during a first exec
    # step, so the n-th allocation is the same one each time: step through
    # coarsely to the from-import at line 11, then one by one to the
    # definition at line 15.
    # A probe that fails nothing (None) may come from a failure the step
    # recovers from, or from a probe past its last allocation.
    n = last = 0
    while n - last <= 64:
        progress = _progress(_first_exec_failing_at(n + 8))
        if progress in (0, 1, 6, 7, 8):
            last = n + 8
        elif progress is not None:
            break
        n += 8
        assert n < 10000, "the from-import at line 11 never failed"
    n = last
    while True:
        result = _first_exec_failing_at(n)
        if _progress(result) == 15:
            break
        assert _progress(result) in (None, 0, 1, 6, 7, 8, 10, 11), result
        n += 1
    assert result["lines"] == [15]
    # A failure at the definition on line 15 must not lend its name to the
    # binding error reported at the same line.
    assert result["binding"] == [SOURCE_PATH, 15, GET]
