"""The cell merge: cells removed, added and kept by either side, with real source merges."""

import copy
import json
import uuid

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from notebooks import make_cell, make_notebook, names, sources

BASE_SOURCE = ["s = 1\n", "t = 2\n", "u = 3\n"]
CURRENT_SOURCE = ["s = 10\n", "t = 2\n", "u = 3\n"]
INCOMING_SOURCE = ["s = 1\n", "t = 2\n", "u = 30\n"]
MERGED_SOURCE = "s = 10\nt = 2\nu = 30\n"
UUID = [str(uuid.UUID(int=n, version=4)) for n in range(3)]


def triple(subject_name="s", **subject):
    cells = [make_cell("a", "alpha", ["a = 1\n"]),
             make_cell("s", subject_name, BASE_SOURCE, parents=["a"], **subject),
             make_cell("z", "zeta", ["z = 1\n"], parents=["s", "a"])]
    base = make_notebook(cells)
    return base, copy.deepcopy(base), copy.deepcopy(base)


def subject(document):
    return document["cells"][1]


def canvas(document):
    return subject(document)["metadata"]["canvas"]


def edit_source(document, source):
    subject(document)["source"] = list(source)


# Each row: base name of the subject cell, what current does, what incoming does, and the
# expected (name, source) of every output cell.
def change_current(document):
    edit_source(document, CURRENT_SOURCE)


def remove(document):
    del document["cells"][1]


ROWS = {
    "unchanged, removed": ("s", None, remove, [("alpha", "a = 1\n"), ("zeta", "z = 1\n")]),
    "unchanged, unchanged": ("s", None, None, [("alpha", "a = 1\n"), ("s", "".join(BASE_SOURCE)),
                                               ("zeta", "z = 1\n")]),
    "unchanged, changed": ("s", None, lambda d: (edit_source(d, INCOMING_SOURCE),
                                                 canvas(d).update(note="theirs")),
                           [("alpha", "a = 1\n"), ("s", "".join(INCOMING_SOURCE)),
                            ("zeta", "z = 1\n")]),
    "changed, removed": ("s", change_current, remove,
                         [("alpha", "a = 1\n"), ("<<< s", "".join(CURRENT_SOURCE)),
                          ("zeta", "z = 1\n")]),
    "unnamed changed, removed": ("", change_current, remove,
                                 [("alpha", "a = 1\n"), ("", "".join(CURRENT_SOURCE)),
                                  ("zeta", "z = 1\n")]),
    "changed, unchanged": ("s", change_current,
                           lambda d: subject(d).update(outputs=[{"text": "x"}],
                                                       execution_count=7),
                           [("alpha", "a = 1\n"), ("s", "".join(CURRENT_SOURCE)),
                            ("zeta", "z = 1\n")]),
    "changed, header colour and source": (
        "s", change_current,
        lambda d: (edit_source(d, INCOMING_SOURCE), canvas(d).update(headerColor="#fff")),
        [("alpha", "a = 1\n"), ("s", MERGED_SOURCE), ("zeta", "z = 1\n")]),
    "changed, header colour only": (
        "s", change_current, lambda d: canvas(d).update(headerColor="#fff"),
        [("alpha", "a = 1\n"), ("s", "".join(CURRENT_SOURCE)), ("zeta", "z = 1\n")]),
    "changed, other canvas key, both unnamed": (
        "", change_current, lambda d: (edit_source(d, INCOMING_SOURCE), canvas(d).update(k=1)),
        [("alpha", "a = 1\n"), ("", MERGED_SOURCE), ("zeta", "z = 1\n")]),
    "changed, other canvas key, unnamed, source untouched": (
        "", change_current, lambda d: canvas(d).update(k=1),
        [("alpha", "a = 1\n"), ("", "".join(CURRENT_SOURCE)), ("zeta", "z = 1\n")]),
    "changed, incoming drops the name": (
        "s", change_current, lambda d: (edit_source(d, INCOMING_SOURCE), canvas(d).update(name="")),
        [("alpha", "a = 1\n"), ("s", "".join(CURRENT_SOURCE)), ("", "".join(INCOMING_SOURCE)),
         ("zeta", "z = 1\n")]),
    "changed, other canvas key, both named": (
        "s", change_current, lambda d: (edit_source(d, INCOMING_SOURCE), canvas(d).update(k=1)),
        [("alpha", "a = 1\n"), ("<<< s", "".join(CURRENT_SOURCE)),
         (">>> s", "".join(INCOMING_SOURCE)), ("zeta", "z = 1\n")]),
    "changed, canvas unchanged, only current named": (
        "", lambda d: (change_current(d), canvas(d).update(name="s")),
        lambda d: edit_source(d, INCOMING_SOURCE),
        [("alpha", "a = 1\n"), ("s", "".join(CURRENT_SOURCE)), ("", "".join(INCOMING_SOURCE)),
         ("zeta", "z = 1\n")]),
    "changed, canvas unchanged, both named": (
        "s", change_current, lambda d: edit_source(d, INCOMING_SOURCE),
        [("alpha", "a = 1\n"), ("s", MERGED_SOURCE), ("zeta", "z = 1\n")]),
    "changed, canvas unchanged, neither named": (
        "", change_current, lambda d: edit_source(d, INCOMING_SOURCE),
        [("alpha", "a = 1\n"), ("", MERGED_SOURCE), ("zeta", "z = 1\n")]),
}


@pytest.mark.parametrize("row", ROWS, ids=list(ROWS))
def test_cells_both_sides_kept(row, merge, fixed_uuids):
    subject_name, on_current, on_incoming, expected = ROWS[row]
    base, current, incoming = triple(subject_name)
    for document, change in ((current, on_current), (incoming, on_incoming)):
        if change is not None:
            change(document)
    merged = merge(base, current, incoming)
    assert list(zip(names(merged), sources(merged))) == expected
    ids = [cell["metadata"]["canvas"]["id"] for cell in merged["cells"]]
    if len(expected) == 4:  # a duplicate of incoming's cell right after current's
        duplicate = merged["cells"][2]["metadata"]["canvas"]
        assert ids == ["a", "s", UUID[2], "z"] and duplicate["link_id"] == UUID[1]
    else:
        assert ids == [cell_id for cell_id in ("a", "s", "z") if cell_id in ids]


def test_incoming_version_replaces_current_in_place(merge):
    base, current, incoming = triple()
    subject(incoming)["metadata"]["tags"] = ["theirs"]
    subject(current)["outputs"] = [{"text": "mine"}]  # outputs alone are no change of current's
    merged = merge(base, current, incoming)
    assert subject(merged)["metadata"]["tags"] == ["theirs"] and subject(merged)["outputs"] == []


def test_current_header_colour_and_outputs_survive_a_source_merge(merge):
    base, current, incoming = triple(headerColor="#000")
    change_current(current)
    canvas(current)["headerColor"] = "#111"
    subject(current)["outputs"] = [{"text": "mine"}]
    edit_source(incoming, INCOMING_SOURCE)
    canvas(incoming)["headerColor"] = "#222"
    subject(incoming)["outputs"] = [{"text": "theirs"}]
    merged = merge(base, current, incoming)
    assert canvas(merged)["headerColor"] == "#111"
    assert subject(merged)["outputs"] == [{"text": "mine"}]
    assert "".join(subject(merged)["source"]) == MERGED_SOURCE


@pytest.mark.parametrize("base_comments", [None, [{"text": "old"}]])
def test_incoming_comments_are_added_once(base_comments, merge):
    base, current, incoming = triple(**({} if base_comments is None else
                                        {"comments": base_comments}))
    change_current(current)
    canvas(current)["comments"] = (base_comments or []) + [{"text": "mine"}]
    canvas(incoming)["comments"] = (base_comments or []) + [{"text": "mine"}, {"text": "theirs"}]
    canvas(incoming)["headerColor"] = "#abc"
    merged = merge(base, current, incoming)
    assert canvas(merged)["comments"] == (base_comments or []) + [{"text": "mine"},
                                                                  {"text": "theirs"}]
    assert "headerColor" not in canvas(merged)


# Values that compare equal across types (1, 1.0, True; 0, -0.0, False) or not even to
# themselves (each NaN the reader makes is a new object).
COMMENT_SCALARS = st.sampled_from([0, 1, 1.0, True, False, -0.0, None, float("nan"), "a", ""])
COMMENT_VALUES = st.recursive(
    COMMENT_SCALARS,
    lambda inner: st.lists(inner, max_size=2) | st.dictionaries(st.sampled_from(["text", "1"]),
                                                                inner, max_size=2),
    max_leaves=4)


def twin(value):
    """An equal value built another way: numbers of another type, dict keys in reverse order."""
    if isinstance(value, dict):
        return {key: twin(item) for key, item in reversed(value.items())}
    if isinstance(value, list):
        return [twin(item) for item in value]
    if isinstance(value, bool):
        return int(value)
    if isinstance(value, int):
        return float(value)
    if isinstance(value, float) and value in (0.0, 1.0):
        return bool(value)
    return value


def take_comments_model(present, incoming):
    merged = list(present)
    for comment in incoming:
        if comment not in merged:
            merged.append(comment)
    return merged


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(sides=st.lists(COMMENT_VALUES, min_size=1, max_size=4).flatmap(lambda pool: st.tuples(
    st.none() | st.lists(st.sampled_from(pool), max_size=4),
    st.lists(st.sampled_from(pool + [twin(value) for value in pool]), min_size=1, max_size=5))))
def test_incoming_comments_merge_as_a_membership_test_in_order(sides, merge):
    present, incoming = sides
    base, current, theirs = triple()
    change_current(current)
    if present is not None:
        canvas(current)["comments"] = present
    canvas(theirs)["comments"] = incoming
    merged = merge(base, current, theirs)

    def as_read(value):  # as the merge reads it: a new object for every NaN
        return json.loads(json.dumps(value), parse_constant=float)

    expected = take_comments_model(as_read(present or []), as_read(incoming))
    assert json.dumps(canvas(merged)["comments"]) == json.dumps(expected)


def test_conflicting_source_is_labelled_with_the_file_path(merge):
    base, current, incoming = triple()
    edit_source(current, ["s = 5\n", "t = 2\n", "u = 3\n"])
    edit_source(incoming, ["s = 6\n", "t = 2\n", "u = 3\n"])
    merged = merge(base, current, incoming, file_path="work/model.ipynb")
    assert subject(merged)["source"] == [
        "<<<<<<< work/model.ipynb-current\n", "s = 5\n", "=======\n", "s = 6\n",
        ">>>>>>> work/model.ipynb-incoming\n", "t = 2\n", "u = 3\n"]


def test_incoming_name_taken_by_another_cell_marks_both(merge):
    base, current, incoming = triple()
    edit_source(incoming, INCOMING_SOURCE)
    canvas(incoming)["name"] = "zeta"
    merged = merge(base, current, incoming)
    assert names(merged) == ["alpha", ">>> zeta", "<<< zeta"]


@pytest.mark.parametrize("incoming_changed", [True, False])
def test_cell_current_removed(incoming_changed, merge):
    base, current, incoming = triple()
    remove(current)
    if incoming_changed:
        subject(incoming)["outputs"] = [{"text": "new output"}]  # outputs count here
    merged = merge(base, current, incoming)
    if incoming_changed:
        assert names(merged) == ["alpha", "zeta", ">>> s"]
        assert merged["cells"][-1]["outputs"] == [{"text": "new output"}]
    else:
        assert names(merged) == ["alpha", "zeta"]


def test_both_removed(merge):
    base, current, incoming = triple()
    remove(current)
    remove(incoming)
    assert names(merge(base, current, incoming)) == ["alpha", "zeta"]


@pytest.mark.parametrize("added_name, expected", [
    ("new", ["alpha", "s", "zeta", "new"]),
    ("alpha", ["<<< alpha", "s", "zeta", ">>> alpha"]),
    ("", ["alpha", "s", "zeta", ""]),
])
def test_cell_incoming_added(added_name, expected, merge):
    base, current, incoming = triple()
    incoming["cells"].append(make_cell("n", added_name))
    assert names(merge(base, current, incoming)) == expected


def test_cells_added_by_incoming_never_clash_with_each_other(merge):
    base, current, incoming = triple()
    incoming["cells"] += [make_cell("n1", "same"), make_cell("n2", "same")]
    assert names(merge(base, current, incoming))[-2:] == ["same", "same"]


def test_both_sides_adding_one_id_is_an_assertion(merge, tmp_path):
    base, current, incoming = triple()
    current["cells"].append(make_cell("n", "mine"))
    incoming["cells"].append(make_cell("n", "theirs"))
    paths = merge.paths(base, current, incoming)
    before = open(paths[1], "rb").read()
    from vornik_git.drivers import nbweave

    with pytest.raises(AssertionError):
        nbweave.merge_files(*paths, "nb.ipynb")
    assert open(paths[1], "rb").read() == before


def test_rename_back_when_incoming_removes_the_cell_it_conflicted_with(merge):
    base, current, incoming = triple()
    # current removes "a" while incoming changes it: "a" comes back as ">>> alpha"; current also
    # adds a new cell named "alpha" that is left alone...
    current_alpha = current["cells"].pop(0)
    current["cells"].insert(0, make_cell("a2", "alpha"))
    base["cells"].insert(0, make_cell("a2", "alpha"))
    incoming["cells"].insert(0, make_cell("a2", "alpha"))
    incoming["cells"][1]["source"] = ["a = 2\n"]
    # ...and incoming removes that new cell, so ">>> alpha" gets its plain name back.
    del incoming["cells"][0]
    assert current_alpha["metadata"]["canvas"]["id"] == "a"
    merged = merge(base, current, incoming)
    assert names(merged) == ["s", "zeta", "alpha"] and sources(merged)[-1] == "a = 2\n"


def test_repeated_id_keeps_the_later_cell_in_the_earlier_place(merge):
    base, current, incoming = triple()
    current["cells"].append(make_cell("a", "later alpha", ["later\n"]))
    merged = merge(base, current, incoming)
    assert names(merged) == ["later alpha", "s", "zeta"]


def test_parents_are_pruned_to_named_cells(merge):
    base, current, incoming = triple("")
    canvas(current)["parents"].append({"id": "missing", "name": "x"})
    merged = merge(base, current, incoming)
    parents = [cell["metadata"]["canvas"]["parents"] for cell in merged["cells"] if
               "parents" in cell["metadata"]["canvas"]]
    # named "alpha" gets a list of its own; unnamed "s" keeps its links (the change test took
    # their names); "zeta" keeps only its link to a named cell
    assert parents == [[], [{"id": "a"}, {"id": "missing"}], [{"id": "a"}]]


def test_identical_versions_round_trip(merge):
    base, current, incoming = triple()
    merged = merge(base, current, incoming)
    assert merged["cells"][1]["metadata"]["canvas"]["parents"] == [{"id": "a"}]
    assert merged["cells"][2]["metadata"]["canvas"]["parents"] == [{"id": "s"}, {"id": "a"}]
    for cell in merged["cells"]:
        cell["metadata"]["canvas"].pop("parents", None)
    for cell in base["cells"]:
        cell["metadata"]["canvas"].pop("parents", None)
    assert merged == base
