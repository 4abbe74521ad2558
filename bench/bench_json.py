"""Reading and writing a large generated notebook: the native reader and writer against the
host's json module (and orjson, when installed, as an outside reference).

    python3 bench/bench_json.py [--cells 5000] [--output-size 10000] [--repeat 5]

Every figure is the best of --repeat runs, in milliseconds, each after a full collection. The
reader pauses the cyclic collector while it builds a document, which moves collection work to
after the call; the "back to back" read figures (mean of --repeat calls in a row, the collector
running as it would in a program that reads one document after another) count that work. The
written text is checked to be byte-identical to json.dumps before anything is timed.
"""

import argparse
import gc
import json
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from notebook_gen import make_notebook  # noqa: E402

from vornik_git import _native  # noqa: E402

try:
    import orjson
except ImportError:  # optional reference
    orjson = None


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
    parser.add_argument("--cells", type=int, default=5000)
    parser.add_argument("--output-size", type=int, default=11500)
    parser.add_argument("--output-fraction", type=float, default=0.4)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    notebook = make_notebook(args.cells, output_size=args.output_size,
                             output_fraction=args.output_fraction)
    text = json.dumps(notebook)
    data = text.encode("ascii")
    assert _native.dumps(notebook) == text, "writer output differs from json.dumps"
    assert _native.loads(data) == json.loads(text), "reader result differs from json.loads"

    def editor_json():
        return json.dumps(notebook, indent=1, sort_keys=True, ensure_ascii=False)

    assert _native.dumps_editor(notebook) == editor_json(), "editor form differs from json.dumps"

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "notebook.ipynb")
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        print(f"notebook: {args.cells} cells, {len(data) / 1e6:.1f} MB, python {sys.version.split()[0]}")

        def json_load():
            with open(path, "r", encoding="utf-8") as f:
                return json.load(f)

        def json_dump():
            with open(path, "w", encoding="utf-8") as f:
                json.dump(notebook, f)

        def native_write_bytes():
            with open(path, "wb") as f:
                f.write(_native.dumps(notebook).encode("ascii"))

        def json_dump_editor():
            with open(path, "w", encoding="utf-8") as f:
                f.write(editor_json() + "\n")

        rows = [
            ("read", "json.loads(str)", best(lambda: json.loads(text), args.repeat)),
            ("read", "json.load(file)", best(json_load, args.repeat)),
            ("read", "native loads(bytes)", best(lambda: _native.loads(data), args.repeat)),
            ("read", "native load(file)", best(lambda: _native.load(path), args.repeat)),
            ("read", "json.loads(str), back to back", back_to_back(lambda: json.loads(text), args.repeat)),
            ("read", "native loads, back to back", back_to_back(lambda: _native.loads(data), args.repeat)),
            ("write", "json.dumps", best(lambda: json.dumps(notebook), args.repeat)),
            ("write", "json.dump(file)", best(json_dump, args.repeat)),
            ("write", "native dumps", best(lambda: _native.dumps(notebook), args.repeat)),
            ("write", "native dumps + plain file write", best(native_write_bytes, args.repeat)),
            ("write", "native dump(file), atomic + fsync",
             best(lambda: _native.dump(notebook, path), args.repeat)),
            ("editor", "json.dumps(indent=1, sort_keys)", best(editor_json, args.repeat)),
            ("editor", "json.dumps(...) + file write", best(json_dump_editor, args.repeat)),
            ("editor", "native dumps_editor", best(lambda: _native.dumps_editor(notebook), args.repeat)),
            ("editor", "native dump_editor(file), atomic + fsync",
             best(lambda: _native.dump_editor(notebook, path), args.repeat)),
        ]
        if orjson is not None:
            rows.append(("read", "orjson.loads(bytes)", best(lambda: orjson.loads(data), args.repeat)))
            rows.append(("write", "orjson.dumps (other text form)",
                         best(lambda: orjson.dumps(notebook), args.repeat)))

    for kind, name, ms in rows:
        print(f"{kind:6s} {name:38s} {ms:9.1f} ms")
    figures = {name: ms for _, name, ms in rows}
    print()
    print(f"read:  native load(file) vs json.load(file)   {figures['json.load(file)'] / figures['native load(file)']:.2f}x")
    print(f"read:  native loads vs json.loads             {figures['json.loads(str)'] / figures['native loads(bytes)']:.2f}x")
    print(f"read:  the same, back to back                 {figures['json.loads(str), back to back'] / figures['native loads, back to back']:.2f}x")
    print(f"write: native dumps vs json.dumps             {figures['json.dumps'] / figures['native dumps']:.2f}x")
    print(f"write: native dump(file) vs json.dump(file)   {figures['json.dump(file)'] / figures['native dump(file), atomic + fsync']:.2f}x")
    print(f"editor: native dumps_editor vs json.dumps     {figures['json.dumps(indent=1, sort_keys)'] / figures['native dumps_editor']:.2f}x")
    print(f"editor: native dump_editor vs json + write    {figures['json.dumps(...) + file write'] / figures['native dump_editor(file), atomic + fsync']:.2f}x")


if __name__ == "__main__":
    main()
