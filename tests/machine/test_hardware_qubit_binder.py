import copy
import pathlib
import re

import pytest
from openqasm3 import ast, parser
from openqasm3.visitor import QASMTransformer, QASMVisitor

from corvane.configurations.hardware_qubit import HardwareQubit
from corvane.passes.parsing.hardware_qubit_binder import HardwareQubitBinder, HardwareQubitsTransformer
from corvane.passes.pipeline_phase import Step
from corvane.programs import OpenQasmProgram, TextualProgram

CORPUS = pathlib.Path(__file__).parents[1] / "data" / "openqasm-examples"

SWITCH = """
switch ($1) {
  case $2, 3 {
    x $007;
    switch (a) { case 1 { y $4; } default { z $5; } }
  }
  default { h $6; }
}
"""


def bind(source):
    tree = parser.parse(source)
    HardwareQubitBinder()(OpenQasmProgram(tree))
    return tree


class Names(QASMVisitor):
    """Collects identifier and hardware-qubit names that the library's walk reaches."""

    def __init__(self):
        self.identifiers, self.hardware = [], []

    def visit_Identifier(self, node):
        self.identifiers.append(node.name)

    def visit_HardwareQubit(self, node):
        self.hardware.append((node.name, node.index))


def names(tree):
    visitor = Names()
    visitor.visit(tree)
    return visitor


class TestIdentifierRule:
    @pytest.mark.parametrize(
        "name, name_after, index",
        [
            ("$0", "$0", 0),
            ("$00", "$0", 0),
            ("$12", "$12", 12),
            ("$007", "$7", 7),
            ("$" + "9" * 25, "$" + "9" * 25, int("9" * 25)),
        ],
    )
    def test_hardware_names_become_nodes(self, name, name_after, index):
        node = ast.Identifier(name)
        node.span = ast.Span(1, 0, 1, 3)
        bound = HardwareQubitsTransformer().visit_Identifier(node)
        assert type(bound) is HardwareQubit
        assert (bound.name, bound.index, bound.span) == (name_after, index, None)

    @pytest.mark.parametrize(
        "name", ["$", "$1a", "$-1", "$+1", "a$1", " $1", "$1 ", "", "q", "$1.0", "$\u0661", "$12\n", "$\uff11"]
    )
    def test_other_names_give_back_the_same_node(self, name):
        node = ast.Identifier(name)
        assert HardwareQubitsTransformer().visit_Identifier(node=node) is node

    def test_a_name_that_is_no_text_is_refused(self):
        with pytest.raises(TypeError):
            HardwareQubitsTransformer().visit_Identifier(ast.Identifier(None))

    def test_bound_operands_replace_the_identifiers(self):
        tree = bind("qubit q; x $007; cx q, $12; c = measure $3; reset $0;")
        gate, cx, measure, reset = tree.statements[1:]
        assert gate.qubits == [HardwareQubit("$7", 7)]
        assert cx.qubits == [ast.Identifier("q"), HardwareQubit("$12", 12)]
        assert type(cx.qubits[0]) is ast.Identifier
        assert measure.measure.qubit == HardwareQubit("$3", 3)
        assert reset.qubits == HardwareQubit("$0", 0)


class TestSwitchStatements:
    def test_target_bodies_and_default_are_bound_but_not_case_values(self):
        switch = bind(SWITCH).statements[0]
        assert switch.target == HardwareQubit("$1", 1)
        (values, body), = switch.cases
        assert type(values[0]) is ast.Identifier and values[0].name == "$2"
        gate, inner = body.statements
        assert gate.qubits == [HardwareQubit("$7", 7)]
        assert inner.cases[0][1].statements[0].qubits == [HardwareQubit("$4", 4)]
        assert inner.default.statements[0].qubits == [HardwareQubit("$5", 5)]
        assert switch.default.statements[0].qubits == [HardwareQubit("$6", 6)]

    def test_cases_list_stays_with_new_pairs_around_the_old_value_lists(self):
        switch = parser.parse(SWITCH).statements[0]
        cases, (pair,) = switch.cases, switch.cases
        HardwareQubitsTransformer().visit(switch)
        assert switch.cases is cases
        assert type(switch.cases[0]) is tuple and switch.cases[0] is not pair
        assert switch.cases[0][0] is pair[0] and switch.cases[0][1] is pair[1]

    def test_case_bodies_are_visited_through_the_instance_visit(self):
        seen = []
        transformer = HardwareQubitsTransformer()
        transformer.visit = lambda node, context=None: seen.append(type(node).__name__) or node
        switch = parser.parse("switch (a) { case 1 { x $1; } }").statements[0]
        HardwareQubitsTransformer.visit_SwitchStatement(transformer, switch)
        assert seen == ["Identifier", "CompoundStatement"]

    def test_results_of_subclass_handlers_follow_the_list_rules(self):
        class Rewriter(HardwareQubitsTransformer):
            def visit_QuantumGate(self, node):
                if node.name.name == "drop":
                    return None
                if node.name.name == "twice":
                    return [node, copy.deepcopy(node)]
                return self.generic_visit(node)

        switch = parser.parse("switch (a) { case 1 { drop $1; twice $2; keep $3; } }").statements[0]
        Rewriter().visit(switch)
        (_, body), = switch.cases
        assert [(gate.name.name, gate.qubits) for gate in body.statements] == [
            ("twice", [ast.Identifier("$2")]),
            ("twice", [ast.Identifier("$2")]),
            ("keep", [HardwareQubit("$3", 3)]),
        ]

    def test_absent_results_drop_tuple_elements_and_delete_node_fields(self):
        class DropBlocks(HardwareQubitsTransformer):
            def visit_CompoundStatement(self, node):
                return None

        switch = parser.parse("switch ($1) { case 1 { x $2; } default { y $3; } }").statements[0]
        values = switch.cases[0][0]
        DropBlocks().visit(switch)
        assert switch.cases == [(values,)]
        assert "default" not in vars(switch)
        assert switch.target == HardwareQubit("$1", 1)

    def test_errors_inside_a_case_pass_unchanged(self):
        class Failing(HardwareQubitsTransformer):
            def visit_QuantumGate(self, node):
                raise KeyError(node.name.name)

        with pytest.raises(KeyError, match="inner"):
            Failing().visit(parser.parse("switch (a) { case 1 { inner $1; } }"))


class TestBinderStep:
    def test_is_a_step_named_after_its_class(self):
        binder = HardwareQubitBinder()
        assert isinstance(binder, Step) and binder.name == "HardwareQubitBinder"

    def test_returns_a_new_program_around_the_same_edited_tree(self):
        tree = parser.parse("x $0;")
        program = OpenQasmProgram(tree)
        result = HardwareQubitBinder()(program)
        assert type(result) is OpenQasmProgram and result is not program
        assert result.ast is tree
        assert tree.statements[0].qubits == [HardwareQubit("$0", 0)]

    def test_a_second_run_changes_nothing(self):
        tree = bind(SWITCH + "cx $0, q;")
        before = copy.deepcopy(tree)
        nodes = [tree.statements[1].qubits[0], tree.statements[0].target]
        HardwareQubitBinder()(OpenQasmProgram(tree))
        assert tree == before
        assert [tree.statements[1].qubits[0], tree.statements[0].target] == nodes
        assert tree.statements[1].qubits[0] is nodes[0] and tree.statements[0].target is nodes[1]

    def test_identifier_handlers_never_see_bound_nodes(self):
        found = names(bind("cx $1, q; rx(theta) $02;"))
        assert sorted(found.identifiers) == ["cx", "q", "rx", "theta"]
        assert found.hardware == [("$1", 1), ("$2", 2)]

    def test_refuses_other_program_forms(self):
        with pytest.raises(AssertionError) as error:
            HardwareQubitBinder()(TextualProgram("x $0;"))
        assert error.value.args == ()

    @pytest.mark.parametrize("path", sorted(CORPUS.glob("*.qasm")), ids=lambda path: path.name)
    def test_example_programs_keep_no_hardware_names_unbound(self, path):
        try:
            tree = parser.parse(path.read_text())
        except Exception:
            pytest.skip("not accepted by the parser")
        before = names(tree)
        HardwareQubitBinder()(OpenQasmProgram(tree))
        after = names(tree)
        hardware_names = [name for name in before.identifiers if re.fullmatch(r"\$[0-9]+", name)]
        assert [name for name, _ in after.hardware] == [f"${int(name[1:])}" for name in hardware_names]
        assert after.identifiers == [name for name in before.identifiers if name not in hardware_names]
