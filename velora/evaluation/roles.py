"""The evaluation of tables described by their column roles, and its report written."""

from pathlib import Path

import pandas as pd

from velora.evaluation.report import EvaluationReport, evaluate
from velora.tables.roles import TableRoles


def report_on(
    real: pd.DataFrame,
    synthetic: pd.DataFrame,
    roles: TableRoles,
    directory: str | Path,
    *,
    training: pd.DataFrame | None = None,
    seed: int = 0,
) -> EvaluationReport:
    """Evaluate a synthetic table against the real one and write the report into a folder,
    saying what it compares with. With `training`, `real` holds entities kept out of
    training, and the report adds the privacy figures."""
    report = evaluate_roles(real, synthetic, roles, training=training, seed=seed)
    compared = f"Report compares with {real[roles.id_col].nunique()} real entities"
    if training is not None:
        compared += f" kept out of training (trained on {training[roles.id_col].nunique()})"
    print(compared)
    print(f"Report: {report.write(directory)}")
    return report


def evaluate_roles(
    real: pd.DataFrame,
    synthetic: pd.DataFrame,
    roles: TableRoles,
    *,
    training: pd.DataFrame | None = None,
    seed: int = 0,
) -> EvaluationReport:
    """The evaluation report of a synthetic table against the real one, by their roles."""
    return evaluate(
        real,
        synthetic,
        id_col=roles.id_col,
        time_col=roles.time_col,
        event_cols=roles.event_cols,
        const_cols=roles.const_cols,
        seed=seed,
        training=training,
    )
