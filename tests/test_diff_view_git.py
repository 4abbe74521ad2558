"""git shows notebooks through the view once `vornik-git install` has run: `git diff` with the
cell view, `git log -p` and `git show` with the text rendering; `uninstall` takes both away."""

import shutil
from pathlib import Path

import pytest

from gitrepo import git_world, run

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
NOTEBOOK = "flows/sensor report.ipynb"  # a directory and a blank, as in real repositories


@pytest.fixture
def repo(tmp_path):
    env = git_world(tmp_path)
    env.pop("NO_COLOR", None)
    repo = tmp_path / "repo"
    repo.mkdir()
    run(env, "git", "init", "-q", "-b", "main", cwd=repo)
    run(env, "vornik-git", "install", cwd=repo)
    (repo / "flows").mkdir()
    shutil.copy(EXAMPLES / "base.ipynb", repo / NOTEBOOK)
    run(env, "git", "add", "-A", cwd=repo)
    run(env, "git", "commit", "-q", "-m", "base", cwd=repo)
    shutil.copy(EXAMPLES / "incoming.ipynb", repo / NOTEBOOK)
    return env, repo


def test_git_diff_shows_the_cell_view(repo):
    env, path = repo
    out = run(env, "git", "diff", cwd=path).stdout
    assert out.startswith(f"--- a/{NOTEBOOK}\n+++ b/{NOTEBOOK}\n")
    assert "modified code cell 'train' [c71d]\n@@ -1,2 +1,2 @@\n-model = fit(frame, alpha=0.1)\n" in out
    assert "added code cell 'report' [f5b0]\nparents: +train [c71d]\n" in out
    assert "  + alpha  float            -> 0.05\n" in out
    assert '"cell_type"' not in out and "\x1b[" not in out


@pytest.mark.parametrize("command", [["log", "-p", "-1"], ["show"], ["diff", "--no-ext-diff", "HEAD~"],
                                     ["log", "-p", "--ext-diff", "-1"]])
def test_history_shows_notebooks_as_text_or_on_request_as_cells(repo, command):
    env, path = repo
    run(env, "git", "commit", "-q", "-am", "incoming", cwd=path)
    out = run(env, "git", *command, cwd=path).stdout
    assert '"cell_type"' not in out
    if "--ext-diff" in command:
        assert f"--- a/{NOTEBOOK}\n+++ b/{NOTEBOOK}\n\nmodified code cell 'clean' [8a2e]" in out
        return
    assert f"diff --git a/{NOTEBOOK} b/{NOTEBOOK}" in out
    assert "-    model = fit(frame, alpha=0.1)\n+    model = fit(frame, alpha=0.05)\n" in out
    assert "+code cell 'report' [f5b0]\n+  parents: train [c71d]\n+    report(model, score)\n" in out


@pytest.mark.parametrize("change, header", [
    ("add", "--- /dev/null\n+++ b/flows/new.ipynb\n"),
    ("delete", f"--- a/{NOTEBOOK}\n+++ /dev/null\n"),
    ("rename", f"--- a/{NOTEBOOK}\n+++ b/flows/renamed.ipynb\n"),
    ("chmod", f"old mode 100644\nnew mode 100755\n--- a/{NOTEBOOK}\n+++ b/{NOTEBOOK}\n"),
])
def test_added_deleted_and_renamed_notebooks(repo, change, header):
    env, path = repo
    run(env, "git", "checkout", "-q", "--", NOTEBOOK, cwd=path)
    if change == "add":
        shutil.copy(EXAMPLES / "current.ipynb", path / "flows/new.ipynb")
        run(env, "git", "add", "flows/new.ipynb", cwd=path)
    elif change == "delete":
        run(env, "git", "rm", "-q", NOTEBOOK, cwd=path)
    elif change == "rename":
        run(env, "git", "mv", NOTEBOOK, "flows/renamed.ipynb", cwd=path)
    else:
        run(env, "git", "update-index", "--chmod=+x", NOTEBOOK, cwd=path)
    out = run(env, "git", "diff", "--cached", "-M", cwd=path).stdout
    assert out.startswith(header)
    assert ("no differences in cells or parameters" in out) == (change in ("rename", "chmod"))


def test_a_notebook_the_view_cannot_read_still_shows(repo):
    env, path = repo
    (path / "flows/broken.ipynb").write_text('{"cells": [\n  {"cell_type": "code"\n')
    (path / "flows/plain.ipynb").write_text('{"cells": [{"cell_type": "code", "metadata": {}, "source": ["x = 1"]}]}')
    run(env, "git", "add", "flows", cwd=path)
    result = run(env, "git", "diff", "--cached", cwd=path)
    out = result.stdout
    assert result.returncode == 0 and "external diff died" not in result.stderr
    # one notebook after another, each a section of its own
    assert out.count("\n\n--- ") == 2
    assert "+++ b/flows/broken.ipynb\n(not compared cell by cell: " in out
    assert "not valid JSON" in out and '+{"cells": [' in out
    assert "+++ b/flows/plain.ipynb\n(not compared cell by cell: " in out
    assert "+code cell\n+    x = 1\n" in out


@pytest.mark.parametrize("settings, no_color, coloured", [
    ([], None, False),  # git's default "auto", and no terminal here
    (["-c", "color.diff=always"], None, True),
    (["-c", "color.ui=always", "-c", "color.diff=never"], None, False),
    (["-c", "color.diff=always"], "1", False),
])
def test_colour_follows_git(repo, settings, no_color, coloured):
    env, path = repo
    if no_color is not None:
        env = dict(env, NO_COLOR=no_color)
    out = run(env, "git", *settings, "diff", cwd=path).stdout
    assert ("\x1b[1;33mmodified\x1b[0m code cell" in out) == coloured
    assert ("\x1b[" in out) == coloured


def test_install_registers_and_uninstall_removes_the_diff_driver(repo):
    env, path = repo
    assert (path / ".gitattributes").read_text() == "*.ipynb merge=vornik diff=vornik\n"
    config = run(env, "git", "config", "--local", "--get-regexp", "^diff[.]vornik[.]", cwd=path).stdout
    assert [line.split(" ", 1)[0] for line in config.splitlines()] == [
        "diff.vornik.command", "diff.vornik.textconv", "diff.vornik.cachetextconv"]
    assert "git diff shows notebooks cell by cell" in run(env, "vornik-git", "status", cwd=path).stdout
    run(env, "vornik-git", "uninstall", cwd=path)
    assert (path / ".gitattributes").read_text() == ""  # committed, so kept
    assert run(env, "git", "config", "--local", "--get-regexp", "^diff[.]", cwd=path, check=False).stdout == ""
    out = run(env, "git", "diff", cwd=path).stdout
    assert f"diff --git a/{NOTEBOOK} b/{NOTEBOOK}" in out and '"cell_type"' in out


@pytest.mark.parametrize("steps, cwd, args, shown", [
    ([], ".", [], True),  # the index against the work tree
    ([], ".", ["--cached"], False),
    ([["add", "-A"]], ".", ["--cached"], True),
    ([["add", "-A"]], ".", [], False),
    ([], "flows", ["HEAD", "sensor report.ipynb"], True),  # paths from the current directory
    ([], "flows", ["HEAD", "--", "other.ipynb"], False),
    ([["commit", "-qam", "incoming"]], "flows", ["HEAD~", "HEAD"], True),
    ([["commit", "-qam", "incoming"]], ".", ["HEAD~..HEAD"], True),
    ([["commit", "-qam", "incoming"]], ".", ["HEAD"], False),
])
def test_diff_takes_revisions_as_git_diff_does(repo, steps, cwd, args, shown):
    env, path = repo
    for step in steps:
        run(env, "git", *step, cwd=path)
    result = run(env, "vornik-git", "diff", *args, cwd=path / cwd, check=False)
    assert result.returncode == (1 if shown else 0), result.stderr
    assert result.stdout == "" if not shown else result.stdout.startswith(
        f"--- a/{NOTEBOOK}\n+++ b/{NOTEBOOK}\n\nmodified code cell 'clean' [8a2e]\n")


def test_diff_of_revisions_as_one_page(repo):
    env, path = repo
    shutil.copy(EXAMPLES / "current.ipynb", path / "flows/new.ipynb")
    run(env, "git", "add", "-A", cwd=path)
    # two existing files after a "--" are paths, not the two sides
    result = run(env, "vornik-git", "diff", "--html", "-", "--cached", "--", NOTEBOOK, "flows/new.ipynb", cwd=path,
                 check=False)
    assert result.returncode == 1
    assert result.stdout.count('<section class="notebook"') == 2 and result.stdout.count("<svg") == 2
    assert "git diff --cached -- flows/sensor report.ipynb flows/new.ipynb" in result.stdout
