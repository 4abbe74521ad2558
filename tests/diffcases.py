"""Shared by the diff view tests: notebooks carrying hostile user text, and readers of the HTML
page and its drawing."""

import json
import re
import xml.etree.ElementTree as ElementTree
from html.parser import HTMLParser
from pathlib import Path

from notebooks import make_cell, make_notebook

DATA = Path(__file__).resolve().parent / "data"
SVG = "{http://www.w3.org/2000/svg}"

# Markup for the page and control sequences for the terminal, a lone surrogate for the encoder,
# a bidi override and a zero-width space that would make the text read otherwise than it is.
HOSTILE = ('<script>document.title="ran"</script><img src=x onerror=y>\x1b]0;owned\x07\x1b[2J\x00\r\x85\ud800'
           ' \u202eevil\u200b end')
# How the views spell it out.
HOSTILE_SHOWN = ('<script>document.title="ran"</script><img src=x onerror=y>\\e]0;owned\\x07\\e[2J\\x00\\r'
                 '\\x85\\ud800 \\u202eevil\\u200b end')
PLACES = ["cell name", "cell id", "source", "parent name", "parameter name", "parameter value", "markdown source",
          "comment"]


def hostile_pair(place):
    """Two versions of a small notebook, the new one with HOSTILE at ``place``."""
    old_cells = [make_cell("a", "load", ["x = 1\n"]), make_cell("b", "fit", ["y = 2\n"], parents=["a"]),
                 make_cell("m", "", ["notes\n"], cell_type="markdown")]
    new_cells = json.loads(json.dumps(old_cells))
    old_parameters = [{"name": "p", "type": "str", "value": "1"}]
    new_parameters = [{"name": "p", "type": "str", "value": "2"}]
    target = {"cell name": (new_cells[0]["metadata"]["canvas"], "name"),
              "cell id": (new_cells[0]["metadata"]["canvas"], "id"),
              "parameter name": (new_parameters[0], "name"),
              "parameter value": (new_parameters[0], "value")}
    if place in target:
        container, key = target[place]
        container[key] = HOSTILE
    elif place == "source":
        new_cells[0]["source"] = [HOSTILE + "\n"]
    elif place == "comment":
        new_cells[0]["metadata"]["canvas"]["comments"] = [{"author": HOSTILE, "text": HOSTILE}]
    elif place == "parent name":
        new_cells[1]["metadata"]["canvas"]["parents"] = [{"id": "z", "name": HOSTILE}]
    else:
        new_cells[2]["source"] = [HOSTILE]
    return make_notebook(old_cells, old_parameters), make_notebook(new_cells, new_parameters)


def pipeline():
    return tuple(json.loads((DATA / f"pipeline-{name}.ipynb").read_text()) for name in ("old", "new"))


class Page(HTMLParser):
    """Every element with its attributes, and every piece of text after the element it follows."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.elements, self.texts = [], []
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        self.elements.append((tag, dict(attrs)))

    def handle_data(self, data):
        self.texts.append((self.elements[-1][0] if self.elements else None, data))

    def tags(self):
        return {tag for tag, _attrs in self.elements}

    def text(self):
        return "".join(data for _tag, data in self.texts)

    def words(self):
        return " ".join(" ".join(data for _tag, data in self.texts).split())


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
        if "link" in (path.get("class") or ""):
            numbers = [float(n) for n in re.findall(r"-?\d+(?:\.\d+)?", path.get("d"))]
            found.append((path.get("class").split()[1], tuple(numbers[:2]), tuple(numbers[-2:])))
    return found
