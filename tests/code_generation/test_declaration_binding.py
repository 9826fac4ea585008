import pytest
from openqasm3 import ast, parser

from corvane.passes.code_generation.declaration_tidier import DeclarationTidier
from corvane.programs import OpenQasmProgram


def tidy(source):
    tree = parser.parse(source)
    result = DeclarationTidier()(OpenQasmProgram(tree))
    assert isinstance(result, OpenQasmProgram) and result.ast is tree
    return tree


def kinds(statements):
    return [type(statement).__name__ for statement in statements]


def test_tidier_is_a_step_named_after_its_class():
    assert DeclarationTidier().name == "DeclarationTidier"
    assert DeclarationTidier("tidy").name == "tidy"


def test_tidier_splits_initialisers_in_blocks_but_not_in_case_bodies():
    tree = tidy(
        """
        qubit q;
        int x = 5;
        bit m = measure q;
        if (true) { int y = 1; }
        switch (x) { case 1 { int z = 2; } default { int w = 3; } }
        """
    )
    _, x, set_x, m, measure_m, branch, switch = tree.statements
    assert kinds([x, set_x, m, measure_m]) == [
        "ClassicalDeclaration", "ClassicalAssignment", "ClassicalDeclaration", "QuantumMeasurementStatement"]
    assert x.init_expression is None and set_x.lvalue is x.identifier and set_x.rvalue.value == 5
    assert m.init_expression is None and measure_m.target is m.identifier
    assert kinds(branch.if_block) == ["ClassicalDeclaration", "ClassicalAssignment"]
    assert kinds(switch.default.statements) == ["ClassicalDeclaration", "ClassicalAssignment"]
    (case_declaration,) = switch.cases[0][1].statements
    assert case_declaration.init_expression.value == 2


def test_tidier_refuses_an_initialiser_that_is_no_expression_nor_measurement():
    declaration = ast.ClassicalDeclaration(ast.IntType(), ast.Identifier("x"), ast.DiscreteSet([]))
    with pytest.raises(NotImplementedError, match="^Unsupported init type - <class 'openqasm3.ast.DiscreteSet'>$"):
        DeclarationTidier()(OpenQasmProgram(ast.Program([declaration])))


@pytest.mark.parametrize(
    "program",
    [pytest.param(parser.parse("int x;"), id="tree-not-in-a-program"),
     pytest.param(OpenQasmProgram(ast.ClassicalDeclaration(ast.IntType(), ast.Identifier("x"), None)),
                  id="root-not-a-program-node")],
)
def test_tidier_asserts_its_input_and_output(program):
    with pytest.raises(AssertionError, match="^$"):
        DeclarationTidier()(program)


def test_tidier_skips_its_checks_under_optimisation(python_subprocess):
    output = python_subprocess(
        """
        from openqasm3 import ast
        from corvane.passes.code_generation.declaration_tidier import DeclarationTidier
        from corvane.programs import OpenQasmProgram
        node = ast.ClassicalDeclaration(ast.IntType(), ast.Identifier("x"), ast.IntegerLiteral(1))
        result = DeclarationTidier()(OpenQasmProgram(node))
        print([type(item).__name__ for item in result.ast])
        """,
        "-O",
    )
    assert output.split() == ["['ClassicalDeclaration',", "'ClassicalAssignment']"]
