"""`vornik-git diff --html`: a page that is self-contained, shows user text as text, draws the
cell graph faithfully, and renders in a real browser."""

import json
import re
import shutil
import struct
import subprocess
import xml.etree.ElementTree as ElementTree
from html.parser import HTMLParser
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from notebooks import make_cell, make_notebook
from vornik_git import cli, diffview, htmlview

ROOT = Path(__file__).resolve().parent.parent
SVG = "{http://www.w3.org/2000/svg}"


class Page(HTMLParser):
    """Every element with its attributes, and the text inside each kind of element."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.elements, self.texts, self.open = [], [], []
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        self.elements.append((tag, dict(attrs)))
        if tag not in ("meta", "col", "br", "rect", "path"):
            self.open.append(tag)

    def handle_endtag(self, tag):
        if tag in self.open:
            del self.open[len(self.open) - 1 - self.open[::-1].index(tag):]

    def handle_data(self, data):
        self.texts.append((tuple(self.open), data))

    def text(self):
        return "".join(data for _tags, data in self.texts)

    def words(self):
        return " ".join(" ".join(data for _tags, data in self.texts).split())


def page_of(old, new, labels=("old.ipynb", "new.ipynb")):
    return htmlview.render_html(diffview.compare(old, new), *labels)


def svg_of(page):
    return ElementTree.fromstring(page[page.index("<svg"):page.index("</svg>") + len("</svg>")])


def boxes(svg):
    """The drawn cells: id text -> (status, x, y)."""
    found = {}
    for group in svg.iter(f"{SVG}g"):
        rect, texts = group.find(f"{SVG}rect"), group.findall(f"{SVG}text")
        found[texts[1].text] = (group.get("class").split()[1], float(rect.get("x")), float(rect.get("y")))
    return found


def arrows(svg):
    """The drawn links: (kind, start point, end point)."""
    found = []
    for path in svg.iter(f"{SVG}path"):
        if "link" not in (path.get("class") or ""):
            continue
        numbers = [float(n) for n in re.findall(r"-?\d+(?:\.\d+)?", path.get("d"))]
        found.append((path.get("class").split()[1], tuple(numbers[:2]), tuple(numbers[-2:])))
    return found


SCRIPT = '<script>document.title="ran"</script><img src=x onerror=alert(1)>"\'&'


@pytest.mark.parametrize("place", ["cell name", "cell id", "source", "parent name", "parameter name",
                                   "parameter value", "markdown source", "file label"])
def test_user_text_is_shown_not_run(place):
    old_cells = [make_cell("a", "load", ["x = 1\n"]), make_cell("b", "fit", ["y = 2\n"], parents=["a"]),
                 make_cell("m", "", ["notes\n"], cell_type="markdown")]
    new_cells = json.loads(json.dumps(old_cells))
    parameters = [{"name": "p", "type": "str", "value": "1"}]
    new_parameters = [{"name": "p", "type": "str", "value": "2"}]
    labels = ("old.ipynb", "new.ipynb")
    if place == "cell name":
        new_cells[0]["metadata"]["canvas"]["name"] = SCRIPT
    elif place == "cell id":
        new_cells[0]["metadata"]["canvas"]["id"] = SCRIPT
    elif place == "source":
        new_cells[0]["source"] = [SCRIPT + "\n"]
    elif place == "parent name":
        new_cells[1]["metadata"]["canvas"]["parents"] = [{"id": "a", "name": SCRIPT}]
        new_cells[1]["source"] = ["changed\n"]
    elif place == "parameter name":
        new_parameters[0]["name"] = SCRIPT
    elif place == "parameter value":
        new_parameters[0]["value"] = SCRIPT
    elif place == "markdown source":
        new_cells[2]["source"] = [SCRIPT]
    else:
        labels = (SCRIPT, "new.ipynb")
    page = page_of(make_notebook(old_cells, parameters), make_notebook(new_cells, new_parameters), labels)
    parsed = Page(page)
    tags = {tag for tag, _attrs in parsed.elements}
    assert "script" not in tags and "img" not in tags
    assert not any(name.startswith("on") for _tag, attrs in parsed.elements for name in attrs)
    assert SCRIPT in parsed.text()
    svg_of(page)  # names and ids inside the drawing keep it well-formed


def test_page_fetches_nothing():
    page = page_of(*[json.loads((ROOT / f"examples/{name}.ipynb").read_text()) for name in ("base", "incoming")])
    parsed = Page(page)
    assert {tag for tag, _attrs in parsed.elements} <= {
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
    old, new = (json.loads((ROOT / "tests/data" / f"pipeline-{name}.ipynb").read_text()) for name in ("old", "new"))
    first = page_of(json.loads(json.dumps(old)), json.loads(json.dumps(new)))
    from vornik_git.drivers import nbdelta

    real = nbdelta.diff_dicts

    def reversed_groups(prev, current):
        graph = real(prev, current)
        graph["cells"].reverse()
        graph["metadata"]["canvas"]["parameter"].reverse()
        return graph

    monkeypatch.setattr(nbdelta, "diff_dicts", reversed_groups)
    assert page_of(old, new) == first


def test_drawing_matches_the_cells_and_links():
    old, new = (json.loads((ROOT / "tests/data" / f"pipeline-{name}.ipynb").read_text()) for name in ("old", "new"))
    diff = diffview.compare(old, new)
    svg = svg_of(htmlview.render_html(diff, "old", "new"))
    drawn = boxes(svg)
    assert {key: status for key, (status, _x, _y) in drawn.items()} == {
        "a101": "unchanged", "b202": "unchanged", "c303": "modified", "d404": "relinked", "h808": "added",
        "e505": "modified", "f606": "renamed", "g707": "removed"}
    expected = sorted(
        [("kept", link.cell_id, cell.cell_id) for cell in diff.cells for link in cell.parents]
        + [("added", link.cell_id, cell.cell_id) for cell in diff.cells for link in cell.added_parents]
        + [("removed", link.cell_id, cell.cell_id) for cell in diff.cells for link in cell.removed_parents])
    found = []
    for kind, start, end in arrows(svg):
        parent = next(key for key, (_s, x, y) in drawn.items()
                      if x <= start[0] <= x + htmlview.BOX_WIDTH and start[1] == y + htmlview.BOX_HEIGHT)
        child = next(key for key, (_s, x, y) in drawn.items() if x <= end[0] <= x + htmlview.BOX_WIDTH and end[1] == y)
        found.append((kind, parent, child))
    assert sorted(found) == expected


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
    positions = sorted((x, y) for _status, x, y in drawn.values())
    assert len(set(positions)) == len(positions)
    tops = {(x, y) for _status, x, y in drawn.values()}
    for _kind, start, end in arrows(svg):
        assert end[1] > start[1]
        assert any(x <= end[0] <= x + htmlview.BOX_WIDTH and y == end[1] for x, y in tops)
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
    old = make_notebook([make_cell("a", "load", ["x = 1\n"])])
    new = make_notebook([make_cell("a", "load", [SCRIPT + "\n"])])
    page = tmp_path / "diff.html"
    page.write_text(page_of(old, new), encoding="utf-8")
    dom = chromium("--dump-dom", page.as_uri()).stdout
    parsed = Page(dom)
    assert "script" not in {tag for tag, _attrs in parsed.elements}
    assert SCRIPT in parsed.text()
    title = next(data for tags, data in parsed.texts if tags and tags[-1] == "title")
    assert title != "ran"
