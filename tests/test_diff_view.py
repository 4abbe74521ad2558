"""`vornik-git diff` in the terminal and `vornik-git cat`: golden views of real notebooks, exit
statuses, colour decisions, user text that must not reach the terminal raw, and the reading
order of cells."""

import difflib
import json
import os
import pty
import re
import select
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from notebooks import make_cell, make_notebook
from vornik_git import _native, cli, diffview
from vornik_git.drivers.nbdelta import diff_dicts

ROOT = Path(__file__).resolve().parent.parent
DATA = Path(__file__).resolve().parent / "data"
PAIRS = [
    ("examples/base.ipynb", "examples/current.ipynb", "diff-base-current.txt"),
    ("examples/base.ipynb", "examples/incoming.ipynb", "diff-base-incoming.txt"),
    ("tests/data/pipeline-old.ipynb", "tests/data/pipeline-new.ipynb", "diff-pipeline.txt"),
]
# Raw terminal control: anything below a blank except the line feed, and DEL and C1.
RAW_CONTROL = re.compile("[\x00-\x09\x0b-\x1f\x7f-\x9f]")


def run_cli(capsys, *args):
    status = cli.main(list(args))
    out, err = capsys.readouterr()
    return status, out, err


def write(path, document):
    path.write_text(document if isinstance(document, str) else json.dumps(document), encoding="utf-8")
    return str(path)


@pytest.mark.parametrize("old, new, golden", PAIRS)
def test_terminal_view_of_real_notebooks(capsys, monkeypatch, old, new, golden):
    monkeypatch.chdir(ROOT)
    status, out, err = run_cli(capsys, "diff", "--no-color", old, new)
    expected = DATA / golden
    if os.environ.get("VORNIK_UPDATE_GOLDEN"):
        expected.write_text(out, encoding="utf-8")
    assert (status, err) == (1, "")
    assert out == expected.read_text(encoding="utf-8")


def test_outputs_are_never_shown(capsys, monkeypatch):
    monkeypatch.chdir(ROOT)
    old, new, _ = PAIRS[2]
    _, out, _ = run_cli(capsys, "diff", "--no-color", old, new)
    for path in (old, new):
        for cell in json.loads(Path(path).read_text())["cells"]:
            for output in cell.get("outputs", []):
                for value in output.get("data", {}).values():
                    text = "".join(value) if isinstance(value, list) else value
                    assert text not in out


@pytest.mark.parametrize("old, new, status, message", [
    ("examples/base.ipynb", "examples/base.ipynb", 0, None),
    ("/dev/null", "/dev/null", 0, None),
    ("examples/base.ipynb", "examples/current.ipynb", 1, None),
    ("/dev/null", "examples/base.ipynb", 1, None),
    ("missing.ipynb", "examples/base.ipynb", 2, "missing.ipynb: no such file"),
    ("examples", "examples/base.ipynb", 2, "examples: cannot read it"),
    ("{broken", "examples/base.ipynb", 2, "not valid JSON"),
    ("[1, 2]", "examples/base.ipynb", 2, "not a notebook"),
    ('{"cells": [{"cell_type": "code", "metadata": {}, "source": []}]}', "examples/base.ipynb", 2,
     "code cell 1 has no metadata.canvas.id"),
    ('{"cells": [{"metadata": {}}]}', "examples/base.ipynb", 2, "cell 1 is not a notebook cell"),
    # diff_dicts itself refuses a parameter whose value is a number when it compares values
    ('{"cells": [], "metadata": {"canvas": {"parameters": [{"name": "path", "type": "int", "value": 3}]}}}',
     "examples/base.ipynb", 2, "cannot compare the notebooks"),
])
def test_exit_status_and_one_line_errors(capsys, monkeypatch, tmp_path, old, new, status, message):
    monkeypatch.chdir(ROOT)
    if old.startswith(("{", "[")):
        old = write(tmp_path / "given.ipynb", old)
    code, out, err = run_cli(capsys, "diff", "--no-color", old, new)
    assert code == status
    if message is None:
        assert err == ""
        assert ("no differences in cells or parameters" in out) == (status == 0)
    else:
        assert out == ""
        assert err.startswith("vornik-git: error: ") and err.count("\n") == 1
        assert message in err


def test_json_prints_the_diff_graph(capsys, monkeypatch):
    monkeypatch.chdir(ROOT)
    old, new, _ = PAIRS[2]
    status, out, _ = run_cli(capsys, "diff", "--json", old, new)
    assert status == 1
    assert json.loads(out) == diff_dicts(_native.load(old), _native.load(new))


def pty_run(args, env):
    """Runs the command with its standard output on a terminal; returns what it wrote."""
    main, child = pty.openpty()
    process = subprocess.Popen(args, stdout=child, stderr=subprocess.PIPE, env=env, cwd=ROOT)
    os.close(child)
    chunks = []
    while True:
        ready, _, _ = select.select([main], [], [], 20)
        if not ready:
            break
        try:
            chunk = os.read(main, 65536)
        except OSError:  # the terminal closes when the process ends
            break
        if not chunk:
            break
        chunks.append(chunk)
    process.wait(timeout=20)
    os.close(main)
    return b"".join(chunks).decode()


@pytest.mark.parametrize("terminal, flags, no_color, coloured", [
    (True, [], None, True),
    (True, [], "", True),  # an empty NO_COLOR does not count
    (True, [], "1", False),
    (True, ["--no-color"], None, False),
    (False, [], None, False),
    (False, ["--color"], None, True),
    (False, ["--color"], "1", True),  # an explicit request wins over the environment
])
def test_colour_follows_the_terminal_and_the_user(terminal, flags, no_color, coloured):
    import vornik_git

    env = {key: value for key, value in os.environ.items() if key != "NO_COLOR"}
    env["PYTHONPATH"] = str(Path(vornik_git.__file__).resolve().parent.parent)
    if no_color is not None:
        env["NO_COLOR"] = no_color
    args = [sys.executable, "-m", "vornik_git.cli", "diff", *flags, "examples/base.ipynb", "examples/current.ipynb"]
    if terminal:
        out = pty_run(args, env)
    else:
        out = subprocess.run(args, capture_output=True, text=True, env=env, cwd=ROOT).stdout
    assert "modified code cell 'clean' [8a2e]" in re.sub("\x1b\\[[0-9;]*m", "", out)
    assert ("\x1b[" in out) == coloured


HOSTILE = "\x1b]0;owned\x07\x1b[2J\x00\r\x85\ud800 end"


@pytest.mark.parametrize("place", ["cell name", "source", "parent name", "parameter name", "parameter value",
                                   "markdown source"])
@pytest.mark.parametrize("color", [False, True])
def test_user_text_cannot_drive_the_terminal(tmp_path, place, color):
    old_cells = [make_cell("a", "load", ["x = 1\n"]), make_cell("b", "fit", ["y = 2\n"], parents=["a"]),
                 make_cell("m", "", ["notes\n"], cell_type="markdown")]
    new_cells = json.loads(json.dumps(old_cells))
    old_parameters = [{"name": "p", "type": "str", "value": "1"}]
    new_parameters = [{"name": "p", "type": "str", "value": "2"}]
    if place == "cell name":
        new_cells[0]["metadata"]["canvas"]["name"] = HOSTILE
    elif place == "source":
        new_cells[0]["source"] = [HOSTILE + "\n"]
    elif place == "parent name":
        new_cells[1]["metadata"]["canvas"]["parents"] = [{"id": "z", "name": HOSTILE}]
    elif place == "parameter name":
        new_parameters[0]["name"] = HOSTILE
    elif place == "parameter value":
        new_parameters[0]["value"] = HOSTILE
    else:
        new_cells[2]["source"] = [HOSTILE]
    old = write(tmp_path / "old.ipynb", make_notebook(old_cells, old_parameters))
    new = write(tmp_path / "new.ipynb", make_notebook(new_cells, new_parameters))
    out = diffview.render_text(diffview.compare_files(old, new), "old", "new", color=color)
    out.encode("utf-8")  # a lone surrogate would fail here
    assert not RAW_CONTROL.search(re.sub("\x1b\\[[0-9;]*m", "", out))
    assert "\\e]0;owned\\x07\\e[2J\\x00\\r\\x85\\ud800 end" in out


@pytest.mark.parametrize("old_cells, new_cells, order", [
    # a removed cell stays where it stood, between the cells around it
    (["a", "b", "c"], ["a", "c"], ["a", "b", "c"]),
    (["a", "b", "c"], ["b", "c"], ["a", "b", "c"]),
    (["a", "b", "c"], ["a", "b"], ["a", "b", "c"]),
    (["a", "b", "c", "d"], ["d", "x", "a"], ["d", "x", "a", "b", "c"]),
    ([], ["x", "y"], ["x", "y"]),
])
def test_cells_come_in_reading_order(old_cells, new_cells, order):
    old = make_notebook([make_cell(key, key, [f"{key}\n"]) for key in old_cells])
    new = make_notebook([make_cell(key, key, [f"{key}\n"]) for key in new_cells])
    assert [cell.cell_id for cell in diffview.compare(old, new).cells] == order


@settings(max_examples=200, deadline=None)
@given(st.lists(st.integers(0, 12), unique=True), st.lists(st.integers(0, 12), unique=True))
def test_interleave_keeps_both_orders(old, new):
    merged = diffview.interleave(old, new)
    assert sorted(merged) == sorted(set(old) | set(new))
    assert [key for key in merged if key in new] == new
    # when no common key moved, every key stands where it stood in old
    common = [key for key in old if key in new]
    if common == [key for key in new if key in old]:
        assert [key for key in merged if key in old] == old


lines_strategy = st.lists(st.sampled_from(["a\n", "b\n", "c\n", "d\n", "a", "b", "\n"]), max_size=12)


@settings(max_examples=300, deadline=None)
@given(lines_strategy, lines_strategy)
def test_hunks_read_as_a_unified_diff(old, new):
    ours = [kind + text if kind in " -+" else text
            for kind, text in diffview.unified_lines(old, new) if kind != "\\"]
    reference = [line.rstrip("\n") for line in difflib.unified_diff(old, new, n=3, lineterm="")][2:]
    assert ours == reference


@pytest.mark.parametrize("old, new, noted", [
    (["a\n", "b"], ["a\n", "b\n"], "-"),  # the break was added: the old line lacked it
    (["a\n", "b\n"], ["a\n", "c"], "+"),
    (["a\n", "b"], ["a\n", "c"], None),  # neither version ends with one: nothing to point out
    (["b"], ["c"], None),
    ([], ["c"], None),
])
def test_missing_final_line_break_is_noted_only_when_it_changed(old, new, noted):
    kinds = [kind for kind, _text in diffview.unified_lines(old, new)]
    if noted is None:
        assert "\\" not in kinds
    else:
        assert kinds.count("\\") == 1 and kinds[kinds.index("\\") - 1] == noted


@pytest.mark.parametrize("old_parameter, new_parameter, label, row", [
    ({"type": "int", "value": "1"}, {"type": "str", "value": "1"}, "retyped", "~ p int -> str 1 -> 1"),
    ({"type": "str", "value": None}, {"type": "str", "value": None}, "unchanged", None),
    ({"type": "str", "value": "x"}, {"type": "str", "value": None}, "modified", "~ p str x -> null"),
    # texts that would read as something else are quoted
    ({"type": "str", "value": "null"}, {"type": "str", "value": ""}, "modified", '~ p str "null" -> ""'),
    ({"type": "str", "value": "a"}, {"type": "str", "value": " a"}, "modified", '~ p str a -> " a"'),
])
def test_parameter_changes(old_parameter, new_parameter, label, row):
    old = make_notebook([], [{"name": "p", **old_parameter}])
    new = make_notebook([], [{"name": "p", **new_parameter}])
    diff = diffview.compare(old, new)
    assert [parameter.label for parameter in diff.parameters] == [label]
    out = diffview.render_text(diff, "old", "new")
    if row is None:
        assert "parameters:" not in out and "unchanged: 1 parameter (p)" in out
    else:
        assert row in [" ".join(line.split()) for line in out.splitlines()]


@pytest.mark.parametrize("edit, label", [
    (lambda cells: cells[1]["metadata"]["canvas"].update(parents=[]), "relinked"),
    (lambda cells: cells[1]["metadata"]["canvas"].update(name="renamed"), "renamed"),
    (lambda cells: cells[1].update(outputs=[{"output_type": "stream", "name": "stdout", "text": ["1\n"]}]),
     "unchanged"),
    (lambda cells: cells.reverse(), "unchanged"),  # moving cells is not a change
    (lambda cells: cells[1].update(source="y = a\n"), "unchanged"),  # the same lines, stored as one text
    (lambda cells: cells[1].update(source=["y = ", "a\n"]), "modified"),  # the same text, split differently
])
def test_what_counts_as_a_change_of_a_cell(edit, label):
    cells = [make_cell("a", "a", ["x = 1\n"]), make_cell("b", "b", ["y = a\n"], parents=["a"])]
    new_cells = json.loads(json.dumps(cells))
    edit(new_cells)
    diff = diffview.compare(make_notebook(cells), make_notebook(new_cells))
    assert next(cell.label for cell in diff.cells if cell.cell_id == "b") == label


def test_markdown_cells_are_compared_by_id_or_position():
    old = make_notebook([make_cell("m1", "", ["one\n"], cell_type="markdown"),
                         {"cell_type": "raw", "metadata": {}, "source": ["plain\n"]}])
    new = make_notebook([make_cell("m1", "", ["one, edited\n"], cell_type="markdown"),
                         {"cell_type": "raw", "metadata": {}, "source": ["plain\n"]},
                         make_cell("m2", "", ["two\n"], cell_type="markdown")])
    diff = diffview.compare(old, new)
    assert [(cell.kind, cell.label) for cell in diff.cells] == [
        ("markdown", "modified"), ("raw", "unchanged"), ("markdown", "added")]
    assert "raw cell at position 2" not in diffview.render_text(diff, "a", "b")


def test_the_later_of_two_cells_with_one_id_counts():
    old = make_notebook([make_cell("a", "first", ["1\n"]), make_cell("a", "second", ["2\n"])])
    new = make_notebook([make_cell("a", "second", ["2\n"])])
    diff = diffview.compare(old, new)
    assert [(cell.name, cell.label) for cell in diff.cells] == [("second", "unchanged")]


@pytest.mark.parametrize("index", [0, 2, 5])
def test_inserting_a_cell_changes_only_its_own_lines_in_cat(index):
    cells = [make_cell(f"c{n}", f"cell {n}", [f"x{n} = {n}\n"], parents=[f"c{n - 1}"] if n else None)
             for n in range(5)]
    before = diffview.render_notebook(make_notebook(cells, [{"name": "p", "type": "int", "value": "1"}]))
    cells.insert(index, make_cell("new", "inserted", ["z = 0\n"]))
    after = diffview.render_notebook(make_notebook(cells, [{"name": "p", "type": "int", "value": "1"}]))
    changed = [line for line in difflib.ndiff(before.splitlines(), after.splitlines()) if line[:1] in "-+"]
    assert changed == ["+ code cell 'inserted' [new]", "+     z = 0"]


@pytest.mark.parametrize("content, shown", [
    ('[1, "two"]', '[1, "two"]\n'),
    ("{not json\n", "(not read as a notebook: "),
    ('{"cells": [{"cell_type": "code", "source": "print(1)", "outputs": [{"data": {}}]}]}',
     "code cell\n    print(1)\n  outputs: 1 (not shown)\n"),
])
def test_cat_shows_anything_git_hands_it(capsys, tmp_path, content, shown):
    path = write(tmp_path / "file.ipynb", content)
    status, out, err = run_cli(capsys, "cat", path)
    assert (status, err) == (0, "")
    assert shown in out


@pytest.mark.parametrize("arguments, header", [
    (["nb.ipynb", "examples/base.ipynb", "1" * 40, "100644", "examples/current.ipynb", "2" * 40, "100644"],
     "--- a/nb.ipynb\n+++ b/nb.ipynb\n"),
    (["nb.ipynb", "/dev/null", ".", ".", "examples/current.ipynb", "2" * 40, "100644"],
     "--- /dev/null\n+++ b/nb.ipynb\n"),
    (["nb.ipynb", "examples/base.ipynb", "1" * 40, "100644", "/dev/null", ".", "."],
     "--- a/nb.ipynb\n+++ /dev/null\n"),
    (["-old.ipynb", "examples/base.ipynb", "1" * 40, "100644", "examples/current.ipynb", "2" * 40, "100755",
      "new.ipynb", "similarity index 80%\n"],
     "old mode 100644\nnew mode 100755\n--- a/-old.ipynb\n+++ b/new.ipynb\n"),
])
def test_git_driver_arguments(capsys, monkeypatch, arguments, header):
    monkeypatch.chdir(ROOT)
    monkeypatch.setenv("NO_COLOR", "1")
    status, out, err = run_cli(capsys, "diff", "--git-driver", "--", *arguments)
    # git stops its whole diff when an external diff fails, whatever the differences
    assert (status, err) == (0, "")
    assert out.startswith(header)


def test_git_driver_shows_what_it_cannot_compare_as_text(capsys, monkeypatch, tmp_path):
    monkeypatch.chdir(ROOT)
    monkeypatch.setenv("NO_COLOR", "1")
    broken = write(tmp_path / "broken.ipynb", '{"cells": [\n')
    status, out, err = run_cli(capsys, "diff", "--git-driver", "--", "nb.ipynb", "examples/base.ipynb", "1" * 40,
                               "100644", broken, "2" * 40, "100644")
    assert (status, err) == (0, "")
    assert "(not compared cell by cell: " in out and "not valid JSON" in out
    assert "-code cell 'train' [c71d]" in out and "+{\"cells\": [" in out


def test_git_driver_refuses_arguments_git_never_passes(capsys):
    status, out, err = run_cli(capsys, "diff", "--git-driver", "--", "a.ipynb", "b.ipynb")
    assert (status, out) == (2, "")
    assert "7 or 9 arguments" in err
