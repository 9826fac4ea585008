import copy
import dataclasses
import gc
import pathlib
import logging
import weakref

import pytest
from openqasm3 import ast, parser

from corvane.passes.code_resolving.macro_expansion_stage import (
    ArgumentsMismatchException,
    ExpandedGateCall,
    GateDefinitionException,
    GateResolverException,
    GateSignature,
    MacroExpansionStage,
    MisusedFormalException,
    MissingDefinitionException,
    MultipleDefinitionsException,
    SignatureNotFoundException,
    UnresolvableGateException,
    _GateResolverTransformer,
    _IdentifierTransformer,
)
from corvane.passes.pipeline_phase import Step
from corvane.programs import OpenQasmProgram

LOGGER = "corvane.passes.code_resolving.macro_expansion_stage"
BUILT_IN = {GateSignature("h"), GateSignature("rx"), GateSignature("cx"), GateSignature("x")}


def expand(source, built_in=BUILT_IN):
    program = OpenQasmProgram(parser.parse(source))
    result = MacroExpansionStage(built_in)(program)
    assert type(result) is OpenQasmProgram and result is not program
    assert result.ast is program.ast
    return result.ast


def records(caplog):
    return [r.getMessage() for r in caplog.records if r.name == LOGGER and r.levelno == logging.DEBUG]


@pytest.fixture
def debug(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    return caplog


class TestGateSignature:
    def test_value_record(self):
        assert GateSignature("h") == GateSignature(name="h")
        assert hash(GateSignature("h")) == hash(GateSignature("h"))
        assert GateSignature("h") != GateSignature("x")
        assert GateSignature("h") != "h" and GateSignature("h") != ("h",)
        assert repr(GateSignature("h")) == "GateSignature(name='h')"
        assert len({GateSignature("h"), GateSignature("h"), GateSignature("x")}) == 2
        with pytest.raises(TypeError):
            GateSignature()

    def test_frozen(self):
        with pytest.raises(dataclasses.FrozenInstanceError):
            GateSignature("h").name = "x"

    def test_from_quantum_gate_definition(self):
        definition = parser.parse("gate g q { }").statements[0]
        assert GateSignature.from_quantum_gate_definition(definition) == GateSignature("g")


@pytest.mark.parametrize(
    "cls, base",
    [
        (GateResolverException, Exception),
        (UnresolvableGateException, GateResolverException),
        (SignatureNotFoundException, UnresolvableGateException),
        (ArgumentsMismatchException, UnresolvableGateException),
        (GateDefinitionException, GateResolverException),
        (MultipleDefinitionsException, GateDefinitionException),
        (MissingDefinitionException, GateDefinitionException),
        (MisusedFormalException, GateDefinitionException),
    ],
)
def test_exception_tree(cls, base):
    assert cls.__bases__ == (base,)


def test_step_keeps_the_very_set_and_its_class_name():
    step = MacroExpansionStage(BUILT_IN)
    assert isinstance(step, Step) and step.name == "MacroExpansionStage"
    assert step.built_in_gates is BUILT_IN


@pytest.mark.parametrize(
    "build, parameter, expected",
    [
        (lambda v: MacroExpansionStage(v), "built_in_gates", "set"),
        (lambda v: _GateResolverTransformer(v), "built_in_gates", "set"),
        (lambda v: _IdentifierTransformer(v), "args_transformation", "dict"),
        (lambda v: ArgumentsMismatchException(None, None, v), "argument_type", "str"),
        (lambda v: MisusedFormalException(None, None, v, "qubit", "a gate"), "formal", "str"),
        (lambda v: MisusedFormalException(None, None, "p", v, "a gate"), "formal_kind", "str"),
        (lambda v: MisusedFormalException(None, None, "p", "qubit", v), "used_as", "str"),
    ],
)
@pytest.mark.parametrize("value", [frozenset(), [], None])
def test_constructor_arguments_have_exact_types(build, parameter, expected, value):
    with pytest.raises(TypeError) as error:
        build(value)
    assert str(error.value) == (
        f"Argument '{parameter}' has incorrect type (expected {expected}, got {type(value).__name__})"
    )


def test_built_in_calls_stay_with_one_record_each(debug):
    source = "qubit[2] q; h q[0]; cx q[0], q[1]; if (true) { x q[1]; }"
    tree = parser.parse(source)
    calls = [tree.statements[1], tree.statements[2]]
    MacroExpansionStage(BUILT_IN)(OpenQasmProgram(tree))
    assert tree == parser.parse(source)
    assert tree.statements[1:3] == calls and all(a is b for a, b in zip(tree.statements[1:3], calls))
    assert records(debug) == [f"Node {n} is built-in, and will stay as is." for n in ("h", "cx", "x")]


def test_each_call_gets_its_own_copy_of_the_body(debug):
    tree = parser.parse("qubit[2] q; gate g(t) a, b { rx(t) a; cx a, b; rx(t * 2) b; } g(0.5) q[0], q[1]; g(1) q[1], q[0];")
    first_call, second_call = tree.statements[2], tree.statements[3]
    MacroExpansionStage(BUILT_IN)(OpenQasmProgram(tree))
    # A parameter is real: the integer argument 1 stands in its place as 1.0.
    assert tree == parser.parse(
        "qubit[2] q; rx(0.5) q[0]; cx q[0], q[1]; rx(0.5 * 2) q[1]; rx(1.0) q[1]; cx q[1], q[0]; rx(1.0 * 2) q[0];"
    )
    # Argument and qubit nodes are inserted as they are: a formal used twice holds one node.
    statements = tree.statements
    assert statements[1].arguments[0] is first_call.arguments[0] is statements[3].arguments[0].lhs
    assert statements[1].qubits[0] is first_call.qubits[0] is statements[2].qubits[0]
    assert statements[4].arguments[0] is statements[6].arguments[0].lhs
    # Bodies are not shared between expansions.
    assert statements[2] is not statements[5] and statements[2].name is not statements[5].name
    # The body is resolved when collected; expansions are not walked again.
    assert records(debug) == [
        "Node rx is built-in, and will stay as is.",
        "Node cx is built-in, and will stay as is.",
        "Node rx is built-in, and will stay as is.",
        'Added the definition of "g" to the bank.',
        'Transforming gate call "g" to "g(x0) q0, q1"',
        'Transforming gate call "g" to "g(x0) q0, q1"',
    ]


def test_gate_may_call_earlier_user_gates():
    tree = parser.parse(
        """
        qubit[2] q;
        gate a(t) r { rx(t) r; }
        gate b(u) s, v { a(u) v; cx s, v; }
        b(0.25) q[0], q[1];
        """
    )
    transformer = _GateResolverTransformer(BUILT_IN)
    transformer.visit(tree)
    stored_b = transformer._signature_to_definition[GateSignature("b")]
    assert stored_b.body == parser.parse("gate b(u) s, v { rx(u) v; cx s, v; }").statements[0].body
    assert tree == parser.parse("qubit[2] q; rx(0.25) q[1]; cx q[0], q[1];")


def test_substitution_never_walks_into_what_it_put_in_place():
    # b's stored body shares the node `s * 2` between both uses of a's formal;
    # the program's `u` that replaces `s` in it is not b's formal `u`.
    tree = parser.parse(
        "qubit[1] r; float u; gate a(t) q { rx(t + t) q; } gate b(s, u) q { a(s * 2) q; rx(u) q; } b(u, 1.0) r[0];")
    call = tree.statements[-1]
    MacroExpansionStage(BUILT_IN)(OpenQasmProgram(tree))
    first, second = tree.statements[2:]
    total = first.arguments[0]
    # The program's `u` is no real by its form, so the parameter reads it as a float.
    assert total == parser.parse("float(u) * 2 + float(u) * 2;").statements[0].expression
    assert total.lhs is total.rhs and total.lhs.lhs.argument is call.arguments[0]
    assert second.arguments[0] is call.arguments[1]


def test_substituted_arguments_never_become_their_own_parts():
    tree = expand("gate a0(t) q { rx(t + t) q; } gate a1(t) q { a0(t + t) q; } gate a2(t) q { a1(t + t) q; }"
                  " a2(0.5) $0;")
    half = "(0.5 + 0.5)"
    assert tree == parser.parse(f"rx(({half} + {half}) + ({half} + {half})) $0;")


def test_a_call_on_bare_names_keeps_its_statements_together():
    # A bare operand may be a register, over which the register mapping runs the
    # body as a whole once per qubit; definitions keep the statements themselves.
    tree = parser.parse(
        "qubit[2] q; qubit t; gate g a, b { cx a, b; x b; } gate k a, b { g a, b; } gate f a { h a; }"
        " k q, t; k q[0], q[1]; f q;")
    call = tree.statements[5]
    transformer = _GateResolverTransformer(BUILT_IN)
    transformer.visit(tree)
    stored = transformer._signature_to_definition[GateSignature("k")]
    assert stored.body == parser.parse("gate k a, b { cx a, b; x b; }").statements[0].body
    grouped, *rest = tree.statements[2:]
    assert type(grouped) is ExpandedGateCall and grouped.name == "k"
    assert grouped.qubits == call.qubits and all(a is b for a, b in zip(grouped.qubits, call.qubits))
    assert grouped.body == parser.parse("cx q, t; x t;").statements
    # one gate call that names every formal runs over the registers as the call would
    assert rest == parser.parse("cx q[0], q[1]; x q[1]; h q;").statements


@pytest.mark.parametrize(
    "source, body",
    [
        # a formal that the body leaves unused: its operand still counts the call's runs
        ("qubit[3] r; qubit s; gate k a, b { x a; } k s, r;", "x s;"),
        ("qubit s; gate k a, b { x a; } k s, $3;", "x s;"),
        ("qubit[2] r; gate k a, b { x a; } k r[0], r[1];", "x r[0];"),
        # also when the unused formal is passed on to a gate that leaves it unused
        ("qubit[3] r; qubit s; gate g a, b { x a; } gate k a, b { g a, b; } k s, r;", "x s;"),
        ("qubit s; gate k(t) a { gphase(t); } k(1) s;", "gphase(1.0);"),
        # one statement that is no gate call: a barrier per qubit, not one over all
        ("qubit[2] r; gate k a { barrier a; } k r;", "barrier r;"),
    ],
)
def test_a_call_is_kept_with_its_operands_where_its_body_alone_would_lose_them(source, body):
    tree = parser.parse(source)
    call = tree.statements[-1]
    MacroExpansionStage(BUILT_IN)(OpenQasmProgram(tree))
    grouped = tree.statements[-1]
    assert type(grouped) is ExpandedGateCall and grouped.name == "k"
    assert all(a is b for a, b in zip(grouped.qubits, call.qubits)) and len(grouped.qubits) == len(call.qubits)
    assert grouped.body == parser.parse(body).statements


def test_an_empty_body_leaves_nothing_to_keep():
    assert expand("qubit[2] r; qubit[2] s; gate k a, b { } k r, s;") == parser.parse("qubit[2] r; qubit[2] s;")


@pytest.mark.parametrize(
    "source, form",
    [
        ("gate g a, b { cx a, b; } qubit[2] q; g q[0], q[1];", 'Transforming gate call "g" to "g q0, q1"'),
        ("gate g(s, t) a { rx(s) a; } qubit q; g(1, 2) q;", 'Transforming gate call "g" to "g(x0, x1) q0"'),
    ],
)
def test_found_definition_record(debug, source, form):
    expand(source)
    assert form in records(debug)


def test_empty_body_makes_the_call_disappear():
    assert expand("qubit q; gate g a { } g q; h q;") == parser.parse("qubit q; h q;")


@pytest.mark.parametrize(
    "definition, formal, kind, used_as",
    [
        # a parameter is a number: substituted, it would stand as the gate or the qubit
        ("gate g(p) a { p a; }", "p", "parameter", "a gate"),
        ("gate g(rx) a { rx(rx) a; }", "rx", "parameter", "a gate"),  # even named like a built-in gate
        ("gate g(p) a { h p; }", "p", "parameter", "a qubit"),
        ("gate g(p) a, b { cx a, p[0]; }", "p", "parameter", "a qubit"),
        ("gate g(p) a { barrier a, p; }", "p", "parameter", "a qubit"),
        ("gate g(p) a { if (true) { x p; } }", "p", "parameter", "a qubit"),
        # a formal qubit is one qubit
        ("gate g a { a a; }", "a", "qubit", "a gate"),
        ("gate g x { x x; }", "x", "qubit", "a gate"),
        ("gate g a { h a[0]; }", "a", "qubit", "an indexed register"),
        # two formals of one name: the operand or argument of the first would go unused
        ("gate g a, a { cx a, a; }", "a", "qubit", "the name of two formals"),
        ("gate g(t, t) a { rx(t) a; }", "t", "parameter", "the name of two formals"),
        # a parameter and a qubit of one name: the body could reach only one of them
        ("gate g(a) a { rx(a) a; }", "a", "parameter", "the name of a qubit too"),
        ("gate g(a, t) a { rx(t * 2) a; }", "a", "parameter", "the name of a qubit too"),
    ],
)
def test_a_formal_in_a_role_it_cannot_take_is_refused(definition, formal, kind, used_as):
    tree = parser.parse(definition)
    with pytest.raises(MisusedFormalException) as error:
        MacroExpansionStage(BUILT_IN)(OpenQasmProgram(tree))
    assert (error.value.formal, error.value.formal_kind, error.value.used_as) == (formal, kind, used_as)
    assert error.value.definition_signature == GateSignature("g")
    assert isinstance(error.value.node, (ast.QuantumStatement, ast.QuantumGateDefinition))
    assert str(error.value) == f"In the definition of gate 'g', the {kind} '{formal}' is used as {used_as}."


def test_parameters_in_expressions_stay_allowed():
    tree = expand("qubit q; gate g(s, t) a { rx(s) a; rx(t * 2) a; gphase(t); } g(0.5, 1) q;")
    assert [type(s).__name__ for s in tree.statements] == ["QubitDeclaration", "ExpandedGateCall"]


def test_identical_redefinition_is_ignored(debug):
    tree = expand("qubit q; gate g a { h a; } gate g a { h a; } g q;")
    assert tree == parser.parse("qubit q; h q;")
    assert "Ignoring duplicated definition" in records(debug)


@pytest.mark.parametrize(
    "source, built_in",
    [
        ("gate g a { h a; } gate g a { x a; }", False),
        ("gate g(t) a { rx(t) a; } gate g(s) a { rx(s) a; }", False),
        ("gate h a { }", True),  # a built-in name, even unused and empty
        ("gate cx a, b { cx a, b; }", True),
    ],
)
def test_multiple_definitions(source, built_in):
    tree = parser.parse(source)
    later = tree.statements[-1]
    with pytest.raises(MultipleDefinitionsException) as error:
        MacroExpansionStage(BUILT_IN)(OpenQasmProgram(tree))
    signature = GateSignature(later.name.name)
    assert error.value.node is later and error.value.definition_signature == signature
    assert error.value.built_in is built_in
    if built_in:
        assert str(error.value) == (
            f"Two definitions of the same signature: {signature!r}: the machine profile's operation "
            f"'{signature.name}' and the program's definition at {later}; a gate of the program may not take the "
            "name of an operation of the machine."
        )
    else:
        assert str(error.value) == (
            f"Two definitions of the same signature: {signature!r}, second signature found at {later}."
        )


def test_call_before_definition_has_no_signature():
    tree = parser.parse("qubit q; g q; gate g a { h a; }")
    call = tree.statements[1]
    with pytest.raises(SignatureNotFoundException) as error:
        MacroExpansionStage(BUILT_IN)(OpenQasmProgram(tree))
    assert error.value.node is call
    assert str(error.value) == f"Didn't find a signature for {call}."


def test_only_the_given_names_are_built_in():
    with pytest.raises(SignatureNotFoundException):
        expand("qubit q; U(0, 0, 0) q;")
    tree = expand("qubit q; U(0, 0, 0) q;", {GateSignature("U")})
    assert type(tree.statements[1]) is ast.QuantumGate


def test_self_calling_definition_misses_its_definition():
    tree = parser.parse("gate g a { h a; g a; }")
    inner = tree.statements[0].body[1]
    with pytest.raises(MissingDefinitionException) as error:
        MacroExpansionStage(BUILT_IN)(OpenQasmProgram(tree))
    assert error.value.node is inner
    assert error.value.definition_signature == GateSignature("g")
    assert str(error.value) == f"Error at GateSignature(name='g'): Unresolved gate call: {inner}"
    assert type(error.value.__cause__) is SignatureNotFoundException
    assert error.value.__cause__.node is inner


@pytest.mark.parametrize(
    "call, kind, required, provided",
    [
        ("g(1, 2) q[0];", "argument", 1, 2),
        ("g q[0];", "argument", 1, 0),
        ("g(1, 2) q[0], q[1], q[0];", "argument", 1, 2),  # both differ: the argument variant
        ("g(1) q[0], q[1], q[0];", "qubit", 1, 3),
    ],
)
def test_arguments_mismatch(call, kind, required, provided):
    tree = parser.parse(f"qubit[2] q; gate g(t) a {{ rx(t) a; }} {call}")
    with pytest.raises(ArgumentsMismatchException) as error:
        MacroExpansionStage(BUILT_IN)(OpenQasmProgram(tree))
    assert error.value.node is tree.statements[-1] and error.value.argument_type == kind
    assert str(error.value) == (
        f"The gate definition of 'g' requires {required} {kind}s, but {provided} were provided."
    )


def test_qubit_mismatch_text_for_a_two_qubit_gate():
    with pytest.raises(ArgumentsMismatchException) as error:
        expand("qubit q; gate g a, b { cx a, b; } g q;")
    assert str(error.value) == "The gate definition of 'g' requires 2 qubits, but 1 were provided."


def test_mismatch_inside_a_definition_body_passes_unchanged():
    with pytest.raises(ArgumentsMismatchException):
        expand("gate a(t) r { rx(t) r; } gate b s { a s; }")


@pytest.mark.parametrize(
    "source",
    [
        "qubit[2] q; ctrl @ x q[0], q[1];",
        "qubit q; inv @ h q;",
        "gate g a { inv @ h a; }",
        "qubit q; gate g a { h a; } pow(2) @ g q;",
    ],
)
def test_modifiers_are_refused(source):
    with pytest.raises(NotImplementedError) as error:
        expand(source)
    assert str(error.value) == "Modifiers are not yet implemented"


def test_calls_of_built_in_gates_in_switch_cases_stay_and_the_default_is_expanded():
    source = "qubit q; int i; gate g a { h a; } switch (i) { case 0 { x q; } default { g q; } }"
    tree = expand(source)
    assert tree.statements[2].cases[0][1].statements[0].name.name == "x"
    assert tree.statements[2].default.statements[0].name.name == "h"


@pytest.mark.parametrize(
    "source, text",
    [
        ("qubit q; int i; gate g a { h a; } switch (i) { case 0 { g q; } }",
         "The call of the program's gate 'g' on q stands in a switch case body"),
        # A gate defined after the switch, and a call in a block of the case body.
        ("qubit[2] q; int i; switch (i) { case 0 { if (true) { g q[1], q[0]; } } } gate g a, b { cx a, b; }",
         "The call of the program's gate 'g' on q[1], q[0] stands in a switch case body"),
        ("int i; switch (i) { case 0 { } case 1 { gate g a { h a; } } }",
         "The definition of the gate 'g' stands in a switch case body"),
    ],
)
def test_user_gates_in_switch_cases_are_refused_by_name(source, text):
    with pytest.raises(NotImplementedError) as error:
        expand(source)
    assert str(error.value).startswith(text)


def test_mismatch_text_asserts_a_gate_call(python_subprocess):
    definition = parser.parse("gate g(t) a { rx(t) a; }").statements[0]
    with pytest.raises(AssertionError):
        str(ArgumentsMismatchException(definition, definition, "argument"))
    output = python_subprocess(
        """
        from openqasm3 import parser
        from corvane.passes.code_resolving.macro_expansion_stage import ArgumentsMismatchException
        definition = parser.parse("gate g(t) a { rx(t) a; }").statements[0]
        print(ArgumentsMismatchException(definition, definition, "qubit"))
        """,
        "-O",
    )
    assert output == "The gate definition of 'g' requires 1 qubits, but 1 were provided.\n"


def test_overridden_internal_operations_are_honoured():
    class EverythingBuiltIn(_GateResolverTransformer):
        def _is_built_in(self, node):
            return True

    tree = parser.parse("qubit q; unknown q;")
    EverythingBuiltIn(set()).visit(tree)
    assert tree.statements[1].name.name == "unknown"


def test_each_run_starts_with_an_empty_bank():
    step = MacroExpansionStage(BUILT_IN)
    step(OpenQasmProgram(parser.parse("gate g a { h a; }")))
    with pytest.raises(SignatureNotFoundException):
        step(OpenQasmProgram(parser.parse("qubit q; g q;")))


def test_program_must_be_an_openqasm_program():
    with pytest.raises(AssertionError):
        MacroExpansionStage(set())(object())


CORPUS = pathlib.Path(__file__).parents[1] / "data" / "openqasm-examples"


def _objects(value, seen):
    """Every node and list reachable from `value`, by identity."""
    if isinstance(value, list):
        seen.add(id(value))
        for item in value:
            _objects(item, seen)
    elif isinstance(value, (ast.QASMNode, ast.Span)):
        seen.add(id(value))
        for field in vars(value).values():
            _objects(field, seen)
    elif isinstance(value, tuple):
        for item in value:
            _objects(item, seen)
    return seen


SOURCES = {path.name: path.read_text() for path in sorted(CORPUS.glob("*.qasm"))}
SOURCES["switch"] = "int i; switch (i) { case 0, 1 { i = 2; } default { i = -i; } }"


@pytest.mark.parametrize("source", SOURCES.values(), ids=SOURCES.keys())
def test_expansion_copies_every_kind_of_statement_afresh(source):
    statements = parser.parse(source).statements
    definition = ast.QuantumGateDefinition(ast.Identifier("g"), [], [], statements)
    copies = _IdentifierTransformer({}).transform_statements_of_gate_definition(definition)
    assert copies == statements == copy.deepcopy(statements)
    assert [list(vars(c)) for c in copies] == [list(vars(s)) for s in statements]  # field order kept
    assert not _objects(copies, set()) & _objects(statements, set())


def test_expansion_copy_keeps_sharing_within_a_statement_and_custom_copying():
    class Pinned(ast.Identifier):
        def __deepcopy__(self, memo):
            return self

    pinned = Pinned("p")
    shared = ast.IntegerLiteral(3)
    statement = ast.QuantumGate([], ast.Identifier("h"), [shared, shared], [pinned])
    definition = ast.QuantumGateDefinition(ast.Identifier("g"), [], [], [statement])
    (copied,) = _IdentifierTransformer({}).transform_statements_of_gate_definition(definition)
    assert copied == statement and copied.arguments[0] is not shared
    assert copied.arguments[0] is copied.arguments[1]
    assert copied.qubits[0] is pinned


def test_node_classes_made_at_run_time_are_freed_once_their_bodies_are_copied():
    made = type("Made", (ast.QuantumBarrier,), {})
    tree = parser.parse("gate g a { barrier a; } qubit q; g q;")
    tree.statements[0].body[0] = made(qubits=tree.statements[0].body[0].qubits)
    MacroExpansionStage(BUILT_IN)(OpenQasmProgram(tree))
    assert type(tree.statements[-1].body[0]) is made
    alive = weakref.ref(made)
    del made, tree
    gc.collect()
    assert alive() is None
