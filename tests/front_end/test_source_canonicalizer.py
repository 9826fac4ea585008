import logging

import pytest
from openqasm3 import ast, parser

from corvane.passes.initializer_splitter import ClassicalDeclarationInitializerSplitter
from corvane.passes.parsing import source_canonicalizer
from corvane.passes.parsing.source_canonicalizer import IOVariablesTransformer, SourceCanonicalizer
from corvane.passes.parsing.validators import DeclarationPlacementException
from corvane.programs import OpenQasmProgram, TextualProgram

LOGGER = "corvane.passes.parsing.source_canonicalizer"
NONE_FOUND = "No pre existing I/O variables, modified all variables."


def canonicalize(tree):
    program = OpenQasmProgram(tree)
    result = SourceCanonicalizer()(program)
    assert type(result) is OpenQasmProgram and result is not program and result.ast is tree
    return tree


def kinds(statements):
    return [type(s).__name__ for s in statements]


def test_plain_declarations_become_outputs_with_their_initialisers_split(caplog):
    tree = parser.parse("qubit q; int x; int y = 2; bit c = measure q; const int n = 4;")
    y_identifier = tree.statements[2].identifier
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        canonicalize(tree)
    assert kinds(tree.statements) == [
        "QubitDeclaration",
        "IODeclaration",
        "IODeclaration", "ClassicalAssignment",
        "IODeclaration", "QuantumMeasurementStatement",
        "ConstantDeclaration",
    ]
    assert all(s.io_identifier is ast.IOKeyword.output for s in tree.statements if type(s) is ast.IODeclaration)
    assert tree.statements[2].identifier is y_identifier is tree.statements[3].lvalue
    assert tree.statements[5].target is tree.statements[4].identifier
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [(LOGGER, logging.DEBUG, NONE_FOUND)]


def test_only_the_programs_own_declarations_become_outputs():
    # A variable declared in a block ends with the block, before the outputs are saved.
    tree = canonicalize(parser.parse(
        """
        int s;
        if (s == 1) { float f = 1.0; }
        for int i in [0:2] { bool b; }
        { int braced = 2; }
        switch (s) { case 1 { int in_case = 1; } default { int in_default; } }
        """
    ))
    assert kinds(tree.statements) == [
        "IODeclaration", "BranchingStatement", "ForInLoop", "CompoundStatement", "SwitchStatement"
    ]
    branch, loop, braced, switch = tree.statements[1:]
    assert kinds(branch.if_block) == ["ClassicalDeclaration"] and branch.if_block[0].init_expression is not None
    assert kinds(loop.block) == ["ClassicalDeclaration"]
    assert kinds(braced.statements) == ["ClassicalDeclaration"]
    assert kinds(switch.cases[0][1].statements) == ["ClassicalDeclaration"]
    assert kinds(switch.default.statements) == ["ClassicalDeclaration"]


@pytest.mark.parametrize(
    "source, count",
    [
        ("input int a; output bit b; int x;", 2),
        ("output bit b; int x = 2;", 1),
        ("output bit b; input int a; input float f; int x = 2;", 3),
    ],
)
def test_a_declared_output_leaves_the_tree_unchanged(caplog, source, count):
    tree = parser.parse(source)
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        canonicalize(tree)
    assert tree == parser.parse(source)
    assert caplog.messages == [f"Encountered existing ({count}) I/O variables."]


def test_without_an_output_the_declarations_beside_the_inputs_become_outputs(caplog):
    tree = parser.parse("input int a; int x = 1; float y; input bit b; int a;")
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        canonicalize(tree)
    assert [(type(s).__name__, getattr(s, "io_identifier", None)) for s in tree.statements] == [
        ("IODeclaration", ast.IOKeyword.input),
        ("IODeclaration", ast.IOKeyword.output), ("ClassicalAssignment", None),
        ("IODeclaration", ast.IOKeyword.output),
        ("IODeclaration", ast.IOKeyword.input),
        # A second declaration of an input's name stays as written, for the lowering to refuse.
        ("ClassicalDeclaration", None),
    ]
    assert caplog.messages == ["Encountered existing (2) input variables and no output, modified all other variables."]


def test_io_declarations_inside_case_bodies_are_refused():
    # The parser takes a case body for the scope around it; inputs and outputs belong to the program's own.
    with pytest.raises(DeclarationPlacementException) as raised:
        canonicalize(parser.parse("int s; switch (s) { case 1 { input int a; } }"))
    assert (raised.value.name, raised.value.kind, raised.value.place) == ("a", "an input", "a switch case body")


def test_program_without_declarations_still_logs_the_walk(caplog):
    source = "qubit q; h q;"
    tree = parser.parse(source)
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        canonicalize(tree)
    assert tree == parser.parse(source)
    assert caplog.messages == [NONE_FOUND]


@pytest.mark.parametrize(
    "declared, expected",
    [
        (None, None),
        ("2.0", "3.0"),
        ("2", "3.0"),
        ("3", "3.0"),
        ("2.9.9", "3.0"),
        ("3.0", "3.0"),
        ("3.00", "3.00"),
        ("3.1", "3.1"),
        ("4", "4"),
        ("3.0.1", "3.0.1"),
    ],
)
def test_version_rule(declared, expected):
    tree = parser.parse("qubit q;")
    tree.version = declared
    assert canonicalize(tree).version == expected


@pytest.mark.parametrize("declared", ["3.x", "3."])
def test_non_decimal_version_fails_after_the_io_rewrite(declared):
    tree = parser.parse("int x;")
    tree.version = declared
    with pytest.raises(ValueError):
        SourceCanonicalizer()(OpenQasmProgram(tree))
    assert type(tree.statements[0]) is ast.IODeclaration


def test_class_settings_and_name():
    assert SourceCanonicalizer.TARGET_VERSION == (3, 0)
    assert SourceCanonicalizer.target_version_str == "3.0"
    assert SourceCanonicalizer().name == "SourceCanonicalizer"
    assert SourceCanonicalizer("canon").name == "canon"
    assert source_canonicalizer.logger is logging.getLogger(LOGGER)


def test_the_target_version_is_read_through_the_step():
    class Later(SourceCanonicalizer):
        TARGET_VERSION = (3, 1)
        target_version_str = "3.1"

    tree = parser.parse("OPENQASM 3.0; qubit q;")
    Later()(OpenQasmProgram(tree))
    assert tree.version == "3.1"


def test_transformer_pieces():
    assert issubclass(IOVariablesTransformer, ClassicalDeclarationInitializerSplitter)
    declaration = parser.parse("int[8] x = 3;").statements[0]
    new = IOVariablesTransformer._get_new_declaration_node(declaration)
    assert type(new) is ast.IODeclaration and new.io_identifier is ast.IOKeyword.output
    assert new.type is declaration.type and new.identifier is declaration.identifier
    tree = parser.parse("int x;")
    assert IOVariablesTransformer().visit_Program(tree) is tree


def test_wrong_program_form_fails_the_assertion():
    with pytest.raises(AssertionError) as caught:
        SourceCanonicalizer()(TextualProgram("int x;"))
    assert caught.value.args == ()
