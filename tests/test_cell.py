import pytest

from vornik_git.drivers.common import Cell


def make(canvas=None, **cell):
    data = {"metadata": {"canvas": {"id": "c1"} if canvas is None else canvas}}
    data.update(cell)
    return data


def test_wrapper_keeps_the_very_dict():
    data = make()
    cell = Cell(data)
    assert cell.data is data and cell._data is data


@pytest.mark.parametrize("stored, expected", [(None, ""), ("", ""), ("load", "load")])
def test_name(stored, expected):
    canvas = {"id": "c1"} if stored is None else {"id": "c1", "name": stored}
    assert Cell(make(canvas)).name == expected
    assert Cell(make({"id": "c1", "name": None})).name == ""


def test_assignments_write_through_to_the_cell():
    data = make({"id": "c1"})
    cell = Cell(data)
    cell.name = "n"
    cell.cell_id = "c2"
    cell.link_id = "l2"
    cell.parents = [{"id": "p"}]
    cell.source = ["a\n"]
    assert data == {
        "metadata": {"canvas": {"id": "c2", "name": "n", "link_id": "l2", "parents": [{"id": "p"}]}},
        "source": ["a\n"],
    }
    assert Cell(data).link_id == "l2"


@pytest.mark.parametrize("member", ["parents", "comments"])
@pytest.mark.parametrize("stored", ["absent", None])
def test_absent_lists_read_fresh_and_unstored(member, stored):
    canvas = {"id": "c1"} if stored == "absent" else {"id": "c1", member: None}
    data = make(canvas)
    value = getattr(Cell(data), member)
    assert value == []
    value.append("x")
    assert getattr(Cell(data), member) == []
    assert data["metadata"]["canvas"].get(member) is None


def test_parents_and_comments_are_live():
    data = make({"id": "c1", "parents": [{"id": "p", "name": "n"}], "comments": ["a"]})
    cell = Cell(data)
    cell.parents[0].pop("name")
    assert data["metadata"]["canvas"]["parents"] == [{"id": "p"}]
    assert "a" in cell.comments


@pytest.mark.parametrize("stored", ["absent", None, ["old"]])
def test_add_comment(stored):
    canvas = {"id": "c1"}
    if stored != "absent":
        canvas["comments"] = list(stored) if stored else stored
    cell = Cell(make(canvas))
    cell.add_comment({"text": "new"})
    assert canvas["comments"][-1] == {"text": "new"}
    assert len(canvas["comments"]) == (2 if stored == ["old"] else 1)


@pytest.mark.parametrize(
    "stored, expected",
    [
        ("absent", []),
        (None, []),
        (["a\n", "b"], ["a\n", "b"]),
        ("a\nb", ["a\n", "b"]),
        ("a\nb\n", ["a\n", "b\n"]),
        ("", []),
        ("x\r\ny", ["x\r\n", "y"]),
    ],
)
def test_source(stored, expected):
    data = make()
    if stored != "absent":
        data["source"] = stored
    assert Cell(data).source == expected


def test_missing_canvas_and_id_raise_key_errors():
    with pytest.raises(KeyError, match="canvas"):
        Cell({"metadata": {}}).name
    with pytest.raises(KeyError, match="id"):
        Cell(make({})).cell_id
