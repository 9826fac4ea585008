from openqasm3 import ast, parser

from corvane.passes.initializer_splitter import ClassicalDeclarationInitializerSplitter
from corvane.passes.node_census import NodeCensus, count_node_types


def test_counts_every_node_by_exact_class_pre_order():
    tree = parser.parse("int x = 1 + 2;")
    counts = count_node_types(tree)
    assert counts[ast.Program] == 1
    assert counts[ast.IntegerLiteral] == 2
    assert counts[ast.IODeclaration] == 0
    assert counts[ast.Expression] == 0


def test_lone_node():
    assert dict(count_node_types(ast.Identifier("x"))) == {ast.Identifier: 1}


def test_shared_nodes_count_twice_and_case_bodies_not_at_all():
    tree = parser.parse("int x = 1; switch (x) { case 1 { int y; } }")
    ClassicalDeclarationInitializerSplitter().visit(tree)
    counts = count_node_types(tree)
    # x in the declaration, in the assignment and as the switch target.
    assert counts[ast.Identifier] == 3
    assert counts[ast.ClassicalDeclaration] == 1


def test_census_state_and_generic_visit():
    census = NodeCensus()
    assert dict(census.counter) == {}
    assert census.generic_visit(ast.Identifier("a"), context="ignored") is None
    assert census.counter[ast.Identifier] == 1


def test_python_subclass_handlers_take_over():
    class SkipExpressions(NodeCensus):
        def visit_BinaryExpression(self, node):
            return None

    census = SkipExpressions()
    census.visit(parser.parse("int x = 1 + 2;"))
    assert census.counter[ast.IntegerLiteral] == 0
