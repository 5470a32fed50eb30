import os
from typing import Any, Iterator, List, Optional, Sequence, Tuple

import pandas as pd

from ..common.rules import Association, Expression
from ..config import DeepStateConfig
from ..model import DataFrameModel
from .latent_dynamics import DeepStateSpaceModel

class EventSynthesizer(DeepStateSpaceModel):
    columns: pd.Index
    def __init__(
        self,
        df: pd.DataFrame,
        id_idx: str,
        time_idx: str,
        event_cols: List[str],
        const_cols: List[str] = ...,
        exog_cols: List[str] = ...,
        sample_cols: List[str] = ...,
        config: Optional[DeepStateConfig] = None,
    ) -> None: ...
    def preprocess_df(
        self, df: pd.DataFrame, max_time_steps: Optional[int] = None, chunk: bool = False
    ) -> pd.DataFrame: ...
    def _split_df_model(
        self, df_model: DataFrameModel
    ) -> Tuple[DataFrameModel, DataFrameModel, DataFrameModel, DataFrameModel]: ...
    def synthesize(
        self,
        n: int,
        produce_nans: bool = True,
        id: Optional[Any] = None,
        df_const: Optional[pd.DataFrame] = None,
        df_time_series: Optional[pd.DataFrame] = None,
        df_exogenous: Optional[pd.DataFrame] = None,
        association_rules: Optional[List[Association]] = None,
        expression_rules: Optional[List[Expression]] = None,
        df_overwrite: Optional[pd.DataFrame] = None,
    ) -> pd.DataFrame: ...
    def sample(
        self,
        count: int,
        *,
        seed: Optional[int] = None,
        df_const: Optional[pd.DataFrame] = None,
        lengths: Optional[Sequence[int]] = None,
        df_exogenous: Optional[Sequence[pd.DataFrame]] = None,
        association_rules: Optional[List[Association]] = None,
        expression_rules: Optional[List[Expression]] = None,
        produce_nans: bool = True,
        chunk_size: int = 1024,
        shard: Optional[Tuple[int, int]] = None,
        progress: bool = False,
    ) -> pd.DataFrame: ...
    def sample_chunks(
        self,
        count: int,
        *,
        seed: Optional[int] = None,
        df_const: Optional[pd.DataFrame] = None,
        lengths: Optional[Sequence[int]] = None,
        df_exogenous: Optional[Sequence[pd.DataFrame]] = None,
        association_rules: Optional[List[Association]] = None,
        expression_rules: Optional[List[Expression]] = None,
        produce_nans: bool = True,
        chunk_size: int = 1024,
        shard: Optional[Tuple[int, int]] = None,
    ) -> Iterator[pd.DataFrame]: ...
    def save(self, path: str | os.PathLike) -> None: ...
    @classmethod
    def load(cls, path: str | os.PathLike) -> EventSynthesizer: ...
