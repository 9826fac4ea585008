import pytest
from openqasm3 import ast, parser

from corvane.passes.code_resolving.binary_shortcuts import (
    ANYTHING,
    CASES_TO_RETURN_FUNCTION,
    Anything,
    calculate_binary_shortcuts,
    return_lhs,
    return_literal_as_type_of_rhs,
    return_rhs,
)

A = object()  # stands for the wildcard in the expected table

EXPECTED_ROWS = [
    ((0, "/", A), "lhs"), ((A, "/", 1), "lhs"),
    ((0, "*", A), "lhs"), ((A, "*", 0), "rhs"), ((1, "*", A), "rhs"), ((A, "*", 1), "lhs"),
    ((0, "+", A), "rhs"), ((A, "+", 0), "lhs"), ((A, "-", 0), "lhs"),
    ((False, "&", A), "lhs"), ((A, "&", False), "rhs"), ((True, "&", A), "rhs"), ((A, "&", True), "lhs"),
    ((False, "|", A), "rhs"), ((A, "|", False), "lhs"), ((True, "|", A), "lhs"), ((A, "|", True), "rhs"),
    ((0, "**", A), "lhs"), ((A, "**", 0), "literal"), ((1, "**", A), "lhs"), ((A, "**", 1), "lhs"),
]


def test_table_rows_in_order():
    rows = list(CASES_TO_RETURN_FUNCTION.items())
    assert len(rows) == len(EXPECTED_ROWS)
    for (key, answer), (expected_key, expected_answer) in zip(rows, EXPECTED_ROWS):
        for element, expected in zip(key, expected_key, strict=True):
            if expected is A:
                assert element is ANYTHING
            else:
                assert type(element) is type(expected) and element == expected
        if expected_answer == "lhs":
            assert answer is return_lhs
        elif expected_answer == "rhs":
            assert answer is return_rhs
        else:
            assert callable(answer) and answer not in (return_lhs, return_rhs)


def test_wildcard():
    assert isinstance(ANYTHING, Anything)
    for other in (0, 1.5, True, "text", None, ANYTHING, object()):
        assert ANYTHING == other
    assert hash(ANYTHING) == hash(str(ANYTHING)) == hash(ANYTHING)


def expression(text):
    return parser.parse(f"{text};").statements[0].expression


@pytest.mark.parametrize(
    "text, answer",
    [
        ("x + 0", "lhs"), ("0 + x", "rhs"), ("x - 0", "lhs"), ("x * 1", "lhs"), ("1 * x", "rhs"),
        ("x / 1", "lhs"), ("x ** 1", "lhs"), ("1 ** x", "lhs"),
        ("x * 0", "rhs"), ("x * 0.0", "rhs"), ("0 * x", "lhs"), ("0 / x", "lhs"), ("0 ** x", "lhs"),
        ("0.0 / x", "lhs"), ("false / x", "lhs"),
        ("false & x", "lhs"), ("x & false", "rhs"), ("true & x", "rhs"), ("x & true", "lhs"),
        ("false | x", "rhs"), ("x | false", "lhs"), ("true | x", "lhs"), ("x | true", "rhs"),
        # Keys compare by value, not by the literal's kind...
        ("0 & x", "lhs"), ("x | 0", "lhs"), ("0.0 | x", "rhs"), ("true * x", "rhs"),
        ("x * 1.0", "lhs"), ("0.0 + x", "rhs"),
        # ...but a true decides "&" and "|" only as a boolean literal: on an integer 1 or a float 1.0
        # these are bitwise operations whose value the shortcut would get wrong.
        ("1 & x", "node"), ("x & 1", "node"), ("1 | x", "node"), ("x | 1", "node"),
        ("1.0 & x", "node"), ("x | 1.0", "node"),
        ("true & 1", "rhs"), ("1 & true", "lhs"), ("1 | true", "rhs"), ("true | 1.0", "lhs"), ("1 | 1", "node"),
        # Both literals: the first matching row wins.
        ("0 * 1", "lhs"), ("1 * 0", "rhs"),
        # No row.
        ("0 - x", "node"), ("1 / x", "node"), ("x % 1", "node"), ("x << 0", "node"),
        ("x && false", "node"), ("2 * x", "node"), ("x + y", "node"), ("x ^ 0", "node"), ("x == 0", "node"),
        # A duration is no number: `d * 0` is no number 0, and `d + 0` adds a number to a duration.
        ("100ns * 0", "node"), ("0 * 100ns", "node"), ("(x * 4ns) * 0", "node"), ("100ns + 0", "node"),
        ("0 / 1us", "node"), ("1dt * 1", "node"), ("false & 2ns", "node"),
    ],
)
def test_shortcut_answers_are_nodes_themselves(text, answer):
    node = expression(text)
    lhs, rhs = node.lhs, node.rhs
    result = calculate_binary_shortcuts(node)
    assert result is {"lhs": lhs, "rhs": rhs, "node": node}[answer]
    assert node.lhs is lhs and node.rhs is rhs


@pytest.mark.parametrize(
    "text, cls, value",
    [("x ** 0", ast.IntegerLiteral, 1), ("x ** 0.0", ast.FloatLiteral, 1.0), ("x ** false", ast.BooleanLiteral, True)],
)
def test_power_of_zero_is_a_new_one_of_the_right_operand_kind(text, cls, value):
    node = expression(text)
    result = calculate_binary_shortcuts(node)
    assert type(result) is cls and type(result.value) is type(value) and result.value == value
    assert result is not node.rhs


def test_literal_answer_refuses_other_operand_kinds():
    answer = return_literal_as_type_of_rhs(1)
    rhs = ast.BitstringLiteral(0, 1)
    with pytest.raises(TypeError) as error:
        answer(ast.Identifier("x"), rhs)
    assert str(error.value) == "Type <class 'openqasm3.ast.BitstringLiteral'> is not supported."


def test_answer_functions():
    lhs, rhs = ast.Identifier("a"), ast.Identifier("b")
    assert return_lhs(lhs, rhs) is lhs and return_rhs(lhs, rhs) is rhs
    made = return_literal_as_type_of_rhs(0)(lhs, ast.BooleanLiteral(True))
    assert type(made) is ast.BooleanLiteral and made.value is False
