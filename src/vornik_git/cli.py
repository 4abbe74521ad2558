"""``vornik-git``: sets git up to merge and diff notebooks with the vornik drivers, shows the
setup, and compares notebooks."""

from __future__ import annotations

import argparse
import os
import sys

# Only what every command needs is imported here: git runs "cat" twice per notebook and commit
# in 'git log -p', so each command imports the rest itself.


def _scope_options(parser: argparse.ArgumentParser) -> None:
    where = parser.add_mutually_exclusive_group()
    where.add_argument(
        "--global", dest="scope", action="store_const", const="global",
        help="your user-wide git config and attributes file, for every repository",
    )
    where.add_argument(
        "--system", dest="scope", action="store_const", const="system",
        help="the machine-wide git config and /etc/gitattributes",
    )
    parser.set_defaults(scope="local")


def _install(args: argparse.Namespace) -> int:
    from . import gitsetup

    done = gitsetup.install(args.scope, pass_through=args.pass_through)
    for line in done:
        print(line)
    if args.scope == "local" and not done[0].startswith("nothing changed"):
        print("commit .gitattributes so that everyone who clones the repository uses the driver")
    return 0


def _uninstall(args: argparse.Namespace) -> int:
    from . import gitsetup

    for line in gitsetup.uninstall(args.scope):
        print(line)
    return 0


def _status(args: argparse.Namespace) -> int:
    from . import gitsetup

    report, active = gitsetup.status()
    print("\n".join(report))
    return 0 if active else 1


def _conflicts(args: argparse.Namespace) -> int:
    from . import conflictview
    from .notebooktext import ViewError, visible

    unmerged: set[str] = set()
    paths = args.notebooks
    if not paths:
        try:
            paths, unmerged = conflictview.tracked_notebooks()
        except ViewError as error:
            _error(str(error))
            return 2
    found, failed = [], False
    for path in paths:
        if path in unmerged and not os.path.exists(path):
            lines = ["unmerged in git, and deleted in the work tree"]
        elif not args.notebooks and not os.path.exists(path):
            continue  # deleted in the work tree: nothing left in it to resolve
        else:
            try:
                lines = conflictview.conflicts(path)
            except ViewError as error:
                _error(str(error))
                failed = True
                continue
            if path in unmerged and not lines:
                lines = ["unmerged in git, with no conflict marks left ('git add' it once resolved)"]
        found.extend(f"{visible(path)}: {line}\n" for line in lines)
    _write("".join(found))
    return 2 if failed else 1 if found else 0


def _error(message: str) -> None:
    """One line on standard error; the message quotes the user's paths and names, escaped here."""
    from .notebooktext import visible

    _write(f"vornik-git: error: {visible(message)}\n", sys.stderr)


def _resolve(args: argparse.Namespace) -> int:
    from . import resolve

    if args.list:
        return _conflicts(args)
    if (args.cell or args.parameter) and not args.take:
        args.parser.error("--cell and --parameter choose what --take applies to; give --take too")
    return resolve.run(args.notebooks, args.take, args.cell, args.parameter, args.mergetool)


def _write(text: str, stream=None) -> None:
    stream = stream or sys.stdout
    # The text is the user's own (names, sources, paths); a stream that cannot encode a
    # character must not turn the view into a traceback.
    if hasattr(stream, "reconfigure"):
        stream.reconfigure(errors="backslashreplace")
    try:
        stream.write(text)
        stream.flush()
    except BrokenPipeError:
        # The reader (a pager, head) went away: nothing left to show it. Point the stream at
        # nothing so that the interpreter's final flush does not complain either.
        os.dup2(os.open(os.devnull, os.O_WRONLY), stream.fileno())


def _wants_color(args: argparse.Namespace) -> bool:
    if args.color is not None:
        return args.color
    return not os.environ.get("NO_COLOR") and sys.stdout.isatty()


def _git_wants_color() -> bool:
    """git's own colour decision for its diff output, which an external diff cannot see.

    git gives an external diff no terminal when it pages, so the answer comes from git's
    config: color.diff (or color.ui), where "auto" means a terminal or a pager that git
    started (GIT_PAGER_IN_USE) and that takes colour (color.pager). git's --color and
    --no-color options do not reach an external diff; NO_COLOR does.
    """
    if os.environ.get("NO_COLOR"):
        return False
    tty = sys.stdout.isatty()

    def config(*args: str) -> str:
        import subprocess

        try:
            result = subprocess.run(["git", "config", *args], capture_output=True, text=True)
        except OSError:
            return ""
        return result.stdout.strip()

    if config("--get-colorbool", "color.diff", "true" if tty else "false") != "true":
        return False
    if not tty and os.environ.get("GIT_PAGER_IN_USE") and config("--type=bool", "--get", "color.pager") == "false":
        return False
    return True


def _diff_operands(args: argparse.Namespace) -> tuple[list[str], list[str] | None] | None:
    """None for two notebook files; otherwise the revisions and the paths, the paths None when
    no "--" set them apart (git then tells them apart itself)."""
    words = getattr(args, "argv", [])
    if "--" in words:
        before = build_parser().parse_args(words[: words.index("--")]).files
        return before, args.files[len(before):]
    if args.cached or len(args.files) != 2:
        return args.files, None
    missing = [name for name in args.files if name != os.devnull and not os.path.exists(name)]
    if missing:
        from .revisions import is_revision

        if any(is_revision(name) for name in missing):
            return args.files, None
    return None


def _revision_diff(args: argparse.Namespace, revisions: list[str], paths: list[str] | None) -> int:
    from . import diffview, revisions as git

    if args.json:
        raise diffview.ViewError("--json compares two notebook files: give OLD.ipynb NEW.ipynb")
    color = _wants_color(args)
    sections, entries = [], []
    with git.changed_notebooks(revisions, paths, args.cached) as changes:
        for change in changes:
            old_label = diffview.NULL_PATH if change.old == diffview.NULL_PATH else f"a/{change.path}"
            new_label = diffview.NULL_PATH if change.new == diffview.NULL_PATH else f"b/{change.path}"
            try:
                diff: object = diffview.compare_files(change.old, change.new, old_label, new_label)
            except diffview.ViewError as error:
                diff = str(error)
                if not args.html:
                    sections.append(diffview.fallback_diff(change.old, change.new, old_label, new_label,
                                                           diff, color))
            else:
                if not args.html:
                    sections.append(diffview.render_text(diff, old_label, new_label, color))
            entries.append((diff, old_label, new_label))
    if args.html:
        from . import htmlview

        title = " ".join(["git diff", *(["--cached"] if args.cached else []), *revisions,
                          *(["--", *paths] if paths else [])])
        _write_page(args.html, htmlview.render_html_set(entries, title))
    else:
        _write("\n".join(sections))
    return 1 if any(isinstance(diff, str) or diff.changed for diff, _old, _new in entries) else 0


def _write_page(target: str, text: str) -> None:
    from . import diffview

    if target == "-":
        _write(text)
        return
    try:
        with open(target, "w", encoding="utf-8") as page:
            page.write(text)
    except OSError as error:
        raise diffview.ViewError(f"{target}: cannot write it ({error.strerror})") from None


def _diff(args: argparse.Namespace) -> int:
    from . import diffview

    if args.git_driver:
        return _git_diff(args)
    try:
        operands = _diff_operands(args)
        if operands is not None:
            return _revision_diff(args, *operands)
    except diffview.ViewError as error:
        _error(str(error))
        return 2
    old, new = args.files
    try:
        diff = diffview.compare_files(old, new)
        if args.json:
            import json

            text = json.dumps(diff.graph, indent=1) + "\n"
        elif args.html:
            from . import htmlview

            _write_page(args.html, htmlview.render_html(diff, old, new))
            text = ""
        else:
            text = diffview.render_text(diff, old, new, color=_wants_color(args))
    except diffview.ViewError as error:
        _error(str(error))
        return 2
    _write(text)
    return 1 if diff.changed else 0


def _git_diff(args: argparse.Namespace) -> int:
    """git's external diff: PATH OLD-FILE OLD-HEX OLD-MODE NEW-FILE NEW-HEX NEW-MODE, and for a
    renamed file NEW-PATH and git's rename note.

    git stops a whole diff when an external diff fails, so every notebook gets shown somehow:
    one the cell view cannot compare is shown as a line diff of its text rendering.
    """
    from . import diffview

    if len(args.files) not in (7, 9):
        print(f"vornik-git: error: --git-driver takes the 7 or 9 arguments git passes, "
              f"not {len(args.files)}", file=sys.stderr)
        return 2
    path, old_file, _old_hex, old_mode, new_file, _new_hex, new_mode = args.files[:7]
    new_path = args.files[7] if len(args.files) == 9 else path
    old_label = diffview.NULL_PATH if old_file == diffview.NULL_PATH else f"a/{path}"
    new_label = diffview.NULL_PATH if new_file == diffview.NULL_PATH else f"b/{new_path}"
    color = _git_wants_color()
    try:
        text = diffview.render_text(diffview.compare_files(old_file, new_file), old_label, new_label, color)
    except diffview.ViewError as error:
        text = diffview.fallback_diff(old_file, new_file, old_label, new_label, str(error), color)
    except Exception as error:  # noqa: BLE001 - one odd notebook must not stop git's whole diff
        reason = f"{type(error).__name__}: {error}"
        text = diffview.fallback_diff(old_file, new_file, old_label, new_label, reason, color)
    if "." not in (old_mode, new_mode) and old_mode != new_mode:
        text = f"old mode {old_mode}\nnew mode {new_mode}\n" + text
    # Files after the first are set apart as git sets apart its own per-file sections.
    if os.environ.get("GIT_DIFF_PATH_COUNTER", "1") != "1":
        text = "\n" + text
    _write(text)
    return 0


def _cat(args: argparse.Namespace) -> int:
    from . import notebooktext

    try:
        text = notebooktext.render_file(args.notebook)
    except notebooktext.ViewError as error:
        _error(str(error))
        return 2
    _write(text)
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vornik-git", description="Merge and diff notebooks in git with the vornik drivers."
    )

    class Version(argparse.Action):
        # The version is looked up only when asked for: that costs more than the rest of a
        # textconv run's start-up.
        def __call__(self, parser, namespace, values, option_string=None):
            from . import __version__

            print(f"{parser.prog} {__version__}")
            parser.exit()

    parser.add_argument("--version", action=Version, nargs=0, default=argparse.SUPPRESS,
                        help="show the version and exit")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(run, name, **texts):
        """A subcommand, carried out by ``run``."""
        subparser = commands.add_parser(name, **texts)
        subparser.set_defaults(run=run)
        return subparser

    install = command(
        _install, "install",
        help="register the drivers for *.ipynb files (this repository by default)",
        description="Register the notebook merge driver in git's config and set the *.ipynb "
        "attributes, in this repository (.git/config and .gitattributes) unless --global or "
        "--system is given. The commands run this environment's interpreter by absolute path "
        "and fall back to git's own merge and diff when it is gone. Running it again changes "
        "nothing.",
    )
    _scope_options(install)
    install.add_argument(
        "--pass-through", action="store_true",
        help="let merges with conflicts succeed (exit 0), the conflicts marked in the notebook "
        "only, instead of stopping git so that it records the file as conflicted",
    )

    uninstall = command(
        _uninstall, "uninstall", help="remove what install registered",
        description="Remove the driver's config entries and the *.ipynb attributes of ours, "
        "keeping everything else in those files.",
    )
    _scope_options(uninstall)

    status = command(
        _status, "status",
        help="show what is configured (exit status 1 when the driver is not active here)",
        description="Show the driver config and *.ipynb attributes at every level, and whether "
        "notebooks in the current repository merge with the driver.",
    )

    conflicts = command(
        _conflicts, "conflicts",
        help="list the conflicts a merge left in notebooks (exit status 1 if any)",
        description="List the cells and parameters that a merge kept in two variants, or in one "
        "marked variant because the other branch deleted it (names starting with '<<< ' for the "
        "current branch's, '>>> ' for the incoming one's), and the cells whose source holds "
        "conflict blocks. Without NOTEBOOKs, every notebook that git tracks in this work tree, "
        "and every one it reports unmerged. Exit status: 0 when nothing is left, 1 when "
        "something is, 2 when a notebook cannot be read.",
    )
    conflicts.add_argument("notebooks", nargs="*", metavar="NOTEBOOK")

    resolve = command(
        _resolve, "resolve",
        help="resolve the conflicts a merge left in notebooks, one question each",
        description="Walk the conflicts a merge left in each notebook, in document order: cells "
        "and parameters kept in two variants (or in one, where the other side deleted it) and "
        "conflict blocks in cell sources. For each, show both sides and ask which to keep. "
        "The notebook is written once, after the last answer, in the layout it had; 'q' or "
        "Ctrl-C leaves it untouched. Exit status: 0 when nothing is left unresolved, 1 when "
        "something is, 2 when a notebook cannot be read or written.",
    )
    resolve.add_argument("notebooks", nargs="+", metavar="NOTEBOOK")
    resolve.add_argument("--take", choices=("current", "incoming"),
                         help="settle without asking: each conflict as that side has it (its "
                         "variant, its lines, or no cell where that side deleted it)")
    resolve.add_argument("--cell", action="append", metavar="NAME_OR_ID",
                         help="with --take: only the conflicts of this cell (repeatable)")
    resolve.add_argument("--parameter", action="append", metavar="NAME",
                         help="with --take: only the conflicts of this parameter (repeatable)")
    resolve.add_argument("--list", action="store_true",
                         help="only list the conflicts, as 'vornik-git conflicts' does")
    resolve.add_argument("--mergetool", action="store_true",
                         help="run by 'git mergetool': a file without notebook conflicts goes "
                         "to your usual merge tool")
    resolve.set_defaults(parser=resolve)

    diff = command(
        _diff, "diff", help="show what changed between two notebooks, or in git, cell by cell",
        usage="vornik-git diff [--no-color | --color] [--json | --html OUT.html] OLD.ipynb NEW.ipynb\n"
        "       vornik-git diff [--no-color | --color] [--html OUT.html] [--cached] [REV [REV]] [--] [PATH...]",
        description="Compare two notebooks by their cells' canvas ids: every added, removed or "
        "changed cell with its name, id, source diff, parent links and canvas data (comments, "
        "header colour), a table of changed parameters, and one line for what is unchanged. "
        "Outputs are never shown. Two arguments, without '--' or '--cached', are two notebook "
        "files unless one of them is no file but a git revision; /dev/null stands for an empty "
        "notebook. Anything else is read as 'git diff' reads it, in the current repository: no "
        "revision compares the index with the work tree, --cached [REV] REV (HEAD) with the "
        "index, REV with the work tree, REV REV (or REV..REV) two commits; PATHs limit the "
        "notebooks (*.ipynb) shown. Exit status: 0 when there are no differences, 1 when there "
        "are, 2 on errors.",
    )
    diff.add_argument("files", nargs="*", metavar="NOTEBOOK", help=argparse.SUPPRESS)
    diff.add_argument("--cached", "--staged", action="store_true",
                      help="compare the index (staged changes) with REV, HEAD by default")
    output = diff.add_mutually_exclusive_group()
    output.add_argument("--json", action="store_true", help="print the diff graph itself, as JSON")
    output.add_argument("--html", metavar="OUT.html",
                        help="write a self-contained HTML page (side-by-side sources, a drawing "
                        "of the cell graph) to OUT.html ('-' for standard output)")
    output.add_argument("--git-driver", action="store_true",
                        help="run as git's external diff (git passes the arguments; see "
                        "'vornik-git install')")
    colors = diff.add_mutually_exclusive_group()
    colors.add_argument("--color", dest="color", action="store_const", const=True,
                        help="colour even when the output is not a terminal")
    colors.add_argument("--no-color", dest="color", action="store_const", const=False,
                        help="never colour (so does a non-empty NO_COLOR in the environment)")
    diff.set_defaults(parser=diff, color=None)

    cat = command(
        _cat, "cat", help="print a notebook as readable text (git's textconv for notebooks)",
        description="Print a notebook's parameters and cells (type, name, id, parent links, "
        "source) as plain text, outputs counted but not shown. git uses it to show notebooks "
        "in 'git log -p' and 'git show'. A file that is not JSON is printed as it is.",
    )
    cat.add_argument("notebook", metavar="NOTEBOOK")
    return parser


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    args = build_parser().parse_args(argv)
    args.argv = argv  # the words as given: "diff" reads revisions and paths apart at a "--"
    try:
        return args.run(args)
    except Exception as error:
        from .gitsetup import SetupError

        if not isinstance(error, SetupError):
            raise
        print(f"vornik-git: error: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
