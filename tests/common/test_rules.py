import numpy as np
import pandas as pd
import pytest

from velora.common.rules import Association, Expression

CODES = {"city": {"Paris": 0, "Rome": 1, np.nan: 2}, "country": {"FR": 0, "IT": 1}}


def codes_of(column, value):
    return CODES[column][value]


def test_allowed_codes_follow_the_columns_and_combinations():
    rule = Association(["country", "city"], [("FR", "Paris"), ("IT", "Rome"), ("IT", np.nan)])
    codes = rule.allowed_codes(codes_of)
    assert codes.dtype == np.int64
    np.testing.assert_array_equal(codes, [[0, 0], [1, 1], [1, 2]])


@pytest.mark.parametrize(
    "columns, allowed, named",
    [
        (["country", "city"], [("FR", "Paris"), ("ES", "Paris")], "'ES'.*'country'"),
        (["country", "city"], [("FR", "Lyon")], "'Lyon'.*'city'"),
        (["country", "region"], [("FR", "north")], "'region'"),
    ],
)
def test_unknown_value_or_column_is_named(columns, allowed, named):
    with pytest.raises(ValueError, match=named):
        Association(columns, allowed).allowed_codes(codes_of)


@pytest.mark.parametrize(
    "columns, allowed, message",
    [
        (["city"], [("Paris",)], "two columns"),
        (["city", "city"], [("Paris", "Rome")], "distinct"),
        (["city", "country"], [("Paris", "FR"), ("Rome",)], "one value for each"),
        (["city", "country"], [], "no combination"),
    ],
)
def test_invalid_association_is_refused(columns, allowed, message):
    with pytest.raises(ValueError, match=message):
        Association(columns, allowed)


@pytest.mark.parametrize(
    "rule",
    [Association(["a", "b"], [(1, "x"), (2, None)]), Expression("total", "price * quantity")],
)
def test_repr_rebuilds_the_rule(rule):
    rebuilt = eval(repr(rule), {"Association": Association, "Expression": Expression})
    assert vars(rebuilt) == vars(rule)


def frame():
    return pd.DataFrame({"price": [2.0, 4.0], "quantity": [3, 0], "kind": ["a", "b"]})


@pytest.mark.parametrize(
    "column, expression, expected",
    [
        ("total", "price * quantity + 1", [7.0, 1.0]),
        ("price", "price / 2", [1.0, 2.0]),
        ("flag", "(price > 3) | (kind == 'a')", [True, True]),
        ("flag", "quantity > 0 and not kind in ['b']", [True, False]),
        ("root", "sqrt(price) * abs(-quantity)", [np.sqrt(2) * 3, 0.0]),
    ],
    ids=["arithmetic", "overwrite", "comparison", "boolean", "functions"],
)
def test_expression_sets_the_column_in_place(column, expression, expected):
    df = frame()
    result = Expression(column, expression).apply(df)
    assert result is df
    np.testing.assert_allclose(df[column].to_numpy(dtype=float), expected)


def test_missing_columns_are_named_in_order():
    with pytest.raises(ValueError, match=r"\['tax', 'discount'\]"):
        Expression("total", "price * (1 + tax) - log(discount)").apply(frame())


@pytest.mark.parametrize(
    "expression",
    [
        "__import__('os').system('true')",
        "price.__class__",
        "price[0]",
        "(lambda: 1)()",
        "price if quantity else 0",
        "sqrt(x=price)",
        "price +",
    ],
    ids=["import", "attribute", "subscript", "lambda", "conditional", "keyword", "syntax"],
)
def test_unsafe_or_invalid_expressions_are_refused(expression):
    with pytest.raises(ValueError):
        Expression("out", expression)
