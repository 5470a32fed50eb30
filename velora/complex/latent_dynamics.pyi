from abc import ABC, abstractmethod
from collections import OrderedDict
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np
import pandas as pd
import tensorflow as tf

from ..common.rules import Association, Expression
from ..common.transformations import DenseTransformation, GaussianEncoder, ResnetTransformation
from ..common.values import DataFrameValue
from ..config import DeepStateConfig
from ..metadata import DataFrameMeta
from ..model import DataFrameModel
from ..streaming import ParquetEvents
from ..transformer import DataFrameTransformer

class DeepStateSpaceModel(tf.keras.Model, ABC):
    config: DeepStateConfig
    sample_cols: List[str]
    clusters: Dict[str, Cluster]
    capacity: int
    dropout_rate: float
    latent_size: int
    l2: tf.keras.regularizers.Regularizer
    id_idx: str
    time_idx: str
    const_cols: List[str]
    event_cols: List[str]
    exog_cols: List[str]
    df_meta: DataFrameMeta
    df_model: DataFrameModel
    bs: int
    max_time_steps: int
    df_model_id: DataFrameModel
    df_model_const: DataFrameModel
    df_model_time_series: DataFrameModel
    df_model_exog: DataFrameModel
    df_value_id: DataFrameValue
    df_value_const: DataFrameValue
    df_value_time_series: DataFrameValue
    df_value_exog: DataFrameValue
    df_transformer_id: DataFrameTransformer
    df_transformer_const: DataFrameTransformer
    df_transformer_time_series: DataFrameTransformer
    df_transformer_exog: DataFrameTransformer
    df_transformer: DataFrameTransformer
    initial_network: DenseTransformation
    initial_network2: DenseTransformation
    id_encoder: GaussianEncoder
    id_emission: ResnetTransformation
    id_linear: DenseTransformation
    emission_network: GaussianEncoder
    transition_rnn: tf.keras.layers.LSTM
    transition_network: GaussianEncoder
    inference_rnn: tf.keras.layers.Bidirectional
    inference_network: GaussianEncoder
    built: bool
    optimizer: tf.keras.optimizers.Optimizer
    def __init__(
        self,
        df: pd.DataFrame,
        id_idx: str,
        time_idx: str,
        event_cols: List[str],
        const_cols: List[str],
        exog_cols: List[str],
        sample_cols: List[str],
        config: Optional[DeepStateConfig] = None,
    ) -> None: ...
    @abstractmethod
    def preprocess_df(
        self, df: pd.DataFrame, max_time_steps: Optional[int] = None
    ) -> pd.DataFrame: ...
    @abstractmethod
    def _split_df_model(
        self, df_model: DataFrameModel
    ) -> Tuple[DataFrameModel, DataFrameModel, DataFrameModel, DataFrameModel]: ...
    def build(self, input_shape: Sequence[Optional[int]]) -> None: ...
    def get_initial_state(self, input_dict: Dict[str, tf.Tensor]) -> List[tf.Tensor]: ...
    def sample_id(self, bs: int = 1) -> tf.Tensor: ...
    def loss_func(self, input_dict: Dict[str, tf.Tensor]) -> OrderedDict[str, tf.Tensor]: ...
    def transition_loop(
        self,
        n: int,
        z_id: tf.Tensor,
        x_exog: Optional[tf.Tensor] = None,
        x_time_series: Optional[tf.Tensor] = None,
        association_rules: Optional[List[Association]] = None,
        x_overwrite: Optional[tf.Tensor] = None,
        mask: Optional[tf.Tensor] = None,
    ) -> Tuple[tf.Tensor, tf.Tensor]: ...
    def sample_steps(
        self,
        n: int,
        z_id: tf.Tensor,
        keys: np.ndarray,
        x_exog: Optional[tf.Tensor] = None,
        association_rules: Optional[List[Association]] = None,
    ) -> Tuple[tf.Tensor, tf.Tensor]: ...
    @classmethod
    def _restore(
        cls, kept: Dict[str, Any], fitted_transformers: Dict[str, DataFrameTransformer]
    ) -> DeepStateSpaceModel: ...
    def train_step(self, data: Dict[str, tf.Tensor]) -> Dict[str, tf.Tensor]: ...
    def learn(
        self,
        df: pd.DataFrame | ParquetEvents,
        epochs: int = 10,
        steps_per_epoch: int = 1000,
        strategy: Optional[tf.distribute.Strategy] = None,
    ) -> tf.keras.callbacks.History: ...
    @abstractmethod
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
    ) -> pd.DataFrame: ...
    @staticmethod
    def diagonal_normal_kl_divergence(
        mu_1: tf.Tensor | float,
        stddev_1: tf.Tensor | float,
        mu_2: tf.Tensor | float,
        stddev_2: tf.Tensor | float,
    ) -> tf.Tensor: ...
    def get_trainable_variables(self) -> List[tf.Variable]: ...
    @property
    def regularization_losses(self) -> List[tf.Tensor]: ...

class Cluster:
    idx: Any
    features: List[Any]
    codes: int
    book: Optional[np.ndarray]
    custmap: Dict[Any, int]
    catmap: Optional[Dict[int, List[Any]]]
    _fitted: bool
    def __init__(self, idx: Any, features: Sequence[Any], codes: int = 50) -> None: ...
    def fit(self, df: pd.DataFrame) -> Cluster: ...
    def transform(self, df: pd.DataFrame) -> pd.DataFrame: ...
    def sample(self, x: Any, seed: Optional[Any] = None) -> Any: ...
