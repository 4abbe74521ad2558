"""Inputs the fuzzers found, kept as regular tests.

Nesting right at the recursion limit: json.loads runs three frames of its own (loads, decode,
raw_decode) before its scanner counts the first level, so a document nested a few levels short
of the limit is refused by it with RecursionError and read by the native reader called from the
same place. Away from the limit both agree: the same value or error a little above it,
RecursionError a little below."""

import json
import pathlib
import sys

import pytest

from vornik_git import _native

CORPUS = pathlib.Path(__file__).resolve().parents[1] / "fuzz" / "corpus" / "reader"
JSON_OWN_FRAMES = 3


# From 3.12 the host bounds nesting in native code (json's scanner and this reader alike) by a
# limit of its own, apart from the recursion limit: the two agree at every depth.
C_NESTING_LIMIT = sys.version_info >= (3, 12)


def outcome(function, *args):
    try:
        function(*args)
        return ("value",)
    except json.JSONDecodeError as e:
        return (type(e), e.pos)
    except RecursionError:
        return (RecursionError,)


def stack_depth():
    frame, depth = sys._getframe(), 0
    while frame is not None:
        frame, depth = frame.f_back, depth + 1
    return depth


def at_limit(limit, function, *args):
    saved = sys.getrecursionlimit()
    sys.setrecursionlimit(limit)
    try:
        return outcome(function, *args)
    finally:
        sys.setrecursionlimit(saved)


@pytest.mark.parametrize("text_mode", [False, True])
def test_found_document_at_the_recursion_limit(text_mode):
    data = (CORPUS / "recursion-limit-boundary.json").read_bytes()  # 1993 levels, then an error
    text = data.decode("utf-8")
    below, above = stack_depth() + 1993 - 16, stack_depth() + 1993 + 16
    if C_NESTING_LIMIT:
        for limit in (below, above):
            assert at_limit(limit, _native.loads, data, text_mode) == at_limit(limit, json.loads, text)
        return
    assert at_limit(below, _native.loads, data, text_mode) == (RecursionError,)
    assert at_limit(below, json.loads, text) == (RecursionError,)
    found = at_limit(above, _native.loads, data, text_mode)
    assert found[0] is json.JSONDecodeError
    assert at_limit(above, json.loads, text) == found


@pytest.mark.parametrize("text_mode", [False, True])
@pytest.mark.parametrize("tail", ["0", "0,", '{"a": [}'], ids=["valid", "error-at-end", "error-deep"])
def test_disagreement_only_in_the_few_levels_of_json_own_frames(tail, text_mode):
    """Scans nesting depths across the limit: the outcomes differ only at the depths that
    json's own frames take, and there json is the one that refuses."""
    differ = []
    limit = stack_depth() + 350
    for depth in range(300, 400):
        text = "[" * depth + tail + "]" * depth
        native = at_limit(limit, _native.loads, text.encode(), text_mode)
        host = at_limit(limit, json.loads, text)
        if native != host:
            assert host == (RecursionError,) and not C_NESTING_LIMIT, (depth, host, native)
            differ.append(depth)
        if depth == 399 and not C_NESTING_LIMIT:
            assert native == (RecursionError,)
    if C_NESTING_LIMIT:
        return
    # Exactly json's own frames apart: the native reader spends one level of the limit per level
    # of nesting, as the host's scanner does.
    assert len(differ) == JSON_OWN_FRAMES, differ
    assert differ == list(range(differ[0], differ[0] + JSON_OWN_FRAMES))
