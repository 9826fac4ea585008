import pytest
from vk import vyr

from corvane.passes.code_generation.output_persister import OutputPersister
from corvane.passes.utils import is_inside_scope
from corvane.programs import Vyr1Program
from corvane.vyr_slot import NoStreamVariableException, VyrArr, VyrSlot


def lowered(*declarations):
    """A program as the lowering leaves it: declared in its own scope, which is left again."""
    scope = vyr.program()
    program = Vyr1Program(scope)
    with scope:
        for wrapper, is_output, is_stream in declarations:
            program.declare_variable(wrapper, is_input=False, is_output=is_output, is_stream=is_stream)
    return program


def text(program):
    return str(program.dsl_program)


def test_outputs_are_saved_in_declaration_order_into_the_same_program():
    program = lowered((VyrSlot("x", int), True, True), (VyrSlot("p", int), False, True),
                      (VyrArr("c", bool, 2), True, True))
    before = text(program)
    assert OutputPersister()(program) is program
    assert not is_inside_scope()
    added = text(program)[len(before):].strip().splitlines()
    # x is v1 with stream s1; p (no output) is v2; c is v3 with stream s2
    assert added == [
        "save v1 to s1",
        "declare int v4",
        "for (v4 = 0; v4 < 2; v4 = v4 + 1):",
        "    save v3[v4] to s2",
        "stream processing:",
        '    s1.save_all("x")',
        '    s2.save_all("c")',
    ]


def test_nothing_is_saved_while_a_scope_is_open():
    program = lowered((VyrSlot("x", int), True, True))
    before = text(program)
    with vyr.program() as other:
        assert OutputPersister()(program) is program
    assert text(program) == before and str(other._program) == ""


def test_a_program_without_outputs_is_entered_and_left():
    program = lowered((VyrSlot("p", int), False, True))
    before = text(program)
    assert OutputPersister()(program) is program
    assert text(program) == before and not is_inside_scope()


def test_an_output_without_stream_fails_after_the_saves_before_it():
    program = lowered((VyrSlot("x", int), True, True), (VyrSlot("y", int), True, False))
    with pytest.raises(NoStreamVariableException, match=r"^No stream variable was declared for y\.$"):
        OutputPersister()(program)
    assert not is_inside_scope()
    assert text(program).endswith('declare int v2 = 0\nsave v1 to s1\nstream processing:\n    s1.save_all("x")')


def test_a_program_without_scope_is_asserted():
    with pytest.raises(AssertionError, match="^$"):
        OutputPersister()(Vyr1Program(None))


def test_step_name():
    assert OutputPersister().name == "OutputPersister"
