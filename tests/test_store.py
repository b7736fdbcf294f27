"""The persistent store: veltrocam.tilso.sdk.script_update (in-process file behaviour)."""

import errno
import fcntl
import os
import pathlib
import stat
import tempfile

import pytest

from veltrocam.tilso.sdk import script_update
from veltrocam.tilso.sdk.script_update import remove_from_bash_file, update_bash_file

BLOCK = (b'# >>> veltrocam >>>\nif [ -r "$HOME/.config/veltrocam/env.sh" ]; '
         b'then . "$HOME/.config/veltrocam/env.sh"; fi # veltrocam\n# <<< veltrocam <<<\n')
SECRET = "s3cr3t-pass"


@pytest.fixture
def home(tmp_path, monkeypatch):
    """An empty home folder; bin/ is PATH, so zsh counts as missing unless placed there,
    and so does systemd's generator unless a test names one."""
    for name in ("XDG_CONFIG_HOME", "ZDOTDIR", "SUDO_USER", "VELTROCAM_NO_MODIFY_RC"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setattr(script_update._environment_d, "GENERATOR", None)
    (tmp_path / "bin").mkdir()
    monkeypatch.setenv("PATH", str(tmp_path / "bin"))
    monkeypatch.setenv("SHELL", "/bin/sh")
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    (tmp_path / "home").mkdir()
    return tmp_path / "home"


def snapshot(root):
    """Every entry under root: mode plus bytes (files) or link text (symbolic links)."""
    found = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            mode = os.lstat(path).st_mode
            content = (os.readlink(path) if stat.S_ISLNK(mode) else
                       pathlib.Path(path).read_bytes() if stat.S_ISREG(mode) else None)
            found[os.path.relpath(path, root)] = (mode, content)
    return found


def store(home):
    return home / ".config/veltrocam/env.sh"


FISH_STORE, FISH_CONF = ".config/veltrocam/env.fish", ".config/fish/conf.d/veltrocam.fish"
CSH_STORE, ENVIRONMENT_D = ".config/veltrocam/env.csh", ".config/environment.d/60-veltrocam.conf"


@pytest.mark.parametrize("original", [
    None, b"", b"a=1\r\nb=2\r\n", b"x=1", "é=ü\n".encode("latin-1"), b"\xff\xfe\x80\n",
    b"echo '# >>> veltrocam >>>'\n  # <<< veltrocam <<<\n# >>> veltrocam >>> x\n",
], ids=["missing", "empty", "crlf", "unterminated", "latin1", "invalid-utf8", "marker-like"])
def test_bytes_outside_block_unchanged(home, original):
    profile = home / ".profile"
    if original is not None:
        profile.write_bytes(original)
    kept = (original or b"") + (b"\n" if original and not original.endswith(b"\n") else b"")
    assert update_bash_file(["V"], "1") == [str(store(home)), str(profile)]
    assert profile.read_bytes() == kept + BLOCK
    inode = profile.stat().st_ino
    assert update_bash_file(["V"], "1") == []
    assert profile.stat().st_ino == inode
    assert remove_from_bash_file(["V"]) == ["V"]
    assert profile.read_bytes() == kept and not store(home).exists()


def test_block_converted_to_crlf_is_recognised(home):
    profile = home / ".profile"
    profile.write_bytes(b"a\r\n" + BLOCK.replace(b"\n", b"\r\n") + b"b\r\n")
    update_bash_file(["V"], "1")
    assert profile.read_bytes().count(b"veltrocam >>>") == 1
    remove_from_bash_file(["V"])
    assert profile.read_bytes() == b"a\r\nb\r\n"


@pytest.mark.parametrize("settings, existing, expected", [
    ({}, [], [".profile"]),
    ({"SHELL": "/bin/bash"}, [], [".profile", ".bashrc"]),
    ({}, [".bash_profile", ".bash_login", ".bashrc"], [".profile", ".bash_profile", ".bash_login", ".bashrc"]),
    ({"SHELL": "/bin/zsh"}, [], [".profile", ".zshenv"]),
    ({}, ["../bin/zsh"], [".profile", ".zshenv"]),
    ({"SHELL": "/bin/zsh", "ZDOTDIR": "z"}, ["z/.zshenv"], [".profile", ".zshenv", "z/.zshenv"]),
    ({"SHELL": "/bin/zsh", "ZDOTDIR": "z"}, [], [".profile", ".zshenv"]),
    ({"SHELL": "/bin/bash", "VELTROCAM_NO_MODIFY_RC": "1"}, [], []),
    ({}, ["../bin/fish"], [FISH_STORE, ".profile", FISH_CONF]),
    ({"SHELL": "/usr/bin/fish"}, [], [FISH_STORE, ".profile", FISH_CONF]),
    ({"SHELL": "/usr/bin/fish", "VELTROCAM_NO_MODIFY_RC": "1"}, [], [FISH_STORE]),
    ({"SHELL": "/bin/tcsh"}, [], [CSH_STORE, ".profile", ".cshrc"]),
    ({}, [".tcshrc"], [".profile"]),
    ({}, ["../bin/tcsh", ".tcshrc"], [CSH_STORE, ".profile", ".tcshrc"]),
    ({}, ["../bin/bsd-csh", ".tcshrc", ".cshrc"], [CSH_STORE, ".profile", ".tcshrc", ".cshrc"]),
    ({"SHELL": "/bin/csh", "VELTROCAM_NO_MODIFY_RC": "1"}, [], [CSH_STORE]),
    ({"generator": "../bin/generator"}, ["../bin/generator"], [ENVIRONMENT_D, ".profile"]),
    ({"generator": "../bin/generator", "VELTROCAM_NO_MODIFY_RC": "1"}, ["../bin/generator"], []),
])
def test_startup_files_chosen(home, monkeypatch, settings, existing, expected):
    for name in existing:
        (home / name).parent.mkdir(exist_ok=True)
        (home / name).touch(0o755)
    for name, value in settings.items():
        if name == "generator":
            monkeypatch.setattr(script_update._environment_d, "GENERATOR", str(home / value))
        else:
            monkeypatch.setenv(name, str(home / value) if name == "ZDOTDIR" else value)
    assert update_bash_file(["V"], "1") == [str(store(home))] + [str(home / name) for name in expected]
    assert (home / ".bash_profile").exists() == (".bash_profile" in existing)
    assert (home / ".tcshrc").exists() == (".tcshrc" in existing)
    remove_from_bash_file(["V"])
    files = [name for name, (mode, _) in snapshot(home / ".config").items() if stat.S_ISREG(mode)]
    assert files == ["veltrocam/env.sh.lock"]
    assert all((home / name).read_bytes() == b"" for name in expected if not name.startswith(".config"))


@pytest.mark.parametrize("file", [".config/veltrocam/env.sh", FISH_STORE, CSH_STORE, ENVIRONMENT_D, FISH_CONF])
def test_linked_file_keeps_its_target_when_the_last_name_goes(home, monkeypatch, file):
    monkeypatch.setenv("SHELL", "/usr/bin/fish")
    (home / "../bin/tcsh").touch(0o755)
    monkeypatch.setattr(script_update._environment_d, "GENERATOR", str(home / "../bin/tcsh"))
    real = home / "dotfiles/linked"
    real.parent.mkdir()
    real.touch()
    (home / file).parent.mkdir(parents=True, mode=0o700, exist_ok=True)
    (home / file).symlink_to(real)
    update_bash_file(["V", "W"], SECRET)
    written = real.read_bytes()
    assert remove_from_bash_file(["W", "V"]) == ["W", "V"]
    assert (home / file).is_symlink() and real.read_bytes() == b""
    update_bash_file(["V", "W"], SECRET)
    assert (home / file).is_symlink() and real.read_bytes() == written


def test_link_chain_survives_and_modes_are_kept(home):
    real = home / "dotfiles/profile"
    real.parent.mkdir()
    real.write_bytes(b"x\n")
    real.chmod(0o640)
    (home / "middle").symlink_to(real)
    (home / ".profile").symlink_to(home / "middle")
    assert update_bash_file(["V"], "1")[1] == str(real)
    assert (home / ".profile").is_symlink() and (home / "middle").is_symlink()
    assert real.read_bytes() == b"x\n" + BLOCK
    assert stat.S_IMODE(real.stat().st_mode) == 0o640


@pytest.mark.parametrize("loose", [False, True])
def test_private_modes_under_umask_000(home, loose):
    if loose:
        store(home).parent.mkdir(parents=True, mode=0o777)
        store(home).write_bytes(b"export V='1'\n")
        store(home).chmod(0o666)
    old = os.umask(0)
    try:
        update_bash_file(["V"], "1")
    finally:
        os.umask(old)
    assert stat.S_IMODE(store(home).stat().st_mode) == 0o600
    assert stat.S_IMODE(store(home).parent.stat().st_mode) == 0o700


UNSAFE = {
    "hard-linked": (lambda p: (p.write_bytes(b"x\n"), os.link(p, p.with_name("other"))), "hard links"),
    "directory": (lambda p: p.mkdir(), "not a regular file"),
    "fifo": (lambda p: os.mkfifo(p), "not a regular file"),
    "dangling-link": (lambda p: p.symlink_to(p.with_name("nowhere")), "missing file"),
}


@pytest.mark.parametrize("file", [".profile", FISH_CONF])
@pytest.mark.parametrize("kind", UNSAFE)
def test_unsafe_target_refused(home, monkeypatch, kind, file):
    monkeypatch.setenv("SHELL", "/usr/bin/fish")
    make, reason = UNSAFE[kind]
    (home / file).parent.mkdir(parents=True, exist_ok=True)
    make(home / file)
    def outside_store():
        return {k: v for k, v in snapshot(home).items() if k.partition("/veltrocam")[0] != ".config"}
    before = outside_store()
    with pytest.raises(PermissionError, match=reason):
        update_bash_file(["V"], "1")
    assert outside_store() == before
    assert not store(home).exists()


class Names(list):
    pass


@pytest.mark.parametrize("variables, value", [
    (Names(["V"]), "1"), (["V", "V"], "1"), (["V"], "é" * 16384),
    (["LANG", "TZ", "MANPATH", "EDITOR", "LC_ALL", "HISTSIZE", "STATUS", "Path", "uid", "Version"], "1"),
    (["TERM", "BASH_FUNC_X", "USER", "HOSTTYPE", "BASH_COMPAT", "CDPATH", "SHELL", "fish_read_limit"], "1"),
])
def test_accepted_input(home, variables, value):
    update_bash_file(variables, value)
    assert store(home).read_bytes() == b"".join(b"export %s='%s'\n" % (name.encode(), value.encode())
                                                 for name in dict.fromkeys(variables))


@pytest.mark.parametrize("variables, value, error, shown", [
    (("V",), SECRET, TypeError, None), ("V", SECRET, TypeError, None),
    ([b"V"], SECRET, TypeError, None), (["V"], b"x", TypeError, None), (["V"], None, TypeError, None),
    *[([name], SECRET, ValueError, name) for name in (
        "", "1A", "A-B", "A B", "\u00c9", "A\n", "PATH", "HOME", "IFS", "ENV", "BASH_ENV", "SHELLOPTS",
        "BASHOPTS", "PS1", "PS2", "PS3", "PS4", "PROMPT_COMMAND", "ZDOTDIR", "LD_AUDIT", "LD_PRELOAD",
        "DYLD_X")],
    *[([name], "v", ValueError, f"{name}: storing it would break {shells}") for name, shells in (
        ("status", 'zsh and fish: zsh: it says "read-only variable"'), ("UID", 'bash: it says "readonly'),
        ("PWD", "fish"), ("SHLVL", "zsh and fish"), ("version", "fish"), ("path", "zsh"), ("tcsh", "csh"),
        ("OSTYPE", "tcsh"), ("PYTHONHOME", "xonsh"), ("IFS", "sh, bash and zsh"), ("USERNAME", "zsh"))],
    *[([name], "v", ValueError, f"{name}: {reason}") for name, reason in (
        ("LD_LIBRARY_PATH", "it makes every program load code from its value"),
        ("FPATH", "its value would decide what code runs: zsh loads functions"),
        ("BASH_COMPLETION_USER_DIR", "its value would decide what code runs: bash-completion runs"),
        ("PROMPT", "its value would decide what code runs: zsh with prompt_subst"),
        ("OPTIND", "its value would decide what code runs: bash evaluates it as arithmetic"))],
    *[(["V"], value, ValueError, None) for value in (
        SECRET + "\0", SECRET + "\ud800", SECRET + "x" * 32758, SECRET + "é" * 16380)],
    (["V"], SECRET, PermissionError, None),
])
def test_bad_input_touches_nothing(home, monkeypatch, variables, value, error, shown):
    if error is PermissionError:
        monkeypatch.setenv("SUDO_USER", "someone")
        monkeypatch.setattr(os, "geteuid", lambda: 0)
    calls = [lambda: update_bash_file(variables, value)]
    if value == SECRET:  # a name refused now stays removable: an earlier version may have stored it
        calls.append(lambda: remove_from_bash_file(variables))
    for call in calls:
        with pytest.raises(error) as caught:
            call()
        assert SECRET not in str(caught.value)
        assert shown is None or repr(shown) in str(caught.value) or shown in str(caught.value)
        assert snapshot(home) == {}


def test_empty_list_changes_nothing(home):
    assert update_bash_file([], "1") == [] and remove_from_bash_file([]) == []
    assert snapshot(home) == {}


def failing(*args, **kwargs):
    raise OSError(errno.EIO, "injected failure")


@pytest.mark.parametrize("module, broken", [(os, "replace"), (os, "fsync"), (tempfile, "mkstemp")])
def test_failed_write_leaves_files_as_they_were(home, monkeypatch, module, broken):
    """A failing mkstemp stands in for a read-only home, which chmod cannot give root."""
    (home / ".profile").write_bytes(b"x\n")
    update_bash_file(["V"], "1")
    (home / ".profile").write_bytes(b"y\n")
    before = snapshot(home)
    monkeypatch.setattr(module, broken, failing)
    for call in (lambda: update_bash_file(["V"], "2"), lambda: update_bash_file(["W"], "3")):
        with pytest.raises(OSError, match="injected"):
            call()
        assert snapshot(home) == before


def test_only_own_leftovers_are_removed(home):
    for folder in (".config/veltrocam", ".config/fish/conf.d", "dotfiles"):
        (home / folder).mkdir(parents=True)
    (home / "dotfiles/profile").touch()
    (home / ".profile").symlink_to(home / "dotfiles/profile")
    own = [store(home).with_name(".env.sh.abcd_123.tmp"), home / "..profile.zzzzzzzz.tmp",
           home / "dotfiles/.profile.abcdefgh.tmp", home / ".config/fish/conf.d/.veltrocam.fish.a1b2c3d4.tmp"]
    others = [store(home).with_name(".env.sh.abcdefg.tmp"), store(home).with_name(".env.sh.ABCDEFGH.tmp"),
              home / ".notes.abcdefgh.tmp", home / "..profile.abcdefgh.tmp.bak", home / "..bashrc.abcdefgh.tmp"]
    for path in own + others[:-1]:
        path.write_bytes(b"x")
    others[-1].symlink_to(others[2])
    if os.geteuid() == 0:
        others.append(home / "..zshenv.abcdefgh.tmp")
        others[-1].write_bytes(b"x")
        os.chown(others[-1], 65534, 65534)
    held = os.open(home / "..profile.heldheld.tmp", os.O_RDWR | os.O_CREAT)  # a running writer's
    fcntl.flock(held, fcntl.LOCK_EX)
    update_bash_file(["V"], "1")
    assert [path.name for path in own if path.exists()] == []
    assert [path.name for path in others if not os.path.lexists(path)] == []
    os.close(held)
    assert (home / "..profile.heldheld.tmp").exists() and remove_from_bash_file(["V"])
    assert not (home / "..profile.heldheld.tmp").exists()


@pytest.mark.parametrize("held", ["store", "home"])
def test_lock_timeout(home, monkeypatch, held):
    update_bash_file(["V"], "1")
    monkeypatch.setattr(script_update._files, "LOCK_TIMEOUT", 0.1)
    if held == "home":  # another caller's config folder is elsewhere: the home still excludes it
        monkeypatch.setenv("XDG_CONFIG_HOME", str(home / "elsewhere"))
    lock = os.open(store(home).with_name("env.sh.lock") if held == "store" else home, os.O_RDONLY)
    try:
        fcntl.flock(lock, fcntl.LOCK_EX)
        with pytest.raises(TimeoutError):
            update_bash_file(["W"], "2")
    finally:
        os.close(lock)
    assert store(home).read_bytes() == b"export V='1'\n"
    assert not (home / "elsewhere/veltrocam/env.sh").exists()


def test_removal(home, monkeypatch):
    monkeypatch.setenv("SHELL", "/bin/bash")
    update_bash_file(["A", "B"], "1")
    update_bash_file(["C"], "it's")
    before = snapshot(home)
    assert remove_from_bash_file(["X"]) == []
    assert snapshot(home) == before
    assert remove_from_bash_file(["B", "X", "B"]) == ["B"]
    assert store(home).read_bytes() == b"export A='1'\nexport C='it'\\''s'\n"
    assert (home / ".bashrc").read_bytes() == BLOCK
    assert remove_from_bash_file(["C", "A"]) == ["C", "A"]
    assert not store(home).exists()
    assert (home / ".bashrc").read_bytes() == (home / ".profile").read_bytes() == b""


BEGIN, END = b"# >>> veltrocam >>>\n", b"# <<< veltrocam <<<\n"


@pytest.mark.parametrize("file, content", [
    (".profile", BEGIN), (".profile", END), (".profile", END + BEGIN),
    (".profile", BLOCK + BLOCK), (".profile", BEGIN + BLOCK),
    (".config/veltrocam/env.sh", b"export V=1\n"), (".config/veltrocam/env.sh", b"export V='1'"),
    (".config/veltrocam/env.sh", b"export V='1'\r\n"), (".config/veltrocam/env.sh", b"# note\n"),
    (".config/veltrocam/env.sh", b"export V='1'\nexport V='2'\n"),
    (".config/veltrocam/env.sh", b"export V='\xff'\n"),
    (FISH_STORE, b"set -gx V 'a\\b'\n"), (FISH_STORE, b"set -gx V '1'\nset -gx V '2'\n"),
    (FISH_STORE, b"export V='1'\n"),
    (".config/veltrocam/env.sh", b"export V='" + b"a" * 40 + b"\n"), (FISH_STORE, b"set -gx V '" + b"a" * 40),
    (CSH_STORE, b"setenv V 'a!b'\n"), (CSH_STORE, b"setenv V 'a\nb'\n"), (CSH_STORE, b"setenv V '" + b"a\\" * 40),
    (ENVIRONMENT_D, b'V="1"\n'), (ENVIRONMENT_D, script_update._target.WHOLE_FILE_HEADER + b'V="$HOME"\n'),
])
def test_malformed_content_refused_without_write(home, file, content):
    store(home).parent.mkdir(parents=True, mode=0o700)
    (home / file).parent.mkdir(exist_ok=True)
    (home / file).write_bytes(content)
    before = snapshot(home)
    with pytest.raises(ValueError):
        update_bash_file(["W"], "2")
    assert {k: v for k, v in snapshot(home).items() if not k.endswith(".lock")} == before
    if file == ".profile":
        store(home).write_bytes(b"export W='2'\n")
        with pytest.raises(ValueError):
            remove_from_bash_file(["W"])
        assert store(home).read_bytes() == b"export W='2'\n"


def value_files(home):
    return {path: path.read_bytes() for path in (home / ".config").rglob("*")
            if path.is_file() and path.suffix != ".lock" and path.name != "veltrocam.fish"}


def test_opt_out_keeps_existing_files_in_step_and_removal_reaches_them_all(home, monkeypatch):
    monkeypatch.setenv("SHELL", "/usr/bin/fish")
    (home / "../bin/tcsh").touch(0o755)
    monkeypatch.setattr(script_update._environment_d, "GENERATOR", str(home / "../bin/tcsh"))
    update_bash_file(["V"], SECRET)
    update_bash_file(["W"], "kept")
    assert len(value_files(home)) == 4
    monkeypatch.setenv("VELTROCAM_NO_MODIFY_RC", "1")
    startup = {name: (home / name).read_bytes() for name in (".profile", ".cshrc", FISH_CONF)}
    update_bash_file(["V"], "changed")
    assert all(b"changed" in data and SECRET.encode() not in data for data in value_files(home).values())
    assert remove_from_bash_file(["V"]) == ["V"]
    assert all(b"changed" not in data and b"kept" in data for data in value_files(home).values())
    assert len(value_files(home)) == 4
    assert remove_from_bash_file(["W"]) == ["W"] and value_files(home) == {}
    assert {name: (home / name).read_bytes() for name in startup} == startup


@pytest.mark.parametrize("mask", [0o000, 0o020])
def test_created_files_private_or_at_most_0644_whatever_the_umask(home, monkeypatch, mask):
    monkeypatch.setenv("SHELL", "/bin/bash")
    for program in ("fish", "tcsh", "zsh"):
        (home / "../bin" / program).touch(0o755)
    monkeypatch.setattr(script_update._environment_d, "GENERATOR", str(home / "../bin/tcsh"))
    old = os.umask(mask)
    try:
        update_bash_file(["V"], "1")
    finally:
        os.umask(old)
    private = {store(home).parent, *store(home).parent.iterdir(), home / ENVIRONMENT_D}
    modes = {path: stat.S_IMODE(path.stat().st_mode) for path in home.rglob("*")}
    assert len(modes) == 15
    assert {path: mode for path, mode in modes.items() if path in private} == dict.fromkeys(
        private, 0o600) | {store(home).parent: 0o700}
    assert [path for path, mode in modes.items() if mode & (0o022 if path.is_dir() else 0o133)] == []


@pytest.mark.parametrize("value", ["", "relative", "missing"])
def test_unusable_home_refused_and_never_created(home, monkeypatch, value):
    where = {"": "", "relative": "home", "missing": str(home / "missing")}[value]
    monkeypatch.setenv("HOME", where)
    monkeypatch.chdir(home)
    for name in ("make_private_folder", "locked_home"):  # a fault must not reach / itself
        monkeypatch.setattr(script_update._files, name, pytest.fail)
    for call in (lambda: update_bash_file(["V"], "1"), lambda: remove_from_bash_file(["V"]),
                 script_update.store_status):
        with pytest.raises(RuntimeError, match="does not exist" if value == "missing" else "HOME"):
            call()
    assert snapshot(home) == {}


@pytest.mark.parametrize("kind", ["foreign", "hard-linked"])
def test_startup_file_with_the_right_block_is_only_read(home, kind):
    update_bash_file(["V", "W"], "1")
    profile = home / ".profile"
    if kind == "foreign":
        if os.geteuid() != 0:
            pytest.skip("only root can give a file to another user")
        os.chown(profile, 65534, 65534)
    else:
        os.link(profile, home / "dotfiles-profile")
    before = snapshot(home)
    assert update_bash_file(["V"], "2") == [str(store(home))]
    assert remove_from_bash_file(["V"]) == ["V"]
    assert {k: v for k, v in snapshot(home).items() if "veltrocam" not in k} == {
        k: v for k, v in before.items() if "veltrocam" not in k}
    (home / ".profile").write_bytes(before[".profile"][1].replace(b"-r", b"-f"))
    with pytest.raises(PermissionError, match="another user" if kind == "foreign" else "hard links"):
        update_bash_file(["V"], "3")  # now the block must be added


@pytest.mark.parametrize("shell", ["/bin/bash", "/usr/bin/xonsh"])
def test_value_a_target_cannot_hold_is_left_out_of_it_or_refused_for_the_users_shell(home, monkeypatch, shell):
    """xonsh expands ~ and variables in a name ending in PATH; bsd-csh cuts words over 8187 bytes."""
    monkeypatch.setenv("SHELL", shell)
    for program in ("xonsh", "bsd-csh"):
        (home / "../bin" / program).touch(0o755)
    update_bash_file(["KEEP"], "1")
    cases = [("MY_PATH", "~/bin:$HOME/x", "xonsh treats MY_PATH as a list of paths", "env.xsh", "env.csh"),
             ("MY_DIRS", "%HOME%/x", "xonsh treats MY_DIRS as a list of paths", "env.xsh", "env.csh"),
             ("LONG", "x" * 9000, "csh reads words of at most 8187 bytes", "env.csh", "env.xsh")]
    for name, value, reason, without, holding in cases:
        if shell.endswith("xonsh") and "xonsh" in reason:
            with pytest.raises(ValueError, match=f"refusing to store {name}: {reason}"):
                update_bash_file([name], value)
            continue
        update_bash_file([name], value)
        assert reason in script_update.store_status().left_out[name]
        assert f"export {name}=".encode() in store(home).read_bytes()
        assert name.encode() not in (store(home).parent / without).read_bytes()
        assert name.encode() in (store(home).parent / holding).read_bytes()
    assert remove_from_bash_file(["KEEP", "MY_PATH", "MY_DIRS", "LONG"])[0] == "KEEP"
    assert value_files(home) == {}
