"""The native reader against the host's json module on a generated notebook-like document.

    python3 bench/bench_read.py [--cells 4000] [--repeat 5] [--unicode-raw]

Figures are in milliseconds: the best of --repeat single calls, each after a full collection,
and the mean of --repeat calls back to back with the collector left to run as it would in a
program that reads one document after another (the reader pauses the collector while it builds
a document, which moves collection work to after the call: the back-to-back figure counts it).
With --unicode-raw the text is written with ensure_ascii=False, so non-ASCII text arrives as
UTF-8 instead of \\u escapes.
"""

import argparse
import base64
import gc
import json
import os
import random
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from vornik_git import _native  # noqa: E402

WORDS = "frame value model score sensor window mean rolling index label train predict".split()
TEXTS = ("température moyenne", "Δt = 0.5", "日本語のテキスト", "naïve café", "emoji 🚀 ok")


def make_cell(rng, index):
    lines = [f"{' '.join(rng.choices(WORDS, k=6))} = {rng.random():.6f}\n"
             for _ in range(rng.randint(1, 30))]
    if rng.random() < 0.2:
        lines.insert(0, f"# {rng.choice(TEXTS)}\n")
    cell = {"cell_type": "code", "execution_count": index, "id": f"{rng.getrandbits(64):016x}",
            "metadata": {"tags": [], "collapsed": rng.random() < 0.5}, "source": lines,
            "outputs": []}
    for _ in range(rng.randint(0, 2)):
        if rng.random() < 0.5:
            image = base64.b64encode(rng.randbytes(rng.randint(1000, 12000))).decode("ascii")
            cell["outputs"].append({"output_type": "display_data", "metadata": {},
                                    "data": {"image/png": image + "\n",
                                             "text/plain": ["<Figure size 640x480>"]}})
        else:
            cell["outputs"].append({"output_type": "stream", "name": "stdout",
                                    "text": [f"{i:5d} {rng.random():.6f} {rng.choice(TEXTS)}\n"
                                             for i in range(rng.randint(1, 60))]})
    return cell


def make_notebook(cells, seed=1):
    rng = random.Random(seed)
    return {"cells": [make_cell(rng, i) for i in range(cells)],
            "metadata": {"kernelspec": {"name": "python3", "display_name": "Python 3"}},
            "nbformat": 4, "nbformat_minor": 5}


def best(function, repeat):
    times = []
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times) * 1000


def back_to_back(function, repeat):
    gc.collect()
    result = function()
    start = time.perf_counter()
    for _ in range(repeat):
        result = function()  # the previous document is freed while the next one is built
    del result
    return (time.perf_counter() - start) / repeat * 1000


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cells", type=int, default=4000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--unicode-raw", action="store_true")
    args = parser.parse_args()

    notebook = make_notebook(args.cells)
    text = json.dumps(notebook, indent=1, ensure_ascii=not args.unicode_raw)
    data = text.encode("utf-8")
    assert _native.loads(data) == json.loads(text)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "notebook.ipynb")
        with open(path, "wb") as f:
            f.write(data)

        def json_load():
            with open(path, "r", encoding="utf-8") as f:
                return json.load(f)

        calls = {
            "json.loads(str)": lambda: json.loads(text),
            "native loads(bytes)": lambda: _native.loads(data),
            "json.load(file)": json_load,
            "native load(file)": lambda: _native.load(path),
        }
        rows = [(name, best(call, args.repeat), back_to_back(call, args.repeat))
                for name, call in calls.items()]
    print(f"{args.cells} cells, {len(data) / 1e6:.1f} MB, "
          f"{'UTF-8' if args.unicode_raw else 'ASCII-escaped'} text, python {sys.version.split()[0]}")
    print(f"  {'':22s} {'best single':>12s} {'back to back':>13s}")
    for name, single, steady in rows:
        print(f"  {name:22s} {single:9.1f} ms {steady:10.1f} ms")
    figures = {name: (single, steady) for name, single, steady in rows}
    for what, ours, theirs in (("loads", "native loads(bytes)", "json.loads(str)"),
                               ("load", "native load(file)", "json.load(file)")):
        print(f"  {what} speed-up: single {figures[theirs][0] / figures[ours][0]:.2f}x, "
              f"back to back {figures[theirs][1] / figures[ours][1]:.2f}x")


if __name__ == "__main__":
    main()
