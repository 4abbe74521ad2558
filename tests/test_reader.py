"""The native reader must give what json.loads / json.load give: the same values, and the same
exceptions with the same messages and positions."""

import gc
import json
import math
import os
import pathlib
import sys
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from vornik_git import _native

SETTINGS = settings(max_examples=300, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


def same(a, b):
    """Equality that also holds types, key order, NaN and the sign of zero to account."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, str):  # a str not in its canonical form can still compare equal
        return a == b and a.isascii() == b.isascii()
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def outcome(function, *args):
    """What a call gives: its value, or the exception's type and everything it reports."""
    try:
        return ("value", function(*args))
    except json.JSONDecodeError as e:
        return (type(e), e.msg, e.pos, e.lineno, e.colno, e.doc, str(e))
    except (ValueError, RecursionError) as e:  # UnicodeDecodeError is a ValueError
        return (type(e), str(e))


def assert_same_outcome(expected, actual):
    if expected[0] == "value" and actual[0] == "value":
        assert same(expected[1], actual[1]), (expected, actual)
    else:
        assert expected == actual


def expected_for(data):
    """json.loads on the text that decoding `data` as a file's content gives."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        return (type(e), str(e))
    return outcome(json.loads, text)


surrogates = st.integers(0xD800, 0xDFFF).map(chr)
texts = st.text(st.one_of(st.characters(), surrogates), max_size=20)
scalars = st.one_of(st.none(), st.booleans(), st.integers(-(10**40), 10**40), st.floats(), texts)
values = st.recursive(scalars, lambda inner: st.one_of(
    st.lists(inner, max_size=5), st.dictionaries(texts, inner, max_size=5)), max_leaves=30)
spaces = st.text(" \t\n\r", max_size=3)


@SETTINGS
@given(values, spaces, spaces, spaces, st.booleans())
def test_generated_documents(value, indent, before, after, ensure_ascii):
    text = before + json.dumps(value, ensure_ascii=ensure_ascii, indent=indent or None,
                               separators=(after + "," + indent, indent + ":" + after)) + after
    try:
        data = text.encode("utf-8")
    except UnicodeEncodeError:  # lone surrogates cannot be written as UTF-8 text
        data = json.dumps(value).encode("ascii")
    expected = json.loads(data.decode("utf-8"))
    assert same(expected, _native.loads(data))
    assert same(expected, _native.loads(data, True))


@pytest.mark.parametrize("text", [
    '{"a": 1, "b": 2, "a": 3}',
    '{"a\\u0062": 1, "ab": 2, "\u00e9": 3, "\\u00e9": 4, "\\n": 5, "\\u000a": 6}',
    "{" + ", ".join(f'"key{i % 700}": {i}' for i in range(3000)) + "}",
    '["\\ud800", "\\udc00\\ud800", "\\ud800\\ud800\\udc00", "\\ud83d\\ude80", "\\uD83D\\uDE80x"]',
    '["\\ud800\\u0041", "\\ud800\\n", "é\\u00e9\\u0100\\ud83d\\ude80", "\\u0000\\u001f\\u007f"]',
    '["\\"\\\\\\/\\b\\f\\n\\r\\t", "a\\nb\\u0041c", "\x7f", "naïve", "日本", "🚀x\\n"]',
    '[0, -0, 1, -1, 999999999999999999, -999999999999999999, 1000000000000000000, '
    "-9223372036854775809, 123456789012345678901234567890]",
    "[0.0, -0.0, 1e400, -1e400, 1e-400, -1e-400, 4.9e-324, 2.2250738585072011e-308, 1E+2, 1e-2]",
    "[0.1000000000000000055511151231257827021181583404541015625, 9007199254740993, "
    "9007199254740993.0, 1." + "0" * 400 + "1, 0." + "9" * 800 + "]",
    "[NaN, Infinity, -Infinity, true, false, null, [], {}, [[]], {\"\": {}}]",
])
def test_values(text):
    assert_same_outcome(outcome(json.loads, text), outcome(_native.loads, text.encode()))


numbers = st.from_regex(r"\A-?(0|[1-9][0-9]{0,30})(\.[0-9]{1,30})?([eE][-+]?[0-9]{1,4})?\Z")


@SETTINGS
@given(numbers)
def test_numbers(text):
    assert_same_outcome(outcome(json.loads, text), outcome(_native.loads, text.encode()))


MALFORMED = [
    "", "   ", "\n\n  ", "nan", "NAN", "-", "-a", "+1", ".5", "1.", "1.e5", "1e", "1e+", "01",
    "[1e-]", "[1.]", "[-]", "[-Infinity", "[-Inf]", "tru", "nul", "fals", "Infinit", "NaN1",
    "[", "[1", "[1,", "[1,]", "[1 2]", "[1:2]", "{", "{}}", '{"a"', '{"a":', '{"a":}', '{"a" 1}',
    '{"a":1,}', '{"a":1 "b":2}', "{1: 2}", "{'a': 1}", '{"a":1]', "[1}", "]", "1 2",
    '"abc', '"\\', '"\\"', '"a\\x"', '"\\u12"', '"\\u00', '"\\u0041', '"\\u12345',
    '"\\uZZZZ"', '"\\u00g0"', '"\\ud800\\udc0"', '"\\ud800\\udc00', '"\\ud800\\uzzzz"',
    '"\\ud800\\u12"', '"\\ud800\\', '"a\x00b"', '"a\nb"', '"\tb"', '"\x1f"', '"\r\n"',
    '"\\é"', '"\\u00é0"', "[1,\n 2,\n 3 4]", '{\n  "é": [1,\n  ¤]}', "[\"日本\", x]",
    "\ufeff{}", "\ufeff", "1\ufeff", "[1] \u00a0", '["a" "b"]', "[true false]",
]


@pytest.mark.parametrize("text", MALFORMED)
def test_malformed(text):
    expected = outcome(json.loads, text)
    assert expected[0] is json.JSONDecodeError
    assert outcome(_native.loads, text.encode()) == expected


@pytest.mark.parametrize("text", [
    "[1,\r\n 2,\r\n 3 4]", "{\r\r\r  \"a\": x}", "\r\n\"abc", '"a\r\nb"', "[1]\r\n\r\n2",
    "\r\n\ufeff", "\ufeff\r\n{}", "[\r\n\"é\",\r\"日本\",\r\n x]", "{\"a\"\r\n:\r\n1\r\n,}",
])
def test_text_mode_positions(text):
    translated = text.replace("\r\n", "\n").replace("\r", "\n")
    data = text.encode()
    assert outcome(_native.loads, data, True) == outcome(json.loads, translated)
    assert outcome(_native.loads, data, False) == outcome(json.loads, text)


@pytest.mark.parametrize("data", [
    b'"\xff"', b'"\x80"', b'"\xc0\x80"', b'"\xc1\xbf"', b'"\xe0\x80\xaf"', b'"\xed\xa0\x80"',
    b'"\xed\xbf\xbf"', b'"\xf0\x8f\xbf\xbf"', b'"\xf4\x90\x80\x80"', b'"\xf5\x80\x80\x80"',
    b'"\xe2\x82"', b'"\xe2\x82\xac\xac"', b'"\xf0\x9f\x9a"', b'["ok", "\xe2\x28\xa1"]', b"[1, \xff]",
    b"\xff", b"[1 2] \"\xff\"", b'{"a": 1} \xc3', b"\xef\xbb\xbf[\xff]", b"\xef\xbb",
    b'["\\u00zz", "\xfe"]', b"[" + b"1" * 5000 + b', "\xff"]', b"[" * 100000 + b"\xff",
])
def test_invalid_utf8(data):
    expected = expected_for(data)
    assert expected[0] is UnicodeDecodeError
    assert outcome(_native.loads, data) == expected
    assert outcome(_native.loads, data, True) == expected


def test_int_digit_limit_matches_json():
    text = "[" + "7" * 5000 + "]"
    expected = outcome(json.loads, text)
    assert expected[0] is ValueError
    assert outcome(_native.loads, text.encode()) == expected


@pytest.mark.parametrize("opening", ["[", '{"a":'])
def test_deep_nesting_raises_recursion_error(opening):
    data = (opening * 100000).encode()
    expected = outcome(json.loads, data.decode())
    assert expected[0] is RecursionError
    assert outcome(_native.loads, data) == expected
    # The recursion depth was given back: nesting well within the limit parses again.
    nested = "[" * 500 + "]" * 500
    assert _native.loads(nested.encode()) == json.loads(nested)


def test_nesting_beyond_the_c_stack_with_a_raised_limit():
    depth = 1000000
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(depth + 1000)
    try:
        if sys.version_info >= (3, 12):
            # From 3.12 the host bounds native nesting by a limit of its own; json stops there too.
            text = "[" * depth + "]" * depth
            assert outcome(_native.loads, text.encode()) == outcome(json.loads, text)
            return
        value = _native.loads(b"[" * depth + b"]" * depth)
    finally:
        sys.setrecursionlimit(limit)
    levels = 0
    while value:
        (value,) = value
        levels += 1
    assert levels == depth - 1


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize("data", [b"[[1], {}]", b"[[1], {]"])
def test_collector_state_is_restored(enabled, data):
    was = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        outcome(_native.loads, data)
        assert gc.isenabled() == enabled
    finally:
        (gc.enable if was else gc.disable)()


valid_documents = values.map(lambda v: json.dumps(v, indent=1).encode())
mutations = st.tuples(valid_documents, st.lists(st.tuples(
    st.integers(0, 10**6), st.integers(0, 3), st.binary(max_size=3)), min_size=1, max_size=4))


def mutate(args):
    data, edits = args
    data = bytearray(data)
    for where, cut, insert in edits:
        where %= len(data) + 1
        data[where:where + cut] = insert
    return bytes(data)


@SETTINGS
@given(st.one_of(st.binary(max_size=40), mutations.map(mutate),
                 st.text("[]{}\":,\\u0123456789abcdefeEnul.+-tr \n\r\x00é", max_size=30)
                 .map(lambda s: s.encode())))
def test_arbitrary_bytes(data):
    expected = expected_for(data)
    actual = outcome(_native.loads, data)
    assert_same_outcome(expected, actual)


# Files


def load_outcome(function, path):
    try:
        return ("value", function(path))
    except OSError as e:
        return (type(e), e.errno, e.strerror, e.filename, str(e))


def json_load(path):
    with open(path, "r", encoding="utf-8") as f:
        return json.load(f)


@pytest.mark.parametrize("name", ["missing.json", b"missing.json", "dir", "a\0b", "missing/x",
                                  "/proc/self/mem"])
def test_load_errors(tmp_path, name, monkeypatch):
    (tmp_path / "dir").mkdir()
    monkeypatch.chdir(tmp_path)
    try:
        expected = load_outcome(json_load, name)
    except ValueError as e:
        with pytest.raises(ValueError, match=str(e)):
            _native.load(name)
        return
    assert expected[0] != "value"
    assert load_outcome(_native.load, name) == expected


def test_load_permission_denied(tmp_path):
    path = tmp_path / "secret.json"
    path.write_text("{}")
    path.chmod(0)
    expected = load_outcome(json_load, path)
    if expected[0] == "value":
        pytest.skip("this user reads the file anyway")
    assert load_outcome(_native.load, path) == expected


def test_load_from_a_pipe(tmp_path):
    # A pipe has no size to go by, and its writer needs the lock while the reader waits.
    path = tmp_path / "pipe"
    os.mkfifo(path)
    value = {"cells": [{"source": ["x = %d\n" % i] * 20} for i in range(500)]}

    def write():
        with open(path, "w", encoding="utf-8") as f:
            json.dump(value, f)

    writer = threading.Thread(target=write)
    writer.start()
    try:
        assert same(_native.load(path), value)
    finally:
        writer.join()


@pytest.mark.parametrize("data", [
    b'{"a": [1, "\xc3\xa9"]}\r\n', b"[1,\r\n 2,\r 3 x]", b"\xef\xbb\xbf{}", b"[\r\n\xff]",
    b"", b'{"a":\r\n "b\r\n"}',
])
@pytest.mark.parametrize("as_path", [str, os.fsencode, pathlib.Path])
def test_load_reads_as_a_text_file(tmp_path, data, as_path):
    path = tmp_path / "doc.json"
    path.write_bytes(data)
    try:
        expected = outcome(json_load, path)
    except UnicodeDecodeError as e:
        expected = (type(e), str(e))
    assert_same_outcome(expected, outcome(_native.load, as_path(str(path))))
