from typing import Any, List, Optional, Type, TypeVar

import numpy as np
import pandas as pd

from ...config import DateTransformerConfig
from ...metadata.value.datetime import Affine
from ..base import SequentialTransformer, Transformer

class DateTransformer(SequentialTransformer):
    def __init__(
        self,
        name: Optional[str],
        start_date: Optional[pd.Timestamp] = None,
        config: Optional[DateTransformerConfig] = None,
        business_dates_only: bool = False,
        hours_min: int = 0,
        hours_max: int = 24,
        date_format: Optional[str] = None,
    ): ...
    def inverse_transform(self, df: pd.DataFrame, **kwargs: Any) -> pd.DataFrame: ...
    @classmethod
    def from_meta(
        cls, meta: Affine[np.datetime64], config: Optional[DateTransformerConfig] = None
    ) -> DateTransformer: ...

DateToNumericType = TypeVar("DateToNumericType", bound="DateToNumericTransformer")

class DateToNumericTransformer(Transformer):
    date_format: Optional[str]
    unit: Optional[str]
    start_date: Optional[pd.Timestamp]
    def __init__(
        self,
        name: Optional[str],
        unit: Optional[str] = "days",
        start_date: Optional[pd.Timestamp] = None,
        date_format: Optional[str] = None,
    ): ...
    def __repr__(self) -> str: ...
    def fit(self: DateToNumericType, df: pd.DataFrame) -> DateToNumericType: ...
    def transform(self, df: pd.DataFrame, **kwargs: Any) -> pd.DataFrame: ...
    def inverse_transform(self, df: pd.DataFrame, **kwargs: Any) -> pd.DataFrame: ...
    @classmethod
    def from_meta(
        cls: Type[DateToNumericType], meta: Affine[np.datetime64]
    ) -> DateToNumericType: ...

class BusDateToNumericTransformer(DateToNumericTransformer):
    hours_min: int
    hours_max: int
    def __init__(
        self,
        name: Optional[str],
        unit: Optional[str] = "days",
        start_date: Optional[pd.Timestamp] = None,
        hours_min: int = 0,
        hours_max: int = 24,
        date_format: Optional[str] = None,
    ): ...
    def transform(self, df: pd.DataFrame, **kwargs: Any) -> pd.DataFrame: ...
    def inverse_transform(self, df: pd.DataFrame, **kwargs: Any) -> pd.DataFrame: ...

class DateCategoricalTransformer(Transformer):
    date_format: Optional[str]
    _transformer: SequentialTransformer
    def __init__(self, name: Optional[str], date_format: Optional[str] = None): ...
    def __repr__(self) -> str: ...
    def fit(self, df: pd.DataFrame) -> DateCategoricalTransformer: ...
    def transform(self, df: pd.DataFrame, **kwargs: Any) -> pd.DataFrame: ...
    def inverse_transform(self, df: pd.DataFrame, **kwargs: Any) -> pd.DataFrame: ...
    @classmethod
    def from_meta(cls, meta: Affine[np.datetime64]) -> DateCategoricalTransformer: ...
    def split_datetime(self, col: pd.Series) -> pd.DataFrame: ...
    @property
    def out_columns(self) -> List[str]: ...  # type: ignore[override]
