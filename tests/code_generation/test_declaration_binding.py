import pytest
from openqasm3 import ast, parser
from vk import vyr

from corvane.passes.code_generation.declaration_tidier import DeclarationTidier
from corvane.passes.code_generation.initial_value_inference import UnsupportedTypeException
from corvane.passes.code_generation.input_binding import (
    DeclarationResolvingStep,
    DeclarationsResolver,
    UnsupportedTypeError,
    VyrDeclaration,
)
from corvane.passes.node_census import count_node_types
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


# --- binding ---------------------------------------------------------------------


def bind(tree):
    result = DeclarationResolvingStep()(OpenQasmProgram(tree))
    assert isinstance(result, OpenQasmProgram) and result.ast is tree
    return tree


def describe(declaration):
    wrapper = declaration.var
    return (declaration.is_input, declaration.is_output, type(wrapper).__name__, wrapper.name, wrapper.dtype,
            getattr(wrapper, "size", None))


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        (("a", ast.IntType()), {}, (False, False, "VyrSlot", "a", int, None)),
        (("a", ast.IntType(), 1), {}, (True, False, "VyrSlot", "a", int, None)),
        (("c", ast.BitType(ast.IntegerLiteral(3))), {"is_output": "yes"}, (False, True, "VyrBitRegister", "c", bool, 3)),
        ((), {"name": "f", "node_type": ast.BoolType(), "is_input": 0, "is_output": []},
         (False, False, "VyrSlot", "f", bool, None)),
    ],
)
def test_vyr_declaration_holds_flags_and_a_fresh_wrapper(args, kwargs, expected):
    declaration = VyrDeclaration(*args, **kwargs)
    assert describe(declaration) == expected
    assert type(declaration.is_input) is bool and type(declaration.is_output) is bool
    assert list(vars(declaration)) == ["is_input", "is_output", "var"]


def test_vyr_declaration_is_a_statement_record_whose_walk_finds_nothing():
    declaration = VyrDeclaration("x", ast.IntType())
    assert isinstance(declaration, ast.Statement) and type(declaration).__name__ == "VyrDeclaration"
    assert repr(declaration).startswith("VyrDeclaration(span=None, is_input=False, is_output=False, var=")
    assert declaration == declaration and declaration != VyrDeclaration("x", ast.IntType())
    declaration.is_output = True  # a mutable record
    tree = ast.Program([declaration])
    assert dict(count_node_types(tree)) == {ast.Program: 1, VyrDeclaration: 1}


def test_vyr_declaration_checks_the_name_before_the_typing():
    with pytest.raises(TypeError, match=r"^Argument 'name' has incorrect type \(expected str, got NoneType\)$"):
        VyrDeclaration(None, ast.AngleType())
    with pytest.raises(UnsupportedTypeException):
        VyrDeclaration("t", ast.AngleType())


def test_binding_replaces_reached_declarations():
    tree = tidy(
        """
        input int[32] a;
        output bit[3] c;
        int x = 5;
        qubit q;
        bit m = measure q;
        const int k = 3;
        if (true) { float y; } else { bool z; }
        while (true) { bit[2] w; }
        switch (x) { case 1 { int s = 2; } default { uint d; } }
        """
    )
    bind(tree)
    statements = tree.statements
    assert kinds(statements) == [
        "VyrDeclaration", "VyrDeclaration", "VyrDeclaration", "ClassicalAssignment", "QubitDeclaration",
        "VyrDeclaration", "QuantumMeasurementStatement", "ConstantDeclaration", "BranchingStatement",
        "WhileLoop", "SwitchStatement"]
    assert describe(statements[0]) == (True, False, "VyrSlot", "a", int, None)
    assert describe(statements[1]) == (False, True, "VyrBitRegister", "c", bool, 3)
    assert describe(statements[2]) == (False, False, "VyrSlot", "x", int, None)
    assert statements[3].lvalue.name == "x" and statements[6].target.name == "m"
    branch, loop, switch = statements[8:]
    assert describe(branch.if_block[0])[2:5] == ("VyrSlot", "y", vyr.fixed)
    assert describe(branch.else_block[0])[2:5] == ("VyrSlot", "z", bool)
    assert describe(loop.block[0]) == (False, False, "VyrBitRegister", "w", bool, 2)
    assert describe(switch.default.statements[0])[3] == "d"
    (untouched,) = switch.cases[0][1].statements
    assert type(untouched) is ast.ClassicalDeclaration and untouched.init_expression.value == 2


def test_binding_leaves_a_tree_without_declarations_as_it_is():
    source = "qubit q; h q; if (true) { x q; }"
    tree = bind(parser.parse(source))
    assert tree == parser.parse(source)


def test_binding_stops_at_a_refused_declaration():
    tree = parser.parse("if (true) { int a; } input angle[8] t; int b;")
    with pytest.raises(UnsupportedTypeException, match="^When declaring 't' got type "):
        bind(tree)
    assert kinds(tree.statements[0].if_block) == ["VyrDeclaration"]  # finished before the failure
    assert type(tree.statements[2]) is ast.ClassicalDeclaration  # never reached


def test_binding_expects_tidied_declarations():
    with pytest.raises(AssertionError, match="^In this step, the we should receive no init expression.$"):
        bind(parser.parse("int x = 5;"))


def test_binding_refuses_an_unknown_io_keyword():
    node = parser.parse("input int a;").statements[0]
    node.io_identifier = "inout"
    with pytest.raises(UnsupportedTypeError, match="^Unknown IO identifier - inout$") as caught:
        bind(ast.Program([node]))
    assert caught.value.node is node
    assert str(UnsupportedTypeError(parser.parse("output bit b;").statements[0])) == (
        "Unknown IO identifier - IOKeyword.output")


def test_resolver_is_a_transformer_with_the_two_handlers():
    resolver = DeclarationsResolver()
    declaration = resolver.visit_IODeclaration(parser.parse("output float f;").statements[0])
    assert describe(declaration)[:4] == (False, True, "VyrSlot", "f")
    assert resolver.visit(parser.parse("bool b;").statements[0]).var.name == "b"


def test_binding_step_is_named_after_its_class_and_asserts_its_input():
    assert DeclarationResolvingStep().name == "DeclarationResolvingStep"
    with pytest.raises(AssertionError, match="^$"):
        DeclarationResolvingStep()(parser.parse("int x;"))


def test_binding_drops_a_leftover_initialiser_under_optimisation(python_subprocess):
    output = python_subprocess(
        """
        from openqasm3 import parser
        from corvane.passes.code_generation.input_binding import DeclarationResolvingStep
        from corvane.programs import OpenQasmProgram
        tree = DeclarationResolvingStep()(OpenQasmProgram(parser.parse("int x = 5;"))).ast
        print([type(s).__name__ for s in tree.statements], tree.statements[0].var.name)
        """,
        "-O",
    )
    assert output.strip() == "['VyrDeclaration'] x"
