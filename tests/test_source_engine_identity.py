"""The in-process source merge against `git merge-file` run through `_merge_source`: generated
triples, in every place a merge can run (inside a repository or not, each way of setting the
conflict style), must give the very lines git gives.

Most triples are compared cell by cell (`vornik_git._engine.merge_sources`, the engine a merge
uses, against `_merge_source` with a fresh `git.cmd.Git`); a share runs through whole
`merge_files` calls, once as they come and once with `_merge_source` wrapped, which keeps its
behaviour and keeps the engine out. Only the random part of the temporary base file's name, in
the diff3 and zdiff3 conflict labels, may differ: it is random in both ways.

VORNIK_ENGINE_TRIPLES sets how many triples the cell-by-cell comparison draws (default 3,000);
whole merges take a twentieth as many more. VORNIK_IDENTITY_GIT names the git program to compare
with (default: `git` on PATH); GitPython runs it, and the engine, asked to stand in for any
release, learns its conflict style from it. Whole merges compare only a release the merge module
admits.
"""

import copy
import json
import math
import os
import tempfile
import zlib

import git
import pytest

import source_triples
from notebooks import make_cell, make_notebook
from vornik_git import _engine
from vornik_git.drivers import nbweave

TRIPLES = int(os.environ.get("VORNIK_ENGINE_TRIPLES", "3000"))
IDENTITY_GIT = os.environ.get("VORNIK_IDENTITY_GIT")
ANY_GIT = IDENTITY_GIT is not None
STYLES = source_triples.styles(source_triples.git_release(IDENTITY_GIT or "git"))
MERGING_PLACES = [place for place, style in STYLES.items() if style is not None]
REFUSING_PLACES = [place for place, style in STYLES.items() if style is None]
CURRENT, INCOMING = "nb.ipynb-current", "nb.ipynb-incoming"

pytestmark = pytest.mark.skipif(_engine.libgit2 is None, reason="built without libgit2")


@pytest.fixture(autouse=True)
def git_compared(monkeypatch):
    if IDENTITY_GIT:
        monkeypatch.setattr(git.cmd.Git, "GIT_PYTHON_GIT_EXECUTABLE", IDENTITY_GIT)


@pytest.fixture
def place_root(tmp_path, monkeypatch):
    """A root for the place of the merge, and a temporary directory of its own."""
    temporary = tmp_path / "tmp"
    temporary.mkdir()
    monkeypatch.setenv("TMPDIR", str(temporary))
    monkeypatch.setattr(tempfile, "tempdir", None)
    root = tmp_path / "place"
    root.mkdir()
    return root


def engine_style_or_skip(expected, any_git=ANY_GIT):
    style = _engine.conflict_style(any_git=any_git)
    if style is None and expected is not None:
        if ANY_GIT and not any_git:
            pytest.skip("the merge module keeps this git release on the process path")
        if not os.environ.get("VORNIK_REQUIRE_ENGINE"):
            pytest.skip("the engine declines on this machine (git release or library version)")
    return style


def through_git(sides):
    try:
        return nbweave._merge_source(git.cmd.Git(), *copy.deepcopy(sides), CURRENT, INCOMING)
    except Exception as error:  # noqa: BLE001 - the failure itself is what is compared
        return type(error)


@pytest.mark.parametrize("part", range(2))
@pytest.mark.parametrize("place", MERGING_PLACES)
def test_cells_merge_as_git_merges_them(place, part, place_root, monkeypatch):
    source_triples.enter(place, place_root, monkeypatch)
    expected_style = STYLES[place]
    assert engine_style_or_skip(expected_style) == expected_style
    count = math.ceil(TRIPLES / (2 * len(MERGING_PLACES)))
    sides = source_triples.triples(seed=zlib.crc32(f"{place}/{part}".encode()), count=count)
    style, results = _engine.merge_sources(sides, CURRENT, INCOMING, any_git=ANY_GIT)
    assert style == expected_style

    differences, wrong_declines = [], []
    for triple, result in zip(sides, results):
        if (result is None) != source_triples.git_refuses(triple):
            wrong_declines.append(triple)
            continue
        if result is None:
            continue  # such a cell takes `_merge_source` itself
        lines, conflicted = result
        expected = through_git(triple)
        if not isinstance(expected, list) or source_triples.normalised(lines) != \
                source_triples.normalised(expected):
            differences.append((triple, lines, expected))
        elif conflicted != any(line.startswith("<<<<<<< " + CURRENT) for line in expected):
            differences.append((triple, "conflicted" if conflicted else "clean", expected))
    print(f"{place}: {count} triples in style {style}, {len(differences)} differences, "
          f"{sum(r is None for r in results)} left to git")
    assert not wrong_declines, wrong_declines[:3]
    assert not differences, differences[:3]


@pytest.mark.parametrize("place", REFUSING_PLACES)
def test_where_git_refuses_every_style_no_cell_is_merged(place, place_root, monkeypatch):
    source_triples.enter(place, place_root, monkeypatch)
    assert _engine.conflict_style(any_git=True) is None
    assert _engine.merge_sources([(["a\n"], ["b\n"], ["c\n"])], CURRENT, INCOMING,
                                 any_git=True) == (None, None)
    # git fails before merging: both sides are kept whole, line ends as they were
    assert through_git((["a\r\n", "b"], ["c\n"], ["d\n"])) == [
        f"<<<<<<< {CURRENT}\n", "a\r\n", "b\n", "=======\n", "d\n", f">>>>>>> {INCOMING}\n"]


def notebooks(sides):
    documents = []
    for version in range(3):
        cells = [make_cell(f"c{index}", source=triple[(1, 0, 2)[version]])
                 for index, triple in enumerate(sides)]
        documents.append(make_notebook(cells))
    return documents  # base, current, incoming


def keep_engine_out(monkeypatch, calls=None):
    """`_merge_source` replaced by a wrapper that calls it: the same behaviour, through git."""
    original = nbweave._merge_source

    def wrapped(*args, **kwargs):
        if calls is not None:
            calls.append(args[1:4])
        return original(*args, **kwargs)

    monkeypatch.setattr(nbweave, "_merge_source", wrapped)


def merged_or_error(merge, documents, file_path):
    try:
        merged = merge(*copy.deepcopy(documents), file_path=file_path)
    except Exception as error:  # noqa: BLE001 - the failure itself is what is compared
        return type(error)
    for cell in merged["cells"]:
        cell["source"] = source_triples.normalised(cell["source"])
    return merged


@pytest.mark.parametrize("file_path", ["nb.ipynb", "dir/a b é.ipynb", "line\nend\r.ipynb", ""])
@pytest.mark.parametrize("place", ["outside a repository", "repository, -c diff3",
                                   "repository, GIT_CONFIG_COUNT zdiff3",
                                   "GIT_DIR of a repository with diff3"])
def test_whole_merges_write_what_git_makes_them_write(place, file_path, place_root, merge,
                                                      monkeypatch):
    source_triples.enter(place, place_root, monkeypatch)
    engine_style_or_skip(STYLES[place], any_git=False)
    count = max(10, math.ceil(TRIPLES / 20 / 16))
    sides = [s for s in source_triples.triples(seed=zlib.crc32(f"{place}/{file_path}".encode()), count=count)
             if not any("\ud800" in line for side in s for line in side)]
    documents = notebooks(sides)

    with_engine = merged_or_error(merge, documents, file_path)
    calls = []
    keep_engine_out(monkeypatch, calls)
    through_processes = merged_or_error(merge, documents, file_path)
    assert calls, "no cell needed a source merge"
    assert with_engine == through_processes


@pytest.mark.parametrize("side", ["current", "base", "incoming"])
@pytest.mark.parametrize("first_line, outcome", [
    ("x\x00y\n", "kept"),
    ("p" * 7999 + "\x00\n", "kept"),  # the last byte git looks at
    ("p" * 8000 + "\x00\n", "merged"),  # the first one it does not
    ("lone \ud800 surrogate\n", UnicodeEncodeError),
])
def test_sides_git_cannot_take(side, first_line, outcome, place_root, merge, monkeypatch):
    source_triples.enter("repository, -c diff3", place_root, monkeypatch)
    engine_style_or_skip("diff3", any_git=False)
    sides = {"current": ["a\r\n", "b\n"], "base": ["a\n"], "incoming": ["a\n", "c\n"]}
    sides[side] = [first_line] + sides[side]
    documents = notebooks([(sides["current"], sides["base"], sides["incoming"])])
    with_engine = merged_or_error(merge, documents, "nb.ipynb")
    keep_engine_out(monkeypatch)
    assert merged_or_error(merge, documents, "nb.ipynb") == with_engine
    if outcome == "kept":  # git fails; both sides are kept whole
        assert with_engine["cells"][0]["source"] == [
            "<<<<<<< nb.ipynb-current\n", *sides["current"], "=======\n", *sides["incoming"],
            ">>>>>>> nb.ipynb-incoming\n"]
    elif outcome == "merged":
        assert "c\n" in with_engine["cells"][0]["source"]
    else:
        assert with_engine is outcome
