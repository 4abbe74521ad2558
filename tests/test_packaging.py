"""What the package declares about itself: its type stubs, checked against the modules a
type checker would meet, and its version."""

import os
import site
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

import vornik_git

PACKAGE_ROOT = Path(vornik_git.__file__).resolve().parent.parent
STUBBED = ["vornik_git.drivers.nbweave", "vornik_git.drivers.nbdelta",
           "vornik_git.scripts.vornikweave", "vornik_git.drivers.common"]

TYPED_CALLER = """
from typing import Any, Dict, List
import git
import vornik_git
from vornik_git.drivers import merge_files
from vornik_git.drivers.nbweave import MergeCell, _merge_source
from vornik_git.drivers.nbdelta import DiffCell, DiffParameter, diff_dicts

def run(document: Dict[str, Any], cell: Dict[str, Any]) -> List[str]:
    merge_files("base", "current", "incoming", "file")
    merged = MergeCell(cell, MergeCell.CURRENT)
    merged.add_conflict_mark()
    kind: str = merged.file_type
    diff: Dict[str, Any] = diff_dicts(document, document)
    record = DiffCell(cell)
    record.status = DiffCell.ADDED
    parameter = DiffParameter({"name": "n", "type": "int", "value": "1"})
    parameter.prev_value = parameter.value
    version: str = vornik_git.__version__
    return _merge_source(git.cmd.Git("."), record.source, [], [], kind, version) + [str(diff)]
"""

# Each line is a mistake the stubs must make a type checker report.
MISTAKES = {
    "merge_files(1, 'c', 'i', 'f')": "merge_files",
    "MergeCell([], 'base')": "MergeCell",
    "DiffParameter({'a': 'b'}).data = {}": "data",
    "x: int = diff_dicts({}, {})": "diff_dicts",
    "DiffCell({}).prev_source = 'text'": "prev_source",
}


def mypy_env():
    """Lets a type checker find the package under test where it is not installed: the source
    tree of an in-place build (an installed one it finds by itself, through py.typed)."""
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT))
    if str(PACKAGE_ROOT) not in site.getsitepackages():
        env["MYPYPATH"] = str(PACKAGE_ROOT)
    return env


def run_tool(arguments, cwd):
    return subprocess.run([sys.executable, "-m", *arguments], cwd=cwd, env=mypy_env(),
                          capture_output=True, text=True, timeout=600)


def test_stubs_match_the_modules(tmp_path):
    pytest.importorskip("mypy")
    assert (PACKAGE_ROOT / "vornik_git" / "py.typed").is_file()
    result = run_tool(["mypy.stubtest", *STUBBED], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_strict_typed_caller_passes_and_mistakes_are_caught(tmp_path):
    pytest.importorskip("mypy")
    (tmp_path / "caller.py").write_text(TYPED_CALLER)
    mistakes = "\n".join(TYPED_CALLER.splitlines()[1:7] + list(MISTAKES)) + "\n"
    (tmp_path / "mistakes.py").write_text(mistakes)
    cache = ["--cache-dir", str(tmp_path / "cache")]
    good = run_tool(["mypy", "--strict", *cache, "caller.py"], tmp_path)
    assert good.returncode == 0, good.stdout + good.stderr
    bad = run_tool(["mypy", "--strict", *cache, "mistakes.py"], tmp_path)
    reported = [line for line in bad.stdout.splitlines() if ": error:" in line]
    # One error on each mistake's line, nowhere else.
    lines = sorted({int(line.split(":")[1]) for line in reported})
    assert lines == list(range(7, 7 + len(MISTAKES))), bad.stdout


def test_version_is_the_project_version():
    with open(Path(__file__).resolve().parents[1] / "pyproject.toml", "rb") as project:
        expected = tomllib.load(project)["project"]["version"]
    assert vornik_git.__version__ == expected
    shown = subprocess.run([sys.executable, "-m", "vornik_git.cli", "--version"],
                           env=dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT)),
                           capture_output=True, text=True, check=True)
    assert shown.stdout == f"vornik-git {expected}\n"
