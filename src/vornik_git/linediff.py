"""Differences of two sequences in bounded time: the lines of two sources, the characters of two
lines.

difflib's matcher reads well on ordinary cells, but its cost grows with the product of the two
lengths and worse: a 100,000-line cell edited here and there takes it tens of seconds, one long
changed line minutes. So it is used only while that product is small. Beyond, items that occur
exactly once in both versions anchor the alignment (the longest chain of them that keeps its order
in both), the common start and end of every stretch between anchors are matched, and what is left
of a stretch is aligned by Myers's greedy algorithm, which finds the fewest edits and costs little
while they are few. Each step costs about the length of the stretch it looks at; one work budget,
proportional to the length of the input, bounds them all. A stretch that the budget does not cover
is shown as replaced whole: a correct diff, only a coarser one.
"""

from __future__ import annotations

import difflib
from bisect import bisect_left
from collections import Counter
from typing import Iterator, Sequence

# Up to this product of the two lengths difflib's matcher is used as it is: a few milliseconds at
# worst, and its choices are the ones readers know from other tools.
SMALL = 40_000
# difflib's heuristic that treats very common items as junk keeps big inputs fast; below this
# total length every line takes part in the match.
_EXACT_MATCH_LIMIT = 4000
# Work units allowed per item of input, plus a floor so that short inputs always get an exact diff.
_WORK_PER_ITEM = 8
_WORK_FLOOR = 200_000

Opcode = tuple[str, int, int, int, int]


def opcodes(old: Sequence, new: Sequence) -> list[Opcode]:
    """The edits that turn ``old`` into ``new``, as difflib's ``get_opcodes`` gives them."""
    if len(old) * len(new) <= SMALL:
        matcher = difflib.SequenceMatcher(None, old, new, autojunk=len(old) + len(new) > _EXACT_MATCH_LIMIT)
        return matcher.get_opcodes()
    return _to_opcodes(matching_blocks(old, new), len(old), len(new))


def grouped(codes: list[Opcode], context: int = 3) -> Iterator[list[Opcode]]:
    """The opcodes cut into hunks with ``context`` unchanged items around each change, in the
    same way as difflib's ``get_grouped_opcodes``."""
    codes = list(codes) or [("equal", 0, 1, 0, 1)]
    if codes[0][0] == "equal":
        tag, i1, i2, j1, j2 = codes[0]
        codes[0] = tag, max(i1, i2 - context), i2, max(j1, j2 - context), j2
    if codes[-1][0] == "equal":
        tag, i1, i2, j1, j2 = codes[-1]
        codes[-1] = tag, i1, min(i2, i1 + context), j1, min(j2, j1 + context)
    group: list[Opcode] = []
    for tag, i1, i2, j1, j2 in codes:
        # An unchanged run longer than both contexts ends one hunk and starts the next.
        if tag == "equal" and i2 - i1 > 2 * context:
            group.append((tag, i1, min(i2, i1 + context), j1, min(j2, j1 + context)))
            yield group
            group = []
            i1, j1 = max(i1, i2 - context), max(j1, j2 - context)
        group.append((tag, i1, i2, j1, j2))
    if group and not (len(group) == 1 and group[0][0] == "equal"):
        yield group


def similarity(codes: list[Opcode], old_length: int, new_length: int) -> float:
    """Twice the matched items over all items, as difflib's ``ratio``."""
    total = old_length + new_length
    matched = sum(i2 - i1 for tag, i1, i2, _j1, _j2 in codes if tag == "equal")
    return 2.0 * matched / total if total else 1.0


# --- the bounded matcher -------------------------------------------------------------------


class _Budget:
    def __init__(self, units: int) -> None:
        self.left = units

    def spend(self, units: int) -> bool:
        self.left -= units
        return self.left >= 0


def matching_blocks(old: Sequence, new: Sequence) -> list[tuple[int, int, int]]:
    """Matching runs (i, j, size), in order and not adjacent to each other."""
    budget = _Budget(_WORK_PER_ITEM * (len(old) + len(new)) + _WORK_FLOOR)
    found: list[tuple[int, int, int]] = []
    stretches = [(0, len(old), 0, len(new))]
    while stretches:
        alo, ahi, blo, bhi = stretches.pop()
        start_a, start_b = alo, blo
        while alo < ahi and blo < bhi and old[alo] == new[blo]:
            alo += 1
            blo += 1
        if alo > start_a:
            found.append((start_a, start_b, alo - start_a))
        end_a = ahi
        while ahi > alo and bhi > blo and old[ahi - 1] == new[bhi - 1]:
            ahi -= 1
            bhi -= 1
        if ahi < end_a:
            found.append((ahi, bhi, end_a - ahi))
        if alo == ahi or blo == bhi or not budget.spend((ahi - alo) + (bhi - blo)):
            continue
        anchors = _anchors(old, alo, ahi, new, blo, bhi)
        if not anchors:
            found.extend(_fewest_edits(old, alo, ahi, new, blo, bhi, budget))
            continue
        next_a, next_b = alo, blo
        for i, j in anchors:
            found.append((i, j, 1))
            if i > next_a and j > next_b:
                stretches.append((next_a, i, next_b, j))
            next_a, next_b = i + 1, j + 1
        if ahi > next_a and bhi > next_b:
            stretches.append((next_a, ahi, next_b, bhi))
    found.sort()
    merged: list[tuple[int, int, int]] = []
    for i, j, size in found:
        if merged and merged[-1][0] + merged[-1][2] == i and merged[-1][1] + merged[-1][2] == j:
            merged[-1] = (merged[-1][0], merged[-1][1], merged[-1][2] + size)
        else:
            merged.append((i, j, size))
    return merged


def _anchors(old: Sequence, alo: int, ahi: int, new: Sequence, blo: int, bhi: int) -> list[tuple[int, int]]:
    """The longest chain of items unique to both stretches that keeps its order in both."""
    old_counts, new_counts = Counter(old[alo:ahi]), Counter(new[blo:bhi])
    where = {old[i]: i for i in range(alo, ahi) if old_counts[old[i]] == 1}
    pairs = [(where[new[j]], j) for j in range(blo, bhi)
             if new_counts[new[j]] == 1 and new[j] in where]
    if not pairs:
        return []
    # Patience sorting: tails[k] is the smallest old index that ends a chain of k + 1 pairs.
    tails: list[int] = []
    ends: list[int] = []  # index into pairs of the chain end behind each tail
    before = [-1] * len(pairs)
    for index, (i, _j) in enumerate(pairs):
        place = bisect_left(tails, i)
        if place:
            before[index] = ends[place - 1]
        if place == len(tails):
            tails.append(i)
            ends.append(index)
        else:
            tails[place] = i
            ends[place] = index
    chain = []
    index = ends[-1]
    while index >= 0:
        chain.append(pairs[index])
        index = before[index]
    chain.reverse()
    return chain


def _fewest_edits(old: Sequence, alo: int, ahi: int, new: Sequence, blo: int, bhi: int,
                  budget: _Budget) -> list[tuple[int, int, int]]:
    """Matching runs of a shortest edit script between the two stretches, or none when the
    budget runs out first (the stretch then reads as replaced whole)."""
    n, m = ahi - alo, bhi - blo
    # Step d looks at d + 1 diagonals; d steps cost about d * d units in all.
    limit = min(n + m, int(max(budget.left, 0) ** 0.5))
    offset = limit + 1
    furthest = [0] * (2 * limit + 3)
    trace: list[list[int]] = []
    for d in range(limit + 1):
        if not budget.spend(2 * (d + 1)):
            return []
        for k in range(-d, d + 1, 2):
            if k == -d or (k != d and furthest[offset + k - 1] < furthest[offset + k + 1]):
                x = furthest[offset + k + 1]
            else:
                x = furthest[offset + k - 1] + 1
            y = x - k
            start = x
            while x < n and y < m and old[alo + x] == new[blo + y]:
                x += 1
                y += 1
            if x - start > 64 and not budget.spend(x - start):
                return []
            furthest[offset + k] = x
            if x >= n and y >= m:
                trace.append(furthest[offset - d: offset + d + 1])
                return _walk_back(trace, n, m, alo, blo)
        trace.append(furthest[offset - d: offset + d + 1])
    return []


def _walk_back(trace: list[list[int]], x: int, y: int, alo: int, blo: int) -> list[tuple[int, int, int]]:
    """The diagonal runs of the path that ``_fewest_edits`` found, from its end back to its start."""
    blocks = []
    for d in range(len(trace) - 1, 0, -1):
        k = x - y
        previous = trace[d - 1]  # holds diagonals -(d - 1) .. d - 1

        def at(diagonal: int, previous: list[int] = previous, d: int = d) -> int:
            return previous[diagonal + d - 1]

        if k == -d or (k != d and at(k - 1) < at(k + 1)):
            prev_k = k + 1
            mid_x = at(prev_k)
        else:
            prev_k = k - 1
            mid_x = at(prev_k) + 1
        if x > mid_x:
            blocks.append((alo + mid_x, blo + mid_x - k, x - mid_x))
        x = at(prev_k)
        y = x - prev_k
    if x > 0:
        blocks.append((alo, blo, x))
    return blocks


def _to_opcodes(blocks: list[tuple[int, int, int]], old_length: int, new_length: int) -> list[Opcode]:
    codes: list[Opcode] = []
    i = j = 0
    for ai, bj, size in [*blocks, (old_length, new_length, 0)]:
        if i < ai and j < bj:
            codes.append(("replace", i, ai, j, bj))
        elif i < ai:
            codes.append(("delete", i, ai, j, bj))
        elif j < bj:
            codes.append(("insert", i, ai, j, bj))
        if size:
            codes.append(("equal", ai, ai + size, bj, bj + size))
        i, j = ai + size, bj + size
    return codes
