import numpy as np
import pandas as pd
import pytest

from velora.config import StandardScalerConfig
from velora.transformer.child.standard_scaler import StandardScaler

VALUES = [2.0, 4.0, np.nan, 6.0]


@pytest.mark.parametrize(
    "with_mean, with_std, expected_mean, expected_std",
    [(True, True, 0.0, 1.0), (False, True, 2.449, 1.0), (True, False, 0.0, 1.633)],
)
def test_scaled_moments(with_mean, with_std, expected_mean, expected_std):
    scaler = StandardScaler("x", StandardScalerConfig(with_mean=with_mean, with_std=with_std))
    out = scaler.fit_transform(pd.DataFrame({"x": VALUES}))["x"]
    assert out.isna().tolist() == [False, False, True, False]
    assert out.mean() == pytest.approx(expected_mean, abs=1e-3)
    assert out.std(ddof=0) == pytest.approx(expected_std, abs=1e-3)


def test_constant_column_maps_to_zero_and_back():
    scaler = StandardScaler("x")
    out = scaler.fit_transform(pd.DataFrame({"x": [7, 7, 7]}))
    assert (scaler.std, out["x"].tolist()) == (1.0, [0.0, 0.0, 0.0])
    assert scaler.inverse_transform(out)["x"].tolist() == [7, 7, 7]
