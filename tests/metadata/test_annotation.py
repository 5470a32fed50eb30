import numpy as np
import pandas as pd
import pytest

from velora.metadata.exceptions import MetaNotExtractedError
from velora.metadata.factory import MetaExtractor
from velora.metadata.value import Compound


def journeys():
    return pd.DataFrame(
        {
            "user": [3, 1, 2],
            "origin": pd.Series(["Leeds", None, "York"], dtype="str"),
            "fare": [2.5, np.nan, 4.0],
            "seats": pd.array([1, None, 2], dtype="Int64"),
            "late": [True, False, True],
            "left": pd.to_datetime(["2020-01-01 08:00", None, "2020-01-02 09:30"]),
        },
        index=pd.Index([10, 20, 30], name="journey"),
    )


def compound(name, child_names):
    children = [MetaExtractor.create_meta(journeys()[child]) for child in child_names]
    return Compound(name, children=children)


@pytest.mark.parametrize(
    ("name", "child_names"),
    [
        ("trip", ["origin", "fare", "seats"]),
        ("all", ["user", "origin", "fare", "seats", "late", "left"]),
        ("origin", ["origin", "fare"]),
        ("when", ["left"]),
    ],
)
@pytest.mark.parametrize("num_rows", [3, 0])
def test_revert_then_convert_restores_frame(name, child_names, num_rows):
    annotation = compound(name, child_names).extract(journeys())
    df = journeys().iloc[:num_rows].copy()
    annotation.revert_df_from_children(df)
    others = [column for column in journeys().columns if column not in child_names]
    assert sorted(df.columns) == sorted([*others, name]) and list(annotation) == child_names
    assert df.columns.get_loc(name) == journeys().columns.get_loc(child_names[0])
    annotation.convert_df_for_children(df)
    pd.testing.assert_frame_equal(df, journeys().iloc[:num_rows])


@pytest.mark.parametrize("method", ["revert_df_from_children", "convert_df_for_children"])
def test_unextracted_children_are_refused(method):
    df = journeys()
    with pytest.raises(MetaNotExtractedError, match="fare"):
        getattr(compound("trip", ["fare"]), method)(df)
    pd.testing.assert_frame_equal(df, journeys())
