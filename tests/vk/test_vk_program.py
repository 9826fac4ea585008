import textwrap

import pytest

from vk import vyr
from vk.program import Program
from vk.vyr._expressions import VyrArrayVariable
from vk.vyr._scope_management.scopes_manager import _ProgramScope, scopes_manager
from vk.vyr.type_hints import ResultStreamSource, VyrVariable


def text(scope):
    return str(scope._program)


def expected(block):
    return textwrap.dedent(block).strip("\n")


@pytest.fixture
def scope():
    with vyr.program() as opened:
        yield opened


def test_program_scope_is_reentrant_and_appends_to_one_program():
    scope = vyr.program()
    assert isinstance(scope, _ProgramScope) and isinstance(scope._program, Program)
    assert not scopes_manager.is_inside_program_scope()
    with scope:
        assert scopes_manager.is_inside_program_scope()
        a = vyr.declare(int, value=1)
    assert not scopes_manager.is_inside_program_scope()
    program = scope._program
    with scope:
        vyr.assign(a, 2)
    assert scope._program is program
    assert text(scope) == "declare int v1 = 1\nv1 = 2"


def test_a_second_scope_cannot_open_inside_the_first(scope):
    with pytest.raises(vyr.ScopeError, match="already open"):
        with vyr.program():
            pass
    with pytest.raises(vyr.ScopeError, match="already open"):
        with scope:
            pass
    assert scopes_manager.is_inside_program_scope()


def test_scope_is_left_when_its_body_fails():
    scope = vyr.program()
    with pytest.raises(ZeroDivisionError):
        with scope:
            vyr.declare(int)
            1 / 0
    assert not scopes_manager.is_inside_program_scope()
    assert text(scope) == "declare int v1"


def test_nested_blocks_render_indented(scope):
    a = vyr.declare(int, value=0)
    cells = vyr.declare(vyr.fixed, value=[vyr.fixed(0)] * 2)
    i = vyr.declare(int)
    with vyr.for_(i, 0, i < 2, i + 1):
        with vyr.if_(a > 1):
            vyr.assign(cells[i], a / 2)
        with vyr.else_():
            with vyr.while_(a < 3):
                vyr.assign(a, a + 1)
    with vyr.for_each_(i, [1, 1, 3]):
        with vyr.switch_(i, True):
            with vyr.case_(1):
                vyr.play("x90", "q0.xy")
            with vyr.case_(a):
                pass
            with vyr.default_():
                vyr.wait(25, "q0.xy", "q0.z")
    with vyr.for_each_(i, vyr.declare(int, value=[0, 0, 0])):
        vyr.frame_rotation(0.5, "q0.xy")
    vyr.align("q0.xy", "q0.z")
    assert text(scope) == expected(
        """
        declare int v1 = 0
        declare fixed[2] v2 = [0.0, 0.0]
        declare int v3
        for (v3 = 0; v3 < 2; v3 = v3 + 1):
            if v1 > 1:
                v2[v3] = v1 / 2
            else:
                while v1 < 3:
                    v1 = v1 + 1
        for v3 in [1, 1, 3]:
            switch v3 (unsafe):
                case 1:
                    play("x90", "q0.xy")
                case v1:
                    pass
                default:
                    wait(25, "q0.xy", "q0.z")
        declare int[3] v4 = [0, 0, 0]
        for v3 in v4:
            frame_rotation(0.5, "q0.xy")
        align("q0.xy", "q0.z")
        """
    )
    kinds = [statement.kind for statement in scope._program.statements]
    assert kinds == ["declare", "declare", "declare", "for", "for_each", "declare", "for_each", "align"]
    assert [s.kind for s in scope._program.statements[3].body[0].body] == ["assign"]


def test_declarations_give_scalars_and_arrays(scope):
    flag = vyr.declare(bool, value=False)
    cells = vyr.declare(int, value=[0, 0, 0])
    empty = vyr.declare(bool, value=[])
    assert isinstance(flag, VyrVariable) and flag.dtype is bool
    assert isinstance(cells, VyrArrayVariable) and cells.size == 3 and cells.dtype is int
    assert empty.size == 0
    assert text(scope) == expected(
        """
        declare bool v1 = false
        declare int[3] v2 = [0, 0, 0]
        declare bool[0] v3 = []
        """
    )


def test_input_and_result_streams(scope):
    x = vyr.declare_input_stream(int, name="x", value=0)
    bits = vyr.declare_input_stream(bool, name="bits", value=[False, False])
    vyr.advance_input_stream(x)
    vyr.advance_input_stream(bits)
    stream = vyr.declare_stream()
    assert isinstance(stream, ResultStreamSource)
    vyr.save(x, stream)
    vyr.save(bits[1], stream)
    vyr.save(x + 1, stream)
    with vyr.stream_processing():
        stream.save_all("x")
    assert text(scope) == expected(
        """
        declare input stream int x = 0
        declare input stream bool[2] bits = [false, false]
        advance input stream x
        advance input stream bits
        declare stream s1
        save x to s1
        save bits[1] to s1
        save x + 1 to s1
        stream processing:
            s1.save_all("x")
        """
    )


def test_generated_names_skip_given_ones(scope):
    vyr.declare_input_stream(int, name="v1")
    assert vyr.declare(int).name == "v2"


def test_stream_processing_is_one_section_across_entries():
    scope = vyr.program()
    for name in ("a", "b"):
        with scope:
            stream = vyr.declare_stream()
            with vyr.stream_processing():
                stream.save_all(name)
    assert text(scope) == expected(
        """
        declare stream s1
        declare stream s2
        stream processing:
            s1.save_all("a")
            s2.save_all("b")
        """
    )


def test_measure_gives_an_assignable_boolean(scope):
    c = vyr.declare(bool, value=False)
    result = vyr.measure("readout", "q0.rr")
    assert isinstance(result, VyrVariable) and result.dtype is bool
    vyr.assign(c, result)
    assert text(scope) == 'declare bool v1 = false\ndeclare bool v2 = measure("readout", "q0.rr")\nv1 = v2'


def test_empty_program_renders_empty():
    with vyr.program() as scope:
        pass
    assert text(scope) == ""


def _outside_switch():
    with vyr.case_(1):
        pass


def _default_outside_switch():
    with vyr.default_():
        pass


def _statement_in_switch():
    with vyr.switch_(1, False):
        vyr.align("a", "b")


def _else_without_if():
    with vyr.else_():
        pass


def _else_after_other_statement():
    with vyr.if_(True):
        pass
    vyr.align("a", "b")
    with vyr.else_():
        pass


def _second_else():
    with vyr.if_(True):
        pass
    with vyr.else_():
        pass
    with vyr.else_():
        pass


def _save_all_outside_stream_processing():
    vyr.declare_stream().save_all("x")


def _statement_in_stream_processing():
    with vyr.stream_processing():
        vyr.declare(int)


@pytest.mark.parametrize(
    "misuse, message",
    [
        (_outside_switch, r"case_\(\) must stand directly inside switch_\(\)"),
        (_default_outside_switch, r"default_\(\) must stand directly inside switch_\(\)"),
        (_statement_in_switch, "only case_"),
        (_else_without_if, r"else_\(\) must follow an if_\(\) block"),
        (_else_after_other_statement, r"else_\(\) must follow an if_\(\) block"),
        (_second_else, r"else_\(\) must follow an if_\(\) block"),
        (_save_all_outside_stream_processing, r"inside stream_processing\(\)"),
        (_statement_in_stream_processing, "only stream saves"),
    ],
)
def test_misplaced_blocks_are_refused(scope, misuse, message):
    with pytest.raises(vyr.ScopeError, match=message):
        misuse()


@pytest.mark.parametrize(
    "statement",
    [
        lambda: vyr.declare(int),
        lambda: vyr.declare_input_stream(int, name="x"),
        lambda: vyr.declare_stream(),
        lambda: vyr.align("a", "b"),
        lambda: vyr.if_(True).__enter__(),
        lambda: vyr.stream_processing().__enter__(),
        lambda: vyr.measure("readout", "q0.rr"),
    ],
)
def test_statements_need_an_open_program_scope(statement):
    with pytest.raises(vyr.ScopeError, match="inside a program scope"):
        statement()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda a, cells: vyr.declare(float), "bool, int or fixed"),
        (lambda a, cells: vyr.declare(int, value=a), "plain initial value"),
        (lambda a, cells: vyr.declare(int, value=(0, 0)), "plain initial value"),
        (lambda a, cells: vyr.declare_input_stream(int, name=1), "text name"),
        (lambda a, cells: vyr.assign(3, a), "target"),
        (lambda a, cells: vyr.assign(a + 1, 2), "target"),
        (lambda a, cells: vyr.assign(cells, 2), "target"),
        (lambda a, cells: vyr.assign(a, "x"), "plain number or a scalar"),
        (lambda a, cells: vyr.assign(a, [1]), "plain number or a scalar"),
        (lambda a, cells: vyr.advance_input_stream(a), "input stream variable"),
        (lambda a, cells: vyr.save(a, a), "result stream"),
        (lambda a, cells: vyr.save(1, vyr.declare_stream()), "source"),
        (lambda a, cells: vyr.for_(cells[0], 0, True, 1), "loop variable"),
        (lambda a, cells: vyr.for_each_(a, [a]), "plain values"),
        (lambda a, cells: vyr.for_each_(a, (1, 2)), "plain values or an array"),
        (lambda a, cells: vyr.if_(cells), "scalar"),
        (lambda a, cells: vyr.align("a", 1), "element names"),
        (lambda a, cells: cells[1.0], "indexed by an integer"),
        (lambda a, cells: cells[a / 2], "not an integer expression"),
    ],
)
def test_bad_arguments_are_type_errors(scope, call, message):
    a = vyr.declare(int, value=0)
    cells = vyr.declare(int, value=[0, 0])
    with pytest.raises(TypeError, match=message):
        call(a, cells)


@pytest.mark.parametrize("index", [2, -1])
def test_plain_index_outside_the_array_is_refused(scope, index):
    cells = vyr.declare(int, value=[0, 0])
    with pytest.raises(IndexError, match="outside the 2 cells of v1"):
        cells[index]
