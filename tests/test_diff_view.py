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

from diffcases import HOSTILE, HOSTILE_SHOWN, PLACES, Page, hostile_pair, svg_of
from notebooks import make_cell, make_notebook
from vornik_git import _native, cli, diffview, htmlview
from vornik_git.drivers.nbdelta import diff_dicts

ROOT = Path(__file__).resolve().parent.parent
DATA = Path(__file__).resolve().parent / "data"
PAIRS = [
    ("examples/base.ipynb", "examples/current.ipynb", "diff-base-current.txt"),
    ("examples/base.ipynb", "examples/incoming.ipynb", "diff-base-incoming.txt"),
    ("tests/data/pipeline-old.ipynb", "tests/data/pipeline-new.ipynb", "diff-pipeline.txt"),
]
# Raw terminal control: anything below a blank except the line feed, DEL and C1; bidi controls.
RAW_CONTROL = re.compile("[\x00-\x09\x0b-\x1f\x7f-\x9f\u200b-\u200f\u202a-\u202e\u2066-\u2069]")


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
    process = subprocess.Popen(args, stdout=child, env=env, cwd=ROOT)
    os.close(child)
    chunks = []
    while select.select([main], [], [], 20)[0]:
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


@pytest.mark.parametrize("place", PLACES)
@pytest.mark.parametrize("view", ["terminal", "coloured terminal", "html"])
def test_user_text_is_shown_never_obeyed(place, view):
    diff = diffview.compare(*hostile_pair(place))
    if view == "html":
        page = htmlview.render_html(diff, HOSTILE, "new")
        parsed = Page(page)
        assert not parsed.tags() & {"script", "img"}
        assert not any(name.startswith("on") for _tag, attrs in parsed.elements for name in attrs)
        assert HOSTILE_SHOWN in parsed.text()
        svg_of(page)  # names and ids inside the drawing leave it well-formed
        return
    out = diffview.render_text(diff, HOSTILE, "new", color=view == "coloured terminal")
    out.encode("utf-8")  # a lone surrogate would fail here
    assert not RAW_CONTROL.search(re.sub("\x1b\\[[0-9;]*m", "", out))
    assert out.count(HOSTILE_SHOWN) >= 2  # the label and the place


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
    ({"type": "str", "value": None}, {"type": "str", "value": None}, "unchanged", None),
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
                         {"cell_type": "raw", "metadata": {}, "source": ["plain\n"]},
                         make_cell("m3", "", ["three\n"], cell_type="markdown")])
    new = make_notebook([make_cell("m1", "", ["one, edited\n"], cell_type="markdown"),
                         {"cell_type": "raw", "metadata": {}, "source": ["plain\n"]},
                         make_cell("m2", "", ["two\n"], cell_type="markdown"),
                         make_cell("m3", "", ["three\n"], cell_type="raw")])
    diff = diffview.compare(old, new)
    assert [(cell.kind, cell.label) for cell in diff.cells] == [
        ("markdown", "modified"), ("raw", "unchanged"), ("markdown", "added"), ("raw", "modified")]
    out = diffview.render_text(diff, "a", "b")
    assert "raw cell at position 2" not in out and "modified raw cell [m3]\ntype: markdown -> raw\n" in out


@pytest.mark.parametrize("index", [0, 2, 5])
def test_inserting_a_cell_changes_only_its_own_lines_in_cat(index):
    cells = [make_cell(f"c{n}", f"cell {n}", [f"x{n} = {n}\n"], parents=[f"c{n - 1}"] if n else None)
             for n in range(5)]
    before = diffview.render_notebook(make_notebook(cells, [{"name": "p", "type": "int", "value": "1"}]))
    cells.insert(index, make_cell("new", "inserted", ["z = 0\n"]))
    after = diffview.render_notebook(make_notebook(cells, [{"name": "p", "type": "int", "value": "1"}]))
    changed = [line for line in difflib.ndiff(before.splitlines(), after.splitlines()) if line[:1] in "-+"]
    assert changed == ["+ code cell 'inserted' [new]", "+     z = 0"]


def test_every_character_that_would_not_show_is_escaped():
    import unicodedata

    everything = [chr(code) for code in range(sys.maxunicode + 1)]
    hidden = "".join(c for c in everything if c != "\t" and unicodedata.category(c) in ("Cc", "Cf", "Cs", "Zl", "Zp"))
    # Code points this host's Unicode leaves unassigned may be format characters in a later one.
    rest = "".join(c for c in everything
                   if c == "\t" or unicodedata.category(c) not in ("Cc", "Cf", "Cs", "Zl", "Zp", "Cn"))
    assert re.fullmatch(r"(\\(x[0-9a-f]{2}|u[0-9a-f]{4}|U[0-9a-f]{8}|[enr]))+", diffview.visible(hidden))
    assert diffview.visible(rest) == rest


@pytest.mark.parametrize("view, status, expected", [
    (["diff", "--no-color"], 1, "added code cell 'report' [f5b0]\nparents: +train [c71d]\n"),
    (["diff", "--html", "-"], 1, '<span class="chip added">train [c71d]</span>'),
    (["diff", "--json"], 1, '"added_parents": [{"id": "c71d", "name": "train"}]'),
    (["cat"], 0, "code cell 'clean' [8a2e]\n  parents: load [3f1c]\n  comment: ana: inclusive bound\n"),
    (["cat"], 0, "code cell 'train' [c71d]\n  parents: clean [8a2e]\n  header colour: #3572A5\n"),
])
def test_views_read_a_merged_notebook(capsys, tmp_path, view, status, expected):
    from notebooks import Merger

    merged = Merger(tmp_path)(*[json.loads((ROOT / f"examples/{name}.ipynb").read_text())
                                for name in ("base", "current", "incoming")])
    # the merge keeps only the id of each link
    assert {key for cell in merged["cells"] for link in cell["metadata"]["canvas"].get("parents", []) for key in link} \
        == {"id"}
    files = [str(tmp_path / "current.ipynb")] if view == ["cat"] else [str(ROOT / "examples/base.ipynb"),
                                                                       str(tmp_path / "current.ipynb")]
    code, out, err = run_cli(capsys, *view, *files)
    assert (code, err) == (status, "")
    assert expected in (json.dumps(json.loads(out)) if "--json" in view else out)


def test_links_without_names_take_the_name_of_their_cell():
    document = make_notebook([make_cell("a", "load"), make_cell("u", ""), make_cell("b", "fit", parents=["a", "u", "x"])])
    links = document["cells"][2]["metadata"]["canvas"]["parents"]
    for link in links:
        del link["name"]
    links.append({"id": "a", "name": "as recorded"})
    diffview.name_links(document)
    assert [link["name"] for link in links] == ["load", "", None, "as recorded"]


@pytest.mark.parametrize("old, new, lines", [
    ({}, {"comments": [{"author": "ana", "text": "ok"}]}, ["comment added: ana: ok"]),
    ({"comments": [{"author": "ana", "text": "ok"}, {"text": "why?"}]}, {"comments": [{"text": "why?"}]},
     ["comment removed: ana: ok"]),
    ({"comments": [{"author": "ana", "text": "ok"}]}, {"comments": [{"author": "ana", "text": "fine"}]},
     ["comment edited: ana: ok -> ana: fine"]),
    # matched by id, not by place
    ({"comments": [{"id": "1", "text": "a"}, {"id": "2", "text": "b"}]},
     {"comments": [{"id": "2", "text": "b!"}, {"id": "1", "text": "a"}]}, ["comment edited: b -> b!"]),
    ({"headerColor": "#fff"}, {"headerColor": "#000"}, ["header colour: #fff -> #000"]),
    ({"link_id": "x"}, {"headerColor": "#000"}, ["link_id: x -> (none)", "header colour: (none) -> #000"]),
])
def test_canvas_data_changes_are_shown(old, new, lines):
    import html

    diff = diffview.compare(*[make_notebook([make_cell("a", "load", ["x\n"], **extra)]) for extra in (old, new)])
    assert diff.changed and [cell.label for cell in diff.cells] == ["annotated"]
    assert diffview.render_text(diff, "old", "new").splitlines()[3:] == ["annotated code cell 'load' [a]", *lines, ""]
    page = htmlview.render_html(diff, "old", "new")
    assert all(f">{html.escape(line)}</li>" in page for line in lines)


@pytest.mark.parametrize("command", ["cat", "conflicts", "diff"])
def test_cat_conflicts_and_errors_escape_user_text(capsys, tmp_path, command):
    cell = make_cell(HOSTILE, "<<< " + HOSTILE, [HOSTILE + "\n"], comments=[{"author": HOSTILE, "text": HOSTILE}])
    path = write(tmp_path / "nb\x1b[2J\u202eevil.ipynb", make_notebook([cell], [{"name": ">>> " + HOSTILE}]))
    files = [path, str(tmp_path / "gone\u202e.ipynb")] if command == "diff" else [path]
    status, out, err = run_cli(capsys, command, *files)
    assert status == {"cat": 0, "conflicts": 1, "diff": 2}[command]
    assert not RAW_CONTROL.search(out + err)
    if command == "diff":
        assert err.endswith("gone\\u202e.ipynb: no such file\n")
    else:
        assert out.count(HOSTILE_SHOWN) >= 3
