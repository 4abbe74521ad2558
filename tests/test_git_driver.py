"""The installed merge driver in real git runs: conflicts stop git, what the notebook merge
cannot take gets git's own line merge, layouts are kept, and a missing tool breaks nothing."""

import json
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest

from gitrepo import git_world, read_notebook, run, write_notebook
from notebooks import make_cell, make_notebook

NOTEBOOK = "flows/daily report.ipynb"


@pytest.fixture
def world(tmp_path):
    env = git_world(tmp_path)
    repo = tmp_path / "repo"
    repo.mkdir()
    run(env, "git", "init", "-q", "-b", "main", cwd=repo)
    return env, repo


def base_notebook():
    cells = [
        make_cell("a1", "load", ["data = read()\n", "data = clean(data)\n"]),
        make_cell("b2", "fit", ["model = fit(data, alpha=0.1)\n"], parents=["a1"]),
        make_cell("c3", "plot", ["plot(model)\n"], parents=["b2"]),
    ]
    return make_notebook(cells, [{"name": "alpha", "type": "float", "value": "0.1"}])


def named(document, name):
    return next(c for c in document["cells"] if c["metadata"]["canvas"]["name"] == name)


def set_source(name, lines):
    def edit(document):
        named(document, name)["source"] = lines
    return edit


def set_alpha(value):
    def edit(document):
        document["metadata"]["canvas"]["parameters"][0]["value"] = value
    return edit


def drop_plot(document):
    document["cells"].pop()


# (ours, theirs) per kind of change; "clean" merges without conflicts
KINDS = {
    "source block": (set_source("fit", ["fit(alpha=0.2)\n"]), set_source("fit", ["fit(alpha=0.3)\n"])),
    "edit against deletion": (set_source("plot", ["plot(model, dpi=300)\n"]), drop_plot),
    "parameter": (set_alpha("0.2"), set_alpha("0.3")),
    "clean": (set_source("load", ["data = read(fast=True)\n", "data = clean(data)\n"]),
              set_source("plot", ["plot(model, log=True)\n"])),
}


def commit_on(env, repo, branch, edit, path, dump):
    run(env, "git", "checkout", "-q", "-b", branch, "main", cwd=repo)
    document = json.loads((repo / path).read_text(encoding="utf-8"))
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


def set_plain(index, lines):
    def edit(document):
        document["cells"][index]["source"] = lines
    return edit


@pytest.mark.parametrize("theirs_cell, conflicting", [(3, False), (0, True)])
def test_an_ordinary_notebook_merges_as_git_merge_file_merges_it(world, theirs_cell, conflicting):
    env, repo = world
    base = plain_notebook([[f"step_{i}()\n", "more()\n"] for i in range(4)])
    result, _ = scenario(env, repo, set_plain(0, ["ours()\n"]), set_plain(theirs_cell, ["theirs()\n"]),
                         base=base, dump=lambda document: json.dumps(document, indent=1) + "\n")
    assert "not a canvas notebook" in result.stderr + result.stdout
    versions = {}
    for name, branch in (("base", "main"), ("current", "ours"), ("incoming", "theirs")):
        versions[name] = repo.parent / name
        versions[name].write_bytes(subprocess.run(["git", "show", f"{branch}:{NOTEBOOK}"], cwd=repo,
                                                  env=env, capture_output=True, check=True).stdout)
    expected = subprocess.run(
        ["git", "merge-file", "-p", "-L", "HEAD", "-L", "base", "-L", "theirs",
         versions["current"], versions["base"], versions["incoming"]], capture_output=True)
    assert (repo / NOTEBOOK).read_bytes() == expected.stdout
    assert (result.returncode != 0) == conflicting == (expected.returncode != 0)
    assert porcelain(env, repo) == (f'UU "{NOTEBOOK}"\n' if conflicting else "")


@pytest.mark.parametrize("form", ["editor", "one-line"])
def test_the_current_layout_is_kept(world, form):
    from vornik_git import _native

    env, repo = world
    dump = editor_form if form == "editor" else _native.dumps
    base = base_notebook()
    named(base, "fit")["metadata"]["canvas"]["name"] = "fit é"
    ours, theirs = KINDS["clean"]
    result, _ = scenario(env, repo, ours, theirs, base=base, dump=dump)
    assert result.returncode == 0, result.stderr
    text = (repo / NOTEBOOK).read_text(encoding="utf-8")
    document = json.loads(text)
    assert named(document, "plot")["source"] == ["plot(model, log=True)\n"]
    assert named(document, "fit é")
    assert text == (editor_form(document) if form == "editor" else _native.dumps(document))


def test_a_cell_with_a_nul_byte_loses_neither_side(world):
    env, repo = world
    base = base_notebook()
    named(base, "fit")["source"] = ["a = '\0'\n", "b = 1\n", "c = 2\n", "d = 3\n"]
    ours = set_source("fit", ["a = '\0'\n", "b = 10\n", "c = 2\n", "d = 3\n"])
    theirs = set_source("fit", ["a = '\0'\n", "b = 1\n", "c = 2\n", "d = 30\n"])
    result, _ = scenario(env, repo, ours, theirs, base=base)
    source = "".join(named(read_notebook(repo / NOTEBOOK), "fit")["source"])
    assert "b = 10\n" in source and "d = 30\n" in source
    assert (result.returncode == 0) == ("<<<<<<<" not in source)


@pytest.mark.parametrize("path", ["-report.ipynb", "caf\udce9.ipynb"])
def test_any_path_reaches_the_merge(world, path):
    env, repo = world
    result, _ = scenario(env, repo, *KINDS["source block"], path=path)
    assert result.returncode == 1, result.stderr
    source = read_notebook(repo / path)["cells"][1]["source"]
    assert source[0] == f"<<<<<<< {path}-current\n" and source[-1] == f">>>>>>> {path}-incoming\n"


def without_tool(env, tmp_path, how):
    """An environment in which the installed commands cannot start any more."""
    bare = dict(env, PATH="/usr/bin:/bin")
    if how == "interpreter removed":
        interpreter = tmp_path / "venv" / "bin" / "python3"
        interpreter.parent.mkdir(parents=True)
        interpreter.symlink_to(sys.executable)
        return bare, [str(interpreter), "-m", "vornik_git.cli"], lambda: interpreter.unlink()
    import vornik_git

    package = tmp_path / "site" / "vornik_git"
    shutil.copytree(os.path.dirname(vornik_git.__file__), package)
    bare["PYTHONPATH"] = str(package.parent)
    return bare, [sys.executable, "-m", "vornik_git.cli"], lambda: shutil.rmtree(package)


@pytest.mark.parametrize("scope", ["local", "global"])
@pytest.mark.parametrize("how", ["interpreter removed", "package removed"])
def test_a_missing_tool_leaves_git_working(world, tmp_path, how, scope):
    env, repo = world
    bare, cli, remove = without_tool(env, tmp_path, how)
    run(bare, *cli, "install", *(["--global"] if scope == "global" else []), cwd=repo)
    ours, theirs = KINDS["source block"]
    write_notebook(repo / NOTEBOOK, base_notebook())
    run(bare, "git", "add", "-A", cwd=repo)
    run(bare, "git", "commit", "-q", "-m", "base", cwd=repo)
    remove()
    run(env, "git", "checkout", "-q", "-b", "theirs", cwd=repo)
    document = base_notebook()
    theirs(document)
    write_notebook(repo / NOTEBOOK, document)
    run(env, "git", "commit", "-q", "-am", "theirs", cwd=repo)
    assert "does not resolve" in run(env, "vornik-git", "status", cwd=repo).stdout
    for command in (["log", "-p"], ["show"], ["diff", "main"], ["diff", "--stat", "main"],
                    ["blame", NOTEBOOK]):
        shown = run(bare, "git", *command, cwd=repo)
        assert "fatal" not in shown.stderr and shown.stdout
    run(env, "git", "checkout", "-q", "-b", "ours", "main", cwd=repo)
    document = base_notebook()
    ours(document)
    write_notebook(repo / NOTEBOOK, document)
    run(env, "git", "commit", "-q", "-am", "ours", cwd=repo)
    result = run(bare, "git", "merge", "--no-edit", "theirs", cwd=repo, check=False)
    assert result.returncode == 1 and "fatal" not in result.stderr
    text = (repo / NOTEBOOK).read_text()
    assert "<<<<<<< HEAD\n" in text and ">>>>>>> incoming\n" in text  # git's own line merge


def test_sigterm_leaves_the_current_file_whole(world, tmp_path):
    env, repo = world
    fake = tmp_path / "slow-git"
    fake.mkdir()
    # git answers GitPython's version question, then hangs in whatever the merge asks of it
    started = tmp_path / "started"
    (fake / "git").write_text(f'#!/bin/sh\n[ "$1" = version ] && exec {shutil.which("git")} "$@"\n'
                              f'touch "{started}"\nexec sleep 5\n')
    (fake / "git").chmod(0o755)
    versions = {}
    for name, index in (("base", None), ("current", 0), ("incoming", 3)):
        document = plain_notebook([[f"step_{i}()\n"] for i in range(4)])  # merged by git merge-file
        if index is not None:
            document["cells"][index]["source"] = [f"{name}()\n"]
        versions[name] = tmp_path / "versions" / f"{name}.ipynb"
        write_notebook(versions[name], document)
    original = versions["current"].read_bytes()
    temporary = tmp_path / "tmp"
    temporary.mkdir()
    driver = subprocess.Popen(
        [sys.executable, "-m", "vornik_git.gitdriver", "--current-file", str(versions["current"]),
         "--base-file", str(versions["base"]), "--incoming-file", str(versions["incoming"])],
        env=dict(env, PATH=f"{fake}:{env['PATH']}", TMPDIR=str(temporary)), stderr=subprocess.DEVNULL)
    for _ in range(400):  # the line merge is under way once git has started
        if started.exists() or driver.poll() is not None:
            break
        time.sleep(0.05)
    assert started.exists()
    driver.send_signal(signal.SIGTERM)
    assert driver.wait(timeout=30) == -signal.SIGTERM
    assert versions["current"].read_bytes() == original
    assert os.listdir(temporary) == [] and sorted(os.listdir(tmp_path / "versions")) == [
        "base.ipynb", "current.ipynb", "incoming.ipynb"]


def test_an_install_path_sh_and_git_would_misread_still_runs(world, tmp_path):
    env, repo = world
    interpreter = tmp_path / "it's a %A \"$HOME\" `x` dir" / "python3"
    interpreter.parent.mkdir()
    interpreter.symlink_to(sys.executable)
    run(env, str(interpreter), "-m", "vornik_git.cli", "install", cwd=repo)
    assert str(interpreter) in run(env, "vornik-git", "status", cwd=repo).stdout
    result, _ = scenario(env, repo, *KINDS["source block"], install=False)
    assert result.returncode == 1 and "vornik-git:" not in result.stderr
    assert named(read_notebook(repo / NOTEBOOK), "fit")["source"][0] == f"<<<<<<< {NOTEBOOK}-current\n"
