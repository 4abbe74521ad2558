"""Checks an installed wheel from outside the source tree: the native modules load with the
libgit2 copy that the wheel bundles, the in-process engine is usable, and a merge of three
cells with conflicting sources goes through it (git runs once, for the conflict style, instead
of once per cell). Run by tools/check-wheel.sh with the interpreter of the venv to check."""

import json
import os
import sys
import tempfile
from pathlib import Path

from vornik_git import _engine
from vornik_git.drivers import merge_files

CELLS = 3


def notebook(version):
    cells = [{"cell_type": "code", "execution_count": None, "outputs": [],
              "metadata": {"canvas": {"id": f"c{i}", "name": f"cell {i}"}},
              "source": [f"x{i} = {version}\n"]} for i in range(CELLS)]
    return {"cells": cells, "metadata": {"canvas": {"parameters": []}},
            "nbformat": 4, "nbformat_minor": 5}


def main():
    loaded = sorted({line.split()[-1] for line in open("/proc/self/maps") if "libgit2" in line})
    print("libgit2", _engine.libgit2, "loaded from", loaded)
    if not loaded or not all("/vornik_git.libs/" in path for path in loaded):
        sys.exit(f"libgit2 not taken from the wheel: {loaded}")
    if not _engine.usable:
        sys.exit(f"the engine is not usable (libgit2 {_engine.libgit2})")

    with tempfile.TemporaryDirectory() as directory:
        root = Path(directory)
        paths = {}
        for version in ("base", "current", "incoming"):
            paths[version] = root / f"{version}.ipynb"
            paths[version].write_text(json.dumps(notebook(version)), encoding="utf-8")
        trace = root / "trace"
        os.environ["GIT_TRACE"] = str(trace)
        os.chdir(root)  # outside any repository: the plain conflict style
        merge_files(str(paths["base"]), str(paths["current"]), str(paths["incoming"]), "nb.ipynb")
        runs = sum("built-in: git merge-file" in line
                   for line in trace.read_text(errors="replace").splitlines())
        merged = json.loads(paths["current"].read_text(encoding="utf-8"))
    conflicts = sum(any(line.startswith("<<<<<<< ") for line in cell["source"])
                    for cell in merged["cells"])
    print(f"{conflicts} conflicting cells merged, git merge-file ran {runs} time(s)")
    if conflicts != CELLS or runs != 1:
        sys.exit("the conflicting sources did not go through the engine")
    print("wheel check passed")


if __name__ == "__main__":
    main()
