"""Inference of a frame's meta from its values."""

import math
from typing import TYPE_CHECKING

import numpy as np
import pandas as pd
from pandas.api.types import infer_dtype, is_integer_dtype, is_numeric_dtype

from ..config import MetaFactoryConfig
from .base import ValueMeta
from .value import Categorical, DateTime, Float, Integer, String
from .value.datetime import get_date_format, parse_dates

ZERO_PADDED = r"[+-]?0\d+"

if TYPE_CHECKING:
    from .frame_schema import DataFrameMeta


class MetaExtractor:
    """Chooses each column's meta from its dtype and values, and extracts a frame's meta."""

    @classmethod
    def extract(cls, df: pd.DataFrame, config: MetaFactoryConfig | None = None) -> "DataFrameMeta":
        """The extracted meta of a frame, named "df", with one child per column.

        Parameters
        ----------
        df : pd.DataFrame
            The frame; its column names must be unique.
        config : MetaFactoryConfig, optional
            How columns are told apart (defaults when None).

        Returns
        -------
        DataFrameMeta
            One child meta per column, in column order, extracted from the frame's values.
        """
        # Imported here: the compiled frame meta itself imports this package's base module.
        from . import DataFrameMeta

        if not df.columns.is_unique:
            repeated = sorted(map(str, df.columns[df.columns.duplicated()].unique()))
            raise ValueError(
                f"MetaExtractor.extract: the frame has more than one column named {repeated}; "
                "give every column a name of its own."
            )
        config = config or MetaFactoryConfig()
        children = [cls.create_meta(df[column], config) for column in df.columns]
        meta = DataFrameMeta(name="df", children=children)
        meta.extract(df)
        return meta

    @classmethod
    def create_meta(cls, sr: pd.Series, config: MetaFactoryConfig | None = None) -> ValueMeta:
        """An unextracted meta of the kind the series' dtype and values call for.

        Parameters
        ----------
        sr : pd.Series
            The column; its name names the meta.
        config : MetaFactoryConfig, optional
            How columns are told apart (defaults when None).

        Returns
        -------
        ValueMeta
            A meta of the column's kind (see `velora.kinds`), not yet extracted.
        """
        # Imported here: the kinds import the value models, which import this package.
        from velora import kinds

        config = config or MetaFactoryConfig()
        decided = kinds.meta_of_dtype(sr)
        if decided is not None:
            return decided
        if is_numeric_dtype(sr.dtype):
            return _numeric_meta(sr, len(sr), config, few_unique=Categorical)
        return _text_meta(sr, config)


def has_zero_padded_codes(sr: pd.Series) -> bool:
    """Whether text holds whole numbers written with leading zeros ("00037"): codes, which
    read as numbers would lose their zeros."""
    return bool(sr.astype(str).str.fullmatch(ZERO_PADDED).any())


def _text_meta(sr: pd.Series, config: MetaFactoryConfig) -> ValueMeta:
    present = sr.dropna()
    if present.empty:
        return Categorical(sr.name)
    least_parsed = (1 - config.parsing_nan_fraction_threshold) * len(present)
    date_format = get_date_format(present)
    if date_format and parse_dates(present, date_format).notna().sum() >= least_parsed:
        return DateTime(sr.name, date_format=date_format)
    numbers = pd.to_numeric(present, errors="coerce").dropna()
    if len(numbers) >= least_parsed and not has_zero_padded_codes(present):
        return _numeric_meta(numbers, len(sr), config, few_unique=String)
    if infer_dtype(present, skipna=True) == "string":
        return String(sr.name)
    return Categorical(sr.name)


def _numeric_meta(
    numbers: pd.Series, num_rows: int, config: MetaFactoryConfig, few_unique: type[ValueMeta]
) -> ValueMeta:
    """Integer for whole numbers (floats too: a missing value makes an int column float),
    else Float; `few_unique` where the distinct values are few for `num_rows`."""
    log_threshold = config.categorical_threshold_log_multiplier * math.log(num_rows or 1)
    if numbers.nunique() <= max(config.min_num_unique, log_threshold):
        return few_unique(numbers.name)
    return Integer(numbers.name) if _whole_numbers(numbers) else Float(numbers.name)


def _whole_numbers(numbers: pd.Series) -> bool:
    if is_integer_dtype(numbers.dtype):
        return True
    present = numbers.dropna().to_numpy(dtype=float)
    return bool(present.size) and bool(np.isfinite(present).all() and (present % 1 == 0).all())
