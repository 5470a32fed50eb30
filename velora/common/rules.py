"""Rules on synthesised data: allowed value combinations and derived columns."""

import ast
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import pandas as pd


class Association:
    """The combinations of categorical values that may be sampled together.

    `columns` names at least two distinct categorical columns; each tuple of `allowed`
    gives one value per column, in the same order. The value groups sample these columns
    jointly from the allowed combinations only.
    """

    def __init__(self, columns: Sequence[str], allowed: Sequence[tuple]):
        self.columns = list(columns)
        self.allowed = [tuple(combination) for combination in allowed]
        if len(self.columns) < 2:
            raise ValueError(f"an association needs at least two columns, got {self.columns}")
        if len(set(self.columns)) != len(self.columns):
            raise ValueError(f"an association's columns must be distinct, got {self.columns}")
        if not self.allowed:
            raise ValueError(f"an association over {self.columns} allows no combination")
        for combination in self.allowed:
            if len(combination) != len(self.columns):
                raise ValueError(
                    f"combination {combination} does not give one value for each of the "
                    f"columns {self.columns}"
                )

    def allowed_codes(self, codes_of: Callable[[str, Any], int]) -> np.ndarray:
        """The allowed combinations as category codes, [n_allowed, n_columns] int64.

        `codes_of(column, value)` returns the category code of a value; a `KeyError` it
        raises for an unknown column or value becomes a `ValueError` naming both.
        """
        codes = np.empty((len(self.allowed), len(self.columns)), dtype=np.int64)
        for row, combination in enumerate(self.allowed):
            for position, (column, value) in enumerate(zip(self.columns, combination, strict=True)):
                try:
                    codes[row, position] = codes_of(column, value)
                except KeyError as error:
                    raise ValueError(
                        f"{self!r}: cannot encode value {value!r} of column {column!r} "
                        f"(unknown {error})"
                    ) from error
        return codes

    def __repr__(self) -> str:
        return f"Association(columns={self.columns!r}, allowed={self.allowed!r})"


# The functions that `DataFrame.eval` offers; calls of anything else are refused.
SAFE_FUNCTIONS = frozenset(
    {
        "abs", "arccos", "arccosh", "arcsin", "arcsinh", "arctan", "arctan2", "arctanh",
        "ceil", "cos", "cosh", "exp", "expm1", "floor", "log", "log10", "log1p", "sin",
        "sinh", "sqrt", "tan", "tanh",
    }
)  # fmt: skip

_OPERATOR_NODES = (
    ast.Expression, ast.BinOp, ast.UnaryOp, ast.BoolOp, ast.Compare, ast.Constant, ast.Load,
    ast.List, ast.Tuple,
    ast.operator, ast.unaryop, ast.boolop, ast.cmpop,
)  # fmt: skip


def _referenced_columns(expression: str) -> list[str]:
    """The column names an expression reads, in order of first use.

    Only names, constants, lists, arithmetic, comparison and boolean operators and calls
    of `SAFE_FUNCTIONS` are accepted, so nothing but column arithmetic reaches `eval`.
    """
    try:
        tree = ast.parse(expression, mode="eval")
    except SyntaxError as error:
        raise ValueError(f"cannot parse the expression {expression!r}: {error.msg}") from None
    names, called = [], set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Call):
            if not (isinstance(node.func, ast.Name) and node.func.id in SAFE_FUNCTIONS):
                raise ValueError(f"the expression {expression!r} calls an unsafe function")
            if node.keywords:
                raise ValueError(f"the expression {expression!r} passes keyword arguments")
            called.add(node.func)
        elif isinstance(node, ast.Name):
            names.append(node)
        elif not isinstance(node, _OPERATOR_NODES):
            raise ValueError(
                f"the expression {expression!r} uses {type(node).__name__}, which is not allowed"
            )
    # The walk is breadth first; source order makes the error messages readable.
    names.sort(key=lambda node: (node.lineno, node.col_offset))
    return list(dict.fromkeys(node.id for node in names if node not in called))


class Expression:
    """Sets a column to an expression over the other columns of a frame.

    The expression is `DataFrame.eval` syntax restricted to column names, constants,
    arithmetic, comparisons, boolean operators and the elementwise math functions in
    `SAFE_FUNCTIONS`; it is checked when the rule is created.
    """

    def __init__(self, column: str, expression: str):
        self.column = column
        self.expression = expression
        self.referenced_columns = _referenced_columns(expression)

    def apply(self, frame: pd.DataFrame) -> pd.DataFrame:
        """Sets `frame[column]` in place and returns the frame."""
        missing = [name for name in self.referenced_columns if name not in frame.columns]
        if missing:
            raise ValueError(f"{self!r} refers to columns missing from the frame: {missing}")
        frame[self.column] = frame.eval(self.expression)
        return frame

    def __repr__(self) -> str:
        return f"Expression(column={self.column!r}, expression={self.expression!r})"
