import json as json
import logging as logging
import os as os
import tempfile as tempfile
import uuid as uuid
from typing import Any, Dict, Final, List, Optional

import git

from .common import Cell as Cell

def _merge_source(
    g: git.cmd.Git,
    current: List[str],
    base: List[str],
    incoming: List[str],
    current_name: Optional[str] = None,
    incoming_name: Optional[str] = None,
) -> List[str]: ...

class MergeCell(Cell):
    BASE: Final = "base"
    CURRENT: Final = "current"
    INCOMING: Final = "incoming"
    _file_type: str
    def __init__(self, cell: Dict[str, Any], file_type: str) -> None: ...
    @property
    def file_type(self) -> str: ...
    def add_conflict_mark(self) -> None: ...

def _cell_changed(cell0: Cell, cell1: Cell) -> Dict[str, Any]: ...
def merge_files(
    base_file_path: str, current_file_path: str, incoming_file_path: str, file_path: str
) -> None: ...
