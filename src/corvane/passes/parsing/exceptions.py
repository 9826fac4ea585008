"""The errors of source reading and include expansion."""


class ParsingException(Exception):
    """Base of the errors raised while the source text and its includes are read."""
