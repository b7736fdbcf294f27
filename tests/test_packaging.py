"""The distribution as installed, and the wheel it came from.

`LICENSE_HELPER_WHEEL` names a wheel file to check as well (CI builds one
with `pip wheel`); without it only the installed file list is checked.
"""

import importlib.metadata
import os
import subprocess
import sys
import sysconfig
import tomllib
import zipfile
from pathlib import Path

import pytest
from packaging.requirements import Requirement
from packaging.specifiers import SpecifierSet

import veltrocam.tilso.sdk

ROOT = Path(__file__).resolve().parents[1]
DISTRIBUTION = "veltrocam-license-helper"
PACKAGE_FILES = {
    "__init__.py", "__main__.py", "_version.py", "cli.py", "script_update.py",
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


def _wheel_files():
    wheel = os.environ.get("LICENSE_HELPER_WHEEL")
    if not wheel:
        pytest.skip("LICENSE_HELPER_WHEEL names no wheel to check")
    # One wheel per interpreter version, not the stable ABI.
    tag = "cp%d%d" % sys.version_info[:2]
    assert os.path.basename(wheel).split("-")[2:4] == [tag, tag]
    with zipfile.ZipFile(wheel) as archive:
        return archive.namelist()


@pytest.mark.parametrize("listing", [_installed_files, _wheel_files], ids=["installed", "wheel"])
def test_file_list_holds_the_package_and_nothing_else(listing):
    files = listing()
    info = [f for f in files if f.split("/")[0].endswith(".dist-info")]
    package = [f for f in files if f not in info]
    prefix = "veltrocam/tilso/sdk/"
    assert all(f.startswith(prefix) for f in package), package
    assert sorted(f[len(prefix):] for f in package) == sorted(PACKAGE_FILES)
    names = {f.split("/", 1)[1] for f in info}
    assert {"METADATA", "WHEEL", "RECORD", "entry_points.txt", "licenses/LICENSE"} <= names
