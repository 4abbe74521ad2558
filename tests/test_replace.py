"""The atomic file replace behind _native.dump: content, permissions, links, failures."""

import errno
import json
import os
import pathlib
import pickle
import resource
import shutil
import signal
import stat
import tempfile
import threading

import pytest

from vornik_git import _native

NOBODY = 65534
DOCUMENT = {"cells": [{"source": ["x = 1\n", "print('é→✓')"]}], "nbformat": 4}
EXPECTED = json.dumps(DOCUMENT).encode()


@pytest.fixture
def shared_dir():
    """A directory that an unprivileged child process can reach (pytest's tmp_path is 0700)."""
    path = pathlib.Path(tempfile.mkdtemp(prefix="replace-"))
    path.chmod(0o755)
    yield path
    for root, dirs, _ in os.walk(path):
        for name in dirs:
            os.chmod(os.path.join(root, name), 0o755)
    shutil.rmtree(path)


def in_child(body, unprivileged=False):
    """Runs `body` in a forked process; returns ("ok", result) or ("error", type, errno)."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child reports through the pipe
        os.close(read_end)
        try:
            if unprivileged and os.geteuid() == 0:
                os.setgroups([])
                os.setgid(NOBODY)
                os.setuid(NOBODY)
            result = ("ok", body())
        except BaseException as error:  # noqa: BLE001 - every outcome is reported
            result = ("error", type(error).__name__, getattr(error, "errno", None))
        with os.fdopen(write_end, "wb") as stream:
            pickle.dump(result, stream)
        os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as stream:
        data = stream.read()
    os.waitpid(pid, 0)
    return pickle.loads(data)


def make_writable_by_child(path):
    """The file as the unprivileged child will find it: its own when we are root."""
    if os.geteuid() == 0:
        os.chown(path, NOBODY, NOBODY)


@pytest.mark.parametrize("as_type", [str, os.fsencode, pathlib.Path])
def test_writes_json_text_over_a_longer_file(tmp_path, as_type):
    target = tmp_path / "notebook.ipynb"
    target.write_bytes(b"x" * (len(EXPECTED) * 3))
    _native.dump(DOCUMENT, as_type(str(target)))
    assert target.read_bytes() == EXPECTED
    assert os.listdir(tmp_path) == ["notebook.ipynb"]


@pytest.mark.parametrize("mode", [0o640, 0o755, 0o600, 0o444])
def test_keeps_permission_bits(tmp_path, mode):
    target = tmp_path / "notebook.ipynb"
    target.write_bytes(b"{}")
    target.chmod(mode)
    if os.geteuid() != 0 and not mode & 0o200:
        pytest.skip("only root may replace a file without write permission")
    _native.dump(DOCUMENT, target)
    assert stat.S_IMODE(target.stat().st_mode) == mode
    assert target.read_bytes() == EXPECTED


@pytest.mark.parametrize("mask", [0o022, 0o077, 0o002])
def test_new_file_gets_mode_of_open(tmp_path, mask):
    old = os.umask(mask)
    try:
        _native.dump(DOCUMENT, tmp_path / "new.ipynb")
        with open(tmp_path / "reference", "w"):
            pass
    finally:
        os.umask(old)
    assert stat.S_IMODE((tmp_path / "new.ipynb").stat().st_mode) == stat.S_IMODE(
        (tmp_path / "reference").stat().st_mode)
    assert (tmp_path / "new.ipynb").read_bytes() == EXPECTED


@pytest.mark.skipif(os.geteuid() != 0, reason="changing a file's owner needs root")
def test_keeps_owner_and_group(tmp_path):
    target = tmp_path / "notebook.ipynb"
    target.write_bytes(b"{}")
    os.chown(target, NOBODY, NOBODY)
    _native.dump(DOCUMENT, target)
    assert (target.stat().st_uid, target.stat().st_gid) == (NOBODY, NOBODY)


@pytest.mark.parametrize("link_text", ["real.ipynb", "ABSOLUTE", "sub/../real.ipynb", "chain"])
def test_symbolic_link_stays_and_its_target_gets_the_content(tmp_path, link_text):
    (tmp_path / "sub").mkdir()
    real = tmp_path / "real.ipynb"
    real.write_bytes(b"old")
    real.chmod(0o640)
    if link_text == "ABSOLUTE":
        link_text = str(real)
    elif link_text == "chain":
        os.symlink("real.ipynb", tmp_path / "middle")
        link_text = "middle"
    link = tmp_path / "sub" / "link.ipynb"
    os.symlink(link_text if os.path.isabs(link_text) else os.path.join("..", link_text), link)
    before = sorted(os.walk(tmp_path))
    _native.dump(DOCUMENT, link)
    assert link.is_symlink()
    assert real.read_bytes() == EXPECTED
    assert stat.S_IMODE(real.stat().st_mode) == 0o640
    assert sorted(os.walk(tmp_path)) == before


def test_dangling_link_creates_its_target(tmp_path):
    os.symlink("created.ipynb", tmp_path / "link.ipynb")
    _native.dump(DOCUMENT, tmp_path / "link.ipynb")
    assert (tmp_path / "link.ipynb").is_symlink()
    assert (tmp_path / "created.ipynb").read_bytes() == EXPECTED


def test_link_loop_is_refused(tmp_path):
    os.symlink("b", tmp_path / "a")
    os.symlink("a", tmp_path / "b")
    with pytest.raises(OSError) as raised:
        _native.dump(DOCUMENT, tmp_path / "a")
    assert raised.value.errno == errno.ELOOP
    assert sorted(os.listdir(tmp_path)) == ["a", "b"]


@pytest.mark.parametrize(
    "relative, error",
    [
        ("missing/notebook.ipynb", FileNotFoundError),
        ("directory", IsADirectoryError),
        ("missing/", IsADirectoryError),
        ("file/notebook.ipynb", NotADirectoryError),
    ],
)
def test_failures_name_the_path_and_create_nothing(tmp_path, relative, error):
    (tmp_path / "directory").mkdir()
    (tmp_path / "directory" / "inside").write_bytes(b"kept")
    (tmp_path / "file").write_bytes(b"kept")
    before = sorted(os.walk(tmp_path))
    path = os.path.join(str(tmp_path), relative)
    with pytest.raises(error) as raised:
        _native.dump(DOCUMENT, path)
    assert raised.value.filename == path
    assert sorted(os.walk(tmp_path)) == before
    assert (tmp_path / "file").read_bytes() == b"kept"


@pytest.mark.parametrize("path", ["with\0nul.ipynb", 42, None])
def test_rejects_what_is_not_a_path(tmp_path, monkeypatch, path):
    monkeypatch.chdir(tmp_path)
    with pytest.raises((ValueError, TypeError)):
        _native.dump(DOCUMENT, path)
    assert os.listdir(tmp_path) == []


def test_unserialisable_document_leaves_file_alone(tmp_path):
    target = tmp_path / "notebook.ipynb"
    target.write_bytes(b"old")
    with pytest.raises(TypeError):
        _native.dump({"cells": [object()]}, target)
    assert target.read_bytes() == b"old"
    assert os.listdir(tmp_path) == ["notebook.ipynb"]


def test_read_only_directory_gets_the_file_written_in_place(shared_dir):
    directory = shared_dir / "locked"
    directory.mkdir()
    target = directory / "notebook.ipynb"
    target.write_bytes(b"o" * (len(EXPECTED) * 2))  # longer: the rest must be cut off
    target.chmod(0o644)
    make_writable_by_child(target)
    inode = target.stat().st_ino
    directory.chmod(0o555)
    outcome = in_child(lambda: _native.dump(DOCUMENT, str(target)), unprivileged=True)
    assert outcome == ("ok", None)
    assert target.read_bytes() == EXPECTED
    assert target.stat().st_ino == inode
    assert os.listdir(directory) == ["notebook.ipynb"]


@pytest.mark.skipif(os.geteuid() != 0, reason="needs a file owned by another user")
def test_sticky_directory_gets_another_users_file_written_in_place(shared_dir):
    directory = shared_dir / "sticky"
    directory.mkdir()
    directory.chmod(0o1777)
    target = directory / "notebook.ipynb"
    target.write_bytes(b"old")
    target.chmod(0o666)  # root's file, writable by all, but not theirs to replace
    inode = target.stat().st_ino
    outcome = in_child(lambda: _native.dump(DOCUMENT, str(target)), unprivileged=True)
    assert outcome == ("ok", None)
    assert target.read_bytes() == EXPECTED
    assert (target.stat().st_ino, target.stat().st_uid) == (inode, 0)
    assert os.listdir(directory) == ["notebook.ipynb"]


def test_read_only_directory_and_file_is_refused(shared_dir):
    directory = shared_dir / "locked"
    directory.mkdir()
    target = directory / "notebook.ipynb"
    target.write_bytes(b"old")
    target.chmod(0o444)
    make_writable_by_child(target)
    directory.chmod(0o555)
    outcome = in_child(lambda: _native.dump(DOCUMENT, str(target)), unprivileged=True)
    assert outcome == ("error", "PermissionError", errno.EACCES)
    assert target.read_bytes() == b"old"


def test_file_without_write_permission_is_not_replaced(shared_dir):
    target = shared_dir / "notebook.ipynb"
    target.write_bytes(b"old")
    target.chmod(0o444)
    make_writable_by_child(target)
    shared_dir.chmod(0o777)  # the directory would let the child replace the file
    outcome = in_child(lambda: _native.dump(DOCUMENT, str(target)), unprivileged=True)
    assert outcome == ("error", "PermissionError", errno.EACCES)
    assert target.read_bytes() == b"old"
    assert os.listdir(shared_dir) == ["notebook.ipynb"]


def limited_dump(path, limit):
    def body():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
        _native.dump({"cells": ["z" * (limit * 4)]}, str(path))
    return body


@pytest.mark.parametrize("locked", [False, True], ids=["replace", "in-place"])
def test_file_size_limit_fails_and_keeps_the_original(shared_dir, locked):
    directory = shared_dir / "work"
    directory.mkdir()
    target = directory / "notebook.ipynb"
    original = os.urandom(3000)
    target.write_bytes(original)
    make_writable_by_child(target)
    if locked:
        directory.chmod(0o555)
    else:
        make_writable_by_child(directory)
    outcome = in_child(limited_dump(target, 4096), unprivileged=True)
    assert outcome == ("error", "OSError", errno.EFBIG)
    assert target.read_bytes() == original
    assert os.listdir(directory) == ["notebook.ipynb"]


def test_fifo_is_written_not_replaced(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()))
    reader.start()
    _native.dump(DOCUMENT, fifo)
    reader.join(timeout=10)
    assert received == [EXPECTED]
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
