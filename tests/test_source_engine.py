"""When `merge_files` merges cell sources in process and when it runs `git merge-file` through
`_merge_source` as before: replaced collaborators are called, git is asked once per merge and
only when a cell needs a source merge, and failures surface as they would without the engine.

git's own trace (GIT_TRACE) counts the `git merge-file` runs: one per cell through
`_merge_source`, one per merge for the engine, which asks git for its conflict style that way.
"""

import contextlib
import copy
import json
import logging
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import git
import pytest

import source_triples
from notebooks import Merger, make_cell, make_notebook
from vornik_git import _engine
from vornik_git.drivers import nbweave

ENGINE = _engine.usable

CLEAN = (["a = 10\n", "b = 2\n", "c = 3\n"], ["a = 1\n", "b = 2\n", "c = 3\n"],
         ["a = 1\n", "b = 2\n", "c = 30\n"])
CONFLICT = (["x = 1\r\n"], ["x = 0\r\n"], ["x = 2\r\n"])
INCOMING_ONLY = (["a\n"], ["a\n"], ["b\n"])


@pytest.fixture
def place(tmp_path, monkeypatch):
    """A repository with the diff3 style for the working directory, a temporary directory of
    its own, and git's trace going to a file."""
    temporary = tmp_path / "tmp"
    temporary.mkdir()
    monkeypatch.setenv("TMPDIR", str(temporary))
    monkeypatch.setattr(tempfile, "tempdir", None)
    root = tmp_path / "place"
    root.mkdir()
    source_triples.enter("repository, -c diff3", root, monkeypatch)
    monkeypatch.setenv("GIT_TRACE", str(tmp_path / "trace"))
    return tmp_path


def merge_file_runs(root):
    trace = root / "trace"
    if not trace.exists():
        return 0
    text = trace.read_text(encoding="utf-8", errors="replace")
    trace.unlink()
    return sum("built-in: git merge-file" in line for line in text.splitlines())


def documents(*cells):
    """base, current, incoming with one cell per (current, base, incoming) source triple."""
    return [make_notebook([make_cell(f"c{i}", source=sides[(1, 0, 2)[version]])
                           for i, sides in enumerate(cells)]) for version in range(3)]


def run(merge, root, cells, file_path="nb.ipynb"):
    """The merged sources or the type of the error, and how many times git merged files."""
    merge_file_runs(root)
    try:
        merged = merge(*copy.deepcopy(documents(*cells)), file_path=file_path)
        outcome = [source_triples.normalised(cell["source"]) for cell in merged["cells"]]
    except Exception as error:  # noqa: BLE001 - the failure itself is what is compared
        outcome = type(error)
    temporary = tempfile.gettempdir()
    assert not os.path.isdir(temporary) or os.listdir(temporary) == []
    return outcome, merge_file_runs(root)


def keep_engine_out(monkeypatch):
    """`_merge_source` replaced by a wrapper that calls it: the same behaviour, through git."""
    original = nbweave._merge_source
    monkeypatch.setattr(nbweave, "_merge_source", lambda *args, **kwargs: original(*args, **kwargs))


def wrapped(function):
    return lambda *args, **kwargs: function(*args, **kwargs)


class GitSubclass(git.cmd.Git):
    pass


def merge_file_method(self, *args, **kwargs):
    return self._call_process("merge_file", *args, **kwargs)


# What a caller may replace, (owner, name, replacement); each must then be called as it is.
REPLACEMENTS = {
    "_merge_source": lambda: (nbweave, "_merge_source", wrapped(nbweave._merge_source)),
    "git.cmd.Git": lambda: (git.cmd, "Git", GitSubclass),
    "git.cmd.Git by a factory": lambda: (git.cmd, "Git", wrapped(git.cmd.Git)),
    "Git.__init__": lambda: (git.cmd.Git, "__init__", wrapped(git.cmd.Git.__init__)),
    "Git.execute": lambda: (git.cmd.Git, "execute", wrapped(git.cmd.Git.execute)),
    "Git._call_process": lambda: (git.cmd.Git, "_call_process",
                                  wrapped(git.cmd.Git._call_process)),
    "Git.merge_file": lambda: (git.cmd.Git, "merge_file", merge_file_method),
    "git.cmd.safer_popen": lambda: (git.cmd, "safer_popen", wrapped(git.cmd.safer_popen)),
}


@pytest.mark.parametrize("replaced", [None, *REPLACEMENTS])
def test_replaced_collaborators_are_called(replaced, merge, place, monkeypatch):
    if replaced is not None:
        owner, name, value = REPLACEMENTS[replaced]()
        monkeypatch.setattr(owner, name, value, raising=False)
    outcome, runs = run(merge, place, [CLEAN, CONFLICT, INCOMING_ONLY, CLEAN])
    assert runs == (1 if ENGINE and replaced is None else 3)
    keep_engine_out(monkeypatch)
    assert run(merge, place, [CLEAN, CONFLICT, INCOMING_ONLY, CLEAN]) == (outcome, 3)
    assert outcome[1][2].startswith("||||||| ")  # diff3, as configured


@pytest.mark.parametrize("cells, runs_in_process", [
    ([], 0),
    ([INCOMING_ONLY], 0),  # no source merge: git is not asked
    ([CLEAN], 1),
    ([CLEAN, CONFLICT] * 10, 1),  # asked once per merge, whatever the number of cells
])
def test_git_is_asked_once_per_merge_and_only_when_needed(cells, runs_in_process, merge, place,
                                                          monkeypatch):
    outcome, runs = run(merge, place, cells)
    source_merges = sum(sides is not INCOMING_ONLY for sides in cells)
    assert runs == (runs_in_process if ENGINE else source_merges)
    keep_engine_out(monkeypatch)
    assert run(merge, place, cells) == (outcome, source_merges)


# Canvas data of one cell whose source both sides changed, as (current, base, incoming) keyword
# sets for make_cell, and whether its sources are merged (otherwise incoming's variant is kept
# beside current's). git starts early only where the documents show that a merge will come.
@pytest.mark.parametrize("canvases, merged", [
    (({}, {}, {}), True),
    (({"name": "renamed"}, {"name": "step"}, {"name": "step"}), True),
    (({}, {}, {"headerColor": "#fff"}), True),
    (({}, {}, {"comments": [{"text": "hi"}]}), True),
    (({"name": "step"}, {}, {}), False),
    (({}, {}, {"name": "step"}), False),
    (({"name": "step"}, {"name": "step"}, {"name": "other"}), False),
])
def test_git_runs_only_for_a_cell_whose_sources_are_merged(canvases, merged, merge, place,
                                                            monkeypatch):
    # Cells left alone keep the merge busy long enough for a git started in vain to show.
    unchanged = [make_cell(f"u{i}") for i in range(2000)]
    cells = [make_notebook([make_cell("c", source=CLEAN[(1, 0, 2)[version]],
                                      **canvases[(1, 0, 2)[version]]), *unchanged])
             for version in range(3)]
    # the merge's debug records are silent from the start: nothing shows before git would run
    root = logging.getLogger()
    monkeypatch.setattr(root, "handlers", [logging.NullHandler()])
    assert not root.isEnabledFor(logging.DEBUG)

    def outcome():
        merge_file_runs(place)
        result = merge(*copy.deepcopy(cells))
        assert os.listdir(tempfile.gettempdir()) == []  # a session let go of leaves nothing
        return [cell["source"] for cell in result["cells"][:-2000]], merge_file_runs(place)

    with_engine, runs = outcome()
    assert (len(with_engine), runs) == ((1, 1) if merged else (2, 0))
    keep_engine_out(monkeypatch)
    assert outcome() == (with_engine, runs)


class OtherError(Exception):
    pass


@pytest.mark.parametrize("cells, outcome", [
    ([CLEAN], "merged"),
    ([CLEAN, CONFLICT], git.GitCommandError),
])
def test_a_replaced_command_error_class_lets_conflicts_raise(cells, outcome, merge, place,
                                                             monkeypatch):
    # git reports conflicts as a failure, which then is no GitCommandError of the module's
    monkeypatch.setattr(nbweave.git, "GitCommandError", OtherError)
    with_engine = run(merge, place, cells)
    keep_engine_out(monkeypatch)
    through_git = run(merge, place, cells)
    assert with_engine[0] == through_git[0]
    assert (with_engine[0] is outcome) if outcome != "merged" else isinstance(with_engine[0], list)


def _no_git_on_path(tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", str(tmp_path))


def _missing_temporary_root(tmp_path, monkeypatch):
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path / "absent"))


def _unreadable_working_directory(tmp_path, monkeypatch):
    # git cannot even start in a directory that is gone
    gone = tmp_path / "gone"
    gone.mkdir()
    monkeypatch.chdir(gone)
    gone.rmdir()


@pytest.mark.parametrize("cells", [[INCOMING_ONLY], [CLEAN], [CONFLICT, CLEAN]])
@pytest.mark.parametrize("failure", [_no_git_on_path, _missing_temporary_root,
                                     _unreadable_working_directory])
def test_failures_surface_as_without_the_engine(failure, cells, merge, place, monkeypatch):
    failure(place, monkeypatch)
    with_engine, _ = run(merge, place, cells)
    keep_engine_out(monkeypatch)
    through_git, _ = run(merge, place, cells)
    assert with_engine == through_git
    if INCOMING_ONLY in cells:
        assert with_engine == [list(INCOMING_ONLY[2])]


@pytest.mark.parametrize("directory_name, in_process", [
    ("tmp", True),
    ("a dir é", True),
    ("with\nline end", False),  # the read-back would split the base label: left to git
])
@pytest.mark.parametrize("file_path", ["nb.ipynb", "line\nend\r.ipynb"])
def test_temporary_paths_and_labels(directory_name, in_process, file_path, merge, place,
                                    monkeypatch):
    temporary = place / "tmp" / directory_name
    temporary.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(temporary))
    with_engine, runs = run(merge, place, [CONFLICT, CLEAN], file_path)
    assert os.listdir(temporary) == []
    assert runs == (1 if ENGINE and in_process else 2)
    keep_engine_out(monkeypatch)
    through_git = run(merge, place, [CONFLICT, CLEAN], file_path)[0]
    if in_process:
        assert through_git == with_engine
        # git ends its marker lines as the sides end theirs: CRLF here
        assert with_engine[0][0] == "<<<<<<< " + file_path + "-current\r\n"
    else:
        # git's labels are split where the directory's name breaks the line, so that no label
        # replaces them: every random part shows, and differs
        random_part = re.compile("/tmp[a-z0-9_]{8}/")
        assert [[random_part.sub("/tmp<random>/", line) for line in cell] for cell in through_git] \
            == [[random_part.sub("/tmp<random>/", line) for line in cell] for cell in with_engine]


# The git releases whose merges the engine was compared with and matched (docs/engine-identity.md).
PROVEN = [f"2.{minor}" for minor in range(34, 56)]


@pytest.mark.parametrize("version, in_process", [
    *((f"git version {release}.0", True) for release in PROVEN),
    ("git version 2.39.5", True),
    ("git version 2.39.0.windows.1", True),
    ("git version 2.33.8", False),
    ("git version 2.56.0", False),
    ("git version 3.39.0", False),
    ("git version 2.3.9", False),
    ("git version 2.39", False),
    ("version unknown", False),
])
def test_only_the_git_releases_compared_with_merge_in_process(version, in_process, merge, place,
                                                              monkeypatch):
    # The git found first on PATH answers `version` as told and is the real one otherwise.
    real = shutil.which("git")
    fake = place / "bin" / "git"
    fake.parent.mkdir()
    fake.write_text(f'#!/bin/sh\nif [ "$1" = version ]; then echo "{version}"; exit 0; fi\n'
                    f'exec {real} "$@"\n', encoding="utf-8")
    fake.chmod(0o755)
    monkeypatch.setenv("PATH", f"{fake.parent}{os.pathsep}{os.environ['PATH']}")
    cells = [CLEAN, CONFLICT, CLEAN]
    with_engine, runs = run(merge, place, cells)
    # the probe runs alongside the version question; without a verdict git merges every cell
    assert runs == (1 if ENGINE and in_process else 4 if ENGINE else 3)
    # the verdict is kept for that program file: it is not asked again
    assert run(merge, place, cells)[1] == (1 if ENGINE and in_process else 3)
    keep_engine_out(monkeypatch)
    assert run(merge, place, cells) == (with_engine, 3)


def _nul_byte(place, monkeypatch):
    return (["x = 1\r\n", "nul\x00\n"], ["x = 0\r\n"], ["x = 2\r\n"])


def _git_killed_by_a_signal(place, monkeypatch):
    fake = place / "bin" / "git"
    fake.parent.mkdir()
    fake.write_text("#!/bin/sh\nkill -9 $$\n", encoding="utf-8")
    fake.chmod(0o755)
    monkeypatch.setenv("PATH", f"{fake.parent}{os.pathsep}{os.environ['PATH']}")
    return CONFLICT


@pytest.mark.parametrize("failure", [_nul_byte, _git_killed_by_a_signal])
def test_a_failed_git_keeps_both_sides(failure, merge, place, monkeypatch):
    current, _, incoming = sides = failure(place, monkeypatch)
    with_engine, _ = run(merge, place, [sides, INCOMING_ONLY])
    assert with_engine == [["<<<<<<< nb.ipynb-current\n", *current, "=======\n", *incoming,
                            ">>>>>>> nb.ipynb-incoming\n"], list(INCOMING_ONLY[2])]
    keep_engine_out(monkeypatch)
    assert run(merge, place, [sides, INCOMING_ONLY])[0] == with_engine


@pytest.mark.parametrize("failure", [_git_killed_by_a_signal, _missing_temporary_root,
                                     _unreadable_working_directory])
def test_a_session_that_does_not_open_takes_back_the_file_written_ahead(failure, merge, place,
                                                                        monkeypatch):
    # Clean merges are written beside the file while git runs for the session; when the session
    # does not open, that file goes, and the cells take the way through git, failures and all.
    failure(place, monkeypatch)
    outcomes = []
    for through_git in (False, True):
        if through_git:
            keep_engine_out(monkeypatch)
        outcomes.append(run(merge, place, [CLEAN, CLEAN])[0])
        left = sorted(name for name in os.listdir(place) if name.endswith(".tmp"))
        assert left == []
        if not isinstance(outcomes[-1], list):  # failed: the current file is as it was
            assert json.load(open(place / "current.ipynb"))["cells"][0]["source"] == CLEAN[0]
    assert outcomes[0] == outcomes[1]


def test_a_path_that_is_not_utf8_labels_conflicts_that_merge_again(merge, place, monkeypatch):
    file_path = os.fsdecode(b"caf\xe9.ipynb")  # as a path from the command line arrives
    first, _ = run(merge, place, [CONFLICT], file_path)
    assert first[0][0] == "<<<<<<< caf\\xe9.ipynb-current\r\n"
    keep_engine_out(monkeypatch)
    assert run(merge, place, [CONFLICT], file_path)[0] == first
    # The written block is a source like any other: both sides edit it in a later merge.
    block = first[0]
    edited = (block + ["# mine\n"], block, ["# theirs\n"] + block)
    assert run(merge, place, [edited], file_path)[0] == [["# theirs\n", *block, "# mine\n"]]


INTERRUPTED_MERGE = """
import signal, sys
from vornik_git.drivers import nbweave

class Stop(Exception):
    pass

def stop(signum, frame):
    raise Stop()

signal.signal(signal.SIGTERM, stop)
if sys.argv[1] == "through git":
    original = nbweave._merge_source
    nbweave._merge_source = lambda *args, **kwargs: original(*args, **kwargs)
try:
    nbweave.merge_files(*sys.argv[2:5], "nb.ipynb")
except (Stop, KeyboardInterrupt) as error:
    print(type(error).__name__)
"""


@pytest.mark.parametrize("signal_number", [signal.SIGTERM, signal.SIGINT])
@pytest.mark.parametrize("way", ["as it comes", "through git"])
def test_a_signal_while_git_runs_ends_the_merge_and_its_directory(way, signal_number, tmp_path):
    # A git that answers `version` as the release the engine knows, and otherwise never ends.
    started = tmp_path / "started"
    fake = tmp_path / "bin" / "git"
    fake.parent.mkdir()
    fake.write_text('#!/bin/sh\nif [ "$1" = version ]; then echo "git version 2.39.5"; exit 0; fi\n'
                    f'echo $$ > "{started}.new"; mv "{started}.new" "{started}"\nexec sleep 300\n',
                    encoding="utf-8")
    fake.chmod(0o755)
    temporary = tmp_path / "tmp"
    temporary.mkdir()
    paths = Merger(tmp_path).paths(*documents(CLEAN))
    env = dict(os.environ, TMPDIR=str(temporary), PYTHONPATH=os.pathsep.join(sys.path),
               PATH=f"{fake.parent}{os.pathsep}{os.environ['PATH']}")
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_MERGE, way, *paths], env=env,
                             stdout=subprocess.PIPE, text=True)
    try:
        while not started.exists() and child.poll() is None:
            time.sleep(0.05)
        child.send_signal(signal_number)
        output, _ = child.communicate(timeout=60)  # not a speed target: a hang fails here
    finally:
        child.kill()
        if started.exists():
            with contextlib.suppress(ProcessLookupError):
                os.kill(int(started.read_text()), signal.SIGKILL)
    expected = "Stop" if signal_number == signal.SIGTERM else "KeyboardInterrupt"
    assert (output.strip(), child.returncode) == (expected, 0)
    assert os.listdir(temporary) == []


@pytest.mark.parametrize("cell", [
    ([], ["a\n"], ["b\n"]),
    (["b\r\n"], ["a\r\n"], []),
    (["x\n"], [], ["y\n"]),  # the diff3 style names the empty base
    ([], [], []),
    # a line of the other sides that reads like the marker of an empty side
    ([], ["a\n"], ["<<<<<<<\n", "b\n"]),
    (["|||||||\r\n", "x\n"], [], ["y\n"]),
    (["b\n"], ["a\n", ">>>>>>>\n"], []),
])
def test_empty_sides_keep_their_labels(cell, merge, place, monkeypatch):
    with_engine = run(merge, place, [cell])[0]
    keep_engine_out(monkeypatch)
    assert run(merge, place, [cell])[0] == with_engine




ONE_ENGINE = """
import sys
from vornik_git.drivers import nbweave
if sys.argv[1] == "engine first":
    from vornik_git import _engine
    _engine.conflict_style()
elif sys.argv[1] == "replaced after load":
    import git
    git.cmd.Git.merge_file = lambda self, *args: self._call_process("merge_file", *args)
if sys.argv[1] != "import":
    nbweave.merge_files(*sys.argv[2:5], "nb.ipynb")
"""


@pytest.mark.skipif(not ENGINE, reason="no usable libgit2 in this build")
@pytest.mark.parametrize("scenario, version_runs, merge_file_runs", [
    # the git program `_engine` asked for its release is not asked again by the merge module:
    # one copy of the engine in the process (two probes, the cells in process)
    ("engine first", 1, 2),
    # the merge module loads the engine with itself, which records GitPython then: a member
    # replaced afterwards keeps both cells on git
    ("replaced after load", 0, 2),
])
def test_the_merge_module_reaches_the_one_engine_loaded_with_it(scenario, version_runs,
                                                                  merge_file_runs, tmp_path):
    paths = Merger(tmp_path).paths(*documents(CLEAN, CLEAN))

    def git_runs(*args):
        trace = tmp_path / "trace"
        env = dict(os.environ, GIT_TRACE=str(trace), PYTHONPATH=os.pathsep.join(sys.path))
        subprocess.run([sys.executable, "-c", ONE_ENGINE, *args], env=env, cwd=tmp_path,
                       timeout=60, check=True)
        lines = trace.read_text(encoding="utf-8").splitlines()
        trace.unlink()
        return [sum(f"built-in: git {name}" in line for line in lines)
                for name in ("version", "merge-file")]

    at_import = git_runs("import")[0]  # GitPython asks at its own import
    assert git_runs(scenario, *paths) == [at_import + version_runs, merge_file_runs]
