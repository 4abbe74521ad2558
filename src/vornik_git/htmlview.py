"""The diff of two notebooks as one self-contained HTML page: side-by-side source diffs, the
parameter table, and an SVG drawing of the cell graph.

The page fetches nothing and runs nothing: styles are inline, the drawing is inline SVG, and a
Content-Security-Policy forbids scripts and every outside resource. Everything taken from the
notebooks (names, ids, sources, parameter values, paths) goes through ``_esc``.
"""

from __future__ import annotations

import html
from dataclasses import dataclass

from . import linediff
from .diffview import (
    ADDED,
    ANNOTATED,
    MODIFIED,
    RELINKED,
    REMOVED,
    RENAMED,
    RETYPED,
    UNCHANGED,
    CellChange,
    Link,
    NotebookDiff,
    ParameterChange,
    _text,
    _value,
    grouped_opcodes,
    visible,
)

# Beyond this many code cells the drawing keeps the changed cells and their direct
# neighbours: a graph of hundreds of boxes says nothing at page width.
MAX_DRAWN_CELLS = 120

BOX_WIDTH, BOX_HEIGHT = 156, 44
GAP_X, GAP_Y, MARGIN = 24, 44, 12
NAME_CHARS, ID_CHARS = 20, 24

# Paired lines less alike than this are shown as wholly replaced: marking the few shared
# characters of two unrelated lines only adds noise.
_INLINE_SIMILARITY = 0.5

_CSS = """
:root { --add: #1a7f37; --add-bg: #dafbe1; --add-hl: #aceebb; --del: #cf222e; --del-bg: #ffebe9;
  --del-hl: #ffb8b0; --mod: #9a6700; --mod-bg: #fff8c5; --link: #0969da; --same: #8c959f;
  --same-bg: #f6f8fa; --text: #1f2328; --muted: #59636e; }
* { box-sizing: border-box; }
body { font: 14px/1.45 system-ui, -apple-system, "Segoe UI", Helvetica, Arial, sans-serif;
  color: var(--text); margin: 0; padding: 20px 28px 40px; background: #fff; }
h1 { font-size: 22px; margin: 0 0 4px; }
h2 { font-size: 17px; margin: 28px 0 10px; padding-bottom: 4px; border-bottom: 1px solid #d1d9e0; }
code, .src, .mono { font-family: ui-monospace, "SFMono-Regular", Menlo, Consolas, "DejaVu Sans Mono", monospace;
  font-size: 12.5px; }
.files { color: var(--muted); margin: 0 0 8px; word-break: break-all; }
.files .arrow { margin: 0 6px; }
section.notebook { border-top: 3px solid #d1d9e0; margin-top: 28px; padding-top: 8px; }
section.notebook > .files { font-size: 16px; font-weight: 600; color: var(--text); }
ul.notebooks { margin: 6px 0; padding-left: 20px; }
.summary { margin: 4px 0; }
.summary .what { display: inline-block; width: 6.5em; color: var(--muted); }
.badge { display: inline-block; border-radius: 10px; padding: 1px 9px; margin-right: 6px;
  font-size: 12px; font-weight: 600; border: 1px solid currentColor; }
.badge.added { color: var(--add); } .badge.removed { color: var(--del); } .badge.modified { color: var(--mod); }
.badge.relinked, .badge.renamed, .badge.retyped, .badge.annotated { color: var(--link); } .badge.unchanged { color: var(--same); }
.graph svg { max-width: 100%; height: auto; display: block; }
.graph .legend span { margin-right: 14px; font-size: 12px; color: var(--muted); white-space: nowrap; }
.graph .legend i { display: inline-block; width: 22px; height: 0; vertical-align: middle; margin-right: 5px;
  border-top: 2px solid; }
.graph .legend b { display: inline-block; width: 14px; height: 11px; vertical-align: middle; margin-right: 5px;
  border: 1.5px solid; border-radius: 3px; }
.note { color: var(--muted); }
table.params { border-collapse: collapse; }
table.params th, table.params td { text-align: left; padding: 4px 12px 4px 0; border-bottom: 1px solid #eef1f4;
  vertical-align: top; }
table.params td.old { color: var(--del); } table.params td.new { color: var(--add); }
article.cell { border: 1px solid #d1d9e0; border-radius: 6px; margin: 0 0 18px; overflow: hidden; }
article.cell > header { background: var(--same-bg); padding: 7px 12px; border-bottom: 1px solid #d1d9e0; }
article.cell > header .title { font-weight: 600; margin-left: 4px; }
article.cell > header .kind { color: var(--muted); }
article.cell .facts { padding: 6px 12px 0; margin: 0; }
article.cell .facts li { list-style: none; margin: 0 0 4px; }
article.cell .facts li.meta.added { color: var(--add); } article.cell .facts li.meta.removed { color: var(--del); }
.chip { display: inline-block; border-radius: 4px; padding: 0 6px; margin: 0 4px 2px 0; font-size: 12.5px;
  background: var(--same-bg); border: 1px solid #d1d9e0; }
.chip.added { background: var(--add-bg); border-color: var(--add); }
.chip.removed { background: var(--del-bg); border-color: var(--del); text-decoration: line-through; }
table.sbs { width: 100%; border-collapse: collapse; table-layout: fixed; margin-top: 6px; }
table.sbs col.num { width: 3.2em; }
table.sbs td { padding: 0 8px; vertical-align: top; white-space: pre-wrap; word-break: break-all; }
table.sbs td.num { color: var(--muted); text-align: right; user-select: none; padding-right: 6px; }
table.sbs td.del { background: var(--del-bg); } table.sbs td.ins { background: var(--add-bg); }
table.sbs td.blank { background: #fafbfc; }
table.sbs del { background: var(--del-hl); text-decoration: none; }
table.sbs ins { background: var(--add-hl); text-decoration: none; }
table.sbs tr.hunk td { color: var(--link); background: #ddf4ff; font-size: 12px; padding: 2px 8px; }
table.sbs tr.skip td { color: var(--muted); background: var(--same-bg); text-align: center; font-size: 12px; }
.eol { color: var(--muted); font-size: 11px; font-style: italic; }
.empty { color: var(--muted); padding: 8px 12px; margin: 0; }
"""

_POLICY = "default-src 'none'; style-src 'unsafe-inline'; img-src data:"

_BOX = {
    ADDED: ("#dafbe1", "#1a7f37"),
    REMOVED: ("#ffebe9", "#cf222e"),
    MODIFIED: ("#fff8c5", "#9a6700"),
    RELINKED: ("#f6f8fa", "#0969da"),
    RENAMED: ("#f6f8fa", "#0969da"),
    ANNOTATED: ("#f6f8fa", "#0969da"),
    UNCHANGED: ("#f6f8fa", "#8c959f"),
}
_LINK_COLOURS = {"kept": "#8c959f", ADDED: "#1a7f37", REMOVED: "#cf222e"}


def _esc(text: str) -> str:
    return html.escape(visible(text), quote=True)


def _clip(text: str, limit: int) -> str:
    return text if len(text) <= limit else text[: limit - 1] + "\u2026"


# --- the drawing -------------------------------------------------------------------------


@dataclass
class _Node:
    cell: CellChange
    anchor: str | None
    layer: int = 0
    x: float = 0.0
    y: float = 0.0


def _edges(cells: list[CellChange]) -> list[tuple[object, object, str]]:
    edges = []
    for cell in cells:
        for kind, links in (("kept", cell.parents), (ADDED, cell.added_parents), (REMOVED, cell.removed_parents)):
            edges.extend((link.cell_id, cell.cell_id, kind) for link in links)
    return edges


def _drawn(cells: list[CellChange]) -> list[CellChange]:
    if len(cells) <= MAX_DRAWN_CELLS:
        return cells
    changed = {cell.cell_id for cell in cells if cell.shown}
    keep = set(changed)
    for parent, child, _kind in _edges(cells):
        if child in changed or parent in changed:
            keep.update((parent, child))
    return [cell for cell in cells if cell.cell_id in keep][:MAX_DRAWN_CELLS]


def _layers(nodes: dict, edges: list[tuple]) -> None:
    """Puts every cell one layer below its lowest parent; a cycle is broken at its first cell
    in reading order."""
    parents: dict = {key: [] for key in nodes}
    children: dict = {key: [] for key in nodes}
    for parent, child, _kind in edges:
        parents[child].append(parent)
        children[parent].append(child)
    waiting = {key: len(set(parents[key])) for key in nodes}
    done: set = set()
    order = list(nodes)
    ready = [key for key in order if waiting[key] == 0]
    while len(done) < len(nodes):
        if not ready:
            ready = [next(key for key in order if key not in done)]
        key = ready.pop(0)
        if key in done:
            continue
        placed = [nodes[parent].layer for parent in parents[key] if parent in done]
        nodes[key].layer = max(placed) + 1 if placed else 0
        done.add(key)
        for child in dict.fromkeys(children[key]):
            waiting[child] -= 1
            if waiting[child] == 0 and child not in done:
                ready.append(child)


def _layout(cells: list[CellChange], anchors: dict) -> tuple[dict, list[tuple], float, float]:
    drawn = _drawn([cell for cell in cells if cell.kind == "code"])
    nodes = {cell.cell_id: _Node(cell, anchors.get(id(cell))) for cell in drawn}
    edges = [edge for edge in dict.fromkeys(_edges(drawn))
             if edge[0] in nodes and edge[1] in nodes and edge[0] != edge[1]]
    _layers(nodes, edges)
    rows: dict[int, list] = {}
    for key, node in nodes.items():
        rows.setdefault(node.layer, []).append(key)
    parents: dict = {}
    for parent, child, _kind in edges:
        parents.setdefault(child, []).append(parent)
    columns: dict = {}
    for layer in sorted(rows):
        # Under the middle of its parents, so that arrows cross as little as a one-pass
        # ordering can manage; reading order breaks ties.
        reading = {key: index for index, key in enumerate(rows[layer])}

        def centre(key, reading=reading):
            placed = [columns[parent] for parent in parents.get(key, []) if parent in columns]
            return (sum(placed) / len(placed) if placed else reading[key], reading[key])

        rows[layer].sort(key=centre)
        for column, key in enumerate(rows[layer]):
            columns[key] = column
    widest = max((len(row) for row in rows.values()), default=0)
    for layer, row in rows.items():
        offset = (widest - len(row)) * (BOX_WIDTH + GAP_X) / 2
        for column, key in enumerate(row):
            nodes[key].x = MARGIN + offset + column * (BOX_WIDTH + GAP_X)
            nodes[key].y = MARGIN + layer * (BOX_HEIGHT + GAP_Y)
    width = 2 * MARGIN + widest * BOX_WIDTH + max(widest - 1, 0) * GAP_X
    height = 2 * MARGIN + len(rows) * BOX_HEIGHT + max(len(rows) - 1, 0) * GAP_Y
    return nodes, edges, width, height


def _number(value: float) -> str:
    return f"{value:.1f}".rstrip("0").rstrip(".")


def _ports(nodes: dict, edges: list[tuple]) -> dict:
    """Where each arrow leaves its parent's box and enters its child's: spread over the
    middle of the box, in the order of the far ends, so that arrows sharing a box stay apart."""
    sides: dict = {}
    for edge in edges:
        parent, child, _kind = edge
        sides.setdefault((parent, "out"), []).append((nodes[child].x, nodes[child].y, edge))
        sides.setdefault((child, "in"), []).append((nodes[parent].x, nodes[parent].y, edge))
    ports = {}
    for (key, side), ends in sides.items():
        ends.sort(key=lambda end: (end[0], end[1]))
        span = BOX_WIDTH * 0.6
        for index, (_x, _y, edge) in enumerate(ends):
            offset = span * ((index + 1) / (len(ends) + 1) - 0.5)
            ports[edge, side] = nodes[key].x + BOX_WIDTH / 2 + offset
    return ports


def _paths(nodes: dict, edges: list[tuple]) -> tuple[list[str], float]:
    """The path of every arrow, and the width the drawing needs for them.

    An arrow between neighbouring layers is one curve. One that skips layers would cross the
    boxes in between, so where a box stands in its way it runs down a lane of its own to the
    right of the layers it passes.
    """
    ports = _ports(nodes, edges)
    rows: dict[int, list] = {}
    for node in nodes.values():
        rows.setdefault(node.layer, []).append(node)
    right = 0.0
    lanes = 0
    paths = []
    for edge in edges:
        parent, child, _kind = edge
        start, end = nodes[parent], nodes[child]
        x1, y1 = ports[edge, "out"], start.y + BOX_HEIGHT
        x2, y2 = ports[edge, "in"], end.y
        between = [node for layer in range(start.layer + 1, end.layer) for node in rows.get(layer, [])]
        blocked = any(
            node.x - 4 <= x1 + (x2 - x1) * (node.y + BOX_HEIGHT / 2 - y1) / (y2 - y1) <= node.x + BOX_WIDTH + 4
            for node in between
        )
        if not blocked:
            bend = max(GAP_Y * 0.6, abs(y2 - y1) * 0.35)
            paths.append(f"M{_number(x1)},{_number(y1)} C{_number(x1)},{_number(y1 + bend)} "
                         f"{_number(x2)},{_number(y2 - bend)} {_number(x2)},{_number(y2)}")
            continue
        lanes += 1
        lane = max(node.x + BOX_WIDTH for node in between) + GAP_X / 2 + (lanes - 1) * 8
        right = max(right, lane)
        half = GAP_Y / 2
        paths.append(
            f"M{_number(x1)},{_number(y1)} C{_number(x1)},{_number(y1 + half)} {_number(lane)},{_number(y1)} "
            f"{_number(lane)},{_number(y1 + half)} L{_number(lane)},{_number(y2 - half)} "
            f"C{_number(lane)},{_number(y2)} {_number(x2)},{_number(y2 - half)} {_number(x2)},{_number(y2)}"
        )
    return paths, right + MARGIN if lanes else 0.0


def _svg(cells: list[CellChange], anchors: dict, prefix: str = "") -> tuple[str, int, int]:
    nodes, edges, width, height = _layout(cells, anchors)
    if not nodes:
        return "", 0, 0
    paths, lane_width = _paths(nodes, edges)
    width = max(width, lane_width)
    parts = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{_number(width)}" height="{_number(height)}" '
        f'viewBox="0 0 {_number(width)} {_number(height)}" role="img" aria-label="cell graph">',
        "<defs>",
    ]
    for kind, colour in _LINK_COLOURS.items():
        parts.append(
            f'<marker id="{prefix}arrow-{kind}" viewBox="0 0 10 10" refX="10" refY="5" markerWidth="7" '
            f'markerHeight="7" orient="auto-start-reverse"><path d="M0,0 L10,5 L0,10 z" fill="{colour}"/></marker>'
        )
    parts.append("</defs>")
    for (_parent, _child, kind), path in zip(edges, paths):
        dash = ' stroke-dasharray="5 4"' if kind == REMOVED else ""
        parts.append(
            f'<path class="link {kind}" d="{path}" fill="none" stroke="{_LINK_COLOURS[kind]}" '
            f'stroke-width="1.6"{dash} marker-end="url(#{prefix}arrow-{kind})"/>'
        )
    for node in nodes.values():
        cell = node.cell
        fill, stroke = _BOX[cell.label]
        dash = ' stroke-dasharray="6 3"' if cell.label == REMOVED else ""
        name = _clip(visible(cell.name) or "(unnamed)", NAME_CHARS)
        ident = _clip(visible(_text(cell.cell_id)), ID_CHARS)
        box = [
            f'<g class="node {cell.label}">',
            f"<title>{_esc(cell.label)}: {_esc(cell.name or '(unnamed)')} [{_esc(_text(cell.cell_id))}]</title>",
            f'<rect x="{_number(node.x)}" y="{_number(node.y)}" width="{BOX_WIDTH}" height="{BOX_HEIGHT}" rx="6" '
            f'fill="{fill}" stroke="{stroke}" stroke-width="1.5"{dash}/>',
            f'<text x="{_number(node.x + BOX_WIDTH / 2)}" y="{_number(node.y + 19)}" text-anchor="middle" '
            f'font-family="system-ui, sans-serif" font-size="13" font-weight="600" fill="#1f2328">'
            f"{html.escape(name)}</text>",
            f'<text x="{_number(node.x + BOX_WIDTH / 2)}" y="{_number(node.y + 35)}" text-anchor="middle" '
            f'font-family="monospace" font-size="10.5" fill="#59636e">{html.escape(ident)}</text>',
            "</g>",
        ]
        if node.anchor:
            box = [f'<a href="#{node.anchor}">', *box, "</a>"]
        parts.extend(box)
    parts.append("</svg>")
    return "\n".join(parts), len(nodes), sum(1 for cell in cells if cell.kind == "code")


# --- source diff -------------------------------------------------------------------------


def _inline(old: str, new: str) -> tuple[str, str]:
    codes = linediff.opcodes(old, new)
    if linediff.similarity(codes, len(old), len(new)) < _INLINE_SIMILARITY:
        return _esc(old), _esc(new)
    left, right = [], []
    for tag, i1, i2, j1, j2 in codes:
        if tag == "equal":
            left.append(_esc(old[i1:i2]))
            right.append(_esc(new[j1:j2]))
            continue
        if i2 > i1:
            left.append(f"<del>{_esc(old[i1:i2])}</del>")
        if j2 > j1:
            right.append(f"<ins>{_esc(new[j1:j2])}</ins>")
    return "".join(left), "".join(right)


def _row(old_number, old_html, old_class, new_number, new_html, new_class) -> str:
    return (
        f'<tr><td class="num">{old_number}</td><td class="src {old_class}">{old_html}</td>'
        f'<td class="num">{new_number}</td><td class="src {new_class}">{new_html}</td></tr>'
    )


def _side_by_side(old: list[str], new: list[str]) -> str:
    note = bool(old) and bool(new) and old[-1].endswith("\n") != new[-1].endswith("\n")
    eol = '<span class="eol"> no line break at the end</span>'

    def mark(lines, index, text):
        return text + eol if note and index == len(lines) - 1 and not lines[index].endswith("\n") else text

    rows = ['<table class="sbs"><colgroup><col class="num"><col><col class="num"><col></colgroup>']
    shown_to = 0
    for group in grouped_opcodes(old, new):
        skipped = group[0][1] - shown_to
        if skipped:
            rows.append(f'<tr class="skip"><td colspan="4">{skipped} unchanged line{"s" if skipped > 1 else ""}</td></tr>')
        for tag, i1, i2, j1, j2 in group:
            if tag == "equal":
                for offset in range(i2 - i1):
                    text = _esc(old[i1 + offset].rstrip("\n"))
                    rows.append(_row(i1 + offset + 1, text, "", j1 + offset + 1, text, ""))
                continue
            for offset in range(max(i2 - i1, j2 - j1)):
                i, j = i1 + offset, j1 + offset
                left = old[i].rstrip("\n") if i < i2 else None
                right = new[j].rstrip("\n") if j < j2 else None
                if left is not None and right is not None:
                    left_html, right_html = _inline(left, right)
                else:
                    left_html = _esc(left) if left is not None else ""
                    right_html = _esc(right) if right is not None else ""
                rows.append(_row(
                    i + 1 if left is not None else "", mark(old, i, left_html) if left is not None else "",
                    "del" if left is not None else "blank",
                    j + 1 if right is not None else "", mark(new, j, right_html) if right is not None else "",
                    "ins" if right is not None else "blank",
                ))
        shown_to = group[-1][2]
    if len(old) > shown_to and shown_to:
        skipped = len(old) - shown_to
        rows.append(f'<tr class="skip"><td colspan="4">{skipped} unchanged line{"s" if skipped > 1 else ""}</td></tr>')
    rows.append("</table>")
    return "\n".join(rows)


# --- the page ----------------------------------------------------------------------------


def _chips(links: list[Link], kind: str) -> list[str]:
    return [f'<span class="chip {kind}">{_esc(link.label())}</span>' for link in links]


def _cell_article(cell: CellChange, anchor: str) -> str:
    parts = [
        f'<article class="cell" data-status="{cell.label}" id="{anchor}">',
        f'<header><span class="badge {cell.label}">{cell.label}</span> '
        f'<span class="kind">{_esc(cell.kind)} cell</span> <span class="title">{_esc(cell.title())}</span></header>',
    ]
    facts = []
    if cell.old_name is not None:
        facts.append(f"<li>name: <code>{_esc(cell.old_name)}</code> \u2192 <code>{_esc(cell.name)}</code></li>")
    if cell.old_kind is not None:
        facts.append(f"<li>type: {_esc(cell.old_kind)} \u2192 {_esc(cell.kind)}</li>")
    if cell.kind == "code" and (cell.parents or cell.added_parents or cell.removed_parents):
        chips = _chips(cell.parents, "kept") + _chips(cell.added_parents, ADDED) + _chips(cell.removed_parents, REMOVED)
        facts.append(f"<li>parents: {' '.join(chips)}</li>")
    facts.extend(f'<li class="meta {change.status}">{html.escape(change.describe())}</li>' for change in cell.metadata)
    if cell.outputs_changed:
        facts.append('<li class="note">outputs differ (not shown)</li>')
    if facts:
        parts.append(f'<ul class="facts">{"".join(facts)}</ul>')
    if cell.old_source != cell.new_source:
        parts.append(_side_by_side(cell.old_source, cell.new_source))
    elif cell.status == MODIFIED and cell.kind == "code":
        parts.append('<p class="empty">The source is split into lines differently; its text is the same.</p>')
    elif cell.status in (ADDED, REMOVED) and not cell.old_source:
        parts.append('<p class="empty">(empty source)</p>')
    parts.append("</article>")
    return "\n".join(parts)


def _parameter_section(parameters: list[ParameterChange]) -> str:
    changed = [parameter for parameter in parameters if parameter.shown]
    parts = ['<section class="parameters"><h2>Parameters</h2>']
    if changed:
        parts.append('<table class="params"><thead><tr><th></th><th>name</th><th>type</th><th>old value</th>'
                     "<th>new value</th></tr></thead><tbody>")
        for parameter in changed:
            if parameter.status == ADDED:
                kind = _esc(_text(parameter.type))
            elif parameter.status == REMOVED:
                kind = _esc(_text(parameter.old_type))
            elif parameter.type != parameter.old_type:
                kind = f"{_esc(_text(parameter.old_type))} \u2192 {_esc(_text(parameter.type))}"
            else:
                kind = _esc(_text(parameter.type))
            old = "" if parameter.status == ADDED else _esc(_value(parameter.old_value))
            new = "" if parameter.status == REMOVED else _esc(_value(parameter.value))
            parts.append(
                f'<tr data-status="{parameter.label}"><td><span class="badge {parameter.label}">{parameter.label}</span></td>'
                f'<td class="mono">{_esc(_text(parameter.name))}</td><td class="mono">{kind}</td>'
                f'<td class="mono old">{old}</td><td class="mono new">{new}</td></tr>'
            )
        parts.append("</tbody></table>")
    same = [_esc(_text(parameter.name)) for parameter in parameters if not parameter.shown]
    if same:
        parts.append(f'<p class="note">unchanged: {", ".join(same)}</p>')
    if not parameters:
        parts.append('<p class="note">Neither version has parameters.</p>')
    parts.append("</section>")
    return "\n".join(parts)


def _legend() -> str:
    links = [(ADDED, "added link", ""), (REMOVED, "removed link", ";border-top-style:dashed"), ("kept", "kept link", "")]
    boxes = [(ADDED, "added"), (REMOVED, "removed"), (MODIFIED, "modified source"),
             (RELINKED, "links, name or canvas data changed"), (UNCHANGED, "unchanged")]
    parts = [f'<span><i style="border-color:{_LINK_COLOURS[kind]}{extra}"></i>{text}</span>'
             for kind, text, extra in links]
    parts += [f'<span><b style="background:{_BOX[kind][0]};border-color:{_BOX[kind][1]}"></b>{text}</span>'
              for kind, text in boxes]
    return f'<p class="legend">{"".join(parts)}</p>'


def _counts(label: str, items: list) -> str:
    counts: dict[str, int] = {}
    for item in items:
        counts[item.label] = counts.get(item.label, 0) + 1
    order = (MODIFIED, ADDED, REMOVED, RELINKED, RENAMED, ANNOTATED, RETYPED, UNCHANGED)
    badges = "".join(f'<span class="badge {name}">{counts[name]} {name}</span>' for name in order if name in counts)
    return f'<p class="summary"><span class="what">{label}</span>{badges or "none"}</p>'


def _notebook_body(diff: NotebookDiff, old_label: str, new_label: str, prefix: str = "") -> list[str]:
    """The parts of the page that show one notebook's diff; ``prefix`` keeps its anchors apart
    from those of other notebooks on the same page."""
    shown = [cell for cell in diff.cells if cell.shown]
    anchors = {id(cell): f"{prefix}cell-{index}" for index, cell in enumerate(shown, 1)}
    svg, drawn, total = _svg(diff.cells, anchors, prefix)
    body = [
        f'<p class="files"><span class="old mono">{_esc(old_label)}</span><span class="arrow">\u2192</span>'
        f'<span class="new mono">{_esc(new_label)}</span></p>',
        _counts("cells", diff.cells),
        _counts("parameters", diff.parameters),
    ]
    if not diff.changed:
        body.append('<p class="note">No differences in cells or parameters.</p>')
    if svg:
        caption = ("" if drawn == total else
                   f'<p class="note">Showing {drawn} of {total} code cells: the changed ones and their neighbours.</p>')
        body += [
            '<section class="graph"><h2>Cell graph</h2>',
            caption,
            svg,
            _legend(),
            "</section>",
        ]
    body.append(_parameter_section(diff.parameters))
    body.append('<section class="cells"><h2>Cells</h2>')
    body.extend(_cell_article(cell, anchors[id(cell)]) for cell in shown)
    quiet_outputs = [_esc(cell.short()) for cell in diff.cells if cell.outputs_changed and not cell.shown]
    if quiet_outputs:
        body.append(f'<p class="note">outputs differ (not shown): {", ".join(quiet_outputs)}</p>')
    same = [_esc(cell.short()) for cell in diff.cells if not cell.shown]
    if same:
        body.append(f'<p class="note">unchanged: {len(same)} cell{"s" if len(same) > 1 else ""} ({", ".join(same)})</p>')
    body.append("</section>")
    return body


def _page(title: str, body: list[str]) -> str:
    return "\n".join([
        "<!DOCTYPE html>",
        '<html lang="en">',
        "<head>",
        '<meta charset="utf-8">',
        f'<meta http-equiv="Content-Security-Policy" content="{_POLICY}">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>Notebook diff: {html.escape(visible(title))}</title>",
        f"<style>{_CSS}</style>",
        "</head>",
        "<body>",
        *body,
        "</body>",
        "</html>",
        "",
    ])


def render_html(diff: NotebookDiff, old_label: str, new_label: str) -> str:
    """The whole page, as text; the same diff always gives the same bytes."""
    head, *rest = _notebook_body(diff, old_label, new_label)
    body = ["<header>", "<h1>Notebook diff</h1>", head, *rest[:2], "</header>", *rest[2:]]
    return _page(f"{old_label} \u2192 {new_label}", body)


def render_html_set(entries: list[tuple[NotebookDiff | str, str, str]], title: str) -> str:
    """One page for several notebooks: (diff, old label, new label) each, or in place of the
    diff the reason why that notebook could not be compared cell by cell."""
    body = ["<header>", "<h1>Notebook diff</h1>", f'<p class="files">{_esc(title)}</p>']
    if not entries:
        body.append('<p class="note">No notebook differs.</p>')
    else:
        links = "".join(f'<li><a class="mono" href="#nb-{number}">{_esc(new if new != "/dev/null" else old)}</a></li>'
                        for number, (_diff, old, new) in enumerate(entries, 1))
        body.append(f'<ul class="notebooks">{links}</ul>')
    body.append("</header>")
    for number, (diff, old_label, new_label) in enumerate(entries, 1):
        body.append(f'<section class="notebook" id="nb-{number}">')
        if isinstance(diff, str):
            body.append(f'<p class="files"><span class="old mono">{_esc(old_label)}</span><span class="arrow">'
                        f'\u2192</span><span class="new mono">{_esc(new_label)}</span></p>')
            body.append(f'<p class="note">Not compared cell by cell: {_esc(diff)}</p>')
        else:
            body.extend(_notebook_body(diff, old_label, new_label, f"nb-{number}-"))
        body.append("</section>")
    return _page(title, body)
