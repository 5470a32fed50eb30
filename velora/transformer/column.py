"""The encoders of single columns that the column kinds build their frame transformers from."""

import numpy as np
import pandas as pd

from velora.config import MetaTransformerConfig, QuantileTransformerConfig
from velora.transformer.base import SequentialTransformer, Transformer
from velora.transformer.child.date import DateTransformer
from velora.transformer.child.quantile import QuantileTransformer
from velora.transformer.child.standard_scaler import StandardScaler


def fitted_of(attribute: str) -> property:
    """A `_fitted` that reads and writes the one of the transformer held in `attribute`."""
    return property(
        lambda self: getattr(self, attribute)._fitted,
        lambda self, fitted: setattr(getattr(self, attribute), "_fitted", fitted),
    )


class TimeDeltaToSecondsTransformer(Transformer):
    """Durations as float seconds (NaT as NaN), and back to the column's duration dtype.

    Durations come back rounded to the dtype's unit, but no finer than microseconds, which
    absorbs the float error of scaling.
    """

    def __init__(self, name: str):
        super().__init__(name)
        self.dtype = np.dtype("m8[ns]")

    def fit(self, df: pd.DataFrame, **kwargs) -> "TimeDeltaToSecondsTransformer":
        if df[self.name].dtype.kind == "m":
            self.dtype = df[self.name].dtype
        return super().fit(df)

    def transform(self, df: pd.DataFrame, **kwargs) -> pd.DataFrame:
        self._assert_fitted()
        df[self.name] = pd.to_timedelta(df[self.name], errors="coerce").dt.total_seconds()
        return df

    def inverse_transform(self, df: pd.DataFrame, **kwargs) -> pd.DataFrame:
        self._assert_fitted()
        durations = pd.to_timedelta(df[self.name].astype(np.float64), unit="s")
        unit, _ = np.datetime_data(self.dtype)
        df[self.name] = durations.dt.round("us" if unit == "ns" else unit).astype(self.dtype)
        return df


class DateColumnTransformer(Transformer):
    """A date column through the date module's `DateTransformer`, decoded in its own dtype.

    Decoding rounds to the finest unit the column's date format shows before formatting:
    the day numbers come back a few microseconds off, which would otherwise print a
    midnight date as the day before. A datetime64 column comes back as datetime64, a text
    column as text in its format.
    """

    def __init__(self, date_transformer: DateTransformer):
        super().__init__(date_transformer.name)
        self.date_transformer = date_transformer
        self.dtype = None

    _fitted = fitted_of("date_transformer")

    @property
    def out_columns(self) -> list[str]:
        return self.date_transformer.out_columns

    def fit(self, df: pd.DataFrame, **kwargs) -> "DateColumnTransformer":
        self.dtype = df[self.name].dtype
        self.date_transformer.fit(df)
        return self

    def transform(self, df: pd.DataFrame, **kwargs) -> pd.DataFrame:
        return self.date_transformer.transform(df)

    def inverse_transform(self, df: pd.DataFrame, **kwargs) -> pd.DataFrame:
        # The chain's own inverse, without DateTransformer's formatting step.
        df = SequentialTransformer.inverse_transform(self.date_transformer, df)
        date_format = self.date_transformer[0].date_format
        dates = pd.to_datetime(df[self.name]).dt.round(finest_unit(date_format))
        if self.dtype is not None and self.dtype.kind == "M":
            df[self.name] = dates.astype(self.dtype)
        elif date_format is not None:
            df[self.name] = dates.dt.strftime(date_format)
        else:
            df[self.name] = dates
        return df


def finest_unit(date_format: str | None) -> str:
    """The pandas unit of the finest field a strftime format shows."""
    for directive, unit in (("%f", "us"), ("%S", "s"), ("%M", "min"), ("%H", "h")):
        if date_format is None or directive in date_format:
            return unit
    return "D"


class WholeNumberTransformer(Transformer):
    """Decodes a column of whole numbers as whole numbers within the range it was fitted on.

    Encoding passes the numbers through; decoding rounds to the nearest whole number and
    clips to the fitted minimum and maximum. Put before a scaler, it turns the scaler's
    continuous distribution into one over whole numbers: each number gets the probability
    mass that rounds to it.
    """

    def __init__(self, name: str):
        super().__init__(name)
        self.min = self.max = None

    def fit(self, df: pd.DataFrame, **kwargs) -> "WholeNumberTransformer":
        present = pd.to_numeric(df[self.name], errors="coerce").dropna()
        if not present.empty:
            self.min, self.max = float(present.min()), float(present.max())
        return super().fit(df)

    def inverse_transform(self, df: pd.DataFrame, **kwargs) -> pd.DataFrame:
        self._assert_fitted()
        values = np.round(df[self.name].to_numpy(dtype=np.float64, na_value=np.nan))
        if self.min is not None:
            values = np.clip(values, self.min, self.max)
        df[self.name] = values
        return df


def scaler(name: str, config: MetaTransformerConfig) -> Transformer:
    """The scaler of a numeric column: quantiles or standardisation, as `config` says."""
    if config.quantile:
        return QuantileTransformer(
            name=name,
            config=QuantileTransformerConfig(
                n_quantiles=config.n_quantiles,
                max_levels=config.max_levels,
                spread_ties=config.spread_ties,
            ),
        )
    return StandardScaler(name=name)
