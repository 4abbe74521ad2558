"""The notebooks that differ between git revisions, the index and the work tree, with the meaning
that ``git diff`` gives its arguments:

    (nothing)            the index against the work tree
    --cached [REV]       REV (HEAD by default) against the index
    REV                  REV against the work tree
    REV REV, REV..REV    one commit against another (REV...REV: from their merge base)

git itself reads the revisions and paths and names every changed file with the blobs of both
sides; each notebook among them is handed over as two files to read, the work tree's own file
where a side is the work tree and a temporary copy of the blob otherwise.
"""

from __future__ import annotations

import contextlib
import os
import subprocess
import tempfile
from dataclasses import dataclass
from typing import Iterator

from .notebooktext import NULL_PATH, ViewError, visible

SUFFIX = ".ipynb"
_NO_BLOB = "0" * 40
_REGULAR_MODES = ("100644", "100755")


@dataclass
class Change:
    """One notebook that differs: its path from the top of the work tree and a file to read for
    each side (``NULL_PATH`` for a side where it does not exist)."""

    path: str
    old: str
    new: str


def _git(args: list[str], cwd: str | None = None) -> bytes:
    try:
        result = subprocess.run(["git", *args], cwd=cwd, capture_output=True)
    except OSError as error:
        raise ViewError(f"cannot run git ({error.strerror or error})") from None
    if result.returncode != 0:
        lines = os.fsdecode(result.stderr).strip().splitlines()
        detail = lines[0] if lines else f"exit status {result.returncode}"
        raise ViewError(visible(f"git {args[0]}: {detail.removeprefix('fatal: ')}"))
    return result.stdout


def work_tree(otherwise: str = "give two notebook files") -> str:
    """The top of the work tree around the current directory; ``otherwise`` tells the user what
    to do outside one."""
    try:
        return os.fsdecode(_git(["rev-parse", "--show-toplevel"])).strip()
    except ViewError:
        raise ViewError(f"not inside a git work tree: {otherwise}, or run this in a repository") from None


def is_revision(word: str) -> bool:
    """Whether git reads ``word`` as a revision (a commit, or a range of commits)."""
    if word.startswith("-"):
        return False
    ends = [end for end in word.split("..") if end.strip(".")] if ".." in word else [word]
    try:
        return bool(ends) and all(
            subprocess.run(["git", "rev-parse", "--verify", "--quiet", f"{end.strip('.')}^{{commit}}"],
                           capture_output=True).returncode == 0
            for end in ends)
    except OSError:
        return False


def _raw_entries(output: bytes) -> Iterator[tuple[str, str, str, str, str, str]]:
    """(old mode, new mode, old blob, new blob, status, path) of ``git diff --raw -z``."""
    fields = output.split(b"\0")
    index = 0
    while index + 1 < len(fields) and fields[index].startswith(b":"):
        old_mode, new_mode, old_blob, new_blob, status = fields[index][1:].decode("ascii").split(" ")
        yield old_mode, new_mode, old_blob, new_blob, status, os.fsdecode(fields[index + 1])
        index += 2


@contextlib.contextmanager
def changed_notebooks(revisions: list[str], paths: list[str] | None, cached: bool) -> Iterator[list[Change]]:
    """The notebooks that differ, in git's order. ``paths`` None: the operands were given
    without a "--", and git tells revisions from paths itself."""
    top = work_tree()
    command = ["diff", "--raw", "-z", "--no-abbrev", "--no-renames", "--ignore-submodules"]
    if cached:
        command.append("--cached")
    command += revisions if paths is None else [*revisions, "--", *paths]
    entries = [entry for entry in _raw_entries(_git(command)) if entry[5].endswith(SUFFIX) and entry[4] != "U"]
    with tempfile.TemporaryDirectory(prefix="vornik-git-") as scratch:
        changes = []
        for number, (old_mode, new_mode, old_blob, new_blob, _status, path) in enumerate(entries):
            sides = []
            for side, mode, blob in (("old", old_mode, old_blob), ("new", new_mode, new_blob)):
                if mode not in _REGULAR_MODES:  # absent, or a link or submodule: not a notebook here
                    sides.append(NULL_PATH)
                elif blob == _NO_BLOB:
                    sides.append(os.path.join(top, path))
                else:
                    copy = os.path.join(scratch, f"{number}-{side}{SUFFIX}")
                    with open(copy, "wb") as stream:
                        stream.write(_git(["cat-file", "blob", blob], cwd=top))
                    sides.append(copy)
            if sides != [NULL_PATH, NULL_PATH]:
                changes.append(Change(path, *sides))
        yield changes
