"""How the merge module looks to the host: namespace, signatures, annotations, docstrings."""

import importlib
import inspect
import logging

import pytest

from vornik_git.drivers import nbweave
from vornik_git.drivers.common import Cell

MODULE = "vornik_git.drivers.nbweave"


def test_namespace_in_load_order():
    bound = [name for name in vars(nbweave) if not name.startswith("__")]
    assert bound == ["json", "logging", "os", "tempfile", "uuid", "Any", "Dict", "List",
                     "Optional", "git", "jsondiff", "Cell", "_merge_source", "MergeCell",
                     "_cell_changed", "merge_files"]
    import git
    import jsondiff
    import typing

    assert nbweave.git is git and nbweave.jsondiff is jsondiff and nbweave.Cell is Cell
    assert nbweave.Optional is typing.Optional


def test_package_offers_merge_files():
    import vornik_git.drivers

    assert vornik_git.drivers.merge_files is nbweave.merge_files


@pytest.mark.parametrize("function, signature, qualname, doc, varnames", [
    (nbweave.merge_files,
     "(base_file_path: 'str', current_file_path: 'str', incoming_file_path: 'str', "
     "file_path: 'str') -> 'None'",
     "merge_files", "Ipython Notebook Merge Driver main",
     ("base_file_path", "current_file_path", "incoming_file_path", "file_path", "current_file",
      "current", "base_file", "base", "incoming_file", "incoming", "current_cells",
      "merged_cells", "base_cells", "incoming_cells", "cell_id", "comp_names",
      "incoming_comp_name", "g", "current_cell_diff", "incoming_cell_diff", "current_comp_name",
      "incoming_comment", "new_cell", "list_of_tuples", "offset", "pop_comp_name", "comp_name",
      "comp_id", "comp_ids", "new_parents", "current_parameters", "base_parameters",
      "incoming_parameters", "merged_parameters", "name", "merged", "fp")),
    (nbweave._merge_source,
     "(g: 'git.cmd.Git', current: 'List[str]', base: 'List[str]', incoming: 'List[str]', "
     "current_name: 'Optional[str]' = None, incoming_name: 'Optional[str]' = None) "
     "-> 'List[str]'",
     "_merge_source", None,
     ("g", "current", "base", "incoming", "current_name", "incoming_name", "tempdir",
      "current_path", "base_path", "incoming_path", "current_file", "base_file",
      "incoming_file", "fp", "lines", "line")),
    (nbweave._cell_changed, "(cell0: 'Cell', cell1: 'Cell') -> 'Dict[str, Any]'",
     "_cell_changed", None, ("cell0", "cell1", "parent", "cell_diff")),
    (nbweave.MergeCell.__init__, "(self, cell: 'Dict[str, Any]', file_type: 'str')",
     "MergeCell.__init__", None, None),
    (nbweave.MergeCell.add_conflict_mark, "(self) -> 'None'", "MergeCell.add_conflict_mark",
     "Change name adding '<<< ' when current cell.\nChange name adding '>>> ' when incoming cell.",
     None),
    (nbweave.MergeCell.file_type.fget, "(self) -> 'str'", "MergeCell.file_type",
     "The file type that contains the cell", None),
])
def test_functions(function, signature, qualname, doc, varnames):
    assert str(inspect.signature(function)) == signature
    assert function.__qualname__ == qualname
    assert function.__module__ == MODULE
    assert function.__doc__ == doc
    if varnames is not None:
        assert function.__code__.co_varnames == varnames
    assert all(isinstance(text, str) for text in function.__annotations__.values())


def test_merge_cell_class():
    cls = nbweave.MergeCell
    assert cls.__bases__ == (Cell,)
    assert cls.__module__ == MODULE and cls.__qualname__ == "MergeCell"
    assert cls.__doc__ == "Data structure to represent a cell that undergos merge process."
    members = [name for name in vars(cls) if not name.startswith("__") or name == "__init__"]
    assert members == ["BASE", "CURRENT", "INCOMING", "__init__", "file_type",
                       "add_conflict_mark"]
    assert (cls.BASE, cls.CURRENT, cls.INCOMING) == ("base", "current", "incoming")
    assert cls.file_type.__doc__ == "The file type that contains the cell"


@pytest.mark.parametrize("call, message", [
    (lambda: nbweave.merge_files("a", "b", b"c", "d"),
     "Argument 'incoming_file_path' has incorrect type (expected str, got bytes)"),
    (lambda: nbweave.merge_files(None, "b", "c", "d"),
     "Argument 'base_file_path' has incorrect type (expected str, got NoneType)"),
    (lambda: nbweave.merge_files("a", "b", "c"),
     "merge_files() missing 1 required positional argument: 'file_path'"),
    (lambda: nbweave.merge_files("a", "b", "c", "d", file_path="e"),
     "merge_files() got multiple values for argument 'file_path'"),
    (lambda: nbweave._merge_source(None, [], (), []),
     "Argument 'base' has incorrect type (expected list, got tuple)"),
    (lambda: nbweave._merge_source(None, [], [], [], "a", 5),
     "Argument 'incoming_name' has incorrect type (expected str, got int)"),
    (lambda: nbweave._merge_source(None, [], [], [], None, None, None),
     "_merge_source() takes from 4 to 6 positional arguments but 7 were given"),
    (lambda: nbweave.MergeCell([], "base"),
     "Argument 'cell' has incorrect type (expected dict, got list)"),
    (lambda: nbweave.MergeCell({}, file_type=None),
     "Argument 'file_type' has incorrect type (expected str, got NoneType)"),
])
def test_arguments_are_checked_before_anything_runs(call, message, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(TypeError) as error:
        call()
    assert str(error.value) == message


def test_str_subclass_is_refused():
    class Path(str):
        pass

    with pytest.raises(TypeError, match="expected str, got Path"):
        nbweave.merge_files(Path("a"), "b", "c", "d")


def test_second_initialisation_is_refused():
    spec = importlib.util.find_spec(MODULE)
    with pytest.raises(ImportError, match="once per process"):
        importlib.util.module_from_spec(spec).__loader__.exec_module(
            importlib.util.module_from_spec(spec))


CELL = {"metadata": {"canvas": {"id": "c", "name": "step"}}}


@pytest.mark.parametrize("tag", ["base", "current", "incoming"])
def test_file_type_reads_back(tag):
    cell = nbweave.MergeCell(dict(CELL), tag)
    assert cell.file_type == tag and cell._file_type == tag and isinstance(cell, Cell)
    with pytest.raises(AttributeError):
        cell.file_type = "base"


@pytest.mark.parametrize("tag", ["CURRENT", "", "head"])
def test_unknown_version_tag_is_an_assertion(tag):
    with pytest.raises(AssertionError) as error:
        nbweave.MergeCell(dict(CELL), tag)
    assert error.value.args == ()


def test_stored_tag_other_than_the_two_reads_as_base():
    cell = nbweave.MergeCell(dict(CELL), "current")
    cell._file_type = "something"
    assert cell.file_type == "base"
    cell._file_type = 7
    assert cell.file_type == "base"


@pytest.mark.parametrize("tag, name, marked", [
    ("current", "step", "<<< step"),
    ("current", "<<< step", "<<< step"),
    ("current", ">>> step", "<<< >>> step"),
    ("current", "<<<step", "<<< <<<step"),
    ("incoming", "step", ">>> step"),
    ("incoming", ">>> step", ">>> step"),
    ("base", "step", "step"),
    ("current", "", ""),
    ("incoming", None, None),
])
def test_add_conflict_mark(tag, name, marked):
    data = {"metadata": {"canvas": {"id": "c", "name": name}}}
    cell = nbweave.MergeCell(data, tag)
    assert cell.add_conflict_mark() is None
    cell.add_conflict_mark()
    assert data["metadata"]["canvas"]["name"] == marked


def test_subclassed_cell_members_are_used(monkeypatch):
    seen = []

    class Loud(nbweave.MergeCell):
        @property
        def name(self):
            seen.append("read")
            return "n"

        @name.setter
        def name(self, value):
            seen.append(value)

    Loud({"metadata": {}}, "current").add_conflict_mark()
    assert seen[-1] == "<<< n"
