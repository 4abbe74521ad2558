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


def _git(*args, cwd):
    subprocess.run(["git", *args], cwd=cwd, check=True, capture_output=True)


def _global_style(home, style):
    (home / ".gitconfig").write_text(f"[merge]\n\tconflictStyle = {style}\n", encoding="utf-8")


def _repository(root):
    repo = root / "repo"
    repo.mkdir()
    _git("init", "-q", str(repo), cwd=root)
    return repo


def _config_parameters(monkeypatch, style):
    # What `git -c merge.conflictStyle=...` hands to a merge driver.
    monkeypatch.setenv("GIT_CONFIG_PARAMETERS", f"'merge.conflictstyle'='{style}'")


def _config_count(monkeypatch, style):
    monkeypatch.setenv("GIT_CONFIG_COUNT", "1")
    monkeypatch.setenv("GIT_CONFIG_KEY_0", "merge.conflictStyle")
    monkeypatch.setenv("GIT_CONFIG_VALUE_0", style)


def _outside(root, home, monkeypatch):
    directory = root / "outside"
    directory.mkdir()
    return directory


def _outside_configured(root, home, monkeypatch):
    _global_style(home, "diff3")
    _config_parameters(monkeypatch, "zdiff3")
    return _outside(root, home, monkeypatch)


def _repo_plain(root, home, monkeypatch):
    return _repository(root)


def _repo_parameters(root, home, monkeypatch):
    _config_parameters(monkeypatch, "diff3")
    return _repository(root)


def _repo_count(root, home, monkeypatch):
    _config_count(monkeypatch, "zdiff3")
    return _repository(root)


def _repo_global(root, home, monkeypatch):
    _global_style(home, "diff3")
    return _repository(root)


def _repo_local_over_global(root, home, monkeypatch):
    _global_style(home, "diff3")
    repo = _repository(root)
    _git("config", "merge.conflictStyle", "zdiff3", cwd=repo)
    return repo


def _repo_subdirectory(root, home, monkeypatch):
    _config_parameters(monkeypatch, "zdiff3")
    sub = _repository(root) / "sub" / "dir"
    sub.mkdir(parents=True)
    return sub


def _git_dir_elsewhere(root, home, monkeypatch):
    # git names the repository in GIT_DIR for the drivers it runs.
    repo = _repository(root)
    _git("config", "merge.conflictStyle", "diff3", cwd=repo)
    monkeypatch.setenv("GIT_DIR", str(repo / ".git"))
    return _outside(root, home, monkeypatch)


def _repo_unknown_style(root, home, monkeypatch):
    _config_parameters(monkeypatch, "fancy")
    return _repository(root)


def _repo_upper_case_style(root, home, monkeypatch):
    _global_style(home, "DIFF3")
    return _repository(root)


def _repo_style_without_value(root, home, monkeypatch):
    repo = _repository(root)
    with open(repo / ".git" / "config", "a", encoding="utf-8") as config:
        config.write("[merge]\n\tconflictStyle\n")
    return repo


# name -> (make the working directory, the style `git merge-file` takes there; None where it
# refuses to merge at all)
PLACES = {
    "outside a repository": (_outside, "merge"),
    "outside, global diff3 and -c zdiff3": (_outside_configured, "merge"),
    "repository": (_repo_plain, "merge"),
    "repository, -c diff3": (_repo_parameters, "diff3"),
    "repository, GIT_CONFIG_COUNT zdiff3": (_repo_count, "zdiff3"),
    "repository, global diff3": (_repo_global, "diff3"),
    "repository, local zdiff3 over global diff3": (_repo_local_over_global, "zdiff3"),
    "repository subdirectory, -c zdiff3": (_repo_subdirectory, "zdiff3"),
    "GIT_DIR of a repository with diff3": (_git_dir_elsewhere, "diff3"),
    "repository, unknown style": (_repo_unknown_style, None),
    "repository, style in upper case": (_repo_upper_case_style, None),
    "repository, style without a value": (_repo_style_without_value, None),
}
MERGING_PLACES = [name for name, (_, style) in PLACES.items() if style is not None]
REFUSING_PLACES = [name for name, (_, style) in PLACES.items() if style is None]


def enter(place, root, monkeypatch):
    """Makes `place` under `root` this process's working directory, with git's configuration
    limited to what the place sets; returns the style git takes there."""
    make, style = PLACES[place]
    home = root / "home"
    home.mkdir()
    for name in ("GIT_CONFIG_PARAMETERS", "GIT_CONFIG_COUNT", "GIT_DIR", "GIT_WORK_TREE",
                 "GIT_CONFIG_GLOBAL", "GIT_CONFIG_SYSTEM", "XDG_CONFIG_HOME"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("GIT_CONFIG_NOSYSTEM", "1")
    monkeypatch.setenv("GIT_CEILING_DIRECTORIES", str(root))
    monkeypatch.chdir(make(root, home, monkeypatch))
    return style
