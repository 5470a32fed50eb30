"""The precision numbers are written at: decimals and coarser grids, read off real columns."""

import numpy as np
import pandas as pd
import pytest

from velora.tables.precision import NumberGrid


@pytest.mark.parametrize(
    "values, grid",
    [
        ([9.14, 3.57, 2.0, 0.01], NumberGrid(2, 0.01)),
        ([10, 25, 35, np.nan], NumberGrid(0, 5.0)),  # knots in steps of 5
        ([28.0, 28.5, -80.5], NumberGrid(1, 0.5)),
        ([0.1, 0.2, 0.3], NumberGrid(1, 0.1)),  # float64's 0.30000000000000004 is still 0.3
        ([1.0, 2.0, 4.0], NumberGrid(0, 1.0)),
        ([0.0, 0.0], NumberGrid(0, 1.0)),
        ([np.pi, 1.0], None),  # finer than any written decimal
        ([1e20, 1.0], None),  # beyond float64's exact integers
        ([np.nan], None),
    ],
)
def test_grid_is_the_columns_decimals_or_its_coarser_step(values, grid):
    assert NumberGrid.of(pd.Series(values)) == grid


@pytest.mark.parametrize(
    "grid, drawn, written",
    [
        (NumberGrid(2, 0.01), [9.135961828368808, -0.004, np.nan], [9.14, 0.0, np.nan]),
        (NumberGrid(0, 5.0), [12.4, 13.0, 97.4], [10.0, 15.0, 95.0]),
        (NumberGrid(1, 0.1), [0.30000000001, 1.04999], [0.3, 1.0]),
    ],
)
def test_drawn_numbers_are_written_on_the_grid(grid, drawn, written):
    on_grid = grid.apply(pd.Series(drawn, dtype="float32"))
    assert on_grid.dtype == np.float32
    np.testing.assert_array_equal(on_grid, np.float32(written))
    assert not np.signbit(on_grid.dropna()).any()  # no "-0.0" in a written table


def test_whole_numbers_stay_whole_numbers():
    assert NumberGrid(0, 5.0).apply(pd.Series([12, 13], dtype="int64")).tolist() == [10, 15]
    assert NumberGrid.from_plain(NumberGrid(2, 0.5).to_plain()) == NumberGrid(2, 0.5)
