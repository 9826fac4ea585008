import pytest
from openqasm3 import ast, parser
from openqasm3.visitor import QASMVisitor

from corvane.configurations.build_options import BuildOptions
from corvane.configurations.hardware_qubit import HardwareQubit
from corvane.passes.construct_screening import AllowedNodeTypesValidator, DisallowedNodeTypeException
from corvane.passes.parsing import ParsingPass
from corvane.passes.parsing.exceptions import ParsingException
from corvane.passes.parsing.hardware_qubit_binder import HardwareQubitBinder
from corvane.passes.parsing.include_expander import DeepInclusionError, IncludeExpander
from corvane.passes.parsing.node_screening import AllowedNodeTypesValidatorWithCases
from corvane.passes.parsing.source_canonicalizer import SourceCanonicalizer
from corvane.passes.parsing.syntax_tree_reader import GrammarParserException, SyntaxTreeReader
from corvane.passes.parsing.validators import RedeclarationException
from corvane.passes.permitted_nodes import INITIALLY_PERMITTED_NODES
from corvane.passes.pipeline_phase import PipelinePhase
from corvane.programs import OpenQasmProgram, TextualProgram


class Identifiers(QASMVisitor):
    """Collects every identifier-like node the generic walk reaches, case bodies included."""

    def __init__(self):
        self.found = []

    def visit_Identifier(self, node):
        self.found.append(node)

    def visit_HardwareQubit(self, node):
        self.found.append(node)

    def visit_SwitchStatement(self, node):
        self.generic_visit(node)
        for _, body in node.cases:
            self.visit(body)


def identifiers(tree):
    collector = Identifiers()
    collector.visit(tree)
    return collector.found


def run(source, **options):
    return ParsingPass(BuildOptions(**options))(TextualProgram(source))


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def test_includes_are_expanded_canonicalised_and_bound(workdir):
    (workdir / "lib.qasm").write_text("int counter = 0; bit flag; h $2;")
    result = run('OPENQASM 2.0; include "lib.qasm"; float phi = 0.5; rx(phi) $0; measure $1;')
    assert type(result) is OpenQasmProgram
    tree = result.ast
    kinds = [type(s).__name__ for s in tree.statements]
    assert kinds == [
        "IODeclaration", "ClassicalAssignment", "IODeclaration", "QuantumGate",
        "IODeclaration", "ClassicalAssignment", "QuantumGate", "QuantumMeasurementStatement",
    ]
    declared = [s for s in tree.statements if type(s) is ast.IODeclaration]
    assert [d.identifier.name for d in declared] == ["counter", "flag", "phi"]
    assert all(d.io_identifier is ast.IOKeyword.output for d in declared)
    bound = [node for node in identifiers(tree) if node.name.startswith("$")]
    assert [(type(n), n.index) for n in bound] == [(HardwareQubit, 2), (HardwareQubit, 0), (HardwareQubit, 1)]
    assert tree.version == "3.0"


@pytest.mark.parametrize(
    "included, kinds",
    [
        # An included output leaves every declaration as it is.
        ("output int gain;", [(ast.ClassicalDeclaration, None), (ast.IODeclaration, ast.IOKeyword.output)]),
        # An included input stays an input beside the outputs that the declarations become.
        ("input int gain;", [(ast.IODeclaration, ast.IOKeyword.output), (ast.ClassicalAssignment, None),
                             (ast.IODeclaration, ast.IOKeyword.input)]),
    ],
)
def test_the_io_rule_sees_the_declarations_of_included_files(workdir, included, kinds):
    (workdir / "io.qasm").write_text(included)
    tree = run('int x = 1; include "io.qasm";').ast
    assert [(type(s), getattr(s, "io_identifier", None)) for s in tree.statements] == kinds


def test_phase_composition():
    phase = ParsingPass(BuildOptions(max_inclusion_depth=7))
    assert isinstance(phase, PipelinePhase) and phase.name == "ParsingPass"
    assert [type(step) for step in phase.steps] == [
        SyntaxTreeReader, IncludeExpander, SourceCanonicalizer, HardwareQubitBinder,
        AllowedNodeTypesValidatorWithCases,
    ]
    assert phase.steps[1].max_depth == 7 and phase.steps[1].name == "IncludeExpander"


@pytest.mark.parametrize("depth, fails", [(0, True), (1, False)])
def test_the_inclusion_depth_comes_from_the_build_options(workdir, depth, fails):
    (workdir / "a.qasm").write_text("int a;")
    if fails:
        with pytest.raises(DeepInclusionError):
            run('include "a.qasm";', max_inclusion_depth=depth)
    else:
        assert len(run('include "a.qasm";', max_inclusion_depth=depth).ast.statements) == 1


def test_a_syntax_error_leaves_the_phase_as_grammar_parser_exception():
    with pytest.raises(GrammarParserException) as caught:
        run("qubit q; h q")
    assert type(caught.value.__cause__) is parser.QASM3ParsingError


@pytest.mark.parametrize(
    "source",
    [
        "qubit q; play(1, 2); foo();",
        "duration d = 100ns; stretch s; qubit q; delay[d] q;",
        "gate g(theta) a, b { rx(theta) a; cx a, b; } qubit[2] q; g(0.5) q[0], q[1];",
        "const int n = 4; const float t = pi / n; qubit[n] q; rz(t) q[0];",
        "qubit[3] q; bit[3] c; c = measure q;",
        "int i = 0; while (i < 3) { i += 1; } for int k in [0:2:6] { if (k == 2) { i = i * 2; } }",
        "int s = 1; switch (s) { case 0, 1 { h $0; } default { x $1; } }",
        "array[int[32], 3] a = {1, 2, 3}; a[1] = 5; int m = a[0];",
    ],
)
def test_programs_the_later_phases_compile_are_not_refused(source):
    tree = run(source).ast
    assert isinstance(tree, ast.Program)


def test_the_phase_output_passes_the_initial_screening_that_its_input_fails(workdir):
    (workdir / "body.qasm").write_text("int n = 1; reset $0;")
    source = 'include "body.qasm"; bit b = measure $1;'
    with pytest.raises(DisallowedNodeTypeException) as caught:
        AllowedNodeTypesValidator(INITIALLY_PERMITTED_NODES)(SyntaxTreeReader()(TextualProgram(source)))
    assert type(caught.value.node) is ast.Include
    result = run(source)
    assert AllowedNodeTypesValidator(INITIALLY_PERMITTED_NODES)(result) is result


def test_the_phase_runs_without_assertions(python_subprocess):
    out = python_subprocess(
        """
        from corvane.configurations.build_options import BuildOptions
        from corvane.passes.parsing import ParsingPass
        from corvane.programs import TextualProgram
        tree = ParsingPass(BuildOptions())(TextualProgram("OPENQASM 2; int x = 2; h $4;")).ast
        print(tree.version, type(tree.statements[0]).__name__, tree.statements[2].qubits[0].index)
        """,
        "-O",
    )
    assert out.split() == ["3.0", "IODeclaration", "4"]


def test_parsing_errors_and_the_redeclaration_error():
    assert issubclass(ParsingException, Exception)
    assert ParsingException().args == ()
    assert issubclass(GrammarParserException, ParsingException)
    node = parser.parse("const int n = 1;").statements[0]
    error = RedeclarationException(node, "n")
    assert isinstance(error, Exception)
    assert (error.node, error.name, error.args) == (node, "n", (node, "n"))
    assert "n" in str(error)
