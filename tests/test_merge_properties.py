"""Generated notebook triples: whatever the two sides did, the merge loses no cell or
parameter that its rules keep, writes a valid document, and is deterministic."""

import copy
import json
import uuid

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from notebooks import Merger, make_cell, make_notebook
from vornik_git.drivers import nbweave

NAMES = ["", "load", "clean", "train"]
LINES = ["a = 1\n", "b = 2\n", "c = 3\n", "print(a)\n", "é = '🚀'\n"]

sources = st.lists(st.sampled_from(LINES), max_size=4)
parameter = st.fixed_dictionaries({"name": st.sampled_from("pqrs"), "type": st.just("int"),
                                   "value": st.sampled_from(["1", "2", None])})

EDITS = ["keep", "keep", "remove", "source", "rename", "colour", "comment", "outputs",
         "count", "other", "parents"]


def edit(rng_choice, cell, draw):
    canvas = cell["metadata"]["canvas"]
    if rng_choice == "source":
        cell["source"] = draw(sources)
    elif rng_choice == "rename":
        canvas["name"] = draw(st.sampled_from(NAMES))
    elif rng_choice == "colour":
        canvas["headerColor"] = draw(st.sampled_from(["#000", "#fff"]))
    elif rng_choice == "comment":
        canvas.setdefault("comments", []).append({"text": draw(st.sampled_from("xyz"))})
    elif rng_choice == "outputs":
        cell["outputs"] = [{"output_type": "stream", "text": draw(st.sampled_from("xy"))}]
    elif rng_choice == "count":
        cell["execution_count"] = draw(st.integers(1, 9))
    elif rng_choice == "other":
        canvas["k"] = draw(st.integers(0, 2))
    elif rng_choice == "parents":
        canvas["parents"] = [{"id": draw(st.sampled_from(["c0", "c1", "n0"])), "name": "x"}]


@st.composite
def side(draw, base, prefix):
    document = copy.deepcopy(base)
    cells = []
    for cell in document["cells"]:
        choice = draw(st.sampled_from(EDITS))
        if choice == "remove":
            continue
        edit(choice, cell, draw)
        if draw(st.booleans()):
            edit(draw(st.sampled_from(EDITS[3:])), cell, draw)
        cells.append(cell)
    for index in range(draw(st.integers(0, 2))):
        position = draw(st.integers(0, len(cells)))
        cells.insert(position, make_cell(f"{prefix}{index}", draw(st.sampled_from(NAMES)),
                                         draw(sources), parents=["c0"]))
    document["cells"] = cells
    parameters = document["metadata"]["canvas"]["parameters"]
    if draw(st.booleans()):
        parameters = draw(st.lists(parameter, max_size=4))
    document["metadata"]["canvas"]["parameters"] = parameters
    return document


@st.composite
def triples(draw):
    cells = [make_cell(f"c{i}", draw(st.sampled_from(NAMES)), draw(sources),
                       parents=[f"c{j}" for j in range(i) if draw(st.booleans())])
             for i in range(draw(st.integers(0, 6)))]
    base = make_notebook(cells, draw(st.lists(parameter, max_size=4)))
    return base, draw(side(base, "cur")), draw(side(base, "inc"))


def comparable(cell, outputs):
    cell = copy.deepcopy(cell)
    cell.pop("execution_count", None)
    if not outputs:
        cell.pop("outputs", None)
    for link in cell["metadata"]["canvas"].get("parents") or []:
        link.pop("name", None)
    return cell


def by_id(document):
    return {cell["metadata"]["canvas"]["id"]: cell for cell in document["cells"]}


def by_name(document):
    return {p["name"]: p for p in document["metadata"]["canvas"]["parameters"]}


def expected_ids(base, current, incoming):
    """The ids the merge must keep, and those it may keep besides: a cell that current left
    alone and incoming removed goes, unless a cell of incoming's takes its name first; then the
    conflict mark makes it a cell that current changed, and it stays."""
    b, c, i = by_id(base), by_id(current), by_id(incoming)
    added_names = {cell["metadata"]["canvas"]["name"] for cell in i.values()}
    required, optional = set(), set()
    for cell_id in c:
        if (cell_id in b and cell_id not in i
                and comparable(b[cell_id], False) == comparable(c[cell_id], False)):
            if c[cell_id]["metadata"]["canvas"]["name"] in added_names - {""}:
                optional.add(cell_id)
        else:
            required.add(cell_id)
    required |= {cell_id for cell_id in i
                 if not (cell_id in b and cell_id not in c
                         and comparable(b[cell_id], True) == comparable(i[cell_id], True))}
    return required, optional


@settings(max_examples=100, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(triple=triples())
def test_merge_invariants(triple, tmp_path_factory, monkeypatch):
    base, current, incoming = triple
    counter = iter(range(1, 1000))
    monkeypatch.setattr(nbweave.uuid, "uuid4", lambda: uuid.UUID(int=next(counter), version=4))
    merge = Merger(tmp_path_factory.mktemp("merge"))
    merged = merge(copy.deepcopy(base), copy.deepcopy(current), copy.deepcopy(incoming))

    originals = [cell for cell in merged["cells"] if "link_id" not in cell["metadata"]["canvas"]]
    ids = [cell["metadata"]["canvas"]["id"] for cell in originals]
    assert len(ids) == len(set(ids))
    required, optional = expected_ids(base, current, incoming)
    assert required <= set(ids) <= required | optional
    # a duplicate of incoming's cell stands right after the cell of the same origin
    for index, cell in enumerate(merged["cells"]):
        if "link_id" in cell["metadata"]["canvas"]:
            previous = merged["cells"][index - 1]["metadata"]["canvas"]["id"]
            assert previous in by_id(current) and previous in by_id(incoming)

    names = {p["name"] for p in merged["metadata"]["canvas"]["parameters"]}
    b, c, i = by_name(base), by_name(current), by_name(incoming)
    for name in set(c) | set(i):
        removed = name in b and ((name not in c and (name not in i or i[name] == b[name]))
                                 or (name not in i and c[name] == b[name]))
        variants = {name, "<<< " + name, ">>> " + name}
        assert removed or names & variants, name
    assert names <= {prefix + n for n in set(b) | set(c) | set(i) for prefix in ("", "<<< ", ">>> ")}

    # the same inputs give the same bytes
    counter = iter(range(1, 1000))
    again = Merger(tmp_path_factory.mktemp("again"))(base, current, incoming)
    assert json.dumps(again) == json.dumps(merged)
