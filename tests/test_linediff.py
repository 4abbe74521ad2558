"""The bounded line and character diff: always a correct edit script, the fewest edits while the
budget lasts, and a whole replacement when it does not."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from vornik_git import linediff


def applied(old, new, codes):
    """``new`` rebuilt from ``old`` by the opcodes, which must tile both sequences in order."""
    rebuilt, i, j = [], 0, 0
    for tag, i1, i2, j1, j2 in codes:
        assert (i1, j1) == (i, j) and tag in ("equal", "replace", "delete", "insert")
        if tag == "equal":
            assert list(old[i1:i2]) == list(new[j1:j2])
        rebuilt.extend(new[j1:j2])
        i, j = i2, j2
    assert (i, j) == (len(old), len(new))
    return rebuilt


def common_length(old, new):
    row = [0] * (len(new) + 1)
    for item in old:
        previous, row = row, [0]
        for j, other in enumerate(new):
            row.append(previous[j] + 1 if item == other else max(previous[j + 1], row[-1]))
    return row[-1]


LONG_LINE = ",".join(str(n * 7919 % 1009) for n in range(40_000))
items = st.lists(st.sampled_from("aabcd\n"), max_size=40)


@settings(max_examples=400, deadline=None)
@given(items, items)
def test_the_bounded_matcher_finds_a_longest_common_subsequence(old, new):
    codes = linediff._to_opcodes(linediff.matching_blocks(old, new), len(old), len(new))
    assert applied(old, new, codes) == list(new)
    blocks = linediff._fewest_edits(old, 0, len(old), new, 0, len(new), linediff._Budget(10**6))
    assert sum(size for _i, _j, size in blocks) == common_length(old, new)


@pytest.mark.parametrize("old, new, replaced_whole", [
    # every line unique: anchored, each edit its own small hunk
    ([f"v{n}\n" for n in range(50_000)], [f"w{n}\n" if n % 100 == 7 else f"v{n}\n" for n in range(50_000)], False),
    # one long line with scattered edits, compared character by character
    (LONG_LINE, "".join("x" if n % 997 == 0 else c for n, c in enumerate(LONG_LINE)), False),
    # two unrelated long texts: beyond the budget, one replacement
    ("".join(chr(97 + (n * 7919) % 23) for n in range(150_000)),
     "".join(chr(97 + (n * 104729) % 19) for n in range(150_000)), True),
], ids=["lines", "long line", "unrelated"])
def test_large_inputs_get_a_correct_diff(old, new, replaced_whole):
    codes = linediff.opcodes(old, new)
    assert "".join(applied(old, new, codes)) == "".join(new)
    changed = [code for code in codes if code[0] != "equal"]
    if replaced_whole:
        assert len(changed) == 1
    else:
        # each edit stays local: at most a neighbouring item changes with it
        edits = sum(1 for a, b in zip(old, new) if a != b)
        assert edits <= len(changed) and sum(i2 - i1 for _tag, i1, i2, _j1, _j2 in changed) <= 2 * edits
