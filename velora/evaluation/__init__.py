"""Evaluation of synthetic event tables against the real one they imitate."""

from .privacy import privacy_figures
from .report import EvaluationReport, evaluate

__all__ = ["EvaluationReport", "evaluate", "privacy_figures"]
