"""The commit the benchmark figures belong to.  Kept apart from _support,
which imports the extension: bench/instructions.py asks for the commit from
an interpreter that need not have the package installed."""

import os

HERE = os.path.dirname(os.path.abspath(__file__))


def git_commit():
    """The repository's HEAD commit ('+' when the native sources differ from it)."""
    import subprocess

    repo = os.path.dirname(HERE)
    try:
        head = subprocess.run(["git", "-C", repo, "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", repo, "status", "--porcelain", "--", "src",
                                "CMakeLists.txt"], capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return "unknown"
    return head + ("+" if dirty.strip() else "")
