"""Fuzz target: the native document reader and writer against the host's json module.

Every input is parsed by both; the outcomes must agree (the same value, or the same exception
with the same message and position), in both the bytes and the text-file position modes, and a
value read must serialise to exactly what json.dumps gives. Any disagreement raises, which
libFuzzer reports as a crash; a sanitizer report or a hang is a finding too.
"""

import io
import json
import math
import sys

import atheris

with atheris.instrument_imports(include=["vornik_git"]):
    from vornik_git import _native


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        if math.isnan(a):
            return math.isnan(b)
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def outcome(function, *args):
    try:
        return ("value", function(*args))
    except json.JSONDecodeError as e:
        return (type(e), e.msg, e.pos, e.lineno, e.colno)
    except RecursionError:
        # The host's parser and ours both refuse deep nesting; where each notices differs.
        return (RecursionError,)
    except ValueError as e:  # UnicodeDecodeError, and the host's integer digit limit
        return (type(e), str(e))


def at_recursion_limit(data, text_mode):
    """Nesting within a few levels of the recursion limit: json.loads runs three frames of its
    own (loads, decode, raw_decode) before its scanner starts, so there it gives up a few levels
    earlier than the native reader called from the same place. Both must then agree a little
    below and a little above the limit."""
    limit = sys.getrecursionlimit()
    try:
        sys.setrecursionlimit(limit - 16)
        below = expected_for(data, text_mode), outcome(_native.loads, data, text_mode)
        sys.setrecursionlimit(limit + 16)
        above = expected_for(data, text_mode), outcome(_native.loads, data, text_mode)
    finally:
        sys.setrecursionlimit(limit)
    if below != ((RecursionError,), (RecursionError,)):
        return False
    expected, actual = above
    if expected[0] == "value" and actual[0] == "value":
        return same(expected[1], actual[1])
    return expected == actual


def check(expected, actual, data, text_mode=False):
    if RecursionError in (expected[0], actual[0]) and expected[0] != actual[0]:
        if at_recursion_limit(data, text_mode):
            return
    if expected[0] == "value" and actual[0] == "value":
        if not same(expected[1], actual[1]):
            raise AssertionError(f"different values for {data!r}")
    elif expected != actual:
        raise AssertionError(f"different outcomes for {data!r}: {expected} != {actual}")


def expected_for(data, text_mode):
    try:
        if text_mode:  # what json.load sees: the file decoded with universal newlines
            text = io.TextIOWrapper(io.BytesIO(data), encoding="utf-8").read()
        else:
            text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        return (type(e), str(e))
    return outcome(json.loads, text)


def TestOneInput(data):
    expected = expected_for(data, False)
    actual = outcome(_native.loads, data)
    check(expected, actual, data)
    if b"\r" in data:
        check(expected_for(data, True), outcome(_native.loads, data, True), data, True)
    if actual[0] == "value":
        try:
            text = json.dumps(actual[1])
        except (RecursionError, ValueError) as e:
            text = type(e)
        try:
            ours = _native.dumps(actual[1])
        except (RecursionError, ValueError) as e:
            ours = type(e)
        if text != ours:
            raise AssertionError(f"different text for {data!r}")


if __name__ == "__main__":
    sys.setrecursionlimit(2000)
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
