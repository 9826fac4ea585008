import math

import pytest
from openqasm3 import ast, parser

from corvane.passes.code_resolving.constant_substitution_stage import (
    ConstantsGatherer,
    ConstantsResolver,
    ConstantSubstitutionStage,
)
from corvane.passes.constants import CONSTANTS
from corvane.passes.parsing.validators import (
    ConstantMisuseException,
    RedeclarationException,
    UnknownConstantValueException,
)
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


def test_every_use_shares_the_one_value_computed_where_the_constant_is_declared():
    tree = substitute("const int n = 4 + 1; int a = n; int b = n;")
    a, b = tree.statements
    assert a.init_expression == ast.IntegerLiteral(5)
    assert a.init_expression is b.init_expression


def test_loop_bounds_and_sets_are_substituted():
    tree = substitute("const int n = 3; for int i in [0:n] { } for int j in {n, 1} { }")
    assert tree == parser.parse("for int i in [0:3] { } for int j in {3, 1} { }")


@pytest.mark.parametrize(
    "source, expected",
    [
        # A constant is seen from its declaration to the end of its block, not before nor after.
        ("int a = n; const int n = 2; int b = n;", "int a = n; int b = 2;"),
        ("if (true) { const int n = 2; int a = n; } int b = n;", "if (true) { int a = 2; } int b = n;"),
        # A constant defined from an earlier one stands for its value, the other's declaration gone.
        ("const int a = 2; const int b = a + 1; int c = b;", "int c = 3;"),
        ("const float t = pi; float c = t;", "float c = 3.141592653589793;"),
        ("const int a = 2; const int b = a * a; const int c = b - a; int d = c;", "int d = 2;"),
        # Inside a switch, the target, the case values, the case bodies and the default block.
        (
            "const int n = 1; int x; switch (n) { case n, n + 1 { x = n; const int m = 2; x = m; } default { x = n; } }",
            "int x; switch (1) { case 1, 1 + 1 { x = 1; x = 2; } default { x = 1; } }",
        ),
        # Math functions of constants are constant and computed; the function's name is no value read.
        ("const float s = sin(pi); float c = s;", f"float c = {math.sin(math.pi)!r};"),
    ],
)
def test_substitution(source, expected):
    assert substitute(source) == parser.parse(expected)


@pytest.mark.parametrize(
    "source, expected",
    [
        # A declaration in a block hides the constant from there to the block's end;
        # its initialiser still reads the constant.
        ("const int n = 2; int b; if (true) { int a = n; int n = n + 1; a = n; } b = n;",
         "int b; if (true) { int a = 2; int n = 2 + 1; a = n; } b = 2;"),
        # Each branch is a block of its own.
        ("const int n = 2; int a; if (a) { int n = 5; } else { a = n; }",
         "int a; if (a) { int n = 5; } else { a = 2; }"),
        # A loop variable hides it in the body; the value set is read outside.
        ("const int n = 2; int a; for int n in [0:n] { a = n; } a = n;",
         "int a; for int n in [0:2] { a = n; } a = 2;"),
        # Nested blocks: the inner one ends first.
        ("const int n = 2; int a; while (a < n) { { int n = 1; a = n; } a = n; }",
         "int a; while (a < 2) { { int n = 1; a = n; } a = 2; }"),
        ("const int n = 2; int a; box { int n = 1; a = n; } a = n;", "int a; box { int n = 1; a = n; } a = 2;"),
        ("const int n = 2; int a; switch (a) { default { int n = 1; a = n; } } a = n;",
         "int a; switch (a) { default { int n = 1; a = n; } } a = 2;"),
        ("const int n = 2; if (true) { int n = 1; if (true) { n = 3; } }",
         "if (true) { int n = 1; if (true) { n = 3; } }"),
        # A gate's parameters and qubits are its own names in its body, predefined ones too.
        ("const float t = 1.0; gate g(t, pi) q { rx(t + pi) q; } rx(t + pi) $0;",
         f"gate g(t, pi) q {{ rx(t + pi) q; }} rx(1.0 + {math.pi!r}) $0;"),
        # Other names declared in a block leave the constant alone.
        ("const int n = 2; if (true) { int m = n; m = n; }", "if (true) { int m = 2; m = 2; }"),
    ],
)
def test_names_declared_in_blocks_hide_constants_until_the_block_ends(source, expected):
    assert substitute(source) == parser.parse(expected)


@pytest.mark.parametrize(
    "source",
    [
        # A second declaration in the constant's own scope.
        "const int n = 2; int n;",
        "int n; const int n = 2;",
        "const int n = 2; input float n;",
        "const int n = 2; qubit[2] n;",
        "const int n = 2; if (true) { int m; } output int n;",
        "if (true) { const int n = 2; int n; }",
        # A predefined constant's name, anywhere.
        "input float euler;",
        "output int π;",
        "qubit tau;",
        "if (true) { int ℇ = 1; }",
        "for int pi in [0:1] { }",
        "while (true) { for int τ in [0:1] { } }",
    ],
)
def test_a_constant_name_cannot_be_declared_again_in_its_scope_nor_a_predefined_one_anywhere(source):
    tree = parser.parse(source)
    with pytest.raises(RedeclarationException) as error:
        ConstantSubstitutionStage()(OpenQasmProgram(tree))
    node = error.value.node
    declared = node.qubit if type(node) is ast.QubitDeclaration else node.identifier
    assert type(declared) is ast.Identifier and declared.name == error.value.name
    text = str(error.value)
    assert f"'{error.value.name}'" in text
    assert ("predefined" in text) == (error.value.name in CONSTANTS)


@pytest.mark.parametrize(
    "source, name, use, text",
    [
        ("const int c = 1; c = 2;", "c", "assigned", "The constant 'c' cannot be assigned."),
        ("const int c = 1; if (true) { c = 2; }", "c", "assigned", "The constant 'c' cannot be assigned."),
        ("const int c = 1; c[0] = 2;", "c", "assigned", "The constant 'c' cannot be assigned."),
        ("const bit c = 1; c = measure $0;", "c", "assigned", "The constant 'c' cannot be assigned."),
        ("pi = 3.0;", "pi", "assigned", "The constant 'pi' cannot be assigned."),
        ("const int q = 1; x q;", "q", "qubit", "'q' is a constant, not a qubit."),
        ("const int q = 1; cx $0, q[1];", "q", "qubit", "'q' is a constant, not a qubit."),
        ("const int q = 1; bit b = measure q;", "q", "qubit", "'q' is a constant, not a qubit."),
        ("const int q = 1; reset q;", "q", "qubit", "'q' is a constant, not a qubit."),
        ("const int q = 1; barrier $0, q;", "q", "qubit", "'q' is a constant, not a qubit."),
        ("const int q = 1; delay[10ns] q;", "q", "qubit", "'q' is a constant, not a qubit."),
        ("const int q = 1; gphase(0.5) q;", "q", "qubit", "'q' is a constant, not a qubit."),
        ("const int x = 1; x $0;", "x", "gate", "'x' is a constant, not a gate."),
        ("const float sin = 1.0; float f = sin(0.5);", "sin", "function", "'sin' is a constant, not a function."),
    ],
)
def test_a_constant_cannot_stand_where_a_variable_qubit_gate_or_function_is_needed(source, name, use, text):
    with pytest.raises(ConstantMisuseException) as error:
        substitute(source)
    assert (error.value.name, error.value.use, str(error.value)) == (name, use, text)


def test_a_variable_that_hides_a_constant_is_assigned_and_used_as_a_variable():
    source = "const int c = 1; if (true) { int c; c = 2; c[0] = 1; int d = c; } int e = c;"
    assert substitute(source) == parser.parse("if (true) { int c; c = 2; c[0] = 1; int d = c; } int e = 1;")


def test_indices_of_indexed_names_are_substituted():
    # Index groups are lists inside a list, which the generic walk does not enter.
    tree = substitute("const int i = 1; b[i] = i; x q[i], r[{i}]; c[0:i] = measure q[i + 1]; "
                      "if (true) { int i = 0; b[i] = 1; }")
    assert tree == parser.parse("b[1] = 1; x q[1], r[{1}]; c[0:1] = measure q[1 + 1]; "
                                "if (true) { int i = 0; b[i] = 1; }")


def test_indexing_a_constant_is_refused_by_name():
    with pytest.raises(NotImplementedError) as error:
        substitute("const int c = 5; int x = c[0];")
    assert str(error.value) == "Indexing the constant c is not supported: c[0]"


@pytest.mark.parametrize("name", sorted(CONSTANTS))
def test_predefined_constants_are_substituted_without_declaration(name):
    tree = substitute(f"float x = {name};")
    assert tree.statements[0].init_expression is CONSTANTS[name]


@pytest.mark.parametrize(
    "source, index",
    [
        ("const int n = 1; const int n = 2;", 1),
        ("if (true) { const int n = 1; } else { const int n = 2; const int n = 3; }", None),
        ("const float pi = 3.0;", 0),
    ],
)
def test_redeclaration_fails_at_the_later_declaration(source, index):
    tree = parser.parse(source)
    later = tree.statements[index] if index is not None else tree.statements[0].else_block[1]
    name = later.identifier.name
    with pytest.raises(RedeclarationException) as error:
        ConstantSubstitutionStage()(OpenQasmProgram(tree))
    assert error.value.node is later and error.value.name == name
    assert error.value.earlier is None


@pytest.mark.parametrize(
    "source, name, earlier",
    [
        ("int x = 1; const int x = 5;", "x", "variable"),
        ("input float x; const float x = 1.0;", "x", "input"),
        ("output int x; const int x = 1;", "x", "output"),
        ("qubit[2] x; const int x = 1;", "x", "qubit"),
        ("if (true) { bit x; const bit x = 1; }", "x", "variable"),
        ("for int i in [0:1] { const int i = 5; }", "i", "loop variable"),
        ("gate g(t) a { const int t = 1; }", "t", "gate parameter"),
        ("gate g a { const int a = 1; }", "a", "gate qubit"),
    ],
)
def test_a_constant_cannot_take_the_name_of_a_declaration_of_its_own_block(source, name, earlier):
    with pytest.raises(RedeclarationException) as error:
        substitute(source)
    assert (error.value.name, error.value.earlier) == (name, earlier)
    assert type(error.value.node) is ast.ConstantDeclaration
    article = "an" if earlier[0] in "aeiou" else "a"
    assert str(error.value) == (
        f"'{name}' is already declared as {article} {earlier} in this scope; "
        "it cannot be declared again as a constant."
    )


@pytest.mark.parametrize(
    "source, expected",
    [
        # Sibling blocks each have a constant of their own.
        ("int r; { const int k = 5; r = k; } { const int k = 7; r = k; }", "int r; { r = 5; } { r = 7; }"),
        ("int r; if (r) { const int k = 1; r = k; } else { const int k = 2; r = k; }",
         "int r; if (r) { r = 1; } else { r = 2; }"),
        # An inner constant hides an outer variable or constant until its block ends.
        ("int x = 1; int r; { const int x = 5; r = x; } r = x;", "int x = 1; int r; { r = 5; } r = x;"),
        ("const int x = 1; int r; { const int x = x + 4; r = x; } r = x;", "int r; { r = 5; } r = 1;"),
        ("const int n = 1; int r; for int i in [0:n] { const int n = 3; r = n; } r = n;",
         "int r; for int i in [0:1] { r = 3; } r = 1;"),
        ("int i; for int i in [0:1] { const int k = i + 0; }", None),
        # A constant after a declaration of its name in an outer block hides it.
        ("input int n; int r; while (r < n) { const int n = 2; r = n; }",
         "input int n; int r; while (r < n) { r = 2; }"),
        # A gate's body sees the top-level constants declared before the gate.
        ("gate g a { rx(t) a; } const float t = 0.5; rx(t) $0;", "gate g a { rx(t) a; } rx(0.5) $0;"),
    ],
)
def test_constants_are_values_of_their_block(source, expected):
    if expected is None:
        # `i` in the constant's value is the loop variable, no constant.
        with pytest.raises(UnknownConstantValueException):
            substitute(source)
        return
    assert substitute(source) == parser.parse(expected)


def test_a_gate_body_sees_the_top_level_constants_only():
    # A tree built by hand may hold a gate in a block; its body still reads the global constants.
    tree = parser.parse("const float t = 0.5; if (true) { const float t = 1.0; rx(t) $0; }")
    (gate,) = parser.parse("gate g a { rx(t) a; }").statements
    tree.statements[1].if_block.append(gate)
    ConstantSubstitutionStage()(OpenQasmProgram(tree))
    assert tree.statements[0].if_block[0] == parser.parse("rx(1.0) $0;").statements[0]
    assert gate == parser.parse("gate g a { rx(0.5) a; }").statements[0]


@pytest.mark.parametrize(
    "source, name, read, what",
    [
        ("int a = 3; const int k = a + 1;", "k", "a", "variable"),
        ("input float t; const float k = 2 * t;", "k", "t", "input"),
        ("qubit q; const int k = q;", "k", "q", "qubit"),
        ("const int k = m;", "k", "m", None),
        ("const int k = k;", "k", "k", None),
        ("const int a = 1; if (true) { int a = 2; const int b = -a; }", "b", "a", "variable"),
        ("const int a = 1; for int a in [0:1] { const int b = a; }", "b", "a", "loop variable"),
        ("array[int, 2] v; const int k = v[0];", "k", "v", "variable"),
        ("int x; const float k = sin(x);", "k", "x", "variable"),
        ("int n; const int k = int[n](1.5);", "k", "n", "variable"),
    ],
)
def test_a_constant_whose_value_is_not_known_at_compile_time_is_refused(source, name, read, what):
    with pytest.raises(UnknownConstantValueException) as error:
        substitute(source)
    assert (error.value.name, error.value.read, error.value.what) == (name, read, what)
    assert type(error.value.node) is ast.ConstantDeclaration and error.value.node.identifier.name == name
    assert f"The value of the constant '{name}' reads " in str(error.value)
    assert f"'{read}'" in str(error.value) and "known at compile time" in str(error.value)


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


class _Unconvertible(float):
    """A real whose conversion to an integer runs out of memory."""

    def __int__(self):
        raise MemoryError("no room")

    __trunc__ = __int__


@pytest.mark.parametrize("value", [math.inf, math.nan])
def test_a_cast_that_cannot_convert_its_value_is_left_to_translation(value):
    tree = parser.parse("const int c = int(2.5); int a = c;")
    tree.statements[0].init_expression.argument.value = value
    ConstantSubstitutionStage()(OpenQasmProgram(tree))
    (declaration,) = tree.statements
    assert type(declaration.init_expression) is ast.Cast


def test_an_error_of_another_kind_in_a_cast_passes_on():
    tree = parser.parse("const int c = int(2.5); int a = c;")
    tree.statements[0].init_expression.argument.value = _Unconvertible(2.5)
    with pytest.raises(MemoryError, match="no room"):
        ConstantSubstitutionStage()(OpenQasmProgram(tree))
