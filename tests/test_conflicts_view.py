"""`vornik-git conflicts`: the wording of what a merge left, and the notebooks it checks when it
is given none."""

import pytest

from gitrepo import git_world, run, write_notebook
from notebooks import make_cell, make_notebook
from vornik_git import conflictview


def parameter(name):
    return {"name": name, "type": "str", "value": "1"}


@pytest.mark.parametrize("cells, parameters, lines", [
    (["<<< fit", "plot", ">>> fit"], [], [
        "cell 1 '<<< fit' [c1]: kept in two variants, current's (incoming's: cell 3)",
        "cell 3 '>>> fit' [c3]: kept in two variants, incoming's (current's: cell 1)"]),
    (["<<< fit", ">>> plot"], [], [
        "cell 1 '<<< fit' [c1]: kept as '<<< fit' only: incoming deleted it",
        "cell 2 '>>> plot' [c2]: kept as '>>> plot' only: current deleted it"]),
    ([], ["<<< a", ">>> a", ">>> b"], [
        "parameter '<<< a': kept in two variants, current's (incoming's: '>>> a')",
        "parameter '>>> a': kept in two variants, incoming's (current's: '<<< a')",
        "parameter '>>> b': kept as '>>> b' only: current deleted it"]),
    (["fit", "<<<plot", ""], ["a", "<<<a"], []),  # a prefix is the marker and a blank
])
def test_what_each_marked_variant_is_called(cells, parameters, lines):
    document = make_notebook([make_cell(f"c{n}", name) for n, name in enumerate(cells, 1)],
                             [parameter(name) for name in parameters])
    assert conflictview.notebook_conflicts(document) == lines


def test_without_paths_every_tracked_and_unmerged_notebook_is_checked(tmp_path):
    env = git_world(tmp_path)
    repo = tmp_path / "repo"
    (repo / "sub").mkdir(parents=True)
    run(env, "git", "init", "-q", "-b", "main", cwd=repo)
    write_notebook(repo / "clean.ipynb", make_notebook([make_cell("a", "load")]))
    write_notebook(repo / "sub/marked.ipynb", make_notebook([make_cell("a", "<<< load")]))
    write_notebook(repo / "text.ipynb", make_notebook([make_cell("a", "load", ["x = 0\n"])]))
    run(env, "git", "add", "-A", cwd=repo)
    run(env, "git", "commit", "-qm", "base", cwd=repo)
    write_notebook(repo / "untracked.ipynb", make_notebook([make_cell("a", "<<< load")]))
    # no driver installed: git merges the notebook as text and leaves its own conflict blocks
    run(env, "git", "checkout", "-qb", "other", cwd=repo)
    write_notebook(repo / "text.ipynb", make_notebook([make_cell("a", "load", ["x = 1\n"])]))
    run(env, "git", "commit", "-qam", "other", cwd=repo)
    run(env, "git", "checkout", "-q", "main", cwd=repo)
    write_notebook(repo / "text.ipynb", make_notebook([make_cell("a", "load", ["x = 2\n"])]))
    run(env, "git", "commit", "-qam", "main", cwd=repo)
    assert run(env, "git", "merge", "-q", "other", cwd=repo, check=False).returncode != 0

    result = run(env, "vornik-git", "conflicts", cwd=repo / "sub", check=False)
    assert (result.returncode, result.stderr) == (1, "")
    assert result.stdout == (
        "marked.ipynb: cell 1 '<<< load' [a]: kept as '<<< load' only: incoming deleted it\n"
        "../text.ipynb: 1 conflict block of git's own in the file (git merged it as text, not cell by cell)\n")
    write_notebook(repo / "text.ipynb", make_notebook([make_cell("a", "load", ["x = 3\n"])]))
    result = run(env, "vornik-git", "conflicts", cwd=repo, check=False)
    assert result.stdout.splitlines()[-1] == (
        "text.ipynb: unmerged in git, with no conflict marks left ('git add' it once resolved)")
