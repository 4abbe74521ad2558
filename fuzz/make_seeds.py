"""Writes the seed corpora in fuzz/corpus/ (run from the repository root). The seeds are small
generated notebook triples, the example notebooks and a few hand-made corner cases; the fuzzers
grow their own corpora from them under build/fuzz/."""

import json
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "bench"), str(ROOT / "tests")]

import notebook_gen  # noqa: E402
from notebooks import make_cell, make_notebook  # noqa: E402


def triples():
    examples = [json.loads((ROOT / "examples" / f"{n}.ipynb").read_text(encoding="utf-8"))
                for n in ("base", "current", "incoming")]
    yield "examples", examples
    for seed in range(6):
        base = notebook_gen.make_notebook(3 + seed, seed=seed, output_fraction=0.2,
                                          output_size=100, parameters=3)
        current = notebook_gen.mutate_notebook(base, seed=100 + seed, source_fraction=0.5,
                                               removed_fraction=0.1, added_fraction=0.1)
        incoming = notebook_gen.mutate_notebook(base, seed=200 + seed, source_fraction=0.5,
                                                removed_fraction=0.1, added_fraction=0.1)
        yield f"generated-{seed}", [base, current, incoming]
    a, b, c = (make_cell(i, f"n{i}", parents=[x for x in "abc" if x < i]) for i in "abc")
    p = {"name": "p", "type": "str", "value": "1"}
    yield "both-add-one-id", [make_notebook([a]), make_notebook([a, b]), make_notebook([a, b])]
    yield "duplicate-ids", [make_notebook([a, b]), make_notebook([a, a, b]), make_notebook([b, b])]
    changed = make_cell("a", "n", source=["x = 2\n", "y\n"])
    other = make_cell("a", "n", source=["x = 3\n", "y\n"], headerColor="#fff")
    yield "source-conflict", [make_notebook([a, c], [p]), make_notebook([changed, c], [p]),
                              make_notebook([other], [dict(p, value="2")])]
    text_source = dict(a, source="x = 1\ny = 2")
    yield "string-source", [make_notebook([a]), make_notebook([text_source]), make_notebook([a])]
    yield "no-parameters", [{"cells": [a]}, {"cells": [a], "metadata": {}}, make_notebook([a])]


def main():
    drivers = ROOT / "fuzz" / "corpus" / "drivers"
    reader = ROOT / "fuzz" / "corpus" / "reader"
    for directory in (drivers, reader):
        directory.mkdir(parents=True, exist_ok=True)
    for name, triple in triples():
        # The four header bytes select the edits the target makes; zero means none.
        (drivers / f"{name}.bin").write_bytes(bytes(4) + json.dumps(triple).encode("ascii"))
    for name in ("base", "current"):
        (reader / f"example-{name}.ipynb").write_bytes((ROOT / "examples" / f"{name}.ipynb").read_bytes())
    snippets = {
        "scalars": '[NaN, -Infinity, 1e400, -0.0, 0.1, 12345678901234567890, true, null, ""]',
        "escapes": '{"a\\u0062": "\\ud83d\\ude80\\ud800\\n\\"\\\\\\/\\t", "\u00e9": "\u65e5", "a": {}}',
        "nested": "[" * 40 + "{}" + "]" * 40,
        "crlf": '{\r\n "cells": [\r\n  1,\r\n  2\r\n ],\r "x": 1.5e-7\r}',
        "errors": '{"a": [1, 2,, "\\x"]',
    }
    for name, text in snippets.items():
        (reader / f"{name}.json").write_text(text, encoding="utf-8")


if __name__ == "__main__":
    main()
