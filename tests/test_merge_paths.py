"""merge_files works on the cell objects themselves while every collaborator is the one made at
load, and through MergeCell and the module's functions once any is replaced. Both ways must
give the same bytes, the same debug records and the same draws of uuid4, whatever the triple."""

import copy
import json
import logging
import os
import pathlib
import subprocess
import sys

import git
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from notebooks import Merger, make_cell, make_notebook
from test_merge_properties import triples
from vornik_git.drivers import common, nbweave

CORPUS = pathlib.Path(__file__).resolve().parents[2] / "shared" / "corpus" / "nbdime-notebooks"


def wrapped(function):
    return lambda *args, **kwargs: function(*args, **kwargs)


# Equivalent stand-ins for the collaborators. Those of the records (the first four) send the
# merge the member way; the others are looked up and called at each use.
REPLACEMENTS = {
    "_cell_changed": lambda: (nbweave, "_cell_changed", wrapped(nbweave._cell_changed)),
    "MergeCell": lambda: (nbweave, "MergeCell", type("MergeCell", (nbweave.MergeCell,), {})),
    "Cell.name": lambda: (common.Cell, "name", property(common.Cell.name.fget,
                                                        common.Cell.name.fset)),
    "MergeCell.add_conflict_mark": lambda: (nbweave.MergeCell, "add_conflict_mark",
                                            wrapped(nbweave.MergeCell.add_conflict_mark)),
    "logging.debug": lambda: (nbweave.logging, "debug", wrapped(logging.debug)),
    "uuid.uuid4": lambda: (nbweave.uuid, "uuid4", wrapped(nbweave.uuid.uuid4)),
    "_merge_source": lambda: (nbweave, "_merge_source", wrapped(nbweave._merge_source)),
    "Git.execute": lambda: (git.cmd.Git, "execute", wrapped(git.cmd.Git.execute)),
    "Git's metaclass": lambda: (type(git.cmd.Git), "__call__",
                                lambda cls, *args, **kwargs: type.__call__(cls, *args, **kwargs)),
}
RECORDS = list(REPLACEMENTS)[:4]


def outcome(triple, directory, replaced, logged):
    """Bytes written, root debug messages, uuid4's draws, handlers basicConfig added, and
    whether Cell's code ran (the member way)."""
    draws, messages, ran = [], [], set()
    handler = logging.Handler()
    # the merge's own records; GitPython's tell whether git ran, which the engine may spare
    handler.emit = lambda record: record.name == "root" and messages.append(record.getMessage())
    root = logging.getLogger()
    level = root.level
    directory.mkdir(exist_ok=True)
    with pytest.MonkeyPatch.context() as patch:
        # uuid4 takes its 16 bytes from os.urandom: counted, and the same on both ways
        patch.setattr(os, "urandom", lambda n: draws.append(n) or bytes([len(draws)] * n))
        patch.setattr(root, "handlers", [handler] if logged else [])
        if replaced is not None:
            patch.setattr(*REPLACEMENTS[replaced]())
        root.setLevel(logging.DEBUG if logged else logging.WARNING)
        sys.setprofile(lambda frame, event, _: event == "call" and ran.add(frame.f_code.co_filename))
        try:
            Merger(directory)(*copy.deepcopy(triple))
        finally:
            sys.setprofile(None)
            root.setLevel(level)
        added = len(root.handlers) - (1 if logged else 0)
    return ((directory / "current.ipynb").read_bytes(), messages, draws, added,
            common.__file__ in ran)


@settings(max_examples=200, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(triple=triples(), replaced=st.sampled_from(sorted(REPLACEMENTS)), logged=st.booleans())
def test_both_ways_agree(triple, replaced, logged, tmp_path_factory):
    *direct, direct_ran_members = outcome(triple, tmp_path_factory.mktemp("d"), None, logged)
    *members, ran_members = outcome(triple, tmp_path_factory.mktemp("m"), replaced, logged)
    assert not direct_ran_members
    assert ran_members == (replaced in RECORDS and any(d["cells"] for d in triple))
    assert members == direct
    assert direct[2] == [16] * (2 * direct[0].count(b'"link_id"'))
    ids = [{c["metadata"]["canvas"]["id"] for c in d["cells"]} for d in triple]
    if not logged:  # the first change test configures an unconfigured root logger
        assert direct[3] == (1 if ids[0] & (ids[1] | ids[2]) else 0)


def silent_outcome(triple, directory, replaced):
    """Bytes written, uuid4's draws and `git merge-file` runs, with the merge's debug records
    proven silent before it begins: the direct way then prepares the engine's session while it
    reads, starts git once the documents show a source merge will come, and writes ahead."""
    draws = []
    root = logging.getLogger()
    level = root.level
    directory.mkdir(exist_ok=True)
    trace = directory / "trace"
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(os, "urandom", lambda n: draws.append(n) or bytes([len(draws)] * n))
        patch.setattr(root, "handlers", [logging.NullHandler()])
        patch.setenv("GIT_TRACE", str(trace))
        if replaced is not None:
            patch.setattr(*REPLACEMENTS[replaced]())
        root.setLevel(logging.WARNING)
        assert not root.isEnabledFor(logging.DEBUG)
        try:
            Merger(directory)(*copy.deepcopy(triple))
        finally:
            root.setLevel(level)
    runs = trace.read_text().count("built-in: git merge-file") if trace.exists() else 0
    return (directory / "current.ipynb").read_bytes(), draws, runs


@settings(max_examples=100, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(triple=triples(), replaced=st.sampled_from(RECORDS))
def test_a_merge_silent_from_the_start_agrees(triple, replaced, tmp_path_factory):
    *direct, direct_runs = silent_outcome(triple, tmp_path_factory.mktemp("d"), None)
    *members, member_runs = silent_outcome(triple, tmp_path_factory.mktemp("m"), replaced)
    assert members == direct
    # git runs for a merge with a source merge, and for no other
    assert (direct_runs > 0) == (member_runs > 0)


def corpus_triple(stem):
    documents = []
    for number in (1, 2, 3):
        document = json.loads((CORPUS / f"{stem}--{number}.ipynb").read_text(encoding="utf-8"))
        for index, cell in enumerate(document["cells"]):
            name = f"cell{index}" if index % 2 else ""
            cell.setdefault("metadata", {})["canvas"] = {"id": f"c{index}", "name": name,
                                                         "parents": [{"id": "c1"}]}
        document["metadata"]["canvas"] = {"parameters": []}
        documents.append(document)
    return documents  # 1 is base, 2 current, 3 incoming


@pytest.mark.skipif(not CORPUS.exists(), reason="no notebook corpus beside the checkout")
@pytest.mark.parametrize("stem", ["source-conflict", "mixed-conflicts"])
def test_outside_notebooks_agree(stem, tmp_path):
    triple = corpus_triple(stem)
    direct = outcome(triple, tmp_path / "d", None, True)
    for replaced in REPLACEMENTS:
        assert outcome(triple, tmp_path / replaced, replaced, True)[:-1] == direct[:-1]
    assert direct[1] and not direct[-1]
    assert outcome(triple, tmp_path / "again", RECORDS[0], True)[-1]


def test_a_failure_after_a_put_off_source_merge_comes_after_it(tmp_path, monkeypatch):
    # git takes the sources for binary (a NUL byte): the engine leaves them to `_merge_source`,
    # whose git runs before the parent link without an id fails the merge, on both ways
    sides = [make_notebook([make_cell("c0", source=[f"\0{text}\n"]),
                            make_cell("c1", "named", parents=[]) ]) for text in "bci"]
    sides[1]["cells"][1]["metadata"]["canvas"]["parents"] = [{"name": "no id"}]
    runs = []
    for replaced in (None, "_cell_changed"):
        trace = tmp_path / f"trace-{replaced}"
        monkeypatch.setenv("GIT_TRACE", str(trace))
        with pytest.raises(KeyError):
            outcome(sides, tmp_path / f"m-{replaced}", replaced, False)
        runs.append(trace.read_text().count("built-in: git merge-file"))
    assert runs[0] == runs[1] >= 1


@pytest.mark.parametrize("replaced", [None, "_cell_changed"])
def test_git_runs_and_uuid_draws_keep_their_order(replaced, tmp_path, monkeypatch):
    # c0's sources are binary to git, so `_merge_source` runs git for them (GitPython logs
    # it); c1 is duplicated after it, drawing two uuids. The merge's own debug records stay
    # silent, so the direct way may put c0 off, but not past the draws.
    events = []
    handler = logging.Handler()
    handler.emit = lambda record: events.append(record.getMessage().split("(")[0])
    logger = logging.getLogger("git.cmd")
    monkeypatch.setattr(logger, "handlers", [handler])
    monkeypatch.setattr(logger, "propagate", False)
    logger.setLevel(logging.DEBUG)
    monkeypatch.setattr(os, "urandom", lambda n: events.append("draw") or bytes(n))
    sides = [make_notebook([make_cell("c0", source=[f"\0{text}\n"]),
                            make_cell("c1", "n", source=[text])]) for text in "bci"]
    sides[2]["cells"][1]["metadata"]["canvas"]["name"] = ""
    monkeypatch.setattr(logging.getLogger(), "handlers", [logging.NullHandler()])
    try:
        with pytest.MonkeyPatch.context() as patch:
            if replaced is not None:
                patch.setattr(*REPLACEMENTS[replaced]())
            Merger(tmp_path)(*sides)
    finally:
        logger.setLevel(logging.NOTSET)
    assert events[0] == "Popen" and events[-2:] == ["draw", "draw"]


# A module in place of common.py, claiming its file but holding code compiled elsewhere.
FOREIGN_CELL = """
import pathlib, sys, tempfile, types
import vornik_git
path = pathlib.Path(vornik_git.__file__).parent / "drivers" / "common.py"
common = types.ModuleType("vornik_git.drivers.common")
common.__file__ = str(path)
exec(compile(path.read_text(encoding="utf-8"), "elsewhere.py", "exec"), common.__dict__)
sys.modules[common.__name__] = common
from notebooks import Merger, make_cell, make_notebook
from vornik_git.drivers import nbweave
ran = set()
sys.setprofile(lambda frame, event, _: event == "call" and ran.add(frame.f_code.co_filename))
document = make_notebook([make_cell("c0")])
Merger(pathlib.Path(tempfile.mkdtemp()))(document, document, document)
sys.setprofile(None)
print(nbweave.Cell is common.Cell, "elsewhere.py" in ran)
"""


def test_a_cell_class_not_compiled_from_the_package_sends_merges_the_member_way():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    result = subprocess.run([sys.executable, "-c", FOREIGN_CELL], env=env, capture_output=True,
                            cwd=pathlib.Path(__file__).parent, text=True, check=True)
    assert result.stdout.split() == ["True", "True"]
