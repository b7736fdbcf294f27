"""A change to the store is all or nothing: a full disk, a file-size limit or a
read-only home fails it before the first rename, leaving every file and
os.environ as they were."""

import errno
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest
from conftest import child_environment
from test_store import snapshot

VALUE = "v" * 6000
# Stores OLD first, then (with argv[2] set) breaks the machine as asked and
# tries set_to_environ on NEW and OLD.
CHILD = """
import json, os, resource, signal, sys
from veltrocam.tilso.sdk.license_helper import set_to_environ
if sys.argv[1] == "setup":
    set_to_environ(["OLD"], "old")
    sys.exit()
if sys.argv[1] == "file-size-limit":
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (int(sys.argv[2]),) * 2)
try:
    set_to_environ(["NEW", "OLD"], sys.argv[3])
except OSError as error:
    print(json.dumps([error.errno, "NEW" in os.environ, os.environ["OLD"]]))
"""


def mount(*args):
    done = subprocess.run(["mount", *args], capture_output=True)
    if done.returncode != 0:
        pytest.skip(f"mount is not permitted here: {done.stderr.decode().strip()}")


def fill(folder, spare):
    """Fill the file system of ``folder`` to the last byte, then free ``spare`` bytes."""
    with open(folder / "spare", "wb") as file:
        file.write(b"s" * spare)
    with open(folder / "filler", "wb", buffering=0) as file:
        try:
            while True:
                file.write(b"f" * 4096)
        except OSError as error:
            assert error.errno == errno.ENOSPC
    os.unlink(folder / "spare")


@pytest.mark.parametrize("failure, expected", [
    ("full-disk", errno.ENOSPC), ("file-size-limit", errno.EFBIG), ("read-only-home", errno.EROFS)])
def test_failed_change_leaves_every_file_and_the_environment_as_they_were(failure, expected):
    base = Path(tempfile.mkdtemp())
    mounted = []
    try:
        if failure == "full-disk":
            mount("-t", "tmpfs", "-o", "size=256k", "tmpfs", str(base))
            mounted.append(base)
        home, config = base / "home", base / "config"
        home.mkdir()
        env = child_environment(HOME=str(home), SHELL="/bin/bash", LANG="C.UTF-8", OLD="old",
                                XDG_CONFIG_HOME=str(config) if failure == "read-only-home" else None)
        def run(*args):
            return subprocess.run([sys.executable, "-c", CHILD, *args], env=env, capture_output=True,
                                  text=True, timeout=60)
        assert run("setup").returncode == 0
        (home / ".profile").write_bytes(b"x\n")  # so the change must write a start-up file too
        written = [path for path in base.rglob("env.*") if path.suffix != ".lock"]
        assert len(written) >= 2
        limit = 0
        if failure == "full-disk":
            fill(base, 12 * 1024)
        elif failure == "file-size-limit":  # env.sh fits; env.fish, one byte longer per line, does not
            limit = len(b"export NEW='%s'\nexport OLD='%s'\n" % (VALUE.encode(), VALUE.encode()))
        else:
            mount("--bind", str(home), str(home))
            mounted.append(home)
            mount("-o", "remount,bind,ro", str(home))
        before = snapshot(base)
        result = run(failure, str(limit), VALUE)
        assert json.loads(result.stdout or "null") == [expected, False, "old"], result.stderr
        assert snapshot(base) == before
    finally:
        for folder in reversed(mounted):
            subprocess.run(["umount", str(folder)], check=True)
        shutil.rmtree(base)
