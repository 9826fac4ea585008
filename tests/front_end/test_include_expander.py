import gc
import sys
import warnings

import pytest
from openqasm3 import ast, parser

from corvane.passes.parsing.exceptions import ParsingException
from corvane.passes.parsing.include_expander import (
    DeepInclusionError,
    IncludeExpander,
    IncludeFileDeclaresVersionException,
    parse_oq3_source_filename,
)
from corvane.programs import OpenQasmProgram, TextualProgram


@pytest.fixture
def files(tmp_path, monkeypatch):
    """Writes named files into a fresh working directory."""
    monkeypatch.chdir(tmp_path)

    def write(**contents):
        for name, text in contents.items():
            path = tmp_path / name.replace("__", "/")
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
        return tmp_path

    return write


def expand(source, max_depth=100):
    program = OpenQasmProgram(parser.parse(source))
    return program, IncludeExpander(max_depth)(program)


def names(tree):
    return [statement.identifier.name for statement in tree.statements]


def test_included_statements_take_the_place_of_the_include(files):
    files(**{"one.qasm": 'int b; include "two.qasm"; int c;', "two.qasm": "int b2;"})
    program, result = expand('int a; include "one.qasm"; int d;')
    assert type(result) is OpenQasmProgram and result is not program
    assert result.ast is program.ast
    assert names(result.ast) == ["a", "b", "b2", "c", "d"]
    assert not any(isinstance(s, ast.Include) for s in result.ast.statements)


def test_names_resolve_against_the_working_directory_at_every_level(files):
    # sub/one.qasm names "two.qasm": the one beside it is not the one read.
    files(**{"sub__one.qasm": 'include "two.qasm";', "sub__two.qasm": "int wrong;", "two.qasm": "int right;"})
    _, result = expand('include "sub/one.qasm";')
    assert names(result.ast) == ["right"]


def test_a_file_included_twice_is_inserted_twice_as_separate_nodes(files):
    files(**{"x.qasm": "int x;"})
    _, result = expand('include "x.qasm"; include "x.qasm";')
    first, second = result.ast.statements
    assert first == second and first is not second


def test_include_inside_a_block_is_left_in_place():
    nested = ast.Include("missing.qasm")
    tree = ast.Program([ast.Box(None, [nested])])
    IncludeExpander(5)(OpenQasmProgram(tree))
    assert tree.statements[0].body[0] is nested


@pytest.mark.parametrize(
    "contents, source, max_depth, chain",
    [
        # The file at the first level too deep is still read before the depth test fails.
        ({"a.qasm": 'include "b.qasm";', "b.qasm": "int b;"}, 'include "a.qasm";', 1, ["a.qasm", "b.qasm"]),
        ({"a.qasm": "int a;"}, 'include "a.qasm";', 0, ["a.qasm"]),
        ({}, "int x;", -1, []),
        ({"self.qasm": 'include "self.qasm";'}, 'include "self.qasm";', 2, ["self.qasm"] * 3),
        ({"self.qasm": 'include "self.qasm";'}, 'include "self.qasm";', 2.9, ["self.qasm"] * 3),
    ],
)
def test_depth_limit(files, contents, source, max_depth, chain):
    files(**contents)
    program = OpenQasmProgram(parser.parse(source))
    before = list(program.ast.statements)
    with pytest.raises(DeepInclusionError) as caught:
        IncludeExpander(max_depth)(program)
    error = caught.value
    assert isinstance(error, ParsingException)
    assert error.inclusion_files == chain and error.args == (chain,)
    assert str(error) == "Max inclusion depth reached, included files:\n - " + "\n - ".join(chain)
    assert program.ast.statements == before


def test_the_depth_error_holds_the_very_chain_it_was_given():
    chain = ["outer.qasm"]
    with pytest.raises(DeepInclusionError) as caught:
        IncludeExpander(0)._parse_inclusions(ast.Program([]), chain)
    assert caught.value.inclusion_files is chain


def test_a_chain_within_the_limit_is_expanded(files):
    files(**{"a.qasm": 'include "b.qasm";', "b.qasm": "int b;"})
    _, result = expand('include "a.qasm";', max_depth=2)
    assert names(result.ast) == ["b"]


def test_the_file_beyond_the_limit_is_parsed_and_checked_before_the_depth_test(files):
    files(**{"a.qasm": 'include "b.qasm";', "b.qasm": "OPENQASM 3.0;"})
    with pytest.raises(IncludeFileDeclaresVersionException):
        expand('include "a.qasm";', max_depth=1)


@pytest.mark.parametrize("version", ["OPENQASM 2.0;", "OPENQASM 3;", "OPENQASM 3.0;"])
def test_included_file_may_not_declare_a_version(files, version):
    files(**{"sub__v.qasm": version + " int x;"})
    with pytest.raises(IncludeFileDeclaresVersionException) as caught:
        expand('include "sub/v.qasm";')
    assert caught.value.filename == "sub/v.qasm" and caught.value.args == ("sub/v.qasm",)
    assert str(caught.value) == "The included file sub/v.qasm declares a version, which is prohibited."


def test_failure_deep_in_a_chain_leaves_the_tree_unchanged(files):
    files(**{"one.qasm": 'int b; include "missing.qasm";'})
    program = OpenQasmProgram(parser.parse('int a; include "one.qasm";'))
    statements = program.ast.statements
    snapshot = list(statements)
    with pytest.raises(FileNotFoundError) as caught:
        IncludeExpander(10)(program)
    assert caught.value.args == ("File missing.qasm not found",)
    assert program.ast.statements is statements and statements == snapshot


@pytest.mark.parametrize(
    "contents, name, error",
    [
        ({"bad.qasm": "int x = ;"}, "bad.qasm", parser.QASM3ParsingError),
        ({"open.qasm": "// fine so far\n/* but never closed"}, "open.qasm", parser.QASM3ParsingError),
        ({"dir__inner.qasm": "int x;"}, "dir", IsADirectoryError),
    ],
)
def test_reading_and_parsing_errors_pass_unwrapped_and_close_the_file(files, monkeypatch, contents, name, error):
    files(**contents)
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    with warnings.catch_warnings():
        warnings.simplefilter("error", ResourceWarning)
        with pytest.raises(error):
            expand(f'include "{name}";')
        gc.collect()  # a file left open would be reported here
    assert unraisable == []


def test_parse_oq3_source_filename_reads_and_parses_the_whole_file(files):
    files(**{"p.qasm": "OPENQASM 3.0;\nqubit q;\nreset q;\n"})
    tree = parse_oq3_source_filename("p.qasm")
    assert tree == parser.parse("OPENQASM 3.0;\nqubit q;\nreset q;\n")


@pytest.mark.parametrize("text", ["", "\n  \t\r\n", "// gates come from the profile\n", "/* none */ // here"])
def test_a_file_without_statements_is_an_empty_program(files, text):
    files(**{"empty.inc": text, "p.qasm": 'int a; include "empty.inc"; int b;'})
    assert parse_oq3_source_filename("empty.inc") == ast.Program(statements=[], version=None)
    _, result = expand('include "p.qasm";')
    assert names(result.ast) == ["a", "b"]


def test_get_sub_program_returns_the_parsed_file(files):
    files(**{"p.qasm": "qubit q;"})
    assert IncludeExpander.get_sub_program("p.qasm") == parser.parse("qubit q;")
    assert IncludeExpander(1).get_sub_program(filename="p.qasm") == parser.parse("qubit q;")


def test_parse_inclusions_returns_the_node_it_was_given(files):
    files(**{"x.qasm": "int x;"})
    tree = parser.parse('include "x.qasm";')
    assert IncludeExpander(1)._parse_inclusions(program=tree, included_files=[]) is tree
    assert names(tree) == ["x"]


def test_step_name_and_setting():
    step = IncludeExpander(max_depth=True)
    assert step.name == "IncludeExpander" and step.max_depth == 1 and type(step.max_depth) is int


@pytest.mark.parametrize(
    "call, parameter, expected",
    [
        (lambda: IncludeExpander("3"), "max_depth", "int"),
        (lambda: IncludeExpander(None), "max_depth", "int"),
        (lambda: IncludeExpander(1)._parse_inclusions(ast.Program([]), ()), "included_files", "list"),
        (lambda: IncludeExpander.get_sub_program(b"x.qasm"), "filename", "str"),
        (lambda: parse_oq3_source_filename(None), "filename", "str"),
        (lambda: DeepInclusionError(("a",)), "inclusion_files", "list"),
        (lambda: IncludeFileDeclaresVersionException(["a"]), "filename", "str"),
    ],
)
def test_exact_argument_types(call, parameter, expected):
    with pytest.raises(TypeError, match=rf"^Argument '{parameter}' has incorrect type \(expected {expected}, got "):
        call()


def test_wrong_program_form_fails_the_assertion():
    with pytest.raises(AssertionError) as caught:
        IncludeExpander(1)(TextualProgram("int x;"))
    assert caught.value.args == ()
