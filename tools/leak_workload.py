"""The workload of `tools/sanitize.sh --leaks`: merges and diffs, successful and failing, each
repeated ROUNDS times in one process (ROUNDS from the command line). LeakSanitizer reports at
exit what was never freed; the host itself leaves objects behind at exit by design, so the
script that runs this compares two round counts: a leak in the call grows with the rounds,
what the host or a module keeps once does not."""

import copy
import json
import os
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))

from notebooks import make_cell, make_notebook  # noqa: E402
from vornik_git import _native  # noqa: E402
from vornik_git.drivers import nbdelta, nbweave  # noqa: E402


def documents():
    cells = [make_cell(f"c{i}", f"step {i}", [f"x{i} = {j}\n" for j in range(4)],
                       parents=[f"c{i - 1}"] if i else None) for i in range(12)]
    base = make_notebook(cells, [{"name": f"p{i}", "type": "int", "value": str(i)} for i in range(4)])
    current, incoming = copy.deepcopy(base), copy.deepcopy(base)
    current["cells"][1]["source"][0] = "a = 'current'\n"
    incoming["cells"][1]["source"][3] = "a = 'incoming'\n"
    current["cells"][2]["source"][0] = "b = 'current'\n"
    incoming["cells"][2]["source"][0] = "b = 'incoming'\n"
    incoming["metadata"]["canvas"]["parameters"][1]["value"] = "9"
    del current["cells"][5]
    incoming["cells"].append(make_cell("new", "new"))
    return base, current, incoming


def main():
    rounds = int(sys.argv[1])
    base, current, incoming = documents()
    broken = {
        "bad-json": '{"cells": [',
        "missing-id": json.dumps({"cells": [{"metadata": {"canvas": {}}}]}),
        "cells-not-list": json.dumps({"cells": 3, "metadata": {"canvas": {"parameters": []}}}),
    }
    with tempfile.TemporaryDirectory() as directory:
        def path(name):
            return os.path.join(directory, name)

        for name, document in (("base", base), ("incoming", incoming)):
            with open(path(name), "w", encoding="utf-8") as f:
                json.dump(document, f)
        current_text = json.dumps(current)
        for _ in range(rounds):
            with open(path("current"), "w", encoding="utf-8") as f:
                f.write(current_text)
            nbweave.merge_files(path("base"), path("current"), path("incoming"), "nb.ipynb")
            for text in broken.values():
                with open(path("current"), "w", encoding="utf-8") as f:
                    f.write(text)
                try:
                    nbweave.merge_files(path("base"), path("current"), path("incoming"), "nb.ipynb")
                except (ValueError, KeyError, TypeError):
                    pass
            saved = os.environ["PATH"]
            os.environ["PATH"] = path("no-git")
            with open(path("current"), "w", encoding="utf-8") as f:
                f.write(current_text)
            try:
                nbweave.merge_files(path("base"), path("current"), path("incoming"), "nb.ipynb")
            except nbweave.git.GitCommandNotFound:
                pass
            os.environ["PATH"] = saved
            nbdelta.diff_dicts(copy.deepcopy(base), copy.deepcopy(current))
            try:
                nbdelta.diff_dicts(copy.deepcopy(base), {"cells": [{"cell_type": "code"}]})
            except KeyError:
                pass
            _native.dumps(_native.loads(current_text.encode()))
            for text in broken.values():
                try:
                    _native.loads(text.encode())
                except ValueError:
                    pass


if __name__ == "__main__":
    main()
