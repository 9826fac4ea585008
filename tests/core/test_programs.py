import dataclasses
import functools

import pytest
from vk.program import Program as VkProgram
from vk.vyr._scope_management.scopes_manager import _ProgramScope

import corvane.passes.utils
import corvane.programs as programs
import corvane.vyr_slot
from corvane.programs import (
    OpenQasmProgram,
    Program,
    TextualProgram,
    UndeclaredVariableReferenceException,
    VariableSignature,
    VariablesDB,
)


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


def test_variable_signature_is_a_frozen_value_record():
    first, second = VariableSignature("q"), VariableSignature(name="q")
    assert first == second and hash(first) == hash(second)
    assert first != VariableSignature("r")
    assert repr(first) == str(first) == "VariableSignature(name='q')"
    assert {first: 1}[second] == 1
    with pytest.raises(dataclasses.FrozenInstanceError):
        first.name = "r"
    assert VariableSignature(3).name == 3


def test_variables_db_fails_only_on_subscript():
    database = VariablesDB()
    assert isinstance(database, dict)
    assert database.get(VariableSignature("q")) is None and VariableSignature("q") not in database
    with pytest.raises(UndeclaredVariableReferenceException) as error:
        database[VariableSignature("q")]
    assert not isinstance(error.value, KeyError)
    assert str(error.value) == "The variable VariableSignature(name='q') does not exit."
    assert error.value.args == ("VariableSignature(name='q')",)
    database[VariableSignature("q")] = "wrapper"
    assert database[VariableSignature("q")] == "wrapper"


def test_undeclared_variable_error():
    error = UndeclaredVariableReferenceException("x")
    assert isinstance(error, Exception) and error.args == ("x",) and error.name == "x"
    assert str(error) == "The variable x does not exit."
    error.name = "y"
    assert str(error) == "The variable y does not exit."
    with pytest.raises(TypeError, match=r"Argument 'name' has incorrect type \(expected str, got NoneType\)"):
        UndeclaredVariableReferenceException(None)


def test_module_binds_its_imports():
    assert programs.wraps is functools.wraps
    assert programs.VyrProgram is VkProgram and programs.VyrProgramScope is _ProgramScope
    assert programs.VyrArr is corvane.vyr_slot.VyrArr and programs.AllExps is corvane.vyr_slot.AllExps
    assert programs.is_inside_scope is corvane.passes.utils.is_inside_scope
    assert programs.F.__bound__ == programs.Callable[..., programs.Any]
