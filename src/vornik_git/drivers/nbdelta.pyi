import difflib as difflib
from typing import Any, Dict, Final, List

from .common import Cell as Cell

class DiffCell(Cell):
    UNCHANGED: Final = "unchanged"
    ADDED: Final = "added"
    REMOVED: Final = "removed"
    MODIFIED: Final = "modified"
    def __init__(self, cell: Dict[str, Any]) -> None: ...
    status: str
    prev_source: List[str]
    removed_parents: List[Dict[str, str]]
    added_parents: List[Dict[str, str]]

def _cell_modified(cell: DiffCell) -> bool: ...

class DiffParameter:
    UNCHANGED: Final = "unchanged"
    ADDED: Final = "added"
    REMOVED: Final = "removed"
    MODIFIED: Final = "modified"
    def __init__(self, data: Dict[str, str]) -> None: ...
    @property
    def data(self) -> Dict[str, str]: ...
    status: str
    @property
    def name(self) -> str: ...
    @property
    def type(self) -> str: ...
    @property
    def value(self) -> str: ...
    prev_type: str
    prev_value: str

def diff_dicts(prev: Dict[str, Any], current: Dict[str, Any]) -> Dict[str, Any]: ...
