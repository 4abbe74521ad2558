"""Registering the notebook drivers with git: config entries and the attributes line.

Everything goes through the ``git`` program, so the files and precedence rules are git's own;
the only file edited here directly is the attributes file, which git has no command for.
"""

from __future__ import annotations

import os
import shutil
import subprocess
from dataclasses import dataclass
from pathlib import Path

DRIVER = "vornik"
PATTERN = "*.ipynb"

# The config entries a setup writes, per section of ours. Sections are removed whole on
# uninstall, so an entry dropped in a later release does not linger.
CONFIG: dict[str, dict[str, str]] = {
    f"merge.{DRIVER}": {
        "name": "notebook merge driver (vornik_git)",
        "driver": "vornikweave --current-file %A --base-file %O --incoming-file %B --file-path %P",
    },
    # `git diff` runs the command: the cell view, with git's seven (or nine) arguments after
    # the "--". `git log -p`, `git show` and `git diff --no-ext-diff` run no external diff
    # unless given --ext-diff; they diff the textconv renderings line by line instead.
    f"diff.{DRIVER}": {
        "command": "vornik-git diff --git-driver --",
        "textconv": "vornik-git cat --",
    },
}

# The attributes our line sets for PATTERN, in the order they are written.
ATTRIBUTES: list[str] = [f"merge={DRIVER}", f"diff={DRIVER}"]

# Every attribute token a release of ours has ever written; uninstall removes these, and an
# install rewrites a line made of nothing else into the current one.
KNOWN_ATTRIBUTES = {f"merge={DRIVER}", f"diff={DRIVER}"}

SCOPES = ("local", "global", "system")
_SCOPE_TITLES = {"local": "repository", "global": "global", "system": "system"}

# git's system-wide attributes file, beside its system config.
SYSTEM_ATTRIBUTES = Path("/etc/gitattributes")


class SetupError(Exception):
    """A failure the user can act on; its text is one line, shown without a traceback."""


def git(*args: str, cwd: str | os.PathLike | None = None, check: bool = True) -> subprocess.CompletedProcess:
    try:
        result = subprocess.run(
            ["git", *args], cwd=cwd, capture_output=True, text=True, encoding="utf-8", errors="replace"
        )
    except FileNotFoundError:
        raise SetupError("git was not found on PATH; install git first") from None
    if check and result.returncode != 0:
        detail = result.stderr.strip().splitlines()
        message = detail[-1] if detail else f"exit status {result.returncode}"
        raise SetupError(f"git {' '.join(args)} failed: {message}")
    return result


def work_tree(cwd: str | os.PathLike | None = None) -> Path:
    """The top of the work tree that ``cwd`` lies in."""
    result = git("rev-parse", "--show-toplevel", cwd=cwd, check=False)
    if result.returncode != 0 or not result.stdout.strip():
        raise SetupError(
            "not inside a git work tree; run this in a repository, or use --global or --system"
        )
    return Path(result.stdout.strip())


def attributes_file(scope: str, cwd: str | os.PathLike | None = None) -> Path:
    """The attributes file that git reads for ``scope``."""
    if scope == "local":
        return work_tree(cwd) / ".gitattributes"
    if scope == "system":
        return SYSTEM_ATTRIBUTES
    configured = git("config", "--global", "--get", "core.attributesFile", cwd=cwd, check=False)
    if configured.returncode == 0 and configured.stdout.strip():
        return Path(os.path.expanduser(configured.stdout.strip()))
    config_home = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    return Path(config_home) / "git" / "attributes"


@dataclass
class _Line:
    text: str

    @property
    def fields(self) -> list[str]:
        stripped = self.text.strip()
        return [] if not stripped or stripped.startswith("#") else stripped.split()

    @property
    def ours(self) -> bool:
        """A line for PATTERN made only of attributes that we write."""
        fields = self.fields
        return len(fields) > 1 and fields[0] == PATTERN and set(fields[1:]) <= KNOWN_ATTRIBUTES


def _read_lines(path: Path) -> list[_Line]:
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        return []
    except OSError as error:
        raise SetupError(f"cannot read {path}: {error.strerror}") from None
    return [_Line(line) for line in text.splitlines()]


def _write_lines(path: Path, lines: list[_Line]) -> None:
    try:
        if not any(line.text.strip() for line in lines):
            path.unlink(missing_ok=True)
            return
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("".join(line.text + "\n" for line in lines), encoding="utf-8")
    except OSError as error:
        raise SetupError(f"cannot write {path}: {error.strerror}") from None


def _our_line() -> str:
    return " ".join([PATTERN, *ATTRIBUTES])


def add_attributes(path: Path) -> bool:
    """Makes ``path`` set our attributes for PATTERN; returns whether the file changed."""
    lines = _read_lines(path)
    wanted = _our_line()
    if any(line.fields == wanted.split() for line in lines):
        return False
    # An older line of ours is brought up to date where it stands; otherwise ours goes last,
    # so that it wins over earlier lines for the same pattern, as git reads them.
    for index, line in enumerate(lines):
        if line.ours:
            lines[index] = _Line(wanted)
            lines = lines[: index + 1] + [each for each in lines[index + 1 :] if not each.ours]
            break
    else:
        lines.append(_Line(wanted))
    _write_lines(path, lines)
    return True


def remove_attributes(path: Path) -> bool:
    """Takes our attributes out of ``path``, keeping everything else; returns whether it changed."""
    lines = _read_lines(path)
    kept: list[_Line] = []
    changed = False
    for line in lines:
        fields = line.fields
        if fields and fields[0] == PATTERN and KNOWN_ATTRIBUTES & set(fields[1:]):
            changed = True
            rest = [field for field in fields[1:] if field not in KNOWN_ATTRIBUTES]
            if rest:
                kept.append(_Line(" ".join([PATTERN, *rest])))
            continue
        kept.append(line)
    if changed:
        _write_lines(path, kept)
    return changed


def install(scope: str = "local", cwd: str | os.PathLike | None = None) -> list[str]:
    """Registers the drivers at ``scope``; returns what was done, one line each."""
    path = attributes_file(scope, cwd)
    done = []
    for section, entries in CONFIG.items():
        for key, value in entries.items():
            git("config", f"--{scope}", f"{section}.{key}", value, cwd=cwd)
        done.append(f"set {section}.* in the {_SCOPE_TITLES[scope]} git config")
    if add_attributes(path):
        done.append(f"added '{_our_line()}' to {path}")
    else:
        done.append(f"'{_our_line()}' already in {path}")
    return done


def uninstall(scope: str = "local", cwd: str | os.PathLike | None = None) -> list[str]:
    """Removes what ``install`` registers at ``scope``; returns what was done, one line each."""
    path = attributes_file(scope, cwd)
    done = []
    for section in CONFIG:
        present = git("config", f"--{scope}", "--get-regexp", rf"^{section}\.", cwd=cwd, check=False)
        if present.returncode == 0 and present.stdout.strip():
            git("config", f"--{scope}", "--remove-section", section, cwd=cwd)
            done.append(f"removed {section}.* from the {_SCOPE_TITLES[scope]} git config")
    if remove_attributes(path):
        done.append(f"removed the {PATTERN} driver attributes from {path}")
    if not done:
        done.append(f"nothing of ours was configured at the {_SCOPE_TITLES[scope]} level")
    return done


def _scope_value(scope: str, key: str, cwd) -> str | None:
    if scope == "local" and git("rev-parse", "--git-dir", cwd=cwd, check=False).returncode != 0:
        return None
    result = git("config", f"--{scope}", "--get", key, cwd=cwd, check=False)
    return result.stdout.strip() if result.returncode == 0 else None


def status(cwd: str | os.PathLike | None = None) -> tuple[list[str], bool]:
    """A report of what is configured, and whether notebooks merge with our driver here."""
    report = []
    driver_key = f"merge.{DRIVER}.driver"
    diff_key = f"diff.{DRIVER}.command"
    for title, key in (("merge driver", driver_key), ("diff driver", diff_key)):
        report.append(f"{title} ({key}):")
        for scope in SCOPES:
            value = _scope_value(scope, key, cwd)
            report.append(f"  {_SCOPE_TITLES[scope]:<10} {value if value is not None else '-'}")
    report.append(f"attributes for {PATTERN}:")
    for scope in SCOPES:
        try:
            path = attributes_file(scope, cwd)
        except SetupError:
            report.append(f"  {_SCOPE_TITLES[scope]:<10} - (not in a work tree)")
            continue
        matching = [line.text.strip() for line in _read_lines(path) if line.fields[:1] == [PATTERN]]
        report.append(f"  {_SCOPE_TITLES[scope]:<10} {'; '.join(matching) if matching else '-'}  ({path})")

    active = False
    inside = git("rev-parse", "--show-toplevel", cwd=cwd, check=False)
    if inside.returncode == 0:
        attribute = git("check-attr", "merge", "--", "notebook.ipynb", cwd=cwd, check=False)
        value = attribute.stdout.strip().rsplit(": ", 1)[-1] if attribute.returncode == 0 else ""
        effective_driver = git("config", "--get", driver_key, cwd=cwd, check=False).stdout.strip()
        active = value == DRIVER and bool(effective_driver)
        report.append(
            "in this repository: notebooks merge with "
            + ("the vornik driver" if active else f"git's default (merge attribute: {value or 'unset'})")
        )
        attribute = git("check-attr", "diff", "--", "notebook.ipynb", cwd=cwd, check=False)
        value = attribute.stdout.strip().rsplit(": ", 1)[-1] if attribute.returncode == 0 else ""
        viewer = value == DRIVER and bool(git("config", "--get", diff_key, cwd=cwd, check=False).stdout.strip())
        report.append(
            "in this repository: git diff shows notebooks "
            + ("cell by cell (vornik-git diff)" if viewer else f"as JSON text (diff attribute: {value or 'unset'})")
        )
    else:
        report.append("in this directory: not a git work tree")

    launcher = shutil.which("vornikweave")
    report.append(
        f"vornikweave on PATH: {launcher}"
        if launcher
        else "vornikweave on PATH: not found (git cannot run the driver until it is)"
    )
    return report, active


def conflicts(path: str | os.PathLike) -> list[str]:
    """What a merge left for the user to resolve in the notebook at ``path``, one line each."""
    from .conflictview import conflicts as left_in

    return left_in(path)
