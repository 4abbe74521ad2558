"""One notebook as plain text, and what every view shares: reading a notebook file, the text of
any JSON value, and the escaping of user text on its way to a terminal.

This is all that ``vornik-git cat`` needs, which git runs twice per notebook and commit in
``git log -p``: it imports nothing beyond the native reader and the standard modules that the
interpreter has loaded anyway.
"""

from __future__ import annotations

import os
import re
from typing import Any

# Canvas entries shown apart: the cell's identity, its name, its links.
CANVAS_SHOWN_APART = ("id", "name", "parents")

# Stands for an absent side: git hands it for an added or deleted file.
NULL_PATH = os.devnull


class ViewError(Exception):
    """A notebook that cannot be shown; the text is one line, meant for the user."""


# --- reading -----------------------------------------------------------------------------


def empty_notebook() -> dict:
    return {"cells": [], "metadata": {"canvas": {"parameters": []}}}


def unreadable(error: ValueError | RecursionError) -> str:
    """Why bytes read from a file are no JSON document, as the views and the resolver word it:
    ``error`` is what decoding or parsing them raised."""
    if isinstance(error, UnicodeDecodeError):
        return "not UTF-8 text"
    if isinstance(error, RecursionError):
        return "nested too deeply to read"
    return f"not valid JSON ({error})"


def load_notebook(path: str | os.PathLike, label: str | None = None) -> dict:
    """The notebook at ``path``, read with the native reader; ``/dev/null`` is an empty one.
    Errors name the file by ``label`` when one is given."""
    from vornik_git import _native

    if os.fspath(path) == NULL_PATH:
        return empty_notebook()
    name = os.fspath(path) if label is None else label
    try:
        document = _native.load(os.fspath(path))
    except FileNotFoundError:
        raise ViewError(f"{name}: no such file") from None
    except OSError as error:
        raise ViewError(f"{name}: cannot read it ({error.strerror or error})") from None
    except (ValueError, RecursionError) as error:
        raise ViewError(f"{name}: {unreadable(error)}") from None
    if not isinstance(document, dict):
        raise ViewError(f"{name}: not a notebook (the top level is not a JSON object)")
    return document


# --- small helpers for documents of any shape ----------------------------------------------


def _mapping(value: Any) -> dict:
    return value if isinstance(value, dict) else {}


def _canvas(cell: Any) -> dict:
    return _mapping(_mapping(_mapping(cell).get("metadata")).get("canvas"))


def _text(value: Any) -> str:
    """A JSON value as a reader would type it: texts as they are, anything else as JSON."""
    if isinstance(value, str):
        return value
    import json

    try:
        return json.dumps(value, ensure_ascii=False, allow_nan=True)
    except (TypeError, ValueError, RecursionError):
        return repr(value)


def source_lines(value: Any) -> list[str]:
    """A cell's source as display lines, each keeping its line break.

    A source may be one string or a list whose items hold several lines; both read as the
    lines a reader sees.
    """
    if value is None:
        return []
    if isinstance(value, list):
        text = "".join(_text(item) for item in value)
    else:
        text = _text(value)
    lines = text.split("\n")
    result = [line + "\n" for line in lines[:-1]]
    if lines[-1]:
        result.append(lines[-1])
    return result


# What would act on a terminal, or hide or reorder the text around it, instead of showing: C0
# and C1 controls (the tab aside), lone surrogates (which UTF-8 cannot even carry), and the
# format characters and line separators up to Unicode 15.1 (categories Cf, Zl, Zp): bidi embeddings,
# overrides and isolates, zero-width spaces and joiners, the byte order mark and the like.
_INVISIBLE = re.compile(
    "[\x00-\x08\x0a-\x1f\x7f-\x9f\xad\u0600-\u0605\u061c\u06dd\u070f\u0890\u0891\u08e2\u180e"
    "\u200b-\u200f\u2028-\u202e\u2060-\u2064\u2066-\u206f\ud800-\udfff\ufeff\ufff9-\ufffb"
    "\U000110bd\U000110cd\U00013430-\U0001343f\U0001bca0-\U0001bca3\U0001d173-\U0001d17a"
    "\U000e0001\U000e0020-\U000e007f]"
)
_NAMED_ESCAPES = {"\r": "\\r", "\n": "\\n", "\x1b": "\\e"}


def _spelled(match: re.Match) -> str:
    character = match.group()
    code = ord(character)
    if character in _NAMED_ESCAPES:
        return _NAMED_ESCAPES[character]
    if code < 0x100:
        return f"\\x{code:02x}"
    return f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}"


def visible(text: str) -> str:
    """``text`` with everything that would not show as itself spelled out as an escape.

    Every text of the user's (names, ids, sources, paths, values, messages quoting them) goes
    through here on its way to a terminal or a page: a raw escape sequence would drive the
    terminal, and a bidi override would make a line read differently from what it holds.
    """
    return _INVISIBLE.sub(_spelled, text)


def name_links(document: Any) -> None:
    """Gives every parent link without a "name" the name of the cell it points at.

    A merged notebook keeps only the "id" of each link; a link is read as naming its parent the
    way that parent is named in the same notebook (null when no cell there has that id, or the
    cell has no name). Links that do have a "name" keep it.
    """
    cells = _mapping(document).get("cells")
    if not isinstance(cells, list):
        return
    names: dict = {}
    links = []
    for cell in cells:
        canvas = _canvas(cell)
        cell_id = canvas.get("id")
        if isinstance(cell_id, str):
            names[cell_id] = canvas.get("name")
        parents = canvas.get("parents")
        if isinstance(parents, list):
            links.extend(link for link in parents if isinstance(link, dict) and "name" not in link and "id" in link)
    for link in links:
        link["name"] = names.get(link["id"]) if isinstance(link["id"], str) else None


def comment_text(comment: Any) -> str:
    """A comment as a reader would write it: "author: text", or its JSON when it has no text."""
    if isinstance(comment, dict) and isinstance(comment.get("text"), str):
        author = comment.get("author")
        return f"{_text(author)}: {comment['text']}" if author not in (None, "") else comment["text"]
    return _text(comment)


def _value(value: Any) -> str:
    if value is None:
        return "null"
    text = _text(value)
    # Quoted where the bare text would hide something: emptiness, edge blanks, "null" itself.
    if text == "" or text != text.strip() or text == "null":
        import json

        return json.dumps(text, ensure_ascii=False)
    return text


def link_label(cell_id: Any, name: Any = None) -> str:
    """A parent link as a reader sees it: the parent's name and id, or the id alone."""
    shown = _text(name) if name not in (None, "") else ""
    return f"{visible(shown)} [{visible(_text(cell_id))}]" if shown else f"[{visible(_text(cell_id))}]"


# --- one notebook as text, for git's textconv ----------------------------------------------


def render_notebook(document: Any) -> str:
    """One notebook as lines that a line diff compares well: parameters, then every cell with
    its type, name, id, parent links and source; outputs only counted.

    Nothing in the text depends on a cell's position, so that inserting one cell changes only
    the lines of that cell. Any JSON value is accepted: what is not a notebook shows as JSON.
    """
    if not isinstance(document, dict):
        return _text(document) + "\n"
    name_links(document)
    lines = []
    parameters = _mapping(_mapping(document.get("metadata")).get("canvas")).get("parameters")
    if isinstance(parameters, list) and parameters:
        lines.append("parameters:")
        for parameter in parameters:
            entry = _mapping(parameter)
            lines.append(visible(f"  {_text(entry.get('name'))} ({_text(entry.get('type'))}) = {_value(entry.get('value'))}"))
    cells = document.get("cells")
    for cell in cells if isinstance(cells, list) else []:
        entry, canvas = _mapping(cell), _canvas(cell)
        title = [f"{_text(entry.get('cell_type', '?'))} cell"]
        if canvas.get("name"):
            title.append(f"'{_text(canvas['name'])}'")
        cell_id = canvas.get("id", entry.get("id"))
        if cell_id is not None:
            title.append(f"[{_text(cell_id)}]")
        lines.append(visible(" ".join(title)))
        parents = canvas.get("parents")
        if isinstance(parents, list) and parents:
            lines.append("  parents: " + ", ".join(link_label(link.get("id"), link.get("name"))
                                                   for link in parents if isinstance(link, dict)))
        lines.extend(visible(f"  {line}") for line in _canvas_lines(canvas))
        lines.extend("    " + visible(line.rstrip("\n")) for line in source_lines(entry.get("source")))
        outputs = entry.get("outputs")
        if isinstance(outputs, list) and outputs:
            lines.append(f"  outputs: {len(outputs)} (not shown)")
    return "\n".join(lines) + ("\n" if lines else "")


def _canvas_lines(canvas: dict) -> list[str]:
    """A cell's canvas data beyond its id, name and links, one line per entry or comment."""
    lines = []
    for key, value in canvas.items():
        if key in CANVAS_SHOWN_APART:
            continue
        if key == "comments" and isinstance(value, list):
            lines.extend(f"comment: {comment_text(comment)}" for comment in value)
        elif key == "headerColor":
            lines.append(f"header colour: {_value(value)}")
        else:
            lines.append(f"{_text(key)}: {_value(value)}")
    return lines


def render_file(path: str | os.PathLike) -> str:
    """``render_notebook`` of the file at ``path``; a file that is not JSON shows as it is."""
    try:
        return render_notebook(load_notebook(path))
    except ViewError as error:
        try:
            with open(path, encoding="utf-8", errors="replace") as stream:
                raw = stream.read()
        except OSError:
            raise error from None
        shown = "".join(visible(line) + "\n" for line in raw.splitlines())
        return f"(not read as a notebook: {visible(str(error))})\n" + shown
