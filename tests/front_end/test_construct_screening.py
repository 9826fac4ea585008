import pytest
from openqasm3 import ast, parser
from openqasm3.visitor import QASMVisitor

from corvane.configurations.build_options import BuildOptions
from corvane.passes.construct_screening import (
    AllowedConstructScreening,
    AllowedNodeTypesValidator,
    DisallowedNodeTypeException,
    InvalidFeatureException,
)
from corvane.passes.pipeline_phase import PipelinePhase, Validation, ValidationException
from corvane.programs import OpenQasmProgram, TextualProgram

EVERY_NODE_CLASS = frozenset(
    cls for cls in vars(ast).values() if isinstance(cls, type) and issubclass(cls, ast.QASMNode)
)


def every_class_but(*excluded):
    return set(EVERY_NODE_CLASS - set(excluded))


def screen(source, allowed):
    program = OpenQasmProgram(parser.parse(source))
    return program, AllowedNodeTypesValidator(allowed)(program)


def failing_node(source, allowed):
    with pytest.raises(DisallowedNodeTypeException) as caught:
        screen(source, allowed)
    return caught.value.node


def test_a_program_of_permitted_classes_passes_unchanged():
    source = "qubit[2] q; int x = 1; h q[0]; if (x == 1) { reset q[1]; } while (x < 3) { x = x + 1; }"
    program, result = screen(source, every_class_but())
    assert result is program and program.ast == parser.parse(source)


def test_an_empty_set_rejects_the_root():
    program = OpenQasmProgram(parser.parse("qubit q;"))
    with pytest.raises(DisallowedNodeTypeException) as caught:
        AllowedNodeTypesValidator(set())(program)
    error = caught.value
    assert error.node is program.ast and error.args == (program.ast,)
    assert isinstance(error, InvalidFeatureException) and isinstance(error, ValidationException)
    assert str(error) == (
        "Nodes of type <class 'openqasm3.ast.Program'> are not allowed, either because they are not"
        " supported or because they were removed during the compilation process."
    )


@pytest.mark.parametrize(
    "source, excluded, expected",
    [
        # The first of two failing statements is the one reported.
        ('int x; include "a.qasm"; include "b.qasm";', {ast.Include}, lambda t: t.statements[1]),
        # A failing statement is reported before a failing node inside it.
        ("if (f(1)) { }", {ast.BranchingStatement, ast.FunctionCall}, lambda t: t.statements[0]),
        # A permitted statement holding a disallowed expression fails with that expression.
        ("int x = f(1) + 2;", {ast.FunctionCall}, lambda t: t.statements[0].init_expression.lhs),
        # Field order: the left operand before the right one.
        ("int x = 1.5 + 2;", {ast.FloatLiteral, ast.IntegerLiteral}, lambda t: t.statements[0].init_expression.lhs),
        # The default block of a switch is screened.
        ("int s; switch (s) { case 1 { } default { f(2); } }", {ast.FunctionCall},
         lambda t: t.statements[1].default.statements[0].expression),
    ],
)
def test_the_first_failing_node_in_pre_order_is_reported(source, excluded, expected):
    program = OpenQasmProgram(parser.parse(source))
    with pytest.raises(DisallowedNodeTypeException) as caught:
        AllowedNodeTypesValidator(every_class_but(*excluded))(program)
    assert caught.value.node is expected(program.ast)


def test_case_values_and_bodies_are_not_screened():
    screen("int s; switch (s) { case f(1) { g(2); } }", every_class_but(ast.FunctionCall))


def test_the_set_is_held_not_copied():
    allowed = every_class_but()
    step = AllowedNodeTypesValidator(allowed)
    program = OpenQasmProgram(parser.parse("qubit q; reset q;"))
    step(program)
    allowed.discard(ast.QuantumReset)
    with pytest.raises(DisallowedNodeTypeException):
        step(program)
    allowed.add(ast.QuantumReset)
    assert step(program) is program


def test_the_set_may_change_during_a_walk():
    allowed = every_class_but(ast.QuantumReset)

    class Permitting(AllowedNodeTypesValidator):
        def visit_QubitDeclaration(self, node):
            allowed.add(ast.QuantumReset)

    Permitting(allowed)(OpenQasmProgram(parser.parse("qubit q; reset q;")))


def test_exact_classes_only():
    class Named(ast.Identifier):
        pass

    tree = ast.Program([ast.QuantumReset(Named("q"))])
    with pytest.raises(DisallowedNodeTypeException) as caught:
        AllowedNodeTypesValidator(every_class_but())(OpenQasmProgram(tree))
    assert type(caught.value.node) is Named


@pytest.mark.parametrize("value", [frozenset(), [ast.Program], None, type("SetKind", (set,), {})()])
def test_allowed_node_types_must_be_exactly_a_set(value):
    with pytest.raises(TypeError) as caught:
        AllowedNodeTypesValidator(value)
    assert str(caught.value) == (
        f"Argument 'allowed_node_types' has incorrect type (expected set, got {type(value).__name__})"
    )


@pytest.mark.parametrize("verdict", [None, False, 0, ""])
def test_general_screening_with_a_false_criterion(verdict):
    tree = parser.parse("qubit q;")
    with pytest.raises(InvalidFeatureException) as caught:
        AllowedConstructScreening(lambda node: verdict)(OpenQasmProgram(tree))
    assert type(caught.value) is InvalidFeatureException and caught.value.node is tree
    assert str(caught.value) == f"The node {tree} contains an invalid feature."


def test_criterion_errors_pass_unchanged():
    def criterion(node):
        raise LookupError("no verdict")

    with pytest.raises(LookupError, match="no verdict"):
        AllowedConstructScreening(criterion=criterion)(OpenQasmProgram(parser.parse("qubit q;")))


def test_a_tolerant_subclass_walks_on_into_the_failing_node():
    failed = []

    class Collecting(AllowedNodeTypesValidator):
        def _raise_exception(self, node):
            failed.append(type(node).__name__)

    program = OpenQasmProgram(parser.parse("qubit q; reset q;"))
    assert Collecting(every_class_but(ast.QuantumReset, ast.Identifier))(program) is program
    assert failed == ["Identifier", "QuantumReset", "Identifier"]


def test_generic_visit_passes_the_context_on():
    seen = []

    class Recording(AllowedConstructScreening):
        def visit_Identifier(self, node, context=None):
            seen.append(context)

    step = Recording(lambda node: True)
    assert step.generic_visit(parser.parse("qubit q;").statements[0], context="outer") is None
    step.generic_visit(node=parser.parse("qubit q;").statements[0])
    assert seen == ["outer", None]


def test_the_walk_starts_at_the_visit_entry():
    entered = []

    class Tracing(AllowedConstructScreening):
        def visit(self, node, context=None):
            entered.append(type(node).__name__)
            return super().visit(node, context)

    Tracing(bool)(OpenQasmProgram(parser.parse("qubit q;")))
    assert entered == ["Program", "QubitDeclaration", "Identifier"]


def test_step_kind_and_name():
    step = AllowedNodeTypesValidator(set())
    assert isinstance(step, Validation) and isinstance(step, QASMVisitor)
    assert step.name == "AllowedNodeTypesValidator"
    assert AllowedConstructScreening(bool).name == "AllowedConstructScreening"
    assert AllowedConstructScreening(bool).criterion is bool


def test_inside_a_phase_the_error_leaves_and_the_skip_pattern_skips():
    program = OpenQasmProgram(parser.parse("qubit q;"))
    phase = PipelinePhase((AllowedNodeTypesValidator(set()),), BuildOptions())
    with pytest.raises(DisallowedNodeTypeException):
        phase(program)
    skipping = PipelinePhase((AllowedNodeTypesValidator(set()),), BuildOptions(validations_to_skip="Allowed"))
    assert skipping(program) is program


def test_wrong_program_form(python_subprocess):
    with pytest.raises(AssertionError) as caught:
        AllowedNodeTypesValidator(set())(TextualProgram("qubit q;"))
    assert caught.value.args == ()
    out = python_subprocess(
        """
        from corvane.passes.construct_screening import AllowedNodeTypesValidator
        from corvane.programs import TextualProgram
        try:
            AllowedNodeTypesValidator(set())(TextualProgram("qubit q;"))
        except AttributeError:
            print("AttributeError")
        """,
        "-O",
    )
    assert out.split() == ["AttributeError"]
