"""What a merge left in notebooks for the user to resolve: cells and parameters kept in two
variants or in one marked variant, conflict blocks in cell sources, and notebooks that git still
holds as unmerged.

The merge marks a variant by a prefix on its name: "<<< " for the current branch's, ">>> " for
the incoming branch's. Both prefixes of one name mean both variants were kept; one alone means the
other branch deleted what this one changed.
"""

from __future__ import annotations

import os
from typing import Any

from .notebooktext import ViewError, visible

CURRENT, INCOMING = "<<< ", ">>> "
_BLOCK = "<<<<<<< "


def _mapping(value: Any) -> dict:
    return value if isinstance(value, dict) else {}


def _variant_note(name: str, others: dict[str, str]) -> str:
    """What the marked ``name`` is: one of two variants, or the only one left."""
    mine, theirs = (CURRENT, INCOMING) if name.startswith(CURRENT) else (INCOMING, CURRENT)
    counterpart = theirs + name[len(mine):]
    side = "current's" if mine == CURRENT else "incoming's"
    if counterpart in others:
        other_side = "incoming's" if mine == CURRENT else "current's"
        return f"kept in two variants, {side} ({other_side}: {others[counterpart]})"
    deleter = "incoming" if mine == CURRENT else "current"
    return f"kept as '{visible(name)}' only: {deleter} deleted it"


def _source_blocks(source: Any) -> int:
    lines = source.splitlines() if isinstance(source, str) else source if isinstance(source, list) else []
    return sum(1 for line in lines if isinstance(line, str) and line.startswith(_BLOCK))


def notebook_conflicts(document: Any) -> list[str]:
    """The conflicts left in one notebook document, one line each, user text escaped."""
    if not isinstance(document, dict) or not isinstance(document.get("cells", []), list):
        raise ViewError("not a notebook")
    cells = []
    for index, cell in enumerate(document.get("cells", []), 1):
        canvas = _mapping(_mapping(_mapping(cell).get("metadata")).get("canvas"))
        name = canvas.get("name") if isinstance(canvas.get("name"), str) else ""
        cell_id = canvas.get("id", "?")
        label = f"cell {index} '{visible(name or '(unnamed)')}' [{visible(str(cell_id))}]"
        cells.append((index, label, name, _source_blocks(_mapping(cell).get("source"))))
    marked_cells = {name: f"cell {index}" for index, _label, name, _blocks in cells
                    if name.startswith((CURRENT, INCOMING))}
    found = []
    for _index, label, name, blocks in cells:
        if blocks:
            found.append(f"{label}: {blocks} conflict block{'s' if blocks > 1 else ''} in the source")
        if name in marked_cells:
            found.append(f"{label}: {_variant_note(name, marked_cells)}")
    parameters = _mapping(_mapping(document.get("metadata")).get("canvas")).get("parameters")
    names = [parameter["name"] for parameter in (parameters if isinstance(parameters, list) else [])
             if isinstance(parameter, dict) and isinstance(parameter.get("name"), str)]
    marked = {name: f"'{visible(name)}'" for name in names if name.startswith((CURRENT, INCOMING))}
    found.extend(f"parameter '{visible(name)}': {_variant_note(name, marked)}" for name in marked)
    return found


def conflicts(path: str | os.PathLike) -> list[str]:
    """The conflicts left in the notebook file at ``path``. A file that is no JSON but holds
    git's own conflict blocks (git merged it line by line) says so; any other file that cannot
    be read raises ViewError."""
    from .notebooktext import load_notebook

    try:
        return notebook_conflicts(load_notebook(path))
    except ViewError as error:
        try:
            with open(path, encoding="utf-8", errors="replace") as stream:
                blocks = sum(1 for line in stream if line.startswith(_BLOCK))
        except OSError:
            blocks = 0
        if not blocks:
            raise
        return [f"{blocks} conflict block{'s' if blocks > 1 else ''} of git's own in the file "
                "(git merged it as text, not cell by cell)"]


def _git_lines(args: list[str], cwd: str) -> list[str]:
    from .revisions import _git

    return [os.fsdecode(name) for name in _git(args, cwd).split(b"\0") if name]


def tracked_notebooks() -> tuple[list[str], set[str]]:
    """Every notebook of the work tree that git tracks, unmerged ones included, as paths from
    the current directory; and the set of those that git reports unmerged."""
    from .revisions import SUFFIX, work_tree

    top = work_tree("name the notebooks to check")
    tracked = _git_lines(["ls-files", "-z", "--cached", "--", f"*{SUFFIX}"], top)
    unmerged = _git_lines(["diff", "--name-only", "-z", "--diff-filter=U", "--", f"*{SUFFIX}"], top)
    paths = [os.path.relpath(os.path.join(top, name)) for name in dict.fromkeys([*tracked, *unmerged])]
    return paths, {os.path.relpath(os.path.join(top, name)) for name in unmerged}
