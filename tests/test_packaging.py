"""The distribution as installed, and the wheel it came from.

`LICENSE_HELPER_WHEEL` names a wheel file to check as well (CI builds one
with `pip wheel`); without it only the installed file list is checked.
"""

import importlib.metadata
import email.parser
import os
import re
import subprocess
import sys
import sysconfig
import tomllib
import zipfile
from pathlib import Path

import pytest
from packaging.requirements import Requirement
from packaging.specifiers import SpecifierSet
from packaging.tags import parse_tag, sys_tags
from packaging.utils import parse_wheel_filename

import veltrocam.tilso.sdk

ROOT = Path(__file__).resolve().parents[1]
DISTRIBUTION = "veltrocam-license-helper"
PACKAGE_FILES = {
    "__init__.py", "__main__.py", "_version.py", "cli.py", *(f"script_update/{name}.py" for name in (
        "__init__", "_context", "_csh", "_elvish", "_environment_d", "_files", "_fish", "_names", "_sh", "_status",
        "_target", "_targets", "_transaction", "_xonsh")),
    "license_helper.pyi", "py.typed",
    "license_helper" + sysconfig.get_config_var("EXT_SUFFIX"),
}


def test_one_version_everywhere():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    assert veltrocam.tilso.sdk.__version__ == project["version"]
    assert importlib.metadata.version(DISTRIBUTION) == project["version"]
    done = subprocess.run([sys.executable, "-m", "veltrocam.tilso.sdk", "--version"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split()[-1] == project["version"]
    # Without reading the installed metadata, which is slow to import.
    done = subprocess.run([sys.executable, "-c", "import sys, veltrocam.tilso.sdk.license_helper; "
                           "print('importlib.metadata' in sys.modules)"],
                          capture_output=True, text=True, timeout=60)
    assert done.stdout == "False\n", done.stderr


def test_metadata_says_what_the_package_is():
    metadata = importlib.metadata.metadata(DISTRIBUTION)
    assert metadata["Name"] == DISTRIBUTION
    assert metadata["Summary"]
    assert metadata["Description"].startswith("# veltrocam-license-helper\n")
    assert metadata["Description-Content-Type"] == "text/markdown"
    assert metadata["License-Expression"] == "LicenseRef-Proprietary"
    assert metadata["License-File"] == "LICENSE"
    python = SpecifierSet(metadata["Requires-Python"])
    assert all(v in python for v in ("3.11.0", "3.11.7", "3.12.1", "3.13.0", "3.14.0", "3.15.0"))
    assert "3.10.9" not in python
    plain = [Requirement(r) for r in metadata.get_all("Requires-Dist")]
    assert [r.name for r in plain if r.marker is None] == ["click"]
    assert {
        "Programming Language :: Python :: 3.11",
        "Programming Language :: Python :: 3.12",
        "Programming Language :: Python :: 3.13",
        "Programming Language :: Python :: 3.14",
        "Programming Language :: Python :: 3.15",
        "Programming Language :: Python :: Implementation :: CPython",
        "Programming Language :: C++",
        "Operating System :: POSIX",
        "Operating System :: Microsoft :: Windows",
        "Typing :: Typed",
    } <= set(metadata.get_all("Classifier"))


def _installed_files():
    files = importlib.metadata.files(DISTRIBUTION)
    # The installer adds compiled bytecode and the console script.
    return [str(f) for f in files
            if "__pycache__" not in f.parts and not str(f).startswith("..")]


def _wheel():
    wheel = os.environ.get("LICENSE_HELPER_WHEEL")
    if not wheel:
        pytest.skip("LICENSE_HELPER_WHEEL names no wheel to check")
    return wheel


def _wheel_files():
    wheel = _wheel()
    # One wheel per interpreter version, not the stable ABI; a free-threaded
    # build's ABI is its own (cp313-cp313t).
    tag = "cp%d%d" % sys.version_info[:2]
    abi = tag + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")
    assert os.path.basename(wheel).split("-")[2:4] == [tag, abi]
    with zipfile.ZipFile(wheel) as archive:
        # auditwheel writes entries for the folders too.
        return [f for f in archive.namelist() if not f.endswith("/")]


# The test-only module that LICENSE_HELPER_PROBE=ON adds to a build (CI's
# sanitizer and coverage builds), never to a wheel.
PROBE_FILE = "_runtime_probe" + sysconfig.get_config_var("EXT_SUFFIX")


@pytest.mark.parametrize("listing", [_installed_files, _wheel_files], ids=["installed", "wheel"])
def test_file_list_holds_the_package_and_nothing_else(listing):
    files = listing()
    if listing is _installed_files and os.environ.get("LICENSE_HELPER_PROBE") == "ON":
        files.remove("veltrocam/tilso/sdk/" + PROBE_FILE)
    info = [f for f in files if f.split("/")[0].endswith(".dist-info")]
    package = [f for f in files if f not in info]
    prefix = "veltrocam/tilso/sdk/"
    assert all(f.startswith(prefix) for f in package), package
    assert sorted(f[len(prefix):] for f in package) == sorted(PACKAGE_FILES)
    names = {f.split("/", 1)[1] for f in info}
    assert {"METADATA", "WHEEL", "RECORD", "entry_points.txt", "licenses/LICENSE"} <= names


def test_wheel_tags_are_its_names_and_fit_this_interpreter():
    wheel = _wheel()
    named = parse_wheel_filename(os.path.basename(wheel))[3]
    with zipfile.ZipFile(wheel) as archive:
        [info] = {f.split("/")[0] for f in archive.namelist() if ".dist-info/" in f}
        fields = email.parser.Parser().parsestr(archive.read(info + "/WHEEL").decode())
    assert fields["Root-Is-Purelib"] == "false"
    assert {t for tag in fields.get_all("Tag") for t in parse_tag(tag)} == named
    # pip installs it here, and a PyPI upload takes it: manylinux, at most
    # glibc 2.28 (the oldest of the legacy names is glibc 2.5).
    assert named & set(sys_tags())
    for tag in named:
        found = re.fullmatch(r"manylinux_2_(\d+)_x86_64|manylinux(1|2010|2014)_x86_64", tag.platform)
        assert found, tag
        assert found[2] or int(found[1]) <= 28, tag


# What cibuildwheel builds on the other systems, by its build identifiers.
RELEASE_PYTHONS = ("cp311", "cp312", "cp313", "cp314", "cp314t", "cp315", "cp315t")
RELEASE_PLATFORMS = {
    "linux": ("manylinux_x86_64", "manylinux_aarch64"),
    "macos": ("macosx_arm64", "macosx_x86_64"),
    "windows": ("win_amd64",),
}


@pytest.mark.parametrize("platform", sorted(RELEASE_PLATFORMS))
def test_release_matrix(platform):
    # Offline (any request would go to a closed port), and without CIBW_
    # variables of the caller's, which would change the selection.
    environment = {k: v for k, v in os.environ.items() if not k.startswith("CIBW_")}
    environment.update(HTTP_PROXY="http://127.0.0.1:9", HTTPS_PROXY="http://127.0.0.1:9",
                       http_proxy="http://127.0.0.1:9", https_proxy="http://127.0.0.1:9",
                       NO_PROXY="", no_proxy="")
    done = subprocess.run([sys.executable, "-m", "cibuildwheel", "--print-build-identifiers",
                           "--platform", platform, str(ROOT)],
                          cwd=ROOT, env=environment, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    listed = done.stdout.split()
    assert len(listed) == len(set(listed))
    assert set(listed) == {f"{python}-{where}" for python in RELEASE_PYTHONS
                           for where in RELEASE_PLATFORMS[platform]}
