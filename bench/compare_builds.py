"""Two builds of the package side by side, in one run, on the same inputs.

    python3 bench/compare_builds.py BEFORE AFTER [--rounds N] [--repeat N] [--only NAME ...]

BEFORE and AFTER are directories to put first on the module path (a source tree built in place
with ./tools/dev_build.sh, or a site-packages). Each measurement runs in a fresh child process
per build, the two builds taking turns for --rounds rounds, so that a load on the machine falls
on both alike. Inputs are made once by this script:

- typical, large, overlap: `merge_files` on the triples of merge_workloads.py (fresh copies of
  the three files for every call, copied outside the timing);
- typical_alone: typical with base in place of incoming, so that only current changed and no
  cell needs a source merge;
- diff_dicts: the two versions bench_diff.py makes (5,000 code cells, 500 parameters), fresh
  copies for every call;
- comments: `merge_files` on bench_comments.py's triple with 16,000 comments per side.

Each child makes --repeat timed calls, each after a full collection. The table gives, per build,
the best and the median of all its calls, in milliseconds, and the ratio BEFORE / AFTER of the
best (above 1: AFTER is faster).
"""

import argparse
import gc
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
MEASURES = ("typical", "typical_alone", "large", "overlap", "diff_dicts", "comments")


def make_inputs(directory: str, names) -> dict:
    # The generators' modules import the package too: AFTER serves them (only its reader runs).
    sys.path[:0] = [HERE, ARGS.after]
    import merge_workloads  # noqa: E402
    from notebook_gen import make_notebook, mutate_notebook  # noqa: E402

    inputs = {}
    for name in ("typical", "large", "overlap"):
        if name in names:
            inputs[name] = merge_workloads.write(merge_workloads.build(name), os.path.join(directory, name))
    if "typical_alone" in names:
        triple = merge_workloads.build("typical")
        triple.incoming = triple.base
        inputs["typical_alone"] = merge_workloads.write(triple, os.path.join(directory, "alone"))
    if "diff_dicts" in names:
        import bench_diff  # noqa: E402

        prev = bench_diff.code_cells(make_notebook(5000 * 10 // 9 + 200, parameters=500), 5000)
        paths = {"prev": os.path.join(directory, "prev.json"),
                 "current": os.path.join(directory, "current.json")}
        for key, document in (("prev", prev), ("current", mutate_notebook(prev))):
            with open(paths[key], "w", encoding="utf-8") as file:
                json.dump(document, file)
        inputs["diff_dicts"] = paths
    if "comments" in names:
        comment_dir = os.path.join(directory, "comments")
        os.mkdir(comment_dir)
        import bench_comments  # noqa: E402

        inputs["comments"] = bench_comments.write_triple(comment_dir, 16000)
    return inputs


def child_env(build: str) -> dict:
    env = dict(os.environ)
    env["PYTHONPATH"] = build
    return env


def child(name: str, paths: dict, repeat: int) -> None:
    times = []
    if name == "diff_dicts":
        from vornik_git import _native
        from vornik_git.drivers import nbdelta

        texts = []
        for key in ("prev", "current"):
            with open(paths[key], "rb") as file:
                texts.append(file.read())
        for _ in range(repeat):
            prev, current = (_native.loads(text) for text in texts)
            gc.collect()
            start = time.perf_counter()
            nbdelta.diff_dicts(prev, current)
            times.append(time.perf_counter() - start)
            del prev, current
    else:
        from vornik_git.drivers import nbweave

        with tempfile.TemporaryDirectory() as scratch:
            for _ in range(repeat):
                run = {key: shutil.copy(path, scratch) for key, path in paths.items()}
                gc.collect()
                start = time.perf_counter()
                nbweave.merge_files(run["base"], run["current"], run["incoming"], "nb.ipynb")
                times.append(time.perf_counter() - start)
    print(json.dumps([t * 1e3 for t in times]))


def measure(build: str, name: str, paths: dict, repeat: int) -> list:
    out = subprocess.run([sys.executable, os.path.abspath(__file__), build, build, json.dumps(paths),
                          "--child", name, "--repeat", str(repeat)],
                         check=True, capture_output=True, text=True, env=child_env(build))
    return json.loads(out.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--only", nargs="+", choices=MEASURES, default=list(MEASURES))
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("paths", nargs="?", help=argparse.SUPPRESS)
    global ARGS
    ARGS = parser.parse_args()
    if ARGS.child:
        child(ARGS.child, json.loads(ARGS.paths), ARGS.repeat)
        return
    ARGS.before, ARGS.after = os.path.abspath(ARGS.before), os.path.abspath(ARGS.after)
    repeats = {"large": max(3, ARGS.repeat // 5), "comments": 1}
    with tempfile.TemporaryDirectory() as directory:
        inputs = make_inputs(directory, ARGS.only)
        print(f"python {sys.version.split()[0]}; {ARGS.rounds} rounds; before {ARGS.before}; "
              f"after {ARGS.after}\n")
        print("| measure | before best (median) ms | after best (median) ms | before / after |")
        print("|---|---|---|---|")
        for name in ARGS.only:
            times = {ARGS.before: [], ARGS.after: []}
            for _ in range(ARGS.rounds):
                for build in (ARGS.before, ARGS.after):
                    times[build] += measure(build, name, inputs[name], repeats.get(name, ARGS.repeat))
            before, after = times[ARGS.before], times[ARGS.after]
            print(f"| {name} | {min(before):.1f} ({statistics.median(before):.1f}) | "
                  f"{min(after):.1f} ({statistics.median(after):.1f}) | "
                  f"{min(before) / min(after):.2f}x |", flush=True)


ARGS = argparse.Namespace()

if __name__ == "__main__":
    main()
