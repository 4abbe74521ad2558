"""Parameters, the written file, failures that must leave the current file alone, and the
collaborators a user may patch."""

import contextlib
import copy
import json
import os
import threading
import time

import pytest

from notebooks import make_cell, make_notebook, names
from vornik_git.drivers import nbweave


def p(name, value="1", **extra):
    return {"name": name, "type": "int", "value": value, **extra}


# present in (base, current, incoming) as a value or None when absent -> merged (name, value)
PARAMETER_ROWS = {
    "all equal": (("1", "1", "1"), [("q", "0"), ("p", "1")]),
    "incoming changed": (("1", "1", "2"), [("q", "0"), ("p", "2")]),
    "current changed": (("1", "2", "1"), [("q", "0"), ("p", "2")]),
    "same change": (("1", "2", "2"), [("q", "0"), ("p", "2")]),
    "different changes": (("1", "2", "3"), [("q", "0"), ("<<< p", "2"), (">>> p", "3")]),
    "incoming removed, current equal": (("1", "1", None), [("q", "0")]),
    "incoming removed, current changed": (("1", "2", None), [("q", "0"), ("<<< p", "2")]),
    "current removed, incoming equal": (("1", None, "1"), [("q", "0")]),
    "current removed, incoming changed": (("1", None, "3"), [("q", "0"), (">>> p", "3")]),
    "both removed": (("1", None, None), [("q", "0")]),
    "both added equal": ((None, "2", "2"), [("q", "0"), ("p", "2")]),
    "both added differently": ((None, "2", "3"), [("q", "0"), ("<<< p", "2"), (">>> p", "3")]),
    "current added": ((None, "2", None), [("q", "0"), ("p", "2")]),
    "incoming added": ((None, None, "3"), [("q", "0"), ("p", "3")]),
}


@pytest.mark.parametrize("row", PARAMETER_ROWS, ids=list(PARAMETER_ROWS))
def test_parameter_outcomes(row, merge):
    values, expected = PARAMETER_ROWS[row]
    documents = []
    for value in values:
        parameters = [p("p", value)] if value is not None else []
        documents.append(make_notebook([make_cell("c")], parameters + [p("q", "0")]))
    # p first in current's list, so that staying at current's place shows
    merged = merge(*documents)
    result = [(item["name"], item["value"]) for item in merged["metadata"]["canvas"]["parameters"]]
    if values[1] is not None and expected[1:] and expected[1][0] == "p":
        expected = [expected[1], expected[0]] + expected[2:]
    assert result == expected


def test_parameter_equality_ignores_key_order_and_number_form(merge):
    base = make_notebook([], [{"name": "p", "type": "x", "value": 1}])
    current = make_notebook([], [{"value": 1.0, "name": "p", "type": "x"}])
    incoming = make_notebook([], [{"type": "x", "name": "p", "value": True}])
    merged = merge(base, current, incoming)
    assert merged["metadata"]["canvas"]["parameters"] == [{"value": 1.0, "name": "p", "type": "x"}]


def test_parameter_order(merge):
    base = make_notebook([], [p("a"), p("b"), p("c"), p("d")])
    current = make_notebook([], [p("d"), p("c", "2"), p("b"), p("a", "2")])
    incoming = make_notebook([], [p("a", "3"), p("b", "3"), p("c"), p("d"), p("e")])
    merged = merge(base, current, incoming)
    assert [item["name"] for item in merged["metadata"]["canvas"]["parameters"]] == [
        "d", "c", "b", "<<< a", ">>> a", "e"]


def test_repeated_parameter_name_keeps_the_later_object(merge):
    doc = make_notebook([], [p("a", "1"), p("b"), p("a", "2")])
    merged = merge(doc, copy.deepcopy(doc), copy.deepcopy(doc))
    assert merged["metadata"]["canvas"]["parameters"] == [p("a", "2"), p("b")]


def test_text_form_and_top_level_keys(merge, tmp_path):
    base = make_notebook([make_cell("c", "é", ["s = '🚀\x7f'\n"])])
    current = copy.deepcopy(base)
    current["zeta"] = 1.50
    current["alpha"] = 10 ** 30
    incoming = copy.deepcopy(base)
    incoming["only_incoming"] = True
    merge(base, current, incoming)
    text = (tmp_path / "current.ipynb").read_bytes()
    assert b"\n" not in text and text.isascii()
    assert b'"name": "\\u00e9"' in text and b"\\ud83d\\ude80\\u007f" in text
    merged = json.loads(text)
    assert list(merged) == ["cells", "metadata", "nbformat", "nbformat_minor", "zeta", "alpha"]
    assert text.endswith(b'"zeta": 1.5, "alpha": 1000000000000000000000000000000}')


DOCUMENT = make_notebook([make_cell("c", "n")], [p("a")])


def without(*path):
    document = copy.deepcopy(DOCUMENT)
    target = document
    for key in path[:-1]:
        target = target[key]
    del target[path[-1]]
    return document


@pytest.mark.parametrize("which, content, error", [
    ("base", "{", json.JSONDecodeError),
    ("incoming", b"\xef\xbb\xbf" + json.dumps(DOCUMENT).encode(), json.JSONDecodeError),
    ("current", b'{"cells": "\xff"}', UnicodeDecodeError),
    ("base", without("cells"), KeyError),
    ("incoming", without("metadata", "canvas", "parameters"), KeyError),
    ("current", without("metadata"), KeyError),
    ("base", make_notebook([{"metadata": {"canvas": {}}}]), KeyError),
    ("current", make_notebook([[1]]), TypeError),
    ("current", {**DOCUMENT, "metadata": {"canvas": {"parameters": 5}}}, TypeError),
    ("incoming", {**DOCUMENT, "metadata": {"canvas": {"parameters": [{"value": 1}]}}}, KeyError),
    ("base", None, FileNotFoundError),
])
def test_failures_leave_the_current_file_unchanged(which, content, error, merge, tmp_path):
    paths = dict(zip(("base", "current", "incoming"),
                     merge.paths(DOCUMENT, json.dumps(DOCUMENT, indent=2), DOCUMENT)))
    if content is None:
        os.unlink(paths[which])
    elif isinstance(content, bytes):
        open(paths[which], "wb").write(content)
    else:
        open(paths[which], "w").write(content if isinstance(content, str) else json.dumps(content))
    before = open(paths["current"], "rb").read()
    with pytest.raises(error):
        nbweave.merge_files(paths["base"], paths["current"], paths["incoming"], "nb")
    assert open(paths["current"], "rb").read() == before
    assert set(os.listdir(tmp_path)) <= {"base.ipynb", "current.ipynb", "incoming.ipynb"}


def test_the_first_file_read_decides_the_error(merge, tmp_path):
    # base and incoming are read ahead while current is parsed; current's error still comes first
    base, current, incoming = merge.paths(DOCUMENT, DOCUMENT, DOCUMENT)
    open(current, "w").write("{")
    os.unlink(base)
    with pytest.raises(json.JSONDecodeError):
        nbweave.merge_files(base, current, incoming, "nb")


@pytest.mark.parametrize("piped", ["base", "incoming"])
def test_a_version_from_a_pipe_is_read_as_it_comes(piped, merge, tmp_path):
    # as `<(git show ...)` hands it over: a pipe, written while the merge reads it
    current = copy.deepcopy(DOCUMENT)
    current["cells"][0]["source"] = ["changed\n"]
    paths = dict(zip(("base", "current", "incoming"), merge.paths(DOCUMENT, current, DOCUMENT)))
    text = open(paths[piped], "rb").read()
    os.unlink(paths[piped])
    os.mkfifo(paths[piped])
    attempts = []

    def feed():
        # A reader that opens the pipe only to close it again breaks the write: tried again,
        # so that such a fault fails below instead of hanging the merge.
        while len(attempts) < 3:
            attempts.append(1)
            with contextlib.suppress(BrokenPipeError), open(paths[piped], "wb") as pipe:
                pipe.write(text)
                return

    writer = threading.Thread(target=feed, daemon=True)
    writer.start()
    time.sleep(0.05)  # not a speed target: the writer waits for a reader when the merge starts
    nbweave.merge_files(paths["base"], paths["current"], paths["incoming"], "nb")
    writer.join(timeout=60)
    assert json.load(open(paths["current"]))["cells"][0]["source"] == ["changed\n"]
    assert len(attempts) == 1


def test_git_missing_from_path_fails_and_leaves_the_file(merge, monkeypatch):
    base = make_notebook([make_cell("c", "n", ["a\n", "b\n"])])
    current, incoming = copy.deepcopy(base), copy.deepcopy(base)
    current["cells"][0]["source"] = ["A\n", "b\n"]
    incoming["cells"][0]["source"] = ["a\n", "B\n"]
    paths = merge.paths(base, current, incoming)
    before = open(paths[1], "rb").read()
    monkeypatch.setenv("PATH", "")
    with pytest.raises(nbweave.git.GitCommandNotFound):
        nbweave.merge_files(*paths, "nb")
    assert open(paths[1], "rb").read() == before


def conflicting_triple():
    base = make_notebook([make_cell("c", "n", ["a\n", "b\n"]), make_cell("d", "m", ["x\n"])])
    current, incoming = copy.deepcopy(base), copy.deepcopy(base)
    current["cells"][0]["source"] = ["A\n", "b\n"]
    incoming["cells"][0]["source"] = ["a\n", "B\n"]
    current["cells"][1]["source"] = ["y\n"]
    incoming["cells"][1]["source"] = ["x\n"]
    incoming["cells"][1]["metadata"]["canvas"]["k"] = 1
    return base, current, incoming


def test_patched_merge_source_and_git_are_used(merge, monkeypatch):
    calls = []

    class FakeGit:
        pass

    def fake_merge_source(g, current, base, incoming, current_name=None, incoming_name=None):
        calls.append((type(g), current, base, incoming, current_name, incoming_name))
        return ["merged\n"]

    monkeypatch.setattr(nbweave.git.cmd, "Git", FakeGit)
    monkeypatch.setattr(nbweave, "_merge_source", fake_merge_source)
    merged = merge(*conflicting_triple(), file_path="f.ipynb")
    assert calls == [(FakeGit, ["A\n", "b\n"], ["a\n", "b\n"], ["a\n", "B\n"], "f.ipynb-current",
                      "f.ipynb-incoming")]
    assert merged["cells"][0]["source"] == ["merged\n"]


def test_duplicates_take_two_fresh_uuids(merge, monkeypatch):
    import uuid

    issued = []

    def counting_uuid4():
        issued.append(uuid.UUID(int=len(issued) + 1, version=4))
        return issued[-1]

    monkeypatch.setattr(nbweave.uuid, "uuid4", counting_uuid4)
    merged = merge(*conflicting_triple())
    duplicate = merged["cells"][2]["metadata"]["canvas"]
    assert names(merged) == ["n", "<<< m", ">>> m"]
    assert (duplicate["link_id"], duplicate["id"]) == (str(issued[0]), str(issued[1]))
    assert len(issued) == 2


def test_real_uuids_are_version_4_and_distinct(merge):
    merged = merge(*conflicting_triple())
    duplicate = merged["cells"][2]["metadata"]["canvas"]
    import uuid

    assert {uuid.UUID(duplicate["link_id"]).version, uuid.UUID(duplicate["id"]).version} == {4}
    assert duplicate["link_id"] != duplicate["id"] and len(duplicate["id"]) == 36


def test_a_patched_merge_cell_class_is_used_and_gives_the_same_result(merge, monkeypatch):
    expected = merge(*conflicting_triple())
    built = []

    class Counting(nbweave.MergeCell):
        def __init__(self, cell, file_type):
            built.append(file_type)
            super().__init__(cell, file_type)

    monkeypatch.setattr(nbweave, "MergeCell", Counting)
    monkeypatch.setattr(nbweave.uuid, "uuid4", lambda: "u")
    expected_names = names(expected)
    merged = merge(*conflicting_triple())
    assert names(merged) == expected_names
    assert built.count("base") == 2 and built.count("current") == 4


def test_repeated_uuid_keeps_the_order_a_rebuilt_map_would_have(merge, monkeypatch):
    base = make_notebook([make_cell(c, c, [c + "\n"]) for c in "abc"])
    current, incoming = copy.deepcopy(base), copy.deepcopy(base)
    for index in (0, 2):
        current["cells"][index]["source"] = ["mine\n"]
        incoming["cells"][index]["source"] = ["theirs\n"]
        incoming["cells"][index]["metadata"]["canvas"]["k"] = 1
    monkeypatch.setattr(nbweave.uuid, "uuid4", lambda: "same")
    merged = merge(base, current, incoming)
    # the second duplicate's key equals the first's: the first keeps its place, the second's
    # cell takes it
    assert names(merged) == ["<<< a", ">>> c", "b", "<<< c"]


def test_without_assertions_both_sides_adding_one_id_takes_incoming(merge, tmp_path):
    import subprocess
    import sys

    base = make_notebook([make_cell("a", "alpha")])
    current, incoming = copy.deepcopy(base), copy.deepcopy(base)
    current["cells"].append(make_cell("n", "mine", ["m\n"]))
    incoming["cells"].append(make_cell("n", "theirs", ["t\n"]))
    paths = merge.paths(base, current, incoming)
    script = ("import sys; from vornik_git.drivers import nbweave; "
              "nbweave.MergeCell({'metadata': {}}, 'unchecked'); "
              "nbweave.merge_files(*sys.argv[1:], 'nb')")
    subprocess.run([sys.executable, "-O", "-c", script, *paths], check=True,
                   env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    merged = json.loads(open(paths[1]).read())
    assert names(merged) == ["alpha", "theirs"]
