"""Metadata: descriptions of columns (value metas) and of whole frames (`DataFrameMeta`)."""

from .frame_schema import DataFrameMeta

__all__ = ["DataFrameMeta"]
