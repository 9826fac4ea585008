import pytest
from openqasm3 import ast
from vk import vyr

from corvane.passes.utils import create_literal, is_inside_scope, is_qasm_literal


def test_is_inside_scope_follows_the_open_scope():
    scope = vyr.program()
    assert is_inside_scope() is False
    with scope:
        assert is_inside_scope() is True
    assert is_inside_scope() is False
    with scope:
        assert is_inside_scope() is True


@pytest.mark.parametrize(
    "node, accepted",
    [
        (ast.BooleanLiteral(False), True),
        (ast.IntegerLiteral(0), True),
        (ast.FloatLiteral(1.5), True),
        (ast.DurationLiteral(1.0, ast.TimeUnit.ns), False),
        (ast.ArrayLiteral([]), False),
        (ast.Identifier("x"), False),
        (ast.BinaryExpression(ast.BinaryOperator["+"], ast.IntegerLiteral(1), ast.IntegerLiteral(2)), False),
    ],
)
def test_is_qasm_literal(node, accepted):
    assert is_qasm_literal(node) is accepted


@pytest.mark.parametrize(
    "value, cls",
    [(True, ast.BooleanLiteral), (0, ast.IntegerLiteral), (-7, ast.IntegerLiteral), (float("inf"), ast.FloatLiteral)],
)
def test_create_literal(value, cls):
    node = create_literal(value)
    assert type(node) is cls and node.value == value and is_qasm_literal(node)


def test_create_literal_refuses_other_values():
    with pytest.raises(TypeError, match="complex"):
        create_literal(1j)
