import pytest

from notebooks import Merger


@pytest.fixture
def merge(tmp_path):
    return Merger(tmp_path)


@pytest.fixture
def fixed_uuids(monkeypatch):
    """uuid.uuid4 patched to count up, so duplicates get predictable ids."""
    import uuid

    from vornik_git.drivers import nbweave

    counter = iter(range(1, 10_000))
    monkeypatch.setattr(nbweave.uuid, "uuid4", lambda: uuid.UUID(int=next(counter), version=4))
    return counter
