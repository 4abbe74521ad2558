"""Faults from outside during a merge: git missing or killed, the file-size limit, a full file
system, a directory that refuses new files, and the merging process killed at random moments.
Whatever happens, the current file holds either its old bytes or the complete merge result."""

import base64
import copy
import errno
import json
import os
import random
import resource
import shutil
import signal
import stat
import subprocess
import tempfile
import time

import pytest

from notebooks import make_cell, make_notebook
from vornik_git.drivers import nbweave

NOBODY = 65534


def triple(cells=6, output_bytes=0, seed=1):
    """Base, current and incoming: one cell whose edits git merges cleanly, one with a conflict,
    a parameter changed by incoming, a new cell on each side."""
    rng = random.Random(seed)

    def cell(i):
        outputs = []
        if output_bytes:
            payload = base64.b64encode(rng.randbytes(output_bytes)).decode("ascii")
            outputs = [{"output_type": "display_data", "data": {"image/png": payload}}]
        return make_cell(f"c{i}", f"step {i}", [f"x{i} = {j}\n" for j in range(5)],
                         parents=[f"c{i - 1}"] if i else None, outputs=outputs)

    base = make_notebook([cell(i) for i in range(cells)], [{"name": "p", "type": "str", "value": "1"}])
    current, incoming = copy.deepcopy(base), copy.deepcopy(base)
    for i in range(0, cells, max(1, cells // 6)):
        current["cells"][i]["source"][0] = "clean = 'current'\n"
        incoming["cells"][i]["source"][4] = "clean = 'incoming'\n"
    current["cells"][1]["source"][2] = "conflict = 'current'\n"
    incoming["cells"][1]["source"][2] = "conflict = 'incoming'\n"
    incoming["metadata"]["canvas"]["parameters"][0]["value"] = "2"
    current["cells"].append(make_cell("new-current", "added by current"))
    incoming["cells"].append(make_cell("new-incoming", "added by incoming"))
    return base, current, incoming


def write_triple(directory, documents, current_dir=None):
    paths = []
    for name, document in zip(("base", "current", "incoming"), documents):
        where = current_dir if name == "current" and current_dir else directory
        path = os.path.join(where, f"{name}.ipynb")
        with open(path, "w", encoding="utf-8") as f:
            json.dump(document, f, indent=1)
        paths.append(path)
    return paths


def merged_bytes(directory, documents):
    """What an undisturbed merge of `documents` writes."""
    os.makedirs(directory, exist_ok=True)
    paths = write_triple(directory, documents)
    nbweave.merge_files(*paths, "nb.ipynb")
    with open(paths[1], "rb") as f:
        return f.read()


def read(path):
    with open(path, "rb") as f:
        return f.read()


def in_child(body):
    """Runs `body` in a forked copy of this process; returns "ok" or the exception's type name
    and errno. Forking keeps the imported modules, so each run costs milliseconds."""
    reader, writer = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(reader)
            try:
                body()
                outcome = "ok"
            except BaseException as e:  # noqa: BLE001 - everything is reported to the parent
                outcome = f"{type(e).__name__} {getattr(e, 'errno', None)}"
            os.write(writer, outcome.encode())
        finally:
            os._exit(0)
    os.close(writer)
    with os.fdopen(reader, "rb") as f:
        outcome = f.read().decode()
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0, outcome
    return outcome


def temporaries(directory):
    return [name for name in os.listdir(directory) if name.endswith(".tmp")]


@pytest.fixture
def immutable_dir(tmp_path):
    """Makes a directory refuse new entries while its files stay writable, even for root."""
    made = []

    def make(directory):
        if subprocess.run(["chattr", "+i", str(directory)], capture_output=True).returncode:
            pytest.skip("chattr +i is not possible here (needs root and a file system with it)")
        made.append(directory)

    yield make
    for directory in made:
        subprocess.run(["chattr", "-i", str(directory)], check=True)


@pytest.fixture
def small_tmpfs(tmp_path):
    """A 1 MB file system of its own, for running out of space without filling the machine's."""
    mount_point = tmp_path / "fs"
    mount_point.mkdir()
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(mount_point)],
                          capture_output=True)
    if done.returncode:
        pytest.skip("cannot mount a tmpfs here (needs root): " + done.stderr.decode().strip())
    yield mount_point
    subprocess.run(["chattr", "-i", str(mount_point / "dir")], capture_output=True)
    subprocess.run(["umount", str(mount_point)], check=True)


# --- git missing or killed --------------------------------------------------------------------

def fake_git(directory, action):
    """A `git` earlier on PATH that runs `action` for merge-file and the real git otherwise."""
    real = shutil.which("git")
    path = directory / "git"
    path.write_text(f'#!/bin/sh\nif [ "$1" = merge-file ]; then {action}; fi\nexec {real} "$@"\n')
    path.chmod(0o755)
    return str(directory)


def whole_texts(g, current, base, incoming, current_name=None, incoming_name=None):
    """What a source merge gives when git fails: the sides whole (every line here ends in one)."""
    if current in (incoming, base) or incoming == base:
        return incoming if current == base else current
    return [f"<<<<<<< {current_name}\n", *current, "=======\n", *incoming,
            f">>>>>>> {incoming_name}\n"]


@pytest.mark.parametrize("signal_name", ["SIGKILL", "SIGSEGV", "SIGTERM"])
def test_git_killed_by_a_signal_keeps_both_sides_and_completes(signal_name, tmp_path,
                                                               monkeypatch):
    documents = triple()
    with monkeypatch.context() as patch:
        patch.setattr(nbweave, "_merge_source", whole_texts)
        expected = merged_bytes(str(tmp_path / "expected"), documents)
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    monkeypatch.setenv("PATH", fake_git(bin_dir, f"kill -{signal_name[3:]} $$") + os.pathsep
                       + os.environ["PATH"])
    monkeypatch.setattr(tempfile, "tempdir", str(scratch))
    paths = write_triple(str(tmp_path), documents)
    nbweave.merge_files(*paths, "nb.ipynb")
    assert read(paths[1]) == expected
    assert os.listdir(scratch) == []  # the source merges' directories are gone
    source = json.loads(expected)["cells"][1]["source"]
    assert "conflict = 'current'\n" in source and "conflict = 'incoming'\n" in source


def test_git_missing_from_path_raises_and_keeps_the_file(tmp_path, monkeypatch):
    paths = write_triple(str(tmp_path), triple())
    before = read(paths[1])
    monkeypatch.setenv("PATH", str(tmp_path / "nothing-here"))
    with pytest.raises(nbweave.git.GitCommandNotFound):
        nbweave.merge_files(*paths, "nb.ipynb")
    assert read(paths[1]) == before
    assert temporaries(tmp_path) == []


# --- the write refused part way ---------------------------------------------------------------

@pytest.mark.parametrize("directory_refuses_new_files", [False, True],
                         ids=["temporary-file", "in-place-write"])
def test_file_size_limit_raises_and_keeps_the_file(directory_refuses_new_files, tmp_path,
                                                   immutable_dir):
    documents = list(triple())
    # Incoming brings a large cell, so the result is far larger than the current file.
    documents[2]["cells"].append(make_cell("big", "big", ["y = 1\n"] * 20000))
    current_dir = tmp_path / "current"
    current_dir.mkdir()
    paths = write_triple(str(tmp_path), documents, str(current_dir))
    before = read(paths[1])
    expected_size = len(merged_bytes(str(tmp_path / "expected"), documents))
    limit = 2 * len(before)
    assert limit < expected_size
    if directory_refuses_new_files:
        immutable_dir(current_dir)

    def body():
        # The host ignores SIGXFSZ, so the write reports EFBIG instead of ending the process.
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        nbweave.merge_files(*paths, "nb.ipynb")

    assert in_child(body) == f"OSError {errno.EFBIG}"
    assert read(paths[1]) == before
    assert temporaries(current_dir) == []


@pytest.mark.parametrize("directory_refuses_new_files", [False, True],
                         ids=["temporary-file", "in-place-write"])
def test_full_file_system_raises_and_keeps_the_file(directory_refuses_new_files, tmp_path,
                                                    small_tmpfs, immutable_dir):
    documents = list(triple())
    documents[2]["cells"].append(make_cell("big", "big", ["y = 1\n"] * 20000))
    current_dir = small_tmpfs / "dir"
    current_dir.mkdir()
    paths = write_triple(str(tmp_path), documents, str(current_dir))
    before = read(paths[1])
    filler = os.open(small_tmpfs / "filler", os.O_WRONLY | os.O_CREAT, 0o644)
    try:
        with pytest.raises(OSError) as full:
            while True:
                os.write(filler, b"\0" * 4096)
    finally:
        os.close(filler)
    assert full.value.errno == errno.ENOSPC
    if directory_refuses_new_files:
        immutable_dir(current_dir)
    with pytest.raises(OSError) as raised:
        nbweave.merge_files(*paths, "nb.ipynb")
    assert raised.value.errno == errno.ENOSPC
    assert read(paths[1]) == before
    assert temporaries(current_dir) == []


# --- a directory that refuses new files, the file writable ------------------------------------

def test_immutable_directory_merges_in_place(tmp_path, immutable_dir):
    documents = triple()
    expected = merged_bytes(str(tmp_path / "expected"), documents)
    current_dir = tmp_path / "current"
    current_dir.mkdir()
    paths = write_triple(str(tmp_path), documents, str(current_dir))
    inode = os.stat(paths[1]).st_ino
    immutable_dir(current_dir)
    nbweave.merge_files(*paths, "nb.ipynb")
    assert read(paths[1]) == expected
    assert os.stat(paths[1]).st_ino == inode  # written over, not replaced


def test_read_only_directory_merges_in_place_for_an_unprivileged_user(tmp_path):
    """Permission bits, which bind root only when it gives up its privileges: the merge runs
    in a child that becomes an ordinary user (or, run without root, in this process's user)."""
    documents = triple()
    expected = merged_bytes(str(tmp_path / "expected"), documents)
    top = tempfile.mkdtemp(prefix="vornik-ro-")  # tmp_path's parents are private to root
    try:
        os.chmod(top, 0o755)
        current_dir = os.path.join(top, "current")
        os.mkdir(current_dir)
        paths = write_triple(top, documents, current_dir)
        os.chmod(paths[1], 0o666)
        os.chmod(current_dir, 0o555)
        inode = os.stat(paths[1]).st_ino

        def body():
            if os.geteuid() == 0:
                os.setgroups([])
                os.setgid(NOBODY)
                os.setuid(NOBODY)
            os.environ["HOME"] = top  # git reads its configuration from HOME
            tempfile.tempdir = None
            nbweave.merge_files(*paths, "nb.ipynb")

        assert in_child(body) == "ok"
        assert read(paths[1]) == expected
        assert os.stat(paths[1]).st_ino == inode
        assert stat.S_IMODE(os.stat(paths[1]).st_mode) == 0o666
    finally:
        os.chmod(os.path.join(top, "current"), 0o755)
        shutil.rmtree(top)


# --- the merging process killed at random moments ---------------------------------------------

KILLS = 200


def test_sigkill_at_random_moments_leaves_old_or_new(tmp_path):
    # A killed process loses nothing of the page cache, so durability does not enter and a
    # memory file system keeps two hundred merges of a 3 MB notebook short.
    shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    directory = tempfile.mkdtemp(prefix="vornik-kill-", dir=shm or str(tmp_path))
    try:
        documents = triple(cells=600, output_bytes=3500)
        paths = write_triple(directory, documents)
        old = read(paths[1])

        started = time.perf_counter()
        assert in_child(lambda: nbweave.merge_files(*paths, "nb.ipynb")) == "ok"
        duration = time.perf_counter() - started
        new = read(paths[1])
        assert new != old and json.loads(new)

        rng = random.Random(6)
        seen = {"old": 0, "new": 0, "killed while writing": 0}
        for trial in range(KILLS):
            with open(paths[1], "wb") as f:
                f.write(old)
            aim_at_write = trial % 2 == 1
            # Anywhere in the merge and a little past it; or aimed at the write.
            delay = duration * 1.15 * (trial + rng.random()) / KILLS
            pid = os.fork()
            if pid == 0:
                try:
                    nbweave.merge_files(*paths, "nb.ipynb")
                finally:
                    os._exit(0)
            finished = False
            if aim_at_write:
                # The write of a few MB to memory lasts well under a millisecond: wait for the
                # temporary file, then kill at once or after a few hundred microseconds.
                delay = rng.uniform(0, 0.0005)
                while not temporaries(directory) and not finished:
                    finished = os.waitpid(pid, os.WNOHANG) != (0, 0)
                until = time.perf_counter() + delay
                while time.perf_counter() < until:
                    pass
            elif not finished:
                time.sleep(delay)
            if not finished:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            content = read(paths[1])
            assert content in (old, new), f"trial {trial}: a mixture after {delay:.4f} s"
            seen["old" if content == old else "new"] += 1
            left = temporaries(directory)  # what a killed replace could not remove
            seen["killed while writing"] += bool(left)
            for name in left:
                os.unlink(os.path.join(directory, name))
        # The kills landed before the write, during it and after it.
        assert all(seen.values()), (seen, duration)
    finally:
        shutil.rmtree(directory)
