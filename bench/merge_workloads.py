"""Seeded notebook triples (base, current, incoming) for the merge benchmarks.

    python3 bench/merge_workloads.py [--workload typical|large|overlap|all] [--dir DIR] [--seed N]

Writes DIR/<workload>/{base,current,incoming}.ipynb (one-line `json.dump` text) and prints, per
workload, the cell counts, the file sizes and which cells each side touched; the cells that both
sides edited are also run through `git merge-file` to count the ones git reports as conflicting.

Workloads (base is `make_notebook`; current and incoming are deep copies with edits, every canvas
id kept except for the cells deliberately added or removed):

- typical: 200 cells. Each side edits 20 cells (changed or inserted source lines, sometimes a
  new comment or header colour); 3 of those cells are edited by both sides, in lines far enough
  apart to merge cleanly. Incoming adds 2 cells, current removes 1, current changes a parameter.
- large: 5,000 cells, 10% with one ~50 KB output. Each side edits 250 cells without outputs
  (5%, different cells per side), replaces the outputs of 20 cells and the execution counts
  of 100, adds 3 cells and removes 3 that the other side left alone, and changes 2 parameters;
  incoming adds one parameter, current removes one.
- overlap: 500 cells. 150 cells edited by both sides: 130 in different lines of the same cell
  (clean merges), 20 in the same line (conflicts); 25 more edited by current only and 25 by
  incoming only.
"""

import argparse
import copy
import json
import os
import random
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field
from typing import Any, Dict, List, Set

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from notebook_gen import make_cell, make_notebook, make_source  # noqa: E402

WORKLOADS = ("typical", "large", "overlap")
VERSIONS = ("base", "current", "incoming")
COLOURS = ("#3572A5", "#F1E05A", "#89E051", "#E34C26")


@dataclass
class Triple:
    name: str
    base: Dict[str, Any]
    current: Dict[str, Any]
    incoming: Dict[str, Any]
    # Ids touched per side, kept so that the workload can be checked against what it claims.
    edited_current: Set[str] = field(default_factory=set)
    edited_incoming: Set[str] = field(default_factory=set)


def cell_id(cell: Dict[str, Any]) -> str:
    return cell["metadata"]["canvas"]["id"]


def _fresh_lines(rng: random.Random, count: int) -> List[str]:
    # make_source strips the last line end and sometimes adds a header line; inserted lines
    # need their own line end, and a fixed count keeps edits of the same size.
    return make_source(rng, count + 1)[-count - 1:-1]


def replace_line(rng: random.Random, cell: Dict[str, Any], index: int) -> None:
    source = cell["source"]
    new = _fresh_lines(rng, 1)[0]
    if not source[index].endswith("\n"):
        new = new.rstrip("\n")  # the last line stays without a line end, as git sees it
    source[index] = new


def edit_source(rng: random.Random, cell: Dict[str, Any]) -> None:
    source = cell["source"]
    if rng.random() < 0.5 or not source:
        # Inserting before the last line keeps the no-line-end rule of the last line.
        at = rng.randint(0, max(0, len(source) - 1))
        source[at:at] = _fresh_lines(rng, rng.randint(1, 3))
    else:
        for index in rng.sample(range(len(source)), k=min(len(source), rng.randint(1, 2))):
            replace_line(rng, cell, index)


def edit_cell(rng: random.Random, cell: Dict[str, Any], extras: bool) -> None:
    edit_source(rng, cell)
    if not extras:
        return
    canvas = cell["metadata"]["canvas"]
    roll = rng.random()
    if roll < 0.1:
        canvas.setdefault("comments", []).append(
            {"author": rng.choice(["ana", "ben", "eve"]), "text": f"check {rng.randint(0, 99)}"})
    elif roll < 0.2:
        canvas["headerColor"] = rng.choice([c for c in COLOURS if c != canvas.get("headerColor")])


def edit_apart(rng: random.Random, current: Dict[str, Any], incoming: Dict[str, Any]) -> None:
    """Both sides change one line each, with unchanged lines between, so git merges cleanly."""
    n = len(current["source"])
    replace_line(rng, current, rng.randint(0, n // 2 - 1))
    replace_line(rng, incoming, rng.randint(n // 2 + 1, n - 1))


def edit_same_line(rng: random.Random, current: Dict[str, Any], incoming: Dict[str, Any]) -> None:
    index = rng.randrange(len(current["source"]))
    replace_line(rng, current, index)
    replace_line(rng, incoming, index)


def cells_by_id(doc: Dict[str, Any]) -> Dict[str, Dict[str, Any]]:
    return {cell_id(c): c for c in doc["cells"]}


def add_cells(rng: random.Random, doc: Dict[str, Any], count: int, first_index: int,
              output_size: int = 0) -> Set[str]:
    ids = [cell_id(c) for c in doc["cells"]]
    added = set()
    for k in range(count):
        cell = make_cell(rng, first_index + k, ids, output_size)
        doc["cells"].insert(rng.randint(0, len(doc["cells"])), cell)
        added.add(cell_id(cell))
    return added


def remove_cells(doc: Dict[str, Any], ids: Set[str]) -> None:
    doc["cells"] = [c for c in doc["cells"] if cell_id(c) not in ids]


def change_parameters(rng: random.Random, doc: Dict[str, Any], names: List[str]) -> None:
    for param in doc["metadata"]["canvas"]["parameters"]:
        if param["name"] in names:
            param["value"] = str(int(param["value"]) + rng.randint(1, 100))


def _new_outputs(rng: random.Random, size: int) -> List[Dict[str, Any]]:
    # The generator's own cell maker keeps new outputs in the same mix of kinds as the base's;
    # it makes a markdown cell (no outputs) now and then, hence the loop.
    while True:
        cell = make_cell(rng, 0, [], size)
        if cell.get("outputs"):
            return cell["outputs"]


def _code_ids(doc: Dict[str, Any], min_lines: int = 1) -> List[str]:
    return [cell_id(c) for c in doc["cells"]
            if c["cell_type"] == "code" and len(c["source"]) >= min_lines]


def _start(name: str, base: Dict[str, Any]) -> Triple:
    return Triple(name, base, copy.deepcopy(base), copy.deepcopy(base))


def typical(seed: int) -> Triple:
    rng = random.Random(seed * 1000 + 1)
    t = _start("typical", make_notebook(200, seed=seed))
    cur, inc = cells_by_id(t.current), cells_by_id(t.incoming)
    pool = _code_ids(t.base, min_lines=4)
    rng.shuffle(pool)
    shared, only_cur, only_inc = pool[:3], pool[3:20], pool[20:37]
    for i in shared:
        edit_apart(rng, cur[i], inc[i])
    for i in only_cur:
        edit_cell(rng, cur[i], extras=True)
    for i in only_inc:
        edit_cell(rng, inc[i], extras=True)
    t.edited_current = set(shared + only_cur)
    t.edited_incoming = set(shared + only_inc)
    add_cells(rng, t.incoming, 2, first_index=10_000)
    remove_cells(t.current, {pool[40]})
    change_parameters(rng, t.current, ["param_3"])
    return t


def large(seed: int) -> Triple:
    rng = random.Random(seed * 1000 + 2)
    t = _start("large", make_notebook(5_000, seed=seed, output_fraction=0.1, output_size=50_000))
    cur, inc = cells_by_id(t.current), cells_by_id(t.incoming)
    with_outputs = [cell_id(c) for c in t.base["cells"] if c.get("outputs")]
    has_outputs = set(with_outputs)
    without = [i for i in (cell_id(c) for c in t.base["cells"]) if i not in has_outputs]
    rng.shuffle(with_outputs)
    rng.shuffle(without)
    only_cur, only_inc = without[:250], without[250:500]
    removed_by_cur, removed_by_inc = set(without[500:503]), set(without[503:506])
    for i in only_cur:
        edit_cell(rng, cur[i], extras=True)
    for i in only_inc:
        edit_cell(rng, inc[i], extras=True)
    for side, ids in ((cur, with_outputs[:20]), (inc, with_outputs[20:40])):
        for i in ids:
            side[i]["outputs"] = _new_outputs(rng, 50_000)
    code = _code_ids(t.base)
    for side in (cur, inc):
        for i in rng.sample(code, 100):
            side[i]["execution_count"] = rng.randint(501, 999)
    t.edited_current, t.edited_incoming = set(only_cur), set(only_inc)
    add_cells(rng, t.current, 3, first_index=20_000)
    add_cells(rng, t.incoming, 3, first_index=30_000)
    remove_cells(t.current, removed_by_cur)
    remove_cells(t.incoming, removed_by_inc)
    change_parameters(rng, t.current, ["param_1", "param_2"])
    change_parameters(rng, t.incoming, ["param_5", "param_6"])
    t.incoming["metadata"]["canvas"]["parameters"].append(
        {"name": "param_new", "type": "int", "value": "7"})
    params = t.current["metadata"]["canvas"]["parameters"]
    params[:] = [p for p in params if p["name"] != "param_9"]
    return t


def overlap(seed: int) -> Triple:
    rng = random.Random(seed * 1000 + 3)
    t = _start("overlap", make_notebook(500, seed=seed))
    cur, inc = cells_by_id(t.current), cells_by_id(t.incoming)
    pool = _code_ids(t.base, min_lines=4)
    rng.shuffle(pool)
    apart, same, only_cur, only_inc = pool[:130], pool[130:150], pool[150:175], pool[175:200]
    for i in apart:
        edit_apart(rng, cur[i], inc[i])
    for i in same:
        edit_same_line(rng, cur[i], inc[i])
    for i in only_cur:
        edit_cell(rng, cur[i], extras=False)
    for i in only_inc:
        edit_cell(rng, inc[i], extras=False)
    t.edited_current = set(apart + same + only_cur)
    t.edited_incoming = set(apart + same + only_inc)
    return t


BUILDERS = {"typical": typical, "large": large, "overlap": overlap}


def build(name: str, seed: int = 1) -> Triple:
    return BUILDERS[name](seed)


def write(triple: Triple, directory: str) -> Dict[str, str]:
    """Writes the three files into directory and returns their paths by version."""
    os.makedirs(directory, exist_ok=True)
    paths = {}
    for version in VERSIONS:
        path = os.path.join(directory, f"{version}.ipynb")
        with open(path, "w", encoding="utf-8") as f:
            json.dump(getattr(triple, version), f)
        paths[version] = path
    return paths


def git_conflicts(triple: Triple) -> int:
    """How many cells edited by both sides git's file merge reports as conflicting."""
    base, cur, inc = (cells_by_id(d) for d in (triple.base, triple.current, triple.incoming))
    conflicts = 0
    with tempfile.TemporaryDirectory() as tmp:
        names = [os.path.join(tmp, v) for v in ("current", "base", "incoming")]
        for i in triple.edited_current & triple.edited_incoming:
            for path, doc in zip(names, (cur, base, inc)):
                with open(path, "w", encoding="utf-8") as f:
                    f.write("".join(doc[i]["source"]))
            done = subprocess.run(["git", "merge-file", "--stdout", *names], capture_output=True)
            conflicts += 0 < done.returncode < 128  # git counts conflicts in it
    return conflicts


def describe(triple: Triple, paths: Dict[str, str]) -> str:
    counts = ", ".join(f"{v} {len(getattr(triple, v)['cells'])}" for v in VERSIONS)
    sizes = ", ".join(f"{v} {os.path.getsize(p) / 1e6:.2f} MB" for v, p in paths.items())
    both = triple.edited_current & triple.edited_incoming
    return (f"{triple.name}: cells {counts}; files {sizes}; source edits current "
            f"{len(triple.edited_current)}, incoming {len(triple.edited_incoming)}, both "
            f"{len(both)}, git conflicts among both {git_conflicts(triple)}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workload", choices=WORKLOADS + ("all",), default="all")
    parser.add_argument("--dir", default=os.path.join(tempfile.gettempdir(), "merge_workloads"))
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    for name in WORKLOADS if args.workload == "all" else (args.workload,):
        triple = build(name, args.seed)
        print(describe(triple, write(triple, os.path.join(args.dir, name))))


if __name__ == "__main__":
    main()
