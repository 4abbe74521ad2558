"""The installed merge driver in real git runs: conflicts stop git, what the notebook merge
cannot take gets git's own line merge, layouts are kept, and a missing tool breaks nothing."""

import json
import os
import shutil
import signal
import site
import subprocess
import sys
import time

import pytest

from gitrepo import read_notebook, run, write_notebook
from test_git_setup import base_notebook, world  # noqa: F401 - world is a fixture
from test_git_setup import cell as named

NOTEBOOK = "flows/daily report.ipynb"


def source_of(name, lines):
    return lambda document: named(document, name).update(source=lines)


def alpha(value):
    return lambda document: document["metadata"]["canvas"]["parameters"][0].update(value=value)


# (ours, theirs) per kind of change; "clean" merges without conflicts
KINDS = {
    "source block": (source_of("fit", ["fit(alpha=0.2)\n"]), source_of("fit", ["fit(alpha=0.3)\n"])),
    "edit against deletion": (source_of("plot", ["plot(model, dpi=300)\n"]), lambda d: d["cells"].pop()),
    "parameter": (alpha("0.2"), alpha("0.3")),
    "clean": (source_of("load", ["data = read(fast=True)\n", "data = clean(data)\n"]),
              source_of("plot", ["plot(model, log=True)\n"])),
}


def commit_on(env, repo, branch, edit, path, dump):
    run(env, "git", "checkout", "-q", "-b", branch, "main", cwd=repo)
    document = json.JSONDecoder().raw_decode((repo / path).read_text(encoding="utf-8"))[0]
    edit(document)
    (repo / path).write_text(dump(document), encoding="utf-8")
    run(env, "git", "commit", "-q", "-am", f"edit on {branch}", cwd=repo)
    return document


def editor_form(document):
    return json.dumps(document, indent=1, sort_keys=True, ensure_ascii=False) + "\n"


def scenario(env, repo, ours, theirs, command="merge", path=NOTEBOOK, base=None, dump=editor_form,
             install=True):
    """Commits base on main, theirs and ours on branches of those names, and runs ``command``
    on ours; returns git's result and the document of the incoming side."""
    if install:
        run(env, "vornik-git", "install", cwd=repo)
    (repo / path).parent.mkdir(parents=True, exist_ok=True)
    (repo / path).write_text(dump(base or base_notebook()), encoding="utf-8")
    run(env, "git", "add", "-A", cwd=repo)
    run(env, "git", "commit", "-q", "-m", "base", cwd=repo)
    incoming = commit_on(env, repo, "theirs", theirs, path, dump)
    replayed = commit_on(env, repo, "ours", ours, path, dump)
    arguments = {
        "merge": ["merge", "--no-edit", "theirs"],
        "pull": ["pull", "--no-rebase", "--no-edit", ".", "theirs"],
        "cherry-pick": ["cherry-pick", "theirs"],
        "rebase": ["rebase", "theirs"],  # replays ours onto theirs: ours comes in
    }[command]
    result = subprocess.run(["git", *arguments], cwd=repo, env=env, capture_output=True, text=True,
                            errors="surrogateescape")  # git's messages name the path as it is
    return result, replayed if command == "rebase" else incoming


def porcelain(env, repo):
    return run(env, "git", "status", "--porcelain", "--untracked-files=no", cwd=repo).stdout


@pytest.mark.parametrize("command", ["merge", "rebase", "cherry-pick", "pull"])
@pytest.mark.parametrize("kind", list(KINDS))
def test_conflicts_stop_git_and_clean_merges_commit(world, kind, command):
    env, repo = world
    result, incoming = scenario(env, repo, *KINDS[kind], command=command)
    if kind == "clean":
        assert result.returncode == 0, result.stderr
        assert porcelain(env, repo) == ""
        merged = read_notebook(repo / NOTEBOOK)
        assert named(merged, "plot")["source"] == ["plot(model, log=True)\n"]
        assert named(merged, "load")["source"][0] == "data = read(fast=True)\n"
        return
    assert result.returncode != 0
    assert porcelain(env, repo) == f'UU "{NOTEBOOK}"\n'
    assert run(env, "vornik-git", "conflicts", NOTEBOOK, cwd=repo, check=False).returncode == 1
    run(env, "git", "checkout", "--theirs", "--", NOTEBOOK, cwd=repo)
    assert read_notebook(repo / NOTEBOOK) == incoming


def plain_notebook(sources):
    return {"cells": [{"cell_type": "code", "metadata": {}, "source": lines, "outputs": [],
                       "execution_count": None} for lines in sources],
            "metadata": {"kernelspec": {"name": "python3"}}, "nbformat": 4, "nbformat_minor": 5}


# (the cell theirs edits, text after the JSON, whether git merge-file conflicts, whether git stops)
@pytest.mark.parametrize("theirs_cell, junk, conflicting, stops", [
    (3, "", False, False), (0, "", True, True), (3, "}\n", False, True)])  # a clean merge of what is not JSON
def test_an_ordinary_notebook_merges_as_git_merge_file_merges_it(world, theirs_cell, junk, conflicting, stops):
    env, repo = world
    base = plain_notebook([[f"step_{i}()\n", "more()\n"] for i in range(4)])
    ours, theirs = (lambda d: d["cells"][0].update(source=["ours()\n"]),
                    lambda d: d["cells"][theirs_cell].update(source=["theirs()\n"]))
    result, _ = scenario(env, repo, ours, theirs, base=base, dump=lambda d: json.dumps(d, indent=1) + "\n" + junk)
    assert ("not valid JSON" if junk else "not a canvas notebook") in result.stderr
    versions = []
    for branch in ("ours", "main", "theirs"):
        versions.append(repo.parent / branch)
        versions[-1].write_bytes(run_bytes(env, repo, "git", "show", f"{branch}:{NOTEBOOK}").stdout)
    expected = run_bytes(env, repo, "git", "merge-file", "-p", "-L", "HEAD", "-L", "base", "-L", "theirs", *versions)
    assert (repo / NOTEBOOK).read_bytes() == expected.stdout
    assert (expected.returncode != 0, result.returncode != 0) == (conflicting, stops)
    assert porcelain(env, repo) == (f'UU "{NOTEBOOK}"\n' if stops else "")


def run_bytes(env, repo, *command):
    return subprocess.run(command, cwd=repo, env=env, capture_output=True)


@pytest.mark.parametrize("path, written, kept", [
    (NOTEBOOK, "editor", "editor"), (NOTEBOOK, "one-line", "one-line"), ("-report.ipynb", "editor", "editor"),
    ("caf\udce9.ipynb", "editor", "editor"),
])
def test_layout_and_path_survive(world, path, written, kept):
    from vornik_git import _native

    env, repo = world
    forms = {"editor": editor_form, "one-line": _native.dumps}
    base = base_notebook()
    named(base, "plot")["metadata"]["canvas"]["name"] = "plot é"
    result, _ = scenario(env, repo, *KINDS["source block"], path=path, base=base, dump=forms[written])
    assert result.returncode == 1, result.stderr
    text = (repo / path).read_text(encoding="utf-8")
    document = json.loads(text)
    assert text == forms[kept](document)
    source = named(document, "fit")["source"]
    label = path.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")  # caf\xe9
    assert source[0] == f"<<<<<<< {label}-current\n" and source[-1] == f">>>>>>> {label}-incoming\n"


def test_a_cell_with_a_nul_byte_loses_neither_side(world):
    env, repo = world
    base = base_notebook()
    named(base, "fit")["source"] = ["a = '\0'\n", "b = 1\n", "c = 2\n", "d = 3\n"]
    ours = source_of("fit", ["a = '\0'\n", "b = 10\n", "c = 2\n", "d = 3\n"])
    theirs = source_of("fit", ["a = '\0'\n", "b = 1\n", "c = 2\n", "d = 30\n"])
    result, _ = scenario(env, repo, ours, theirs, base=base)
    source = "".join(named(read_notebook(repo / NOTEBOOK), "fit")["source"])
    assert "b = 10\n" in source and "d = 30\n" in source
    assert (result.returncode == 0) == ("<<<<<<<" not in source)


@pytest.mark.parametrize("scope", ["local", "global"])
@pytest.mark.parametrize("gone", [None, "interpreter", "package"])
def test_install_paths_are_quoted_and_a_missing_tool_leaves_git_working(world, tmp_path, gone, scope):
    env, repo = world
    bare = dict(env, PATH="/usr/bin:/bin")  # no vornik commands on PATH either
    interpreter = tmp_path / "it's a %A \"$HOME\" `x` env" / "bin" / "python3"  # sh and git must not misread it
    interpreter.parent.mkdir(parents=True)
    interpreter.symlink_to(sys.executable)
    import vornik_git

    package = tmp_path / "site" / "vornik_git"
    shutil.copytree(os.path.dirname(vornik_git.__file__), package)
    # From 3.12 an interpreter linked from outside its environment no longer finds the
    # environment's packages by itself (GitPython among them).
    bare["PYTHONPATH"] = os.pathsep.join([str(package.parent), *site.getsitepackages()])
    run(bare, str(interpreter), "-m", "vornik_git.cli", "install", *(["--global"] if scope == "global" else []),
        cwd=repo)
    if gone:
        interpreter.unlink() if gone == "interpreter" else shutil.rmtree(package)
    assert ("does not resolve" in run(env, "vornik-git", "status", cwd=repo).stdout) == bool(gone)
    result, _ = scenario(bare, repo, *KINDS["source block"], install=False)
    assert result.returncode == 1 and "fatal" not in result.stderr
    text = (repo / NOTEBOOK).read_text()
    if gone:
        assert "<<<<<<< HEAD\n" in text and ">>>>>>> incoming\n" in text  # git's own line merge
    else:
        assert named(json.loads(text), "fit")["source"][0] == f"<<<<<<< {NOTEBOOK}-current\n"
    for command in (["log", "-p"], ["show", "theirs"], ["diff", "main"], ["diff", "--stat", "main"],
                    ["blame", "theirs", "--", NOTEBOOK]):
        shown = run(bare, "git", *command, cwd=repo)
        assert "fatal" not in shown.stderr and shown.stdout
    # Raw text cached by git as the rendering while the tool was gone is reported, and dropped
    # by the next install.
    stale = "git cached raw text"
    assert (stale in run(env, "vornik-git", "status", cwd=repo).stdout) == bool(gone)
    if gone:
        assert "dropped the text renderings" in run(env, "vornik-git", "install", cwd=repo).stdout
        assert stale not in run(env, "vornik-git", "status", cwd=repo).stdout


def test_sigterm_leaves_the_current_file_whole(world, tmp_path):
    env, _ = world
    fake, started, temporary, versions = (tmp_path / name for name in ("fake", "started", "tmp", "versions"))
    for directory in (fake, temporary, versions):
        directory.mkdir()
    # git answers GitPython's version question, then hangs in the line merge of the fallback
    (fake / "git").write_text(f'#!/bin/sh\n[ "$1" = version ] && exec {shutil.which("git")} "$@"\n'
                              f'touch "{started}"\nexec sleep 5\n')
    (fake / "git").chmod(0o755)
    for name in ("base", "current", "incoming"):
        write_notebook(versions / name, plain_notebook([[f"{name}()\n"]]))
    driver = subprocess.Popen(
        [sys.executable, "-m", "vornik_git.gitdriver", *(f"--{name}-file={versions / name}" for name in
                                                         ("current", "base", "incoming"))],
        env=dict(env, PATH=f"{fake}:{env['PATH']}", TMPDIR=str(temporary)), stderr=subprocess.DEVNULL)
    for _ in range(400):
        if started.exists() or driver.poll() is not None:
            break
        time.sleep(0.05)
    driver.send_signal(signal.SIGTERM)
    assert driver.wait(timeout=30) == -signal.SIGTERM
    assert read_notebook(versions / "current") == plain_notebook([["current()\n"]])
    assert os.listdir(temporary) == [] and sorted(os.listdir(versions)) == ["base", "current", "incoming"]
