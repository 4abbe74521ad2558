"""`vornik-git install/uninstall/status`, and real `git merge` runs through the driver."""

import shutil

import pytest

from gitrepo import git_world, read_notebook, run, write_notebook
from notebooks import make_cell, make_notebook

NOTEBOOK = "flows/daily report.ipynb"  # a directory and a space: %P must reach us intact


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
    parameters = [{"name": "alpha", "type": "float", "value": "0.1"},
                  {"name": "days", "type": "int", "value": "7"}]
    return make_notebook(cells, parameters)


def cell(document, name):
    return next(c for c in document["cells"] if c["metadata"]["canvas"]["name"] == name)


def parameter(document, name):
    return next(p for p in document["metadata"]["canvas"]["parameters"] if p["name"] == name)


def branch_with(env, repo, branch, edit):
    run(env, "git", "checkout", "-q", "-b", branch, "main", cwd=repo)
    document = read_notebook(repo / NOTEBOOK)
    edit(document)
    write_notebook(repo / NOTEBOOK, document)
    run(env, "git", "commit", "-q", "-am", f"edit on {branch}", cwd=repo)


def prepare(env, repo, ours, theirs, *install):
    run(env, "vornik-git", "install", *install, cwd=repo)
    write_notebook(repo / NOTEBOOK, base_notebook())
    run(env, "git", "add", "-A", cwd=repo)
    run(env, "git", "commit", "-q", "-m", "base", cwd=repo)
    branch_with(env, repo, "theirs", theirs)
    branch_with(env, repo, "ours", ours)
    return run(env, "git", "merge", "--no-edit", "theirs", cwd=repo, check=False)


def test_clean_merge_of_separate_edits(world):
    env, repo = world

    def ours(document):
        cell(document, "load")["source"][1] = "data = clean(data, strict=True)\n"
        document["cells"].append(make_cell("d4", "report", ["report(model)\n"], parents=["b2"]))
        parameter(document, "days")["value"] = "30"

    def theirs(document):
        cell(document, "plot")["source"] = ["plot(model, log=True)\n"]
        document["cells"].insert(1, make_cell("e5", "check", ["check(data)\n"], parents=["a1"]))

    result = prepare(env, repo, ours, theirs)
    assert result.returncode == 0, result.stderr
    merged = read_notebook(repo / NOTEBOOK)
    assert [c["metadata"]["canvas"]["name"] for c in merged["cells"]] == ["load", "fit", "plot", "report", "check"]
    assert cell(merged, "load")["source"] == ["data = read()\n", "data = clean(data, strict=True)\n"]
    assert cell(merged, "plot")["source"] == ["plot(model, log=True)\n"]
    assert parameter(merged, "days")["value"] == "30"
    assert run(env, "git", "status", "--porcelain", cwd=repo).stdout == ""
    assert run(env, "vornik-git", "conflicts", NOTEBOOK, cwd=repo).stdout == ""
    assert run(env, "git", "log", "-1", "--format=%P", cwd=repo).stdout.count(" ") == 1  # a merge commit


@pytest.mark.parametrize("install, status", [((), 1), (("--pass-through",), 0)])
def test_conflicts_are_kept_in_the_notebook(world, install, status):
    env, repo = world

    def ours(document):
        cell(document, "fit")["source"] = ["model = fit(data, alpha=0.2)\n"]
        cell(document, "plot")["source"] = ["plot(model, dpi=300)\n"]
        parameter(document, "alpha")["value"] = "0.2"

    def theirs(document):
        cell(document, "fit")["source"] = ["model = fit(data, alpha=0.3)\n"]
        document["cells"].pop()  # "plot", which ours edits
        parameter(document, "alpha")["value"] = "0.3"

    result = prepare(env, repo, ours, theirs, *install)
    # git stops at the conflict, unless told to pass it through; either way the notebook holds it
    assert result.returncode == status, result.stderr
    assert run(env, "git", "status", "--porcelain", cwd=repo).stdout == ("" if status == 0 else f'UU "{NOTEBOOK}"\n')
    merged = read_notebook(repo / NOTEBOOK)
    assert cell(merged, "fit")["source"] == [
        f"<<<<<<< {NOTEBOOK}-current\n",
        "model = fit(data, alpha=0.2)\n",
        "=======\n",
        "model = fit(data, alpha=0.3)\n",
        f">>>>>>> {NOTEBOOK}-incoming\n",
    ]
    # the variants go to the end of the list, current's first
    assert [(p["name"], p["value"]) for p in merged["metadata"]["canvas"]["parameters"]] == [
        ("days", "7"), ("<<< alpha", "0.2"), (">>> alpha", "0.3")]
    listed = run(env, "vornik-git", "conflicts", NOTEBOOK, cwd=repo, check=False)
    assert (listed.returncode, listed.stdout) == (1, "".join(f"{NOTEBOOK}: {line}\n" for line in [
        "cell 2 'fit' [b2]: 1 conflict block in the source",
        "cell 3 '<<< plot' [c3]: kept as '<<< plot' only: incoming deleted it",
        "parameter '<<< alpha': kept in two variants, current's (incoming's: '>>> alpha')",
        "parameter '>>> alpha': kept in two variants, incoming's (current's: '<<< alpha')",
    ]))


def test_a_notebook_the_driver_cannot_merge_gets_git_line_merge(world):
    env, repo = world

    def ours(document):
        cell(document, "fit")["source"] = ["ours\n"]

    def theirs(document):
        del document["metadata"]  # the merge needs the parameters of every version
    result = prepare(env, repo, ours, theirs)
    assert result.returncode == 0, result.stderr
    assert f"vornik-git: {NOTEBOOK} (incoming version): not a canvas notebook" in result.stdout + result.stderr
    merged = read_notebook(repo / NOTEBOOK)
    assert "metadata" not in merged and cell(merged, "fit")["source"] == ["ours\n"]


def config(env, repo, *args):
    return run(env, "git", "config", *args, cwd=repo, check=False).stdout


def test_install_is_idempotent_and_uninstall_keeps_the_rest(world):
    env, repo = world
    (repo / ".gitattributes").write_text("*.png binary\n*.ipynb diff=other\n")
    outputs = [run(env, "vornik-git", "install", cwd=repo).stdout for _ in range(2)]
    assert "nothing changed" not in outputs[0] and outputs[1].startswith("nothing changed")
    assert (repo / ".gitattributes").read_text() == "*.png binary\n*.ipynb diff=other\n*.ipynb merge=vornik diff=vornik\n"
    assert "vornik_git.gitdriver --marker-size=%L" in config(env, repo, "--local", "merge.vornik.driver")
    assert config(env, repo, "--local", "diff.vornik.cachetextconv") == "true\n"
    assert run(env, "git", "check-attr", "merge", "--", "x/y.ipynb", cwd=repo).stdout == "x/y.ipynb: merge: vornik\n"
    assert run(env, "vornik-git", "status", cwd=repo).returncode == 0

    for _ in range(2):
        run(env, "vornik-git", "uninstall", cwd=repo)
    assert (repo / ".gitattributes").read_text() == "*.png binary\n*.ipynb diff=other\n"
    assert config(env, repo, "--local", "--get-regexp", "^merge[.]vornik") == ""
    status = run(env, "vornik-git", "status", cwd=repo, check=False)
    assert status.returncode == 1 and "git's default" in status.stdout


def test_install_updates_a_line_of_ours_in_place(world):
    env, repo = world
    (repo / ".gitattributes").write_text("*.ipynb diff=vornik\n*.csv text\n")
    run(env, "vornik-git", "install", cwd=repo)
    assert (repo / ".gitattributes").read_text() == "*.ipynb merge=vornik diff=vornik\n*.csv text\n"
    run(env, "vornik-git", "uninstall", cwd=repo)
    assert (repo / ".gitattributes").read_text() == "*.csv text\n"
    (repo / ".gitattributes").write_text("*.ipynb merge=vornik\n")
    run(env, "vornik-git", "uninstall", cwd=repo)
    assert not (repo / ".gitattributes").exists()


def test_global_install_serves_every_repository(world, tmp_path):
    env, repo = world
    outside = tmp_path / "elsewhere"
    outside.mkdir()
    run(env, "vornik-git", "install", "--global", cwd=outside)
    attributes = tmp_path / "home" / ".config" / "git" / "attributes"
    assert attributes.read_text() == "*.ipynb merge=vornik diff=vornik\n"
    assert "vornik_git.gitdriver" in config(env, repo, "--global", "merge.vornik.driver")
    assert run(env, "vornik-git", "status", cwd=repo).returncode == 0
    assert not (repo / ".gitattributes").exists()
    run(env, "vornik-git", "uninstall", "--global", cwd=outside)
    assert not attributes.exists()
    assert config(env, repo, "--global", "--list") == ""


def test_setup_errors_are_one_line(world, tmp_path):
    env, repo = world
    result = run(env, "vornik-git", "install", cwd=tmp_path / "home", check=False)
    assert (result.returncode, result.stderr) == (
        1, "vornik-git: error: not inside a git work tree; run this in a repository, or use --global or --system\n")

    launcher = shutil.which("vornik-git", path=env["PATH"])
    no_git = dict(env, PATH=str(tmp_path / "empty"))
    result = run(no_git, launcher, "install", cwd=repo, check=False)
    assert (result.returncode, result.stderr) == (1, "vornik-git: error: git was not found on PATH; install git first\n")
