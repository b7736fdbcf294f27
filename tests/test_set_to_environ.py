"""set_to_environ on both platform branches, with the persistent store, the
commands and the environment replaced by recorders."""
import pytest

from conftest import SET, module_entries

RESTART = "请重启当前的 terminal \n"


class Recorder:
    """Stands in for `os`, `sys`, `click` and `update_bash_file`, and keeps
    one log of everything they are asked to do, in order."""

    def __init__(self, platform):
        self.log = []
        self.platform = platform
        recorder = self

        class Environ(dict):
            def __setitem__(self, key, value):
                if not isinstance(key, str) or not isinstance(value, str):
                    raise TypeError("str expected")
                recorder.log.append(("environ", key, value))

        self.environ = Environ()

    def popen(self, command):
        self.log.append(("popen", command))
        return object()

    def echo(self, text):
        self.log.append(("echo", text))

    def update_bash_file(self, names, value):
        self.log.append(("store", names, value))
        if not all(isinstance(n, str) for n in names) or not isinstance(value, str):
            raise TypeError("names and value must be str")


@pytest.fixture(params=["linux", "win32"])
def platform(request):
    return request.param


@pytest.fixture
def recorder(lh, module_globals, platform):
    r = Recorder(platform)
    module_globals.update(os=r, sys=r, click=r, update_bash_file=r.update_bash_file)
    return r


def _persisted(platform, names, value):
    if platform == "win32":
        return [("popen", f'setx {n} "{value}" ') for n in names]
    return [("store", list(names), value)]


@pytest.mark.parametrize("variables, names, shown", [
    ("API_KEY", ["API_KEY"], "API_KEY"),
    ("VELTROCAM_LICENSE", ["VELTROCAM_LICENSE"], "veltrocam license"),
    (["A", "B"], ["A", "B"], "['A', 'B']"),
    (["VELTROCAM_LICENSE"], ["VELTROCAM_LICENSE"], "['VELTROCAM_LICENSE']"),
    ([], [], "[]"),
])
def test_effects_in_order(lh, recorder, platform, variables, names, shown):
    assert lh.set_to_environ(variables, "s3cret") is None
    assert recorder.log == _persisted(platform, names, "s3cret") + [
        ("environ", n, "s3cret") for n in names] + [
        ("echo", f"当前 {shown} 已设置为 s3cret"), ("echo", "请重启当前的 terminal ")]


@pytest.mark.parametrize("platform", ["linux"])
@pytest.mark.parametrize("text, shown", [
    ("VELTROCAM_LICENSE", "veltrocam license"),
    ("WELTROCAM_LICENSE", "WELTROCAM_LICENSE"),
    ("VELTROCAM_LICENSF", "VELTROCAM_LICENSF"),
    ("VELTROCAM_LICENSĒ", "VELTROCAM_LICENSĒ"),
])
@pytest.mark.parametrize("hashed", [False, True])
def test_the_default_name_is_told_by_its_text(lh, recorder, text, shown, hashed):
    variables = "".join(list(text))  # a new str, whose hash nobody has asked for yet
    if hashed:
        hash(variables)
    lh.set_to_environ(variables, "v")
    assert recorder.log[-2] == ("echo", f"当前 {shown} 已设置为 v")


def test_the_callers_list_itself_reaches_the_store(lh, recorder):
    names = ["A"]
    received = []
    recorder.update_bash_file = lambda n, v: received.append(n)
    vars(lh)["update_bash_file"] = recorder.update_bash_file
    lh.set_to_environ(names, "v")
    assert received[0] is names if recorder.platform == "linux" else received == []


def test_windows_is_chosen_by_the_prefix_only(lh, recorder):
    recorder.platform = "darwin-win"
    lh.set_to_environ("A", "v")
    assert recorder.log[0] == ("store", ["A"], "v")


class _Names(list):
    """A list subclass walked through its iterator, which ends with a
    subclass of StopIteration."""

    class Done(StopIteration):
        pass

    def __iter__(self):
        items = list.__iter__(self)

        class Iterator:
            def __iter__(self):
                return self

            def __next__(self):
                for item in items:
                    return item
                raise _Names.Done

        return Iterator()


def test_list_subclasses_are_walked_through_their_iterator(lh, recorder, platform):
    lh.set_to_environ(_Names(["A", "B"]), "v")
    assert [e for e in recorder.log if e[0] == "environ"] == [("environ", "A", "v"),
                                                              ("environ", "B", "v")]


class _Broken(list):
    def __iter__(self):
        raise ArithmeticError("no iterator")


@pytest.mark.parametrize("variables, value, exception, line", [
    (("A", "B"), "v", TypeError, {"linux": 43, "win32": 41}),
    ("A", 5, TypeError, {"linux": 43, "win32": 41}),
    (_Broken(["A"]), "v", ArithmeticError, {"linux": 43, "win32": 40}),
])
def test_refused_inputs_change_nothing(lh, recorder, platform, variables, value, exception, line):
    with pytest.raises(exception) as raised:
        lh.set_to_environ(variables, value)
    assert module_entries(raised.value) == [(line[platform], SET)]
    assert [e for e in recorder.log if e[0] != "store"] == []


@pytest.mark.parametrize("names, value, exception, shown", [
    (["A", 'x" & del /q C:\\* & "'], "v", ValueError, "x\" & del"),
    (["1ABC"], "v", ValueError, "1ABC"),
    (["A-B"], "v", ValueError, "A-B"),
    (["ÄB"], "v", ValueError, "ÄB"),
    ([""], "v", ValueError, "''"),
    ([b"AB"], "v", TypeError, "bytes"),
    (["A"], 'x" & del /q C:\\* & "', ValueError, None),
    (["A"], "50%", ValueError, None),
    (["A"], "a\r\nb", ValueError, None),
    (["A"], "a\0b", ValueError, None),
    (["A"], 12, TypeError, "int"),
])
def test_windows_refuses_what_the_command_shell_would_interpret(
        lh, module_globals, names, value, exception, shown):
    recorder = Recorder("win32")
    module_globals.update(os=recorder, sys=recorder, click=recorder)
    with pytest.raises(exception) as raised:
        lh.set_to_environ(names, value)
    assert module_entries(raised.value) == [(41, SET)]
    assert recorder.log == []
    if shown is not None:
        assert shown in str(raised.value)
    if isinstance(value, str) and len(value) > 3:
        assert value not in str(raised.value)


def test_the_real_store_refuses_before_writing(lh, module_globals, tmp_path, monkeypatch,
                                              environ_restored):
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.delenv("XDG_CONFIG_HOME", raising=False)
    recorder = Recorder("linux")
    module_globals.update(sys=recorder, click=recorder)
    with pytest.raises(TypeError) as raised:
        lh.set_to_environ(("TUPLE_A", "TUPLE_B"), "v")
    assert module_entries(raised.value) == [(43, SET)]
    assert list(tmp_path.iterdir()) == []
    assert "TUPLE_A" not in environ_restored


class _NextFails(list):
    def __iter__(self):
        return self

    def __next__(self):
        raise LookupError("no next item")


class _Angry:
    def __eq__(self, other):
        raise LookupError("no comparison")


def _fail_echo_on(text_start):
    def echo(text):
        if text.startswith(text_start):
            raise RuntimeError("echo")
    return echo


@pytest.mark.parametrize("setup, variables, exception, line", [
    (lambda g, r: None, _Angry(), LookupError, 32),
    (lambda g, r: g.pop("sys"), "A", NameError, 39),
    (lambda g, r: setattr(r, "platform", 3), "A", AttributeError, 39),
    (lambda g, r: g.pop("update_bash_file") if r.platform == "linux" else g.pop("os"),
     "A", NameError, {"linux": 43, "win32": 41}),
    (lambda g, r: setattr(r, "echo", _fail_echo_on("当前")), "A", RuntimeError, 47),
    (lambda g, r: setattr(r, "echo", _fail_echo_on("请")), "A", RuntimeError, 48),
    (lambda g, r: g.update(click=object()), "A", AttributeError, 47),
    (lambda g, r: g.update(update_bash_file=lambda names, value: None), _NextFails(["A"]),
     LookupError, {"linux": 45, "win32": 40}),
])
def test_failures_report_their_line(lh, module_globals, recorder, platform, setup, variables,
                                    exception, line):
    setup(module_globals, recorder)
    with pytest.raises(exception) as raised:
        lh.set_to_environ(variables, "v")
    expected = line[platform] if isinstance(line, dict) else line
    assert module_entries(raised.value) == [(expected, SET)]


def test_environment_failure_reports_line_46(lh, module_globals, recorder):
    class Environ:
        def __setitem__(self, key, value):
            raise OSError("environment refused")
    recorder.environ = Environ()
    with pytest.raises(OSError) as raised:
        lh.set_to_environ("A", "v")
    assert module_entries(raised.value) == [(46, SET)]


def test_real_console_lines(lh, module_globals, capsys, environ_restored):
    stored = []
    module_globals["update_bash_file"] = lambda names, value: stored.append((names, value))
    module_globals["sys"] = type("Sys", (), {"platform": "linux"})()
    lh.set_to_environ("VELTROCAM_TEST_NAME", "值 1")
    assert capsys.readouterr().out == "当前 VELTROCAM_TEST_NAME 已设置为 值 1\n" + RESTART
    assert environ_restored["VELTROCAM_TEST_NAME"] == "值 1"
    assert stored == [(["VELTROCAM_TEST_NAME"], "值 1")]
