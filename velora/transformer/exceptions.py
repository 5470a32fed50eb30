"""Errors raised by column transformers."""


class TransformerNotFitError(Exception):
    """A transformer was asked to transform or invert before it was fitted."""
