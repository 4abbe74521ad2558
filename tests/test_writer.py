"""_native.dumps against the host's json.dumps: same text, same errors."""

import array
import enum
import functools
import gc
import json
import math
import random
import struct
import sys

import pytest
from hypothesis import given, settings, strategies as st

from vornik_git import _native


def assert_same_text(native, host):
    """Fails with where two long texts part, rather than a diff of megabytes."""
    if native != host:
        at = next((i for i, (a, b) in enumerate(zip(native, host)) if a != b),
                  min(len(native), len(host)))
        near = slice(max(at - 20, 0), at + 40)
        pytest.fail(f"from offset {at}: {native[near]!r} != {host[near]!r}")


def editor_json(value):
    return json.dumps(value, indent=1, sort_keys=True, ensure_ascii=False)


def outcome(function, value):
    try:
        return "text", function(value)
    except Exception as error:  # noqa: BLE001 - the kind of failure is what is compared
        failure = type(error), str(error)
    # json's indenting encoder leaves reference cycles behind when it fails, holding parts of
    # the document: collected here, not during a later test that counts references.
    gc.collect()
    return failure


# -- generated documents ---------------------------------------------------------------------

SPECIAL_CHARACTERS = list('"\\/\n\r\t\b\f\x00\x01\x1f\x20\x7e\x7f\x80\x9f\xa0\xff') + [
    "\u0100", "\u2028", "\ufeff", "\uffff", "\ud800", "\udbff", "\udc00", "\udfff",
    "\U00010000", "\U0001f600", "\U0010ffff"]

PLAIN = [chr(c) for c in range(0x20, 0x7f)]
# A fixed spread over every range with its own escape: Latin-1, the rest of the BMP including
# surrogates, the astral planes. Sampling from a list keeps generation fast.
_spread = random.Random("alphabet")
ALPHABET = SPECIAL_CHARACTERS + PLAIN + [
    chr(_spread.randrange(low, high))
    for low, high in [(0, 0x20), (0x80, 0x100), (0x100, 0xd800), (0xd800, 0xe000),
                      (0xe000, 0x10000), (0x10000, 0x110000)]
    for _ in range(20)]

texts = st.one_of(
    st.text(st.sampled_from(ALPHABET), max_size=24),
    # Long plain runs with one special character: every offset within a copied block.
    st.builds(lambda plain, special, at: plain[:at] + special + plain[at:],
              st.text(st.sampled_from(PLAIN), min_size=16, max_size=48),
              st.sampled_from(SPECIAL_CHARACTERS), st.integers(0, 48)),
)


def double_from_bits(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


floats = st.one_of(st.integers(0, 2**64 - 1).map(double_from_bits), st.floats())
integers = st.one_of(
    st.integers(),
    st.integers(-10**400, 10**400),
    st.sampled_from([2**63 - 1, 2**63, -2**63, -2**63 - 1, 2**64 - 1, 2**64, -2**64]),
)
scalars = st.one_of(st.none(), st.booleans(), integers, floats, texts)
keys = st.one_of(texts, integers, floats, st.booleans(), st.none())
documents = st.recursive(
    scalars,
    lambda children: st.one_of(
        st.lists(children, max_size=6),
        st.lists(children, max_size=6).map(tuple),
        st.dictionaries(keys, children, max_size=6),
    ),
    max_leaves=12,
)


@settings(max_examples=1000, deadline=None)
@given(st.lists(documents, min_size=10, max_size=10))
def test_generated_documents_match_json_both_ways(batch):
    # Ten documents per example: 10,000 documents, in far less time than one per example. The
    # reader is held to json.loads on the same texts; comparing the results through their text
    # keeps int/float, NaN, -0.0 and key order apart, which == would not.
    for document in batch:
        text = json.dumps(document)
        assert _native.dumps(document) == text
        assert json.dumps(_native.loads(text.encode("ascii"))) == json.dumps(json.loads(text))


@pytest.mark.parametrize("special", SPECIAL_CHARACTERS, ids=ascii)
def test_special_character_at_every_offset(special):
    # Every length past a 64-byte run, with the character at every offset: each short length,
    # the block and run boundaries, the narrowing of wide strings, as values and as keys.
    plain = "".join(c for c in PLAIN if c not in '"\\') * 2
    texts = [plain[:length] for length in range(140)]
    texts += [plain[:at] + special + plain[at:length]
              for length in range(140) for at in range(length + 1)]
    assert_same_text(_native.dumps(texts), json.dumps(texts))
    keys = dict.fromkeys(texts, 0)
    assert_same_text(_native.dumps(keys), json.dumps(keys))
    assert_same_text(_native.dumps_editor(texts), editor_json(texts))


@settings(max_examples=100, deadline=None)
@given(st.lists(floats, min_size=100, max_size=100))
def test_floats_from_bit_patterns_match_repr(values):
    assert _native.dumps(values) == json.dumps(values)


def exponent_boundaries():
    """Doubles around each power of ten where float.__repr__ could change its form."""
    values = []
    for exponent in range(-330, 310):
        for mantissa in (1.0, 9.999999999999999, 5.0, 1.2345678901234567):
            base = float(f"{mantissa}e{exponent}")
            values += [base, math.nextafter(base, 0), math.nextafter(base, math.inf)]
    return values + [5e-324, 2.2250738585072014e-308, sys.float_info.max, 2.0**53, 2.0**53 + 2]


@pytest.mark.parametrize("family", ["bit patterns", "short decimals", "integral", "boundaries"])
def test_float_text_on_millions_of_doubles(family):
    rng = random.Random(family)
    if family == "bit patterns":
        values = array.array("d", rng.randbytes(8 * 1_000_000)).tolist()
    elif family == "short decimals":
        values = [float(f"{rng.randrange(10 ** rng.randrange(1, 18))}e{rng.randrange(-340, 320)}")
                  for _ in range(300_000)]
    elif family == "integral":
        values = [float(rng.randrange(-2**60, 2**60) >> rng.randrange(60)) for _ in range(300_000)]
    else:
        values = exponent_boundaries()
    values += [-value for value in values]
    native, host = _native.dumps(values), json.dumps(values)
    if native != host:
        mismatch = next(v for v in values if _native.dumps(v) != json.dumps(v))
        pytest.fail(f"{mismatch!r}: {_native.dumps(mismatch)} != {json.dumps(mismatch)}")


# -- types, subclasses and errors -----------------------------------------------------------

class Colour(enum.IntEnum):
    RED = 1


class ReprInt(int):
    def __repr__(self):
        return "not an int"


class ReprFloat(float):
    def __repr__(self):
        return "not a float"


class StrStr(str):
    def __str__(self):
        return "not this text"


class Reversed(list):
    def __iter__(self):
        return reversed(list(super().__iter__()))


class Items(dict):
    def items(self):
        return [("from items", 1)]


class BadItems(dict):
    def items(self):
        return [("a", 1, 2)]


class FailingItems(dict):
    def items(self):
        raise KeyError("items failed")


class Disguised:
    __class__ = property(lambda self: dict)


class Named(type):
    pass


LongName = Named("K" * 150, (), {"__hash__": lambda self: 1})


def circular_list():
    value = [1]
    value.append(value)
    return value


def circular_dict():
    value = {"a": 1}
    value["self"] = [value]
    return value


def circular_through_tuple():
    inner = []
    inner.append((inner,))
    return {"x": inner}


def shared_not_circular():
    shared = [1, {"k": "v"}]
    return [shared, shared, {"again": shared}, (shared,)]


def mutating_child():
    """A dict subclass whose items() changes the dict being encoded around it."""
    parent = {}

    class Mutator(dict):
        def items(self):
            parent.pop("c", None)
            parent["d"] = 4
            return [("x", 1)]

    parent.update(a=Mutator(y=0), b=2, c=3)
    return parent


def mutating_list_child():
    """A list subclass whose iteration changes the dict being encoded around it."""
    parent = {}

    class Mutator(list):
        def __iter__(self):
            parent.clear()
            parent["late"] = 1
            return super().__iter__()

    parent.update(a=Mutator([1]), b=2)
    return parent


def mutation_after_leaving_a_deeper_dict():
    """Host code runs twice: first deep inside "a", then in "b", a dict opened after the first
    run; "b" must be copied before its child changes it, like any other dict on the stack."""
    holder = {}

    class Harmless(dict):
        def items(self):
            return [("h", 0)]

    class Mutator(dict):
        def items(self):
            holder["b"].pop("z", None)
            holder["b"]["w"] = 5
            return [("m", 1)]

    holder.update(a={"x": Harmless(y=1)}, b={"inner": Mutator(q=1), "z": 3})
    return holder


def shrinking_list():
    """A list subclass whose iteration removes items the list around it has not reached."""
    parent = [0]

    class Shrinker(list):
        def __iter__(self):
            del parent[2:]
            return super().__iter__()

    parent += [Shrinker([1]), 2, {"three": 3}, [4], "5", 6]
    return parent


def circular_through_a_copied_dict():
    value = {"before": 1}
    value["a"] = Reversed([value])
    return value


def growing_list():
    """A list subclass whose iteration appends to the list being encoded around it."""
    parent = [0]

    class Grower(list):
        def __iter__(self):
            if len(parent) < 4:
                parent.append(len(parent))
            return super().__iter__()

    parent.append(Grower([9]))
    return parent


def finaliser_changes_dict():
    """An object that only the list made from a list subclass holds: it dies when that list is
    released, and its finaliser changes the dicts still being encoded around it."""
    parent = {}

    class Dying(dict):
        def __del__(self):
            parent.clear()
            parent["late"] = 1
            inner.clear()

    class Fresh(list):
        def __iter__(self):
            return iter([Dying(x=1)])

    inner = {"fresh": Fresh(), "after": {"k": [1]}}
    parent.update(a=inner, b=2, c={"d": 3})
    return parent


DIGIT_BOUNDARIES = (0, 1, 9, 10, 2**15, 2**30 - 1, 2**30, 2**31, 2**32, 2**60, 2**63 - 1, 2**63)

CASES = {
    "object": lambda: object(),
    "set in list": lambda: [1, {2}],
    "bytes": lambda: {"k": b"x"},
    "complex": lambda: 1j,
    "class attribute": lambda: Disguised(),
    "tuple key": lambda: {(1, 2): 1},
    "bytes key": lambda: {"ok": 1, b"k": 2},
    "long class name key": lambda: {LongName(): 1},
    "circular list": circular_list,
    "circular dict": circular_dict,
    "circular through tuple": circular_through_tuple,
    "shared": shared_not_circular,
    "int over digit limit": lambda: [10**5000],
    "negative int over digit limit key": lambda: {-10**5000: 1},
    "int subclass": lambda: [ReprInt(7), {ReprInt(-3): ReprInt(2**70)}],
    "float subclass": lambda: [ReprFloat(2.5), ReprFloat("nan"), {ReprFloat(1e300): 0}],
    "str subclass": lambda: [StrStr("text\n"), {StrStr("key"): StrStr("é")}],
    "IntEnum": lambda: {Colour.RED: Colour.RED},
    "tuple": lambda: (1, "a", (2, ()), [()]),
    "list subclass": lambda: Reversed([1, 2, 3]),
    "dict subclass items": lambda: Items(real=1),
    "empty dict subclass": lambda: Items(),
    "items not pairs": lambda: [BadItems(a=1)],
    "items raising": lambda: [FailingItems(a=1)],
    "dict mutated by a child": mutating_child,
    "list grown by a child": growing_list,
    "dict mutated by a list child": mutating_list_child,
    "dict mutated after leaving a deeper one": mutation_after_leaving_a_deeper_dict,
    "bare string": lambda: "line\n\ud83d\ude00",
    "ints at digit boundaries": lambda: [[v, -v, {v: -v}, {str(v): v}] for v in DIGIT_BOUNDARIES],
    "subclasses inside dicts": lambda: {"a": {"b": Reversed([{"c": [1]}]), "d": {"e": [2]}},
                                        "f": Items(x=1), "g": {"h": (3,)}},
    "error after host code": lambda: {"a": Reversed([{}]), "b": {"c": [object()]}, "d": [4]},
    "dict changed by a finaliser": finaliser_changes_dict,
    "list shrunk by a child": shrinking_list,
    "circular through a copied dict": circular_through_a_copied_dict,
    "large dicts side by side": lambda: {"a": {str(i): {"v": [i]} for i in range(3000)},
                                         "b": {i: (i, {"w": i}) for i in range(3000)}},
    # Far more containers than the recursion limit, each closed before the next opens.
    "wide": lambda: [{"cell": [i, (i,)], "empty": [{}]} for i in range(3 * sys.getrecursionlimit())],
}


# From 3.12 json reads an exact dict live and, on these inputs, uses an object that the host
# code has freed (the process crashes); the text is what it gives when it holds what it reads.
JSON_CRASHES_ON = {"dict mutated by a list child": ("text", '{"a": [1]}')}


@pytest.mark.parametrize("name", CASES)
def test_same_text_or_error_as_json(name):
    if name in JSON_CRASHES_ON and sys.version_info >= (3, 12):
        expected = JSON_CRASHES_ON[name]
    else:
        expected = outcome(json.dumps, CASES[name]())
    assert outcome(_native.dumps, CASES[name]()) == expected


MUTATING = {"dict mutated by a child", "list grown by a child", "dict mutated by a list child",
            "dict mutated after leaving a deeper one", "dict changed by a finaliser",
            "list shrunk by a child"}


EMPTY = ()


def reachable(value):
    """The objects a document holds that no other code shares (no ints, strings, constants,
    nor the empty tuple, which the host shares everywhere)."""
    found, pending = {}, [value]
    while pending:
        item = pending.pop()
        if id(item) in found or isinstance(item, (int, str, float, type(None))) or item is EMPTY:
            continue
        found[id(item)] = item
        if issubclass(type(item), dict):
            pending += list(dict.keys(item)) + list(dict.values(item))
        elif issubclass(type(item), (list, tuple)):
            pending += list(item)
    return list(found.values())


@pytest.mark.parametrize("name", sorted(set(CASES) - MUTATING))
def test_no_reference_is_kept_or_lost(name):
    value = CASES[name]()
    objects = reachable(value)
    before = [sys.getrefcount(item) for item in objects]
    outcome(_native.dumps, value)
    assert [sys.getrefcount(item) for item in objects] == before


class PlainList(list):
    pass


class PlainDict(dict):
    pass


subclassed_documents = st.recursive(
    scalars,
    lambda children: st.one_of(
        st.lists(children, max_size=5),
        st.lists(children, max_size=5).map(PlainList),
        st.lists(children, max_size=5).map(tuple),
        st.dictionaries(keys, children, max_size=5),
        st.dictionaries(keys, children, max_size=5).map(PlainDict),
    ),
    max_leaves=16,
)


@settings(max_examples=300, deadline=None)
@given(subclassed_documents)
def test_subclasses_anywhere_keep_text_and_references(document):
    # Each subclass makes the exact dicts around it take references to their pairs, at any
    # depth and after any number of pairs written; text and reference counts must not change.
    objects = reachable(document)
    before = [sys.getrefcount(item) for item in objects]
    assert _native.dumps(document) == json.dumps(document)
    assert [sys.getrefcount(item) for item in objects] == before


# -- nesting ---------------------------------------------------------------------------------

def nested(depth, kind):
    value = []
    for _ in range(depth):
        value = [value] if kind == "list" else {"k": value}
    return value


def recursion_still_available():
    def descend(n):
        return 0 if n == 0 else 1 + descend(n - 1)
    return descend(sys.getrecursionlimit() - 100)


@pytest.mark.parametrize("kind", ["list", "dict"])
def test_deep_nesting_raises_recursion_error_and_recovers(kind):
    deep = nested(100_000, kind)
    with pytest.raises(RecursionError) as raised:
        _native.dumps(deep)
    assert str(raised.value) == "maximum recursion depth exceeded while encoding a JSON object"
    with pytest.raises(RecursionError):
        json.dumps(deep)
    assert recursion_still_available() == sys.getrecursionlimit() - 100
    shallow = nested(200, kind)
    assert _native.dumps(shallow) == json.dumps(shallow)


@pytest.mark.parametrize("kind", ["list", "dict"])
def test_nesting_within_a_raised_limit_uses_no_c_stack(kind):
    depth = 100_000
    deep = nested(depth, kind)
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(depth + 1000)
    try:
        if sys.version_info >= (3, 12):
            # From 3.12 the host bounds native nesting by a limit of its own, whatever the
            # recursion limit says; json stops there too.
            assert outcome(_native.dumps, deep) == outcome(json.dumps, deep)
            return
        text = _native.dumps(deep)
    finally:
        sys.setrecursionlimit(limit)
    # json.dumps itself would overflow the C stack here, so the text is checked by shape.
    opening = "[" if kind == "list" else '{"k": '
    closing = "]" if kind == "list" else "}"
    assert text == opening * depth + "[]" + closing * depth


@pytest.mark.parametrize("back_to", [0, 31, 32, 33, 500])
def test_circular_reference_deep_in_the_stack(back_to):
    chain = [[]]
    for _ in range(600):
        chain.append([chain[-1]])
    chain[0].append(chain[-1 - back_to])  # the innermost list refers to an outer one
    assert outcome(_native.dumps, chain[-1]) == (ValueError, "Circular reference detected")
    chain[0].pop()
    # Twice the same deep chain side by side is shared, not circular: every mark is taken off.
    twice = [chain[-1], {"again": chain[-1]}]
    assert _native.dumps(twice) == json.dumps(twice)


# -- output buffer growth --------------------------------------------------------------------

def text_of_about(size):
    """A document whose text is close to `size` bytes, in pieces that straddle growth points."""
    piece = "ab\u00e9\n" * 251  # escaped, so a piece's text is longer than the piece
    pieces = [piece] * (size // (len(json.dumps(piece)) + 2))
    return {"cells": pieces, "tail": "z" * (size % 997)}


@pytest.mark.parametrize("size", [2**16 - 5, 2**16 + 5, 2**21 - 3, 2**21 + 3, 2**25 - 7,
                                  2**25 + 7])
def test_large_texts_across_growth_steps(size, tmp_path):
    document = text_of_about(size)
    expected = json.dumps(document)
    assert_same_text(_native.dumps(document), expected)
    target = tmp_path / "large.ipynb"
    _native.dump(document, str(target))
    assert_same_text(target.read_text(encoding="ascii"), expected)
    # A failure after the buffer has been replaced by larger ones still raises json's error.
    document["tail"] = [object()]
    assert outcome(_native.dumps, document) == outcome(json.dumps, document)


# -- the editor form -------------------------------------------------------------------------

class Falsy(list):
    def __len__(self):
        return 0


def claiming(cls):
    return type("Claims" + cls.__name__, (), {"__class__": property(lambda self: cls)})()


def items_returning(*items):
    return type("ItemsOf", (dict,), {"items": lambda self: list(items)})(a=1)


EDITOR_CASES = {
    **CASES,
    "str and int keys": lambda: {"a": 1, 1: 2},
    "bytes and str keys": lambda: {b"k": 1, "ok": 2},
    "number keys sorted as numbers": lambda: {2.5: 1, -3: 2, True: 3, 10**30: 4, 0.0: 5},
    "None key alone": lambda: {None: [None]},
    "NaN keys": lambda: {float("nan"): 1, float("nan"): 2, 1.0: 3},
    "keys by code point": lambda: dict.fromkeys(["é", "e", "\U0001f600", "\uffff", "E", "ee", "",
                                                 "\x7f", "\u0100", "e\x00", "\ud800"], 0),
    "str subclass key among str": lambda: {StrStr("b"): 1, "a": 2, "c": {StrStr("x"): 3}},
    "items as lists": lambda: items_returning(["b", 1], ["a", [2]]),
    "item not iterable": lambda: items_returning(1),
    "item too short": lambda: items_returning((1,)),
    "items not comparable": lambda: items_returning(("a", 1), (2, 3)),
    "subclass that tests false": lambda: [Falsy([1, 2]), {"k": Falsy([3])}],
    **{f"value claiming {cls.__name__}": lambda cls=cls: [claiming(cls)]
       for cls in (str, int, float, list, tuple, dict)},
    **{f"key claiming {cls.__name__}": lambda cls=cls: {claiming(cls): 1}
       for cls in (str, int, float, list)},
    "characters of every range": lambda: {"k": "".join(ALPHABET), "".join(ALPHABET): 1},
}


@pytest.mark.parametrize("make", EDITOR_CASES.values(), ids=EDITOR_CASES.keys())
def test_editor_form_same_text_or_error_as_json(make):
    assert outcome(_native.dumps_editor, make()) == outcome(editor_json, make())


@settings(max_examples=300, deadline=None)
@given(subclassed_documents)
def test_editor_form_of_generated_documents(document):
    # Mixed key types make many of these fail to sort: the error must be json's too.
    objects = reachable(document)
    before = [sys.getrefcount(item) for item in objects]
    native = outcome(_native.dumps_editor, document)
    assert [sys.getrefcount(item) for item in objects] == before
    assert native == outcome(editor_json, document)


def _generated_notebooks():
    import importlib.util
    import pathlib

    from notebooks import make_cell, make_notebook

    path = pathlib.Path(__file__).resolve().parents[1] / "bench" / "notebook_gen.py"
    spec = importlib.util.spec_from_file_location("notebook_gen", path)
    generator = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(generator)
    corpus = pathlib.Path(__file__).resolve().parents[2] / "shared" / "corpus"
    yield from (pytest.param(lambda p=p: json.loads(p.read_text("utf-8")), id=p.name)
                for p in sorted(corpus.glob("**/*.ipynb")))
    yield pytest.param(lambda: generator.make_notebook(300, seed=7, output_size=3000),
                       id="generated")
    yield pytest.param(lambda: make_notebook([make_cell("a", "é", parents=["b"]), make_cell("b")],
                                             [{"name": "p", "type": "str", "value": "v"}]),
                       id="test notebook")


@pytest.mark.parametrize("make", list(_generated_notebooks()))
def test_editor_form_of_notebooks_and_file(make, tmp_path):
    document = make()
    expected = editor_json(document)
    assert_same_text(_native.dumps_editor(document), expected)
    target = tmp_path / "out.ipynb"
    target.write_text("old", encoding="utf-8")
    _native.dump_editor(document, str(target))
    assert target.read_bytes() == (expected + "\n").encode("utf-8")


@pytest.mark.parametrize("value, error", [
    ({"k": "lone \udc80"}, UnicodeEncodeError),
    ({"k": [object()]}, TypeError),
    ({"a": 1, 2: 3}, TypeError),
])
def test_editor_file_refused_leaves_the_file(value, error, tmp_path):
    target = tmp_path / "out.ipynb"
    target.write_bytes(b"old")
    with pytest.raises(error):
        _native.dump_editor(value, str(target))
    assert target.read_bytes() == b"old"
    assert [p.name for p in tmp_path.iterdir()] == ["out.ipynb"]


@pytest.mark.parametrize("kind", ["list", "dict"])
def test_editor_form_fails_at_the_same_depth_as_json(kind):
    # From 3.12 a deep document is handed to json itself, with no frame of ours in between, so
    # json is asked the same way here.
    reference = editor_json if sys.version_info < (3, 12) else functools.partial(
        json.dumps, indent=1, sort_keys=True, ensure_ascii=False)
    # The host's indenting encoder recurses in the host: find where it stops, from here.
    low, high = 1, sys.getrecursionlimit()
    while low < high:
        middle = (low + high + 1) // 2
        if outcome(reference, nested(middle, kind))[0] == "text":
            low = middle
        else:
            high = middle - 1
    for depth in (low, low + 1, 100_000):
        document = nested(depth, kind)
        assert outcome(_native.dumps_editor, document) == outcome(reference, document)
