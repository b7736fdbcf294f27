"""The veltrocam-license command line, through CliRunner and once as a real process."""

import os
import subprocess
import sys

import pytest

from click.testing import CliRunner

from veltrocam.tilso.sdk import cli, license_helper
from veltrocam.tilso.sdk.script_update import remove_from_bash_file

from conftest import child_environment

UNSET_NOTICE = "当前环境未配置用户名和密码"
LICENSE = "VELTROCAM_LICENSE"


@pytest.fixture
def home(tmp_path, monkeypatch):
    """A temporary home and config folder; os.environ is restored afterwards."""
    saved = dict(os.environ)
    for name in (LICENSE, "SUDO_USER", "ZDOTDIR", "VELTROCAM_NO_MODIFY_RC"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "config"))
    monkeypatch.setenv("SHELL", "/bin/sh")
    yield tmp_path
    os.environ.clear()
    os.environ.update(saved)


def run(*args, input=None):
    return CliRunner().invoke(cli.main, list(args), input=input)


def stored(home):
    path = home / "config/veltrocam/env.sh"
    return path.read_text() if path.exists() else ""


def assert_error(result, code, text):
    """A handled error: exit status, message on the last line of stderr, nothing on stdout."""
    assert isinstance(result.exception, SystemExit) and result.exit_code == code, result.output
    lines = result.stderr.splitlines()
    assert lines[-1].startswith("Error: ") and text in lines[-1] and result.stdout == ""
    assert code == 2 or len(lines) == 1


@pytest.mark.parametrize("args, expected", [
    ([], ["login", "logout", "set", "show", "status"]), (["login"], ["--password-stdin", "--user"]),
    (["show"], ["--name"]), (["set"], ["NAME... VALUE"]), (["logout"], ["Windows"]),
])
def test_help(args, expected):
    result = run(*args, "--help")
    assert result.exit_code == 0
    assert all(word in result.stdout for word in expected)


@pytest.mark.parametrize("password, masked", [
    ("correct:horse", "c" + "*" * 12), ("abc", "***")])
@pytest.mark.parametrize("args, answers", [
    (["-u", "alice", "--password-stdin"], "{pw}\n"),
    ([], "alice\n{pw}\n{pw}\n"),
    ([], "al:ice\nalice\n{pw}\nwrong\n{pw}\n{pw}\n"),
], ids=["stdin", "prompt", "prompt-retries"])
def test_login_stores_and_show_masks(home, args, answers, password, masked):
    login = run("login", *args, input=answers.format(pw=password))
    assert login.exit_code == 0, login.output
    assert os.environ[LICENSE] == f"alice:{password}"
    assert f"export {LICENSE}='alice:{password}'" in stored(home)
    shown = run("show")
    assert shown.exit_code == 0
    assert shown.stdout.splitlines() == ["user: alice", f"password: {masked}"]
    assert password not in shown.stdout + login.stdout


@pytest.mark.parametrize("args, answers, message", [
    (["-u", "a:b", "--password-stdin"], "pw", "colon"),
    (["-u", "", "--password-stdin"], "pw", "empty"),
    (["-u", "a", "--password-stdin"], "\n", "empty"),
    (["-u", "a", "--password-stdin"], "two\nlines\n", "one line"),
    (["--password-stdin"], "pw", "--user"),
])
def test_login_refuses(home, args, answers, message):
    assert_error(run("login", *args, input=answers), 2, message)
    assert LICENSE not in os.environ and stored(home) == ""


@pytest.mark.parametrize("value, notice", [(None, UNSET_NOTICE), ("no-colon", "")])
def test_show_without_credentials(home, monkeypatch, value, notice):
    if value is not None:
        monkeypatch.setenv(LICENSE, value)
    result = run("show")
    assert result.exit_code == 1 and result.stdout == ""
    assert notice in result.stderr and result.stderr.strip()


def test_show_other_variable(home, monkeypatch):
    monkeypatch.setenv("OTHER", "bob:hunter22secret")
    assert run("show", "--name", "OTHER").stdout == "user: bob\npassword: h" + "*" * 13 + "\n"


@pytest.mark.parametrize("names, value, shown", [
    (["ONE"], "a b", "当前 ONE 已设置为 a b"),
    (["ONE", "TWO"], "a b", "当前 ['ONE', 'TWO'] 已设置为 a b"),
    ([LICENSE], "carol:opensesame", "carol:o*********")])
def test_set(home, names, value, shown):
    result = run("set", *names, value)
    assert result.exit_code == 0 and shown in result.stdout and "opensesame" not in result.stdout
    for name in names:
        assert os.environ[name] == value
        assert f"export {name}='{value}'" in stored(home)


@pytest.mark.parametrize("names", [["1BAD"], ["GOOD", "a-b"], ["PATH"]])
def test_set_refuses_bad_names(home, names):
    assert_error(run("set", *names, "v"), 1, "Error: ")
    assert stored(home) == "" and "GOOD" not in os.environ


@pytest.mark.parametrize("error", [
    TimeoutError("env.sh.lock stayed locked by another process"),
    PermissionError("refusing to run under sudo"), OSError(28, "No space left on device"),
])
def test_store_failures_are_one_line_errors(home, monkeypatch, error):
    def fail(*args):
        raise error
    monkeypatch.setattr(license_helper, "update_bash_file", fail)
    monkeypatch.setattr(cli, "remove_from_bash_file", fail)
    for args in (["set", "NAME", "v"], ["logout"]):
        assert_error(run(*args, input="pw"), 1, str(error))


def test_unusable_config_folder_is_an_error(home):
    (home / "config").mkdir()
    (home / "config/veltrocam").write_text("not a folder")
    assert_error(run("login", "-u", "a", "--password-stdin", input="pw"), 1, "not a folder")


def test_logout(home, monkeypatch):
    run("set", "KEEP", "1")
    run("login", "-u", "alice", "--password-stdin", input="secretpw")
    platform = sys.platform
    monkeypatch.setattr(sys, "platform", "win32")
    assert_error(run("logout"), 1, "Windows")
    assert LICENSE in stored(home) and LICENSE in os.environ
    monkeypatch.setattr(sys, "platform", platform)
    result = run("logout")
    assert result.exit_code == 0 and "Removed" in result.stdout
    assert LICENSE not in os.environ and LICENSE not in stored(home) and "KEEP" in stored(home)
    assert run("show").exit_code == 1
    assert run("logout").stdout.startswith("No stored credentials")


@pytest.mark.parametrize("settings, shell", [
    ({}, "Shell: sh, covered"), ({"SHELL": "/usr/bin/fish"}, "Shell: fish, covered"),
    ({"SHELL": "/usr/bin/fish", "VELTROCAM_NO_MODIFY_RC": "1"}, "Shell: fish, not covered"),
    ({"SHELL": "/bin/tcsh"}, "Shell: tcsh, covered"),
    ({"SHELL": "/bin/tcsh", "VELTROCAM_NO_MODIFY_RC": "1"}, "Shell: tcsh, not covered"),
])
def test_status(home, monkeypatch, settings, shell):
    for name, value in settings.items():
        monkeypatch.setenv(name, value)
    assert "Stored names: none" in run("status").stdout and not (home / "config").exists()
    run("login", "-u", "alice", "--password-stdin", input="secretpw")
    run("set", "OTHER", "v")
    del os.environ["OTHER"]
    result = run("status")
    lines = result.stdout.splitlines()
    assert result.exit_code == 0 and "secretpw" not in result.stdout
    assert f"  {home}/config/veltrocam/env.sh: mode 0600" in lines
    assert f"  {LICENSE} (alice:s*******): this process has the stored value" in lines
    assert "  OTHER: this process does not have the stored value" in lines
    assert lines[-1].startswith(shell)
    opted_out = settings.get("VELTROCAM_NO_MODIFY_RC")  # tcsh and systemd's generator are installed
    assert f"  {home}/.cshrc: {'missing' if opted_out else 'sources the store'}" in lines
    assert f"  {home}/config/veltrocam/env.csh: mode 0600" in lines
    assert f"  {home}/config/environment.d/60-veltrocam.conf: {'missing' if opted_out else 'mode 0600'}" in lines
    (home / "config/veltrocam/env.fish").write_text("set -gx X 1\n")
    assert_error(run("status"), 1, "env.fish: line 1 cannot be parsed")


def test_name_stored_earlier_and_refused_now(home, monkeypatch):
    monkeypatch.setenv("SHELL", "/bin/tcsh")
    folder = home / "config/veltrocam"
    folder.mkdir(parents=True, mode=0o700)
    (folder / "env.sh").write_text("export status='1'\n")
    assert_error(run("set", "status", "2"), 1, "status: storing it would break zsh and fish")
    assert run("set", "KEEP", "2").exit_code == 0
    assert stored(home) == "export KEEP='2'\nexport status='1'\n"  # zsh stops reading at status
    assert (folder / "env.csh").read_text() == "setenv KEEP '2'\n"
    assert "status" not in (home / "config/environment.d/60-veltrocam.conf").read_text()
    lines = run("status").stdout.splitlines()
    assert any(line.startswith("  status: refused now, since it breaks zsh and fish") for line in lines)
    assert remove_from_bash_file(["status"]) == ["status"] and stored(home) == "export KEEP='2'\n"


def test_dangling_link_reported_and_not_written_through(home):
    folder = home / "config/veltrocam"
    folder.mkdir(parents=True, mode=0o700)
    (folder / "env.sh").symlink_to(folder / "gone")
    result = run("status")
    assert result.exit_code == 0
    assert f"  {folder}/env.sh: refusing to change it: the symbolic link points to a missing file, " \
           f"{folder}/gone; remove the link, or put the file it names back (empty will do)" in result.stdout
    assert_error(run("set", "V", "1"), 1, "missing file")
    assert not (folder / "gone").exists()


def test_real_process_and_login_shell(tmp_path):
    env = child_environment(HOME=str(tmp_path), SHELL="/bin/bash", LANG="C.UTF-8")
    command = [sys.executable, "-m", "veltrocam.tilso.sdk"]
    login = subprocess.run([*command, "login", "--user", "dave", "--password-stdin"], env=env,
                           input="pass word:9\n", capture_output=True, text=True, check=True)
    assert "pass word" not in login.stdout
    shell = subprocess.run(["bash", "-lc", 'printf %s "$VELTROCAM_LICENSE"'], env=env,
                           capture_output=True, text=True, check=True)
    assert shell.stdout == "dave:pass word:9"
    show = subprocess.run(["bash", "-lc", '"$0" -m veltrocam.tilso.sdk show', sys.executable],
                          env=env, capture_output=True, text=True, check=True)
    assert show.stdout == "user: dave\npassword: p**********\n"


def test_no_secret_left_after_logout_under_the_opt_out(home, monkeypatch):
    """systemd's generator is installed: its environment.d file follows every change, opt-out or not."""
    run("login", "-u", "alice", "--password-stdin", input="firstpw1")
    monkeypatch.setenv("VELTROCAM_NO_MODIFY_RC", "1")
    run("login", "-u", "alice", "--password-stdin", input="secondpw")
    texts = {path: path.read_bytes() for path in home.rglob("*") if path.is_file()}
    assert b"alice:secondpw" in texts[home / "config/environment.d/60-veltrocam.conf"]
    assert not any(b"firstpw1" in text for text in texts.values())
    assert run("logout").stdout.startswith("Removed VELTROCAM_LICENSE")
    assert not any(b"secondpw" in path.read_bytes() for path in home.rglob("*") if path.is_file())
    assert "Stored names: none" in run("status").stdout
