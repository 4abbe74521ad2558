"""Wall time of the views on the inputs that used to make them crawl, and the cost of
`vornik-git cat`, which git runs twice per notebook and commit in `git log -p`.

    PYTHONPATH=src python3 bench/bench_views.py [--repeat 5]

(after an in-place build with ./tools/dev_build.sh; without PYTHONPATH after `pip install .`).

- text view: one code cell of 100,000 lines with every 100th line edited; target under 2 s;
- --html: one changed line of 160,000 characters (numbers, every 1000th character edited);
  target under 1 s;
- cat: wall time per call on examples/base.ipynb, against a bare `python -c pass`, and the
  imports it makes beyond those of the bare interpreter (from -X importtime, bytecode cached).

Each figure is the best and the median of --repeat runs of the whole command, interpreter
start-up included.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def notebook(path, lines):
    cell = {"cell_type": "code", "execution_count": None, "outputs": [], "source": lines,
            "metadata": {"canvas": {"id": "a1", "name": "big", "parents": []}}}
    path.write_text(json.dumps({"cells": [cell], "metadata": {"canvas": {"parameters": []}}}), encoding="utf-8")
    return str(path)


def timed(command, env, repeat):
    samples = []
    for _ in range(repeat):
        start = time.perf_counter()
        subprocess.run(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        samples.append((time.perf_counter() - start) * 1000)
    return min(samples), statistics.median(samples)


def top_level_imports(command, env):
    """Top-level modules a command imports, with their cumulative microseconds."""
    result = subprocess.run([sys.executable, "-X", "importtime", *command], env=env, capture_output=True, text=True)
    found = {}
    for line in result.stderr.splitlines():
        parts = line.split("|")
        if len(parts) == 3 and parts[2].startswith(" ") and not parts[2].startswith("  ") and "cumulative" not in line:
            found[parts[2].strip()] = found.get(parts[2].strip(), 0) + int(parts[1])
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        work = Path(scratch)
        env = {key: value for key, value in os.environ.items() if key != "PYTHONDONTWRITEBYTECODE"}
        env["PYTHONPYCACHEPREFIX"] = str(work / "pycache")
        cli = [sys.executable, "-m", "vornik_git.cli"]

        lines = [f"value_{n} = compute({n}, 'abc')\n" for n in range(100_000)]
        edited = [line.replace("abc", "xyz") if n % 100 == 0 else line for n, line in enumerate(lines)]
        big = [notebook(work / "big-old.ipynb", lines), notebook(work / "big-new.ipynb", edited)]
        numbers = ",".join(str(n * 7919 % 100_003) for n in range(40_000))[:160_000]
        changed = "".join("x" if n % 1000 == 999 else c for n, c in enumerate(numbers))
        long = [notebook(work / "long-old.ipynb", [numbers + "\n"]), notebook(work / "long-new.ipynb", [changed + "\n"])]

        print(f"python {sys.version.split()[0]}, best and median of {args.repeat} runs, in ms")
        for title, command, target in (
            ("text view, 100,000-line cell, 1,000 edits", [*cli, "diff", "--no-color", *big], 2000),
            ("--html, one changed line of 160,000 chars", [*cli, "diff", "--html", str(work / "page.html"), *long], 1000),
        ):
            best, median = timed(command, env, args.repeat)
            print(f"{title:48} {best:8.0f} {median:8.0f}   target < {target} ms: {'met' if best < target else 'MISSED'}")

        example = str(EXAMPLES / "base.ipynb")
        timed([*cli, "cat", example], env, 1)  # writes the bytecode cache
        bare = timed([sys.executable, "-c", "pass"], env, args.repeat * 4)
        cat = timed([*cli, "cat", example], env, args.repeat * 4)
        print(f"{'bare interpreter (python -c pass)':48} {bare[0]:8.0f} {bare[1]:8.0f}")
        print(f"{'vornik-git cat examples/base.ipynb':48} {cat[0]:8.0f} {cat[1]:8.0f}")
        baseline = top_level_imports(["-c", "pass"], env)
        runs = [{name: micros for name, micros in top_level_imports([*cli[1:], "cat", example], env).items()
                 if name not in baseline} for _ in range(args.repeat)]
        own = min(runs, key=lambda run: sum(run.values()))  # the least disturbed run
        listed = ", ".join(f"{name} {micros / 1000:.1f}" for name, micros in sorted(own.items(), key=lambda kv: -kv[1]))
        print(f"cat imports beyond the bare interpreter: {sum(own.values()) / 1000:.1f} ms ({listed})")


if __name__ == "__main__":
    main()
