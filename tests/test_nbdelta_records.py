"""DiffCell, DiffParameter and _cell_modified: views that read and write the caller's own
mappings, with exact-type arguments and results and a status guarded by an assertion."""

import copy
import difflib
import os
import subprocess
import sys
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from vornik_git.drivers import nbdelta
from vornik_git.drivers.nbdelta import DiffCell, DiffParameter, _cell_modified


def cell_data(**canvas):
    return {"cell_type": "code", "metadata": {"canvas": {"id": "c", **canvas}}, "source": ["x\n"]}


def parameter_data(**extra):
    return {"name": "x", "type": "int", "value": "1", **extra}


class ListSub(list):
    pass


class StrSub(str):
    pass


def test_cell_construction_resets_the_status_in_the_cell_itself():
    data = cell_data(diff_status="added", prev_source=["old\n"])
    record = DiffCell(data)
    assert record.status == "unchanged"
    assert data["metadata"]["canvas"] == {"id": "c", "diff_status": "unchanged", "prev_source": ["old\n"]}
    assert record._data is data and record.data is data


@pytest.mark.parametrize("member", ["prev_source", "removed_parents", "added_parents"])
def test_absent_lists_read_fresh_and_are_not_stored(member):
    data = cell_data()
    record = DiffCell(data)
    first = getattr(record, member)
    first.append("x")
    assert getattr(record, member) == [] and getattr(record, member) is not first
    assert member not in data["metadata"]["canvas"]
    stored = ["kept"]
    setattr(record, member, stored)
    assert getattr(record, member) is stored and data["metadata"]["canvas"][member] is stored


SETTERS = [
    (lambda: DiffCell(cell_data()), "status", "str"),
    (lambda: DiffCell(cell_data()), "prev_source", "list"),
    (lambda: DiffCell(cell_data()), "removed_parents", "list"),
    (lambda: DiffCell(cell_data()), "added_parents", "list"),
    (lambda: DiffParameter(parameter_data()), "status", "str"),
    (lambda: DiffParameter(parameter_data()), "prev_type", "str"),
    (lambda: DiffParameter(parameter_data()), "prev_value", "str"),
]


@pytest.mark.parametrize("make, member, expected", SETTERS)
@pytest.mark.parametrize("value", [None, (), ListSub(), StrSub("added"), 1, {}])
def test_setters_refuse_anything_but_the_exact_type(make, member, expected, value):
    record = make()
    before = copy.deepcopy(record._data)
    with pytest.raises(TypeError) as error:
        setattr(record, member, value)
    assert str(error.value) == (
        f"Argument 'value' has incorrect type (expected {expected}, got {type(value).__name__})")
    assert record._data == before


@pytest.mark.parametrize("make", [lambda: DiffCell(cell_data()), lambda: DiffParameter(parameter_data())])
@pytest.mark.parametrize("value", ["Added", "", "modified ", "MODIFIED", "changed"])
def test_status_outside_the_four_values_fails_without_a_message(make, value):
    record = make()
    before = copy.deepcopy(record._data)
    with pytest.raises(AssertionError) as error:
        record.status = value
    assert error.value.args == ()
    assert record._data == before


@pytest.mark.parametrize("cls", [DiffCell, DiffParameter])
@pytest.mark.parametrize("value", ["unchanged", "added", "removed", "modified"])
def test_the_four_statuses_are_stored(cls, value):
    data = cell_data() if cls is DiffCell else parameter_data()
    record = cls(data)
    record.status = "".join(value)  # an equal text, not the class constant itself
    stored = data["metadata"]["canvas"] if cls is DiffCell else data
    assert stored["diff_status"] == value and record.status == value


def test_without_assertions_any_text_is_stored_but_types_are_still_checked():
    script = (
        "from vornik_git.drivers.nbdelta import DiffCell, DiffParameter\n"
        "cell = {'metadata': {'canvas': {}}}\n"
        "record = DiffCell(cell)\n"
        "record.status = 'Added'\n"
        "parameter = {'name': 'x'}\n"
        "DiffParameter(parameter).status = 'anything'\n"
        "try:\n"
        "    record.status = None\n"
        "except TypeError as error:\n"
        "    print(cell['metadata']['canvas']['diff_status'], parameter['diff_status'], error)\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    result = subprocess.run([sys.executable, "-O", "-c", script], env=env, capture_output=True,
                            text=True, check=True)
    assert result.stdout.split(" ", 2)[:2] == ["Added", "anything"]
    assert "expected str, got NoneType" in result.stdout


@pytest.mark.parametrize("member, stored, message", [
    ("status", 1, "Expected str, got int"),
    ("status", {}, "Expected str, got dict"),
    ("prev_source", "a\nb", "Expected list, got str"),
    ("added_parents", ("p",), "Expected list, got tuple"),
    ("removed_parents", ListSub(), "Expected list, got ListSub"),
])
def test_cell_getters_refuse_stored_values_of_another_type(member, stored, message):
    data = cell_data()
    record = DiffCell(data)
    data["metadata"]["canvas"]["diff_status" if member == "status" else member] = stored
    with pytest.raises(TypeError, match=f"^{message}$"):
        getattr(record, member)
    data["metadata"]["canvas"]["diff_status" if member == "status" else member] = None
    assert getattr(record, member) is None


@pytest.mark.parametrize("data, key", [({}, "metadata"), ({"metadata": {}}, "canvas")])
@pytest.mark.parametrize("member", ["status", "prev_source", "removed_parents", "added_parents"])
def test_a_cell_without_metadata_or_canvas_fails_with_the_missing_key(data, key, member):
    with pytest.raises(KeyError) as error:
        DiffCell(data)
    assert error.value.args == (key,)
    record = DiffCell(cell_data())
    record._data = data
    with pytest.raises(KeyError) as error:
        getattr(record, member)
    assert error.value.args == (key,)


def test_parameter_marks_its_own_mapping_and_falls_back_to_the_current_values():
    data = parameter_data()
    record = DiffParameter(data)
    assert record.data is data and data["diff_status"] == "unchanged"
    assert (record.name, record.type, record.value) == ("x", "int", "1")
    assert (record.prev_type, record.prev_value) == ("int", "1")
    record.prev_type, record.prev_value, record.status = "str", "0", "modified"
    again = DiffParameter(data)  # a second view of the same mapping resets only the status
    assert (again.prev_type, again.prev_value, again.status) == ("str", "0", "unchanged")
    assert list(data) == ["name", "type", "value", "diff_status", "prev_type", "prev_value"]
    for member in ("data", "name", "type", "value"):
        with pytest.raises(AttributeError):
            setattr(record, member, "y")


@pytest.mark.parametrize("data, member, error, text", [
    ({"value": 1}, "value", TypeError, "Expected str, got int"),
    ({"value": 1, "prev_value": "0"}, "prev_value", TypeError, "Expected str, got int"),
    ({"value": "v", "prev_value": 2}, "prev_value", TypeError, "Expected str, got int"),
    ({"prev_type": "int"}, "prev_type", KeyError, "'type'"),
    ({"type": "int", "prev_value": "0"}, "prev_value", KeyError, "'value'"),
    ({}, "name", KeyError, "'name'"),
])
def test_parameter_reads_fail_like_their_fields(data, member, error, text):
    record = DiffParameter(data)  # construction looks at none of these values
    with pytest.raises(error) as raised:
        getattr(record, member)
    assert str(raised.value) == text


def test_parameter_constructor_refuses_anything_but_a_dict():
    with pytest.raises(TypeError, match=r"^Argument 'data' has incorrect type \(expected dict, got list\)$"):
        DiffParameter([])


class Lines:
    """_cell_modified reads nothing but these two members."""

    def __init__(self, prev_source, source):
        self.prev_source, self.source = prev_source, source


@pytest.mark.parametrize("canvas, source, expected", [
    ({"prev_source": ["a\n"]}, ["a\n"], False),
    ({"prev_source": ["a\n"]}, ["a"], True),
    ({"prev_source": []}, [], False),
    ({}, ["a\n"], True),
    ({}, None, False),
    ({"prev_source": ["a\n", "b"]}, "a\nb", False),  # Cell reads a one-text source as its lines
])
def test_cell_modified_on_records(canvas, source, expected):
    data = cell_data(**canvas)
    data["source"] = source
    assert _cell_modified(DiffCell(data)) is expected


def test_identical_and_equal_line_lists_are_unmodified():
    lines = ["a\n", "b\n"]
    assert _cell_modified(Lines(lines, lines)) is False
    assert _cell_modified(Lines(lines, ["".join(["a", "\n"]), "b\n"])) is False


TEXT_LINES = st.lists(st.sampled_from(["a\n", "a", "b\n", "", "\n", "é\n", "a\r\n", "🚀"]), max_size=7)


@given(TEXT_LINES, TEXT_LINES)
@settings(max_examples=300, deadline=None)
def test_agrees_with_the_hosts_unified_diff(previous, current):
    assert _cell_modified(Lines(previous, current)) is bool(list(difflib.unified_diff(previous, current)))


def outcome(function):
    try:
        return "value", function()
    except Exception as error:  # noqa: BLE001 - the outcome itself is compared
        return type(error), str(error)


@pytest.mark.parametrize("previous, current", [
    ([1], ["a"]),
    (["a"], [b"a"]),
    (("a\n",), ["a\n"]),
    (("a\n",), ("b\n",)),
    (["a", 1], ["a", 1]),
    (["a", 1], ["a", 2]),
    (None, ["a"]),
    (["a", ["x"]], ["a", ["x"]]),
    ([StrSub("a")], ["a"]),
    (["a", 1.0], ["a", 1]),
])
def test_unusual_lines_give_what_the_hosts_diff_gives(previous, current):
    expected = outcome(lambda: bool(list(difflib.unified_diff(previous, current))))
    assert outcome(lambda: _cell_modified(Lines(previous, current))) == expected


def test_the_diff_module_is_looked_up_when_called(monkeypatch):
    seen = []

    def unified_diff(a, b):
        seen.append((a, b))
        return iter(["changed"])

    monkeypatch.setattr(nbdelta, "difflib", types.SimpleNamespace(unified_diff=unified_diff))
    assert _cell_modified(Lines(("a",), ("a",))) is True
    assert seen == [(("a",), ("a",))]
