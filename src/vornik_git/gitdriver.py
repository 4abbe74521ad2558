"""The merge driver as `vornik-git install` configures it: `vornikweave` run in this process,
with what a driver in a real repository needs around it.

- A merge that marked conflicts (a cell or parameter newly named "<<< "/">>> ", a conflict
  block in a source) exits with status 1, so that git stops and records the file as
  conflicted with its stages; the merged notebook stays in the work tree for resolving.
- A notebook the merge cannot take (not a canvas notebook, not JSON, any error of the merge)
  gets git's own line merge of the three versions, with that merge's status, and one line on
  standard error says why; -v adds the traceback.
- A current version in the notebook editor's usual layout (indented, sorted keys) is written
  back in that layout.
- SIGTERM, like SIGINT, ends the run with the signal's status, the current file whole.

With --pass-through it only runs `vornikweave` (exit 0 with conflicts marked).
The module imports little at load: every run of git's merge pays for it.
"""

import os
import signal
import sys

_PREFIXES = ("<<< ", ">>> ")


class Failure(Exception):
    """The merge could not be made; ``version`` names the version at fault, if one is."""

    def __init__(self, reason: str, version: str = "") -> None:
        super().__init__(reason)
        self.version = version


class _Signalled(BaseException):
    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _raise_signalled(signum, _frame):
    raise _Signalled(signum)


def _parse(argv):
    import argparse

    parser = argparse.ArgumentParser(
        prog="vornik_git.gitdriver",
        description="git's merge driver for notebooks: vornikweave, with conflicts reported to git",
    )
    parser.add_argument("--current-file", required=True)
    parser.add_argument("--base-file", required=True)
    parser.add_argument("--incoming-file", required=True)
    parser.add_argument("--file-path", default="")
    parser.add_argument("--marker-size", default="7")
    parser.add_argument("--pass-through", action="store_true")
    parser.add_argument("-v", "--verbose", action="store_true")
    return parser.parse_args(argv)


def _run_vornikweave(options) -> int:
    """Runs the command-line module as the host's main program, as its launcher does."""
    from vornik_git.scripts.__main__ import main as launch

    arguments = ["--current-file", options.current_file, "--base-file", options.base_file,
                 "--incoming-file", options.incoming_file, "--file-path=" + options.file_path]
    if options.verbose:
        arguments.append("-v")
    saved = sys.argv
    sys.argv = ["vornikweave", *arguments]
    try:
        launch()
    except SystemExit as end:
        code = end.code
        return code if isinstance(code, int) else (0 if code is None else 1)
    finally:
        sys.argv = saved
    return 0


def _replace(path: str, data: bytes) -> None:
    """Writes ``data`` over ``path`` in one step, through the writers' own atomic replace."""
    from vornik_git import _native

    _native.replace(path, data)


def _restore(path: str, original: bytes) -> None:
    try:
        with open(path, "rb") as stream:
            if stream.read() == original:
                return
    except OSError:
        pass
    _replace(path, original)


def _mapping(value) -> dict:
    return value if isinstance(value, dict) else {}


def _names(document) -> tuple:
    """The cell names and the parameter names of a document, as far as it has them."""
    cells = [_mapping(_mapping(cell).get("metadata")).get("canvas") for cell in _list(document, "cells")]
    canvas = _mapping(_mapping(_mapping(document).get("metadata")).get("canvas"))
    named = [_mapping(entry).get("name") for entry in [*cells, *_list(canvas, "parameters")]]
    split = len(cells)
    return ([name for name in named[:split] if isinstance(name, str)],
            [name for name in named[split:] if isinstance(name, str)])


def _list(mapping, key) -> list:
    value = _mapping(mapping).get(key)
    return value if isinstance(value, list) else []


def _opening_lines(document, opening: str) -> int:
    count = 0
    for cell in _list(document, "cells"):
        source = _mapping(cell).get("source")
        lines = source.splitlines(keepends=True) if isinstance(source, str) else source
        for line in lines if isinstance(lines, list) else []:
            if isinstance(line, str) and line.rstrip("\r\n") == opening:
                count += 1
    return count


def _printable(label: str) -> str:
    """The label as the merge writes it: bytes of a path that are not UTF-8 shown as \\xNN."""
    try:
        label.encode("utf-8")
        return label
    except UnicodeEncodeError:
        try:
            return label.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
        except UnicodeEncodeError:
            return label.encode("utf-8", "backslashreplace").decode("utf-8")


def new_conflicts(merged, current, incoming, file_path: str) -> bool:
    """Whether ``merged`` holds conflict marks that neither ``current`` nor ``incoming`` had."""
    before = [_names(current), _names(incoming)]
    cells, parameters = _names(merged)
    for index, names in enumerate((cells, parameters)):
        known = set(before[0][index]) | set(before[1][index])
        if any(name.startswith(_PREFIXES) and name not in known for name in names):
            return True
    opening = "<<<<<<< " + _printable(file_path + "-current")
    found = _opening_lines(merged, opening)
    return bool(found) and found > max(_opening_lines(current, opening), _opening_lines(incoming, opening))


def editor_layout(document, data: bytes) -> bool:
    """Whether ``data`` is the notebook editor's layout of ``document``: indented by one, keys
    sorted, non-ASCII kept, a final line break."""
    from vornik_git import _native

    if not data.startswith(b'{\n "'):
        return False
    try:
        return (_native.dumps_editor(document) + "\n").encode("utf-8") == data
    except (ValueError, RecursionError, UnicodeError):  # not a layout json could have written
        return False


def _merge(options, original: bytes) -> int:
    status = _run_vornikweave(options)
    if status != 0:
        raise Failure(f"the merge ended with status {status}")
    from vornik_git import _native

    path = options.current_file
    destination = options.file_path or path
    with open(path, "rb") as stream:
        text = stream.read()
    # Most merges mark nothing: a look at the text spares reading the documents.
    marked = any(mark in text for mark in (b'"<<< ', b'">>> ', b"<<<<<<< "))
    current = None
    if original.startswith(b'{\n "'):
        try:
            current = _native.loads(original)
        except Exception:  # noqa: BLE001 - a text we cannot read back is simply not in that layout
            pass
    editor = current is not None and editor_layout(current, original)
    if not (marked or editor):
        return 0
    merged = _native.loads(text)
    conflicted = False
    if marked and _has_marks(merged, destination + "-current"):
        if current is None:
            current = _native.loads(original)
        incoming = _native.load(options.incoming_file)
        conflicted = new_conflicts(merged, current, incoming, destination)
    if editor:
        try:
            _native.dump_editor(merged, path)
        except (UnicodeError, ValueError):
            # Text the editor's layout cannot hold as UTF-8 (a lone surrogate): the one-line
            # form already written escapes it, so it stays.
            pass
    return 1 if conflicted else 0


def _has_marks(merged, label: str) -> bool:
    cells, parameters = _names(merged)
    if any(name.startswith(_PREFIXES) for name in cells + parameters):
        return True
    return _opening_lines(merged, "<<<<<<< " + _printable(label)) > 0


def _diagnose(options, error: BaseException) -> Failure:
    """Names the version that made the merge fail, where one of them is at fault."""
    if isinstance(error, Failure):
        return error
    from vornik_git import _native

    versions = (("current", options.current_file), ("base", options.base_file),
                ("incoming", options.incoming_file))
    for version, path in versions:
        try:
            document = _native.load(path)
        except OSError as problem:
            return Failure(f"cannot read it ({problem.strerror or problem})", version)
        except (ValueError, RecursionError) as problem:
            return Failure(f"not valid JSON ({problem})", version)
        except Exception as problem:  # noqa: BLE001
            return Failure(f"cannot read it ({type(problem).__name__}: {problem})", version)
        cells = document.get("cells") if isinstance(document, dict) else None
        if not isinstance(cells, list):
            return Failure("not a notebook (no list of cells)", version)
        metadata = document.get("metadata")
        if not isinstance(metadata, dict) or not isinstance(metadata.get("canvas"), dict):
            return Failure("not a canvas notebook (no canvas in its metadata)", version)
        for index, cell in enumerate(cells):
            metadata = cell.get("metadata") if isinstance(cell, dict) else None
            if not isinstance(metadata, dict) or not isinstance(metadata.get("canvas"), dict):
                return Failure(f"not a canvas notebook (cell {index + 1} has no canvas metadata)", version)
    return Failure(f"the merge failed ({type(error).__name__}: {error})")


def _labels():
    """The conflict labels git's own line merge would use, as far as a driver can know them:
    git names the incoming side only to `git merge`, through GITHEAD_<commit>."""
    incoming = [value for key, value in os.environ.items() if key.startswith("GITHEAD_")]
    return ["HEAD", "base", incoming[0] if len(incoming) == 1 else "incoming"]


def _conflict_style() -> list:
    import subprocess

    result = subprocess.run(["git", "config", "--get", "merge.conflictStyle"],
                            capture_output=True, text=True)
    style = result.stdout.strip()
    return [f"--{style}"] if style in ("diff3", "zdiff3") else []


def line_merge(options, original: bytes) -> int:
    """git's own line merge of the three versions over the current file, with its status."""
    import subprocess
    import tempfile

    current, base, incoming = _labels()
    with tempfile.TemporaryDirectory(prefix="vornik-") as directory:
        ours = os.path.join(directory, "current")
        with open(ours, "wb") as stream:
            stream.write(original)
        result = subprocess.run(
            ["git", "merge-file", "-p", f"--marker-size={options.marker_size}", *_conflict_style(),
             "-L", current, "-L", base, "-L", incoming, ours, options.base_file, options.incoming_file],
            capture_output=True,
        )
    if not 0 <= result.returncode <= 127:
        sys.stderr.write(result.stderr.decode("utf-8", "replace"))
        _restore(options.current_file, original)
        return 1
    _replace(options.current_file, result.stdout)
    if result.returncode == 0:
        import json

        try:
            json.loads(result.stdout)
        except ValueError:
            return 1
    return result.returncode


def _say(message: str) -> None:
    sys.stderr.write(f"vornik-git: {message}\n")
    sys.stderr.flush()


def _fall_back(options, original: bytes, error: Exception) -> int:
    failure = _diagnose(options, error)
    where = f" ({failure.version} version)" if failure.version else ""
    name = options.file_path or options.current_file
    _say(f"{name}{where}: {failure}; merged as text by git merge-file instead")
    if options.verbose:
        import traceback

        traceback.print_exception(error)
    try:
        return line_merge(options, original)
    except Exception as problem:  # noqa: BLE001 - git itself failed: keep the current version
        _restore(options.current_file, original)
        _say(f"{name}: git merge-file failed too ({problem}); the current version is left as it was")
        return 1


def main(argv=None) -> int:
    options = _parse(sys.argv[1:] if argv is None else argv)
    signal.signal(signal.SIGTERM, _raise_signalled)
    original = None
    try:
        if options.pass_through:
            return _run_vornikweave(options)
        with open(options.current_file, "rb") as stream:
            original = stream.read()
        try:
            return _merge(options, original)
        except Exception as error:  # noqa: BLE001 - whatever went wrong, the notebook is kept
            return _fall_back(options, original, error)
    except (_Signalled, KeyboardInterrupt) as stop:
        signum = stop.signum if isinstance(stop, _Signalled) else signal.SIGINT
        if original is not None:
            try:
                _restore(options.current_file, original)
            except OSError:
                pass
        _say(f"{options.file_path or options.current_file}: stopped by signal {signum}; "
             "the current version is left as it was")
        signal.signal(signum, signal.SIG_DFL)
        os.kill(os.getpid(), signum)
        return 128 + signum


if __name__ == "__main__":
    sys.exit(main())
