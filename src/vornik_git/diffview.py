"""What changed between two notebook versions, in the form people read: a model built on the
diff graph of ``nbdelta.diff_dicts`` and its terminal rendering. (One notebook as plain text, for
git's textconv, is ``notebooktext``.)

The diff graph lists code cells only, grouped by status in no promised order. The model puts
every cell back in document order (removed cells where they stood), compares markdown and raw
cells itself (they are part of what a reader sees), and adds the few facts the graph does not
keep but a reader asks about: renamed cells, parameters whose type alone changed, and cells whose
outputs differ. Outputs are never shown.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Any, Iterator

from .notebooktext import (  # noqa: F401 - the views and their callers read these from here too
    CANVAS_SHOWN_APART,
    NULL_PATH,
    ViewError,
    _canvas,
    _mapping,
    _text,
    _value,
    comment_text,
    empty_notebook,
    link_label,
    load_notebook,
    name_links,
    render_file,
    render_notebook,
    source_lines,
    visible,
)

ADDED, REMOVED, MODIFIED, UNCHANGED = "added", "removed", "modified", "unchanged"
# Labels for cells and parameters the graph calls unchanged but a reader should see.
RELINKED, RENAMED, RETYPED = "relinked", "renamed", "retyped"
# A cell whose source, links and name stayed but whose comments, header colour or other canvas
# data changed.
ANNOTATED = "annotated"

def interleave(old: list, new: list) -> list:
    """Keys of both versions in one reading order: ``new``'s order, with every key that only
    ``old`` has placed right after the last key before it in ``old`` that ``new`` still has
    (at the front when there is none)."""
    in_new = set(new)
    front = object()
    following: dict = {}
    anchor = front
    for key in old:
        if key in in_new:
            anchor = key
        else:
            following.setdefault(anchor, []).append(key)
    result = list(following.get(front, []))
    for key in new:
        result.append(key)
        result.extend(following.get(key, []))
    return result


# --- the model ---------------------------------------------------------------------------


@dataclass(frozen=True)
class Link:
    """A parent link: the id of the parent cell and its name as the link records it."""

    cell_id: Any
    name: Any = None

    def label(self) -> str:
        return link_label(self.cell_id, self.name)


@dataclass(frozen=True)
class FieldChange:
    """One change of a cell's canvas data beyond its name and links: a comment added, removed
    or edited, the header colour, or any other entry (``field`` is then its key)."""

    field: str  # "comment", "headerColor" or any other canvas key
    status: str  # ADDED, REMOVED or MODIFIED
    old: Any = None
    new: Any = None

    def describe(self) -> str:
        """The change in words, user text escaped."""
        if self.field == "comment":
            if self.status == MODIFIED:
                old, new = comment_text(self.old), comment_text(self.new)
                if old == new:  # the difference lies in entries that are not shown
                    old, new = _text(self.old), _text(self.new)
                return f"comment edited: {visible(old)} -> {visible(new)}"
            return f"comment {self.status}: {visible(comment_text(self.new if self.status == ADDED else self.old))}"
        title = "header colour" if self.field == "headerColor" else visible(self.field)
        old = "(none)" if self.status == ADDED else visible(_value(self.old))
        new = "(none)" if self.status == REMOVED else visible(_value(self.new))
        return f"{title}: {old} -> {new}"


def _comment_changes(old: Any, new: Any) -> list[FieldChange]:
    """Comments matched across versions: equal ones first, then by their "id", then by place."""
    old_left = list(enumerate(old))
    new_left = list(enumerate(new))
    for index, comment in list(new_left):
        match = next((entry for entry in old_left if entry[1] == comment), None)
        if match is not None:
            old_left.remove(match)
            new_left.remove((index, comment))
    pairs = []

    def identity(comment: Any) -> Any:
        return comment.get("id") if isinstance(comment, dict) and isinstance(comment.get("id"), str) else None

    for rule in (lambda o, n: identity(o[1]) is not None and identity(o[1]) == identity(n[1]),
                 lambda o, n: o[0] == n[0]):
        for entry in list(new_left):
            match = next((candidate for candidate in old_left if rule(candidate, entry)), None)
            if match is not None:
                old_left.remove(match)
                new_left.remove(entry)
                pairs.append((entry[0], FieldChange("comment", MODIFIED, match[1], entry[1])))
    changes = [(index, FieldChange("comment", REMOVED, comment)) for index, comment in old_left]
    changes += pairs + [(index, FieldChange("comment", ADDED, new=comment)) for index, comment in new_left]
    return [change for _index, change in sorted(changes, key=lambda item: item[0])]


def canvas_changes(old: dict, new: dict) -> list[FieldChange]:
    """What changed in a cell's canvas data, besides its id, name and links."""
    changes = []
    for key in interleave([key for key in old if key not in CANVAS_SHOWN_APART],
                          [key for key in new if key not in CANVAS_SHOWN_APART]):
        before, after = old.get(key), new.get(key)
        if key in old and key in new and before == after:
            continue
        if key == "comments" and isinstance(before or [], list) and isinstance(after or [], list):
            changes.extend(_comment_changes(before or [], after or []))
        elif key not in old:
            changes.append(FieldChange(key, ADDED, new=after))
        elif key not in new:
            changes.append(FieldChange(key, REMOVED, before))
        else:
            changes.append(FieldChange(key, MODIFIED, before, after))
    return changes


@dataclass
class CellChange:
    kind: str  # the cell's "cell_type"
    cell_id: Any  # None for a non-code cell without any id
    name: str
    status: str
    old_source: list[str]
    new_source: list[str]
    position: int  # 1-based, in the new version (the old one for a removed cell)
    old_name: str | None = None  # set when the name changed
    old_kind: str | None = None  # set when a markdown cell became a raw one, or back
    parents: list[Link] = field(default_factory=list)
    added_parents: list[Link] = field(default_factory=list)
    removed_parents: list[Link] = field(default_factory=list)
    outputs_changed: bool = False
    metadata: list[FieldChange] = field(default_factory=list)

    @property
    def label(self) -> str:
        if self.status != UNCHANGED:
            return self.status
        if self.added_parents or self.removed_parents:
            return RELINKED
        if self.old_name is not None:
            return RENAMED
        if self.metadata:
            return ANNOTATED
        return UNCHANGED

    @property
    def shown(self) -> bool:
        return self.label != UNCHANGED

    def title(self) -> str:
        """How the cell is named to a reader: its name and id, or where it stands."""
        parts = []
        if self.name:
            parts.append(f"'{visible(self.name)}'")
        if self.cell_id is not None:
            parts.append(f"[{visible(_text(self.cell_id))}]")
        else:
            parts.append(f"at position {self.position}")
        return " ".join(parts)

    def short(self) -> str:
        return visible(self.name) if self.name else self.title()


@dataclass
class ParameterChange:
    name: str
    status: str
    type: Any = None
    value: Any = None
    old_type: Any = None
    old_value: Any = None

    @property
    def label(self) -> str:
        if self.status == UNCHANGED and self.type != self.old_type:
            return RETYPED
        return self.status

    @property
    def shown(self) -> bool:
        return self.label != UNCHANGED


@dataclass
class NotebookDiff:
    cells: list[CellChange]
    parameters: list[ParameterChange]
    graph: dict  # the diff graph itself, as diff_dicts returned it

    @property
    def changed(self) -> bool:
        return (
            any(cell.shown or cell.outputs_changed for cell in self.cells)
            or any(parameter.shown for parameter in self.parameters)
        )


@dataclass
class _Side:
    """What the model needs of one version, taken before diff_dicts writes its marks."""

    order: list[tuple] = field(default_factory=list)
    cells: dict[tuple, dict] = field(default_factory=dict)
    parameter_order: list[str] = field(default_factory=list)
    parameters: dict[str, dict] = field(default_factory=dict)


def _cell_key(cell: dict, canvas: dict, index: int) -> tuple:
    if cell.get("cell_type") == "code":
        return ("code", canvas["id"])
    if isinstance(canvas.get("id"), str):
        return ("text", canvas["id"])
    if isinstance(cell.get("id"), str):
        return ("text", cell["id"])
    return ("text#", index)


def _side(document: dict, label: str) -> _Side:
    side = _Side()
    cells = document.get("cells", [])
    if not isinstance(cells, list):
        raise ViewError(f"{label}: \"cells\" is not a list")
    positions: dict[tuple, int] = {}
    for index, cell in enumerate(cells, 1):
        if not isinstance(cell, dict) or "cell_type" not in cell:
            raise ViewError(f"{label}: cell {index} is not a notebook cell (no cell_type)")
        canvas = _canvas(cell)
        if cell["cell_type"] == "code":
            if "id" not in canvas:
                raise ViewError(
                    f"{label}: code cell {index} has no metadata.canvas.id; "
                    "only notebooks with canvas metadata can be compared cell by cell"
                )
            if isinstance(canvas["id"], (list, dict)):
                raise ViewError(f"{label}: code cell {index} has an id that is not text")
        key = _cell_key(cell, canvas, index)
        # As in the diff graph, the later of two cells with one id is the one that counts.
        positions[key] = index
        side.cells[key] = {
            "kind": _text(cell["cell_type"]),
            "id": canvas.get("id", cell.get("id")) if key[0] != "text#" else None,
            "name": _text(canvas["name"]) if canvas.get("name") is not None else "",
            "source": cell.get("source"),
            "outputs": cell.get("outputs"),
            "position": index,
            # Before diff_dicts writes its marks into this very mapping.
            "canvas": dict(canvas),
        }
    side.order = sorted(positions, key=positions.__getitem__)
    parameters = _mapping(_mapping(document.get("metadata")).get("canvas")).get("parameters")
    for parameter in parameters if isinstance(parameters, list) else []:
        if isinstance(parameter, dict) and "name" in parameter and not isinstance(parameter["name"], (list, dict)):
            if parameter["name"] in side.parameters:
                side.parameter_order.remove(parameter["name"])
            side.parameter_order.append(parameter["name"])
            side.parameters[parameter["name"]] = {"type": parameter.get("type"), "value": parameter.get("value")}
    return side


def _links(entries: Any) -> list[Link]:
    links = []
    for entry in entries if isinstance(entries, list) else []:
        if isinstance(entry, dict):
            cell_id = entry.get("id")
            # Ids become keys of the drawing; one that JSON made a list or object is shown as text.
            links.append(Link(_text(cell_id) if isinstance(cell_id, (list, dict)) else cell_id, entry.get("name")))
    return links


def _diff_graph(old: dict, new: dict) -> dict:
    from vornik_git.drivers.nbdelta import diff_dicts

    try:
        return diff_dicts(old, new)
    except KeyError as error:
        raise ViewError(f"cannot compare the notebooks: an entry lacks the key {error}") from None
    except (TypeError, ValueError, AssertionError, RecursionError) as error:
        detail = str(error) or type(error).__name__
        raise ViewError(f"cannot compare the notebooks: {detail}") from None


def compare(old: dict, new: dict, old_label: str = "old", new_label: str = "new") -> NotebookDiff:
    """The changes from ``old`` to ``new``.

    diff_dicts writes its marks into the documents it is given: pass documents read for the
    purpose. The labels only name the versions in error messages.
    """
    old_side, new_side = _side(old, old_label), _side(new, new_label)
    name_links(old)
    name_links(new)
    graph = _diff_graph(old, new)

    changes: dict[tuple, CellChange] = {}
    for entry in graph["cells"]:
        canvas = entry["metadata"]["canvas"]
        key = ("code", canvas["id"])
        status = canvas.get("diff_status", UNCHANGED)
        before, after = old_side.cells.get(key), new_side.cells.get(key)
        change = CellChange(
            kind="code",
            cell_id=canvas["id"],
            name=(after or before)["name"],
            status=status,
            old_source=source_lines(canvas.get("prev_source")),
            new_source=[] if status == REMOVED else source_lines(entry.get("source")),
            position=(after or before)["position"],
            parents=_links(canvas.get("parents")),
            added_parents=_links(canvas.get("added_parents")),
            removed_parents=_links(canvas.get("removed_parents")),
        )
        if before is not None and after is not None:
            if before["name"] != after["name"]:
                change.old_name = before["name"]
            change.outputs_changed = before["outputs"] != after["outputs"]
            change.metadata = canvas_changes(before["canvas"], after["canvas"])
        changes[key] = change

    for key in dict.fromkeys([*old_side.order, *new_side.order]):
        if key[0] == "code":
            continue
        before, after = old_side.cells.get(key), new_side.cells.get(key)
        old_lines = source_lines(before["source"]) if before else []
        new_lines = source_lines(after["source"]) if after else []
        if before is None:
            status = ADDED
        elif after is None:
            status = REMOVED
        else:
            status = MODIFIED if old_lines != new_lines or before["kind"] != after["kind"] else UNCHANGED
        change = CellChange(
            kind=(after or before)["kind"],
            cell_id=(after or before)["id"],
            name=(after or before)["name"],
            status=status,
            old_source=old_lines,
            new_source=new_lines,
            position=(after or before)["position"],
        )
        if before is not None and after is not None:
            if before["name"] != after["name"]:
                change.old_name = before["name"]
            if before["kind"] != after["kind"]:
                change.old_kind = before["kind"]
            change.metadata = canvas_changes(before["canvas"], after["canvas"])
        changes[key] = change

    order = interleave(old_side.order, new_side.order)
    cells = [changes[key] for key in order if key in changes]

    parameters: dict[Any, ParameterChange] = {}
    for entry in graph["metadata"]["canvas"]["parameter"]:
        status = entry.get("diff_status", UNCHANGED)
        change = ParameterChange(name=entry.get("name"), status=status)
        if status == REMOVED:
            change.old_type, change.old_value = entry.get("type"), entry.get("value")
        elif status == ADDED:
            change.type, change.value = entry.get("type"), entry.get("value")
        else:
            change.type, change.value = entry.get("type"), entry.get("value")
            if status == MODIFIED:
                change.old_type, change.old_value = entry.get("prev_type"), entry.get("prev_value")
            else:
                previous = old_side.parameters.get(change.name, {})
                change.old_type, change.old_value = previous.get("type", change.type), change.value
        parameters[change.name] = change
    parameter_order = interleave(old_side.parameter_order, new_side.parameter_order)
    ordered = [parameters.pop(name) for name in parameter_order if name in parameters]
    ordered.extend(parameters.values())
    return NotebookDiff(cells, ordered, graph)


def compare_files(old_path: str | os.PathLike, new_path: str | os.PathLike,
                  old_label: str | None = None, new_label: str | None = None) -> NotebookDiff:
    """The changes between two notebook files; the labels, the paths by default, name them in
    error messages."""
    old_label = os.fspath(old_path) if old_label is None else old_label
    new_label = os.fspath(new_path) if new_label is None else new_label
    return compare(load_notebook(old_path, old_label), load_notebook(new_path, new_label), old_label, new_label)


# --- source hunks ------------------------------------------------------------------------


def grouped_opcodes(old: list[str], new: list[str], context: int = 3) -> list[list[tuple]]:
    """The hunks of a line diff, as difflib groups them."""
    from . import linediff

    return list(linediff.grouped(linediff.opcodes(old, new), context))


def _range(start: int, stop: int) -> str:
    length = stop - start
    if length == 1:
        return str(start + 1)
    return f"{start if length == 0 else start + 1},{length}"


def unified_lines(old: list[str], new: list[str], context: int = 3) -> Iterator[tuple[str, str]]:
    """(kind, text) pairs of a unified diff without file headers; kind is one of "@" (hunk
    header), " ", "-", "+" and "\\" (a note that the line above has no line break).

    The note appears only where the two versions disagree about the final line break, the one
    case in which it tells the reader something.
    """
    note = bool(old) and bool(new) and old[-1].endswith("\n") != new[-1].endswith("\n")
    for group in grouped_opcodes(old, new, context):
        first, last = group[0], group[-1]
        yield "@", f"@@ -{_range(first[1], last[2])} +{_range(first[3], last[4])} @@"
        for tag, i1, i2, j1, j2 in group:
            if tag == "equal":
                for line in old[i1:i2]:
                    yield " ", line.rstrip("\n")
                continue
            for kind, lines, start, total in (("-", old[i1:i2], i1, len(old)), ("+", new[j1:j2], j1, len(new))):
                for offset, line in enumerate(lines):
                    yield kind, line.rstrip("\n")
                    if note and start + offset == total - 1 and not line.endswith("\n"):
                        yield "\\", "\\ no line break at the end of the source"


# --- terminal rendering ------------------------------------------------------------------

_STYLE = {
    "header": "1",
    ADDED: "1;32",
    REMOVED: "1;31",
    MODIFIED: "1;33",
    RELINKED: "1;36",
    RENAMED: "1;36",
    ANNOTATED: "1;36",
    RETYPED: "1;36",
    "@": "36",
    " ": "",
    "-": "31",
    "+": "32",
    "\\": "2",
    "dim": "2",
}


class _Paint:
    def __init__(self, enabled: bool) -> None:
        self.enabled = enabled

    def __call__(self, style: str, text: str) -> str:
        if not self.enabled or not text or not _STYLE[style]:
            return text
        return f"\x1b[{_STYLE[style]}m{text}\x1b[0m"


_MARK = {ADDED: "+", REMOVED: "-", MODIFIED: "~", RETYPED: "~"}


def _names(items: list[str], limit: int = 8) -> str:
    shown = ", ".join(items[:limit])
    return shown + (f", ... {len(items) - limit} more" if len(items) > limit else "")


def _cell_block(cell: CellChange, paint: _Paint) -> list[str]:
    lines = [f"{paint(cell.label, cell.label)} {visible(cell.kind)} cell {cell.title()}"]
    if cell.old_name is not None:
        lines.append(f"name: '{visible(cell.old_name)}' -> '{visible(cell.name)}'")
    if cell.old_kind is not None:
        lines.append(f"type: {visible(cell.old_kind)} -> {visible(cell.kind)}")
    links = [paint("+", f"+{link.label()}") for link in cell.added_parents]
    links += [paint("-", f"-{link.label()}") for link in cell.removed_parents]
    if links:
        lines.append("parents: " + ", ".join(links))
    for change in cell.metadata:
        text = change.describe()
        lines.append(paint({ADDED: "+", REMOVED: "-"}[change.status], text) if change.field == "comment"
                     and change.status != MODIFIED else text)
    if cell.outputs_changed:
        lines.append(paint("dim", "outputs differ (not shown)"))
    if cell.old_source != cell.new_source:
        for kind, text in unified_lines(cell.old_source, cell.new_source):
            text = visible(text)
            lines.append(paint(kind, text if kind in "@\\" else kind + text))
    elif cell.status == MODIFIED and cell.kind == "code":
        lines.append(paint("dim", "the source is split into lines differently; its text is the same"))
    elif cell.status in (ADDED, REMOVED) and not cell.old_source and not cell.new_source:
        lines.append(paint("dim", "(empty source)"))
    return lines


def _parameter_table(parameters: list[ParameterChange], paint: _Paint) -> list[str]:
    rows = []
    for parameter in parameters:
        if parameter.status == ADDED:
            kind = _text(parameter.type)
        elif parameter.status == REMOVED:
            kind = _text(parameter.old_type)
        elif parameter.type != parameter.old_type:
            kind = f"{_text(parameter.old_type)} -> {_text(parameter.type)}"
        else:
            kind = _text(parameter.type)
        old = "" if parameter.status == ADDED else _value(parameter.old_value)
        new = "" if parameter.status == REMOVED else _value(parameter.value)
        rows.append((parameter.label, visible(_text(parameter.name)), visible(kind), visible(old), visible(new)))
    widths = [min(max(len(row[column]) for row in rows + [("", "name", "type", "old value", "")]), 32)
              for column in range(4)]
    header = f"    {'name':<{widths[1]}}  {'type':<{widths[2]}}  {'old value':<{widths[3]}}    new value"
    lines = ["parameters:", paint("dim", header)]
    for label, name, kind, old, new in rows:
        mark = paint(label, _MARK[label])
        lines.append(f"  {mark} {name:<{widths[1]}}  {kind:<{widths[2]}}  {old:<{widths[3]}} -> {new}".rstrip())
    return lines


def _summary(diff: NotebookDiff) -> list[str]:
    lines = []
    quiet_outputs = [cell.short() for cell in diff.cells if cell.outputs_changed and not cell.shown]
    if quiet_outputs:
        lines.append(f"outputs differ (not shown): {_names(quiet_outputs)}")
    same_cells = [cell for cell in diff.cells if not cell.shown]
    same_parameters = [visible(_text(p.name)) for p in diff.parameters if not p.shown]
    parts = []
    if same_cells:
        noun = "cell" if len(same_cells) == 1 else "cells"
        parts.append(f"{len(same_cells)} {noun} ({_names([cell.short() for cell in same_cells])})")
    if same_parameters:
        noun = "parameter" if len(same_parameters) == 1 else "parameters"
        parts.append(f"{len(same_parameters)} {noun} ({_names(same_parameters)})")
    if parts:
        lines.append("unchanged: " + ", ".join(parts))
    return lines


def render_text(diff: NotebookDiff, old_label: str, new_label: str, color: bool = False) -> str:
    """The terminal view: changed cells with their source diffs and parent links, a table of
    changed parameters, and one line for everything unchanged."""
    paint = _Paint(color)
    lines = [paint("header", f"--- {visible(old_label)}"), paint("header", f"+++ {visible(new_label)}")]
    for cell in diff.cells:
        if cell.shown:
            lines.append("")
            lines.extend(_cell_block(cell, paint))
    changed = [parameter for parameter in diff.parameters if parameter.shown]
    if changed:
        lines.append("")
        lines.extend(_parameter_table(changed, paint))
    lines.append("")
    summary = _summary(diff)
    if not diff.changed:
        summary.insert(0, "no differences in cells or parameters")
    lines.extend(paint("dim", line) for line in summary)
    return "\n".join(lines) + "\n"


def fallback_diff(old_path: str, new_path: str, old_label: str, new_label: str, reason: str,
                  color: bool = False) -> str:
    """A line diff of the two notebooks' text renderings, for files the cell view cannot
    compare (plain notebooks without canvas metadata, broken JSON)."""
    paint = _Paint(color)
    old_lines = [] if old_path == NULL_PATH else render_file(old_path).splitlines(keepends=True)
    new_lines = [] if new_path == NULL_PATH else render_file(new_path).splitlines(keepends=True)
    lines = [paint("header", f"--- {visible(old_label)}"), paint("header", f"+++ {visible(new_label)}"),
             paint("dim", f"(not compared cell by cell: {visible(reason)}; "
                          "showing a line diff of the notebooks as text)")]
    for kind, text in unified_lines(old_lines, new_lines):
        lines.append(paint(kind, text if kind in "@\\" else kind + text))
    return "\n".join(lines) + "\n"
