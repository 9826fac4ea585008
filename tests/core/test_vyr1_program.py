import textwrap

import pytest

import corvane.programs as programs
from corvane.passes.utils import is_inside_scope
from corvane.programs import (
    Program,
    UndeclaredVariableReferenceException,
    VariablesDB,
    VariableSignature,
    Vyr1Program,
    with_program_scope,
)
from corvane.vyr_slot import (
    FetchingUndeclaredVariableException,
    IndexingVariableException,
    NoStreamVariableException,
    VyrArr,
    VyrAssignmentException,
    VyrSlot,
)
from vk import vyr


def expected(block):
    return textwrap.dedent(block).strip("\n")


class FakeWrapper:
    """Records what the program asks of a wrapper."""

    def __init__(self, name):
        self.name = name
        self.calls = []
        self.vyr_value_exp = f"exp-{name}"

    def declare(self, *args, **kwargs):
        self.calls.append(("declare", args, kwargs))

    def assign(self, value):
        self.calls.append(("assign", value))

    def save(self):
        self.calls.append(("save",))


class CountingScope:
    """A program scope that counts its entries and may swallow errors."""

    def __init__(self, suppress=False):
        self.entered = self.exited = 0
        self.suppress = suppress
        self.errors = []
        self._scope = vyr.program()
        self._program = self._scope._program

    def __enter__(self):
        self.entered += 1
        self._scope.__enter__()
        return "ignored"

    def __exit__(self, exc_type, exc_value, traceback):
        self.exited += 1
        self.errors.append(exc_value)
        self._scope.__exit__(exc_type, exc_value, traceback)
        return self.suppress


@pytest.fixture
def open_scope():
    with vyr.program() as scope:
        yield scope


def test_a_new_program_is_empty():
    scope = vyr.program()
    program = Vyr1Program(scope)
    assert isinstance(program, Program)
    assert list(vars(program)) == ["_variables_db", "_outputs", "_inputs", "_program"]
    assert type(program.variables_db) is VariablesDB and program.variables_db == {}
    assert program.outputs == [] and program.inputs == [] and program._program is scope
    assert program.variables_db is program.variables_db and program.outputs is program._outputs
    assert Vyr1Program()._program is None and Vyr1Program(vyr_program=3)._program == 3
    assert program != Vyr1Program(scope)


@pytest.mark.parametrize(
    "is_input, is_output, is_stream, declared, inputs, outputs",
    [
        (True, False, True, (True, False), ["x"], []),
        (True, False, False, (False, False), ["x"], []),
        (False, False, True, (False, False), [], []),
        (False, True, True, (False, True), [], ["x"]),
        (True, True, True, (True, True), ["x"], ["x"]),
        (1, [], "yes", (True, False), ["x"], []),
    ],
)
def test_declare_variable_flags(open_scope, is_input, is_output, is_stream, declared, inputs, outputs):
    program = Vyr1Program(None)
    var = FakeWrapper("x")
    name = program.declare_variable(var, is_input=is_input, is_output=is_output, is_stream=is_stream)
    assert name == "x"
    assert var.calls == [("declare", declared, {})]
    assert all(type(flag) is bool for flag in var.calls[0][1])
    assert program.variables_db[VariableSignature("x")] is var
    assert (program.inputs, program.outputs) == (inputs, outputs)


def test_failed_declaration_records_nothing(open_scope):
    program = Vyr1Program(None)
    wrapper = VyrSlot("x", float)  # the stand-in refuses float as a vyr type
    with pytest.raises(TypeError, match="bool, int or fixed"):
        program.declare_variable(wrapper, True, True, True)
    assert program.variables_db == {} and program.inputs == [] and program.outputs == []
    # The result stream, declared first, stays.
    assert isinstance(wrapper.stream_var, vyr.ResultStreamSource)
    assert str(open_scope._program) == "declare stream s1"


def test_declaring_a_name_twice(open_scope):
    program = Vyr1Program(None)
    first, second = FakeWrapper("x"), FakeWrapper("x")
    program.declare_variable(first, is_input=False, is_output=False, is_stream=False)
    program.declare_variable(second, False, False, False)
    assert program.variables_db[VariableSignature("x")] is second and len(program.variables_db) == 1
    assert program["x"] == "exp-x" and program._get_var("x") is second


@pytest.mark.parametrize("is_stream", [True, False])
@pytest.mark.parametrize("between", [[], ["loop"]])
def test_a_second_output_of_one_name_is_refused_before_it_is_declared(open_scope, is_stream, between):
    """It would take the first one's place in the database and be saved twice into its stream."""
    program = Vyr1Program(None)
    first, second = FakeWrapper("x"), FakeWrapper("x")
    program.declare_variable(first, is_input=False, is_output=True, is_stream=is_stream)
    for _ in between:  # a non-output may take the name in between
        program.declare_variable(FakeWrapper("x"), False, False, is_stream)
    with pytest.raises(programs.DuplicateOutputException) as raised:
        program.declare_variable(second, False, True, is_stream)
    assert raised.value.name == "x"
    assert str(raised.value) == "Two output declarations share the name 'x'; two outputs may not share a result stream."
    assert second.calls == [] and program.outputs == ["x"]
    program.declare_variable(FakeWrapper("y"), False, True, is_stream)
    program.declare_variable(FakeWrapper("x"), False, False, is_stream)  # a plain variable reuses the name
    assert program.outputs == ["x", "y"]


@pytest.mark.parametrize(
    "first, second",
    [
        ((True, False), (True, False)),  # input, input
        ((False, True), (True, False)),  # output, then input
        ((True, False), (False, True)),  # input, then output
    ],
)
def test_an_input_shares_its_name_with_no_other_input_or_output(open_scope, first, second):
    """Inputs are fed by name and outputs read back by name: the second would never get its value."""
    program = Vyr1Program(None)
    program.declare_variable(FakeWrapper("x"), *first, is_stream=True)
    refused = FakeWrapper("x")
    with pytest.raises(programs.DuplicateInputException) as raised:
        program.declare_variable(refused, *second, is_stream=True)
    assert raised.value.name == "x" and refused.calls == []
    assert str(raised.value) == (
        "An input shares the name 'x' with another input or output; "
        "inputs and outputs are passed by name, so each needs a name of its own."
    )
    program.declare_variable(FakeWrapper("x"), False, False, True)  # a plain variable may
    program.declare_variable(FakeWrapper("z"), True, False, True)
    assert sorted(program.inputs + program.outputs) == ["x", "z"]


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda p: p.assign("q", 1), UndeclaredVariableReferenceException),
        (lambda p: p.assign_at_index("q", 0, 1), UndeclaredVariableReferenceException),
        (lambda p: p["q"], UndeclaredVariableReferenceException),
        (lambda p: p._get_var("q"), UndeclaredVariableReferenceException),
        (lambda p: p.assign_at_index("s", 0, 1), IndexingVariableException),
        (lambda p: p["u"], FetchingUndeclaredVariableException),
        (lambda p: p.assign("s", "text"), VyrAssignmentException),
        (lambda p: p.save_all_outputs(), NoStreamVariableException),
    ],
)
def test_errors(open_scope, call, error):
    program = Vyr1Program(None)
    program.declare_variable(VyrSlot("s", int), is_input=False, is_output=True, is_stream=False)
    program.variables_db[VariableSignature("u")] = VyrSlot("u", int)
    before = str(open_scope._program)
    with pytest.raises(error) as raised:
        call(program)
    assert str(open_scope._program) == before
    if error is UndeclaredVariableReferenceException:
        assert str(raised.value) == "The variable VariableSignature(name='q') does not exit."
    if error is IndexingVariableException:
        assert raised.value.name == "s"


@pytest.mark.parametrize(
    "call, parameter",
    [
        (lambda p: p.assign(None, 1), "target"),
        (lambda p: p.assign_at_index(b"s", 0, 1), "target"),
        (lambda p: p[1], "item"),
        (lambda p: p._get_var(type("S", (str,), {})("s")), "item"),
    ],
)
def test_names_must_be_exactly_text(open_scope, call, parameter):
    with pytest.raises(TypeError, match=rf"^Argument '{parameter}' has incorrect type \(expected str, got "):
        call(Vyr1Program(None))


def test_dsl_program():
    with pytest.raises(AttributeError, match="^Still within program scope, cannot return the full program$"):
        Vyr1Program().dsl_program
    scope = vyr.program()
    program = Vyr1Program(scope)
    with scope:
        assert program.dsl_program is scope._program
    assert program.dsl_program is scope._program
    scope._program = "replaced"
    assert program.dsl_program == "replaced"


def test_array_assignments_on_the_rendered_program(open_scope):
    program = Vyr1Program(None)
    program.declare_variable(VyrArr("a", int, 4), is_input=False, is_output=False, is_stream=False)
    program.assign("a", [5, 6])
    program.assign("a", 7)
    i = vyr.declare(int, value=1)
    program.assign_at_index("a", i, 8)
    program.assign_at_index("a", 3, i + 1)
    assert str(open_scope._program) == expected(
        """
        declare int[4] v1 = [0, 0, 0, 0]
        v1[0] = 5
        v1[1] = 6
        declare int v2
        for (v2 = 0; v2 < 4; v2 = v2 + 1):
            v1[v2] = 7
        declare int v3 = 1
        v1[v3] = 8
        v1[3] = v3 + 1
        """
    )


def test_saving_outputs_after_the_scope_was_left_reenters_it():
    scope = vyr.program()
    program = Vyr1Program(scope)
    with scope:
        program.declare_variable(VyrArr("a", int, 2), is_input=False, is_output=True, is_stream=True)
        program.declare_variable(VyrSlot("x", bool), is_input=True, is_output=False, is_stream=True)
        program.declare_variable(VyrSlot("b", vyr.fixed), is_input=False, is_output=True, is_stream=True)
    assert not is_inside_scope()
    program.save_all_outputs()
    assert not is_inside_scope()
    program.assign("x", True)
    assert program.dsl_program is scope._program
    assert str(program.dsl_program) == expected(
        """
        declare stream s1
        declare int[2] v1 = [0, 0]
        declare input stream bool x = false
        advance input stream x
        declare stream s2
        declare fixed v2 = 0.0
        declare int v3
        for (v3 = 0; v3 < 2; v3 = v3 + 1):
            save v1[v3] to s1
        save v2 to s2
        x = true
        stream processing:
            s1.save_all("a")
            s2.save_all("b")
        """
    )


def test_an_error_leaves_the_reentered_scope():
    scope = vyr.program()
    program = Vyr1Program(scope)
    with scope:
        program.declare_variable(VyrSlot("s", int), is_input=False, is_output=False, is_stream=False)
    with pytest.raises(VyrAssignmentException):
        program.assign("s", "text")
    assert not is_inside_scope()


@pytest.mark.parametrize(
    "call",
    [
        lambda p: p.save_all_outputs(),
        lambda p: p.declare_variable(FakeWrapper("x"), is_input=False, is_output=False, is_stream=False),
        lambda p: p.assign("x", 1),
        lambda p: p.assign_at_index("x", 1, 2),
    ],
)
def test_scope_is_entered_once_per_call_only_when_none_is_open(call):
    scope = CountingScope()
    program = Vyr1Program(scope)
    with scope:
        program.declare_variable(VyrArr("x", int, 2), is_input=False, is_output=True, is_stream=True)
    scope.entered = scope.exited = 0
    with vyr.program():
        call(program)
    assert scope.entered == 0
    call(program)
    assert (scope.entered, scope.exited) == (1, 1)


def test_errors_reach_the_scope_exit_and_pass_unchanged():
    scope = CountingScope()
    program = Vyr1Program(scope)
    with pytest.raises(UndeclaredVariableReferenceException) as error:
        program.assign("q", 1)
    assert scope.errors == [error.value]
    with pytest.raises(TypeError, match="'target'"):
        program.assign(None, 1)  # arguments are checked inside the entered scope
    assert scope.entered == 2


def test_a_suppressing_exit_makes_the_wrapper_call_again_directly():
    calls = []

    class Holder:
        def __init__(self):
            self._program = CountingScope(suppress=True)

        @with_program_scope
        def method(self, value, *, twice):
            calls.append(is_inside_scope())
            if len(calls) == 1:
                raise ValueError("first")
            return value * twice

    holder = Holder()
    assert holder.method(3, twice=2) == 6
    assert calls == [True, False] and holder._program.entered == 1
    assert isinstance(holder._program.errors[0], ValueError)


def test_wrapper_bears_the_method():
    def method(self, a, b=2):
        """Adds."""
        return (self, a, b)

    method.__annotations__ = {"a": "int"}
    method.extra = "kept"
    wrapper = with_program_scope(method)
    assert wrapper.__wrapped__ is method
    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__doc__) == (
        "method", method.__qualname__, "Adds.")
    assert wrapper.__annotations__ == {"a": "int"} and wrapper.extra == "kept"

    class Holder:
        _program = None
        call = wrapper

    holder = Holder()
    with vyr.program():
        assert holder.call(1, b=3) == (holder, 1, 3)
        assert wrapper(holder, 1) == (holder, 1, 2)
        assert wrapper(self=holder, a=4) == (holder, 4, 2)
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'self'"):
            wrapper()


def test_vyr1_program_operations_are_wrapped():
    for name in ("declare_variable", "assign", "assign_at_index", "save_all_outputs"):
        wrapper = vars(Vyr1Program)[name]
        assert wrapper.__name__ == name and wrapper.__qualname__ == f"Vyr1Program.{name}"
        assert wrapper.__module__ == "corvane.programs" and wrapper.__wrapped__ is not None


def test_patched_scope_test_is_honoured(monkeypatch):
    scope = CountingScope()
    program = Vyr1Program(scope)
    monkeypatch.setattr(programs, "is_inside_scope", lambda: True)
    program.save_all_outputs()
    assert scope.entered == 0


def test_no_scope_at_all_is_an_assertion(python_subprocess):
    code = """
        from corvane.programs import Vyr1Program
        try:
            Vyr1Program(None).save_all_outputs()
        except BaseException as error:
            print(type(error).__name__, repr(str(error)))
    """
    assert python_subprocess(code) == "AssertionError ''\n"
    assert python_subprocess(code, "-O") == "AttributeError '__exit__'\n"


def test_save_all_outputs_without_outputs_emits_nothing():
    scope = vyr.program()
    Vyr1Program(scope).save_all_outputs()
    assert str(scope._program) == ""
