"""The notebook merge and diff drivers."""

from .nbweave import merge_files

__all__ = ["merge_files"]
