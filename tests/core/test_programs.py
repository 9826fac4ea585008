import pytest

from corvane.programs import OpenQasmProgram, Program, TextualProgram


def test_program_base_is_an_instantiable_abc():
    assert isinstance(Program(), Program)
    assert issubclass(TextualProgram, Program) and issubclass(OpenQasmProgram, Program)


@pytest.mark.parametrize("source", ["", "OPENQASM 3.0;"])
def test_textual_program_holds_its_text(source):
    assert TextualProgram(source).source_code == source
    assert TextualProgram(source_code=source).source_code == source


@pytest.mark.parametrize("value", [None, b"x", type("S", (str,), {})("x")])
def test_textual_program_takes_exactly_text(value):
    with pytest.raises(TypeError) as error:
        TextualProgram(value)
    assert str(error.value) == (
        f"Argument 'source_code' has incorrect type (expected str, got {type(value).__name__})"
    )


def test_open_qasm_program_holds_the_very_tree():
    tree = object()
    first, second = OpenQasmProgram(tree), OpenQasmProgram(ast=tree)
    assert first.ast is tree and second.ast is tree
    assert first != second and first == first
    assert OpenQasmProgram(None).ast is None


def test_properties_are_read_only():
    with pytest.raises(AttributeError):
        OpenQasmProgram(None).ast = 1
    with pytest.raises(AttributeError):
        TextualProgram("").source_code = "x"


def test_wrong_argument_counts():
    with pytest.raises(TypeError):
        TextualProgram()
    with pytest.raises(TypeError):
        OpenQasmProgram(1, 2)
