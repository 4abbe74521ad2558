"""Registering the notebook drivers with git: config entries and the attributes line.

Everything goes through the ``git`` program, so the files and precedence rules are git's own;
the only file edited here directly is the attributes file, which git has no command for.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

DRIVER = "vornik"
PATTERN = "*.ipynb"

# The sections of ours in git's config. Sections are removed whole on uninstall, so an entry
# dropped in a later release does not linger.
SECTIONS = (f"merge.{DRIVER}", f"diff.{DRIVER}")

# The interpreter and the launcher of the installing environment: the configured commands name
# both by absolute path, since git also runs them from GUI clients and IDEs that lack the
# environment's PATH.
LAUNCHER = Path(__file__).resolve().with_name("_launch.py")

# git's own line merge, for when the notebook driver cannot be started at all.
_GIT_LINE_MERGE = "git merge-file -L HEAD -L base -L incoming --marker-size %L %A %O %B"
_MERGE_ARGUMENTS = "--current-file %A --base-file %O --incoming-file %B --file-path=%P"


def sh_quote(text: str) -> str:
    """``text`` as one word for sh, also safe from git's expansion of %-placeholders in a merge
    driver's command: every "%" is closed off from the character after it."""
    return "'" + text.replace("'", "'\\''").replace("%", "%''") + "'"


def _environment() -> str:
    return f"p={sh_quote(sys.executable)}; l={sh_quote(os.fspath(LAUNCHER))}; "


_STARTS = '[ -x "$p" ] && [ -f "$l" ]'


def merge_command(pass_through: bool = False) -> str:
    """The merge driver: our wrapper by absolute path, else `vornikweave` on PATH, else git's
    own line merge (also after a failing `vornikweave`, which leaves the current file alone)."""
    mode = " --pass-through" if pass_through else ""
    return (
        _environment()
        + f'if {_STARTS}; then exec "$p" -P "$l" vornik_git.gitdriver{mode} --marker-size=%L '
        + f"{_MERGE_ARGUMENTS}; "
        + f"elif command -v vornikweave >/dev/null 2>&1; then vornikweave {_MERGE_ARGUMENTS} "
        + f"|| exec {_GIT_LINE_MERGE}; else exec {_GIT_LINE_MERGE}; fi"
    )


def diff_command() -> str:
    """The external diff; git appends its seven or nine arguments. Without a tool that runs,
    git's own diff of the two files."""
    return (
        _environment()
        + "f() { if " + _STARTS + '; then "$p" -P "$l" vornik_git.cli diff --git-driver -- "$@" && return 0; '
        + 'elif command -v vornik-git >/dev/null 2>&1; then vornik-git diff --git-driver -- "$@" && return 0; fi; '
        + 'git diff --no-index --no-ext-diff --no-textconv -- "$2" "$5"; return 0; }; f'
    )


# git caches whatever the text rendering printed, the raw file too when the tool could not run,
# and keeps showing that after the tool is back. The fallback leaves this file in the git
# directory (run from the top of the work tree) so that `status` can tell, and `install` drops the
# cache with it.
RAW_MARKER = f".git/{DRIVER}-raw-renderings-cached"


def textconv_command() -> str:
    """The text rendering for `git log -p`, `show` and `blame`; git appends the file. The
    rendering is shown only once complete; without one, the file as it is."""
    return (
        _environment()
        + "f() { if " + _STARTS + ' && o=$("$p" -P "$l" vornik_git.cli cat -- "$1" 2>/dev/null && echo .); '
        + 'then printf %s "${o%.}"; '
        + 'elif command -v vornik-git >/dev/null 2>&1 && o=$(vornik-git cat -- "$1" 2>/dev/null && echo .); '
        + 'then printf %s "${o%.}"; else cat -- "$1"; { : >' + RAW_MARKER + '; } 2>/dev/null; fi; }; f'
    )


def config_entries(pass_through: bool = False) -> dict[str, dict[str, str]]:
    """The config entries a setup writes, per section of ours."""
    return {
        f"merge.{DRIVER}": {
            "name": "notebook merge driver (vornik_git)",
            "driver": merge_command(pass_through),
        },
        # `git diff` runs the command: the cell view. `git log -p`, `git show`, `git blame`
        # and `git diff --no-ext-diff` use the textconv rendering, cached per blob.
        f"diff.{DRIVER}": {
            "command": diff_command(),
            "textconv": textconv_command(),
            "cachetextconv": "true",
        },
    }


# `git mergetool --tool vornik`: the resolver on each conflicted file, its exit status taken as
# the answer to "resolved?". A file that is no notebook of ours goes on to the user's own tool.
def mergetool_entries() -> dict[str, dict[str, str]]:
    resolve = 'resolve --mergetool -- "$MERGED"'
    command = (_environment() + f'if {_STARTS}; then exec "$p" -P "$l" vornik_git.cli {resolve}; '
               + f"else exec vornik-git {resolve}; fi")
    return {f"mergetool.{DRIVER}": {"cmd": command, "trustExitCode": "true"}}


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


def _write_lines(path: Path, lines: list[_Line], keep_empty: bool = False) -> None:
    try:
        if not keep_empty and not any(line.text.strip() for line in lines):
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


def remove_attributes(path: Path, keep_empty: bool = False) -> bool:
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
        _write_lines(path, kept, keep_empty)
    return changed


def _tracked(path: Path, cwd) -> bool:
    return git("ls-files", "--error-unmatch", "--", os.fspath(path), cwd=path.parent, check=False).returncode == 0


def install(scope: str = "local", cwd: str | os.PathLike | None = None, pass_through: bool = False) -> list[str]:
    """Registers the drivers at ``scope``; returns what was done, one line each."""
    path = attributes_file(scope, cwd)
    title = _SCOPE_TITLES[scope]
    done = []
    changed = []
    for section, entries in {**config_entries(pass_through), **mergetool_entries()}.items():
        for key, value in entries.items():
            if _scope_value(scope, f"{section}.{key}", cwd) != value:
                git("config", f"--{scope}", f"{section}.{key}", value, cwd=cwd)
                changed.append(f"{section}.{key}")
    if changed:
        done.append(f"set {', '.join(changed)} in the {title} git config")
        done.append("merge driver: " + (_PASS_THROUGH if pass_through else _STOPS))
    if add_attributes(path):
        done.append(f"added '{_our_line()}' to {path}")
    # A rendering cached while the tool could not run is the raw file; start afresh.
    git("update-ref", "-d", f"refs/notes/textconv/{DRIVER}", cwd=cwd, check=False)
    marker = _raw_marker(cwd)
    if marker is not None and marker.exists():
        marker.unlink()
        done.append("dropped the text renderings git cached while the tool could not run")
    if not done:
        done.append(f"nothing changed: the drivers are already installed in the {title} git config "
                    f"and {path}")
    return done


def _raw_marker(cwd) -> Path | None:
    top = git("rev-parse", "--show-toplevel", cwd=cwd, check=False)
    return Path(top.stdout.strip(), RAW_MARKER) if top.returncode == 0 and top.stdout.strip() else None


def uninstall(scope: str = "local", cwd: str | os.PathLike | None = None) -> list[str]:
    """Removes what ``install`` registers at ``scope``; returns what was done, one line each."""
    path = attributes_file(scope, cwd)
    done = []
    for section in (*SECTIONS, *mergetool_entries()):
        present = git("config", f"--{scope}", "--get-regexp", rf"^{section}\.", cwd=cwd, check=False)
        if present.returncode == 0 and present.stdout.strip():
            git("config", f"--{scope}", "--remove-section", section, cwd=cwd)
            done.append(f"removed {section}.* from the {_SCOPE_TITLES[scope]} git config")
    # A committed attributes file stays, even empty: deleting it would be a change to commit.
    if remove_attributes(path, keep_empty=scope == "local" and _tracked(path, cwd)):
        done.append(f"removed the {PATTERN} driver attributes from {path}")
    if not done:
        done.append(f"nothing of ours was configured at the {_SCOPE_TITLES[scope]} level")
    return done


def _scope_value(scope: str, key: str, cwd) -> str | None:
    if scope == "local" and git("rev-parse", "--git-dir", cwd=cwd, check=False).returncode != 0:
        return None
    result = git("config", f"--{scope}", "--get", key, cwd=cwd, check=False)
    return result.stdout.strip() if result.returncode == 0 else None


_STOPS = "stops git at conflicts"
_PASS_THROUGH = "pass-through (exit 0 with conflicts marked in the notebook)"


def _words(command: str) -> list[str]:
    import shlex

    try:
        lexer = shlex.shlex(command, posix=True, punctuation_chars=True)
        lexer.whitespace_split = True
        return list(lexer)
    except ValueError:
        return command.split()


def describe(command: str) -> str:
    """What a configured command does, and whether it can still start."""
    words = _words(command)
    assigned = dict(word.split("=", 1) for word in words[:4] if "=" in word)
    if "p" not in assigned or "l" not in assigned:
        # A command of an older release, or the user's own: it runs what PATH finds.
        found = shutil.which(words[0]) if words else None
        return command + ("" if found else f"  [does not resolve: {words[0] if words else '(empty)'} is not on PATH]")
    if "vornik_git.gitdriver" in words:
        what = _PASS_THROUGH if "--pass-through" in words else _STOPS
    else:
        what = "vornik-git " + next((word for word in ("diff", "cat", "resolve") if word in words), "")
    interpreter, launcher = assigned["p"], assigned["l"]
    if not os.access(interpreter, os.X_OK):
        missing = interpreter
    elif not os.path.isfile(launcher):
        missing = launcher
    else:
        return f"{what}; runs {interpreter}"
    return f"{what}; does not resolve: {missing} is gone (git falls back to the tool on PATH, else to its own)"


def status(cwd: str | os.PathLike | None = None) -> tuple[list[str], bool]:
    """A report of what is configured, and whether notebooks merge with our driver here."""
    report = []
    driver_key = f"merge.{DRIVER}.driver"
    diff_key = f"diff.{DRIVER}.command"
    keys = (("merge driver", driver_key), ("diff driver", diff_key), ("text rendering", f"diff.{DRIVER}.textconv"),
            ("merge tool", f"mergetool.{DRIVER}.cmd"))
    for title, key in keys:
        report.append(f"{title} ({key}):")
        for scope in SCOPES:
            value = _scope_value(scope, key, cwd)
            report.append(f"  {_SCOPE_TITLES[scope]:<10} {describe(value) if value is not None else '-'}")
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
        marker = _raw_marker(cwd)
        if marker is not None and marker.exists():
            report.append("in this repository: git cached raw text as the rendering of some notebooks "
                          "while the tool could not run; 'vornik-git install' drops that cache")
    else:
        report.append("in this directory: not a git work tree")
    return report, active


def conflicts(path: str | os.PathLike) -> list[str]:
    """What a merge left for the user to resolve in the notebook at ``path``, one line each."""
    from .conflictview import conflicts as left_in

    return left_in(path)
