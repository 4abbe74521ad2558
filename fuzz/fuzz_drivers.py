"""Fuzz target: merge_files and diff_dicts on mutated notebook documents.

An input is a 4-byte header followed by the JSON text of a list [base, current, incoming] (or
of one document, used for all three). The header drives structure-aware edits of the parsed
documents (dropping, duplicating, moving and retyping members, transplanting subtrees between
the versions, renaming keys to the ones the drivers read): libFuzzer's byte mutations of the
header give endless valid variants of one document, those of the text the rest. The edits
happen inside the target, not in a custom mutator, because a custom mutator is not called when
libFuzzer is preloaded for the instrumented native modules. Each input is diffed (base against current, current against incoming)
and merged in a directory under /dev/shm. Any host exception is an allowed outcome, but a
failed merge must leave the current file byte for byte as it was, and a merge that returns
must leave a document in the fixed one-line text form. A crash, sanitizer report or hang is a
finding.

For speed, the source merge through `git merge-file` is replaced by a Python stand-in with the
same argument checks for seven inputs in eight; the eighth (chosen by the input's checksum, so
that a rerun behaves the same) runs the real one. VORNIK_FUZZ_REAL_GIT=1 runs the real one for
every input.
"""

import json
import os
import random
import sys
import tempfile
import zlib

import atheris

with atheris.instrument_imports(include=["vornik_git"]):
    from vornik_git.drivers import nbdelta, nbweave

REAL_MERGE_SOURCE = nbweave._merge_source
ALWAYS_REAL_GIT = os.environ.get("VORNIK_FUZZ_REAL_GIT") == "1"
# libFuzzer ends the process without the host's exit handlers, so fuzz/run.sh makes (and
# removes) the working directory.
WORK = os.environ.get("VORNIK_FUZZ_WORK") or tempfile.mkdtemp(prefix="vornik-fuzz-")
PATHS = [os.path.join(WORK, name + ".ipynb") for name in ("base", "current", "incoming")]

KEYS = ["cells", "metadata", "canvas", "parameters", "id", "name", "source", "parents",
        "comments", "headerColor", "outputs", "execution_count", "cell_type", "value", "type",
        "link_id", "diff_status", "prev_source", "nbformat"]
TEXTS = ["", "x\n", "a = 1\n", "<<< a", ">>> a", "<<<<<<< current\n", "=======\n", "\ud800",
         "\U0001f680\n", "code", "markdown", "é\r\n", "a" * 300]
SCALARS = [None, True, False, 0, -1, 2**70, 1.5, float("nan"), float("-inf"), -0.0]


def stand_in_merge_source(g, current, base, incoming, current_name=None, incoming_name=None):
    for value in (current, base, incoming):
        if type(value) is not list:
            raise TypeError("expected list")
    for value in (current_name, incoming_name):
        if value is not None and type(value) is not str:
            raise TypeError("expected str or None")
    for line in (*current, *base, *incoming):
        line.encode("utf-8")
    if current == base:
        return list(incoming)
    if incoming == base:
        return list(current)
    return ["<<<<<<< current\n", *current, "=======\n", *incoming, ">>>>>>> incoming\n"]


class CountingUuid:
    def __init__(self):
        self.count = 0

    def __call__(self):
        self.count += 1
        return f"00000000-0000-4000-8000-{self.count:012x}"


def nodes(value, found, depth=0):
    """Every (container, key) of the structure, for the mutator to pick from."""
    if depth > 40:
        return
    if isinstance(value, dict):
        for key in value:
            found.append((value, key))
            nodes(value[key], found, depth + 1)
    elif isinstance(value, list):
        for index, item in enumerate(value):
            found.append((value, index))
            nodes(item, found, depth + 1)


def random_value(rng, found):
    kind = rng.randrange(6)
    if kind == 0:
        return rng.choice(SCALARS)
    if kind == 1:
        return rng.choice(TEXTS)
    if kind == 2 and found:  # a subtree from anywhere in the three versions
        container, key = rng.choice(found)
        return json.loads(json.dumps(container[key]))
    if kind == 3:
        return rng.choice([[], {}, [rng.choice(TEXTS)], {"id": rng.choice(TEXTS)}])
    if kind == 4:
        nested = rng.choice(TEXTS)
        for _ in range(rng.randint(1, 30)):
            nested = [nested] if rng.random() < 0.5 else {"a": nested}
        return nested
    return {"metadata": {"canvas": {"id": rng.choice(TEXTS), "name": rng.choice(TEXTS)}},
            "cell_type": "code", "source": [rng.choice(TEXTS)]}


def mutate_structure(value, rng):
    found = []
    nodes(value, found)
    if not found:
        return random_value(rng, found)
    container, key = rng.choice(found)
    op = rng.randrange(7)
    if op == 0:
        container[key] = random_value(rng, found)
    elif op == 1:
        del container[key]
    elif op == 2 and isinstance(container, list):  # a repeated entry: duplicate ids and names
        container.insert(rng.randrange(len(container) + 1), json.loads(json.dumps(container[key])))
    elif op == 3 and isinstance(container, list) and len(container) > 1:
        other = rng.randrange(len(container))
        container[key], container[other] = container[other], container[key]
    elif op == 4 and isinstance(container, dict):
        new_key = rng.choice(KEYS)
        item = container.pop(key)
        container[new_key] = item
    elif op == 5 and isinstance(container[key], str):
        text = container[key]
        cut = rng.randrange(len(text) + 1)
        container[key] = text[:cut] + rng.choice(TEXTS) + text[cut:]
    elif op == 6 and isinstance(container[key], list):
        container[key].insert(rng.randrange(len(container[key]) + 1), random_value(rng, found))
    else:
        container[key] = random_value(rng, found)
    return value


def fresh(texts):
    return [json.loads(text) for text in texts]


def check_diff(prev, current):
    try:
        result = nbdelta.diff_dicts(prev, current)
    except Exception:
        return
    try:
        expected = json.dumps(result)
    except (ValueError, TypeError, RecursionError):
        return
    if not isinstance(result, dict) or json.loads(expected) is None:
        raise AssertionError("diff_dicts gave no document")


def TestOneInput(data):
    if len(data) < 4:
        return
    try:
        value = json.loads(data[4:].decode("utf-8"))
        rng = random.Random(int.from_bytes(data[:4], "little"))
        for _ in range(data[0] % 4):
            value = mutate_structure(value, rng)
    except (ValueError, RecursionError):
        return
    triple = [value] * 3 if isinstance(value, dict) else value
    if not isinstance(triple, list) or len(triple) != 3:
        return
    try:
        texts = [json.dumps(document) for document in triple]
    except (ValueError, RecursionError):
        return
    try:
        documents = fresh(texts)
    except RecursionError:
        return
    check_diff(documents[0], documents[1])
    documents = fresh(texts)
    check_diff(documents[1], documents[2])

    real = ALWAYS_REAL_GIT or zlib.crc32(data) % 8 == 0
    nbweave._merge_source = REAL_MERGE_SOURCE if real else stand_in_merge_source
    nbweave.uuid.uuid4 = CountingUuid()
    contents = [text.encode("ascii") for text in texts]
    for path, content in zip(PATHS, contents):
        with open(path, "wb") as f:
            f.write(content)
    try:
        nbweave.merge_files(*PATHS, "nb.ipynb")
    except Exception:
        with open(PATHS[1], "rb") as f:
            if f.read() != contents[1]:
                raise AssertionError("a failed merge changed the current file")
        return
    with open(PATHS[1], "rb") as f:
        merged = f.read()
    if merged != json.dumps(json.loads(merged)).encode("ascii"):
        raise AssertionError("the merged file is not in the one-line text form")


if __name__ == "__main__":
    sys.setrecursionlimit(2000)
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
