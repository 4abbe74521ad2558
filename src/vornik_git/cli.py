"""``vornik-git``: sets git up to merge notebooks with the vornik driver, and shows the setup."""

from __future__ import annotations

import argparse
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


def _warn_without_launcher() -> None:
    import shutil

    if shutil.which("vornikweave") is None:
        print(
            "warning: 'vornikweave' is not on PATH; git runs the driver by that name, so put the "
            "environment where vornik_git is installed on PATH before merging",
            file=sys.stderr,
        )


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vornik-git", description="Merge and diff notebooks in git with the vornik drivers."
    )
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
