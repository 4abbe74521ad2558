"""Notebook documents for the merge and diff tests."""

import json


def make_cell(cell_id, name="", source=("x = 1\n",), parents=None, cell_type="code", **extra):
    """A canvas cell; `extra` keys go into the canvas, except outputs and execution_count."""
    canvas = {"id": cell_id, "name": name}
    if parents is not None:
        canvas["parents"] = [{"id": parent, "name": f"name of {parent}"} for parent in parents]
    outputs = extra.pop("outputs", [])
    execution_count = extra.pop("execution_count", None)
    canvas.update(extra)
    cell = {"cell_type": cell_type, "metadata": {"canvas": canvas}, "source": list(source)}
    if cell_type == "code":
        cell["execution_count"] = execution_count
        cell["outputs"] = outputs
    return cell


def make_notebook(cells, parameters=()):
    return {
        "cells": list(cells),
        "metadata": {"canvas": {"parameters": [dict(p) for p in parameters]},
                     "kernelspec": {"name": "python3"}},
        "nbformat": 4,
        "nbformat_minor": 5,
    }


class Merger:
    """Writes notebook triples to files and runs the merge on them."""

    def __init__(self, directory):
        self.directory = directory

    def paths(self, base, current, incoming):
        paths = []
        for label, document in (("base", base), ("current", current), ("incoming", incoming)):
            path = self.directory / f"{label}.ipynb"
            path.write_text(document if isinstance(document, str) else json.dumps(document, indent=1),
                            encoding="utf-8")
            paths.append(str(path))
        return paths

    def __call__(self, base, current, incoming, file_path="nb.ipynb"):
        from vornik_git.drivers import nbweave

        base_path, current_path, incoming_path = self.paths(base, current, incoming)
        nbweave.merge_files(base_path, current_path, incoming_path, file_path)
        text = (self.directory / "current.ipynb").read_text(encoding="utf-8")
        merged = json.loads(text)
        assert text == json.dumps(merged), "not in the notebook's one-line text form"
        return merged


def names(document):
    return [cell["metadata"]["canvas"].get("name") for cell in document["cells"]]


def sources(document):
    return ["".join(cell["source"]) for cell in document["cells"]]
