import collections
import types

import pytest
from openqasm3 import ast, parser
from vk import vyr
from vk.vyr.type_hints import ScalarOfAnyType

import corvane.passes.code_generation as code_generation
from corvane.configurations.build_options import BuildOptions
from corvane.configurations.hardware_qubit import create_hardware_qubit
from corvane.configurations.instruction_registry import UnresolvableOperation
from corvane.configurations.machine_profile import NotSupportedQubits
from corvane.passes.code_generation.declaration_tidier import DeclarationTidier
from corvane.passes.code_generation.input_binding import DeclarationResolvingStep
from corvane.passes.code_generation.output_persister import OutputPersister
from corvane.passes.code_generation.register_mapper import RegisterMapper
from corvane.passes.code_generation.target_lowering import (
    CodeGeneration,
    CodeGenerationVisitor,
    MissingInputException,
    _align_if_needed,
    classical_function_mapping,
)
from corvane.passes.parsing.validators import DeclarationPlacementException
from corvane.passes.utils import is_inside_scope
from corvane.programs import OpenQasmProgram, UndeclaredVariableReferenceException, Vyr1Program
from corvane.vyr_slot import IndexingVariableException, NoStreamVariableException

ALIGN_0 = 'align("ro0", "xy0")'


# --- operations -------------------------------------------------------------------


@pytest.mark.parametrize(
    "source, expected",
    [
        # one qubit driving two elements is aligned, one element is not
        ("x $0;", [ALIGN_0, 'play("x", "xy0")', ALIGN_0]),
        ("x $1;", ['play("x", "xy1")']),
        ("inv @ x $1;", ['play("x", "xy1")']),
        ("ctrl @ rx(0.5) $2;", ['frame_rotation(0.5, "xy2")']),
        # two qubits sharing one element need no alignment
        ("cx $3, $4;", ['play("cx", "bus")', 'play("cx_target", "bus")']),
        ("cx $1, $2;",
         ['align("xy1", "xy2")', 'play("cx", "xy1")', 'play("cx_target", "xy2")', 'align("xy1", "xy2")']),
        ("cx $2, $0;",
         ['align("ro0", "xy0", "xy2")', 'play("cx", "xy2")', 'play("cx_target", "xy0")',
          'align("ro0", "xy0", "xy2")']),
        ("barrier;", ["wait(0)"]),
        ("barrier $1, $2;", ['align("xy1", "xy2")', 'wait(0, "xy1", "xy2")', 'align("xy1", "xy2")']),
        ("delay[100ns];", ["wait(25)"]),
        ("delay[1us] $1;", ['wait(250, "xy1")']),
        ("gphase(0.5);", ["frame_rotation(0.5)"]),
        ("reset $0;", [ALIGN_0, 'play("reset", "xy0")', ALIGN_0]),
        ("measure $1;", ['declare bool v1 = measure("readout", "xy1")']),
        # a function call that is not a mapped math function is an operation
        ("tan(2);", ["wait(2)"]),
        ("tan(1) + tan(2 * 3);", ["wait(1)", "wait(6)"]),
    ],
)
def test_operations_are_called_between_alignments_of_their_elements(codegen, source, expected):
    assert codegen.lowered(source) == expected


def test_operation_arguments_are_translated_against_declared_variables(codegen):
    assert codegen.lowered("float t; rx(t * 2) $1; tan(t);") == [
        "declare fixed v1 = 0.0",
        'frame_rotation(v1 * 2, "xy1")',
        "wait(v1)",
    ]


def test_a_failing_implementation_leaves_the_first_alignment_only(codegen):
    def broken(q):
        raise RuntimeError("no pulse")

    profile = codegen.profile({**codegen.operations, "x q;": broken})
    with vyr.program() as scope:
        with pytest.raises(RuntimeError, match="^no pulse$"):
            codegen.lower("rx(1) $1; x $0; rx(2) $1;", profile=profile)
    assert str(scope._program).splitlines() == ['frame_rotation(1, "xy1")', ALIGN_0]


def test_resolution_errors_pass_through(codegen):
    with pytest.raises(UnresolvableOperation, match="^Not found relevant operation for "):
        codegen.lower("h $1;")
    with pytest.raises(UnresolvableOperation, match="^Not found relevant operation for "):
        codegen.lower("sinh(1);")
    assert not is_inside_scope()


def test_mapped_math_function_translates_and_calls_without_the_profile(codegen, monkeypatch):
    calls = []
    monkeypatch.setitem(classical_function_mapping, "sin", lambda *args: calls.append(args) or "result")
    assert codegen.lowered("float f; sin(f + 1);") == ["declare fixed v1 = 0.0"]
    [(argument,)] = calls
    assert str(argument) == "v1 + 1"


def test_function_call_handler_returns_the_result():
    visitor = CodeGenerationVisitor(None, Vyr1Program(None), {}, _is_inside_scope=True)
    call = parser.parse("sqrt(4);").statements[0].expression
    assert str(visitor.visit_FunctionCall(call)) == "sqrt(4)"


def test_classical_function_mapping_holds_the_sdk_functions():
    assert list(classical_function_mapping.items()) == [
        ("sqrt", vyr.Math.sqrt),
        ("exp", vyr.Math.exp),
        ("log", vyr.Math.ln),
        ("sin", vyr.Math.sin),
        ("cos", vyr.Math.cos),
        ("arctan", vyr.Math.atan),
    ]


@pytest.mark.parametrize(
    "elements, expected",
    [((), ""), (("a",), ""), (("b", "a"), 'align("b", "a")'), (("a", "b", "c"), 'align("a", "b", "c")')],
)
def test_align_if_needed(elements, expected):
    with vyr.program() as scope:
        assert _align_if_needed(*elements) is None
    assert str(scope._program) == expected


# --- the visitor's operations ------------------------------------------------------


def visitor(profile=None):
    return CodeGenerationVisitor(profile, Vyr1Program(None), {}, _is_inside_scope=True)


def test_visitor_fields():
    program, inputs, profile = Vyr1Program(None), {"a": 1}, object()
    built = CodeGenerationVisitor(profile, program, inputs, _is_inside_scope=1)
    assert list(vars(built).items()) == [
        ("_machine_profile", profile),
        ("_context", program),
        ("_inputs", inputs),
        ("_is_inside_scope", True),
        ("_underscore_counter", 0),
        ("_scopes", [{}]),  # the program's own scope, where the blocks' scopes will nest
    ]
    assert built._context is program and built._inputs is inputs


def test_get_qubit_indices():
    qubits = [create_hardware_qubit(3), create_hardware_qubit(1), create_hardware_qubit(3)]
    assert CodeGenerationVisitor.get_qubit_indices(qubits) == (3, 1, 3)
    assert CodeGenerationVisitor.get_qubit_indices([]) == ()
    with pytest.raises(AssertionError, match="^Only hardware qubits are lowered; qubit registers are not mapped"):
        CodeGenerationVisitor.get_qubit_indices([create_hardware_qubit(1), ast.Identifier("q")])


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda v: v.get_qubit_indices((create_hardware_qubit(1),)),
         "Argument 'qubits' has incorrect type (expected list, got tuple)"),
        (lambda v: v.run_operation(ast.Identifier("x"), []),
         "Argument 'name' has incorrect type (expected str, got Identifier)"),
        (lambda v: v.run_operation("x", (create_hardware_qubit(1),)),
         "Argument 'qubits' has incorrect type (expected list, got tuple)"),
        (lambda v: v._run_block_in_context(vyr.if_, (), True),
         "Argument 'block' has incorrect type (expected list, got tuple)"),
    ],
)
def test_declared_parameter_types(codegen, call, message):
    with pytest.raises(TypeError) as error:
        call(visitor(codegen.profile()))
    assert str(error.value) == message


def test_run_operation_translates_before_it_reads_the_qubits(codegen):
    with pytest.raises(UndeclaredVariableReferenceException):
        visitor(codegen.profile()).run_operation("rx", [ast.Identifier("q")], ast.Identifier("t"))


def test_run_operation_returns_the_implementations_result(codegen):
    with vyr.program() as scope:
        result = visitor(codegen.profile()).run_operation("measure", [create_hardware_qubit(0)])
        assert visitor(codegen.profile()).run_operation("x", [create_hardware_qubit(1)]) is None
    assert str(result) == "v1"
    assert str(scope._program).splitlines()[1] == 'declare bool v1 = measure("readout", "xy0")'


def test_unsupported_qubits_pass_through(codegen):
    with vyr.program():
        with pytest.raises(NotSupportedQubits):
            visitor(codegen.profile()).run_operation("x", [create_hardware_qubit(9)])


# --- declarations and input values --------------------------------------------------


@pytest.mark.parametrize(
    "source, inputs, expected",
    [
        ("input int n;", None, ["declare input stream int n = 0", "advance input stream n"]),
        ("input int n;", {"n": None}, ["declare input stream int n = 0", "advance input stream n"]),
        ("input int n;", {"n": 5}, ["declare int v1 = 0", "v1 = 5"]),
        ("input int n;", {"n": 0}, ["declare int v1 = 0", "v1 = 0"]),
        ("input bool b;", {"b": False}, ["declare bool v1 = false", "v1 = false"]),
        ("input bit[2] c;", {"c": [True, False]},
         ["declare bool[2] v1 = [false, false]", "v1[0] = true", "v1[1] = false"]),
        ("output int r;", None, ["declare stream s1", "declare int v1 = 0"]),
        ("output int r;", {"r": 2}, ["declare int v1 = 0", "v1 = 2"]),
        ("int p;", None, ["declare int v1 = 0"]),
        ("int p;", {"p": 4, "unknown": 1}, ["declare int v1 = 0", "v1 = 4"]),
        # values are assigned right after their own declaration
        ("int p; int q = 3; float f;", {"p": 1, "f": 0.5},
         ["declare int v1 = 0", "v1 = 1", "declare int v2 = 0", "v2 = 3", "declare fixed v3 = 0.0", "v3 = 0.5"]),
        # only entries the map holds count, never defaults it would make up
        ("input int n; int p;", collections.defaultdict(lambda: 7, n=1),
         ["declare int v1 = 0", "v1 = 1", "declare int v2 = 0"]),
        ("int p;", types.MappingProxyType({"p": 9}), ["declare int v1 = 0", "v1 = 9"]),
    ],
)
def test_declarations(codegen, source, inputs, expected):
    assert codegen.lowered(source, inputs) == expected


def test_inputs_and_outputs_are_listed_whether_or_not_they_have_a_value(codegen):
    program = codegen.lower("input int a; output int r; input int b; int p;", {"b": 1, "r": 2})
    assert program.inputs == ["a", "b"] and program.outputs == ["r"]
    assert [key.name for key in program.variables_db] == ["a", "r", "b", "p"]


def test_outputs_are_saved_into_their_streams_after_the_lowering(codegen):
    program = codegen.generate("output int r; output bit c; int p; r = p + 1; c = measure $1;")
    assert codegen.lines(program) == [
        "declare stream s1",
        "declare int v1 = 0",
        "declare stream s2",
        "declare bool v2 = false",
        "declare int v3 = 0",
        "v1 = v3 + 1",
        'declare bool v4 = measure("readout", "xy1")',
        "v2 = v4",
        "save v1 to s1",
        "save v2 to s2",
        "stream processing:",
        '    s1.save_all("r")',
        '    s2.save_all("c")',
    ]
    assert not is_inside_scope()


def test_an_output_given_a_value_has_no_stream_to_save_into(codegen):
    with pytest.raises(NoStreamVariableException, match=r"^No stream variable was declared for r\.$"):
        codegen.generate("output int r;", {"r": 1})


def test_emitting_into_the_callers_scope(codegen):
    with vyr.program() as scope:
        program = codegen.generate("input int n; output int r; int p; r = n;", {"n": 1})
        assert is_inside_scope()
    # no stream of any kind, and nothing saved
    assert str(scope._program).splitlines() == [
        "declare int v1 = 0",
        "v1 = 1",
        "declare int v2 = 0",
        "declare int v3 = 0",
        "v2 = v1",
    ]
    assert program._program is None
    with pytest.raises(AttributeError):
        program.dsl_program


def test_a_missing_input_in_the_callers_scope(codegen):
    with vyr.program() as scope:
        with pytest.raises(MissingInputException) as error:
            codegen.lower("int p; input int n; x $1;", {"p": 2})
    assert str(error.value) == "The input n was not provided to the compiler"
    assert error.value.node.var.name == "n" and error.value.node.is_input
    assert str(scope._program).splitlines() == ["declare int v1 = 0", "v1 = 2"]


@pytest.mark.parametrize("source, kind", [("{ input int n; }", "an input"),
                                          ("output int r; { { output int n; } }", "an output")])
def test_an_input_or_output_in_a_block_of_a_tree_the_parsing_phase_did_not_see_is_refused(codegen, source, kind):
    # The lowering is given the tree as the parser left it: no canonicalisation refused the declaration.
    with pytest.raises(DeclarationPlacementException) as error:
        codegen.lower(source)
    assert str(error.value) == (f"'n' is declared as {kind} in a block; {kind} is declared only in the program's"
                                " global scope, outside every block.")


def test_missing_input_exception_stores_its_node():
    node = types.SimpleNamespace(var=types.SimpleNamespace(name="k"))
    error = MissingInputException(node)
    assert isinstance(error, Exception) and error.node is node and error.args == (node,)
    assert str(error) == "The input k was not provided to the compiler"


# --- assignments and measurements --------------------------------------------------------


@pytest.mark.parametrize(
    "source, expected",
    [
        ("int i; i = 2 * 3;", ["declare int v1 = 0", "v1 = 6"]),
        ("int i; int j; j = i * 2;", ["declare int v1 = 0", "declare int v2 = 0", "v2 = v1 * 2"]),
        ("array[int, 3] a; int i; a[i + 1] = 4;",
         ["declare int[3] v1 = [0, 0, 0]", "declare int v2 = 0", "v1[v2 + 1] = 4"]),
        ("bit c; c = measure $1;",
         ["declare bool v1 = false", 'declare bool v2 = measure("readout", "xy1")', "v1 = v2"]),
        ("bit[3] c; c[2] = measure $1;",
         ["declare bool[3] v1 = [false, false, false]", 'declare bool v2 = measure("readout", "xy1")',
          "v1[2] = v2"]),
        ("bit m = measure $2;",
         ["declare bool v1 = false", 'declare bool v2 = measure("readout", "xy2")', "v1 = v2"]),
    ],
)
def test_assignments(codegen, source, expected):
    assert codegen.lowered(source) == expected


@pytest.mark.parametrize(
    "source, error, message",
    [
        ("bit[2] c; c[0][1] = 1;", AssertionError, r"^Only 1-dimensional arrays are supported\.$"),
        ("bit[2] c; c[0, 1] = 1;", AssertionError, r"^Only single index is supported\.$"),
        ("int i; i += 1;", AssertionError, "^Only regular assignment is supported$"),
        ("j = 1;", UndeclaredVariableReferenceException, r"^The variable VariableSignature\(name='j'\) does not exit\.$"),
        ("int i; i[0] = 1;", IndexingVariableException, '^The variable "i" is not an array'),
    ],
)
def test_assignment_errors(codegen, source, error, message):
    with pytest.raises(error, match=message):
        codegen.lower(source)
    assert not is_inside_scope()


def test_unexpected_assignment_target():
    with pytest.raises(ValueError) as error:
        visitor()._assign_to_target(ast.IntegerLiteral(1), 1)
    assert str(error.value) == "Unexpected target type - <class 'openqasm3.ast.IntegerLiteral'>"


def test_a_measurement_implementation_must_return_a_value(codegen):
    profile = codegen.profile({"measure q;": lambda q: None})
    with pytest.raises(AssertionError, match="^The measure implementation of the machine profile returned no value$"):
        codegen.lower("measure $1;", profile=profile)


def test_unsupported_input_is_refused_under_optimisation_too(python_subprocess):
    # Skipped, these checks would lower `i += 2` as `i = 2` and `c[1, 0]` as `c[1]`.
    output = python_subprocess(
        """
        from openqasm3 import parser
        from corvane.configurations.build_options import BuildOptions
        from corvane.configurations.machine_profile import MachineProfile
        from corvane.passes.code_generation import Vyr1GenerationPass
        from corvane.passes.parsing.hardware_qubit_binder import HardwareQubitBinder
        from corvane.programs import OpenQasmProgram

        profile = MachineProfile({"measure q;": lambda q: None}, {1: ("a",)})
        for source in ("int i; i += 2;", "bit[2] c; c[1, 0] = 1;", "bit[2] c; c[1][0] = 1;"):
            result = HardwareQubitBinder()(OpenQasmProgram(parser.parse(source)))
            try:
                for step in Vyr1GenerationPass(profile, BuildOptions(), None).steps[:4]:
                    result = step(result)
            except AssertionError as error:
                print(error)
        """,
        "-O",
    )
    assert output.splitlines() == [
        "Only regular assignment is supported",
        "Only single index is supported.",
        "Only 1-dimensional arrays are supported.",
    ]


# --- the step ----------------------------------------------------------------------------


def test_an_empty_program(codegen):
    phase = code_generation.Vyr1GenerationPass(codegen.profile(), BuildOptions(), None)
    for tree in (ast.Program(statements=[]), parser.parse("OPENQASM 3.0;")):
        program = phase(OpenQasmProgram(tree))
        assert isinstance(program, Vyr1Program)
        assert len(program.variables_db) == 0 and str(program.dsl_program) == ""
    assert not is_inside_scope()


def test_step_settings(codegen):
    profile, inputs = codegen.profile(), {"x": 1}
    step = CodeGeneration(profile, inputs)
    assert step.name == "CodeGeneration" and step._machine_profile is profile and step._inputs is inputs
    empty = {}
    for given in (None, empty):
        step = CodeGeneration(profile, given)
        assert step._inputs == {} and step._inputs is not empty
    assert CodeGeneration(profile)._inputs == {}


def test_step_takes_only_syntax_tree_programs(codegen):
    with pytest.raises(AssertionError, match="^$"):
        CodeGeneration(codegen.profile())(Vyr1Program(None))


def test_the_scope_is_left_when_the_walk_fails(codegen):
    with pytest.raises(UndeclaredVariableReferenceException):
        codegen.lower("if (flag) { x $1; }")
    assert not is_inside_scope()
    assert codegen.lowered("x $1;") == ['play("x", "xy1")']


def test_generation_phase(codegen):
    profile = codegen.profile()
    phase = code_generation.Vyr1GenerationPass(profile, BuildOptions(), {"n": 1})
    assert phase.name == "Vyr1GenerationPass"
    assert [type(step) for step in phase.steps] == [
        DeclarationTidier, DeclarationResolvingStep, RegisterMapper, CodeGeneration, OutputPersister]
    assert phase.steps[2]._machine_profile is profile and phase.steps[3]._inputs == {"n": 1}


def test_inputs_type():
    assert code_generation.Inputs == collections.abc.Mapping[str, ScalarOfAnyType]


def test_handlers_reach_the_operations_a_subclass_overrides(codegen):
    from vk import vyr

    from corvane.passes.code_generation.target_lowering import CodeGenerationVisitor
    from corvane.programs import Vyr1Program

    calls = []

    class Recording(CodeGenerationVisitor):
        def run_operation(self, name, qubits, *params):
            calls.append(("run_operation", name, len(params)))
            return super().run_operation(name, qubits, *params)

        def _translate_expression(self, oq_expression):
            calls.append(("translate", type(oq_expression).__name__))
            return super()._translate_expression(oq_expression)

        def _declare_variable(self, node):
            calls.append(("declare", node.var.name))
            return super()._declare_variable(node)

        def _assign_to_target(self, target, value):
            calls.append(("assign", target.name))
            return super()._assign_to_target(target, value)

        def _run_block_in_context(self, context_creator, block, *context_creator_args):
            calls.append(("block", context_creator.__name__))
            return super()._run_block_in_context(context_creator, block, *context_creator_args)

    from corvane.configurations.build_options import BuildOptions
    from corvane.passes.code_generation import Vyr1GenerationPass

    program = codegen.parsed("input int a; int b; rx(a) $1; if (a == 1) { b = 2; }")
    for step in Vyr1GenerationPass(codegen.profile(), BuildOptions(), None).steps[:3]:
        program = step(program)
    tree = program.ast
    with vyr.program():
        program = Vyr1Program(None)
        Recording(codegen.profile(), program, {"a": 1}, _is_inside_scope=True).visit(tree)
    assert calls == [
        ("declare", "a"),
        ("declare", "b"),
        ("run_operation", "rx", 1),
        ("translate", "Identifier"),
        ("translate", "BinaryExpression"),
        ("block", "if_"),
        ("translate", "IntegerLiteral"),
        ("assign", "b"),
    ]


class Popcount(CodeGenerationVisitor):
    """Translates `popcount(...)`, which the module does not, as 1, and the rest as the module does."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.translated = []

    def _translate_expression(self, oq_expression):
        self.translated.append(type(oq_expression).__name__)
        if isinstance(oq_expression, ast.FunctionCall) and oq_expression.name.name == "popcount":
            return 1
        return super()._translate_expression(oq_expression)


def lowered_by(codegen, visitor_class, source):
    """The lines that `visitor_class` lowers `source` to, and the visitor."""
    program = codegen.parsed(source)
    for step in code_generation.Vyr1GenerationPass(codegen.profile(), BuildOptions(), None).steps[:3]:
        program = step(program)
    with vyr.program() as scope:
        visitor = visitor_class(codegen.profile(), Vyr1Program(None), {}, _is_inside_scope=True)
        visitor.visit(program.ast)
    return str(scope._program).splitlines(), visitor


@pytest.mark.parametrize(
    "source, lines, translated",
    [
        # The override's value is the one used, and each expression is translated once.
        ("OPENQASM 3.0; int b; int a; a = popcount(b); rx(popcount(b)) $1;", ["v2 = 1", 'frame_rotation(1, "xy1")'],
         ["FunctionCall", "FunctionCall"]),
        ("int b; while (popcount(b)) { x $1; b = 0; }", ["while 1:", '    play("x", "xy1")', "    v1 = 0"],
         ["FunctionCall", "IntegerLiteral"]),
        # Whether a value is a duration is read from the expression, where the override gives the value.
        ("duration d = 10ns; delay[d] $1; delay[2 * d] $1;", ['wait(to_int(v1), "xy1")', 'wait(to_int(2 * v1), "xy1")'],
         ["DurationLiteral", "Identifier", "BinaryExpression"]),
    ],
)
def test_an_overridden_translation_gives_the_value(codegen, source, lines, translated):
    rendered, visitor = lowered_by(codegen, Popcount, source)
    assert rendered[-len(lines):] == lines
    assert visitor.translated == translated


@pytest.mark.parametrize(
    "source, text",
    [
        ("duration d = 10ns; rx(d) $1;", "gate call rx takes a number, but d is a duration"),
        ("array[duration, 2] a; int k = a[1];", "assignment to k takes a number, but a[1] is a duration"),
        # What the module's translation cannot read is a number.
        ("int b; delay[popcount(b)] $1;", "delay on $1 takes a duration, but popcount(b) is a number"),
        ("int b; duration d; d = popcount(b);", "assignment to d takes a duration, but popcount(b) is a number"),
    ],
)
def test_an_overridden_translation_keeps_durations_apart(codegen, source, text):
    from corvane.passes.code_generation.translate_expression import DurationTypeException

    with pytest.raises(DurationTypeException) as raised:
        lowered_by(codegen, Popcount, source)
    assert text in str(raised.value)


class NonFinite(CodeGenerationVisitor):
    """Translates `inf()` and `nan()`, which no translation of the module gives, as those reals."""

    def _translate_expression(self, oq_expression):
        if isinstance(oq_expression, ast.FunctionCall) and oq_expression.name.name in ("inf", "nan"):
            return float(oq_expression.name.name)
        return super()._translate_expression(oq_expression)


@pytest.mark.parametrize(
    "source, name, text",
    [
        ("int k; k = inf();", "k", "The value inf() given to k is too large to be held"),
        ("array[int, 2] a; a[1] = nan();", "a", "The value nan() given to a is not a number that can be held"),
    ],
)
def test_a_real_that_no_integer_holds_is_refused_by_name_where_it_converts(codegen, source, name, text):
    from corvane.passes.code_generation.translate_expression import ValueOutOfRangeException

    with pytest.raises(ValueOutOfRangeException) as raised:
        lowered_by(codegen, NonFinite, source)
    assert text in str(raised.value) and raised.value.name == name


def test_a_non_finite_real_given_to_a_boolean_is_true(codegen):
    rendered, _ = lowered_by(codegen, NonFinite, "bool b; bool c; b = nan(); c = inf();")
    assert rendered[-2:] == ["v1 = true", "v2 = true"]


def test_operations_set_on_the_visitor_are_reached(codegen):
    calls = []
    visitor = CodeGenerationVisitor(codegen.profile(), Vyr1Program(None), {}, _is_inside_scope=True)

    def run_operation(name, qubits, *params):
        calls.append(("run_operation", name))
        return CodeGenerationVisitor.run_operation(visitor, name, qubits, *params)

    def translate(oq_expression):
        calls.append(("translate", type(oq_expression).__name__))
        return CodeGenerationVisitor._translate_expression(visitor, oq_expression)

    visitor.run_operation = run_operation
    visitor._translate_expression = translate
    with vyr.program():
        visitor.visit(codegen.parsed("rx(0.5) $1;").ast)
    assert calls == [("run_operation", "rx"), ("translate", "FloatLiteral")]
