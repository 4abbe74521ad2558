"""Source merges in process (libgit2) against a `git merge-file` process per cell, in one run.

    python3 bench/bench_engine.py [--workload typical|typical5|overlap|all] [--repeat N]
                                  [--git PROGRAM ...]

Runs against the installed package (or `PYTHONPATH=src` after an in-place build). Workloads come
from merge_workloads.py: `typical` (3 cells edited by both sides, apart), `overlap` (150 cells
edited by both sides, 20 of them conflicting) and `typical5`, which is `typical` with 2 more
cells edited apart by both sides (5 source merges). Per workload, `merge_files` on fresh copies
of the three files (copied outside the timing), the three ways taking turns:

- processes: `_merge_source` wrapped in the merge module's namespace; the wrapper calls it, so
  the merge behaves the same but keeps to one `git merge-file` process per cell (the engine
  only stands in for the module's own `_merge_source`);
- engine: the module as it is: one git process per merge for the conflict style, the cells in
  process (the same as processes in a build without libgit2);
- stand-in: `_merge_source` replaced by a function that returns the current lines: the merge
  without any source merge, so that total minus stand-in is the source-merge step.

Best and median of N (wall-clock ms, each call after a full collection). The engine is also
timed on its own: the opening of a session alone (`_engine.conflict_style()`, which runs git
once), and `vornik_git._engine.merge_sources` on the sources of the cells both sides edited,
repeated 20 times in one session, which gives the time per cell. The engine's share of a merge
is one opening plus its cells; the share outside the engine is the rest of the merge.

With --git, every workload runs once per git program given (GitPython runs it, as when
GIT_PYTHON_GIT_EXECUTABLE names it), for instance releases built by tools/build-git.sh; a
release the engine was not proven with keeps a process per cell in the engine column too.
"""

import argparse
import gc
import subprocess
import os
import random
import shutil
import statistics
import sys
import tempfile
import time
from typing import Any, Callable, Dict, List, Tuple

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import merge_workloads  # noqa: E402

import git  # noqa: E402

from vornik_git import _engine  # noqa: E402
from vornik_git.drivers import nbweave  # noqa: E402

FILE_PATH = "notebook.ipynb"
WORKLOADS = ("typical", "typical5", "overlap")
CELL_REPEAT = 20


def build(name: str) -> merge_workloads.Triple:
    if name != "typical5":
        return merge_workloads.build(name)
    triple = merge_workloads.build("typical")
    triple.name = "typical5"
    rng = random.Random(5)
    current = merge_workloads.cells_by_id(triple.current)
    incoming = merge_workloads.cells_by_id(triple.incoming)
    untouched = [i for i in merge_workloads._code_ids(triple.base, min_lines=4)
                 if i in current and i in incoming
                 and i not in triple.edited_current | triple.edited_incoming]
    for cell_id in rng.sample(untouched, 2):
        merge_workloads.edit_apart(rng, current[cell_id], incoming[cell_id])
        triple.edited_current.add(cell_id)
        triple.edited_incoming.add(cell_id)
    return triple


def both_edited_sources(triple: merge_workloads.Triple) -> List[Tuple[List[str], ...]]:
    docs = [merge_workloads.cells_by_id(getattr(triple, v))
            for v in ("current", "base", "incoming")]
    both = triple.edited_current & triple.edited_incoming
    return [tuple(doc[i]["source"] for doc in docs) for i in sorted(both)]


def merge_once(paths: Dict[str, str], run_dir: str) -> float:
    os.makedirs(run_dir, exist_ok=True)
    copies = {}
    for version, path in paths.items():
        copies[version] = os.path.join(run_dir, os.path.basename(path))
        shutil.copyfile(path, copies[version])
    gc.collect()
    start = time.perf_counter()
    nbweave.merge_files(copies["base"], copies["current"], copies["incoming"], FILE_PATH)
    return time.perf_counter() - start


def processes(original: Callable[..., Any]) -> Callable[..., Any]:
    def _merge_source(*args: Any, **kwargs: Any) -> Any:
        return original(*args, **kwargs)
    return _merge_source


def stand_in(g: Any, current: List[str], *rest: Any, **kwargs: Any) -> List[str]:
    return list(current)


def timed(function: Callable[[], Any]) -> float:
    gc.collect()
    start = time.perf_counter()
    function()
    return time.perf_counter() - start


def best_median(seconds: List[float]) -> Tuple[float, float]:
    return min(seconds) * 1000, statistics.median(seconds) * 1000


def run_workload(name: str, directory: str, repeat: int) -> Dict[str, Any]:
    triple = build(name)
    paths = merge_workloads.write(triple, os.path.join(directory, name))
    run_dir = os.path.join(directory, name, "run")
    original = nbweave._merge_source
    ways = {"processes": processes(original), "engine": original, "stand-in": stand_in}
    times: Dict[str, List[float]] = {way: [] for way in ways}
    try:
        for _ in range(repeat):
            for way, function in ways.items():
                nbweave._merge_source = function
                times[way].append(merge_once(paths, run_dir))
    finally:
        nbweave._merge_source = original
    sources = both_edited_sources(triple)
    labels = (FILE_PATH + "-current", FILE_PATH + "-incoming")
    many = sources * CELL_REPEAT
    engine_alone = [timed(lambda: _engine.merge_sources(many, *labels)) for _ in range(repeat)]
    opening = [timed(_engine.conflict_style) for _ in range(repeat)]
    return {"name": name, "source_merges": len(sources),
            "times": {way: best_median(t) for way, t in times.items()},
            "engine_alone": best_median(engine_alone), "opening": best_median(opening)}


def report(results: List[Dict[str, Any]], repeat: int) -> None:
    program = git.cmd.Git.GIT_PYTHON_GIT_EXECUTABLE
    release = subprocess.run([program, "version"], capture_output=True, text=True).stdout.strip()
    print(f"\n{program} ({release}), libgit2 {_engine.libgit2}, engine usable: {_engine.usable},"
          f" conflict style here: {_engine.conflict_style()}; best (median) ms of {repeat}"
          " merges each\n")
    print("| workload | source merges | processes | engine | stand-in (no source merge)"
          " | merge speed-up | source-merge step: processes, engine | step speed-up |")
    print("|---|---|---|---|---|---|---|---|")
    for r in results:
        t = r["times"]
        step_processes = t["processes"][0] - t["stand-in"][0]
        step_engine = max(t["engine"][0] - t["stand-in"][0], 1e-3)
        ways = " | ".join(f"{t[w][0]:.1f} ({t[w][1]:.1f})"
                          for w in ("processes", "engine", "stand-in"))
        print(f"| {r['name']} | {r['source_merges']} | {ways}"
              f" | {t['processes'][0] / t['engine'][0]:.1f}x"
              f" | {step_processes:.1f}, {step_engine:.1f} | {step_processes / step_engine:.0f}x |")
    print(f"\nthe engine on its own, best ms: the opening of a session (one git merge-file run),"
          f" merge_sources on the cells both sides edited {CELL_REPEAT} times over in one"
          f" session\n")
    print("| workload | opening | cells x {} | per cell µs | engine in a merge"
          " (opening + cells) | share of the merge outside the engine |".format(CELL_REPEAT))
    print("|---|---|---|---|---|---|")
    for r in results:
        alone, opening, total = r["engine_alone"][0], r["opening"][0], r["times"]["engine"][0]
        cells = max(r["source_merges"], 1)
        per_cell = max(alone - opening, 0.0) / (CELL_REPEAT * cells)
        own = opening + per_cell * cells
        print(f"| {r['name']} | {opening:.2f} | {alone:.2f} | {per_cell * 1000:.1f} | {own:.2f}"
              f" | {1 - own / total:.1%} |")
    for r in results:
        speed = r["times"]["processes"][0] / r["times"]["engine"][0]
        target = {"overlap": 10, "typical": 5, "typical5": 5}[r["name"]]
        print(f"{r['name']}: whole merge {speed:.1f}x faster with the engine (target {target}x):"
              f" {'met' if speed >= target else 'not met'}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workload", choices=WORKLOADS + ("all",), default="all")
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--git", nargs="+", metavar="PROGRAM",
                        help="git programs to merge with, one run each (default: GitPython's)")
    args = parser.parse_args()
    names = WORKLOADS if args.workload == "all" else (args.workload,)
    for program in args.git or [git.cmd.Git.GIT_PYTHON_GIT_EXECUTABLE]:
        git.cmd.Git.GIT_PYTHON_GIT_EXECUTABLE = program
        with tempfile.TemporaryDirectory() as directory:
            results = [run_workload(name, directory, args.repeat) for name in names]
        report(results, args.repeat)


if __name__ == "__main__":
    main()
