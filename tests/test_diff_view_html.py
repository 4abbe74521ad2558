"""`vornik-git diff --html`: a page that is self-contained, shows user text as text, draws the
cell graph faithfully, and renders in a real browser."""

import json
import re
import shutil
import struct
import subprocess
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from diffcases import HOSTILE, HOSTILE_SHOWN, Page, arrows, boxes, pipeline, svg_of
from notebooks import make_cell, make_notebook
from vornik_git import cli, diffview, htmlview

ROOT = Path(__file__).resolve().parent.parent


def page_of(old, new, labels=("old.ipynb", "new.ipynb")):
    return htmlview.render_html(diffview.compare(old, new), *labels)


def test_page_fetches_nothing():
    page = page_of(*[json.loads((ROOT / f"examples/{name}.ipynb").read_text()) for name in ("base", "incoming")])
    parsed = Page(page)
    assert parsed.tags() <= {
        "html", "head", "meta", "title", "style", "body", "header", "h1", "h2", "p", "span", "section", "svg",
        "defs", "marker", "path", "a", "g", "title", "rect", "text", "table", "thead", "tbody", "tr", "th", "td",
        "colgroup", "col", "article", "ul", "li", "code", "del", "ins", "i", "b"}
    references = [value for _tag, attrs in parsed.elements for name, value in attrs.items()
                  if name in ("href", "src", "xlink:href", "action")]
    assert references and all(value.startswith("#") for value in references)
    urls = re.findall(r"url\(([^)]*)\)", page)
    assert urls and all(url.startswith("#") for url in urls)
    policy = next(attrs["content"] for tag, attrs in parsed.elements if attrs.get("http-equiv") == "Content-Security-Policy")
    assert "default-src 'none'" in policy and "script-src" not in policy


def test_page_does_not_depend_on_the_order_of_the_diff_graph(monkeypatch):
    first = page_of(*pipeline())
    from vornik_git.drivers import nbdelta

    real = nbdelta.diff_dicts

    def reversed_groups(prev, current):
        graph = real(prev, current)
        graph["cells"].reverse()
        graph["metadata"]["canvas"]["parameter"].reverse()
        return graph

    monkeypatch.setattr(nbdelta, "diff_dicts", reversed_groups)
    assert page_of(*pipeline()) == first


def box_at(drawn, point, edge):
    """The drawn cell whose top (edge 0) or bottom (edge 1) holds ``point``."""
    return next(key for key, (_status, x, y) in drawn.items()
                if x <= point[0] <= x + htmlview.BOX_WIDTH and point[1] == y + edge * htmlview.BOX_HEIGHT)


def test_drawing_matches_the_cells_and_links():
    diff = diffview.compare(*pipeline())
    page = htmlview.render_html(diff, "old", "new")
    assert "iVBOR" not in page and "(1452, 3)" not in page  # outputs: an image, a result
    svg = svg_of(page)
    drawn = boxes(svg)
    assert {key: status for key, (status, _x, _y) in drawn.items()} == {
        "a101": "unchanged", "b202": "unchanged", "c303": "modified", "d404": "relinked", "h808": "added",
        "e505": "modified", "f606": "renamed", "g707": "removed"}
    expected = [(kind, link.cell_id, cell.cell_id) for cell in diff.cells for kind, links in (
        ("kept", cell.parents), ("added", cell.added_parents), ("removed", cell.removed_parents)) for link in links]
    found = [(kind, box_at(drawn, start, 1), box_at(drawn, end, 0)) for kind, start, end in arrows(svg)]
    assert sorted(found) == sorted(expected)


@settings(max_examples=40, deadline=None)
@given(st.lists(st.lists(st.integers(0, 30), max_size=3), min_size=1, max_size=14), st.data())
def test_every_arrow_points_down_into_a_box_clear_of_others(parent_choices, data):
    # cell n may only have parents before it: an acyclic graph, as pipelines are
    cells = [make_cell(f"c{n}", f"cell {n}", [f"x{n}\n"],
                       parents=sorted({f"c{choice % n}" for choice in choices}) if n else [])
             for n, choices in enumerate(parent_choices)]
    changed = json.loads(json.dumps(cells))
    for index in data.draw(st.lists(st.integers(0, len(cells) - 1), max_size=3)):
        changed[index]["source"] = ["edited\n"]
    svg = svg_of(page_of(make_notebook(cells), make_notebook(changed)))
    drawn = boxes(svg)
    assert len(drawn) == len(cells)
    assert len({(x, y) for _status, x, y in drawn.values()}) == len(cells)
    for _kind, start, end in arrows(svg):
        assert end[1] > start[1]
        box_at(drawn, end, 0)
    assert len(arrows(svg)) == sum(len(cell["metadata"]["canvas"]["parents"]) for cell in cells)


def test_a_cycle_of_parents_is_still_drawn():
    cells = [make_cell("a", "a", ["1\n"], parents=["c"]), make_cell("b", "b", ["2\n"], parents=["a"]),
             make_cell("c", "c", ["3\n"], parents=["b"])]
    changed = json.loads(json.dumps(cells))
    changed[0]["source"] = ["one\n"]
    svg = svg_of(page_of(make_notebook(cells), make_notebook(changed)))
    assert set(boxes(svg)) == {"a", "b", "c"} and len(arrows(svg)) == 3


@pytest.mark.parametrize("cells, changed, drawn", [
    (htmlview.MAX_DRAWN_CELLS, [], htmlview.MAX_DRAWN_CELLS),
    (htmlview.MAX_DRAWN_CELLS + 1, [50], 3),  # the changed cell, its parent and its child
    (300, [0, 299], 4),
])
def test_a_large_graph_is_cut_down_to_the_changes(cells, changed, drawn):
    chain = [make_cell(f"c{n}", f"cell {n}", [f"x{n}\n"], parents=[f"c{n - 1}"] if n else []) for n in range(cells)]
    edited = json.loads(json.dumps(chain))
    for index in changed:
        edited[index]["source"] = ["edited\n"]
    page = page_of(make_notebook(chain), make_notebook(edited))
    assert len(boxes(svg_of(page))) == drawn
    assert (f"Showing {drawn} of {cells} code cells" in page) == (drawn != cells)


def rows(page, cell_title):
    """The side-by-side rows of one cell: (old number, old text, new number, new text)."""
    article = page[page.index(cell_title):]
    table = article[article.index('<table class="sbs">'):article.index("</table>")]
    return [tuple(Page(part).text() for part in re.findall(r"<td[^>]*>(.*?)</td>", row, re.S))
            for row in re.findall(r"<tr>(.*?)</tr>", table, re.S)]


def test_side_by_side_rows_pair_the_lines():
    old = make_notebook([make_cell("a", "train", ["import x\n", "fit(alpha=0.1)\n", "score()\n", "plot()"])])
    new = make_notebook([make_cell("a", "train", ["import x\n", "fit(alpha=0.2)\n", "score()\n", "extra()\n",
                                                  "plot()\n"])])
    page = page_of(old, new)
    assert rows(page, "&#x27;train&#x27;") == [
        ("1", "import x", "1", "import x"),
        ("2", "fit(alpha=0.1)", "2", "fit(alpha=0.2)"),
        ("3", "score()", "3", "score()"),
        ("4", "plot() no line break at the end", "4", "extra()"),
        ("", "", "5", "plot()"),
    ]
    assert "fit(alpha=0.<del>1</del>)" in page and "fit(alpha=0.<ins>2</ins>)" in page


def test_unchanged_lines_between_hunks_are_counted():
    lines = [f"line {n}\n" for n in range(20)]
    edited = list(lines)
    edited[0], edited[19] = "first\n", "last\n"
    page = page_of(make_notebook([make_cell("a", "long", lines)]), make_notebook([make_cell("a", "long", edited)]))
    assert "12 unchanged lines" in page  # 20 lines, 2 changed, 3 of context on each side of each


# --- a real browser --------------------------------------------------------------------------

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


def chromium(*args):
    command = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
               "--no-first-run", "--disable-extensions", *args]
    return subprocess.run(command, capture_output=True, text=True, timeout=120)


@pytest.mark.skipif(CHROMIUM is None, reason="Chromium is not installed (Debian package 'chromium')")
def test_page_renders_in_headless_chromium(tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(ROOT)
    page = tmp_path / "diff.html"
    assert cli.main(["diff", "--html", str(page), "examples/base.ipynb", "examples/current.ipynb"]) == 1
    capsys.readouterr()
    picture = tmp_path / "diff.png"
    result = chromium(f"--screenshot={picture}", "--window-size=1000,900", page.as_uri())
    assert picture.exists(), result.stderr
    data = picture.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    assert struct.unpack(">II", data[16:24]) == (1000, 900)
    # a blank page compresses to a few hundred bytes; this one has text, tables and a drawing
    assert len(data) > 20_000

    dom = chromium("--dump-dom", page.as_uri()).stdout
    parsed = Page(dom)
    text = parsed.words()
    assert "modified code cell 'clean' [8a2e]" in text
    assert "frame = frame[frame.a >= threshold]" in parsed.text()
    assert "threshold float 0.5 0.6" in text
    assert [attrs.get("class") for tag, attrs in parsed.elements if tag == "g"] == [
        "node unchanged", "node modified", "node modified"]


@pytest.mark.skipif(CHROMIUM is None, reason="Chromium is not installed (Debian package 'chromium')")
def test_hostile_source_does_not_run_in_chromium(tmp_path):
    page = tmp_path / "diff.html"
    page.write_text(page_of(make_notebook([make_cell("a", "load", ["x = 1\n"])]),
                            make_notebook([make_cell("a", "load", [HOSTILE + "\n"])])), encoding="utf-8")
    parsed = Page(chromium("--dump-dom", page.as_uri()).stdout)
    assert not parsed.tags() & {"script", "img"} and HOSTILE_SHOWN in parsed.text()
    assert next(data for tag, data in parsed.texts if tag == "title") != "ran"
