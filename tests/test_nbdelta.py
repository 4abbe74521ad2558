"""diff_dicts and the module interface of vornik_git.drivers.nbdelta."""

import collections
import copy
import difflib
import importlib.util
import inspect
import os
import subprocess
import sys
import typing

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from vornik_git.drivers import common, nbdelta
from vornik_git.drivers.nbdelta import DiffCell, DiffParameter, _cell_modified, diff_dicts


def code(cell_id, source=("x\n",), parents=(), **canvas):
    canvas = {"id": cell_id, **canvas}
    if parents is not None:
        canvas["parents"] = [{"id": p, "name": n} for p, n in parents]
    return {"cell_type": "code", "execution_count": 1, "metadata": {"canvas": canvas},
            "outputs": [], "source": list(source)}


def notebook(*cells, parameters=None):
    canvas = {} if parameters is None else {"parameters": list(parameters)}
    return {"cells": list(cells), "metadata": {"canvas": canvas}, "nbformat": 4}


def param(name, value="1", type_="str"):
    return {"name": name, "type": type_, "value": value}


def canvases(result):
    return [cell["metadata"]["canvas"] for cell in result["cells"]]


def links(entries):
    return [{"id": i, "name": n} for i, n in entries]


def test_empty_documents_give_empty_lists_and_nothing_else():
    result = diff_dicts({"nbformat": 4}, {})
    assert result == {"cells": [], "metadata": {"canvas": {"parameter": []}}}
    assert list(result) == ["cells", "metadata"]


def test_only_code_cells_take_part():
    prose = {"cell_type": "markdown", "metadata": {"canvas": {"id": "a"}}, "source": ["# a"]}
    raw = {"cell_type": "raw", "metadata": {}, "source": []}  # not even read past its type
    prev, current = notebook(prose, code("b")), notebook(copy.deepcopy(prose), raw, code("b"))
    before = copy.deepcopy((prose, raw))
    assert [c["id"] for c in canvases(diff_dicts(prev, current))] == ["b"]
    assert (prose, raw) == before


def test_entries_come_grouped_in_document_order():
    prev = notebook(code("r2"), code("b1"), code("r1"), code("b2"),
                    parameters=[param("pr2"), param("pb1"), param("pr1")])
    current = notebook(code("a2"), code("b2"), code("a1"), code("b1"),
                       parameters=[param("pa1"), param("pb1"), param("pa0")])
    result = diff_dicts(prev, current)
    assert [(c["id"], c["diff_status"]) for c in canvases(result)] == [
        ("r2", "removed"), ("r1", "removed"), ("a2", "added"), ("a1", "added"),
        ("b2", "unchanged"), ("b1", "unchanged")]
    assert [(p["name"], p["diff_status"]) for p in result["metadata"]["canvas"]["parameter"]] == [
        ("pr2", "removed"), ("pr1", "removed"), ("pb1", "unchanged"), ("pa1", "added"), ("pa0", "added")]


@pytest.mark.parametrize("prev_cell, current_cell, status, added, removed, kept", [
    (code("c", parents=[("p1", "n1")]), code("c", parents=[("p1", "n1"), ("p2", "n2")]),
     "unchanged", [("p2", "n2")], [], [("p1", "n1")]),
    (code("c", parents=[("p1", "old")]), code("c", parents=[("p1", "new")]),
     "unchanged", [], [], [("p1", "new")]),
    (code("c", ["a\n"], parents=[("p1", "n1")]), code("c", ["a"], parents=None),
     "modified", [], [("p1", "n1")], []),
    (code("c", parents=[("p2", "x"), ("p1", "a"), ("p1", "b")]), code("c", parents=[("p1", "c"), ("p1", "d")]),
     "unchanged", [], [("p2", "x")], [("p1", "d")]),
    (code("c", [], parents=None), code("c", [], parents=[(("t", 1), "tuple id"), ("p", "text id")]),
     "unchanged", [(("t", 1), "tuple id"), ("p", "text id")], [], []),
])
def test_cell_in_both_versions(prev_cell, current_cell, status, added, removed, kept):
    for entry in prev_cell["metadata"]["canvas"].get("parents", []):
        entry["extra"] = "dropped from the links"
    had_parents = "parents" in current_cell["metadata"]["canvas"]
    result = diff_dicts(notebook(prev_cell), notebook(current_cell))
    (canvas,) = canvases(result)
    assert canvas["diff_status"] == status
    assert canvas["prev_source"] is prev_cell["source"]
    assert (canvas["added_parents"], canvas["removed_parents"], canvas["parents"]) == (
        links(added), links(removed), links(kept))
    marks = ["diff_status", "prev_source", "added_parents", "removed_parents"]
    assert list(canvas) == (["id", "parents", *marks] if had_parents else ["id", *marks, "parents"])
    assert result["cells"][0]["source"] is current_cell["source"]


def test_removed_and_added_cells_keep_their_parent_entries_themselves():
    gone = code("gone", ["a\n"], parents=[("p", "n")])
    new = code("new", ["b\n"], parents=[("q", "m")])
    gone["metadata"]["canvas"]["parents"].append({"id": "no name"})  # never read here
    gone_parents, gone_source = gone["metadata"]["canvas"]["parents"], gone["source"]
    new_parents = new["metadata"]["canvas"]["parents"]
    result = diff_dicts(notebook(gone), notebook(new))
    removed, added = result["cells"]
    assert removed is not gone and removed["metadata"] is gone["metadata"]
    assert removed["source"] == [] and gone["source"] is gone_source
    canvas = removed["metadata"]["canvas"]
    assert (canvas["diff_status"], canvas["parents"]) == ("removed", [])
    assert canvas["prev_source"] is gone_source and canvas["removed_parents"] is gone_parents
    assert "added_parents" not in canvas
    canvas = added["metadata"]["canvas"]
    assert (canvas["diff_status"], canvas["prev_source"], canvas["parents"]) == ("added", [], [])
    assert canvas["added_parents"] is new_parents and "removed_parents" not in canvas
    assert added["source"] is new["source"] and added["outputs"] is new["outputs"]


def test_a_repeated_id_keeps_its_first_place_and_its_last_cell():
    prev = notebook(code("a", ["1"]), code("b", ["1"]))
    current = notebook(code("a", ["1"]), code("b", ["1"]), code("a", ["2"]))
    later = current["cells"][2]
    result = diff_dicts(prev, current)
    assert [(c["id"], c["diff_status"]) for c in canvases(result)] == [("a", "modified"), ("b", "unchanged")]
    assert result["cells"][0]["source"] is later["source"]
    assert "diff_status" not in current["cells"][0]["metadata"]["canvas"]


@pytest.mark.parametrize("previous, now, status, marks", [
    (param("p", "1", "int"), param("p", "2", "str"), "modified", {"prev_type": "int", "prev_value": "1"}),
    (param("p", "1", "int"), param("p", "1", "str"), "unchanged", {}),
    (param("p", "x"), param("p", None), "modified", {"prev_type": "str", "prev_value": "x"}),
    (param("p", None), param("p", None), "unchanged", {}),
    (param("p", None), param("p", "x"), "modified", {"prev_type": "str", "prev_value": None}),
    (param("p", "1", None), param("p", "2"), "modified", {"prev_type": None, "prev_value": "1"}),
])
def test_parameter_in_both_versions(previous, now, status, marks):
    expected_previous = dict(previous, diff_status="unchanged")
    result = diff_dicts(notebook(parameters=[previous]), notebook(parameters=[now]))
    (entry,) = result["metadata"]["canvas"]["parameter"]
    assert entry is now
    assert {k: v for k, v in now.items() if k not in ("name", "type", "value")} == dict(
        {"diff_status": status}, **marks)
    assert previous == expected_previous


@pytest.mark.parametrize("current_canvas, expected", [
    ({}, [("a", "removed"), ("b", "removed")]),
    ({"parameters": [param("c"), {"type": "str"}, param("d")]}, [("a", "removed"), ("b", "removed")]),
    ({"parameters": [param("a"), param("c")]}, [("b", "removed"), ("a", "unchanged"), ("c", "added")]),
])
def test_a_document_whose_parameters_cannot_be_indexed_has_none(current_canvas, expected):
    prev = notebook(parameters=[param("a"), param("b")])
    current = {"metadata": {"canvas": current_canvas}}
    result = diff_dicts(prev, current)
    assert [(p["name"], p["diff_status"]) for p in result["metadata"]["canvas"]["parameter"]] == expected
    if len(current_canvas.get("parameters", [])) == 3:  # marked until the nameless entry
        assert [p.get("diff_status") for p in current_canvas["parameters"]] == ["unchanged", None, None]
    assert diff_dicts({"metadata": {}}, {})["metadata"]["canvas"]["parameter"] == []


def python_diff_dicts(prev, current):
    """The signature, for the host's own wording of binding errors."""


@pytest.mark.parametrize("args, kwargs", [((), {}), (({},), {}), (({}, {}, {}), {}),
                                          (({},), {"prev": {}}), ((), {"previous": {}, "current": {}})])
def test_binding_errors_are_worded_as_the_hosts(args, kwargs):
    with pytest.raises(TypeError) as expected:
        python_diff_dicts(*args, **kwargs)
    with pytest.raises(TypeError) as actual:
        diff_dicts(*args, **kwargs)
    assert str(actual.value) == str(expected.value).replace("python_diff_dicts", "diff_dicts")


@pytest.mark.parametrize("prev, current, error, text", [
    (collections.OrderedDict(), {}, TypeError, "Argument 'prev' has incorrect type (expected dict, got collections.OrderedDict)"),
    ({}, None, TypeError, "Argument 'current' has incorrect type (expected dict, got NoneType)"),
    (notebook({"metadata": {}}), {}, KeyError, "'cell_type'"),
    (notebook({"cell_type": "code", "metadata": {"canvas": {}}}), {}, KeyError, "'id'"),
    (notebook(code("c", parents=[("p", "n")])), notebook(code("c", parents=None)), None, None),
    (notebook(code("c", parents=[("p", "n")])), notebook({"cell_type": "code", "metadata": {"canvas": {
        "id": "c", "parents": [{"id": "p"}]}}}), KeyError, "'name'"),
    (notebook(code("c")), notebook(dict(code("c"), source=3)), TypeError, "'int' object is not subscriptable"),
    (notebook(dict(code("c"), source=3)), {}, TypeError,
     "Argument 'value' has incorrect type (expected list, got int)"),
    ({}, notebook(parameters=[collections.OrderedDict(name="p")]), TypeError,
     "Argument 'data' has incorrect type (expected dict, got collections.OrderedDict)"),
    (notebook(parameters=[param("p", 1)]), notebook(parameters=[param("p")]), TypeError, "Expected str, got int"),
])
def test_failures_pass_to_the_caller(prev, current, error, text):
    if error is None:
        diff_dicts(prev, current)  # tolerated: these values are never read
        return
    with pytest.raises(error) as raised:
        diff_dicts(prev, current)
    assert str(raised.value) == text


def test_a_source_held_as_one_text_reads_as_its_lines():
    prev = notebook(dict(code("a"), source="x\ny"), dict(code("gone"), source="z\n"))
    current = notebook(code("a", ["x\n", "y"]))
    result = diff_dicts(prev, current)
    assert [(c["id"], c["diff_status"], c["prev_source"]) for c in canvases(result)] == [
        ("gone", "removed", ["z\n"]), ("a", "unchanged", ["x\n", "y"])]


def test_deeply_nested_values_are_carried_not_walked():
    deep = []
    for _ in range(100_000):
        deep = [deep]
    prev = notebook(code("c", parents=[("p", deep)]), code("gone", parents=None, colour=deep))
    current = notebook(dict(code("c", parents=[("p", deep)]), outputs=deep))
    result = diff_dicts(prev, current)
    assert result["cells"][1]["metadata"]["canvas"]["parents"][0]["name"] is deep
    assert result["cells"][1]["outputs"] is deep


class RecordingCell(common.Cell):
    made = []

    def __init__(self, cell):
        RecordingCell.made.append(cell)
        super().__init__(cell)


class LinkCell(common.Cell):
    """The same members, with the parents kept under another key."""

    @property
    def parents(self):
        return self._data["metadata"]["canvas"].get("links") or []

    @parents.setter
    def parents(self, value):
        self._data["metadata"]["canvas"]["links"] = value


def test_a_replaced_cell_class_is_used_through_its_members(monkeypatch):
    prev = notebook(code("a", parents=[("p", "n")]), code("b"))
    current = notebook(code("a", parents=None), code("b"))
    current["cells"][0]["metadata"]["canvas"]["links"] = [{"id": "q", "name": "m"}]
    expected = diff_dicts(*copy.deepcopy((prev, current)))
    RecordingCell.made.clear()
    monkeypatch.setattr(nbdelta, "Cell", RecordingCell)
    assert diff_dicts(*copy.deepcopy((prev, current))) == expected
    assert len(RecordingCell.made) == 4
    monkeypatch.setattr(nbdelta, "Cell", LinkCell)
    canvas = canvases(diff_dicts(prev, current))[0]
    assert canvas["added_parents"] == links([("q", "m")]) and canvas["removed_parents"] == []


def test_collaborators_are_looked_up_when_called(monkeypatch):
    prev = notebook(code("a"), parameters=[param("p", "1")])
    current = notebook(code("a"), parameters=[param("p", "2")])
    monkeypatch.setattr(nbdelta, "_cell_modified", lambda cell: True)
    written = []
    monkeypatch.setattr(DiffParameter, "prev_value", property(
        DiffParameter.prev_value.fget, lambda self, value: written.append(value)))
    result = diff_dicts(prev, current)
    assert canvases(result)[0]["diff_status"] == "modified"
    assert written == ["1"] and "prev_value" not in current["metadata"]["canvas"]["parameters"][0]
    monkeypatch.undo()
    assert canvases(diff_dicts(*copy.deepcopy((prev, current))))[0]["diff_status"] == "unchanged"


@pytest.mark.parametrize("cls, member", [(common.Cell, "source"), (DiffCell, "prev_source")])
def test_a_member_patched_on_a_class_is_used_and_its_undoing_noticed(monkeypatch, cls, member):
    prev, current = notebook(code("a", source=["x\n"])), notebook(code("a", source=["y\n"]))
    expected = diff_dicts(*copy.deepcopy((prev, current)))
    calls = []
    original = vars(cls)[member]

    def recorded(self, *value):
        calls.append(value)
        return original.fget(self) if not value else original.fset(self, *value)
    monkeypatch.setattr(cls, member, property(recorded, recorded))
    assert diff_dicts(*copy.deepcopy((prev, current))) == expected
    assert calls
    monkeypatch.undo()
    calls.clear()
    assert diff_dicts(*copy.deepcopy((prev, current))) == expected and calls == []


IDS = st.sampled_from(["a", "b", "c", "d"])
PARENT = st.fixed_dictionaries({"id": IDS, "name": st.sampled_from(["n", "m"])})
SOURCE = st.one_of(st.lists(st.sampled_from(["x\n", "y\n", "x"]), max_size=3), st.none(), st.just("x\ny"))
CELL = st.builds(
    lambda kind, cell_id, source, parents: {
        "cell_type": kind, "metadata": {"canvas": {"id": cell_id, **({} if parents is None else {"parents": parents})}},
        "source": source},
    st.sampled_from(["code", "code", "code", "markdown"]), IDS, SOURCE, st.one_of(st.none(), st.lists(PARENT, max_size=3)))
PARAMETER = st.fixed_dictionaries({"name": st.sampled_from(["p", "q", "r"]), "type": st.sampled_from(["int", "str"]),
                                   "value": st.sampled_from([None, "1", "2"])})
DOCUMENT = st.builds(lambda cells, parameters: {"cells": cells, "metadata": {"canvas": (
    {} if parameters is None else {"parameters": parameters})}},
    st.lists(CELL, max_size=6), st.one_of(st.none(), st.lists(PARAMETER, max_size=4)))


@st.composite
def document_pairs(draw):
    prev, current = draw(DOCUMENT), draw(DOCUMENT)
    if prev["cells"] and draw(st.booleans()):  # cells shared by both versions, as objects
        current["cells"].insert(draw(st.integers(0, len(current["cells"]))), draw(st.sampled_from(prev["cells"])))
    return (prev, prev) if draw(st.integers(0, 9)) == 0 else (prev, current)


def code_cells(document):
    return {c["metadata"]["canvas"]["id"]: c for c in document["cells"] if c["cell_type"] == "code"}


@given(document_pairs())
@settings(max_examples=150, deadline=None)
def test_every_cell_and_parameter_appears_once_with_a_consistent_status(pair):
    prev, current = pair
    before = {id(c): [(k, id(v)) for k, v in c.items()] for d in pair for c in d["cells"]}
    old, new = code_cells(prev), code_cells(current)
    sources = {k: (common.Cell(c).source if k in new else None) for k, c in old.items()}
    sources = {k: (list(s), list(common.Cell(new[k]).source)) for k, s in sources.items() if s is not None}
    old_values = {p["name"]: p["value"] for p in prev["metadata"]["canvas"].get("parameters", [])}
    result = diff_dicts(prev, current)
    statuses = {c["id"]: c["diff_status"] for c in canvases(result)}
    assert len(result["cells"]) == len(statuses) == len(old.keys() | new.keys())
    for key, status in statuses.items():
        expected = ("removed" if key not in new else "added" if key not in old
                    else "modified" if sources[key][0] != sources[key][1] else "unchanged")
        assert status == expected
    entries = result["metadata"]["canvas"]["parameter"]
    new_values = {p["name"]: p for p in current["metadata"]["canvas"].get("parameters", [])}
    assert sorted(p["name"] for p in entries) == sorted(old_values.keys() | new_values.keys())
    for entry in entries:
        name = entry["name"]
        assert entry["diff_status"] == ("removed" if name not in new_values else "added" if name not in old_values
                                        else "modified" if old_values[name] != entry["value"] else "unchanged")
        assert entry is new_values.get(name, entry)
    assert {id(c): [(k, id(v)) for k, v in c.items()] for d in pair for c in d["cells"]} == before


def shape(*roots):
    """The values with every repeated container written as a reference to its first place, so that
    two runs compare equal only if they share the same objects in the same way."""
    seen, out, stack = {}, [], list(reversed(roots))
    while stack:
        value = stack.pop()
        if isinstance(value, (dict, list)):
            if id(value) in seen:
                out.append(("ref", seen[id(value)]))
                continue
            seen[id(value)] = len(seen)
            items = list(value.items()) if isinstance(value, dict) else list(enumerate(value))
            out.append((type(value).__name__, [k for k, _ in items]))
            stack.extend(v for _, v in reversed(items))
        else:
            out.append(value)
    return out


def run(pair):
    try:
        result = diff_dicts(*pair)
    except Exception as error:  # noqa: BLE001 - both ways must fail alike
        result = (type(error), str(error))
    return shape(result, *pair)


class SameCell(common.Cell):
    pass


@given(document_pairs(), st.booleans())
@settings(max_examples=150, deadline=None)
def test_the_direct_way_has_the_effects_of_the_members(pair, bad_value):
    if bad_value and pair[1]["metadata"]["canvas"].get("parameters"):
        pair[1]["metadata"]["canvas"]["parameters"][0]["value"] = 7
    direct, through_members = copy.deepcopy(pair), copy.deepcopy(pair)
    expected = run(direct)
    stock, nbdelta.Cell = nbdelta.Cell, SameCell
    try:
        assert run(through_members) == expected
    finally:
        nbdelta.Cell = stock


PROPERTIES = [
    (DiffCell, "status", "str", "The diff cell status", True),
    (DiffCell, "prev_source", "List[str]", "Previous source code", True),
    (DiffCell, "removed_parents", "List[Dict[str, str]]", "Previous parent ids", True),
    (DiffCell, "added_parents", "List[Dict[str, str]]", "Previous parent ids", True),
    (DiffParameter, "data", "Dict[str, str]", "Raw parameter data", False),
    (DiffParameter, "status", "str", "The parameter's diff status", True),
    (DiffParameter, "name", "str", "The parameter's name", False),
    (DiffParameter, "type", "str", "The parameter's type", False),
    (DiffParameter, "value", "str", "The parameter's value", False),
    (DiffParameter, "prev_type", "str", "The parameter's previous type before modification", True),
    (DiffParameter, "prev_value", "str", "The parameter's previous value before modification", True),
]


@pytest.mark.parametrize("cls, name, annotation, doc, settable", PROPERTIES)
def test_properties(cls, name, annotation, doc, settable):
    prop = vars(cls)[name]
    assert isinstance(prop, property) and prop.__doc__ == doc
    functions = [prop.fget] + ([prop.fset] if settable else [])
    assert prop.fset is None or settable
    for function in functions:
        assert (function.__qualname__, function.__module__) == (f"{cls.__name__}.{name}", nbdelta.__name__)
    assert str(inspect.signature(prop.fget)) == f"(self) -> '{annotation}'"
    if settable:
        assert prop.fset.__doc__ is None and prop.fset.__annotations__ == {"value": annotation, "return": "None"}
        assert str(inspect.signature(prop.fset)) == f"(self, value: '{annotation}') -> 'None'"


@pytest.mark.parametrize("function, qualname, signature, doc", [
    (diff_dicts, "diff_dicts", "(prev: 'Dict[str, Any]', current: 'Dict[str, Any]') -> 'Dict[str, Any]'",
     "Ipython Notebook Diff Driver main"),
    (_cell_modified, "_cell_modified", "(cell: 'DiffCell') -> 'bool'", None),
    (DiffCell.__init__, "DiffCell.__init__", "(self, cell: 'Dict[str, Any]')", None),
    (DiffParameter.__init__, "DiffParameter.__init__", "(self, data: 'Dict[str, str]')", None),
])
def test_functions(function, qualname, signature, doc):
    assert (function.__qualname__, function.__module__, function.__doc__) == (qualname, nbdelta.__name__, doc)
    assert str(inspect.signature(function)) == signature
    assert "return" not in function.__annotations__ or "->" in signature


@pytest.mark.parametrize("cls, base, doc, members", [
    (DiffCell, common.Cell, "Data structure to represent a cell that undergoes diff process.",
     ["status", "prev_source", "removed_parents", "added_parents"]),
    (DiffParameter, object, "Data structure to represent a parameter that undergoes diff process.",
     ["data", "status", "name", "type", "value", "prev_type", "prev_value"]),
])
def test_classes(cls, base, doc, members):
    assert cls.__bases__ == (base,) and (cls.__module__, cls.__qualname__, cls.__doc__) == (
        nbdelta.__name__, cls.__name__, doc)
    assert [k for k in vars(cls) if not k.startswith("__") or k == "__init__"] == [
        "UNCHANGED", "ADDED", "REMOVED", "MODIFIED", "__init__", *members]
    assert [cls.UNCHANGED, cls.ADDED, cls.REMOVED, cls.MODIFIED] == ["unchanged", "added", "removed", "modified"]


def test_module_namespace():
    assert [k for k in vars(nbdelta) if not k.startswith("__")] == [
        "difflib", "Any", "Dict", "List", "Cell", "DiffCell", "_cell_modified", "DiffParameter", "diff_dicts"]
    assert nbdelta.__doc__ is None and nbdelta.difflib is difflib and nbdelta.Cell is common.Cell
    assert (nbdelta.Any, nbdelta.Dict, nbdelta.List) == (typing.Any, typing.Dict, typing.List)


def run_python(script):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True,
                          check=True).stdout.strip()


LOAD = """
import importlib.util, sys, types
import vornik_git.drivers
spec = importlib.util.find_spec("vornik_git.drivers.nbdelta")
"""


def test_a_common_module_without_cell_stops_the_load():
    out = run_python(LOAD + """
sys.modules["vornik_git.drivers.common"] = types.ModuleType("vornik_git.drivers.common")
module = importlib.util.module_from_spec(spec)
try:
    spec.loader.exec_module(module)
except ImportError as error:
    print(error, [k for k in vars(module) if not k.startswith("__")])
""")
    assert out == "cannot import name Cell ['difflib', 'Any', 'Dict', 'List']"


def test_loaded_outside_its_package_the_relative_import_fails():
    out = run_python(LOAD + """
import importlib.machinery
loader = importlib.machinery.ExtensionFileLoader("nbdelta", spec.origin)
module = importlib.util.module_from_spec(importlib.util.spec_from_loader("nbdelta", loader))
try:
    loader.exec_module(module)
except ImportError as error:
    print(type(error).__name__, error)
""")
    assert out == "ImportError attempted relative import with no known parent package"


def test_a_cell_from_another_common_module_is_used_through_its_members():
    out = run_python(LOAD + """
fake = types.ModuleType("vornik_git.drivers.common")
exec('''class Cell:
    def __init__(self, cell):
        self._data = cell
    @property
    def data(self):
        return self._data
    @property
    def source(self):
        return [line.upper() for line in self._data["source"]]
    @source.setter
    def source(self, value):
        self._data["source"] = value
    @property
    def parents(self):
        return self._data["metadata"]["canvas"].get("parents", [])
    @parents.setter
    def parents(self, value):
        self._data["metadata"]["canvas"]["parents"] = value
''', fake.__dict__)
fake.__file__ = vornik_git.drivers.__file__.replace("__init__", "common")  # claiming the same file
sys.modules["vornik_git.drivers.common"] = fake
from vornik_git.drivers.nbdelta import diff_dicts
cell = {"cell_type": "code", "metadata": {"canvas": {"id": "a"}}, "source": ["x"]}
print(diff_dicts({"cells": [cell]}, {})["cells"][0]["metadata"]["canvas"]["prev_source"])
""")
    assert out == "['X']"


def test_a_second_initialisation_is_refused():
    spec = importlib.util.find_spec("vornik_git.drivers.nbdelta")
    with pytest.raises(ImportError, match="only once per process"):
        spec.loader.exec_module(importlib.util.module_from_spec(spec))
    assert diff_dicts({}, {})["cells"] == []


def fresh(text):
    return "".join([text, "!"])  # a str of its own, outside the interned ones


@pytest.mark.parametrize("cell_class", [common.Cell, SameCell])
def test_calls_leave_no_references_behind(monkeypatch, cell_class):
    monkeypatch.setattr(nbdelta, "Cell", cell_class)
    prev = notebook(code(fresh("a"), [fresh("x")], parents=[(fresh("p"), fresh("n"))]),
                    code(fresh("gone"), parents=[(fresh("q"), fresh("m"))]),
                    parameters=[param(fresh("p"), fresh("1")), param(fresh("r"))])
    current = notebook(code(prev["cells"][0]["metadata"]["canvas"]["id"], [fresh("y")]), code(fresh("new")),
                       parameters=[param(prev["metadata"]["canvas"]["parameters"][0]["name"], fresh("2"))])
    failing = notebook({"cell_type": "code", "metadata": {"canvas": {
        "id": prev["cells"][0]["metadata"]["canvas"]["id"], "parents": [{"id": fresh("p")}]}}})
    watched = [prev, current, failing, prev["cells"], current["cells"]]
    for document in (prev, current):
        for cell in document["cells"]:
            canvas = cell["metadata"]["canvas"]
            watched += [cell, cell["metadata"], canvas, cell["source"], canvas["id"]]
        watched += document["metadata"]["canvas"]["parameters"]

    def calls():
        diff_dicts(prev, current)
        with pytest.raises(KeyError):
            diff_dicts(prev, failing)

    calls(), calls()  # the marks of a first call are replaced, not added to, by later ones
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(50):
        calls()
    assert [sys.getrefcount(o) for o in watched] == before
