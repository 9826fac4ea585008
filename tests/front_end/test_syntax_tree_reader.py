import pytest
from openqasm3 import ast, parser

from corvane.passes.parsing.exceptions import ParsingException
from corvane.passes.parsing.syntax_tree_reader import GrammarParserException, SyntaxTreeReader
from corvane.programs import OpenQasmProgram, TextualProgram


def test_reads_source_into_a_new_syntax_tree_form():
    source = "OPENQASM 3.0; qubit[2] q; int x = 1; h q[0];"
    result = SyntaxTreeReader()(TextualProgram(source))
    assert type(result) is OpenQasmProgram
    assert result.ast == parser.parse(source)
    assert SyntaxTreeReader().name == "SyntaxTreeReader"


@pytest.mark.parametrize(
    "source, cause",
    [
        ("int x = ;", parser.QASM3ParsingError),
        ("qubit q", parser.QASM3ParsingError),
        ("/* a comment never closed", parser.QASM3ParsingError),
        ("// a comment, then\n;", parser.QASM3ParsingError),
    ],
)
def test_parser_failures_are_wrapped_with_the_caught_error_as_cause(source, cause):
    with pytest.raises(GrammarParserException) as caught:
        SyntaxTreeReader()(TextualProgram(source))
    error = caught.value
    assert isinstance(error, ParsingException)
    assert type(error.__cause__) is cause
    assert error.args == () and str(error) == ""


@pytest.mark.parametrize("source", ["", " \t\r\n", "// a line", "/* a\n block */", "/**/// and a line\n"])
def test_a_source_without_statements_is_an_empty_program(source):
    result = SyntaxTreeReader()(TextualProgram(source))
    assert type(result) is OpenQasmProgram
    assert result.ast == ast.Program(statements=[], version=None)


class NoSource:
    """A program form without source text."""


@pytest.mark.parametrize(
    "program, cause",
    [
        (OpenQasmProgram(ast.Program([])), AssertionError),
        (NoSource(), AssertionError),
    ],
)
def test_wrong_program_form_fails_the_assertion_inside_the_guard(program, cause):
    with pytest.raises(GrammarParserException) as caught:
        SyntaxTreeReader()(program)
    assert type(caught.value.__cause__) is cause


def test_without_assertions_the_missing_source_becomes_the_cause(python_subprocess):
    out = python_subprocess(
        """
        from openqasm3 import ast
        from corvane.passes.parsing.syntax_tree_reader import GrammarParserException, SyntaxTreeReader
        from corvane.programs import OpenQasmProgram
        try:
            SyntaxTreeReader()(OpenQasmProgram(ast.Program([])))
        except GrammarParserException as error:
            print(type(error.__cause__).__name__)
        """,
        "-O",
    )
    assert out.split() == ["AttributeError"]


def test_errors_outside_the_ordinary_class_pass_unchanged():
    class Interrupting(TextualProgram):
        @property
        def source_code(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        SyntaxTreeReader()(Interrupting(""))


def test_wrong_argument_count():
    with pytest.raises(TypeError):
        SyntaxTreeReader()()
