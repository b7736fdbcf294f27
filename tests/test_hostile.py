"""Property tests with random and hostile input.

- Call shapes (positional counts, keyword names of every kind, repeated
  names, keys that are not strings) against a model of the binding rules,
  message for message, through vectorcall and through the call slot.
- Credentials values against the split-at-the-first-colon rule.
- Names and values for set_to_environ on both platform branches: nothing
  unsafe reaches the command shell, and a refused call changes nothing.
"""
import os
import re
import types

import pytest
from hypothesis import HealthCheck, assume, event, given, settings
from hypothesis import strategies as st

from conftest import GET, SET, call_slot, module_entries
from conftest import vectorcall as _vectorcall

# Under valgrind every example costs some fifty times more: .ci/valgrind
# asks for fewer.
SETTINGS = settings(max_examples=int(os.environ.get("LICENSE_HELPER_EXAMPLES", "200")),
                    deadline=None, derandomize=False,
                    suppress_health_check=[HealthCheck.function_scoped_fixture,
                                           HealthCheck.too_slow])

NOTICE_UNSET = "当前环境未配置用户名和密码"
DEFAULT_NAME = "VELTROCAM_LICENSE"


# ---------------------------------------------------------------------------
# Calling helpers

def vectorcall(function, args, names, values):
    """PyObject_Vectorcall with any keyword names tuple, repeats included."""
    return _vectorcall(function, args, tuple(names) if names else None, values)


class Recorders:
    """Fakes for the module globals that record what reaches them."""

    def __init__(self, platform="linux", environ=None, refuse_store=False):
        self.events = []
        self.environ = {} if environ is None else environ
        events, env = self.events, self.environ

        class Environ:
            def get(self, key, default=None):
                events.append(("get", key))
                return env.get(key, default)

            def __setitem__(self, key, value):
                events.append(("environ", key, value))
                env[key] = value

        def popen(command):
            events.append(("popen", command))

        def echo(text):
            events.append(("echo", text))

        def store(variables, value):
            if refuse_store:
                raise ValueError("store refused")
            events.append(("store", list(variables), value))

        self.globals = {
            "os": types.SimpleNamespace(environ=Environ(), popen=popen),
            "sys": types.SimpleNamespace(platform=platform),
            "click": types.SimpleNamespace(echo=echo),
            "update_bash_file": store,
        }

    def install(self, module_globals):
        module_globals.update(self.globals)

    def of(self, kind):
        return [event[1:] for event in self.events if event[0] == kind]


# ---------------------------------------------------------------------------
# Binding

class Key(str):
    """A keyword name of a str subclass: it binds by equal text."""


PARAMETERS = {"get_license_info": ("license_name",), "set_to_environ": ("variables", "value")}

parameter_names = st.sampled_from(["license_name", "variables", "value"])
keyword_names = st.one_of(
    st.sampled_from(["license_name", "variables", "value", "other", "license", "Value",
                     "license_name ", "", "välue", "変数"]),
    # The same text made at run time: equal to the parameter, not the
    # same object.
    st.sampled_from(["license_name", "variables", "value"]).map(lambda s: "".join(list(s))),
    st.sampled_from(["license_name", "value", "x"]).map(Key),
    st.text(max_size=6),
)
non_str_keys = st.sampled_from([1, b"value", None, 2.5, ("value",)])


def binding_model(name, nargs, keys, through_dict):
    """What a call with `nargs` positionals and keyword names `keys` gives:
    ("bound", {parameter: index of the argument}) or ("error", message).
    Arguments are numbered positionals first, then keywords in order."""
    if through_dict and any(not isinstance(k, str) for k in keys):
        return "error", "keywords must be strings"
    parameters = PARAMETERS[name]
    count = len(parameters)
    if name == "get_license_info":
        if nargs > 1:
            return "error", f"get_license_info() takes at most 1 positional argument ({nargs} given)"
    elif nargs > 2:
        return "error", f"set_to_environ() takes exactly 2 positional arguments ({nargs} given)"
    bound = {parameters[i]: i for i in range(nargs)}
    if name == "set_to_environ":
        for i in range(nargs, count):
            if not any(isinstance(k, str) and k == parameters[i] for k in keys):
                return "error", f"set_to_environ() takes exactly 2 positional arguments ({i} given)"
    for position, key in enumerate(keys):
        if not isinstance(key, str):
            return "error", f"{name}() keywords must be strings"
        if key in parameters[nargs:]:
            bound[key] = nargs + position  # the last one given wins
        elif key in parameters[:nargs]:
            return "error", f"{name}() got multiple values for keyword argument '{key}'"
        else:
            return "error", f"{name}() got an unexpected keyword argument '{key}'"
    return "bound", bound


def observed_binding(name, recorders):
    """The arguments the body received, from what reached the fakes."""
    if name == "get_license_info":
        (key,), = recorders.of("get")
        return {"license_name": key}
    (variables, value), = recorders.of("store")
    return {"variables": variables[0], "value": value}


@st.composite
def call_shapes(draw):
    """(function name, positional count, keyword names): half of them
    near a valid call (the missing parameters by keyword, in any order,
    some repeated, perhaps one stray name), the rest anything."""
    name = draw(st.sampled_from(sorted(PARAMETERS)))
    parameters = PARAMETERS[name]
    if draw(st.booleans()):
        nargs = draw(st.integers(0, len(parameters)))
        keys = list(parameters[nargs:])
        if name == "get_license_info" and draw(st.booleans()):
            keys = []
        keys += draw(st.lists(st.sampled_from(parameters), max_size=2))
        keys = draw(st.permutations(keys))
        if draw(st.integers(0, 3)) == 0:
            stray = draw(st.one_of(keyword_names, non_str_keys))
            keys.insert(draw(st.integers(0, len(keys))), stray)
        return name, nargs, keys
    nargs = draw(st.integers(0, 3))
    keys = draw(st.lists(st.one_of(parameter_names, keyword_names, non_str_keys), max_size=4))
    return name, nargs, keys


@SETTINGS
@given(shape=call_shapes(), through_dict=st.booleans())
def test_binding_matches_the_model(lh, module_globals, shape, through_dict):
    name, nargs, keys = shape
    if through_dict:
        unique = {}
        for key in keys:
            unique.setdefault(key, None)
        keys = list(unique)
    arguments = [f"argument {i}" for i in range(nargs + len(keys))]
    recorders = Recorders()
    recorders.install(module_globals)
    function = getattr(lh, name)
    expected_kind, expected = binding_model(name, nargs, keys, through_dict)
    event(expected_kind if expected_kind == "bound" else expected.split("(")[-1][:20])
    try:
        if through_dict:
            result = call_slot(function, arguments[:nargs], dict(zip(keys, arguments[nargs:])))
        else:
            result = vectorcall(function, arguments[:nargs], keys, arguments[nargs:])
    except TypeError as e:
        assert (expected_kind, expected) == ("error", str(e))
        assert recorders.events == []
        if str(e) != "keywords must be strings":
            line, qualified = (15, GET) if name == "get_license_info" else (27, SET)
            assert module_entries(e) == [(line, qualified)]
        return
    assert expected_kind == "bound", f"the call succeeded where the model says {expected!r}"
    if name == "get_license_info":
        assert result == (None, None)
        expected = {"license_name": DEFAULT_NAME, **{k: arguments[i] for k, i in expected.items()}}
    else:
        assert result is None
        expected = {k: arguments[i] for k, i in expected.items()}
    assert observed_binding(name, recorders) == expected


@pytest.mark.parametrize("keys, bound_to", [
    (["license_name", "license_name"], 1),
    (["license_name", "license_name", "license_name"], 2),
    ([Key("license_name"), "license_name"], 1),
    (["license_name", Key("license_name")], 1),
])
def test_a_repeated_keyword_binds_the_last_value(lh, module_globals, keys, bound_to):
    recorders = Recorders()
    recorders.install(module_globals)
    values = [f"value {i}" for i in range(len(keys))]
    assert vectorcall(lh.get_license_info, [], keys, values) == (None, None)
    assert recorders.of("get") == [(values[bound_to],)]


# ---------------------------------------------------------------------------
# Credentials values

def split_rule(value):
    """(user, password) of a credentials value, None for the notice."""
    if not value or ":" not in value:
        return None
    user, _, password = value.partition(":")
    return user, password


credential_values = st.one_of(
    st.text(),
    st.text(alphabet=st.sampled_from("ab:é€ \t\n"), max_size=12),
    st.builds(lambda a, b: a + ":" + b, st.text(max_size=8), st.text(max_size=8)),
)


@SETTINGS
@given(value=credential_values, variable=st.sampled_from(["CRED_A", "Ä_Name", DEFAULT_NAME]))
def test_credentials_follow_the_split_rule(lh, module_globals, value, variable):
    recorders = Recorders(environ={variable: value})
    recorders.install(module_globals)
    args = () if variable == DEFAULT_NAME else (variable,)
    result = lh.get_license_info(*args)
    expected = split_rule(value)
    echoed = [text for (text,) in recorders.of("echo")]
    if expected is None:
        assert result == (None, None)
        assert len(echoed) == 1
        notice = echoed[0]
        if value:  # holds no colon: the notice names the variable
            assert variable in notice
            # ... and never shows the value, which may be a password.
            if len(value) >= 4 and value not in variable:
                assert value not in notice
        else:
            assert notice == NOTICE_UNSET
    else:
        assert result == expected and echoed == []
        assert result[0] + ":" + result[1] == value


@SETTINGS
@given(value=st.text(alphabet=st.characters(blacklist_categories=("Cs",),
                                            blacklist_characters="\0")))
def test_credentials_from_the_real_environment(lh, module_globals, environ_restored, value):
    module_globals["click"] = types.SimpleNamespace(echo=lambda text: None)
    environ_restored["HOSTILE_CREDENTIALS"] = value
    expected = split_rule(value) or (None, None)
    assert lh.get_license_info("HOSTILE_CREDENTIALS") == expected
    del environ_restored["HOSTILE_CREDENTIALS"]
    assert lh.get_license_info("HOSTILE_CREDENTIALS") == (None, None)


# ---------------------------------------------------------------------------
# set_to_environ with hostile names and values

SAFE_COMMAND = re.compile(r'setx [A-Za-z_][A-Za-z0-9_]* "[^"%\r\n\0]*" ', re.ASCII)
PLAIN_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*", re.ASCII)
UNSAFE_IN_VALUE = set('"%\r\n\0')

hostile_text = st.one_of(
    st.text(),
    st.text(alphabet=st.sampled_from('AZaz09_ "%&|^<>\r\n\0!$`\'()é٣'), max_size=10),
)
names = st.one_of(
    st.from_regex(PLAIN_NAME, fullmatch=True).filter(lambda s: len(s) < 20),
    hostile_text,
    st.sampled_from(["Ａ", "١X", "X١", "ſ", "K", "_", "9", DEFAULT_NAME]),
    st.sampled_from([None, 5, b"NAME", ["A"]]),
)
values = st.one_of(hostile_text, st.sampled_from([None, 5, b"v", ["v"]]))
variables_shapes = st.one_of(names, st.lists(names, max_size=4))


def first_refusal(variables, value):
    """The (exception type, offending name or None) the Windows branch must
    refuse with, or None when everything may go to setx."""
    for name in variables:
        if not isinstance(name, str):
            return TypeError, None
        if not PLAIN_NAME.fullmatch(name):
            return ValueError, name
    if not isinstance(value, str):
        return TypeError, None
    if len(value) > 1024 or UNSAFE_IN_VALUE & set(value):
        return ValueError, None
    return None


@SETTINGS
@given(variables=variables_shapes, value=values)
def test_windows_branch_lets_nothing_unsafe_reach_the_shell(lh, module_globals, variables, value):
    recorders = Recorders(platform="win32")
    recorders.install(module_globals)
    listed = variables if isinstance(variables, list) else [variables]
    refusal = first_refusal(listed, value)
    event("accepted" if refusal is None else f"refused: {refusal[0].__name__}")
    try:
        lh.set_to_environ(variables, value)
    except (TypeError, ValueError) as e:
        assert refusal is not None, f"refused a call that is safe: {e}"
        kind, offending = refusal
        assert type(e) is kind
        assert module_entries(e) == [(41, SET)]
        # Refused before anything happened.
        assert recorders.events == []
        message = str(e)
        if offending is not None:
            assert repr(offending) in message
        # The message never shows the value (longer values cannot be part
        # of the fixed wording by chance).
        if isinstance(value, str) and len(value) >= 6:
            rest = message
            for name in listed:
                rest = rest.replace(repr(name), "")
            assert value not in rest
        return
    assert refusal is None, f"accepted a call it must refuse: {refusal}"
    commands = [command for (command,) in recorders.of("popen")]
    assert commands == [f'setx {name} "{value}" ' for name in listed]
    assert all(SAFE_COMMAND.fullmatch(command) for command in commands)
    # Every name then went to the running process, and the user was told.
    assert recorders.of("environ") == [(name, value) for name in listed]
    assert len(recorders.of("echo")) == 2
    assert recorders.of("store") == []


@SETTINGS
@given(variables=variables_shapes, value=values, refuse=st.booleans())
def test_posix_branch_is_all_or_nothing(lh, module_globals, variables, value, refuse):
    recorders = Recorders(platform="linux", refuse_store=refuse)
    recorders.install(module_globals)
    listed = variables if isinstance(variables, list) else [variables]
    assume(all(isinstance(name, (str, int, bytes, type(None))) for name in listed))
    try:
        lh.set_to_environ(variables, value)
    except ValueError as e:
        assert refuse and str(e) == "store refused"
        assert module_entries(e) == [(43, SET)]
        assert recorders.events == []
        return
    assert not refuse
    assert recorders.of("store") == [(listed, value)]
    assert recorders.of("environ") == [(name, value) for name in listed]
    assert recorders.of("popen") == []
    shown = "veltrocam license" if variables == DEFAULT_NAME else variables
    assert recorders.of("echo") == [(f"当前 {shown} 已设置为 {value}",), ("请重启当前的 terminal ",)]


@pytest.mark.parametrize("platform", ["win32", "win64", "windows"])
def test_every_windows_platform_string_takes_the_setx_branch(lh, module_globals, platform):
    recorders = Recorders(platform=platform)
    recorders.install(module_globals)
    lh.set_to_environ(["A1", "B_2"], "x y")
    assert recorders.of("popen") == [('setx A1 "x y" ',), ('setx B_2 "x y" ',)]
    assert recorders.of("store") == []


# ---------------------------------------------------------------------------
# Text that passes the upfront checks but would not reach the shell as checked

class FormatsDifferently(str):
    """A str whose text passes the checks but formats as something else."""

    def __format__(self, spec):
        return 'X" & calc & "'


@pytest.mark.parametrize("which", ["name", "value"])
def test_windows_checks_the_text_that_reaches_the_shell(lh, module_globals, which):
    recorders = Recorders(platform="win32")
    recorders.install(module_globals)
    name = FormatsDifferently("NAME") if which == "name" else "NAME"
    value = FormatsDifferently("secret7") if which == "value" else "secret7"
    with pytest.raises(ValueError) as raised:
        lh.set_to_environ(name, value)
    assert module_entries(raised.value) == [(41, SET)]
    assert "secret7" not in str(raised.value)
    # Refused before the first command: nothing ran, nothing was set.
    assert recorders.events == []


def test_windows_names_added_while_running_are_not_run_unchecked(lh, module_globals):
    recorders = Recorders(platform="win32")
    recorders.install(module_globals)
    variables = ["A", "B"]

    def popen(command):
        recorders.events.append(("popen", command))
        if len(variables) == 2:
            variables.append("C & calc")

    module_globals["os"].popen = popen
    lh.set_to_environ(variables, "v")
    # Commands run for the names checked; the process takes the list as it
    # is by then.
    commands = [command for (command,) in recorders.of("popen")]
    assert commands == ['setx A "v" ', 'setx B "v" ']
    assert recorders.of("environ") == [("A", "v"), ("B", "v"), ("C & calc", "v")]


class CountingList(list):
    def __iter__(self):
        self.walks = getattr(self, "walks", 0) + 1
        return super().__iter__()


@pytest.mark.parametrize("length", [1024, 1025])
def test_windows_value_limit_and_one_walk_per_loop(lh, module_globals, length):
    recorders = Recorders(platform="win32")
    recorders.install(module_globals)
    names, value = CountingList(["A", "B"]), "v" * (length - 1) + "#"
    if length > 1024:
        with pytest.raises(ValueError, match="1024") as raised:
            lh.set_to_environ(names, value)
        assert module_entries(raised.value) == [(41, SET)]
        assert "v#" not in str(raised.value) and recorders.events == []
        assert names.walks == 1
        return
    lh.set_to_environ(names, value)
    assert recorders.of("popen") == [(f'setx {n} "{value}" ',) for n in ("A", "B")]
    assert names.walks == 2
