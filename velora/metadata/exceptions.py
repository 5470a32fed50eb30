"""Errors raised by the metadata framework."""


class UnknownIndexMetaError(Exception):
    """A frame meta lacks the id or time index it needs."""


class MetaNotExtractedError(Exception):
    """A meta was used for work that needs what it learns in `extract`, before extracting."""


class UnknownMetaClassError(KeyError):
    """A serialised meta names a class that is not in the meta registry."""
