"""The persistent store seen from real shells and from concurrent processes."""

import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from veltrocam.tilso.sdk import script_update
from veltrocam.tilso.sdk.script_update import remove_from_bash_file, update_bash_file

RANDOM_TEXT = "".join(random.Random(3).choices(
    [chr(code) for code in range(1, 0x2ff)] + ["日", "😀", "\u202e"], k=4096))
HOSTILE = {
    "quotes": "it's \"q\" '' '\\'' $'x'", "command": "$(touch pwned)${HOME}", "backticks": "`touch pwned`",
    "backslashes": "a\\b\\\\n\\", "newlines": "\nlead\ninner\ntrail\n\n", "cr": "\rcr\r\n",
    "history": "!! !$ !-1", "empty": "", "percent": "%s %d %%", "hash": "# not a comment", "non-ascii": "naïve 日本 😀",
    "random": RANDOM_TEXT, "long": "ü'!\n" * 750,
}
SHELLS = {"dash": ["sh"], "bash": ["bash", "--norc"], "bash-posix": ["bash", "--posix"], "zsh": ["zsh", "-f"]}
# csh shells read the value through the start-up files; tcsh -l reads its commands from stdin.
CSH = {"tcsh": ["tcsh", "-c"], "tcsh-login": ["tcsh", "-l"], "csh": ["bsd-csh", "-c"]}
GENERATOR = "/usr/lib/systemd/user-environment-generators/30-systemd-environment-d-generator"
# How the generator prints a value: as is, or double-quoted with C escapes and \$ \` \".
ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "a": "\a", "b": "\b", "f": "\f", "v": "\v", "s": " "}


def generated(env):
    """Each variable the real generator gives back from the home's environment.d."""
    done = subprocess.run([GENERATOR], env={"HOME": env["HOME"]}, capture_output=True, timeout=30)
    assert done.returncode == 0 and done.stderr == b""
    found = {}
    for line in done.stdout.decode("latin-1").split("\n")[:-1]:
        name, _, text = line.partition("=")
        if text.startswith('"'):
            text = re.sub(r"\\([0-7]{3}|.)", lambda m: chr(int(m[1], 8)) if len(m[1]) == 3
                          else ESCAPES.get(m[1], m[1]), text[1:-1])
        found[name] = text.encode("latin-1").decode()
    return found
WRITER = """
import os, sys, time
from veltrocam.tilso.sdk.script_update import update_bash_file
while not os.path.exists(sys.argv[1]):
    time.sleep(0.001)
update_bash_file([sys.argv[2]], sys.argv[3])
"""
ENDLESS_WRITER = """
from veltrocam.tilso.sdk.script_update import remove_from_bash_file as remove, update_bash_file as update
print(flush=True)
for i in range(10**9):
    remove(["A", "B"]) if i % 3 == 2 else update(["A", "B"][i % 2:], str(i % 10) * 8000)
"""
# What each file may hold between two calls of ENDLESS_WRITER.
WHOLE = {"env.sh": rb"(export [AB]='(\d)\2{7999}'\n)*", "env.fish": rb"(set -gx [AB] '(\d)\2{7999}'\n)*",
         "env.csh": rb"(setenv [AB] '(\d)\2{7999}'\n)*"}


@pytest.fixture
def env(tmp_path, monkeypatch):
    """A temporary home, as both this process and its children see it; no systemd
    generator for calls in this process unless a test names one."""
    (tmp_path / "home").mkdir()
    variables = {"HOME": str(tmp_path / "home"), "PATH": os.environ.get("PATH", os.defpath),
                 "SHELL": "/bin/sh", "LANG": "C.UTF-8"}
    if "PYTHONPATH" in os.environ:
        variables["PYTHONPATH"] = os.environ["PYTHONPATH"]
    for name in ("XDG_CONFIG_HOME", "ZDOTDIR", "SUDO_USER", "VELTROCAM_NO_MODIFY_RC"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setattr(script_update._environment_d, "GENERATOR", None)
    for name, value in variables.items():
        monkeypatch.setenv(name, value)
    return variables


def need(program):
    if shutil.which(program) is None:
        pytest.skip(f"{program} is not installed")
    return shutil.which(program)


@pytest.mark.parametrize("value", HOSTILE.values(), ids=HOSTILE)
@pytest.mark.parametrize("shell", [*SHELLS, *CSH, "systemd"])
def test_hostile_value_round_trips(env, monkeypatch, shell, value):
    if shell not in SHELLS:
        env["SHELL"] = "/bin/tcsh"
        monkeypatch.setenv("SHELL", env["SHELL"])
        monkeypatch.setattr(script_update._environment_d, "GENERATOR", GENERATOR)
        update_bash_file(["NAME", "OTHER"], value)
        update_bash_file(["OTHER"], "other")
        if shell == "systemd":  # the user manager would get control characters C-escaped: left out
            held = re.search(r"[\0-\37\177]", value) is None
            assert {k: v for k, v in generated(env).items() if k in ("NAME", "OTHER")} == {
                **({"NAME": value} if held else {}), "OTHER": "other"}
            assert ("environment.d" in script_update.store_status().left_out.get("NAME", "")) != held
            return
        script = b"echo @@; /usr/bin/printenv NAME OTHER"
        command, stdin = (CSH[shell], script) if shell == "tcsh-login" else ([*CSH[shell], script], None)
        result = subprocess.run(command, input=stdin, env=env, cwd=env["HOME"], capture_output=True, timeout=30)
        assert (result.stdout.partition(b"@@\n")[2], result.stderr) == (value.encode() + b"\nother\n", b"")
        return
    need(SHELLS[shell][0])
    store = update_bash_file(["NAME"], value)[0]
    result = subprocess.run([*SHELLS[shell], "-c", '. "$1"; printf %s "$NAME"', "x", store],
                            env=env, cwd=env["HOME"], capture_output=True, timeout=30)
    assert (result.stdout, result.stderr) == (value.encode(), b"")
    assert not os.path.exists(os.path.join(env["HOME"], "pwned"))


# xonsh reads its rc.d in interactive and login sessions; elvish its rc.elv when
# interactive, its commands coming from stdin.
OTHER_SHELLS = {"xonsh": (["xonsh", "-i", "-c"], None), "xonsh-login": (["xonsh", "-l", "-c"], None),
                "elvish": (["elvish"], "stdin")}


@pytest.mark.parametrize("value", HOSTILE.values(), ids=HOSTILE)
@pytest.mark.parametrize("shell", OTHER_SHELLS)
def test_hostile_value_reaches_xonsh_and_elvish_until_removed(env, monkeypatch, shell, value):
    command, stdin = OTHER_SHELLS[shell]
    env["SHELL"] = need(command[0])
    monkeypatch.setenv("SHELL", env["SHELL"])
    update_bash_file(["NAME", "OTHER"], value)
    update_bash_file(["OTHER"], "other")

    def read():
        script = "echo @@\n/bin/sh -c '/usr/bin/printenv NAME OTHER; echo @@'"
        done = subprocess.run(command + ([] if stdin else [script]), input=(script + "\n").encode() if stdin else b"",
                              env=env, cwd=env["HOME"], capture_output=True, timeout=60)
        # elvish prints its prompts on stderr
        return done.stdout.partition(b"@@\n")[2].rpartition(b"@@")[0], re.sub(rb"\S*> ", b"", done.stderr)
    assert read() == (value.encode() + b"\nother\n", b"")
    assert script_update.store_status().covered
    remove_from_bash_file(["NAME"])
    assert read() == (b"other\n", b"")
    remove_from_bash_file(["OTHER"])
    assert read() == (b"", b"")
    assert not os.path.exists(os.path.join(env["HOME"], "pwned"))


@pytest.mark.parametrize("command, where", [
    (["bash", "-lc"], None), (["bash", "-ic"], None), (["sh", "-lc"], None),
    (["zsh", "-c"], None), (["zsh", "-c"], "ZDOTDIR"), (["sh", "-lc"], "XDG_CONFIG_HOME"),
], ids=["bash-login", "bash-interactive", "sh-login", "zsh", "zsh-zdotdir", "sh-config-outside-home"])
def test_startup_files_reach_shells(env, monkeypatch, tmp_path, command, where):
    env["SHELL"] = need(command[0])
    if where:
        env[where] = str(tmp_path / "it's elsewhere")
        os.mkdir(env[where])
        Path(env[where], ".zshenv").touch()
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    update_bash_file(["NAME"], "it's set")
    result = subprocess.run([*command, 'printf %s "$NAME"'], env=env, cwd=env["HOME"],
                            stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
    assert result.stdout == b"it's set"
    assert not os.path.lexists(os.path.join(env["HOME"], ".bash_profile"))


@pytest.mark.parametrize("value", HOSTILE.values(), ids=HOSTILE)
def test_fish_sessions_read_values_until_removed(env, monkeypatch, value):
    env["SHELL"] = need("fish")
    monkeypatch.setenv("SHELL", env["SHELL"])
    update_bash_file(["NAME", "OTHER"], value)
    update_bash_file(["OTHER"], "other")

    def read():
        script = 'printf %s "$NAME"; set -q OTHER; and printf "|%s" $OTHER'
        return [subprocess.run(["fish", *flag, "-c", script], env=env, cwd=env["HOME"], stdin=subprocess.DEVNULL,
                               capture_output=True, timeout=30).stdout for flag in ([], ["-l"], ["-i"])]
    assert read() == [value.encode() + b"|other"] * 3
    remove_from_bash_file(["OTHER"])
    assert read() == [value.encode()] * 3
    remove_from_bash_file(["NAME"])
    assert read() == [b""] * 3
    left = {path.name for path in Path(env["HOME"], ".config").rglob("*")}
    assert left.isdisjoint({"env.sh", "env.fish", "veltrocam.fish"})


@pytest.mark.parametrize("unit, most", [("x", 8185), ("'", 2046), ("!", 8185), ("\n", 4092), ("é", 4092)])
def test_longest_value_csh_reads_and_one_more_refused(env, monkeypatch, unit, most):
    monkeypatch.setenv("SHELL", "/bin/csh")
    update_bash_file(["NAME"], unit * most)
    result = subprocess.run(["bsd-csh", "-c", "/usr/bin/printenv NAME"], env=env, capture_output=True, timeout=30)
    assert (result.stdout, result.stderr) == ((unit * most + "\n").encode(), b"")
    folder = Path(env["HOME"], ".config/veltrocam")
    before = {path: path.read_bytes() for path in folder.iterdir()}
    with pytest.raises(ValueError, match="refusing to store OTHER: csh would not read"):
        update_bash_file(["OTHER"], unit * (most + 1))
    assert {path: path.read_bytes() for path in folder.iterdir()} == before


def test_eight_concurrent_writers(env, tmp_path):
    """Every other writer has its config folder elsewhere, as an ssh session beside a desktop may."""
    env["SHELL"] = "/bin/bash"
    go, elsewhere = tmp_path / "go", {"XDG_CONFIG_HOME": str(tmp_path / "elsewhere")}
    writers = [subprocess.Popen([sys.executable, "-c", WRITER, str(go), f"V{i}", f"v{i}"],
                                env={**env, **(elsewhere if i % 2 else {})}) for i in range(8)]
    go.touch()
    assert [writer.wait(timeout=60) for writer in writers] == [0] * 8
    home = Path(env["HOME"])
    stored = b"".join((config / "veltrocam/env.sh").read_bytes()
                      for config in (home / ".config", tmp_path / "elsewhere"))
    assert sorted(re.findall(rb"^export V(\d)='v\1'$", stored, re.M)) == [b"%d" % i for i in range(8)]
    assert stored.count(b"\n") == 8
    startup = [path for path in home.iterdir() if path.is_file()]
    assert {path.name for path in startup} >= {".profile", ".bashrc"}
    assert [path.read_bytes().count(b"# >>> veltrocam >>>\n") for path in startup] == [1] * len(startup)


def test_killed_writer_leaves_whole_files_and_leftovers_the_next_call_removes(env, monkeypatch):
    env["SHELL"] = "/bin/bash"
    monkeypatch.setenv("SHELL", "/bin/bash")
    home, rng, leftovers = Path(env["HOME"]), random.Random(7), 0
    folder, conf = home / ".config/veltrocam", home / ".config/fish/conf.d/veltrocam.fish"
    for attempt in range(60):  # until a kill has landed during a write, 10 rounds at least
        if attempt >= 10 and leftovers:
            break
        with subprocess.Popen([sys.executable, "-c", ENDLESS_WRITER], env=env, stdout=subprocess.PIPE) as writer:
            writer.stdout.readline()
            time.sleep(rng.uniform(0, 0.05))
            writer.kill()
        for name in WHOLE:
            assert re.fullmatch(WHOLE[name], (folder / name).read_bytes() if (folder / name).exists() else b"")
        startup = [path.read_bytes() for path in home.glob(".*") if path.is_file() and path.suffix != ".tmp"]
        assert all(re.fullmatch(rb"(# >>> veltrocam >>>\n.*\n# <<< veltrocam <<<\n)?", data) for data in startup)
        killed_conf = conf.read_bytes() if conf.exists() else None
        leftovers += len(list(home.rglob("*.tmp")))
        update_bash_file(["A"], "7" * 8000)
        assert list(home.rglob("*.tmp")) == []
        assert killed_conf in (None, conf.read_bytes())
        fish = (folder / "env.fish").read_text().replace("set -gx ", "export ").replace(" '", "='")
        assert fish == (folder / "env.sh").read_text()
    assert leftovers > 0, "no kill landed during a write"


def test_read_only_home_keeps_startup_file(env):
    """chmod does not stop root, so as root the writer runs as the unprivileged user 65534."""
    as_user = {"user": 65534, "group": 65534, "extra_groups": []} if os.geteuid() == 0 else {}
    base = Path(tempfile.mkdtemp())
    home = base / "home"
    try:
        base.chmod(0o755)
        (home / ".config/veltrocam").mkdir(parents=True, mode=0o700)
        (home / ".profile").write_bytes(b"x\n")
        if as_user:
            for path in (home, home / ".config", home / ".config/veltrocam", home / ".profile"):
                os.chown(path, 65534, 65534)
        home.chmod(0o555)
        env["HOME"] = str(home)
        try:
            subprocess.run([sys.executable, "-c", "import veltrocam.tilso.sdk.script_update"],
                           env=env, capture_output=True, timeout=60, check=True, **as_user)
        except (OSError, subprocess.CalledProcessError):
            pytest.skip("the interpreter or the package is out of reach of the unprivileged user")
        result = subprocess.run([sys.executable, "-c", WRITER, str(base), "NAME", "v"],
                                env=env, capture_output=True, timeout=60, **as_user)
        assert result.returncode != 0 and b"PermissionError" in result.stderr
        assert (home / ".profile").read_bytes() == b"x\n"
        assert [path.name for path in home.rglob("*") if path.name.endswith(".tmp")] == []
    finally:
        home.chmod(0o755)
        shutil.rmtree(base)


# Generated values through every shell; the bytes around the store's block
# in a start-up file of generated bytes stay as they were.
_PRINTABLE = st.characters(blacklist_categories=("Cs",), blacklist_characters="\0")
_SPECIAL = st.sampled_from(list("'\"$`\\\n\r!%#;&|<>(){}*? \t") + ["$(id)", "'\\''", "日", "😀"])
_VALUES = st.one_of(
    st.lists(st.one_of(_SPECIAL, st.text(_PRINTABLE, max_size=8)), max_size=40).map("".join),
    st.text(_PRINTABLE, min_size=1000, max_size=2000))
_OTHER_BYTES = st.binary(max_size=300).filter(lambda b: b"veltrocam" not in b)


@settings(max_examples=25, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(value=_VALUES, profile=_OTHER_BYTES)
def test_generated_values_round_trip_and_leave_other_bytes(env, value, profile):
    home = Path(env["HOME"])
    shutil.rmtree(home)
    home.mkdir()
    (home / ".profile").write_bytes(profile)
    store = update_bash_file(["NAME"], value)[0]
    for shell, command in SHELLS.items():
        if shutil.which(command[0]) is None:
            continue
        result = subprocess.run([*command, "-c", '. "$1"; printf %s "$NAME"', "x", store],
                                env=env, cwd=env["HOME"], capture_output=True, timeout=30)
        assert (result.stdout, result.stderr) == (value.encode(), b""), shell
    after = (home / ".profile").read_bytes()
    start = after.index(b"# >>> veltrocam >>>")
    end = after.index(b"# <<< veltrocam <<<\n") + len(b"# <<< veltrocam <<<\n")
    ended = profile + (b"\n" if profile and not profile.endswith(b"\n") else b"")
    assert after[:start] + after[end:] == ended


def test_csh_word_limit_only_where_bsd_csh_is_in_use_and_stored_values_never_block(env, monkeypatch, tmp_path):
    """tcsh reads any length; bsd-csh installed later leaves the long value out of env.csh
    without blocking a change or a removal."""
    programs, tcsh, bsd_csh = tmp_path / "programs", need("tcsh"), need("bsd-csh")
    programs.mkdir()
    (programs / "tcsh").symlink_to(tcsh)
    for name, value in (("PATH", str(programs)), ("SHELL", "/bin/tcsh")):
        env[name] = value
        monkeypatch.setenv(name, value)
    long = "y'!\n" * 5000

    def csh(shell):
        done = subprocess.run([shell, "-c", "/usr/bin/printenv LONG OTHER"], env=env, capture_output=True, timeout=30)
        return done.stdout, done.stderr
    update_bash_file(["LONG"], long)
    assert csh("tcsh") == (long.encode() + b"\n", b"")
    (programs / "bsd-csh").symlink_to(bsd_csh)
    update_bash_file(["OTHER"], "o")
    assert csh("bsd-csh") == csh("tcsh") == (b"o\n", b"")
    assert "csh reads words of at most 8187 bytes" in script_update.store_status().left_out["LONG"]
    with pytest.raises(ValueError, match="refusing to store NEW: csh would not read"):  # tcsh reads env.csh
        update_bash_file(["NEW"], long)
    assert remove_from_bash_file(["LONG", "OTHER"]) == ["LONG", "OTHER"]
    assert sorted(path.name for path in Path(env["HOME"], ".config/veltrocam").iterdir()) == ["env.sh.lock"]


def shell_reads(env, shell, value):
    """Whether a login and an interactive shell of this kind both get NAME=value."""
    script = "/usr/bin/printenv NAME"
    commands = {"bash": [["bash", "-lc", script], ["bash", "-ic", script]],
                "zsh": [["zsh", "-lc", script], ["zsh", "-ic", script]],
                "fish": [["fish", "-lc", script], ["fish", "-ic", script]],
                "tcsh": [["tcsh", "-l"], ["tcsh", "-ic", script]]}[shell]
    outputs = [subprocess.run(command, input=script.encode() if command[-1] == "-l" else b"", env=env,
                              cwd=env["HOME"], capture_output=True, timeout=30).stdout for command in commands]
    return all(output.endswith(value.encode() + b"\n") for output in outputs)


def edit(path, old, new):
    path.write_bytes(path.read_bytes().replace(old, new))


BROKEN = {  # each leaves the shell without the stored value, or with an old one
    "commented-out": lambda home, _: [edit(home / name, b"\nif [", b"\n# if [") for name in (".profile", ".bashrc")],
    "old-path": lambda home, _: [edit(home / name, b".config/veltrocam", b".old") for name in (".profile", ".bashrc")]
    + [(home / ".old").mkdir(), (home / ".old/env.sh").write_bytes(b"export NAME='old'\n")],
    "zdotdir-set-later": lambda home, env: [(home / "zd").mkdir(), env.update(ZDOTDIR=str(home / "zd"))],
    "fish-conf-edited": lambda home, _: edit(home / ".config/fish/conf.d/veltrocam.fish", b"source", b"#source"),
    "tcshrc-added-later": lambda home, _: (home / ".tcshrc").write_bytes(b"set x=1\n"),
}


@pytest.mark.parametrize("shell, broken", [
    ("bash", None), ("bash", "commented-out"), ("bash", "old-path"), ("zsh", None), ("zsh", "zdotdir-set-later"),
    ("fish", None), ("fish", "fish-conf-edited"), ("tcsh", None), ("tcsh", "tcshrc-added-later")])
def test_covered_exactly_when_the_real_shell_gets_the_value_and_the_next_change_mends_it(env, monkeypatch, shell,
                                                                                          broken):
    env["SHELL"] = need(shell)
    monkeypatch.setenv("SHELL", env["SHELL"])
    update_bash_file(["NAME"], "it's set")
    home = Path(env["HOME"])
    if broken:
        BROKEN[broken](home, env)
        for name, value in env.items():
            monkeypatch.setenv(name, value)
    found = script_update.store_status()
    assert found.covered == (broken is None) == shell_reads(env, shell, "it's set")
    assert broken is None or any("differs" in state or "changed" in state for state in found.startup_files.values()) \
        or broken in ("zdotdir-set-later", "tcshrc-added-later")
    update_bash_file(["OTHER"], "x")
    assert script_update.store_status().covered and shell_reads(env, shell, "it's set")


@pytest.mark.parametrize("name, value, command, said", [
    ("status", "word", ["zsh", "-f", "-c", '. "$0"; printenv AFTER'], b"read-only variable: status"),
    ("SECONDS", "/usr/local", ["zsh", "-f", "-c", '. "$0"; printenv AFTER'], b"bad math expression"),
    ("UID", "42", ["bash", "--norc", "-c", '. "$0"; printenv AFTER'], b"UID: readonly variable"),
    ("version", "word", ["fish", "-c", "source $argv[1]; printenv AFTER"], b"read-only variable 'version'"),
])
def test_a_name_refused_as_breaking_a_shell_breaks_the_real_one(tmp_path, name, value, command, said):
    """Written the way the store would write it, were it not refused."""
    need(command[0])
    target = script_update._fish.TARGET if command[0] == "fish" else script_update._sh.TARGET
    file = tmp_path / "env"
    file.write_bytes(target.line(name, value.encode()) + target.line("AFTER", b"ok"))
    done = subprocess.run([*command, str(file)], capture_output=True, timeout=30)
    assert said in done.stderr
    message = str(pytest.raises(ValueError, update_bash_file, [name], value).value)
    assert f"refusing to store {name}: storing it would break " in message and command[0] in message.split(":")[1]


def test_term_with_a_real_terminal_name_works_in_every_shell(env, monkeypatch):
    update_bash_file(["TERM", "NAME"], "xterm-256color")
    script = "/usr/bin/printenv TERM NAME"
    for command, stdin in ((["bash", "-lc", script], None), (["zsh", "-ic", script], None),
                           (["fish", "-ic", script], None), (["tcsh", "-c", script], None),
                           (["bsd-csh", "-c", script], None), (["xonsh", "-i", "-c", script], None),
                           (["elvish"], script + "\n")):
        need(command[0])
        done = subprocess.run(command, input=(stdin or "").encode(), env={**env, "TERM": "dumb"}, cwd=env["HOME"],
                              capture_output=True, timeout=60)
        assert re.sub(rb"\x1b][^\a]*\a", b"", done.stdout) == b"xterm-256color\n" * 2, command  # xonsh: a title
        assert re.sub(rb"\S*> ", b"", done.stderr) == b"", command
