"""Errors raised by column transformers."""


class TransformerNotFitError(Exception):
    """A transformer was asked to transform or invert before it was fitted.

    Raised with the transformer, the message names it; raised with a message, it says that;
    raised bare, it says what to do in general.
    """

    def __init__(self, transformer: object = None):
        super().__init__(*(() if transformer is None else (transformer,)))
        self.transformer = transformer

    def __str__(self) -> str:
        if isinstance(self.transformer, str):
            return self.transformer
        used = "A transformer" if self.transformer is None else repr(self.transformer)
        return f"{used} was used before it was fitted: call its fit(df) or fit_transform(df) first."


def check_is_fitted(owner: object, method: str, transformer: object) -> None:
    """Raise `TransformerNotFitError` naming `owner`'s `method` and what to call first, unless
    `transformer`, which training fits, is fitted."""
    if not getattr(transformer, "fitted", False):
        raise TransformerNotFitError(
            f"{type(owner).__name__}.{method} needs a trained model: call learn(df) first."
        )
