"""The change test of one cell between two versions, and the structural difference under it."""

import logging
import sys

import pytest
from jsondiff.symbols import delete, replace

from vornik_git.drivers import nbweave
from vornik_git.drivers.common import Cell


class Bare:
    """Anything with `parents` and `data` will do for the change test."""

    def __init__(self, data):
        self.data = data
        self.parents = []


def cells(data0, data1):
    wrap = Cell if "metadata" in data0 and "metadata" in data1 else Bare
    return wrap(data0), wrap(data1)


def canvas_cell(**canvas):
    return {"metadata": {"canvas": {"id": "c", **canvas}}, "source": ["a\n"]}


@pytest.mark.parametrize("data0, data1, expected", [
    ({"a": 1}, {"a": 1.0}, {}),
    ({"a": True}, {"a": 1}, {}),
    ({"a": [1, {"b": 2}]}, {"a": [1, {"b": 2}]}, {}),
    ({"b": 1, "a": 2}, {"a": 2, "b": 1}, {}),
    ({"a": 1}, {"a": 2}, {"a": 2}),
    ({"a": 1}, {"a": 1, "b": [3]}, {"b": [3]}),
    ({"a": 1, "b": 2, "c": 3}, {"a": 1}, {delete: ["b", "c"]}),
    ({"a": [1, 2]}, {"a": [1, 3]}, {"a": [1, 3]}),
    ({"a": [1, 2]}, {"a": [1, 2, 3]}, {"a": [1, 2, 3]}),
    ({"a": "text"}, {"a": {"x": 1}}, {"a": {replace: {"x": 1}}}),
    ({"a": {"x": 1}}, {"a": [1]}, {"a": [1]}),
    ({"a": {"x": 1}}, {"a": {"y": 1}}, {"a": {replace: {"y": 1}}}),
    ({"a": {}}, {"a": {"y": 1}}, {"a": {replace: {"y": 1}}}),
    ({"a": {"x": {}}}, {"a": {"x": {}}}, {}),
    ({"m": {"c": {"id": 1, "k": 2}}}, {"m": {"c": {"id": 1, "k": 3, "n": 4}}},
     {"m": {"c": {"k": 3, "n": 4}}}),
    ({"x": 1}, {"y": 1}, {replace: {"y": 1}}),
    ({"a": None}, {"a": False}, {"a": False}),
])
def test_compact_difference(data0, data1, expected):
    diff = nbweave._cell_changed(*cells(data0, data1))
    assert diff == expected and type(diff) is dict


def test_nan_differs_from_itself_unless_the_same_object():
    nan = float("nan")
    assert nbweave._cell_changed(*cells({"a": nan}, {"a": nan})) == {}
    assert "a" in nbweave._cell_changed(*cells({"a": nan}, {"a": float("nan")}))


@pytest.mark.parametrize("data0, data1, expected", [
    ({"execution_count": 1, "source": []}, {"execution_count": 9, "source": []}, {}),
    ({"source": []}, {"execution_count": 9, "source": []}, {}),
    (canvas_cell(parents=[{"id": "p", "name": "old"}]),
     canvas_cell(parents=[{"id": "p", "name": "new"}]), {}),
    (canvas_cell(parents=[{"id": "p"}]), canvas_cell(parents=[{"id": "q"}]),
     {"metadata": {"canvas": {"parents": [{"id": "q"}]}}}),
    ({"outputs": [], "source": []}, {"outputs": [{"text": "x"}], "source": []},
     {"outputs": [{"text": "x"}]}),
    ({"gone": 1, "source": []}, {"source": []}, {delete: ["gone"]}),
])
def test_what_counts_as_a_change(data0, data1, expected):
    assert nbweave._cell_changed(*cells(data0, data1)) == expected


def test_parent_names_are_removed_from_both_cells_in_place():
    link0 = {"id": "p", "name": "a"}
    link1 = {"name": "b", "id": "p", "extra": 1}
    cell0, cell1 = cells(canvas_cell(parents=[link0]), canvas_cell(parents=[link1, {"id": "q"}]))
    nbweave._cell_changed(cell0, cell1)
    assert link0 == {"id": "p"} and link1 == {"id": "p", "extra": 1}
    assert cell0.parents[0] is link0


def test_non_dict_parent_raises_after_earlier_names_are_gone():
    link = {"id": "p", "name": "a"}
    cell0, cell1 = cells(canvas_cell(parents=[link]), canvas_cell(parents=["not a link"]))
    with pytest.raises(AttributeError):
        nbweave._cell_changed(cell0, cell1)
    assert link == {"id": "p"}


@pytest.mark.parametrize("data1, error", [(None, AttributeError), ([1], TypeError),
                                          ("text", AttributeError)])
def test_a_difference_that_is_not_a_dict_fails(data1, error):
    with pytest.raises(error):
        nbweave._cell_changed(Bare({"a": 1}), Bare(data1))


def test_every_difference_is_logged_through_the_root_logger(monkeypatch):
    records = []
    monkeypatch.setattr(logging, "debug", lambda message, *args: records.append(message))
    diff = nbweave._cell_changed(*cells({"source": ["a"]}, {"source": ["b"]}))
    nbweave._cell_changed(*cells({"source": []}, {"source": []}))
    assert records == [diff, {}] and records[0] is diff


def test_debug_records_reach_a_configured_root_logger(caplog):
    with caplog.at_level(logging.DEBUG):
        nbweave._cell_changed(*cells({"source": ["a"]}, {"source": ["b"]}))
    assert [r.levelno for r in caplog.records] == [logging.DEBUG]
    assert caplog.records[0].name == "root" and caplog.records[0].msg == {"source": ["b"]}


def nested(depth, leaf, kind):
    value = leaf
    for _ in range(depth):
        value = {"k": value} if kind == "dict" else [value]
    return value


@pytest.mark.parametrize("kind", ["dict", "list"])
def test_nesting_beyond_the_recursion_limit_raises_and_within_it_never_crashes(kind):
    deep0, deep1 = nested(200_000, 1, kind), nested(200_000, 2, kind)
    with pytest.raises(RecursionError):
        nbweave._cell_changed(*cells({"a": deep0}, {"a": deep1}))
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(1_000_000)
    try:
        if sys.version_info >= (3, 12):
            # From 3.12 the host's own comparison of such nesting stops at a limit of its own,
            # whatever the recursion limit says; so does the change test.
            with pytest.raises(RecursionError):
                deep0 == deep1  # noqa: B015
            with pytest.raises(RecursionError):
                nbweave._cell_changed(*cells({"a": deep0}, {"a": deep1}))
        else:
            # far deeper than the C stack would allow with one native frame per level
            diff = nbweave._cell_changed(*cells({"a": deep0}, {"a": deep1}))
            assert diff and ("a" in diff)
    finally:
        sys.setrecursionlimit(limit)
    assert nbweave._cell_changed(*cells({"a": nested(50, 1, kind)},
                                        {"a": nested(50, 1, kind)})) == {}


def test_cells_of_another_wrapper_are_read_through_their_members():
    reads = []

    class Traced(Cell):
        @property
        def data(self):
            reads.append("data")
            return {**self._data, "extra": 1}

        @property
        def parents(self):
            reads.append("parents")
            return super().parents

        def __getattr__(self, name):  # present only to make attribute access unusual
            raise AttributeError(name)

    plain, traced = Cell(canvas_cell()), Traced(canvas_cell())
    assert nbweave._cell_changed(plain, traced) == {"extra": 1}
    assert sorted(reads) == ["data", "parents"]


def test_a_patched_cell_property_is_honoured(monkeypatch):
    monkeypatch.setattr(Cell, "data", property(lambda self: {"patched": True}))
    assert nbweave._cell_changed(Cell(canvas_cell()), Cell(canvas_cell(k=1))) == {}
