import numpy as np
import pandas as pd
import pytest

pytest.importorskip("velora.metadata.frame_schema")

from velora.config import MetaFactoryConfig  # noqa: E402
from velora.metadata import DataFrameMeta  # noqa: E402
from velora.metadata.factory import MetaExtractor  # noqa: E402
from velora.metadata.value import Bool, Categorical, DateTime, Float, Integer, String  # noqa: E402

ROWS = 200
rng = np.random.default_rng(0)
days = pd.Series(pd.date_range("2020-01-01", periods=ROWS).strftime("%d/%m/%Y"))
MIXED = pd.DataFrame(
    {
        "ints": rng.integers(0, 10_000, ROWS),
        "few_ints": rng.integers(0, 5, ROWS),
        "floats": rng.normal(size=ROWS),
        "bools": rng.random(ROWS) > 0.5,
        "colors": pd.Categorical(rng.choice(["red", "blue"], ROWS)),
        "names": [f"name{i}" for i in range(ROWS)],
        "day_first": days.where(rng.random(ROWS) > 0.1),
        "iso": pd.date_range("2020-01-01", periods=ROWS, freq="37min").strftime("%Y-%m-%dT%H:%M"),
        "stamps": pd.date_range("2021-05-01", periods=ROWS, freq="h"),
        "numeric_text": [str(i * 7) for i in range(ROWS)],
        "missing": [None] * ROWS,
        "constant": [3.5] * ROWS,
    }
)
EXPECTED = {
    "ints": (Integer, None),
    "few_ints": (Categorical, None),
    "floats": (Float, None),
    "bools": (Bool, None),
    "colors": (Categorical, None),
    "names": (String, None),
    "day_first": (DateTime, "%d/%m/%Y"),
    "iso": (DateTime, "%Y-%m-%dT%H:%M"),
    "stamps": (DateTime, "%Y-%m-%d %H:%M:%S"),
    "numeric_text": (Integer, None),
    "missing": (Categorical, None),
    "constant": (Categorical, None),
}


def test_extract_gives_each_column_its_kind_of_meta():
    meta = MetaExtractor.extract(MIXED)
    assert isinstance(meta, DataFrameMeta) and (meta.name, meta.num_rows) == ("df", ROWS)
    found = {
        name: (type(child), getattr(child, "date_format", None)) for name, child in meta.items()
    }
    assert found == EXPECTED
    assert all(child.count + child.num_missing == ROWS for child in meta.children)
    assert meta["day_first"].min == np.datetime64("2020-01-01")
    rebuilt = DataFrameMeta.from_dict(meta.to_dict())
    assert [child.to_dict() for child in rebuilt.children] == [c.to_dict() for c in meta.children]


@pytest.mark.parametrize(
    ("values", "config", "meta_class"),
    [
        (np.arange(1000) % 17, MetaFactoryConfig(), Categorical),  # 17 <= 2.5 log(1000)
        (np.arange(1000) % 18, MetaFactoryConfig(), Integer),
        (np.arange(1000) % 18 / 2, MetaFactoryConfig(), Float),
        (np.arange(1000) % 18, MetaFactoryConfig(min_num_unique=18), Categorical),
        (np.arange(1000) % 11, MetaFactoryConfig(categorical_threshold_log_multiplier=0), Integer),
        (["13/01/2020"] * 7 + ["soon", "later", "never"], MetaFactoryConfig(), String),
        (
            ["13/01/2020"] * 7 + ["soon", "later", "never"],
            MetaFactoryConfig(parsing_nan_fraction_threshold=0.35),
            DateTime,
        ),
        ([f"{i / 4}" for i in range(100)], MetaFactoryConfig(), Float),
        ([1, "a", 2.5, None], MetaFactoryConfig(), Categorical),
    ],
)
def test_create_meta_follows_config(values, config, meta_class):
    assert type(MetaExtractor.create_meta(pd.Series(values, name="x"), config)) is meta_class
