"""diff_dicts on two large notebook versions, against the least that the host language needs
for the same job (the floor): the code cells of both versions indexed by canvas id, a one-level
copy (dict(cell)) of every one of them, and a unified diff (difflib.unified_diff, fully consumed)
of the source of every code cell present in both versions.

    PYTHONPATH=src python3 bench/bench_diff.py [--code-cells 5000] [--parameters 500] [--repeat 7]

(after an in-place build with ./tools/dev_build.sh; without PYTHONPATH after `pip install .`).

The later version has about 30% of its code cells' sources edited and 20% with a parent link
dropped, added or renamed, a few code cells removed and added, and about 30% of its parameters
changed. diff_dicts writes its marks into the documents it is given, so every run gets fresh
copies, made outside the timed region. Figures are the best of --repeat runs, in milliseconds,
each after a full collection. The last line times diff_dicts with the module's Cell replaced by
a subclass that changes nothing, which makes it go through the members of every record.
"""

import argparse
import difflib
import gc
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from notebook_gen import make_notebook, mutate_notebook  # noqa: E402

from vornik_git import _native  # noqa: E402
from vornik_git.drivers import nbdelta  # noqa: E402


def code_cells(notebook, count):
    """`notebook` cut after its `count`-th code cell."""
    seen = 0
    for index, cell in enumerate(notebook["cells"]):
        seen += cell["cell_type"] == "code"
        if seen == count:
            notebook["cells"] = notebook["cells"][: index + 1]
            return notebook
    raise ValueError(f"only {seen} code cells generated")


def best(function, prepare, repeat):
    times = []
    for _ in range(repeat):
        arguments = prepare()
        gc.collect()
        start = time.perf_counter()
        function(*arguments)
        times.append(time.perf_counter() - start)
        del arguments
    return min(times) * 1000


def clone(document):
    return _native.loads(_native.dumps(document).encode("ascii"))


def index(document):
    return {cell["metadata"]["canvas"]["id"]: cell
            for cell in document.get("cells", []) if cell["cell_type"] == "code"}


def floor_copies(prev, current):
    return [dict(cell) for cell in index(prev).values()] + [dict(cell) for cell in index(current).values()]


def floor_diffs(prev, current):
    previous = index(prev)
    return [list(difflib.unified_diff(previous[key]["source"], cell["source"]))
            for key, cell in index(current).items() if key in previous]


def floor(prev, current):
    previous, now = index(prev), index(current)
    copies = [dict(cell) for cell in previous.values()] + [dict(cell) for cell in now.values()]
    diffs = [list(difflib.unified_diff(previous[key]["source"], cell["source"]))
             for key, cell in now.items() if key in previous]
    return copies, diffs


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--code-cells", type=int, default=5000)
    parser.add_argument("--parameters", type=int, default=500)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()

    prev = code_cells(make_notebook(args.code_cells * 10 // 9 + 200, parameters=args.parameters),
                      args.code_cells)
    current = mutate_notebook(prev)
    previous_ids, current_ids = index(prev), index(current)
    both = sum(key in previous_ids for key in current_ids)
    changed = sum(key in previous_ids and previous_ids[key]["source"] != cell["source"]
                  for key, cell in current_ids.items())
    print(f"prev: {len(previous_ids)} code cells, current: {len(current_ids)}, in both: {both}, "
          f"source changed: {changed}; parameters {len(prev['metadata']['canvas']['parameters'])}"
          f" / {len(current['metadata']['canvas']['parameters'])}; python {sys.version.split()[0]}")

    pair = lambda: (clone(prev), clone(current))  # noqa: E731
    copies = best(floor_copies, pair, args.repeat)
    diffs = best(floor_diffs, pair, args.repeat)
    whole = best(floor, pair, args.repeat)
    native = best(nbdelta.diff_dicts, pair, args.repeat)

    class SameCell(nbdelta.Cell):
        pass

    stock = nbdelta.Cell
    nbdelta.Cell = SameCell
    try:
        members = best(nbdelta.diff_dicts, pair, args.repeat)
    finally:
        nbdelta.Cell = stock

    print(f"floor: index + dict(cell) of every code cell    {copies:8.1f} ms")
    print(f"floor: index + list(unified_diff) of each pair  {diffs:8.1f} ms")
    print(f"floor: all of it, indexing once                 {whole:8.1f} ms")
    print(f"diff_dicts                                      {native:8.1f} ms")
    print(f"diff_dicts vs the floor                         {whole / native:8.1f}x")
    print(f"diff_dicts through the members (Cell replaced)  {members:8.1f} ms "
          f"({whole / members:.1f}x)")


if __name__ == "__main__":
    main()
