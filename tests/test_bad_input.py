"""What hostile or broken input gives, one row per input and call: a result, or the host
exception named. No row may crash the process, and a merge that fails leaves the current file
byte for byte as it was."""

import copy
import json
import math
import os

import pytest

from notebooks import make_cell, make_notebook
from vornik_git import _native
from vornik_git.drivers import nbdelta, nbweave

DEPTH = 1_000_000
TEN_MB = 10 * 1024 * 1024


def deep(depth=DEPTH):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


def notebook(*cells, parameters=({"name": "p", "type": "str", "value": "1"},)):
    return make_notebook(cells or [make_cell("a", "first"), make_cell("b", "second")], parameters)


def edited(document, edit):
    document = copy.deepcopy(document)
    edit(document)
    return document


class Files:
    """The three merge inputs as files; `merge` checks that a failure leaves current as it was."""

    def __init__(self, directory):
        self.directory = directory

    def write(self, name, content):
        path = self.directory / f"{name}.ipynb"
        if isinstance(content, bytes):
            path.write_bytes(content)
        else:
            path.write_text(content if isinstance(content, str) else json.dumps(content),
                            encoding="utf-8")
        return str(path)

    def merge(self, base, current, incoming, paths=None):
        paths = paths or [self.write(n, d) for n, d in
                          (("base", base), ("current", current), ("incoming", incoming))]
        before = open(paths[1], "rb").read() if os.path.exists(paths[1]) else None
        try:
            nbweave.merge_files(*paths, "nb.ipynb")
        except BaseException:
            after = open(paths[1], "rb").read() if os.path.exists(paths[1]) else None
            assert after == before, "a failed merge changed the current file"
            raise
        return open(paths[1], "rb").read()


def merged(base, current, incoming):
    return lambda files: json.loads(files.merge(base, current, incoming))


def merged_text(base, current, incoming):
    return lambda files: files.merge(base, current, incoming).decode("ascii")


def diffed(prev, current):
    """diff_dicts writes into its inputs: each run gets fresh documents (or builds them)."""
    def fresh(document):
        return document() if callable(document) else copy.deepcopy(document)
    return lambda files: nbdelta.diff_dicts(fresh(prev), fresh(current))


def loaded(content):
    return lambda files: _native.load(files.write("input", content))


NB = notebook()
DUPLICATED = notebook(make_cell("a", "first", ["old\n"]), make_cell("b", "second"),
                      make_cell("a", "again", ["new\n"]))


def both_edit_source(current_line, incoming_line):
    base = notebook(make_cell("a", "first", ["x = 1\n", "y = 2\n"]))
    current = edited(base, lambda d: d["cells"][0]["source"].__setitem__(0, current_line))
    incoming = edited(base, lambda d: d["cells"][0]["source"].__setitem__(1, incoming_line))
    return base, current, incoming


def set_in(path, value):
    def edit(document):
        target = document
        for key in path[:-1]:
            target = target[key]
        target[path[-1]] = value
    return edit


def delete_in(*path):
    def edit(document):
        target = document
        for key in path[:-1]:
            target = target[key]
        del target[path[-1]]
    return edit


def symlinked_current(files):
    target_dir = files.directory / "elsewhere"
    target_dir.mkdir()
    target = target_dir / "real.ipynb"
    incoming = edited(NB, set_in(["cells", 0, "source"], ["changed\n"]))
    target.write_text(json.dumps(NB), encoding="utf-8")
    link = files.directory / "current.ipynb"
    link.symlink_to(target)
    paths = [files.write("base", NB), str(link), files.write("incoming", incoming)]
    files.merge(None, None, None, paths)
    assert link.is_symlink() and os.readlink(link) == str(target)
    return json.loads(target.read_bytes())


def symlinked_base(files):
    real = files.write("real-base", NB)
    link = files.directory / "base-link.ipynb"
    link.symlink_to(real)
    incoming = edited(NB, set_in(["cells", 0, "source"], ["changed\n"]))
    paths = [str(link), files.write("current", NB), files.write("incoming", incoming)]
    return json.loads(files.merge(None, None, None, paths))


def missing(which):
    def call(files):
        paths = [files.write(n, NB) for n in ("base", "current", "incoming")]
        paths[which] = str(files.directory / "nowhere" / "missing.ipynb")
        return files.merge(None, None, None, paths)
    return call


def dangling_current(files):
    link = files.directory / "current.ipynb"
    link.symlink_to(files.directory / "gone.ipynb")
    return files.merge(None, None, None,
                       [files.write("base", NB), str(link), files.write("incoming", NB)])


def source_of(cell_id):
    def check(document):
        sources = [c["source"] for c in document["cells"] if c["metadata"]["canvas"]["id"] == cell_id]
        return sources
    return check


def record(result, cell_id):
    found = [c for c in result["cells"] if c["metadata"]["canvas"]["id"] == cell_id]
    assert len(found) == 1, found
    return found[0]["metadata"]["canvas"]


CASES = [
    # id, call on a Files helper, expected exception or a check of the result
    ("non-utf8/reader", loaded(b'{"a": "caf\xe9"}'), UnicodeDecodeError),
    ("non-utf8/merge", merged(NB, b'{"cells": ["\xff"]}', NB), UnicodeDecodeError),
    ("surrogate-bytes/merge", merged(NB, NB, b'{"cells": "\xed\xa0\x80"}'), UnicodeDecodeError),
    ("bom/reader", loaded(b"\xef\xbb\xbf" + json.dumps(NB).encode()), json.JSONDecodeError),
    ("bom/merge", merged("\ufeff" + json.dumps(NB), NB, NB), json.JSONDecodeError),
    ("truncated/merge", merged(NB, json.dumps(NB)[:200], NB), json.JSONDecodeError),
    ("empty-file/merge", merged(NB, "", NB), json.JSONDecodeError),
    ("nesting/reader", loaded("[" * DEPTH + "]" * DEPTH), RecursionError),
    ("nesting/merge", merged(NB, NB, '{"cells": ' + "[" * DEPTH + "]" * DEPTH + "}"),
     RecursionError),
    ("nesting/writer", lambda files: _native.dumps(deep()), RecursionError),
    ("nesting/diff-outputs", diffed(NB, lambda: edited(NB, set_in(["cells", 0, "outputs"], deep()))),
     lambda r: record(r, "a")["diff_status"] == "unchanged"),
    ("10mb-string/reader", loaded(json.dumps({"s": "é" * TEN_MB}, ensure_ascii=False)),
     lambda r: r["s"] == "é" * TEN_MB),
    ("10mb-string/merge", merged(NB, NB, edited(NB, set_in(["cells", 1, "source"], ["x" * TEN_MB]))),
     lambda r: source_of("b")(r) == [["x" * TEN_MB]]),
    ("10mb-string/diff", diffed(NB, edited(NB, set_in(["cells", 1, "source"], ["x" * TEN_MB]))),
     lambda r: record(r, "b")["diff_status"] == "modified"),
    ("5000-digits/reader", loaded('{"n": ' + "7" * 5000 + "}"), ValueError),
    ("5000-digits/writer", lambda files: _native.dumps(7 * 10**4999), ValueError),
    ("5000-digits/merge", merged(NB, '{"cells": [], "n": -' + "7" * 5000 + "}", NB), ValueError),
    ("nan-infinity/reader", loaded("[NaN, Infinity, -Infinity]"),
     lambda r: math.isnan(r[0]) and r[1:] == [math.inf, -math.inf]),
    ("nan-infinity/merge", merged_text(NB, edited(NB, set_in(["cells", 0, "outputs"],
                                                             [math.nan, math.inf, -math.inf])), NB),
     lambda text: '"outputs": [NaN, Infinity, -Infinity]' in text),
    ("lone-surrogate/reader", loaded('["\\ud800", "\\udfff\\ud800"]'),
     lambda r: r == ["\ud800", "\udfff\ud800"]),
    ("lone-surrogate/writer", lambda files: _native.dumps(["\ud800"]),
     lambda text: text == '["\\ud800"]'),
    ("lone-surrogate/merge-unchanged-cell",
     merged_text(NB, edited(NB, set_in(["cells", 0, "source"], ["\ud800\n"])), NB),
     lambda text: '"source": ["\\ud800\\n"]' in text),
    # Both sides edited the source: git gets the lines as UTF-8, which a lone surrogate is not.
    ("lone-surrogate/merge-source", merged(*both_edit_source("\ud800\n", "z\n")),
     UnicodeEncodeError),
    ("non-dict-cells/merge", merged(NB, edited(NB, set_in(["cells"], [1, "cell"])), NB), TypeError),
    ("non-dict-cells/diff", diffed(NB, edited(NB, set_in(["cells"], [["code"]]))), TypeError),
    ("cell-without-canvas/merge", merged(NB, NB, edited(NB, delete_in("cells", 1, "metadata",
                                                                      "canvas"))), KeyError),
    ("cell-without-id/merge", merged(edited(NB, delete_in("cells", 0, "metadata", "canvas", "id")),
                                     NB, NB), KeyError),
    ("cell-without-id/diff", diffed(NB, edited(NB, delete_in("cells", 0, "metadata", "canvas", "id"))),
     KeyError),
    # Only code cells are read: a markdown cell needs neither canvas nor id.
    ("markdown-without-canvas/diff",
     diffed(NB, notebook(make_cell("a", "first"), {"cell_type": "markdown", "metadata": {},
                                                    "source": []})),
     lambda r: sorted((c["metadata"]["canvas"]["id"], c["metadata"]["canvas"]["diff_status"])
                      for c in r["cells"]) == [("a", "unchanged"), ("b", "removed")]),
    ("parameters-not-a-list/merge",
     merged(NB, edited(NB, set_in(["metadata", "canvas", "parameters"], "p")), NB), TypeError),
    ("parameters-a-dict/merge",
     merged(NB, NB, edited(NB, set_in(["metadata", "canvas", "parameters"], {"name": "p"}))),
     TypeError),
    ("parameters-not-a-list/diff",
     diffed(NB, edited(NB, set_in(["metadata", "canvas", "parameters"], "p"))), TypeError),
    ("parameters-missing/diff", diffed(NB, edited(NB, delete_in("metadata", "canvas", "parameters"))),
     lambda r: [p["diff_status"] for p in r["metadata"]["canvas"]["parameter"]] == ["removed"]),
    ("duplicate-ids/merge", merged(DUPLICATED, DUPLICATED, DUPLICATED),
     lambda r: [(c["metadata"]["canvas"]["id"], c["source"]) for c in r["cells"]]
     == [("a", ["new\n"]), ("b", ["x = 1\n"])]),
    ("duplicate-ids/diff", diffed(NB, DUPLICATED),
     lambda r: record(r, "a")["diff_status"] == "modified" and record(r, "a")["prev_source"]
     == ["x = 1\n"]),
    # A source may be stored as one string: it reads as its lines.
    ("source-one-string/merge",
     merged(NB, edited(NB, set_in(["cells", 0, "source"], "p = 1\nq = 2")), NB),
     lambda r: source_of("a")(r) == ["p = 1\nq = 2"]),
    ("source-one-string/diff",
     diffed(edited(NB, set_in(["cells", 0, "source"], "x = 1\n")), NB),
     lambda r: record(r, "a")["diff_status"] == "unchanged" and record(r, "a")["prev_source"]
     == ["x = 1\n"]),
    ("symlinked-current/merge", symlinked_current, lambda r: source_of("a")(r) == [["changed\n"]]),
    ("symlinked-base/merge", symlinked_base, lambda r: source_of("a")(r) == [["changed\n"]]),
    ("dangling-symlink-current/merge", dangling_current, FileNotFoundError),
    ("missing-base/merge", missing(0), FileNotFoundError),
    ("missing-current/merge", missing(1), FileNotFoundError),
    ("missing-incoming/merge", missing(2), FileNotFoundError),
    ("directory-as-current/merge",
     lambda files: files.merge(None, None, None,
                               [files.write("b", NB), str(files.directory), files.write("i", NB)]),
     IsADirectoryError),
    ("bytes-path/merge", lambda files: nbweave.merge_files(b"base", "c", "i", "nb"), TypeError),
    ("none-document/diff", lambda files: nbdelta.diff_dicts(None, NB), TypeError),
    ("list-document/merge", merged(NB, [NB], NB), TypeError),
]


@pytest.mark.parametrize("call, expected", [pytest.param(c, e, id=i) for i, c, e in CASES])
def test_bad_input(call, expected, tmp_path):
    files = Files(tmp_path)
    if isinstance(expected, type) and issubclass(expected, BaseException):
        with pytest.raises(expected):
            call(files)
    else:
        assert expected(call(files))
