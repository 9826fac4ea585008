"""Helpers shared by the steps: the state of the vk program scope and literal nodes."""

from typing import Union

from openqasm3 import ast

from vk.vyr._scope_management.scopes_manager import scopes_manager

PythonLiterals = Union[bool, int, float]
SupportedLiteralTypes = Union[ast.BooleanLiteral, ast.IntegerLiteral, ast.FloatLiteral]

# A bit-string literal holds its number in `value` as well ("0101" is 5).
_LITERAL_CLASSES = (ast.BooleanLiteral, ast.IntegerLiteral, ast.FloatLiteral, ast.BitstringLiteral)


def is_inside_scope() -> bool:
    """Whether a vk program scope is open (entered and not yet left) at the moment."""
    return scopes_manager.is_inside_program_scope()


def is_qasm_literal(expression: ast.Expression) -> bool:
    """Whether `expression` is a literal node holding its plain value in `value`."""
    return isinstance(expression, _LITERAL_CLASSES)


def create_literal(value: PythonLiterals) -> SupportedLiteralTypes:
    """The literal node for a plain value; booleans are tested before integers."""
    if isinstance(value, bool):
        return ast.BooleanLiteral(value)
    if isinstance(value, int):
        return ast.IntegerLiteral(value)
    if isinstance(value, float):
        return ast.FloatLiteral(value)
    raise TypeError(f"Cannot make a literal of {type(value).__name__} value {value!r}")
