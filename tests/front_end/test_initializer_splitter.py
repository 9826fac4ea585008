import copy
import pathlib

import pytest
from openqasm3 import ast, parser
from openqasm3.visitor import QASMTransformer

from corvane.passes.initializer_splitter import ClassicalDeclarationInitializerSplitter

CORPUS = pathlib.Path(__file__).parents[1] / "data" / "openqasm-examples"


def split(source):
    tree = parser.parse(source)
    assert ClassicalDeclarationInitializerSplitter().visit(tree) is tree
    return tree


def test_declaration_without_initialiser_is_rebuilt():
    tree = parser.parse("int x;")
    old = tree.statements[0]
    ClassicalDeclarationInitializerSplitter().visit(tree)
    (new,) = tree.statements
    assert new is not old and type(new) is ast.ClassicalDeclaration
    assert new.type is old.type and new.identifier is old.identifier and new.init_expression is None


def test_expression_initialiser_becomes_an_assignment_sharing_the_identifier():
    tree = parser.parse("int x = 5;")
    literal = tree.statements[0].init_expression
    ClassicalDeclarationInitializerSplitter().visit(tree)
    declaration, assignment = tree.statements
    assert type(assignment) is ast.ClassicalAssignment
    assert assignment.lvalue is declaration.identifier
    assert assignment.op is ast.AssignmentOperator["="]
    assert assignment.rvalue is literal


def test_measurement_initialiser_becomes_a_measurement_statement():
    tree = parser.parse("qubit q; bit c = measure q;")
    measurement = tree.statements[1].init_expression
    ClassicalDeclarationInitializerSplitter().visit(tree)
    _, declaration, statement = tree.statements
    assert type(statement) is ast.QuantumMeasurementStatement
    assert statement.measure is measurement and statement.target is declaration.identifier


def test_array_literal_initialiser_is_assigned():
    tree = split("array[int[8], 2] a = {1, 2};")
    assert type(tree.statements[1].rvalue) is ast.ArrayLiteral


def test_nested_blocks_are_split_but_case_bodies_are_not():
    tree = split(
        """
        int x;
        if (x == 1) { int y = 1; } else { while (true) { float z = 2.0; } }
        switch (x) { case 1 { int w = 2; } default { int v = 3; } }
        """
    )
    branch, switch = tree.statements[1], tree.statements[2]
    assert len(branch.if_block) == 2
    assert len(branch.else_block[0].block) == 2
    assert tree.statements[2].cases[0][1].statements[0].init_expression is not None
    assert len(switch.default.statements) == 2


def test_other_declarations_are_left_alone():
    source = "const int n = 4; input int a; output bit b;"
    tree = split(source)
    assert tree == parser.parse(source)


def test_a_second_walk_changes_nothing_but_the_declaration_objects():
    tree = split("qubit q; int x = 5; bit c = measure q; if (true) { float f = 1.0; }")
    after_first = copy.deepcopy(tree)
    declaration = tree.statements[1]
    split_again = ClassicalDeclarationInitializerSplitter().visit(tree)
    assert split_again == after_first
    assert tree.statements[1] is not declaration and tree.statements[1].identifier is declaration.identifier


def test_unsupported_initialiser():
    tree = parser.parse("int x;")
    tree.statements[0].init_expression = ast.Include("f")
    with pytest.raises(NotImplementedError) as error:
        ClassicalDeclarationInitializerSplitter().visit(tree)
    assert str(error.value) == "Unsupported init type - <class 'openqasm3.ast.Include'>"


def test_hook_is_called_through_the_instance():
    class Outputs(ClassicalDeclarationInitializerSplitter):
        @staticmethod
        def _get_new_declaration_node(node):
            return ast.IODeclaration(ast.IOKeyword.output, node.type, node.identifier)

    tree = parser.parse("int x = 1;")
    Outputs().visit(tree)
    assert type(tree.statements[0]) is ast.IODeclaration


class ReferenceSplitter(QASMTransformer):
    """The same rule written against the library's own Python walk."""

    def visit_ClassicalDeclaration(self, node):
        result = [ast.ClassicalDeclaration(node.type, node.identifier)]
        if isinstance(node.init_expression, ast.Expression):
            result.append(ast.ClassicalAssignment(node.identifier, ast.AssignmentOperator["="], node.init_expression))
        elif node.init_expression is not None:
            result.append(ast.QuantumMeasurementStatement(node.init_expression, node.identifier))
        return result


@pytest.mark.parametrize("path", sorted(CORPUS.glob("*.qasm")), ids=lambda p: p.name)
def test_matches_the_library_walk_on_the_corpus(path):
    tree = parser.parse(path.read_text())
    reference = copy.deepcopy(tree)
    ClassicalDeclarationInitializerSplitter().visit(tree)
    ReferenceSplitter().visit(reference)
    assert tree == reference


class TestWalkSemantics:
    """The C++ walk keeps the library's transformer semantics for subclasses."""

    def test_python_handlers_of_a_subclass_are_used(self):
        class DropResets(ClassicalDeclarationInitializerSplitter):
            def visit_QuantumReset(self, node):
                return None

            def visit_QuantumBarrier(self, node):
                return [node, node]

        tree = parser.parse("qubit q; reset q; barrier q; int x = 1;")
        DropResets().visit(tree)
        kinds = [type(s).__name__ for s in tree.statements]
        assert kinds == ["QubitDeclaration", "QuantumBarrier", "QuantumBarrier",
                         "ClassicalDeclaration", "ClassicalAssignment"]

    def test_lists_are_rewritten_in_place(self):
        tree = parser.parse("int x = 1;")
        statements = tree.statements
        ClassicalDeclarationInitializerSplitter().visit(tree)
        assert tree.statements is statements and len(statements) == 2

    def test_absent_result_for_a_field_deletes_it_like_the_library(self):
        class DropCondition(ClassicalDeclarationInitializerSplitter):
            def visit_BinaryExpression(self, node):
                return None

        tree = parser.parse("int x; if (x == 1) { x = 2; }")
        with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
            DropCondition().visit(tree)

    def test_an_overridden_visit_is_honoured(self):
        seen = []

        class Spy(ClassicalDeclarationInitializerSplitter):
            def visit(self, node, context=None):
                seen.append(type(node).__name__)
                return super().visit(node, context)

        Spy().visit(parser.parse("int x = 1;"))
        assert seen == ["Program", "ClassicalDeclaration"]

    def test_context_is_passed_only_when_true(self):
        contexts = []

        class WithContext(ClassicalDeclarationInitializerSplitter):
            def visit_Identifier(self, node, context=None):
                contexts.append(context)
                return node

        WithContext().visit(parser.parse("qubit q; reset q;"), context={"k": 1})
        WithContext().visit(parser.parse("qubit q;"), context={})
        assert {"k": 1} in contexts and None in contexts

    def test_deep_trees_raise_recursion_error_instead_of_crashing(self):
        node = ast.Identifier("x")
        for _ in range(100_000):
            node = ast.UnaryExpression(ast.UnaryOperator["-"], node)
        with pytest.raises(RecursionError):
            ClassicalDeclarationInitializerSplitter().visit(node)
