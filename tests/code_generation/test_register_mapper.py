import pytest
from openqasm3 import ast, parser

from corvane.configurations.hardware_qubit import HardwareQubit, create_hardware_qubit
from corvane.configurations.machine_profile import MachineProfile
from corvane.passes.code_generation.register_mapper import (
    CallingUnsupportedQubitsException,
    MisusedQubitRegisterException,
    MultipleQubitDefinitionException,
    NotAQubitException,
    RegisterMapper,
    RegisterSizeException,
    TooManyRequiredQubitsException,
    _map_declared_qubits_to_explicit_qubits,
    _QubitsCollector,
    _QubitsResolver,
)
from corvane.passes.parsing.validators import RedeclarationException
from corvane.programs import OpenQasmProgram


def machine(*numbers):
    return MachineProfile({}, {n: (f"e{n}",) for n in numbers})


def mapped(codegen, source, profile=None):
    """The statements of `source` after the mapping, with hardware qubits bound first."""
    program = codegen.parsed(source)
    result = RegisterMapper(profile or machine(0, 1, 2, 3, 4))(program)
    assert isinstance(result, OpenQasmProgram) and result is not program and result.ast is program.ast
    return result.ast.statements


def operands(statement):
    return [qubit.name if isinstance(qubit, HardwareQubit) else ast.Identifier.__name__ + ":" + qubit.name
            for qubit in statement.qubits]


def test_worked_example(codegen):
    source = "qubit[2] a; qubit b; x $1; cx a[1], b; x a; x $1;"
    collector = _QubitsCollector()
    collector.visit(codegen.parsed(source).ast)
    assert collector.declaration_to_size == {"a": 2, "b": 1}
    assert list(collector.declaration_to_size) == ["a", "b"]
    assert collector.explicitly_stated_hardware_qubits == {1}
    mapping = _map_declared_qubits_to_explicit_qubits(
        collector.declaration_to_size, collector.explicitly_stated_hardware_qubits, machine(0, 1, 2, 3, 4))
    assert mapping == {"a": (0, 2), "b": (3,)}

    # the gate on the bare name a runs on each of a's qubits
    statements = mapped(codegen, source)
    assert [operands(s) for s in statements] == [["$1"], ["$2", "$3"], ["$0"], ["$2"], ["$1"]]
    assert [q.index for q in statements[1].qubits] == [2, 3]


@pytest.mark.parametrize(
    "sizes, explicit, numbers, expected",
    [
        ({}, set(), (), {}),
        ({"q": 5}, set(), (0, 1, 2, 3, 4), {"q": (0, 1, 2, 3, 4)}),
        ({"a": 1, "b": 2}, {0, 2}, (0, 1, 2, 3, 4), {"a": (1,), "b": (3, 4)}),
        ({"q": 2}, set(), (9, 2, 5), {"q": (2, 5)}),
        ({"z": 0, "a": 1}, set(), (3,), {"z": (), "a": (3,)}),
        ({"q": 1}, {4}, (4, 0), {"q": (0,)}),
    ],
)
def test_mapping(sizes, explicit, numbers, expected):
    given_sizes, given_explicit = dict(sizes), set(explicit)
    result = _map_declared_qubits_to_explicit_qubits(given_sizes, given_explicit, machine(*numbers))
    assert result == expected and list(result) == list(expected)
    assert given_sizes == sizes and given_explicit == explicit


@pytest.mark.parametrize(
    "sizes, explicit, numbers, error, text",
    [
        ({"q": 5}, {0}, (0, 1, 2, 3, 4), TooManyRequiredQubitsException,
         "This code requires 6, but the hardware support only 5 qubits."),
        # the count includes explicit qubits the machine lacks, and is tested first
        ({"q": 3}, {7}, (0, 1, 2), TooManyRequiredQubitsException,
         "This code requires 4, but the hardware support only 3 qubits."),
        ({}, {5}, (0, 1, 2), CallingUnsupportedQubitsException,
         "The explicitly called qubits ['$5'] are not supported by the system."),
        ({}, {1}, (), TooManyRequiredQubitsException, "This code requires 1, but the hardware support only 0 qubits."),
        ({"a": 2, "q": -1}, set(), (0, 1, 2), ValueError, "The qubit register 'q' is declared with the negative size -1."),
    ],
)
def test_mapping_errors(sizes, explicit, numbers, error, text):
    with pytest.raises(error) as raised:
        _map_declared_qubits_to_explicit_qubits(sizes, explicit, machine(*numbers))
    assert str(raised.value) == text


def test_mapping_errors_store_their_values():
    with pytest.raises(TooManyRequiredQubitsException) as too_many:
        _map_declared_qubits_to_explicit_qubits({"q": 3}, {7}, machine(0, 1, 2))
    assert (too_many.value.required_qubits, too_many.value.supported_qubits) == (4, 3)
    with pytest.raises(CallingUnsupportedQubitsException) as unsupported:
        _map_declared_qubits_to_explicit_qubits({}, {6, 5}, machine(0, 1, 2))
    assert unsupported.value.unsupported_qubits == {5, 6}
    assert str(unsupported.value) == "The explicitly called qubits ['$5', '$6'] are not supported by the system."


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: _map_declared_qubits_to_explicit_qubits([("q", 1)], set(), machine()),
         "Argument 'declaration_to_size' has incorrect type (expected dict, got list)"),
        (lambda: _map_declared_qubits_to_explicit_qubits({}, frozenset(), machine()),
         "Argument 'explicitly_stated_hardware_qubits' has incorrect type (expected set, got frozenset)"),
        (lambda: _QubitsResolver(None), "Argument 'qubits_mapping' has incorrect type (expected dict, got NoneType)"),
        (lambda: MultipleQubitDefinitionException(1), "Argument 'name' has incorrect type (expected str, got int)"),
        (lambda: CallingUnsupportedQubitsException([5]),
         "Argument 'unsupported_qubits' has incorrect type (expected set, got list)"),
        (lambda: TooManyRequiredQubitsException("3", 1),
         "Argument 'required_qubits' has incorrect type (expected int, got str)"),
        (lambda: TooManyRequiredQubitsException(3, None),
         "Argument 'supported_qubits' has incorrect type (expected int, got NoneType)"),
    ],
)
def test_declared_parameter_types(make, message):
    with pytest.raises(TypeError) as error:
        make()
    assert str(error.value) == message


def test_error_texts_follow_their_fields():
    duplicate = MultipleQubitDefinitionException("q")
    assert isinstance(duplicate, Exception) and duplicate.qubit_name == "q"
    assert str(duplicate) == "Multiple definition of same qubit: 'q'"
    too_many = TooManyRequiredQubitsException(4.9, True)
    assert (too_many.required_qubits, too_many.supported_qubits) == (4, 1)
    assert str(too_many) == "This code requires 4, but the hardware support only 1 qubits."
    too_many.required_qubits = 12
    assert str(too_many).startswith("This code requires 12,")


@pytest.mark.parametrize(
    "source, expected",
    [
        # a register without size holds one qubit
        ("qubit q; x q; x q[0];", [["$0"], ["$0"]]),
        # a gate on a bare register name runs on each of its qubits
        ("qubit[3] q; x q; x q[2];", [["$0"], ["$1"], ["$2"], ["$2"]]),
        # explicit qubits are never given to a register, wherever they stand
        ("qubit[2] q; x q[1]; x $0;", [["$2"], ["$0"]]),
        ("qubit[2] a; qubit[2] b; cx a[0], b[1]; cx b[0], a[1];", [["$0", "$3"], ["$2", "$1"]]),
        ("qubit[2] q; if (true) { x q[1]; } else { box { x q[0]; } }", []),
    ],
)
def test_rewriting(codegen, source, expected):
    statements = mapped(codegen, source)
    assert not any(isinstance(s, ast.QubitDeclaration) for s in statements)
    assert [operands(s) for s in statements if isinstance(s, ast.QuantumGate)] == expected


def test_blocks_are_rewritten(codegen):
    [branch] = mapped(codegen, "qubit[2] q; if (true) { x q[1]; } else { box { x q[0]; } }")
    assert operands(branch.if_block[0]) == ["$1"]
    assert operands(branch.else_block[0].body[0]) == ["$0"]


def without_alignments(lines):
    return [line for line in lines if not line.lstrip().startswith("align")]


MEASURED_INTO_C = [
    "declare bool[2] v1 = [false, false]",
    'declare bool v2 = measure("readout", "xy0")', "v1[0] = v2",
    'declare bool v3 = measure("readout", "xy1")', "v1[1] = v3",
]


@pytest.mark.parametrize(
    "source, expected",
    [
        # an operation on registers runs once per qubit index, single qubits as given
        ("qubit[3] q; x q;", ['play("x", "xy0")', 'play("x", "xy1")', 'play("x", "xy2")']),
        ("qubit[2] q; rx(0.5) q;", ['frame_rotation(0.5, "xy0")', 'frame_rotation(0.5, "xy1")']),
        ("qubit[2] a; qubit[2] b; cx a, b;",
         ['play("cx", "xy0")', 'play("cx_target", "xy2")', 'play("cx", "xy1")', 'play("cx_target", "bus")']),
        ("qubit c; qubit[2] a; cx c, a;",
         ['play("cx", "xy0")', 'play("cx_target", "xy1")', 'play("cx", "xy0")', 'play("cx_target", "xy2")']),
        ("qubit[2] a; cx a, $4;",
         ['play("cx", "xy0")', 'play("cx_target", "bus")', 'play("cx", "xy1")', 'play("cx_target", "bus")']),
        ("qubit[2] q; reset q;", ['play("reset", "xy0")', 'play("reset", "xy1")']),
        # a barrier, a delay or a global phase covers all the qubits in one statement
        ("qubit[3] q; barrier q;", ['wait(0, "xy0", "xy1", "xy2")']),
        ("qubit[2] q; delay[8ns] $4, q;", ['wait(2, "bus", "xy0", "xy1")']),
        ("qubit[2] q; gphase(0.5) q;", ['frame_rotation(0.5, "xy0", "xy1")']),
        # qubit i is measured into bit i, in every form of the measurement
        ("qubit[2] q; bit[2] c; c = measure q;", MEASURED_INTO_C),
        ("qubit[2] q; bit[2] c; measure q -> c;", MEASURED_INTO_C),
        ("qubit[2] q; bit[2] c = measure q;", MEASURED_INTO_C),
        ("qubit[2] q; measure q;",
         ['declare bool v1 = measure("readout", "xy0")', 'declare bool v2 = measure("readout", "xy1")']),
        # a register of one qubit is that qubit
        ("qubit q; bit c; x q; reset q; barrier q; c = measure q;",
         ["declare bool v1 = false", 'play("x", "xy0")', 'play("reset", "xy0")', 'wait(0, "xy0")',
          'declare bool v2 = measure("readout", "xy0")', "v1 = v2"]),
        ("qubit[1] q; qubit r; cx q, r;", ['play("cx", "xy0")', 'play("cx_target", "xy1")']),
        ("qubit q; qubit[2] r; cx q, r;",
         ['play("cx", "xy0")', 'play("cx_target", "xy1")', 'play("cx", "xy0")', 'play("cx_target", "xy2")']),
        # inside blocks too
        ("qubit[2] q; for int i in {1} { x q; }",
         ["declare int v1 = 0", "for v1 in [1]:", '    play("x", "xy0")', '    play("x", "xy1")']),
    ],
)
def test_a_register_operand_means_each_of_its_qubits(codegen, source, expected):
    assert without_alignments(codegen.lowered(source)) == expected


@pytest.mark.parametrize(
    "source, message",
    [
        ("qubit[2] a; qubit[3] b; cx a, b;",
         "Cannot broadcast 'cx' over registers of different sizes: 'a' has 2 qubits, 'b' has 3 qubits."),
        ("qubit[2] a; qubit[3] b; cx b, a;",
         "Cannot broadcast 'cx' over registers of different sizes: 'b' has 3 qubits, 'a' has 2 qubits."),
        # a declared register of one qubit is a register still
        ("qubit[1] q; qubit[2] r; cx q, r;",
         "Cannot broadcast 'cx' over registers of different sizes: 'q' has 1 qubit, 'r' has 2 qubits."),
        # one qubit into a register of another size
        ("qubit q; bit[2] c; c = measure q;", "Cannot measure the single qubit 'q' into 'c', which holds 2 bits."),
        ("qubit[2] q; bit[3] c; c = measure q[1];",
         "Cannot measure the single qubit 'q[1]' into 'c', which holds 3 bits."),
        ("qubit[2] q; bit[3] c; c = measure q;",
         "Cannot measure the 2 qubits of register 'q' into 'c', which holds 3 bits."),
        ("qubit[3] q; bit[2] c = measure q;",
         "Cannot measure the 3 qubits of register 'q' into 'c', which holds 2 bits."),
        ("qubit[2] q; bit c; measure q -> c;",
         "Cannot measure the 2 qubits of register 'q' into 'c', which holds a single value."),
        ("qubit[2] q; bit[2] c; c[0] = measure q;", "Cannot measure the 2 qubits of register 'q' into one bit of 'c'."),
    ],
)
def test_registers_of_different_sizes_are_refused(codegen, source, message):
    with pytest.raises(RegisterSizeException) as error:
        codegen.lower(source)
    assert issubclass(RegisterSizeException, ValueError)
    assert str(error.value) == message


def test_a_measurement_takes_the_size_of_the_latest_declaration(codegen):
    program = codegen.parsed("qubit[2] q; bit c; bit[2] d; d = measure q; { bit[2] c; c = measure q; }")
    statements = RegisterMapper(machine(0, 1))(program).ast.statements
    assert [(s.target.name.name, s.target.indices[0][0].value, s.measure.qubit.name)
            for s in statements[2:4]] == [("d", 0, "$0"), ("d", 1, "$1")]
    assert [s.target.indices[0][0].value for s in statements[4].statements[1:]] == [0, 1]


def test_a_register_measured_in_an_initialiser_before_the_split(codegen):
    # the mapping may run before the initialisers are split off
    statements = RegisterMapper(machine(0, 1))(codegen.parsed("qubit[2] q; bit[2] c = measure q;")).ast.statements
    declaration, *measurements = statements
    assert type(declaration) is ast.ClassicalDeclaration and declaration.init_expression is None
    assert [(type(m).__name__, m.target.name.name, m.target.indices[0][0].value, m.measure.qubit.name)
            for m in measurements] == [
        ("QuantumMeasurementStatement", "c", 0, "$0"), ("QuantumMeasurementStatement", "c", 1, "$1")]
    with pytest.raises(ValueError, match="^Cannot measure the 2 qubits of register 'q' into 'c', which holds 3 bits"):
        RegisterMapper(machine(0, 1))(codegen.parsed("qubit[2] q; bit[3] c = measure q;"))


def test_switch_cases_keep_their_references_and_their_qubits_are_not_counted(codegen):
    # the machine has one qubit: $4 inside the case is neither counted nor tested
    statements = mapped(codegen, "qubit q; int i; switch (i) { case 1 { x q; x $4; } default { x q; } }",
                        machine(0))
    switch = statements[-1]
    [(_, body)] = switch.cases
    assert [operands(s) for s in body.statements] == [["Identifier:q"], ["$4"]]
    assert operands(switch.default.statements[0]) == ["$0"]


@pytest.mark.parametrize(
    "source, used_as",
    [
        # the walk meets a register's name only where no qubit operand stands
        ("qubit[2] x; x x[1];", "a gate"),
        ("qubit q; int i; i = q;", "a classical variable"),
        ("qubit[2] q; bit c; c = q[1];", "a classical variable"),
        ("qubit q; qubit r; r = measure q;", "a classical variable"),
        ("qubit q; rx(q) $1;", "a classical variable"),
    ],
)
def test_a_register_name_that_stands_for_no_operand_is_refused(codegen, source, used_as):
    with pytest.raises(MisusedQubitRegisterException) as error:
        mapped(codegen, source)
    name = error.value.register_name
    assert name in ("x", "q", "r") and error.value.used_as == used_as
    assert str(error.value) == (f"The qubit register '{name}' is used as {used_as}; a qubit is only an operand"
                                " of a gate, measure, reset, barrier, delay or gphase.")


@pytest.mark.parametrize("source", ["qubit q; for int q in [0:1] { }", "qubit[2] q; for bit q in {0, 1} { }"])
def test_a_loop_variable_under_a_registers_name_declares_it_twice(codegen, source):
    with pytest.raises(RedeclarationException) as error:
        mapped(codegen, source)
    assert str(error.value) == ("'q' is declared twice, as a qubit and as a classical variable; a name is declared"
                                " once in its scope.")


@pytest.mark.parametrize(
    "source, operand, operation, classical",
    [
        ("h q;", "q", "h", False),
        ("bit c; reset c;", "c", "reset", True),
        ("qubit q; bit[2] c; x q, c[1];", "c[1]", "x", True),
        ("qubit q; int i; c = measure i;", "i", "measure", True),
        ("qubit q; bit c = measure r;", "r", "measure", False),
        ("qubit q; barrier q, z;", "z", "barrier", False),
        ("qubit q; delay[8ns] q, z;", "z", "delay", False),
        ("qubit q; gphase(0.5) z;", "z", "gphase", False),
        ("qubit q; for int i in [0:1] { x i; }", "i", "x", True),
        ("qubit[2] q; input float f; x f;", "f", "x", True),
    ],
)
def test_an_operand_that_is_no_qubit_is_refused_by_name(codegen, source, operand, operation, classical):
    with pytest.raises(NotAQubitException) as error:
        mapped(codegen, source)
    assert error.value.operation == operation and error.value.classical is classical
    name = operand.split("[")[0]
    why = f"'{name}' is a classical variable." if classical else f"no qubit register '{name}' is declared."
    assert str(error.value) == f"'{operand}', an operand of '{operation}', is not a qubit: {why}"


def test_an_operand_that_is_no_name_is_refused_with_what_stands_there(codegen):
    program = codegen.parsed("qubit q;")
    program.ast.statements.append(ast.QuantumGate([], ast.Identifier("x"), [], [ast.FloatLiteral(0.5)]))
    with pytest.raises(NotAQubitException, match=r"^An operand of 'x' is not a qubit: 0\.5\.$"):
        RegisterMapper(machine(0))(program)


def test_names_left_alone(codegen):
    # an unbound `$` name is neither collected nor rewritten; other arrays are not registers
    tree = parser.parse("qubit q; bit[2] c; x $3; c[1] = measure q;")
    result = RegisterMapper(machine(0))(OpenQasmProgram(tree)).ast.statements
    assert type(result[1].qubits[0]) is ast.Identifier and result[1].qubits[0].name == "$3"
    assert type(result[2].target) is ast.IndexedIdentifier and result[2].target.name.name == "c"
    assert result[2].measure.qubit.name == "$0"


@pytest.mark.parametrize("index, qubit", [(-1, "$2"), (-3, "$0"), (-4, None)])
def test_a_negative_literal_index_counts_from_the_register_end(codegen, index, qubit):
    program = codegen.parsed("qubit[3] q;")
    program.ast.statements.append(ast.QuantumGate([], ast.Identifier("x"), [], [
        ast.IndexedIdentifier(ast.Identifier("q"), [[ast.IntegerLiteral(index)]])]))
    if qubit is None:
        with pytest.raises(IndexError, match=f"^Index {index} is out of range for the qubit register 'q' of 3"):
            RegisterMapper(machine(0, 1, 2, 3))(program)
        return
    gate = RegisterMapper(machine(0, 1, 2, 3))(program).ast.statements[-1]
    assert operands(gate) == [qubit]


@pytest.mark.parametrize(
    "source, error, message",
    [
        ("qubit q; qubit q;", MultipleQubitDefinitionException, "^Multiple definition of same qubit: 'q'$"),
        ("qubit q; qubit[n] q;", MultipleQubitDefinitionException, "^Multiple definition of same qubit: 'q'$"),
        ("qubit[n] q;", AssertionError,
         "^No expression size is allowed: the size 'n' of the qubit register 'q' is not a constant integer.$"),
        ("qubit[6] q;", TooManyRequiredQubitsException, "^This code requires 6,"),
        ("x $7;", CallingUnsupportedQubitsException, r"^The explicitly called qubits \['\$7'\]"),
    ],
)
def test_errors_before_the_rewriting_leave_the_tree_untouched(codegen, source, error, message):
    program = codegen.parsed(source)
    before = repr(program.ast)
    with pytest.raises(error, match=message):
        RegisterMapper(machine(0, 1, 2, 3, 4))(program)
    assert repr(program.ast) == before


@pytest.mark.parametrize(
    "source, error, message",
    [
        ("qubit[2] q; x q[0][1];", AssertionError,
         r"^Only 1-length indexing is allowed: 'q\[0\]\[1\]' indexes the qubit register 'q' 2 times\.$"),
        ("qubit[2] q; x q[0, 1];", AssertionError,
         r"^Only single index is supported: 'q\[0, 1\]' gives the qubit register 'q' 2 indices\.$"),
        ("qubit[2] q; x q[0:1];", NotImplementedError, r"^Slices of qubit registers are not lowered: 'q\[0:1\]'\.$"),
        ("qubit[2] q; reset q[:];", NotImplementedError, r"^Slices of qubit registers are not lowered: 'q\[:\]'\.$"),
        ("qubit[2] q; bit[2] c; c = measure q[0:1:1];", NotImplementedError,
         r"^Slices of qubit registers are not lowered: 'q\[0:1:1\]'\.$"),
        ("qubit[2] q; barrier q[{0, 1}];", NotImplementedError,
         r"^Index sets of qubit registers are not lowered: 'q\[\{0, 1\}\]'\.$"),
        ("qubit[2] q; bit[2] c; c[0:1] = measure q[0];", NotImplementedError,
         r"^Slices are not lowered as the target of a measurement: 'c\[0:1\]'\.$"),
        # written in the source, a negative index is an expression
        ("qubit[2] q; x q[-1];", AssertionError,
         r"^Only explicit qubit pointers are supported: 'q\[-1\]' indexes the qubit register 'q' from its end,"),
        ("qubit[2] q; int i; x q[i];", AssertionError,
         r"^Only explicit qubit pointers are supported: 'q\[i\]' indexes the qubit register 'q' by an expression,"),
        ("qubit[2] q; x q[2];", IndexError, r"^Index 2 is out of range for the qubit register 'q' of 2 qubits\.$"),
        ("qubit[1] q; x q[1];", IndexError, r"^Index 1 is out of range for the qubit register 'q' of 1 qubit\.$"),
        ("qubit[0] q; x q;", IndexError, "^The qubit register 'q' is declared with size 0 and holds no qubit.$"),
        ("qubit[0] q; x q[0];", IndexError, r"^Index 0 is out of range for the qubit register 'q' of 0 qubits\.$"),
    ],
)
def test_rewriting_errors_leave_what_was_rewritten_before(codegen, source, error, message):
    program = codegen.parsed("qubit p; x p; " + source)
    with pytest.raises(error, match=message):
        RegisterMapper(machine(0, 1, 2, 3, 4))(program)
    assert operands(program.ast.statements[1]) == ["$0"]


def test_step(codegen):
    profile = machine(0)
    step = RegisterMapper(profile)
    assert step.name == "RegisterMapper" and step._machine_profile is profile
    with pytest.raises(AssertionError, match="^$"):
        step(codegen.parsed("qubit q;").ast)
    empty = codegen.parsed("int i; i = 1;")
    before = repr(empty.ast)
    assert repr(RegisterMapper(machine())(empty).ast) == before


def test_a_register_program_with_explicit_qubits_end_to_end(codegen):
    program = codegen.generate("qubit[2] q; bit[2] c; x $0; cx q[0], q[1]; c[1] = measure q[1]; reset q;")
    # $0 is taken, so q is ($1, $2)
    assert codegen.lines(program) == [
        "declare bool[2] v1 = [false, false]",
        'align("ro0", "xy0")',
        'play("x", "xy0")',
        'align("ro0", "xy0")',
        'align("xy1", "xy2")',
        'play("cx", "xy1")',
        'play("cx_target", "xy2")',
        'align("xy1", "xy2")',
        'declare bool v2 = measure("readout", "xy2")',
        "v1[1] = v2",
        'play("reset", "xy1")',
        'play("reset", "xy2")',
    ]


def test_index_checks_hold_under_optimisation(python_subprocess):
    # Skipped, they would map `q[1][0]` to `q[1]` and `qubit[n] q` to whatever `n` holds.
    output = python_subprocess(
        """
        from openqasm3 import parser
        from corvane.configurations.machine_profile import MachineProfile
        from corvane.passes.code_generation.register_mapper import RegisterMapper
        from corvane.programs import OpenQasmProgram

        for source in ("qubit[2] q; x q[1][0];", "qubit[2] q; x q[true];", "qubit[2.0] q;",
                       "qubit[2] q; x q[0:1];", "bit c; reset c;", "qubit q; int i = q;"):
            try:
                RegisterMapper(MachineProfile({}, {0: (), 1: ()}))(OpenQasmProgram(parser.parse(source)))
            except Exception as error:
                print(type(error).__name__, error)
        """,
        "-O",
    )
    assert output.splitlines() == [
        "AssertionError Only 1-length indexing is allowed: 'q[1][0]' indexes the qubit register 'q' 2 times.",
        "AssertionError Only explicit qubit pointers are supported: 'q[true]' indexes the qubit register 'q'"
        " by an expression, not by an integer literal.",
        "AssertionError No expression size is allowed: the size '2.0' of the qubit register 'q' is not a constant"
        " integer.",
        "NotImplementedError Slices of qubit registers are not lowered: 'q[0:1]'.",
        "NotAQubitException 'c', an operand of 'reset', is not a qubit: 'c' is a classical variable.",
        "MisusedQubitRegisterException The qubit register 'q' is used as a classical variable; a qubit is only an"
        " operand of a gate, measure, reset, barrier, delay or gphase.",
    ]
