"""``vornik-git``: sets git up to merge and diff notebooks with the vornik drivers, shows the
setup, and compares notebooks."""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys

from . import gitsetup


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
    for line in gitsetup.install(args.scope):
        print(line)
    if args.scope == "local":
        print("commit .gitattributes so that everyone who clones the repository uses the driver")
    _warn_without_launcher()
    return 0


def _uninstall(args: argparse.Namespace) -> int:
    for line in gitsetup.uninstall(args.scope):
        print(line)
    return 0


def _status(args: argparse.Namespace) -> int:
    report, active = gitsetup.status()
    print("\n".join(report))
    return 0 if active else 1


def _conflicts(args: argparse.Namespace) -> int:
    found = 0
    for path in args.notebooks:
        try:
            lines = gitsetup.conflicts(path)
        except (OSError, ValueError, KeyError, TypeError) as error:
            print(f"vornik-git: error: {path}: cannot read the notebook ({error})", file=sys.stderr)
            return 2
        found += len(lines)
        for line in lines:
            print(f"{path}: {line}")
    return 1 if found else 0


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


def _diff(args: argparse.Namespace) -> int:
    from . import diffview

    if args.git_driver:
        return _git_diff(args)
    if len(args.files) != 2:
        args.parser.error("give two notebooks: OLD NEW")
    old, new = args.files
    try:
        diff = diffview.compare_files(old, new)
        if args.json:
            import json

            text = json.dumps(diff.graph, indent=1) + "\n"
        elif args.html:
            from . import htmlview

            text = htmlview.render_html(diff, old, new)
            if args.html != "-":
                try:
                    with open(args.html, "w", encoding="utf-8") as page:
                        page.write(text)
                except OSError as error:
                    raise diffview.ViewError(f"{args.html}: cannot write it ({error.strerror})") from None
                text = ""
        else:
            text = diffview.render_text(diff, old, new, color=_wants_color(args))
    except diffview.ViewError as error:
        print(f"vornik-git: error: {error}", file=sys.stderr)
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
    from . import diffview

    try:
        text = diffview.render_file(args.notebook)
    except diffview.ViewError as error:
        print(f"vornik-git: error: {error}", file=sys.stderr)
        return 2
    _write(text)
    return 0


def _warn_without_launcher() -> None:
    for name, use in (("vornikweave", "merging"), ("vornik-git", "diffing")):
        if shutil.which(name) is None:
            print(
                f"warning: '{name}' is not on PATH; git runs the driver by that name, so put the "
                f"environment where vornik_git is installed on PATH before {use}",
                file=sys.stderr,
            )


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

    install = commands.add_parser(
        "install", help="register the drivers for *.ipynb files (this repository by default)",
        description="Register the notebook merge driver in git's config and set the *.ipynb "
        "attributes, in this repository (.git/config and .gitattributes) unless --global or "
        "--system is given. Running it again changes nothing.",
    )
    _scope_options(install)
    install.set_defaults(run=_install)

    uninstall = commands.add_parser(
        "uninstall", help="remove what install registered",
        description="Remove the driver's config entries and the *.ipynb attributes of ours, "
        "keeping everything else in those files.",
    )
    _scope_options(uninstall)
    uninstall.set_defaults(run=_uninstall)

    status = commands.add_parser(
        "status", help="show what is configured (exit status 1 when the driver is not active here)",
        description="Show the driver config and *.ipynb attributes at every level, and whether "
        "notebooks in the current repository merge with the driver.",
    )
    status.set_defaults(run=_status)

    conflicts = commands.add_parser(
        "conflicts", help="list the conflicts a merge left in notebooks (exit status 1 if any)",
        description="List the cells and parameters that a merge kept in two variants (names "
        "starting with '<<< ' or '>>> ') and the cells whose source holds conflict blocks.",
    )
    conflicts.add_argument("notebooks", nargs="+", metavar="NOTEBOOK")
    conflicts.set_defaults(run=_conflicts)

    diff = commands.add_parser(
        "diff", help="show what changed between two notebooks, cell by cell",
        usage="vornik-git diff [--no-color | --color] [--json | --html OUT.html] OLD.ipynb NEW.ipynb",
        description="Compare two notebooks by their cells' canvas ids: every added, removed or "
        "changed cell with its name, id, source diff and parent links, a table of changed "
        "parameters, and one line for what is unchanged. Outputs are never shown. Exit status: "
        "0 when there are no differences, 1 when there are, 2 on errors. /dev/null stands for "
        "an empty notebook.",
    )
    diff.add_argument("files", nargs="*", metavar="NOTEBOOK", help=argparse.SUPPRESS)
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
    diff.set_defaults(run=_diff, parser=diff, color=None)

    cat = commands.add_parser(
        "cat", help="print a notebook as readable text (git's textconv for notebooks)",
        description="Print a notebook's parameters and cells (type, name, id, parent links, "
        "source) as plain text, outputs counted but not shown. git uses it to show notebooks "
        "in 'git log -p' and 'git show'. A file that is not JSON is printed as it is.",
    )
    cat.add_argument("notebook", metavar="NOTEBOOK")
    cat.set_defaults(run=_cat)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except gitsetup.SetupError as error:
        print(f"vornik-git: error: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
