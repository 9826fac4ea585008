import pytest
from openqasm3 import ast, parser

from corvane.passes.code_resolving.constant_substitution_stage import (
    ConstantsGatherer,
    ConstantsResolver,
    ConstantSubstitutionStage,
)
from corvane.passes.constants import CONSTANTS
from corvane.passes.parsing.validators import RedeclarationException
from corvane.programs import OpenQasmProgram


def substitute(source):
    program = OpenQasmProgram(parser.parse(source))
    result = ConstantSubstitutionStage()(program)
    assert type(result) is OpenQasmProgram and result is not program
    assert result.ast is program.ast
    return result.ast


def test_step_name():
    assert ConstantSubstitutionStage().name == "ConstantSubstitutionStage"


def test_register_size_is_the_declared_literal_itself():
    tree = parser.parse("const int n = 4; qubit[n] q;")
    literal = tree.statements[0].init_expression
    ConstantSubstitutionStage()(OpenQasmProgram(tree))
    (register,) = tree.statements
    assert type(register) is ast.QubitDeclaration and register.size is literal


def test_every_use_shares_the_one_expression_node():
    tree = substitute("const int n = 4 + 1; int a = n; int b = n;")
    a, b = tree.statements
    assert type(a.init_expression) is ast.BinaryExpression
    assert a.init_expression is b.init_expression


def test_loop_bounds_and_sets_are_substituted():
    tree = substitute("const int n = 3; for int i in [0:n] { } for int j in {n, 1} { }")
    assert tree == parser.parse("for int i in [0:3] { } for int j in {3, 1} { }")


@pytest.mark.parametrize(
    "source, expected",
    [
        # Gathering finishes before substitution: earlier uses and other blocks see the constant.
        ("int a = n; const int n = 2;", "int a = 2;"),
        ("if (true) { const int n = 2; } int a = n;", "if (true) { } int a = 2;"),
        # One level only: the inner constant keeps its name, its declaration is gone.
        ("const int a = 2; const int b = a + 1; int c = b;", "int c = a + 1;"),
        ("const float t = pi; float c = t;", "float c = pi;"),
        # Inside a switch, the target and the default block only.
        (
            "const int n = 1; int x; switch (n) { case n { x = n; const int m = 2; } default { x = n; } }",
            "int x; switch (1) { case n { x = n; const int m = 2; } default { x = 1; } }",
        ),
    ],
)
def test_substitution(source, expected):
    assert substitute(source) == parser.parse(expected)


def test_names_are_replaced_in_every_role_also_where_declared():
    tree = parser.parse("const int n = 2; int n; gate g(n) q { rx(n) q; } for int n in [0:1] { n(1); }")
    literal = tree.statements[0].init_expression
    ConstantSubstitutionStage()(OpenQasmProgram(tree))
    declaration, gate, loop = tree.statements
    assert declaration.identifier is literal
    assert gate.arguments[0] is literal and gate.body[0].arguments[0] is literal
    assert loop.identifier is literal and loop.block[0].expression.name is literal


@pytest.mark.parametrize("name", sorted(CONSTANTS))
def test_predefined_constants_are_substituted_without_declaration(name):
    tree = substitute(f"float x = {name};")
    assert tree.statements[0].init_expression is CONSTANTS[name]


@pytest.mark.parametrize(
    "source, index",
    [
        ("const int n = 1; const int n = 2;", 1),
        ("if (true) { const int n = 1; } else { const int n = 2; }", None),
        ("const float pi = 3.0;", 0),
    ],
)
def test_redeclaration_fails_at_the_later_declaration(source, index):
    tree = parser.parse(source)
    later = tree.statements[index] if index is not None else tree.statements[0].else_block[0]
    name = later.identifier.name
    with pytest.raises(RedeclarationException) as error:
        ConstantSubstitutionStage()(OpenQasmProgram(tree))
    assert error.value.node is later and error.value.name == name


def test_tree_without_constants_is_unchanged():
    source = "int x = 1; qubit[2] q; if (x == 1) { x = x + 1; }"
    assert substitute(source) == parser.parse(source)


def test_runs_never_change_the_predefined_table():
    before = dict(CONSTANTS)
    substitute("const int n = 1; int a = n;")
    substitute("const int n = 2; int a = n;")  # no redeclaration across runs
    assert CONSTANTS == before and "n" not in CONSTANTS


def test_gatherer_table_is_a_copy_holding_the_same_nodes():
    gatherer = ConstantsGatherer()
    table = gatherer.constants
    assert table is not CONSTANTS and table == CONSTANTS
    assert all(table[name] is node for name, node in CONSTANTS.items())
    assert gatherer.constants is table
    tree = parser.parse("const int n = 5;")
    literal = tree.statements[0].init_expression
    gatherer.visit(tree)
    assert tree.statements == [] and table["n"] is literal


def test_resolver_keeps_the_map_it_was_given_and_skips_identifier_subclasses():
    class HardwareQubit(ast.Identifier):
        pass

    replacement = ast.IntegerLiteral(1)
    constants = {"c": replacement}
    resolver = ConstantsResolver(constants)
    assert resolver._constants is constants
    tree = parser.parse("qubit q; reset q;")
    tree.statements[1].qubits = HardwareQubit("c")
    tree.statements.append(ast.ExpressionStatement(ast.Identifier("c")))
    resolver.visit(tree)
    assert type(tree.statements[1].qubits) is HardwareQubit
    assert tree.statements[2].expression is replacement


@pytest.mark.parametrize("constants", [[], None, type("D", (dict,), {})()])
def test_resolver_requires_exactly_a_map(constants):
    with pytest.raises(TypeError) as error:
        ConstantsResolver(constants)
    assert str(error.value) == (
        f"Argument 'constants' has incorrect type (expected dict, got {type(constants).__name__})"
    )


def test_program_must_be_an_openqasm_program():
    with pytest.raises(AssertionError):
        ConstantSubstitutionStage()(object())
