"""Leak check of the notebook merge: `merge_files` many times in one process.

    python3 bench/bench_merge_repeat.py [--iterations 1000] [--every 100]
                                        [--variant git|stand-in|both]

Runs against the installed package (or `PYTHONPATH=src` after an in-place build); without the
merge module it says so and exits with status 2. Each iteration merges the `typical` workload of
merge_workloads.py (the current file's original bytes are written back before every call, since
the merge overwrites it) and then makes one failing call, in turn: bad JSON in the incoming file,
an incoming document without "metadata"/"canvas"/"parameters", and a `pathlib.Path` where a str
is expected. Each failing call must raise its error (JSONDecodeError, KeyError, TypeError) and
leave the current file as it was; any other outcome is counted and printed.

Every --every iterations, after a full collection, it records the resident set size (from
/proc/self/statm), `len(gc.get_objects())` and `sys.getrefcount` of a few objects that every
call touches (interned key strings, None/True/False, the module's classes, GitPython's error
class); it prints the series and the growth from the first sample to the last.

Variants: `git` runs the merge as it is, starting `git merge-file` for the cells both sides
edited; `stand-in` replaces `_merge_source` in the merge module's namespace with a pure-Python
function that returns the current lines, so that the many iterations do not wait on git.
"""

import argparse
import gc
import json
import os
import pathlib
import sys
import tempfile
import time
from typing import Any, Callable, Dict, List, Optional, Tuple

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import merge_workloads  # noqa: E402

MODULE = "vornik_git.drivers.nbweave"
PAGE = os.sysconf("SC_PAGE_SIZE")
KEYS = ("cells", "metadata", "canvas", "id", "name", "parents", "source", "outputs",
        "execution_count", "parameters")


def rss_mb() -> float:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE / 1e6


def watched(module: Any) -> Dict[str, Any]:
    """Objects whose reference counts a leak in the merge would raise call after call."""
    objects: Dict[str, Any] = {repr(k): sys.intern(k) for k in KEYS}
    objects.update({"None": None, "True": True, "False": False,
                    "MergeCell": module.MergeCell, "Cell": module.Cell,
                    "GitCommandError": module.git.GitCommandError})
    return objects


Sample = Tuple[int, float, int, Tuple[int, ...]]


def sample(iteration: int, objects: Dict[str, Any]) -> Sample:
    gc.collect()
    # A tuple of numbers is not tracked by the collector after a collection, so the series
    # itself does not show up in the object counts. getrefcount's own argument adds one
    # reference, the same in every sample.
    refs = tuple(sys.getrefcount(obj) for obj in objects.values())
    return iteration, rss_mb(), len(gc.get_objects()), refs


class ErrorCases:
    """The failing calls, each with the error it must raise."""

    def __init__(self, directory: str, paths: Dict[str, str]) -> None:
        self.paths = paths
        with open(paths["incoming"], encoding="utf-8") as f:
            text = f.read()
        self.bad_json = os.path.join(directory, "bad.ipynb")
        with open(self.bad_json, "w", encoding="utf-8") as f:
            f.write(text[: len(text) // 2])
        doc = json.loads(text)
        del doc["metadata"]["canvas"]["parameters"]
        self.no_parameters = os.path.join(directory, "no_parameters.ipynb")
        with open(self.no_parameters, "w", encoding="utf-8") as f:
            json.dump(doc, f)
        self.cases: List[Tuple[str, type, Dict[str, Any]]] = [
            ("bad JSON", json.JSONDecodeError, {"incoming_file_path": self.bad_json}),
            ("no parameters", KeyError, {"incoming_file_path": self.no_parameters}),
            ("Path argument", TypeError, {"base_file_path": pathlib.Path(paths["base"])}),
        ]

    def run(self, module: Any, iteration: int, current_bytes: bytes) -> Optional[str]:
        label, expected, override = self.cases[iteration % len(self.cases)]
        kwargs: Dict[str, Any] = {"base_file_path": self.paths["base"],
                                  "current_file_path": self.paths["current"],
                                  "incoming_file_path": self.paths["incoming"],
                                  "file_path": "notebook.ipynb", **override}
        try:
            module.merge_files(**kwargs)
        except expected:
            pass
        except Exception as error:  # reported, not raised: the series is still worth having
            return f"{label}: {type(error).__name__}: {error}"
        else:
            return f"{label}: no error raised"
        with open(self.paths["current"], "rb") as f:
            if f.read() != current_bytes:
                return f"{label}: the current file changed"
        return None


def run_variant(module: Any, paths: Dict[str, str], errors: ErrorCases, iterations: int,
                every: int) -> Tuple[List[str], List[Sample], List[str], float]:
    with open(paths["current"], "rb") as f:
        current_bytes = f.read()
    objects = watched(module)
    series: List[Sample] = []
    problems: List[str] = []
    start = time.perf_counter()
    for i in range(1, iterations + 1):
        with open(paths["current"], "wb") as f:
            f.write(current_bytes)
        module.merge_files(base_file_path=paths["base"], current_file_path=paths["current"],
                           incoming_file_path=paths["incoming"], file_path="notebook.ipynb")
        with open(paths["current"], "wb") as f:
            f.write(current_bytes)
        problem = errors.run(module, i, current_bytes)
        if problem and len(problems) < 20:
            problems.append(f"iteration {i}: {problem}")
        if i % every == 0:
            series.append(sample(i, objects))
    return list(objects), series, problems, time.perf_counter() - start


def print_series(title: str, names: List[str], series: List[Sample], problems: List[str],
                 seconds: float) -> None:
    print(f"\n{title}: {series[-1][0]} iterations in {seconds:.1f} s")
    print("\n| iteration | RSS MB | gc objects | " + " | ".join(names) + " |")
    print("|---" * (3 + len(names)) + "|")
    for iteration, rss, objects, refs in series:
        print(f"| {iteration} | {rss:.1f} | {objects} | {' | '.join(map(str, refs))} |")
    first, last = series[0], series[-1]
    growth = ", ".join(f"{n} {b - a:+d}" for n, a, b in zip(names, first[3], last[3]))
    print(f"\ngrowth from iteration {first[0]} to {last[0]}: RSS {last[1] - first[1]:+.1f} MB,"
          f" gc objects {last[2] - first[2]:+d}, references {growth}")
    print("failing calls: " + ("all raised their error and left the current file unchanged"
                               if not problems else "; ".join(problems)))


def stand_in_source(calls: List[int]) -> Callable[..., List[str]]:
    def _merge_source(g: Any, current: List[str], base: List[str], incoming: List[str],
                      current_name: Optional[str] = None,
                      incoming_name: Optional[str] = None) -> List[str]:
        calls[0] += 1
        return list(current)
    return _merge_source


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=1000)
    parser.add_argument("--every", type=int, default=100)
    parser.add_argument("--variant", choices=("git", "stand-in", "both"), default="both")
    args = parser.parse_args()
    try:
        import importlib
        module = importlib.import_module(MODULE)
    except ImportError as error:
        print(f"{MODULE} is absent ({type(error).__name__}: {error}); nothing to measure")
        raise SystemExit(2)

    with tempfile.TemporaryDirectory() as directory:
        paths = merge_workloads.write(merge_workloads.build("typical"), directory)
        errors = ErrorCases(directory, paths)
        if args.variant in ("git", "both"):
            print_series("git merge-file", *run_variant(module, paths, errors, args.iterations,
                                                        args.every))
        if args.variant in ("stand-in", "both"):
            calls = [0]
            real = module._merge_source
            module._merge_source = stand_in_source(calls)
            try:
                result = run_variant(module, paths, errors, args.iterations, args.every)
            finally:
                module._merge_source = real
            print_series(f"_merge_source stand-in ({calls[0]} calls)", *result)
            if calls[0] == 0:
                print("the merge did not call the stand-in: it does not look _merge_source up"
                      " in its module namespace")


if __name__ == "__main__":
    main()
