"""Wall time of the merge driver as git runs it: one process per merged notebook.

    python3 bench/bench_cli.py [--repeat N]

Runs on the example triple in examples/ and splits a run into interpreter start-up
(`python -c pass`), the imports the driver's module makes at load (GitPython and jsondiff
among them, since the merge module imports them), and the rest: parsing the command line and
the merge itself. Also prints the slowest top-level imports from `-X importtime`.

Then, on the `typical` workload of merge_workloads.py, the command that `vornik-git install`
configures (run through sh, as git runs it, placeholders filled in) against `vornikweave`
alone, in alternating runs so that both see the same machine load.

Run against the installed package, or with PYTHONPATH=src after an in-place build.
"""

import argparse
import itertools
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def timed(command, cwd=None, prepare=None, repeat=15):
    samples = []
    for _ in range(repeat):
        if prepare:
            prepare()
        start = time.perf_counter()
        subprocess.run(command, cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        samples.append((time.perf_counter() - start) * 1000)
    return min(samples), statistics.median(samples)


WATCHED = ["site", "vornik_git.scripts.vornikweave", "vornik_git.drivers.nbweave", "git", "jsondiff",
           "vornik_git.drivers.common", "argparse", "logging", "tempfile", "uuid", "json", "typing"]


def import_breakdown():
    """Self-inclusive import times of the modules the driver's load pulls in, in ms."""
    result = subprocess.run(
        [sys.executable, "-X", "importtime", "-c", "import vornik_git.scripts.vornikweave"],
        capture_output=True, text=True, check=True,
    )
    cumulative = {}
    for line in result.stderr.splitlines():
        match = re.match(r"import time:\s+(\d+) \|\s+(\d+) \|( *)(\S+)", line)
        if match and match.group(4) in WATCHED:
            cumulative[match.group(4)] = int(match.group(2)) / 1000
    return cumulative


def one_run(command, prepare, cwd):
    prepare()
    start = time.perf_counter()
    subprocess.run(command, cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return (time.perf_counter() - start) * 1000


def driver_against_module(repeat):
    """(label, (best, median)) rows: the installed driver command and vornikweave alone."""
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    import merge_workloads

    from vornik_git import gitsetup

    work = Path(tempfile.mkdtemp())
    try:
        triple = work
        merge_workloads.write(merge_workloads.build("typical"), str(triple))

        def fresh_copy():
            shutil.copy(triple / "current.ipynb", triple / "merged.ipynb")

        fill = {"%O": "base.ipynb", "%A": "merged.ipynb", "%B": "incoming.ipynb", "%L": "7",
                "%P": "'typical.ipynb'"}
        command = gitsetup.merge_command()
        for placeholder, value in fill.items():
            command = command.replace(placeholder, value)
        console = shutil.which("vornikweave", path=os.path.dirname(sys.executable))
        module = [console] if console else [sys.executable, "-m", "vornik_git.scripts"]
        commands = {
            "installed driver command (sh, wrapper)": ["sh", "-c", command],
            f"vornikweave alone ({'console command' if console else 'python -m'})": [
                *module, "--current-file", "merged.ipynb", "--base-file", "base.ipynb",
                "--incoming-file", "incoming.ipynb", "--file-path", "typical.ipynb"],
        }
        samples = {label: [] for label in commands}
        for label in itertools.islice(itertools.cycle(commands), 2 * repeat):
            samples[label].append(one_run(commands[label], fresh_copy, triple))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return [(label, (min(times), statistics.median(times))) for label, times in samples.items()]


def main():
    import vornik_git

    # children import the same package as this process, whatever their working directory
    os.environ["PYTHONPATH"] = str(Path(vornik_git.__file__).resolve().parent.parent)
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    options = parser.parse_args()

    work = Path(tempfile.mkdtemp())
    try:
        def fresh_copy():
            for name in ("base", "current", "incoming"):
                shutil.copy(EXAMPLES / f"{name}.ipynb", work)

        arguments = ["--current-file", "current.ipynb", "--base-file", "base.ipynb",
                     "--incoming-file", "incoming.ipynb", "--file-path", "example.ipynb"]
        rows = [
            ("interpreter start (python -c pass)", timed([sys.executable, "-c", "pass"], repeat=options.repeat)),
            ("start + import git (GitPython)", timed([sys.executable, "-c", "import git"], repeat=options.repeat)),
            ("start + load of the driver module", timed(
                [sys.executable, "-c", "import vornik_git.scripts.vornikweave"], repeat=options.repeat)),
            ("python -m vornik_git.scripts (whole merge)", timed(
                [sys.executable, "-m", "vornik_git.scripts", *arguments], cwd=work, prepare=fresh_copy,
                repeat=options.repeat)),
        ]
        console = shutil.which("vornikweave", path=os.path.dirname(sys.executable))
        if console:
            rows.append(("vornikweave console command (whole merge)", timed(
                [console, *arguments], cwd=work, prepare=fresh_copy, repeat=options.repeat)))
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print(f"{'':45} {'best ms':>8} {'median ms':>10}")
    for label, (best, median) in rows:
        print(f"{label:45} {best:8.1f} {median:10.1f}")
    start, with_git, loaded, whole = (row[1][0] for row in rows[:4])
    print(f"\nsplit of the best whole run: start {start:.1f} ms, imports {loaded - start:.1f} ms "
          f"(GitPython alone {with_git - start:.1f} ms), command line and merge {whole - loaded:.1f} ms")

    typical = driver_against_module(options.repeat)
    print(f"\n'typical' workload (200 cells), alternating runs:\n{'':45} {'best ms':>8} {'median ms':>10}")
    for label, (best, median) in typical:
        print(f"{label:45} {best:8.1f} {median:10.1f}")
    (_, (wrapped_best, wrapped_median)), (_, (bare_best, bare_median)) = typical
    print(f"driver over vornikweave alone: best {100 * (wrapped_best / bare_best - 1):+.1f}%, "
          f"median {100 * (wrapped_median / bare_median - 1):+.1f}%")

    print("\nimports at load (-X importtime, cumulative ms, one run; a module already imported by an")
    print("earlier one shows only where it was first imported):")
    for name, ms in sorted(import_breakdown().items(), key=lambda item: -item[1]):
        print(f"  {name:40} {ms:7.1f}")


if __name__ == "__main__":
    main()
