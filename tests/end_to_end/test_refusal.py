import textwrap

import pytest
from openqasm3 import ast

from corvane import BuildOptions, CompilationException
from corvane.passes.construct_screening import DisallowedNodeTypeException
from corvane.passes.parsing.syntax_tree_reader import GrammarParserException

# Constructs that no later phase lowers, each with the node class
# that must be named, and the places where the grammar allows it: a loop
# control needs a loop around it, and a global-scope declaration forbids one.
# Elsewhere the parser refuses the program.
ALL = {"top", "loop", "case", "case in loop"}
CONSTRUCTS = [
    ("def f() { x $0; }", ast.SubroutineDefinition, {"top", "case"}),
    ("continue;", ast.ContinueStatement, {"loop", "case in loop"}),
    ("break;", ast.BreakStatement, {"loop", "case in loop"}),
    ("end;", ast.EndStatement, ALL),
    ("ctrl @ gphase(1) $0, $1;", ast.QuantumGateModifier, ALL),
    ("inv @ x $1;", ast.QuantumGateModifier, ALL),
    ("cal { }", ast.CalibrationStatement, ALL),
    ("defcal x $0 { }", ast.CalibrationDefinition, ALL),
    ('defcalgrammar "openpulse";', ast.CalibrationGrammarDeclaration, {"top", "case"}),
    ("let a = q[0];", ast.AliasStatement, ALL),
    ("extern f(int) -> int;", ast.ExternDeclaration, {"top", "case"}),
    ("pragma hold", ast.Pragma, {"top", "case"}),
    ("@hint\nx $1;", ast.Annotation, ALL),
    ("angle[8] a;", ast.AngleType, ALL),
    ("complex[float] z;", ast.ComplexType, ALL),
    ("float f = 2.0im;", ast.ImaginaryLiteral, ALL),
    ("int n = sizeof(q);", ast.SizeOf, ALL),
    ("duration t = durationof({ x $1; });", ast.DurationOf, ALL),
]

# Pragmas and annotations run to the end of their line.
PLACES = {
    "top": "{}\n",
    "loop": "while (true) {{\n{}\n}}",
    "case": "int i = 1; switch (i) {{ case 1 {{\n{}\n}} default {{ }} }}",
    "case in loop": "for int i in [0:2] {{ switch (i) {{ case 1 {{\n{}\n}} default {{ }} }} }}",
}

REFUSALS = [
    pytest.param(
        "qubit[2] q; " + template.format(statement),
        node_class if place in legal else None,
        id=f"{node_class.__name__}-{place}",
    )
    for statement, node_class, legal in CONSTRUCTS
    for place, template in PLACES.items()
]


@pytest.mark.parametrize("source, node_class", REFUSALS)
def test_constructs_without_lowering_are_refused_by_name(compiler, source, node_class):
    with pytest.raises(CompilationException, match='^Pass "ParsingPass" failed.$') as raised:
        compiler.compile(source)
    cause = raised.value.__cause__
    if node_class is None:
        assert type(cause) is GrammarParserException
        return
    assert type(cause) is DisallowedNodeTypeException
    assert type(cause.node) is node_class
    assert f"<class 'openqasm3.ast.{node_class.__name__}'>" in str(cause)


def test_screening_can_be_skipped_by_its_documented_name(compiler):
    skipped = BuildOptions(validations_to_skip="AllowedNodeTypesValidator")
    assert str(compiler.compile("pragma hold\nx $1;", build_options=skipped).result_program.dsl_program) == (
        'play("x", "d1")'
    )


def test_programs_of_lowered_constructs_compile(compile_text):
    source = """
    OPENQASM 3.0;
    input float theta;
    output int count;
    qubit[2] pair;
    duration wait_time = 200ns;
    stretch gap;
    gate flip(a) q { rx(a) q; x q; }
    float root = sqrt(4.0);
    sin(theta);
    tan(theta);
    box [1us] {
        flip(theta) pair[0];
        delay[wait_time] pair[1];
    }
    count = 1;
    switch (count) {
        case 1 { cx $3, $4; }
        default { reset $3; }
    }
    """
    assert compile_text(source) == textwrap.dedent(
        """\
        declare input stream fixed theta = 0.0
        advance input stream theta
        declare stream s1
        declare int v1 = 0
        declare fixed v2 = 0.0
        v2 = 50
        declare fixed v3 = 0.0
        declare fixed v4 = 0.0
        v4 = 2.0
        wait(theta)
        align("d0", "r0")
        frame_rotation(theta, "d0")
        align("d0", "r0")
        align("d0", "r0")
        play("x", "d0")
        align("d0", "r0")
        wait(to_int(v2), "d1")
        v1 = 1
        switch v1:
            case 1:
                align("d3", "d4")
                play("cx", "d3")
                align("d3", "d4")
            default:
                play("reset", "d3")
        save v1 to s1
        stream processing:
            s1.save_all("count")"""
    )



@pytest.mark.parametrize(
    "body",
    ["int k = 2;", "bit m = measure $1;", "float f;"],
)
def test_declarations_in_case_bodies_are_refused_not_dropped(compiler, body):
    # The steps that bind declarations do not enter case bodies, so the
    # lowering would otherwise pass over the declaration and its initialiser.
    with pytest.raises(CompilationException, match='^Pass "Vyr1GenerationPass" failed.$') as raised:
        compiler.compile(f"int i = 1; switch (i) {{ case 1 {{ {body} x $1; }} }}")
    cause = raised.value.__cause__
    assert type(cause) is NotImplementedError
    assert str(cause).startswith("Declarations inside switch case bodies are not supported")


def test_a_compound_assignment_in_a_case_body_is_refused_under_optimisation_too(python_subprocess):
    output = python_subprocess(
        """
        from corvane import Compiler, CompilationException, MachineProfile
        compiler = Compiler(MachineProfile({}, {}))
        try:
            compiler.compile("int a = 0; int i = 1; switch (i) { case 1 { a += 2; } }")
        except CompilationException as error:
            print(repr(error.__cause__))
        """,
        "-O",
    )
    assert output.startswith("NotImplementedError('The compound assignment a += 2 stands in a switch case body")


# Statements that a step of the parsing phase replaces, or that an include brings in (or not),
# with an annotation before them; the files each include names are written by the fixture below.
INCLUDED = {
    "one.qasm": "int y = 2;\n",
    "empty.qasm": "// nothing to include\n",
    "gate.qasm": "x $1;\n",
    "nested_empty.qasm": 'include "empty.qasm";\n',
    "annotated.qasm": "@inner\nint z;\n",
}
ANNOTATED = [
    # A declaration that becomes an output, its initialiser split off.
    ("@foo\nint x = 1;", "foo"),
    ("@foo\nbit b = measure $0;", "foo"),
    ("@foo\nfloat f;", "foo"),
    ("input int a;\n@foo\nint r = a;", "foo"),
    ("@foo\nint x = 1;\noutput int y;", "foo"),
    # An include, whether its file brings in statements or nothing.
    ('@foo\ninclude "one.qasm";', "foo"),
    ('@foo\ninclude "gate.qasm";', "foo"),
    ('@foo\ninclude "empty.qasm";', "foo"),
    ('@foo\ninclude "nested_empty.qasm";', "foo"),
    ('@foo\ninclude "annotated.qasm";', "foo"),
    ('include "annotated.qasm";', "inner"),
    # Statements that later steps replace or drop: compound assignments, gate definitions and
    # calls, constants, qubit declarations.
    ("output int x;\n@foo\nx += 1;", "foo"),
    ("@foo\ngate g q { x q; }\ng $0;", "foo"),
    ("gate g q { x q; }\n@foo\ng $0;", "foo"),
    ("gate g q {\n@foo\nx q;\n}\ng $0;", "foo"),
    ("@foo\nconst int k = 1;", "foo"),
    ("@foo\nqubit q;", "foo"),
]


@pytest.fixture
def included_files(tmp_path, monkeypatch):
    for name, text in INCLUDED.items():
        (tmp_path / name).write_text(text)
    monkeypatch.chdir(tmp_path)


@pytest.mark.parametrize("source, keyword", ANNOTATED)
def test_annotations_are_refused_wherever_they_stand(compiler, included_files, source, keyword):
    with pytest.raises(CompilationException, match='^Pass "ParsingPass" failed.$') as raised:
        compiler.compile(source)
    cause = raised.value.__cause__
    assert type(cause) is DisallowedNodeTypeException and type(cause.node) is ast.Annotation
    assert cause.node.keyword == keyword
    assert "<class 'openqasm3.ast.Annotation'>" in str(cause)
    # Without its annotations (where it has them all) the program compiles.
    if "annotated.qasm" not in source:
        compiler.compile("\n".join(line for line in source.splitlines() if not line.startswith("@")))


def test_annotations_are_refused_under_optimisation_too(included_files, refusals_hold_under_optimisation):
    refusals_hold_under_optimisation([source for source, _ in ANNOTATED])
