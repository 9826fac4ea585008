import pytest
from openqasm3 import ast, parser

from corvane.passes.code_resolving.update_expander import (
    BASIC_ASSIGNMENT_OP,
    OPENQASM_ASSIGNMENT_OPERATOR_SYMBOL,
    ClassicalAssignmentToBinaryExpression,
    ClassicalUpdateExpander,
)
from corvane.passes.pipeline_phase import Step
from corvane.programs import OpenQasmProgram


def expand(source):
    program = OpenQasmProgram(parser.parse(source))
    result = ClassicalUpdateExpander()(program)
    assert type(result) is OpenQasmProgram and result is not program
    assert result.ast is program.ast
    return result.ast


def test_module_constants_and_step_name():
    assert OPENQASM_ASSIGNMENT_OPERATOR_SYMBOL == "="
    assert BASIC_ASSIGNMENT_OP is ast.AssignmentOperator["="]
    assert isinstance(ClassicalUpdateExpander(), Step)
    assert ClassicalUpdateExpander().name == "ClassicalUpdateExpander"


@pytest.mark.parametrize(
    "compound, binary",
    [("+=", "+"), ("-=", "-"), ("*=", "*"), ("/=", "/"), ("%=", "%"), ("**=", "**"),
     ("&=", "&"), ("|=", "|"), ("^=", "^"), ("<<=", "<<"), (">>=", ">>")],
)
def test_compound_assignment_becomes_plain_assignment_of_binary_expression(compound, binary):
    tree = parser.parse(f"int x; x {compound} 2;")
    old = tree.statements[1]
    target, value = old.lvalue, old.rvalue
    ClassicalUpdateExpander()(OpenQasmProgram(tree))
    new = tree.statements[1]
    assert type(new) is ast.ClassicalAssignment and new is not old
    assert new.op is BASIC_ASSIGNMENT_OP
    assert type(new.rvalue) is ast.BinaryExpression
    assert new.rvalue.op is ast.BinaryOperator[binary]
    # The target is shared, not copied; the old value is the right operand.
    assert new.lvalue is target and new.rvalue.lhs is target
    assert new.rvalue.rhs is value
    assert new.span is None and new.rvalue.span is None


def test_whole_value_becomes_the_right_operand():
    tree = expand("int x; int a; int b; x *= a + b;")
    assert tree == parser.parse("int x; int a; int b; x = x * (a + b);")


@pytest.mark.parametrize("source", ["int x; x = 5;", "array[int[8], 2] a; a[0] = 5;"])
def test_plain_assignments_stay_the_same_nodes(source):
    tree = parser.parse(source)
    statements = list(tree.statements)
    ClassicalUpdateExpander()(OpenQasmProgram(tree))
    assert all(new is old for new, old in zip(tree.statements, statements, strict=True))


@pytest.mark.parametrize("operator", ["+=", "~="])
def test_indexed_target_is_not_supported(operator):
    tree = parser.parse(f"array[int[8], 2] a; a[0] {operator} 1;")
    target = tree.statements[1].lvalue
    with pytest.raises(NotImplementedError) as error:
        ClassicalUpdateExpander()(OpenQasmProgram(tree))
    assert error.value.args == ("Indexed identifier is not supported:", target)


def test_complement_assignment_is_refused_by_the_assignment():
    # "~" is only a unary operator; the enumeration's lookup stays the cause.
    with pytest.raises(NotImplementedError) as error:
        expand("int x; x ~= 1;")
    assert str(error.value) == (
        "The compound assignment x ~= 1 is not supported: its operator ~= has no binary operator"
    )
    assert type(error.value.__cause__) is KeyError and error.value.__cause__.args == ("~",)
    with pytest.raises(KeyError):
        ClassicalAssignmentToBinaryExpression._extract_binary_operation(ast.AssignmentOperator["~="])


def test_blocks_are_expanded_but_switch_cases_are_not():
    source = """
        int x;
        if (x == 0) { x += 1; } else { x -= 1; }
        while (x < 5) { x *= 2; }
        for int i in [0:2] { x += i; }
        box { x <<= 1; }
        switch (x) { case 1 { x = 3; } default { x %= 3; } }
    """
    tree = expand(source)
    expected = parser.parse("""
        int x;
        if (x == 0) { x = x + 1; } else { x = x - 1; }
        while (x < 5) { x = x * 2; }
        for int i in [0:2] { x = x + i; }
        box { x = x << 1; }
        switch (x) { case 1 { x = 3; } default { x = x % 3; } }
    """)
    assert tree == expected


@pytest.mark.parametrize(
    "source, statement",
    [
        ("int x; switch (x) { case 1 { x += 3; } }", "x += 3"),
        ("int x; switch (x) { case 1 { } case 2, 3 { if (x > 0) { x ~= 1; } } }", "x ~= 1"),
        ("int x; switch (x) { case 1 { switch (x) { case 2 { } default { x <<= 1; } } } }", "x <<= 1"),
    ],
)
def test_a_compound_assignment_in_a_case_body_is_refused_by_name(source, statement):
    # Nothing expands it there, and the lowering takes plain assignments only.
    with pytest.raises(NotImplementedError) as error:
        expand(source)
    assert str(error.value).startswith(f"The compound assignment {statement} stands in a switch case body")


def test_other_statements_are_left_unchanged():
    source = "qubit q; bit c; c = measure q; int y = 3; const int n = 2;"
    assert expand(source) == parser.parse(source)


def test_overridden_operator_mapping_is_used():
    class AlwaysAdd(ClassicalAssignmentToBinaryExpression):
        @staticmethod
        def _extract_binary_operation(operator):
            return ast.BinaryOperator["+"]

    tree = parser.parse("int x; x *= 2;")
    AlwaysAdd().visit(tree)
    assert tree.statements[1].rvalue.op is ast.BinaryOperator["+"]


def test_program_must_be_an_openqasm_program(python_subprocess):
    with pytest.raises(AssertionError):
        ClassicalUpdateExpander()(object())
    output = python_subprocess(
        """
        from corvane.passes.code_resolving.update_expander import ClassicalUpdateExpander
        try:
            ClassicalUpdateExpander()(object())
        except AttributeError:
            print("attribute error")
        """,
        "-O",
    )
    assert output == "attribute error\n"
