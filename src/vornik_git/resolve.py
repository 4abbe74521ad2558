"""``vornik-git resolve``: settles what a merge left in a notebook, one conflict at a time.

A merge keeps what it cannot combine: cells and parameters in two variants (names prefixed
"<<< " for current's, ">>> " for incoming's; one variant alone when the other side deleted it)
and git's conflict blocks inside a cell's source. The resolver walks them in document order and
asks, or applies one side's choice to all of them (``--take``). Nothing is written until every
answer of a notebook is in; the file is then replaced in one step, in the layout it had.
"""

from __future__ import annotations

import json
import os
import re
import select
import signal
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field
from typing import Any, Callable

from .diffview import source_lines, unified_lines, visible
from .gitdriver import editor_layout
from .notebooktext import unreadable

CURRENT, INCOMING = "current", "incoming"
PREFIXES = {"<<< ": CURRENT, ">>> ": INCOMING}
SIDE_PREFIX = {side: prefix for prefix, side in PREFIXES.items()}
OTHER = {CURRENT: INCOMING, INCOMING: CURRENT}

# Set for the merge tool a fallback starts, so that a tool configured to run us again stops there.
FALLBACK_MARK = "VORNIK_GIT_RESOLVE_FALLBACK"

_START = re.compile(r"<{7}(?: |$)")
_BASE = re.compile(r"\|{7}(?: |$)")
_SEPARATOR = re.compile(r"={7}$")
_END = re.compile(r">{7}(?: |$)")

# Longest rendering of one metadata value on the screen.
_VALUE_WIDTH = 70


class ResolveError(Exception):
    """A notebook that cannot be read or written; the text is one line for the user."""


class NotANotebook(ResolveError):
    """A file that does not read as a notebook at all."""


class Quit(Exception):
    """The user asked to stop without writing."""


# --- reading and writing ------------------------------------------------------------------


def _mapping(value: Any) -> dict:
    return value if isinstance(value, dict) else {}


def _canvas(cell: Any) -> dict:
    return _mapping(_mapping(_mapping(cell).get("metadata")).get("canvas"))


@dataclass
class Notebook:
    path: str
    document: dict
    editor_form: bool  # the file was exactly the notebook editor's layout of the document


def read(path: str) -> Notebook:
    try:
        with open(path, "rb") as stream:
            data = stream.read()
    except OSError as error:
        raise ResolveError(f"{path}: cannot read it ({error.strerror or error})") from None
    try:
        text = data.decode("utf-8")
        document = json.loads(text)
    except (ValueError, RecursionError) as error:
        raise NotANotebook(f"{path}: {unreadable(error)}") from None
    if not isinstance(document, dict) or not isinstance(document.get("cells"), list):
        raise NotANotebook(f"{path}: not a notebook (no list of cells)")
    return Notebook(path, document, editor_layout(document, data))


def write(notebook: Notebook) -> None:
    """Replaces the file in one step, in the layout it had."""
    from vornik_git import _native

    try:
        if notebook.editor_form:
            try:
                _native.dump_editor(notebook.document, notebook.path)
                return
            except (UnicodeError, ValueError):
                pass  # text that layout cannot hold as UTF-8: the one-line form escapes it
        _native.dump(notebook.document, notebook.path)
    except OSError as error:
        raise ResolveError(f"{notebook.path}: cannot write it ({error.strerror or error})") from None


# --- finding the conflicts ------------------------------------------------------------------


def split_name(name: Any) -> tuple[str | None, str]:
    """(side, name without the prefix) of a variant's name; side is None for other names."""
    if isinstance(name, str):
        for prefix, side in PREFIXES.items():
            if name.startswith(prefix):
                return side, name[len(prefix):]
    return None, name if isinstance(name, str) else ""


@dataclass
class Variant:
    side: str
    item: dict  # the cell or parameter object itself
    position: int  # 1-based, in the cell or parameter list


@dataclass
class Block:
    """A conflict block in a source: lines[start:stop] of the cell's source lines."""

    start: int
    stop: int
    current: list[str]
    incoming: list[str]
    current_label: str
    incoming_label: str


@dataclass
class Conflict:
    kind: str  # "cell", "parameter" or "source"
    name: str  # the name without the prefix (cell and parameter), the cell's name (source)
    variants: list[Variant] = field(default_factory=list)
    cell: dict | None = None  # the cell of a source conflict
    block: Block | None = None
    block_number: int = 0
    block_count: int = 0

    @property
    def sides(self) -> set[str]:
        return {variant.side for variant in self.variants}

    def matches(self, cells: list[str], parameters: list[str]) -> bool:
        if self.kind == "parameter":
            return any(wanted in (self.name, variant.item.get("name")) for variant in self.variants
                       for wanted in parameters)
        items = [variant.item for variant in self.variants] if self.kind == "cell" else [self.cell]
        keys = {self.name}
        for item in items:
            canvas = _canvas(item)
            keys.update(value for value in (canvas.get("name"), canvas.get("id")) if isinstance(value, str))
        return any(wanted in keys for wanted in cells)


def _line_text(line: Any) -> str:
    return line.rstrip("\r\n") if isinstance(line, str) else ""


def _label(marker_line: str) -> str:
    return _line_text(marker_line)[8:]


def find_blocks(lines: list[str]) -> tuple[list[Block], int]:
    """The complete conflict blocks of ``lines``, and the count of opening marks that start
    none (a block cut short, a marker typed by hand)."""
    blocks, stray, index = [], 0, 0
    while index < len(lines):
        if not _START.match(_line_text(lines[index])):
            index += 1
            continue
        start, part, sides = index, "current", {"current": [], "base": [], "incoming": []}
        index += 1
        while index < len(lines):
            text = _line_text(lines[index])
            if part == "current" and _BASE.match(text):
                part = "base"
            elif part in ("current", "base") and _SEPARATOR.match(text):
                part = "incoming"
            elif part == "incoming" and _END.match(text):
                break
            elif _START.match(text):
                break  # a new opening before this block closed
            else:
                sides[part].append(lines[index])
            index += 1
        if index < len(lines) and part == "incoming" and _END.match(_line_text(lines[index])):
            blocks.append(Block(start, index + 1, sides["current"], sides["incoming"],
                                _label(lines[start]), _label(lines[index])))
            index += 1
        else:
            stray += 1
            index = start + 1
    return blocks, stray


def _source_of(cell: Any) -> list[str]:
    source = _mapping(cell).get("source")
    if isinstance(source, str):
        return source_lines(source)
    return [line for line in source if isinstance(line, str)] if isinstance(source, list) else []


def find_conflicts(document: dict) -> tuple[list[Conflict], int]:
    """Every conflict of ``document`` in document order (cells, with the blocks of a cell right
    after it, then parameters), and the count of conflict marks no menu can settle."""
    found: list[Conflict] = []
    groups: dict[str, Conflict] = {}
    stray = 0
    for position, cell in enumerate(document["cells"], 1):
        canvas = _canvas(cell)
        side, name = split_name(canvas.get("name"))
        if side is not None:
            if name not in groups:
                groups[name] = Conflict("cell", name)
                found.append(groups[name])
            groups[name].variants.append(Variant(side, cell, position))
        blocks, loose = find_blocks(_source_of(cell))
        stray += loose
        for number, block in enumerate(blocks, 1):
            found.append(Conflict("source", name, cell=cell, block=block, block_number=number,
                                  block_count=len(blocks)))
    parameter_groups: dict[str, Conflict] = {}
    parameters = _mapping(_mapping(document.get("metadata")).get("canvas")).get("parameters")
    for position, parameter in enumerate(parameters if isinstance(parameters, list) else [], 1):
        side, name = split_name(_mapping(parameter).get("name"))
        if side is None:
            continue
        if name not in parameter_groups:
            parameter_groups[name] = Conflict("parameter", name)
            found.append(parameter_groups[name])
        parameter_groups[name].variants.append(Variant(side, parameter, position))
    return found, stray


def unresolved(document: dict) -> int:
    conflicts, stray = find_conflicts(document)
    return len(conflicts) + stray


# --- settling them --------------------------------------------------------------------------


def _name_of(conflict: Conflict, item: dict) -> Any:
    return item.get("name") if conflict.kind == "parameter" else _canvas(item).get("name")


def _rename(conflict: Conflict, item: dict, name: str) -> None:
    if conflict.kind == "parameter":
        item["name"] = name
    else:
        item["metadata"]["canvas"]["name"] = name


class Session:
    """The answers given for one notebook. Renames go straight into the document; removals
    and new sources wait for ``finish``, so that positions stay put while questions are asked."""

    def __init__(self, notebook: Notebook) -> None:
        self.notebook = notebook
        self.conflicts, self.stray = find_conflicts(notebook.document)
        self.removed: dict[int, dict] = {}
        self.sources: dict[int, tuple[dict, list[tuple[Block, list[str]]]]] = {}
        self.settled = 0

    def pending(self, conflict: Conflict) -> bool:
        """Whether the question still stands: the blocks of a removed cell need no answer."""
        return conflict.kind != "source" or id(conflict.cell) not in self.removed

    def _taken_names(self, conflict: Conflict) -> set:
        document = self.notebook.document
        if conflict.kind == "parameter":
            items = _mapping(_mapping(document.get("metadata")).get("canvas")).get("parameters") or []
        else:
            items = document["cells"]
        return {_name_of(conflict, _mapping(item)) for item in items if id(item) not in self.removed}

    def keep(self, conflict: Conflict, sides: set[str]) -> None:
        """Keeps the variants of ``sides`` (current's first) under the name without the prefix,
        later ones under a name of their own; removes the others."""
        kept = sorted((v for v in conflict.variants if v.side in sides), key=lambda v: v.side != CURRENT)
        for variant in conflict.variants:
            if variant.side not in sides:
                self.removed[id(variant.item)] = variant.item
        for number, variant in enumerate(kept):
            name = conflict.name
            if number:
                taken = self._taken_names(conflict)
                name, count = f"{conflict.name} ({variant.side})", 1
                while name in taken:
                    count += 1
                    name = f"{conflict.name} ({variant.side} {count})"
            _rename(conflict, variant.item, name)
        self.settled += 1

    def take(self, conflict: Conflict, side: str) -> None:
        """The notebook as ``side`` has it here: its variant, its lines, or no variant at all
        where ``side`` deleted the cell or parameter."""
        if conflict.kind == "source":
            assert conflict.block is not None
            self.replace_block(conflict, conflict.block.current if side == CURRENT else conflict.block.incoming)
        else:
            self.keep(conflict, {side})

    def replace_block(self, conflict: Conflict, lines: list[str]) -> None:
        assert conflict.cell is not None and conflict.block is not None
        self.sources.setdefault(id(conflict.cell), (conflict.cell, []))[1].append((conflict.block, lines))
        self.settled += 1

    def finish(self) -> bool:
        """Puts the answers into the document; returns whether anything changed."""
        document = self.notebook.document
        for cell, replacements in self.sources.values():
            lines = _source_of(cell)
            for block, new in sorted(replacements, key=lambda pair: -pair[0].start):
                lines[block.start:block.stop] = new
            cell["source"] = "".join(lines) if isinstance(cell.get("source"), str) else lines
        if self.removed:
            cells = [cell for cell in document["cells"] if id(cell) not in self.removed]
            kept_ids = {_canvas(cell).get("id") for cell in cells}
            gone = {_canvas(cell).get("id") for cell in document["cells"] if id(cell) in self.removed}
            gone = {cell_id for cell_id in gone - kept_ids if isinstance(cell_id, str)}
            for cell in cells:
                canvas = _canvas(cell)
                if gone and isinstance(canvas.get("parents"), list):
                    canvas["parents"] = [link for link in canvas["parents"]
                                         if not (isinstance(link, dict) and link.get("id") in gone)]
            document["cells"] = cells
            canvas = _mapping(_mapping(document.get("metadata")).get("canvas"))
            if isinstance(canvas.get("parameters"), list):
                canvas["parameters"] = [p for p in canvas["parameters"] if id(p) not in self.removed]
        return self.settled > 0


# --- showing them ---------------------------------------------------------------------------


def _short(value: Any) -> str:
    try:
        text = json.dumps(value, ensure_ascii=False, allow_nan=True)
    except (TypeError, ValueError, RecursionError):
        text = repr(value)
    text = visible(text)
    return text if len(text) <= _VALUE_WIDTH else text[: _VALUE_WIDTH - 3] + "..."


# Parts of a cell shown elsewhere on the screen, or that never count as a change.
_CELL_SHOWN_ELSEWHERE = {("source",), ("execution_count",), ("metadata", "canvas", "name"),
                         ("metadata", "canvas", "id"), ("metadata", "canvas", "link_id")}


def differences(old: Any, new: Any, path: tuple = (), skip: set | None = None) -> list[str]:
    """One line per value that differs between ``old`` and ``new``, objects compared key by
    key, lists and other values whole; outputs only named."""
    skip = skip or set()
    if path in skip or old == new:
        return []
    label = ".".join(visible(str(part)) for part in path)
    if path == ("outputs",):
        return ["outputs differ (not shown)"]
    if isinstance(old, dict) and isinstance(new, dict):
        lines = []
        for key in dict.fromkeys([*old, *new]):
            if key in old and key in new:
                lines.extend(differences(old[key], new[key], (*path, key), skip))
            elif (*path, key) not in skip:
                where = visible(".".join(map(str, (*path, key))))
                before = _short(old[key]) if key in old else "(none)"
                after = _short(new[key]) if key in new else "(none)"
                lines.append(f"{where}: {before} -> {after}")
        return lines
    return [f"{label}: {_short(old)} -> {_short(new)}"]


def _variant_title(conflict: Conflict, variant: Variant) -> str:
    prefix = SIDE_PREFIX[variant.side].strip()
    if conflict.kind == "parameter":
        return f"{prefix} {variant.side}'s, parameter {variant.position}"
    cell_id = _canvas(variant.item).get("id")
    return f"{prefix} {variant.side}'s, cell {variant.position} [{visible(str(cell_id))}]"


def _indented(lines: list[str]) -> list[str]:
    return [f"    | {visible(_line_text(line))}" for line in lines] or ["    (empty)"]


def describe(conflict: Conflict) -> list[str]:
    """The screen of one conflict, without its heading and prompt."""
    if conflict.kind == "source":
        block = conflict.block
        assert block is not None
        return [f"  current's lines ({visible(block.current_label) or 'no label'}):",
                *_indented(block.current),
                f"  incoming's lines ({visible(block.incoming_label) or 'no label'}):",
                *_indented(block.incoming)]
    lines = [f"  {_variant_title(conflict, variant)}" for variant in conflict.variants]
    if len(conflict.sides) == 1:
        if conflict.kind == "cell":
            lines.append("  source:")
            lines.extend(_indented(_source_of(conflict.variants[0].item)))
        else:
            item = conflict.variants[0].item
            lines.extend(f"  {visible(str(key))}: {_short(value)}" for key, value in item.items() if key != "name")
        return lines
    first = next(v for v in conflict.variants if v.side == CURRENT).item
    second = next(v for v in conflict.variants if v.side == INCOMING).item
    if conflict.kind == "cell":
        old, new = _source_of(first), _source_of(second)
        if old == new:
            lines.append("  source: the same in both")
        else:
            lines.append("  source, current's -> incoming's:")
            lines.extend(f"    {visible(text) if kind in '@' else kind + visible(text)}"
                         for kind, text in unified_lines(old, new))
    skip = _CELL_SHOWN_ELSEWHERE if conflict.kind == "cell" else {("name",)}
    try:
        found = differences(first, second, (), skip)
    except RecursionError:
        found = ["(nested too deeply to compare)"]
    if found:
        lines.append("  metadata, current's -> incoming's:" if conflict.kind == "cell"
                     else "  current's -> incoming's:")
        lines.extend(f"    {line}" for line in found)
    elif conflict.kind == "cell":
        lines.append("  metadata: the same in both")
    return lines


def heading(conflict: Conflict) -> str:
    name = f"'{visible(conflict.name)}'" if conflict.name else "(unnamed)"
    if conflict.kind == "source":
        cell_id = _canvas(conflict.cell).get("id")
        return (f"cell {name} [{visible(str(cell_id))}]: conflict block {conflict.block_number} of "
                f"{conflict.block_count} in the source")
    what = f"{conflict.kind} {name}"
    if len(conflict.sides) == 2:
        return f"{what}: kept in two variants"
    side = next(iter(conflict.sides))
    return f"{what}: only {side}'s variant ({OTHER[side]} deleted it)"


# Menu entries: answer letter, text, action name.
def choices(conflict: Conflict) -> list[tuple[str, str]]:
    if conflict.kind == "source":
        menu = [("c", "[c]urrent's"), ("i", "[i]ncoming's"), ("b", "[b]oth"), ("e", "[e]dit")]
    elif len(conflict.sides) == 2:
        menu = [("c", "[c]urrent's"), ("i", "[i]ncoming's"), ("b", "[b]oth")]
    else:
        side = next(iter(conflict.sides))
        menu = [(side[0], f"[{side[0]}]{side[1:]}'s"), ("d", "[d]elete")]
    return menu + [("s", "[s]kip"), ("q", "[q]uit")]


# --- asking ---------------------------------------------------------------------------------


def edit_text(text: str) -> str | None:
    """``text`` as the user leaves it in $VISUAL or $EDITOR; None when the editor fails."""
    editor = os.environ.get("VISUAL") or os.environ.get("EDITOR") or "vi"
    handle, path = tempfile.mkstemp(prefix="vornik-resolve-", suffix=".txt")
    # The terminal's Ctrl-C belongs to the editor while it runs, as with git's own editor.
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        with os.fdopen(handle, "w", encoding="utf-8", newline="") as stream:
            stream.write(text)
        status = subprocess.run(["sh", "-c", f'{editor} "$@"', editor, path]).returncode
        if status != 0:
            return None
        with open(path, encoding="utf-8", errors="replace", newline="") as stream:
            return stream.read()
    finally:
        signal.signal(signal.SIGINT, previous)
        os.unlink(path)


def _edited_block(conflict: Conflict) -> list[str] | None:
    assert conflict.cell is not None and conflict.block is not None
    lines = _source_of(conflict.cell)
    block = conflict.block
    text = edit_text("".join(lines[block.start:block.stop]))
    if text is None:
        return None
    new = source_lines(text)
    # Lines after the block start on a line of their own.
    if new and not new[-1].endswith("\n") and block.stop < len(lines):
        new[-1] += "\n"
    return new


def ask(session: Session, conflict: Conflict, number: int, total: int,
        answer: Callable[[str], str], say: Callable[[str], None]) -> None:
    say(f"\n{visible(session.notebook.path)}: conflict {number} of {total}: {heading(conflict)}")
    for line in describe(conflict):
        say(line)
    menu = choices(conflict)
    prompt = ", ".join(text for _, text in menu) + "? "
    letters = {letter for letter, _ in menu}
    while True:
        reply = answer(prompt).strip().lower()[:1]
        if reply not in letters:
            say("answer with one of: " + ", ".join(sorted(letters)))
            continue
        if reply == "q":
            raise Quit
        if reply == "s":
            return
        if reply in ("c", "i"):
            session.take(conflict, CURRENT if reply == "c" else INCOMING)
        elif reply == "b" and conflict.kind == "source":
            assert conflict.block is not None
            session.replace_block(conflict, conflict.block.current + conflict.block.incoming)
        elif reply == "b":
            session.keep(conflict, {CURRENT, INCOMING})
        elif reply == "d":
            session.keep(conflict, set())
        elif reply == "e":
            edited = _edited_block(conflict)
            if edited is None:
                say("the editor failed; nothing taken from it")
                continue
            session.replace_block(conflict, edited)
        return


def _input(prompt: str) -> str:
    if not sys.stdin.isatty():
        try:
            reply = input(prompt)
        except EOFError:
            raise Quit from None
        print(reply, flush=True)  # answers from a file or a pipe show as if typed
        return reply
    # A terminal hands over one line per read. A read that blocks would not notice a Ctrl-C
    # that came just before it, so the wait is cut into short slices.
    sys.stdout.write(prompt)
    sys.stdout.flush()
    fd = sys.stdin.fileno()
    data = b""
    while not data.endswith(b"\n"):
        if select.select([fd], [], [], 0.2)[0]:
            chunk = os.read(fd, 4096)
            if not chunk:  # Ctrl-D
                raise Quit
            data += chunk
    return data.decode("utf-8", errors="replace")


def _say(text: str) -> None:
    print(text, flush=True)


# --- the command ----------------------------------------------------------------------------


def fallback(path: str) -> int:
    """Hands a file without notebook conflict marks (git's own line merge, say) to the merge
    tool the user has configured, or to the one git picks, through ``git mergetool``."""
    if os.environ.get(FALLBACK_MARK):
        print(f"vornik-git: {visible(path)} holds no notebook conflicts; no other merge tool to "
              "hand it to", file=sys.stderr)
        return 1
    from . import gitsetup

    configured = subprocess.run(["git", "config", "--get", "merge.tool"], capture_output=True, text=True)
    command = ["git"]
    if configured.stdout.strip() == gitsetup.DRIVER:
        command += ["-c", "merge.tool="]  # ours cannot take it: let git choose as if unset
    command += ["mergetool", "--no-prompt", "--", path]
    print(f"vornik-git: {visible(path)} holds no notebook conflicts; handing it to git mergetool",
          file=sys.stderr)
    return subprocess.run(command, env={**os.environ, FALLBACK_MARK: "1"}).returncode


def resolve_file(path: str, take: str | None = None, cells: list[str] | None = None,
                 parameters: list[str] | None = None,
                 answer: Callable[[str], str] = _input, say: Callable[[str], None] = _say) -> int:
    """Resolves one notebook; 0 when nothing is left to resolve, 1 when something is.
    Raises Quit (and lets KeyboardInterrupt through) without writing."""
    notebook = read(path)
    session = Session(notebook)
    shown = visible(path)
    if not session.conflicts and not session.stray:
        say(f"{shown}: no conflicts to resolve")
        return 0
    todo = session.conflicts
    if take is not None:
        if cells or parameters:
            todo = [c for c in todo if c.matches(cells or [], parameters or [])]
            if not todo:
                say(f"{shown}: no conflict of the cells or parameters named")
        for conflict in todo:
            if session.pending(conflict):
                session.take(conflict, take)
    else:
        for number, conflict in enumerate(todo, 1):
            if session.pending(conflict):
                ask(session, conflict, number, len(todo), answer, say)
    changed = session.finish()
    if changed:
        # A Ctrl-C now would leave the user unsure whether the file was replaced.
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
        try:
            write(notebook)
        finally:
            signal.signal(signal.SIGINT, previous)
    left = unresolved(notebook.document)
    summary = f"{shown}: {session.settled} resolved, {left} left, {'written' if changed else 'file not changed'}"
    if session.stray:
        summary += (f" ({session.stray} conflict mark{'s' if session.stray > 1 else ''} "
                    "outside a complete block: edit those cells by hand)")
    say(summary)
    return 1 if left else 0


def run(paths: list[str], take: str | None = None, cells: list[str] | None = None,
        parameters: list[str] | None = None, mergetool: bool = False) -> int:
    """The ``resolve`` command: 0 when nothing is left unresolved, 1 when something is, 2 when
    a notebook could not be read or written, 130 after Ctrl-C."""
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(errors="backslashreplace")
    status = 0
    for path in paths:
        try:
            result = resolve_file(path, take, cells, parameters)
        except ResolveError as error:
            if mergetool and isinstance(error, NotANotebook):
                try:
                    return fallback(path)
                except KeyboardInterrupt:
                    return 130
            print(f"vornik-git: error: {visible(str(error))}", file=sys.stderr)
            status = 2
            continue
        except Quit:
            print(f"\n{visible(path)}: left unchanged", flush=True)
            return 1
        except KeyboardInterrupt:
            print(f"\ninterrupted: {visible(path)} left unchanged", flush=True)
            return 130
        if result and mergetool:
            print("git mergetool keeps a notebook only when nothing is left in it; run "
                  "'vornik-git resolve' on it to keep a part done", flush=True)
        status = max(status, result)
    return status
