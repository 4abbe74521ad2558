"""The source merge of one cell through `git merge-file`."""

import os

import git
import pytest

from vornik_git.drivers import nbweave


@pytest.fixture
def tmpdir_env(tmp_path, monkeypatch):
    """Temporary directories of the merge go here, so that the tests can see them go."""
    import tempfile

    directory = tmp_path / "tmp"
    directory.mkdir()
    monkeypatch.setenv("TMPDIR", str(directory))
    monkeypatch.setattr(tempfile, "tempdir", None)
    return directory


BASE = ["a = 1\n", "b = 2\n", "c = 3\n"]


@pytest.mark.parametrize("current, incoming, expected", [
    (BASE, ["a = 1\n", "b = 2\n", "c = 30\n"], ["a = 1\n", "b = 2\n", "c = 30\n"]),
    (["a = 10\n", "b = 2\n", "c = 3\n"], ["a = 1\n", "b = 2\n", "c = 30\n"],
     ["a = 10\n", "b = 2\n", "c = 30\n"]),
    (["a = 1\n", "b = 5\n", "c = 3\n"], ["a = 1\n", "b = 5\n", "c = 3\n"],
     ["a = 1\n", "b = 5\n", "c = 3\n"]),
    (BASE, ["a = 1\n", "b = 2\n", "c = 3"], ["a = 1\n", "b = 2\n", "c = 3"]),
    (["é = 1\n", "b = 2\n", "c = 3\n"], ["a = 1\n", "b = 2\n", "c = '🚀'\n"],
     ["é = 1\n", "b = 2\n", "c = '🚀'\n"]),
])
def test_clean_merges(current, incoming, expected, tmpdir_env):
    arguments = (list(current), list(BASE), list(incoming))
    result = nbweave._merge_source(git.cmd.Git(), *arguments, "L1", "L2")
    assert result == expected
    assert arguments == (current, BASE, incoming)  # inputs untouched
    assert os.listdir(tmpdir_env) == []


def test_empty_sources_give_an_empty_list(tmpdir_env):
    assert nbweave._merge_source(git.cmd.Git(), [], [], []) == []


def test_conflict_blocks_carry_the_labels(tmpdir_env):
    result = nbweave._merge_source(git.cmd.Git(), ["a = 1\n", "b = 20\n", "c = 3\n"], BASE,
                                   ["a = 1\n", "b = 21\n", "c = 3\n"],
                                   current_name="nb.ipynb-current",
                                   incoming_name="nb.ipynb-incoming")
    assert result[0] == "a = 1\n" and result[-1] == "c = 3\n"
    assert result[1:-1] == ["<<<<<<< nb.ipynb-current\n", "b = 20\n", "=======\n", "b = 21\n",
                            ">>>>>>> nb.ipynb-incoming\n"]
    assert os.listdir(tmpdir_env) == []


@pytest.mark.parametrize("current_name", [None, ""])
def test_without_a_label_the_temporary_path_stays(current_name, tmpdir_env):
    result = nbweave._merge_source(git.cmd.Git(), ["x = 1\n"], ["x = 0\n"], ["x = 2\n"],
                                   current_name, "theirs")
    opening = result[0]
    assert opening.startswith("<<<<<<< " + str(tmpdir_env) + os.sep + "tmp")
    path = opening[len("<<<<<<< "):].rstrip("\n")
    assert os.path.basename(path) == "current" and not os.path.exists(path)
    assert result[-1] == ">>>>>>> theirs\n"


def test_labels_replace_the_paths_on_every_line(tmpdir_env):
    class Echo:
        """Writes the paths it was given into the merged file, as text."""

        def merge_file(self, current, base, incoming):
            with open(current, "w", encoding="utf-8") as out:
                out.write(f"{current} {base} {incoming}\r\nplain\rlast {current}")

    lines = nbweave._merge_source(Echo(), [], [], [], "C", "I")
    # line ends as git wrote them: split after "\n" only
    assert len(lines) == 2 and lines[0].endswith("\r\n") and lines[1] == "plain\rlast C"
    current, base, incoming = lines[0].split()
    assert (current, incoming) == ("C", "I") and base.endswith(os.sep + "base")


def test_files_hold_the_joined_lines_as_utf8(tmpdir_env):
    seen = {}

    class Inspect:
        def merge_file(self, *paths):
            seen["paths"] = paths
            seen["bytes"] = [open(p, "rb").read() for p in paths]
            seen["mode"] = os.stat(os.path.dirname(paths[0])).st_mode & 0o777

    nbweave._merge_source(Inspect(), ["é\n", "x"], ["b"], ["🚀\n"])
    assert [os.path.basename(p) for p in seen["paths"]] == ["current", "base", "incoming"]
    assert all(os.path.isabs(p) for p in seen["paths"])
    assert seen["bytes"] == ["é\nx".encode(), b"b", "🚀\n".encode()]
    assert seen["mode"] == 0o700


class Failing:
    """Leaves a mark in the current file, then fails with the given exit status."""

    def __init__(self, status):
        self.status = status

    def merge_file(self, current, base, incoming):
        with open(current, "a", encoding="utf-8") as out:
            out.write("half\n")
        raise git.GitCommandError(["git", "merge-file"], self.status)


@pytest.mark.parametrize("status", [1, 3, 127])
def test_conflict_counts_read_the_current_file_back(status, tmpdir_env):
    assert nbweave._merge_source(Failing(status), ["mine\n"], [], []) == ["mine\n", "half\n"]
    assert os.listdir(tmpdir_env) == []


SIDES = {"current": ["mine\n", "end"], "base": ["old\n"], "incoming": ["theirs\r\n"]}
BLOCK = ["<<<<<<< C\n", "mine\n", "end\n", "=======\n", "theirs\r\n", ">>>>>>> I\n"]


@pytest.mark.parametrize("status", [255, 128, 0, -9, None, "1", 1.0, 2**70])
@pytest.mark.parametrize("current, base, incoming, expected", [
    ("current", "base", "incoming", BLOCK),
    ("current", "base", "current", ["mine\n", "end"]),
    ("current", "incoming", "incoming", ["mine\n", "end"]),
    ("base", "base", "incoming", ["theirs\r\n"]),
    ("current", "base", None, ["<<<<<<< C\n", "mine\n", "end\n", "=======\n", ">>>>>>> I\n"]),
])
def test_a_failed_git_merges_whole_texts(status, current, base, incoming, expected, tmpdir_env):
    sides = [SIDES[side] if side else [] for side in (current, base, incoming)]
    assert nbweave._merge_source(Failing(status), *sides, "C", "I") == expected
    assert os.listdir(tmpdir_env) == []


@pytest.mark.parametrize("names, opening, closing", [
    ((None, ""), "<<<<<<< current\n", ">>>>>>> incoming\n"),
    (("two\nlines", "I"), "<<<<<<< two\nlines\n", ">>>>>>> I\n"),  # as git's blocks get it
])
def test_whole_text_conflict_labels(names, opening, closing, tmpdir_env):
    result = nbweave._merge_source(Failing(255), ["a\n"], ["b\n"], ["c"], *names)
    assert result == [opening, "a\n", "=======\n", "c\n", closing]


@pytest.mark.parametrize("error", [OSError("no git"), KeyboardInterrupt(),
                                   git.GitCommandNotFound("git", "missing")])
def test_other_errors_propagate_and_the_directory_goes(error, tmpdir_env):
    class Failing:
        def merge_file(self, *paths):
            raise error

    with pytest.raises(type(error)) as raised:
        nbweave._merge_source(Failing(), ["a\n"], ["b\n"], ["c\n"])
    assert raised.value is error
    assert os.listdir(tmpdir_env) == []


def test_command_error_class_is_looked_up_when_needed(tmpdir_env, monkeypatch):
    class Custom(Exception):
        pass

    class Failing:
        def merge_file(self, *paths):
            raise Custom()

    monkeypatch.setattr(nbweave.git, "GitCommandError", Custom)
    assert nbweave._merge_source(Failing(), ["a\n"], [], []) == ["a\n"]


@pytest.mark.parametrize("current, error", [
    (["ok\n", 5], TypeError),
    (["\ud800\n"], UnicodeEncodeError),
])
def test_lines_that_cannot_be_written(current, error, tmpdir_env):
    with pytest.raises(error):
        nbweave._merge_source(git.cmd.Git(), current, [], [])
    assert os.listdir(tmpdir_env) == []


def test_unreadable_merge_result(tmpdir_env):
    class Garbage:
        def merge_file(self, current, base, incoming):
            with open(current, "wb") as out:
                out.write(b"ok\n\xff\xfe\n")

    with pytest.raises(UnicodeDecodeError):
        nbweave._merge_source(Garbage(), [], [], [])
    assert os.listdir(tmpdir_env) == []


def test_a_missing_temporary_root_raises(tmp_path, monkeypatch):
    import tempfile

    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path / "absent"))
    with pytest.raises(FileNotFoundError) as error:
        nbweave._merge_source(git.cmd.Git(), [], [], [])
    assert error.value.filename.startswith(str(tmp_path / "absent" / "tmp"))
