"""Real notebooks written outside this project must read and write exactly as json does."""

import json
import pathlib

import pytest

from vornik_git import _native

CORPUS = pathlib.Path(__file__).resolve().parents[2] / "shared" / "corpus"
NOTEBOOKS = sorted(CORPUS.glob("**/*.ipynb"))

pytestmark = pytest.mark.skipif(not NOTEBOOKS, reason="no notebook corpus beside the checkout")


@pytest.mark.parametrize("path", NOTEBOOKS, ids=lambda p: p.name)
def test_corpus_round_trip(path, tmp_path):
    with open(path, encoding="utf-8") as f:
        expected = json.load(f)
    document = _native.load(str(path))
    assert document == expected
    assert list(document) == list(expected)
    assert _native.dumps(document) == json.dumps(expected)

    target = tmp_path / "out.ipynb"
    target.write_text("old", encoding="utf-8")
    _native.dump(document, str(target))
    assert target.read_bytes() == json.dumps(expected).encode("ascii")
