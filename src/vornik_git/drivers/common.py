"""The cell wrapper shared by the merge and diff drivers."""

from typing import Any, Dict, List, Optional


def _split_lines(text: str) -> List[str]:
    # A source stored as one string reads as the list form would hold it: one text per line,
    # each keeping its line end.
    lines = text.split("\n")
    result = [line + "\n" for line in lines[:-1]]
    if lines[-1]:
        result.append(lines[-1])
    return result


class Cell:
    """One cell of a notebook document, read and written in place.

    Every member reads from and writes into the very dict given, so that a change made
    through any wrapper of a cell reaches every document assembled from it.
    """

    def __init__(self, cell: Dict[str, Any]) -> None:
        self._data = cell

    @property
    def data(self) -> Dict[str, Any]:
        return self._data

    @property
    def _canvas(self) -> Dict[str, Any]:
        return self._data["metadata"]["canvas"]

    @property
    def name(self) -> Any:
        name = self._canvas.get("name")
        return "" if name is None else name

    @name.setter
    def name(self, value: str) -> None:
        self._canvas["name"] = value

    @property
    def cell_id(self) -> Any:
        return self._canvas["id"]

    @cell_id.setter
    def cell_id(self, value: str) -> None:
        self._canvas["id"] = value

    @property
    def link_id(self) -> Optional[str]:
        return self._canvas.get("link_id")

    @link_id.setter
    def link_id(self, value: str) -> None:
        self._canvas["link_id"] = value

    @property
    def parents(self) -> List[Dict[str, Any]]:
        parents = self._canvas.get("parents")
        return [] if parents is None else parents

    @parents.setter
    def parents(self, value: List[Dict[str, Any]]) -> None:
        self._canvas["parents"] = value

    @property
    def comments(self) -> List[Any]:
        comments = self._canvas.get("comments")
        return [] if comments is None else comments

    def add_comment(self, comment: Any) -> None:
        canvas = self._canvas
        if canvas.get("comments") is None:
            canvas["comments"] = []
        canvas["comments"].append(comment)

    @property
    def source(self) -> List[str]:
        source = self._data.get("source")
        if source is None:
            return []
        if isinstance(source, str):
            return _split_lines(source)
        return source

    @source.setter
    def source(self, value: List[str]) -> None:
        self._data["source"] = value
