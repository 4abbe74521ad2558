"""The comments merge of `merge_files` on one cell whose comment lists are long on both sides.

    python3 bench/bench_comments.py [--comments N ...] [--repeat N]

Base holds one named cell with N comments; current edits its source and appends N new comments;
incoming appends N other comments and leaves the source alone, so that the merge takes
incoming's comments into current's cell: N + N comments already there, N incoming ones to find
or add. Best and median wall-clock milliseconds of `merge_files` on fresh copies (copied outside
the timing). Runs against the installed package (or `PYTHONPATH=src` after an in-place build).
"""

import argparse
import copy
import gc
import json
import os
import shutil
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from notebooks import make_cell, make_notebook  # noqa: E402
from vornik_git.drivers import nbweave  # noqa: E402


def comment(side: str, index: int) -> dict:
    return {"author": f"{side}{index % 7}", "text": f"note {index} from {side}", "id": index}


def write_triple(directory: str, count: int) -> dict:
    base_comments = [comment("base", i) for i in range(count)]
    base = make_notebook([make_cell("c0", "load", comments=base_comments)])
    current = copy.deepcopy(base)
    current["cells"][0]["source"] = ["y = 2\n"]
    current["cells"][0]["metadata"]["canvas"]["comments"] += [comment("cur", i) for i in range(count)]
    incoming = copy.deepcopy(base)
    incoming["cells"][0]["metadata"]["canvas"]["comments"] += [comment("inc", i) for i in range(count)]
    paths = {}
    for label, document in (("base", base), ("current", current), ("incoming", incoming)):
        paths[label] = os.path.join(directory, f"{label}.ipynb")
        with open(paths[label], "w", encoding="utf-8") as file:
            json.dump(document, file)
    return paths


def run(count: int, repeat: int) -> tuple:
    with tempfile.TemporaryDirectory() as directory:
        source = write_triple(directory, count)
        seconds = []
        for _ in range(repeat):
            run_dir = tempfile.mkdtemp(dir=directory)
            paths = {k: shutil.copy(v, run_dir) for k, v in source.items()}
            gc.collect()
            start = time.perf_counter()
            nbweave.merge_files(paths["base"], paths["current"], paths["incoming"], "nb.ipynb")
            seconds.append(time.perf_counter() - start)
        with open(paths["current"], encoding="utf-8") as file:
            merged = json.load(file)["cells"][0]["metadata"]["canvas"]["comments"]
        assert len(merged) == 3 * count, len(merged)
    return min(seconds) * 1e3, statistics.median(seconds) * 1e3


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--comments", type=int, nargs="+", default=[1000, 16000])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    print(f"{'comments per side':>18} {'best ms':>10} {'median ms':>10}")
    for count in args.comments:
        best, median = run(count, args.repeat)
        print(f"{count:>18} {best:>10.1f} {median:>10.1f}")


if __name__ == "__main__":
    main()
