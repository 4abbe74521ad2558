"""Generated cell sources (current, base, incoming) for holding the in-process source merge to
`git merge-file`, and the places a merge can run in: a repository or not, and the ways git
learns a conflict style there."""

import os
import random
import re
import subprocess
import tempfile

# Lines that repeat, so that edits collide; text that is not ASCII; separators that the host's
# str.splitlines() would split at but a text file's read-back does not.
WORDS = ["a", "b", "c", "x = 1", "", "    return x", "def f():", "}", "# note", "é = 'ü'",
         "🚀", "\t", "1", "2", "a\rb", "tab\there", "form\x0cfeed", "next\x85line", "sep\u2028"]
# Lines without a letter or digit: git joins conflicts that only such lines keep apart.
BARE = ["", "}", "\t", "  );", "#"]
ENDS = ["\n"] * 10 + ["\r\n", "\r\n", "\r", ""]


def _line(rng):
    return rng.choice(WORDS) + rng.choice(ENDS)


def _edit(rng, lines):
    lines = list(lines)
    for _ in range(rng.randint(0, 4)):
        roll = rng.random()
        if roll < 0.3 and lines:
            lines[rng.randrange(len(lines))] = _line(rng)
        elif roll < 0.6:
            lines.insert(rng.randint(0, len(lines)), _line(rng))
        elif roll < 0.85 and lines:
            del lines[rng.randrange(len(lines))]
        elif lines:  # another line end, or none
            index = rng.randrange(len(lines))
            lines[index] = lines[index].rstrip("\r\n") + rng.choice(ENDS)
    return lines


def _close_conflicts(rng):
    """Sides that change the same lines of base differently, a few bare or common lines apart."""
    base, current, incoming = [], [], []
    for _ in range(rng.randint(2, 4)):
        line = _line(rng)
        base.append(line)
        current.append(rng.choice(WORDS) + "1" + rng.choice(ENDS))
        incoming.append(rng.choice(WORDS) + "2" + rng.choice(ENDS))
        # git joins conflicts up to 3 lines apart, and further apart without a letter or digit
        for _ in range(rng.choice([0, 1, 2, 3, 4, 4, 5, 6])):
            between = rng.choice(BARE * 4 + WORDS[:3]) + rng.choice(ENDS)
            for side in (base, current, incoming):
                side.append(between)
    return current, base, incoming


def triple(rng):
    """One (current, base, incoming) of source line lists."""
    if rng.random() < 0.3:
        current, base, incoming = _close_conflicts(rng)
    else:
        base = [_line(rng) for _ in range(rng.choice([0, 1, 2, 3, 5, 8, 12]))]
        current, incoming = _edit(rng, base), _edit(rng, base)
    roll = rng.random()
    if roll < 0.08:  # the same edit on both sides, and maybe more on one
        shared = _edit(rng, base)
        current, incoming = shared, _edit(rng, shared) if rng.random() < 0.5 else list(shared)
    elif roll < 0.12:
        current = []
    elif roll < 0.16:
        incoming = []
    elif roll < 0.18:
        current = incoming = []
    if rng.random() < 0.03:  # a NUL byte, or one git sees only past its first 8,000 bytes
        side = rng.choice([current, base, incoming])
        padding = "p" * rng.choice([0, 7990, 7999, 8000, 9000])
        side.insert(rng.randint(0, len(side)), padding + "nul\x00byte\n")
    if rng.random() < 0.005:  # text that cannot be written as UTF-8
        rng.choice([current, base, incoming]).append("\ud800\n")
    return current, base, incoming


def triples(seed, count):
    rng = random.Random(seed)
    return [triple(rng) for _ in range(count)]


def git_refuses(sides):
    """Whether git would refuse the sides, or they cannot even be written."""
    for lines in sides:
        try:
            data = "".join(lines).encode("utf-8")
        except UnicodeEncodeError:
            return True
        if b"\0" in data[:8000]:
            return True
    return False


def base_label_pattern():
    """The conflict label of the temporary base file: only its random part may differ. (The
    read-back splits a label at a line end, so the part after the last one is matched.)"""
    directory = re.split("[\r\n]", tempfile.gettempdir())[-1]
    return re.compile(re.escape(directory + os.sep + "tmp") + "[a-z0-9_]{8}"
                      + re.escape(os.sep + "base"))


def normalised(lines):
    pattern = base_label_pattern()
    return [pattern.sub("<temporary base>", line) for line in lines]


# name -> (how the place is made, the style `git merge-file` of 2.39 takes there; None where
# it refuses to merge at all; `styles` has other releases). "-c" is what `git -c merge.conflictStyle=...` hands a merge driver;
# "git dir" names the repository in GIT_DIR from a directory outside it, as git does for the
# drivers it runs.
PLACES = {
    "outside a repository": ({"repository": False}, "merge"),
    "outside, global diff3 and -c zdiff3": (
        {"repository": False, "global": "diff3", "-c": "zdiff3"}, "merge"),
    "repository": ({}, "merge"),
    "repository, -c diff3": ({"-c": "diff3"}, "diff3"),
    "repository, GIT_CONFIG_COUNT zdiff3": ({"count": "zdiff3"}, "zdiff3"),
    "repository, global diff3": ({"global": "diff3"}, "diff3"),
    "repository, local zdiff3 over global diff3": ({"global": "diff3", "local": "zdiff3"}, "zdiff3"),
    "repository subdirectory, -c zdiff3": ({"-c": "zdiff3", "cwd": "sub/dir"}, "zdiff3"),
    "GIT_DIR of a repository with diff3": ({"local": "diff3", "git dir": True}, "diff3"),
    "repository, unknown style": ({"-c": "fancy"}, None),
    "repository, style in upper case": ({"global": "DIFF3"}, None),
    "repository, style without a value": ({"local text": "[merge]\n\tconflictStyle\n"}, None),
}


def git_release(program="git"):
    """(major, minor) of the git that `program` runs."""
    answer = subprocess.run([program, "version"], check=True, capture_output=True, text=True)
    major, minor = re.match(r"git version (\d+)\.(\d+)\.", answer.stdout).groups()
    return int(major), int(minor)


def styles(release):
    """place -> the style `git merge-file` of `release` takes there (None: it refuses)."""
    result = {}
    for name, (settings, style) in PLACES.items():
        values = [settings[key] for key in ("global", "local", "-c", "count") if key in settings]
        if not settings.get("repository", True):
            # outside a repository, the configuration files count from 2.54 on; `git -c`
            # values do not
            read = release >= (2, 54) and "global" in settings
            values = [settings["global"]] if read else []
            style = settings["global"] if read else "merge"
        if "zdiff3" in values and release < (2, 35):  # the style came with 2.35
            style = None
        result[name] = style
    return result


def enter(place, root, monkeypatch):
    """Makes `place` under `root` this process's working directory, with git's configuration
    limited to what the place sets; returns the style git takes there."""
    settings, style = PLACES[place]
    home = root / "home"
    home.mkdir()
    for name in ("GIT_CONFIG_PARAMETERS", "GIT_CONFIG_COUNT", "GIT_DIR", "GIT_WORK_TREE",
                 "GIT_CONFIG_GLOBAL", "GIT_CONFIG_SYSTEM", "XDG_CONFIG_HOME"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("GIT_CONFIG_NOSYSTEM", "1")
    monkeypatch.setenv("GIT_CEILING_DIRECTORIES", str(root))
    if "global" in settings:
        (home / ".gitconfig").write_text(f"[merge]\n\tconflictStyle = {settings['global']}\n",
                                         encoding="utf-8")
    if "-c" in settings:
        monkeypatch.setenv("GIT_CONFIG_PARAMETERS", f"'merge.conflictstyle'='{settings['-c']}'")
    if "count" in settings:
        monkeypatch.setenv("GIT_CONFIG_COUNT", "1")
        monkeypatch.setenv("GIT_CONFIG_KEY_0", "merge.conflictStyle")
        monkeypatch.setenv("GIT_CONFIG_VALUE_0", settings["count"])
    outside = root / "outside"
    outside.mkdir()
    cwd = outside
    if settings.get("repository", True):
        repo = root / "repo"
        subprocess.run(["git", "init", "-q", str(repo)], check=True, capture_output=True)
        with open(repo / ".git" / "config", "a", encoding="utf-8") as config:
            if "local" in settings:
                config.write(f"[merge]\n\tconflictStyle = {settings['local']}\n")
            config.write(settings.get("local text", ""))
        cwd = repo / settings.get("cwd", "")
        cwd.mkdir(parents=True, exist_ok=True)
        if settings.get("git dir"):
            monkeypatch.setenv("GIT_DIR", str(repo / ".git"))
            cwd = outside
    monkeypatch.chdir(cwd)
    return style
