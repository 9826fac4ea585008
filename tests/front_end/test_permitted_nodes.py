import pytest
from openqasm3 import ast, parser

from corvane.configurations.hardware_qubit import HardwareQubit, create_hardware_qubit
from corvane.passes import permitted_nodes
from corvane.passes.construct_screening import AllowedNodeTypesValidator, DisallowedNodeTypeException
from corvane.passes.permitted_nodes import INITIALLY_PERMITTED_NODES
from corvane.programs import OpenQasmProgram

LIBRARY_CLASSES = """
    Program QuantumGateDefinition IODeclaration ConstantDeclaration QuantumGate QuantumPhase QuantumReset
    DelayInstruction QuantumBarrier ClassicalDeclaration ClassicalAssignment QuantumMeasurement
    QuantumMeasurementStatement BinaryExpression UnaryExpression BitstringLiteral BooleanLiteral
    IntegerLiteral FloatLiteral BitType IntType Identifier DurationLiteral BranchingStatement WhileLoop
    ForInLoop DiscreteSet RangeDefinition IndexExpression IndexedIdentifier QubitDeclaration FloatType
    UintType BoolType Cast SwitchStatement CompoundStatement ArrayType ArrayLiteral ArrayReferenceType Box
""".split()


def test_the_initial_set():
    assert type(INITIALLY_PERMITTED_NODES) is set
    assert INITIALLY_PERMITTED_NODES == {getattr(ast, name) for name in LIBRARY_CLASSES} | {HardwareQubit}
    assert len(INITIALLY_PERMITTED_NODES) == 42
    assert permitted_nodes.INITIALLY_PERMITTED_NODES is INITIALLY_PERMITTED_NODES


@pytest.mark.parametrize("name", ["Include", "FunctionCall", "DurationType", "StretchType", "ExpressionStatement"])
def test_classes_left_out(name):
    assert getattr(ast, name) not in INITIALLY_PERMITTED_NODES


def screen(tree):
    program = OpenQasmProgram(tree)
    assert AllowedNodeTypesValidator(INITIALLY_PERMITTED_NODES)(program) is program


def test_a_program_of_permitted_constructs_passes():
    tree = parser.parse(
        """
        OPENQASM 3.0;
        qubit[2] q;
        bit[2] c;
        int[8] n = 2;
        float[32] f = -1.5;
        bool b = true;
        h q[0];
        cx q[0], q[1];
        reset q[1];
        barrier q;
        delay[100ns] q[0];
        c[0] = measure q[0];
        if (b) { x q[1]; } else { n = n + 1; }
        while (n < 4) { n = n * 2; }
        for int i in [0:2] { rz(f) q[0]; }
        for int j in {1, 3} { box { y q[0]; } }
        switch (n) { case 1 { h q[0]; } default { h q[1]; } }
        """
    )
    tree.statements.append(ast.QuantumReset(create_hardware_qubit(3)))
    screen(tree)


def test_an_include_statement_fails_the_initial_set():
    tree = parser.parse('qubit q; include "x.qasm"; f(1);')
    with pytest.raises(DisallowedNodeTypeException) as caught:
        screen(tree)
    assert caught.value.node is tree.statements[1]
    assert "<class 'openqasm3.ast.Include'>" in str(caught.value)


def test_only_hardware_qubit_among_identifier_subclasses():
    class Alias(ast.Identifier):
        pass

    screen(ast.Program([ast.QuantumReset(create_hardware_qubit(0))]))
    with pytest.raises(DisallowedNodeTypeException):
        screen(ast.Program([ast.QuantumReset(Alias("q"))]))
