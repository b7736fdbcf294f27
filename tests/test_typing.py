"""What a type checker sees of the installed package.

mypy runs as a subprocess of this interpreter, in an empty folder, so it
finds the package only where it is installed (stubs, py.typed and all).
"""

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from conftest import child_environment

ROOT = Path(__file__).resolve().parents[1]
EXAMPLE = ROOT / "examples" / "credentials.py"
PACKAGE = "veltrocam.tilso.sdk"


def run_mypy(folder, *args, env=None):
    environment = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    environment.update(env or {})
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=folder, env=environment, capture_output=True, text=True, timeout=600)


def test_stubtest_finds_the_stubs_true_to_the_module(tmp_path):
    # The mypy that installs on free-threaded 3.13 (1.19) still checks the
    # names script_update imports from typing as its own; newer ones do not.
    allowlist = tmp_path / "imported-names.txt"
    allowlist.write_text(
        rf"{PACKAGE}\.script_update(\.\w+)?\.(Iterable|Iterator|NamedTuple|NoReturn)(\.\w+)*" "\n")
    done = run_mypy(tmp_path, "mypy.stubtest", PACKAGE, "--allowlist", str(allowlist),
                    "--ignore-unused-allowlist")
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Success" in done.stdout


# Each stub is wrong in one respect only; stubtest must see it against the
# real function objects, so it does look at their signatures.
_GOOD_GET = 'def get_license_info(license_name: str = "VELTROCAM_LICENSE") -> tuple[str, str] | tuple[None, None]: ...'
_GOOD_SET = "def set_to_environ(variables: str | list[str], value: str) -> None: ..."


@pytest.mark.parametrize("get, set_, wrong", [
    (_GOOD_GET.replace('"VELTROCAM_LICENSE"', '"OTHER"'), _GOOD_SET, "get_license_info"),
    (_GOOD_GET.replace("license_name", "name"), _GOOD_SET, "get_license_info"),
    (_GOOD_GET.replace(' = "VELTROCAM_LICENSE"', ""), _GOOD_SET, "get_license_info"),
    (_GOOD_GET, _GOOD_SET.replace(", value: str", ""), "set_to_environ"),
    (_GOOD_GET, _GOOD_SET.replace("value: str", "value: str = ..."), "set_to_environ"),
    (_GOOD_GET, _GOOD_SET.replace("list[str], ", "list[str], /, "), "set_to_environ"),
    (_GOOD_GET, "", "set_to_environ"),
], ids=["default", "parameter-name", "no-default", "missing-parameter",
        "invented-default", "positional-only", "missing-function"])
def test_stubtest_refuses_a_stub_that_differs_from_the_module(tmp_path, get, set_, wrong):
    stubs = tmp_path / "stubs" / "veltrocam" / "tilso" / "sdk"
    stubs.mkdir(parents=True)
    for folder in (stubs, stubs.parent, stubs.parent.parent):
        (folder / "__init__.pyi").write_text("")
    (stubs / "license_helper.pyi").write_text(f"{get}\n{set_}\n")
    done = run_mypy(tmp_path, "mypy.stubtest", f"{PACKAGE}.license_helper",
                    env={"MYPYPATH": str(tmp_path / "stubs")})
    assert done.returncode == 1, done.stdout + done.stderr
    assert f"{PACKAGE}.license_helper.{wrong}" in done.stdout


def test_strict_mypy_passes_on_the_python_modules_and_the_example(tmp_path):
    (tmp_path / EXAMPLE.name).write_text(EXAMPLE.read_text(encoding="utf-8"))
    done = run_mypy(tmp_path, "mypy", "--strict", "-p", PACKAGE, "-m", EXAMPLE.stem)
    assert done.returncode == 0, done.stdout + done.stderr


def test_the_readme_shows_the_checked_example():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    assert EXAMPLE.read_text(encoding="utf-8") in readme


def test_the_example_runs(tmp_path):
    environment = child_environment(HOME=str(tmp_path), PYTHONIOENCODING="utf-8",
                                    VELTROCAM_LICENSE="alice:se:cret",
                                    VELTROCAM_NO_MODIFY_RC="1")
    done = subprocess.run([sys.executable, str(EXAMPLE)], env=environment, cwd=tmp_path,
                          capture_output=True, text=True, encoding="utf-8", timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == "signed in as alice"
    store = (tmp_path / ".config" / "veltrocam" / "env.sh").read_text()
    assert "export VELTROCAM_REGION='eu-west'\n" in store
    assert "export VELTROCAM_CACHE='/opt/veltrocam'\n" in store


_USES = """
from veltrocam.tilso.sdk import __version__
from veltrocam.tilso.sdk.license_helper import get_license_info, set_to_environ
from veltrocam.tilso.sdk.script_update import remove_from_bash_file, update_bash_file

reveal_type(get_license_info())
reveal_type(get_license_info)
reveal_type(update_bash_file(["A"], "b"))
reveal_type(remove_from_bash_file(["A"]))
reveal_type(__version__)
get_license_info(1)
get_license_info(name="X")
set_to_environ(("A", "B"), "b")
set_to_environ("A", 1)
update_bash_file("A", "b")
"""


def test_what_a_type_checker_sees(tmp_path):
    (tmp_path / "uses.py").write_text(textwrap.dedent(_USES))
    done = run_mypy(tmp_path, "mypy", "--strict", "--hide-error-context",
                    "--no-error-summary", "uses.py")
    lines = re.findall(r"^uses\.py:(\d+): (?:error|note): (.*?)(?:  \[[a-z-]+\])?$",
                       done.stdout, re.MULTILINE)
    # Older mypy releases spell builtin types with their module.
    found = {int(line): text.replace("builtins.", "") for line, text in lines
             if " defined in " not in text}
    assert found == {
        6: 'Revealed type is "tuple[str, str] | tuple[None, None]"',
        7: 'Revealed type is "def (license_name: str =) -> tuple[str, str] | tuple[None, None]"',
        8: 'Revealed type is "list[str]"',
        9: 'Revealed type is "list[str]"',
        10: 'Revealed type is "str"',
        11: 'Argument 1 to "get_license_info" has incompatible type "int"; expected "str"',
        12: 'Unexpected keyword argument "name" for "get_license_info"',
        13: 'Argument 1 to "set_to_environ" has incompatible type "tuple[str, str]"; '
            'expected "str | list[str]"',
        14: 'Argument 2 to "set_to_environ" has incompatible type "int"; expected "str"',
        15: 'Argument 1 to "update_bash_file" has incompatible type "str"; expected "list[str]"',
    }, done.stdout
