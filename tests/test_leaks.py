"""Many merges and diffs in one process, on realistic documents and on every kind of failure:
the inputs' reference counts, the host's object count and the process memory stay flat.

A leak of one object per call exceeds the bound on the host's allocated blocks, and 1 KB of
native memory per call the bound on the C heap in use (and, over a thousand calls or more, the
one on RSS). A warm-up run first fills the caches (interned keys, free lists, GitPython's
lazily built state) that grow once and then stay."""

import copy
import ctypes
import gc
import json
import os
import sys
import urllib.parse

import pytest

from notebooks import make_cell, make_notebook
from vornik_git.drivers import nbdelta, nbweave

UNDER_SANITIZER = "asan" in os.environ.get("LD_PRELOAD", "")
LEAK_PER_CALL = 1024  # the smallest native leak each check must catch, in bytes
# Starting a process moves the host's block count by up to about 130 blocks either way
# (exception texts and the like, not growing with the calls); a half of 300 calls or more
# still shows a leak of one object per call above this floor.
BLOCK_NOISE = 200


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def _heap_in_use():
    """Bytes the C allocator has handed out and not had back (small and mmapped blocks)."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except AttributeError:
        return None
    mallinfo2.restype = _MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _cell(i, lines=8):
    return make_cell(f"cell-{i}", f"step {i}", [f"value_{i} = compute({j}, 'é')\n" for j in range(lines)],
                     parents=[f"cell-{i - 1}"] if i else None,
                     outputs=[{"output_type": "stream", "name": "stdout", "text": [f"{i}\n"] * 3}],
                     comments=[{"author": "ana", "text": "ok"}] if i % 5 == 0 else None)


def _realistic(cells=30):
    base = make_notebook([_cell(i) for i in range(cells)],
                         [{"name": f"p{i}", "type": "int", "value": str(i)} for i in range(10)])
    current, incoming = copy.deepcopy(base), copy.deepcopy(base)
    for i in range(0, cells, 4):
        current["cells"][i]["source"][0] = "edited = 'current'\n"
    for i in range(0, cells, 6):
        incoming["cells"][i]["source"][-1] = "edited = 'incoming'\n"
    current["cells"][3]["metadata"]["canvas"]["parents"] = []
    incoming["cells"][5]["metadata"]["canvas"]["headerColor"] = "#ffaa00"
    incoming["metadata"]["canvas"]["parameters"][2]["value"] = "changed"
    del current["metadata"]["canvas"]["parameters"][4]
    current["cells"].insert(7, _cell(100))
    del incoming["cells"][9]
    return base, current, incoming


def _one_cell_conflict():
    base = make_notebook([make_cell("c", "n", ["a\n", "b\n", "c\n"])])
    current, incoming = copy.deepcopy(base), copy.deepcopy(base)
    current["cells"][0]["source"][0] = "A\n"
    incoming["cells"][0]["source"][0] = "alpha\n"
    return base, current, incoming


def _without(document, *path):
    document = copy.deepcopy(document)
    target = document
    for key in path[:-1]:
        target = target[key]
    del target[path[-1]]
    return document


def _retyped(document, value, *path):
    document = copy.deepcopy(document)
    target = document
    for key in path[:-1]:
        target = target[key]
    target[path[-1]] = value
    return document


# --- merge_files ------------------------------------------------------------------------------

def _stand_in(g, current, base, incoming, current_name=None, incoming_name=None):
    return current if incoming == base else incoming


REALISTIC = _realistic()
MERGE_CASES = {
    # name: (documents or raw texts, calls, use git, expected exception)
    "realistic": (REALISTIC, 1000, False, None),
    "realistic-with-git": (REALISTIC, 120, True, None),
    "source-conflict-with-git": (_one_cell_conflict(), 600, True, None),
    "bad-json": ((REALISTIC[0], '{"cells": [', REALISTIC[2]), 1500, False, ValueError),
    "not-utf8": ((REALISTIC[0], b'{"cells": "\xff"}', REALISTIC[2]), 1500, False, ValueError),
    "missing-cell-id": ((REALISTIC[0], _without(REALISTIC[1], "cells", 2, "metadata", "canvas", "id"),
                         REALISTIC[2]), 1500, False, KeyError),
    "missing-parameters": ((REALISTIC[0], REALISTIC[1],
                            _without(REALISTIC[2], "metadata", "canvas", "parameters")),
                           1500, False, KeyError),
    "cells-not-a-list": ((REALISTIC[0], _retyped(REALISTIC[1], 5, "cells"), REALISTIC[2]),
                         1500, False, TypeError),
    "both-add-one-id": ((make_notebook([]), make_notebook([_cell(1)]),
                         make_notebook([_cell(1, 2)])), 1500, False, AssertionError),
    "git-missing": (_one_cell_conflict(), 600, "missing", nbweave.git.GitCommandNotFound),
}


@pytest.fixture
def merge_paths(tmp_path):
    def write(documents):
        paths = []
        for name, document in zip(("base", "current", "incoming"), documents):
            path = tmp_path / f"{name}.ipynb"
            if isinstance(document, bytes):
                path.write_bytes(document)
            else:
                path.write_text(document if isinstance(document, str) else json.dumps(document),
                                encoding="utf-8")
            paths.append(str(path))
        return paths
    return write


def settle():
    """Empties the caches that hold a bounded number of recent values: GitPython passes every
    command argument, temporary paths included, through urllib's 128-entry cache, whose
    turnover would read as growth or shrinkage of a hundred blocks."""
    urllib.parse.clear_cache()
    gc.collect()


def _measure(call, calls, watched):
    """Runs `call` a quarter of `calls` times to warm up, then `calls` times in two halves;
    returns, for each half, the growth of each watched reference count, of the host's
    allocated blocks, the C heap and RSS. A leak grows in both halves; a cache that fills late
    or allocator noise shows in one."""
    for _ in range(max(1, calls // 4)):
        call()
    halves = []
    for _ in range(2):
        settle()
        refs = [sys.getrefcount(obj) for obj in watched]
        blocks, heap, rss = sys.getallocatedblocks(), _heap_in_use(), _rss()
        for _ in range(calls // 2):
            call()
        settle()
        after = [sys.getrefcount(obj) for obj in watched]
        halves.append({
            "refs": [a - b for a, b in zip(after, refs)],
            "blocks": sys.getallocatedblocks() - blocks,
            "heap": None if heap is None else _heap_in_use() - heap,
            "rss": _rss() - rss,
        })
    return halves


def _assert_flat(halves, calls):
    calls //= 2
    for half in halves:
        assert half["refs"] == [0] * len(half["refs"]), halves
    if UNDER_SANITIZER:
        return  # the sanitizer's quarantine holds freed memory back; references still count

    def least(key):
        return min(half[key] for half in halves)

    # One leaked object per call would add `calls` blocks in each half.
    assert least("blocks") < max(calls // 4, BLOCK_NOISE), halves
    if halves[0]["heap"] is not None:
        assert least("heap") < calls * LEAK_PER_CALL // 2, halves
    # RSS moves in pages and arenas; half of what the smallest leak would add, and never less
    # than a few pages of allocator noise.
    assert least("rss") < max(calls * LEAK_PER_CALL // 2, 256 * 1024), halves


@pytest.mark.parametrize("case", MERGE_CASES)
def test_merge_files_many_times(case, merge_paths, monkeypatch, tmp_path):
    documents, calls, git_mode, error = MERGE_CASES[case]
    if not git_mode:
        monkeypatch.setattr(nbweave, "_merge_source", _stand_in)
    elif git_mode == "missing":
        monkeypatch.setenv("PATH", str(tmp_path / "no-git-here"))
    paths = merge_paths(documents)
    with open(paths[1], "rb") as f:
        current = f.read()
    file_path = "notebook.ipynb"

    def call():
        if error is None:
            with open(paths[1], "wb") as f:  # every merge starts from the same current file
                f.write(current)
            nbweave.merge_files(*paths, file_path)
        else:
            with pytest.raises(error):
                nbweave.merge_files(*paths, file_path)

    growth = _measure(call, calls, [*paths, file_path, nbweave._merge_source])
    _assert_flat(growth, calls)
    if error is not None:
        with open(paths[1], "rb") as f:
            assert f.read() == current


# --- diff_dicts -------------------------------------------------------------------------------

_PREV, _CURRENT = REALISTIC[0], REALISTIC[1]
DIFF_CASES = {
    # name: (prev, current, calls, expected exception)
    "realistic": (_PREV, _CURRENT, 1500, None),
    "no-parameters": (_without(_PREV, "metadata"), _CURRENT, 1500, None),
    "missing-cell-type": (_PREV, _without(_CURRENT, "cells", 4, "cell_type"), 1500, KeyError),
    "missing-parent-name": (_PREV, _without(_CURRENT, "cells", 5, "metadata", "canvas", "parents",
                                            0, "name"), 1500, KeyError),
    "parents-not-a-list": (_PREV, _retyped(_CURRENT, "cell-1", "cells", 2, "metadata", "canvas",
                                           "parents"), 1500, TypeError),
    "parameter-value-a-number": (_retyped(_PREV, 7, "metadata", "canvas", "parameters", 1, "value"),
                                 _CURRENT, 1500, TypeError),
    "not-a-dict": (_PREV, [_CURRENT], 1500, TypeError),
}


def _parts(document):
    """The input objects diff_dicts reads: the document, its cell list and its cells."""
    if not isinstance(document, dict):
        return [document]
    cells = document.get("cells", [])
    return [document, cells, *cells[:5]]


@pytest.mark.parametrize("case", DIFF_CASES)
def test_diff_dicts_many_times(case):
    prev, current, calls, error = DIFF_CASES[case]
    # diff_dicts writes its marks into the inputs, so each call gets fresh documents; the
    # references it holds to them must all be gone when it returns or raises.
    texts = json.dumps(prev), json.dumps(current)

    def call():
        p, c = (json.loads(text) for text in texts)
        watched = _parts(p) + _parts(c)
        before = [sys.getrefcount(obj) for obj in watched]
        try:
            result = nbdelta.diff_dicts(p, c)
        except Exception as e:  # noqa: BLE001 - the type is checked below
            raised = type(e)
            del e
        else:
            raised = None
            del result
        assert raised is error
        assert [sys.getrefcount(obj) for obj in watched] == before

    growth = _measure(call, calls, [nbdelta.diff_dicts, nbdelta.DiffCell])
    _assert_flat(growth, calls)
