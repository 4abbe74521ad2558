"""Times the native document writer against the host's json module on a generated notebook.

    python3 bench/bench_writer.py [--megabytes 20] [--repeat 5] [--dir DIR]

Prints the best of `repeat` runs for: json.dumps vs _native.dumps (text in memory), and
json.dump into an open file vs _native.dump (atomic replace, including its fsyncs) in DIR,
with the time of writing the finished bytes alone for scale.
"""

import argparse
import base64
import json
import os
import random
import sys
import tempfile
import timeit

# Runs against the working tree's build (tools/dev_build.sh), like the tests.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))
from vornik_git import _native  # noqa: E402

WORDS = ["import", "numpy", "as", "np", "def", "return", "x", "=", "plot(", ")", "for", "in",
         "range(10):", "# comment", "données", "température", "Größe", "数据", "λ", "→", "✓",
         "print(f'{value:.3f}')", '"quoted"', "path\\to\\file", "\ttabbed"]


def make_notebook(megabytes, seed=0):
    rng = random.Random(seed)
    cells = []
    size = 0
    index = 0
    while size < megabytes * 1_000_000:
        index += 1
        source = [" ".join(rng.choice(WORDS) for _ in range(rng.randrange(3, 12))) + "\n"
                  for _ in range(rng.randrange(1, 30))]
        if rng.random() < 0.3:
            cells.append({"cell_type": "markdown", "id": f"m{index:06d}", "metadata": {},
                          "source": source})
            size += sum(map(len, source))
            continue
        outputs = []
        if rng.random() < 0.5:
            text = [f"step {i}: loss={rng.random():.6f} ✓\n" for i in range(rng.randrange(1, 40))]
            outputs.append({"name": "stdout", "output_type": "stream", "text": text})
            size += sum(map(len, text))
        if rng.random() < 0.3:
            png = base64.b64encode(rng.randbytes(rng.randrange(2_000, 60_000))).decode()
            outputs.append({"data": {"image/png": png, "text/plain": ["<Figure size 640x480>"]},
                            "execution_count": index, "metadata": {"needs_background": "light"},
                            "output_type": "execute_result"})
            size += len(png)
        cells.append({"cell_type": "code", "execution_count": index, "id": f"c{index:06d}",
                      "metadata": {"tags": ["parameters"] if index % 17 == 0 else [],
                                   "scrolled": rng.random() < 0.5, "ratio": rng.random()},
                      "outputs": outputs, "source": source})
        size += sum(map(len, source)) + 200
    return {"cells": cells, "metadata": {"kernelspec": {"display_name": "Python 3",
                                                        "language": "python", "name": "python3"}},
            "nbformat": 4, "nbformat_minor": 5}


def best(stmt, repeat):
    return min(timeit.repeat(stmt, number=1, repeat=repeat))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--megabytes", type=float, default=20)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--dir", default=None)
    args = parser.parse_args()

    notebook = make_notebook(args.megabytes)
    text = json.dumps(notebook)
    if _native.dumps(notebook) != text:
        raise SystemExit("native text differs from json.dumps")
    print(f"document: {len(notebook['cells'])} cells, {len(text) / 1e6:.1f} MB of text")

    host = best(lambda: json.dumps(notebook), args.repeat)
    native = best(lambda: _native.dumps(notebook), args.repeat)
    print(f"dumps: json {host * 1e3:8.1f} ms   native {native * 1e3:8.1f} ms   "
          f"x{host / native:.1f}")

    with tempfile.TemporaryDirectory(dir=args.dir) as directory:
        path = os.path.join(directory, "notebook.ipynb")

        def host_dump():
            with open(path, "w") as stream:
                json.dump(notebook, stream)

        host = best(host_dump, args.repeat)
        native = best(lambda: _native.dump(notebook, path), args.repeat)
        with open(path) as stream:
            if stream.read() != text:
                raise SystemExit("native file differs from json.dumps")
        encoded = text.encode()

        def bytes_only():
            with open(path, "wb") as stream:
                stream.write(encoded)

        floor = best(bytes_only, args.repeat)
        print(f"file:  json {host * 1e3:8.1f} ms   native {native * 1e3:8.1f} ms   "
              f"x{host / native:.1f}   (native includes fsync of file and directory)")
        print(f"floor: writing the already encoded bytes with open/write, no fsync: "
              f"{floor * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
