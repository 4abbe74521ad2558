"""Host code that runs in the middle of a merge or a diff (a patched `_merge_source`,
`MergeCell` or `logging.debug`; keys whose hashing or comparison is Python code) may change or
empty the very documents the native code is walking. Whatever it does and whenever it does it,
the call ends in a result or a host exception, never a crash (run under tools/sanitize.sh, a
stale pointer is a sanitizer report), and a failed merge leaves the current file unchanged."""

import copy
import json
import logging

import pytest

from notebooks import make_cell, make_notebook
from vornik_git.drivers import nbdelta, nbweave

# The n-th callback does the damage: a merge of these documents makes about 40 callbacks, a
# diff about 240 key hashes and comparisons.
MERGE_STEPS = range(1, 45, 3)
DIFF_STEPS = range(1, 240, 12)


def spoil(obj, how):
    if how == "empty":
        obj.clear()
    elif how == "retype" and isinstance(obj, dict):
        for key in list(obj):
            obj[key] = None
    elif how == "retype":
        obj[:] = [None, 5]
    elif isinstance(obj, list):  # "cycle"
        obj.append(obj)
    else:
        obj["metadata"] = obj


class Saboteur:
    def __init__(self, step, how):
        self.step, self.how, self.calls, self.seen = step, how, 0, {}

    def __call__(self, *objects):
        for obj in objects:
            if isinstance(obj, (dict, list)):
                self.seen.setdefault(id(obj), obj)
        self.calls += 1
        if self.calls == self.step:
            for obj in list(self.seen.values()):  # all handed out so far, not only this call's
                spoil(obj, self.how)


def triple():
    base = make_notebook(
        [make_cell(f"c{i}", f"n{i}", [f"x{i}\n", "y\n", "z\n"], parents=[f"c{j}" for j in range(i)],
                   comments=[{"text": "a"}]) for i in range(6)],
        [{"name": f"p{i}", "type": "str", "value": str(i)} for i in range(4)])
    current, incoming = copy.deepcopy(base), copy.deepcopy(base)
    for i in (1, 3):
        current["cells"][i]["source"][0] = "current\n"
        incoming["cells"][i]["source"][2] = "incoming\n"
    current["metadata"]["canvas"]["parameters"][1]["value"] = "8"
    incoming["metadata"]["canvas"]["parameters"][1]["value"] = "9"
    incoming["cells"][4]["metadata"]["canvas"]["name"] = ""
    incoming["cells"][4]["source"] = ["other\n"]
    current["cells"][4]["metadata"]["canvas"]["headerColor"] = "red"
    incoming["cells"][5]["metadata"]["canvas"]["comments"].append({"text": "b"})
    del incoming["cells"][2]
    current["cells"].append(make_cell("new-current", "n"))
    incoming["cells"].append(make_cell("new-incoming", "m"))
    return base, current, incoming


@pytest.mark.parametrize("how", ["empty", "retype", "cycle"])
@pytest.mark.parametrize("step", MERGE_STEPS)
def test_merge_survives_callbacks_that_spoil_its_documents(step, how, tmp_path, monkeypatch):
    paths = []
    for name, document in zip(("base", "current", "incoming"), triple()):
        path = tmp_path / f"{name}.ipynb"
        path.write_text(json.dumps(document), encoding="utf-8")
        paths.append(str(path))
    before = open(paths[1], "rb").read()
    saboteur = Saboteur(step, how)

    def merge_source(g, current, base, incoming, current_name=None, incoming_name=None):
        saboteur(current, base, incoming)
        return current

    class SpoilingMergeCell(nbweave.MergeCell):
        def __init__(self, cell, file_type):
            saboteur(cell)
            super().__init__(cell, file_type)

    monkeypatch.setattr(nbweave, "_merge_source", merge_source)
    monkeypatch.setattr(nbweave, "MergeCell", SpoilingMergeCell)
    monkeypatch.setattr(logging, "debug", lambda *args, **kwargs: saboteur(*args))
    try:
        nbweave.merge_files(*paths, "nb.ipynb")
    except (KeyError, TypeError, AttributeError, ValueError, RecursionError):
        assert open(paths[1], "rb").read() == before
    else:
        text = open(paths[1], encoding="ascii").read()
        assert text == json.dumps(json.loads(text))


class Key(str):
    """A text whose hashing and comparison run host code."""

    saboteur = None

    def __hash__(self):
        Key.saboteur()
        return str.__hash__(self)

    def __eq__(self, other):
        Key.saboteur()
        return str.__eq__(self, other)

    def __ne__(self, other):
        return not self == other


def keyed(value):
    if isinstance(value, str):
        return Key(value)
    if isinstance(value, list):
        return [keyed(v) for v in value]
    if isinstance(value, dict):
        return {k: keyed(v) for k, v in value.items()}
    return value


@pytest.mark.parametrize("how", ["empty", "retype", "cycle"])
@pytest.mark.parametrize("step", DIFF_STEPS)
def test_diff_survives_keys_that_spoil_its_documents(step, how):
    prev, current = triple()[:2]
    for document in (prev, current):  # parameter texts must be exactly str
        document["cells"] = keyed(document["cells"])
    saboteur = Saboteur(step, how)
    everything = []
    for document in (prev, current):
        everything += [document, document["cells"], document["metadata"]["canvas"]["parameters"]]
        everything += document["cells"]
    Key.saboteur = lambda: saboteur(*everything)
    try:
        result = nbdelta.diff_dicts(prev, current)
    except (KeyError, TypeError, AttributeError, ValueError, IndexError, RecursionError):
        return
    finally:
        Key.saboteur = lambda: None
    assert isinstance(result["cells"], list)
