"""Evaluation of synthetic event tables against the real one they imitate."""

from .report import EvaluationReport, evaluate

__all__ = ["EvaluationReport", "evaluate"]
