"""The version of the corvane package."""

__version__ = "0.1.0"
