"""Generated notebooks for benchmarks: canvas cells with realistic sources, parent links,
comments, outputs (text streams, tables, base64 images) and notebook parameters."""

import base64
import json
import random
from typing import Any, Dict, List

WORDS = ("frame value model score threshold sensor window mean rolling index label train "
         "predict fit drop merge group series plot axis metric batch epoch").split()
UNICODE = ("température", "Δt", "日本語のテキスト", "naïve café", "emoji 🚀 ok", "σ²")


def _line(rng: random.Random) -> str:
    words = rng.choices(WORDS, k=rng.randint(2, 9))
    return f"{words[0]} = {'.'.join(words[1:])}({rng.randint(0, 999)}, {rng.random():.4f})\n"


def make_source(rng: random.Random, lines: int) -> List[str]:
    source = [_line(rng) for _ in range(lines)]
    if rng.random() < 0.2:
        source.insert(0, f"# {rng.choice(UNICODE)}\n")
    source[-1] = source[-1].rstrip("\n")
    return source


def make_output(rng: random.Random, size: int) -> Dict[str, Any]:
    kind = rng.random()
    if kind < 0.5:
        payload = base64.b64encode(rng.randbytes(size * 3 // 4)).decode("ascii")
        return {"output_type": "display_data", "metadata": {},
                "data": {"image/png": payload + "\n", "text/plain": ["<Figure size 640x480>"]}}
    if kind < 0.8:
        rows = max(1, size // 60)
        return {"output_type": "stream", "name": "stdout",
                "text": [f"{i:5d} {rng.random():.6f} {rng.choice(WORDS)}\n" for i in range(rows)]}
    rows = max(1, size // 120)
    html = "".join(f"<tr><td>{i}</td><td>{rng.random():.5f}</td><td>{rng.choice(UNICODE)}</td></tr>\n"
                   for i in range(rows))
    return {"output_type": "execute_result", "execution_count": rng.randint(1, 99), "metadata": {},
            "data": {"text/html": ["<table>\n", html, "</table>"], "text/plain": ["table"]}}


def make_cell(rng: random.Random, index: int, ids: List[str], output_size: int) -> Dict[str, Any]:
    cell_id = f"{rng.getrandbits(64):016x}-{index}"
    canvas: Dict[str, Any] = {"id": cell_id, "name": f"step_{index}" if rng.random() < 0.8 else ""}
    if ids:
        parents = rng.sample(ids[-20:], k=min(len(ids[-20:]), rng.randint(0, 3)))
        canvas["parents"] = [{"id": p, "name": f"step_{p.rsplit('-', 1)[1]}"} for p in parents]
    if rng.random() < 0.3:
        canvas["headerColor"] = rng.choice(["#3572A5", "#F1E05A", "#89E051"])
    if rng.random() < 0.1:
        canvas["comments"] = [{"author": "ana", "text": rng.choice(UNICODE)}]
    ids.append(cell_id)
    if rng.random() < 0.1:
        return {"cell_type": "markdown", "metadata": {"canvas": canvas},
                "source": [f"## {rng.choice(UNICODE)}\n", "Some notes.\n"]}
    outputs = [make_output(rng, output_size)] if output_size else []
    return {"cell_type": "code", "execution_count": rng.randint(1, 500),
            "metadata": {"canvas": canvas, "collapsed": False}, "outputs": outputs,
            "source": make_source(rng, rng.randint(1, 25))}


def make_notebook(cells: int, *, seed: int = 1, output_fraction: float = 0.3,
                  output_size: int = 8_000, parameters: int = 50) -> Dict[str, Any]:
    rng = random.Random(seed)
    ids: List[str] = []
    notebook_cells = [
        make_cell(rng, i, ids, output_size if rng.random() < output_fraction else 0)
        for i in range(cells)
    ]
    params = [{"name": f"param_{i}", "type": rng.choice(["str", "int", "float"]),
               "value": str(rng.randint(0, 1000))} for i in range(parameters)]
    return {
        "cells": notebook_cells,
        "metadata": {"canvas": {"parameters": params},
                     "kernelspec": {"display_name": "Python 3", "language": "python",
                                    "name": "python3"},
                     "language_info": {"name": "python", "version": "3.11.7"}},
        "nbformat": 4,
        "nbformat_minor": 5,
    }


def mutate_notebook(notebook: Dict[str, Any], *, seed: int = 2, source_fraction: float = 0.3,
                    parent_fraction: float = 0.2, removed_fraction: float = 0.02,
                    added_fraction: float = 0.02, parameter_fraction: float = 0.3) -> Dict[str, Any]:
    """A later version of `notebook` (which is left as it is): about `source_fraction` of its code
    cells with an edited source and `parent_fraction` with a parent link dropped, added or
    renamed, some code cells removed and new ones added, and about `parameter_fraction` of its
    parameters changed in value (a few in type only), a few removed and a few added."""
    rng = random.Random(seed)
    result = json.loads(json.dumps(notebook))
    ids = [cell["metadata"]["canvas"]["id"] for cell in result["cells"]]
    cells = []
    for index, cell in enumerate(result["cells"]):
        if cell["cell_type"] == "code":
            if rng.random() < removed_fraction:
                continue
            canvas = cell["metadata"]["canvas"]
            if rng.random() < source_fraction:
                source = cell["source"]
                line = rng.randrange(len(source))
                if rng.random() < 0.5:
                    source[line] = _line(rng)
                else:
                    source.insert(line, _line(rng))
            if rng.random() < parent_fraction:
                parents = canvas.setdefault("parents", [])
                choice = rng.random()
                if parents and choice < 0.4:
                    parents.pop(rng.randrange(len(parents)))
                elif parents and choice < 0.6:
                    parents[0] = {"id": parents[0]["id"], "name": parents[0]["name"] + "_renamed"}
                elif index > 0:
                    parent = rng.choice(ids[max(0, index - 20):index])
                    parents.append({"id": parent, "name": f"step_{parent.rsplit('-', 1)[1]}"})
            if rng.random() < added_fraction:
                new = make_cell(rng, len(ids), ids, 0)
                new["cell_type"] = "code"
                new.setdefault("source", ["pass"])
                cells.append(new)
        cells.append(cell)
    result["cells"] = cells
    parameters = []
    for parameter in result["metadata"]["canvas"]["parameters"]:
        choice = rng.random()
        if choice < 0.03:
            continue
        if choice < parameter_fraction:
            parameter["value"] = str(rng.randint(1001, 2000))
        elif choice < parameter_fraction + 0.05:
            parameter["type"] = rng.choice(["str", "int", "float"])
        parameters.append(parameter)
    for i in range(max(1, len(parameters) // 30)):
        parameters.append({"name": f"new_param_{i}", "type": "str", "value": str(rng.random())})
    result["metadata"]["canvas"]["parameters"] = parameters
    return result
