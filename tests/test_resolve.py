"""`vornik-git resolve`: answers typed on a terminal, the --take forms, and `git mergetool`."""

import copy
import json
import os
import pty
import select
import subprocess
import sys
import time
from pathlib import Path

import pytest

from gitrepo import git_world, run
from notebooks import make_cell, make_notebook
from vornik_git import cli, gitsetup

CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus" / "nbdime-notebooks"

# One conflict of each kind a merge leaves; each test merges the ones it names.
KINDS = ("pair", "current-only", "incoming-only", "block", "parameter", "parameter-current-only")


def _cell(document, cell_id):
    return next(c for c in document["cells"] if c["metadata"]["canvas"]["id"] == cell_id)


def _drop(document, cell_id):
    document["cells"].remove(_cell(document, cell_id))


def _parameters(document):
    return document["metadata"]["canvas"]["parameters"]


def versions(kinds):
    """Base, current and incoming notebooks that clash in the ways of ``kinds``."""
    base = make_notebook(
        [make_cell("a1", "load", ["x = 1\n"]),
         make_cell("b2", "fit", ["m = fit(x)\n", "s = 1\n"], parents=["a1"]),
         make_cell("c3", "plot", ["plot(m)\n"], parents=["b2"]),
         make_cell("d4", "report", ["r = 1\n"], parents=["b2"]),
         make_cell("e5", "", ["y = 2\n", "z = 3\n"]),
         make_cell("f6", "summary", ["done()\n"], parents=["b2", "c3"])],
        [{"name": "alpha", "type": "float", "value": "0.1"}, {"name": "seed", "type": "int", "value": "1"}],
    )
    current, incoming = copy.deepcopy(base), copy.deepcopy(base)
    if "pair" in kinds:
        _cell(current, "b2")["source"][0] = "m = fit(x, 2)\n"
        _cell(incoming, "b2")["source"][0] = "m = fit(x, 3)\n"
        _cell(incoming, "b2")["metadata"]["canvas"]["tag"] = "slow"
    if "current-only" in kinds:
        _cell(current, "c3")["source"] = ["plot(m, 'r')\n"]
        _drop(incoming, "c3")
    if "incoming-only" in kinds:
        _drop(current, "d4")
        _cell(incoming, "d4")["source"] = ["r = 2\n"]
    if "block" in kinds:
        _cell(current, "e5")["source"][0] = "y = 20\n"
        _cell(incoming, "e5")["source"][0] = "y = 21\n"
    if "parameter" in kinds:
        _parameters(current)[0]["value"] = "0.2"
        _parameters(incoming)[0]["value"] = "0.3"
    if "parameter-current-only" in kinds:
        _parameters(current)[1]["value"] = "2"
        del _parameters(incoming)[1]
    return {"base": base, "current": current, "incoming": incoming}


def merged_notebook(directory: Path, kinds) -> Path:
    """A notebook as the merge leaves it when the two sides clash in the ways of ``kinds``."""
    from vornik_git.drivers import merge_files

    paths = {}
    for label, document in versions(kinds).items():
        paths[label] = directory / f"{label}.ipynb"
        paths[label].write_text(json.dumps(document), encoding="utf-8")
    merge_files(str(paths["base"]), str(paths["current"]), str(paths["incoming"]), "nb.ipynb")
    merged = directory / "nb.ipynb"
    paths["current"].rename(merged)
    return merged


def view(path: Path) -> dict:
    """What the tests compare: cell names in order, sources by cell name (else id), the parent
    ids of 'summary', the parameters as (name, value)."""
    document = json.loads(path.read_text(encoding="utf-8"))
    canvases = [c["metadata"]["canvas"] for c in document["cells"]]
    return {
        "names": [c["name"] for c in canvases],
        "sources": {c["name"] or c["id"]: "".join(cell["source"]) for c, cell in zip(canvases, document["cells"])},
        "summary parents": [p["id"] for c in canvases if c["name"] == "summary" for p in c["parents"]],
        "parameters": [(p["name"], p["value"]) for p in _parameters(document)],
    }


PLAIN = ["load", "fit", "plot", "report", "", "summary"]

# kind, answer, what the notebook then holds (the parts of view() named; sources by name).
ANSWERED = [
    ("pair", "c", {"names": PLAIN, "summary parents": ["b2", "c3"], "sources": {"fit": "m = fit(x, 2)\ns = 1\n"}}),
    ("pair", "i", {"names": PLAIN, "summary parents": ["c3"], "sources": {"fit": "m = fit(x, 3)\ns = 1\n"}}),
    ("pair", "b", {"names": ["load", "fit", "fit (incoming)", *PLAIN[2:]],
                   "sources": {"fit": "m = fit(x, 2)\ns = 1\n", "fit (incoming)": "m = fit(x, 3)\ns = 1\n"}}),
    ("current-only", "c", {"names": PLAIN, "sources": {"plot": "plot(m, 'r')\n"}}),
    ("current-only", "d", {"names": ["load", "fit", "report", "", "summary"], "summary parents": ["b2"]}),
    ("incoming-only", "i", {"names": ["load", "fit", "plot", "", "summary", "report"], "sources": {"report": "r = 2\n"}}),
    ("incoming-only", "d", {"names": ["load", "fit", "plot", "", "summary"]}),
    ("block", "c", {"sources": {"e5": "y = 20\nz = 3\n"}}),
    ("block", "i", {"sources": {"e5": "y = 21\nz = 3\n"}}),
    ("block", "b", {"sources": {"e5": "y = 20\ny = 21\nz = 3\n"}}),
    ("block", "e", {"sources": {"e5": "y = 22\nz = 3\n"}}),
    ("parameter", "c", {"parameters": [("seed", "1"), ("alpha", "0.2")]}),
    ("parameter", "i", {"parameters": [("seed", "1"), ("alpha", "0.3")]}),
    ("parameter", "b", {"parameters": [("seed", "1"), ("alpha", "0.2"), ("alpha (incoming)", "0.3")]}),
    ("parameter-current-only", "c", {"parameters": [("alpha", "0.1"), ("seed", "2")]}),
    ("parameter-current-only", "d", {"parameters": [("alpha", "0.1")]}),
]


def converse(command, answers, env, cwd, timeout=60.0):
    """Runs ``command`` on a pseudo-terminal, typing each answer when a prompt ("? ") waits;
    returns the exit status and everything the terminal showed."""
    pid, fd = pty.fork()
    if pid == 0:  # the child: becomes the command, its terminal the pty
        try:
            os.chdir(cwd)
            os.execvpe(command[0], command, env)
        finally:
            os._exit(127)
    shown = bytearray()

    def read_until(done) -> bool:
        deadline = time.monotonic() + timeout
        while not done():
            ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
            if not ready:
                os.kill(pid, 9)
                raise AssertionError("no prompt came; the terminal showed:\n" + shown.decode(errors="replace"))
            try:
                chunk = os.read(fd, 4096)
            except OSError:  # the child's side closed
                return False
            if not chunk:
                return False
            shown.extend(chunk)
        return True

    try:
        for answer in answers:
            mark = len(shown)
            assert read_until(lambda: shown[mark:].endswith(b"? ")), shown.decode(errors="replace")
            os.write(fd, answer.encode() if answer == "\x03" else answer.encode() + b"\r")
        read_until(lambda: False)
    finally:
        os.close(fd)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status), shown.decode(errors="replace").replace("\r\n", "\n")


@pytest.fixture
def env(tmp_path):
    editor = tmp_path / "editor.sh"
    editor.write_text("#!/bin/sh\nprintf 'y = 22\\n' > \"$1\"\n")
    editor.chmod(0o755)
    environment = {key: value for key, value in os.environ.items() if key not in ("VISUAL", "EDITOR")}
    # The package under test, installed or built in place: the child imports the same one.
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(cli.__file__)))
    environment.update(PYTHONPATH=package_root, EDITOR=str(editor), TERM="dumb")
    return environment


def resolve_command(*args):
    return [sys.executable, "-m", "vornik_git.cli", "resolve", *map(str, args)]


@pytest.mark.parametrize("kind, answer, expected", ANSWERED, ids=[f"{k}-{a}" for k, a, _ in ANSWERED])
def test_each_answer_to_each_kind_of_conflict(tmp_path, env, kind, answer, expected):
    path = merged_notebook(tmp_path, [kind])
    status, shown = converse(resolve_command(path), [answer], env, tmp_path)
    assert status == 0, shown
    result = view(path)
    result["sources"] = {name: result["sources"][name] for name in expected.get("sources", ())}
    assert {key: result[key] for key in expected} == expected


def test_screen_shows_both_variants_escaped(tmp_path, env):
    path = merged_notebook(tmp_path, ["pair"])
    document = json.loads(path.read_text())
    document["cells"][2]["source"][0] = "m = fit(x, 3)\x1b[2J\n"
    path.write_text(json.dumps(document))
    status, shown = converse(resolve_command(path), ["s"], env, tmp_path)
    assert status == 1
    assert "cell 'fit': kept in two variants" in shown
    assert "-m = fit(x, 2)\n    +m = fit(x, 3)\\e[2J\n" in shown
    assert 'metadata.canvas.tag: (none) -> "slow"' in shown
    assert "\x1b" not in shown


@pytest.mark.parametrize("answers, status", [(["q"], 1), (["c", "q"], 1), (["\x03"], 130), (["c", "b", "\x03"], 130)])
def test_quit_and_ctrl_c_leave_the_file_as_it_was(tmp_path, env, answers, status):
    path = merged_notebook(tmp_path, KINDS)
    before = path.read_bytes()
    result, shown = converse(resolve_command(path), answers, env, tmp_path)
    assert result == status, shown
    assert path.read_bytes() == before
    assert "left unchanged" in shown


def test_blocks_of_a_removed_cell_are_not_asked(tmp_path, env):
    path = merged_notebook(tmp_path, ["current-only"])
    document = json.loads(path.read_text())
    _cell(document, "c3")["source"] = ["<<<<<<< a\n", "1\n", "=======\n", "2\n", ">>>>>>> b\n"]
    path.write_text(json.dumps(document))
    status, shown = converse(resolve_command(path), ["d"], env, tmp_path)
    assert status == 0, shown
    assert "conflict block" not in shown


@pytest.mark.parametrize("side, names, parameters, block", [
    ("current", ["load", "fit", "plot", "", "summary"], [("alpha", "0.2"), ("seed", "2")], "y = 20\nz = 3\n"),
    ("incoming", ["load", "fit", "", "summary", "report"], [("alpha", "0.3")], "y = 21\nz = 3\n"),
])
def test_take_one_side_for_everything(tmp_path, side, names, parameters, block):
    path = merged_notebook(tmp_path, KINDS)
    assert cli.main(["resolve", "--take", side, str(path)]) == 0
    result = view(path)
    assert (result["names"], result["parameters"], result["sources"]["e5"]) == (names, parameters, block)
    assert gitsetup.conflicts(path) == []


def test_take_for_named_cells_and_parameters_only(tmp_path, capsys):
    path = merged_notebook(tmp_path, KINDS)
    assert cli.main(["resolve", "--take", "incoming", "--cell", "fit", "--cell", "e5",
                     "--parameter", "alpha", str(path)]) == 1
    left = gitsetup.conflicts(path)
    assert [line.split(":")[0] for line in left] == ["cell 3 '<<< plot' [c3]", "cell 6 '>>> report' [d4]",
                                                     "parameter '<<< seed'"]
    assert view(path)["sources"]["fit"] == "m = fit(x, 3)\ns = 1\n"
    assert "3 resolved, 3 left, written" in capsys.readouterr().out


@pytest.mark.parametrize("editor_form", [True, False])
def test_the_layout_is_kept(tmp_path, editor_form):
    path = merged_notebook(tmp_path, ["block"])
    document = json.loads(path.read_text())
    layout = (lambda d: json.dumps(d, indent=1, sort_keys=True, ensure_ascii=False) + "\n") if editor_form else json.dumps
    path.write_text(layout(document))
    path.chmod(0o640)
    assert cli.main(["resolve", "--take", "current", str(path)]) == 0
    _cell(document, "e5")["source"] = ["y = 20\n", "z = 3\n"]
    assert path.read_text() == layout(document)
    assert path.stat().st_mode & 0o777 == 0o640


@pytest.mark.parametrize("name", ["unicode--1.ipynb", "multi_cell_nb--local.ipynb", "inline-conflict--1.ipynb"])
def test_a_notebook_without_conflicts_is_not_touched(tmp_path, name):
    if not (CORPUS / name).exists():
        pytest.skip("the corpus of outside notebooks is not on this machine")
    path = tmp_path / name
    path.write_bytes((CORPUS / name).read_bytes())
    stamp = path.stat().st_mtime_ns
    assert cli.main(["resolve", str(path)]) == 0
    assert cli.main(["resolve", "--take", "incoming", str(path)]) == 0
    assert path.read_bytes() == (CORPUS / name).read_bytes() and path.stat().st_mtime_ns == stamp


def test_outside_notebook_conflict_resolved(tmp_path):
    """An outside notebook set, given canvas ids, merged and then settled for incoming."""
    from vornik_git.drivers import merge_files

    if not CORPUS.exists():
        pytest.skip("the corpus of outside notebooks is not on this machine")
    paths = [tmp_path / f"{number}.ipynb" for number in (1, 2, 3)]
    for number, path in enumerate(paths, 1):
        document = json.loads((CORPUS / f"source-conflict--{number}.ipynb").read_text())
        for index, cell in enumerate(document["cells"]):
            cell.setdefault("metadata", {})["canvas"] = {"id": f"c{index}", "name": f"cell{index}"}
        document["metadata"]["canvas"] = {"parameters": []}
        path.write_text(json.dumps(document))
    merge_files(*map(str, paths), "sc.ipynb")
    assert gitsetup.conflicts(paths[1])
    assert cli.main(["resolve", "--take", "incoming", str(paths[1])]) == 0
    # git's conflict block ends each side with a line break, a source's last line included
    texts = [[s.rstrip("\n") for s in view(path)["sources"].values()] for path in paths[1:]]
    assert texts[0] == texts[1]


def test_unreadable_notebook_is_an_error(tmp_path, capsys):
    path = tmp_path / "nb.ipynb"
    path.write_text("<<<<<<< ours\n{}\n=======\n[]\n>>>>>>> theirs\n")
    assert cli.main(["resolve", str(path)]) == 2
    assert "not valid JSON" in capsys.readouterr().err


# --- git mergetool -------------------------------------------------------------------------


def _blob(env, repo, text):
    result = subprocess.run(["git", "hash-object", "-w", "--stdin"], input=text, cwd=repo, env=env,
                            capture_output=True, text=True, check=True)
    return result.stdout.strip()


def unmerged(env, repo, name, work_tree_text, stages=("base\n", "ours\n", "theirs\n")):
    """``name`` as a conflicted merge leaves it: three stages in the index, the work tree file
    as the merge wrote it."""
    lines = "".join(f"100644 {_blob(env, repo, text)} {stage}\t{name}\n" for stage, text in enumerate(stages, 1))
    subprocess.run(["git", "update-index", "--index-info"], input=lines, cwd=repo, env=env, check=True, text=True)
    (repo / name).write_text(work_tree_text, encoding="utf-8")


@pytest.fixture
def repo(tmp_path, env):
    world = git_world(tmp_path)
    world.update(EDITOR=env["EDITOR"], TERM="dumb")
    repo = tmp_path / "repo"
    repo.mkdir()
    run(world, "git", "init", "-q", "-b", "main", cwd=repo)
    run(world, "vornik-git", "install", cwd=repo)
    run(world, "git", "add", "-A", cwd=repo)
    run(world, "git", "commit", "-q", "-m", "setup", cwd=repo)
    return world, repo


@pytest.mark.parametrize("answers, resolved", [(["c", "i", "b"], True), (["c", "s", "b"], False)])
def test_git_mergetool_runs_the_resolver(tmp_path, repo, answers, resolved):
    env, repo = repo
    merged = merged_notebook(tmp_path, ["pair", "block", "parameter"]).read_text()
    unmerged(env, repo, "nb.ipynb", merged)
    status, shown = converse(["git", "mergetool", "--tool", "vornik", "-y", "nb.ipynb"], answers, env, repo)
    left = run(env, "git", "ls-files", "-u", cwd=repo).stdout
    if resolved:
        assert status == 0 and left == "", shown
        assert gitsetup.conflicts(repo / "nb.ipynb") == []
        run(env, "git", "commit", "-q", "-m", "resolved", cwd=repo)
    else:
        # git keeps only a fully resolved file: it puts the merge's version back
        assert status != 0 and left != "", shown
        assert (repo / "nb.ipynb").read_text() == merged


def test_git_mergetool_hands_other_files_to_the_usual_tool(repo):
    env, repo = repo
    run(env, "git", "config", "mergetool.copy.cmd", 'cp "$REMOTE" "$MERGED"', cwd=repo)
    run(env, "git", "config", "mergetool.copy.trustExitCode", "true", cwd=repo)
    run(env, "git", "config", "merge.tool", "copy", cwd=repo)
    unmerged(env, repo, "notes.txt", "<<<<<<< ours\nours\n=======\ntheirs\n>>>>>>> theirs\n")
    result = run(env, "git", "mergetool", "--tool", "vornik", "-y", "notes.txt", cwd=repo)
    assert (repo / "notes.txt").read_text() == "theirs\n"
    assert run(env, "git", "ls-files", "-u", cwd=repo).stdout == ""
    assert "holds no notebook conflicts" in result.stderr
    run(env, "vornik-git", "uninstall", cwd=repo)
    assert run(env, "git", "config", "--get-regexp", "^mergetool.vornik", cwd=repo, check=False).stdout == ""


def test_conflicting_merge_then_mergetool_then_commit(tmp_path, repo):
    env, repo = repo
    documents = versions(KINDS)
    for branch, label in (("main", "base"), ("theirs", "incoming"), ("ours", "current")):
        if branch != "main":
            run(env, "git", "checkout", "-q", "-b", branch, "main", cwd=repo)
        (repo / "nb.ipynb").write_text(json.dumps(documents[label], indent=1))
        run(env, "git", "add", "nb.ipynb", cwd=repo)
        run(env, "git", "commit", "-q", "-m", label, cwd=repo)
    assert run(env, "git", "merge", "theirs", cwd=repo, check=False).returncode != 0
    assert run(env, "git", "ls-files", "-u", cwd=repo).stdout
    status, shown = converse(["git", "mergetool", "--tool", "vornik", "-y"], ["c", "d", "i", "i", "b", "c"], env, repo)
    assert status == 0, shown
    run(env, "git", "commit", "-q", "--no-edit", cwd=repo)
    committed = json.loads(run(env, "git", "show", "HEAD:nb.ipynb", cwd=repo).stdout)
    assert gitsetup.conflicts(repo / "nb.ipynb") == [] and "<<<" not in json.dumps(committed)
