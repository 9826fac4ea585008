import textwrap
import typing

import pytest

import corvane.vyr_slot as vyr_slot
from corvane.vyr_slot import (
    FetchingUndeclaredVariableException,
    IndexingVariableException,
    NoStreamVariableException,
    OperatingOnUndeclaredVariableException,
    VyrArr,
    VyrAssignmentException,
    VyrBitRegister,
    VyrDurationArr,
    VyrDurationSlot,
    VyrSlot,
    VyrSlotBase,
    VyrUintArr,
    VyrUintSlot,
)
from vk import vyr
from vk.vyr._expressions import VyrArrayVariable
from vk.vyr.type_hints import VyrVariable


def expected(block):
    return textwrap.dedent(block).strip("\n")


class RecordingVyr:
    """The vk SDK, with every call the wrappers make recorded as (name, args, kwargs)."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        function = getattr(vyr, name)
        if not callable(function):
            return function

        def record(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return function(*args, **kwargs)

        return record

    def names(self):
        return [name for name, _, _ in self.calls]


@pytest.fixture
def sdk(monkeypatch):
    recording = RecordingVyr()
    monkeypatch.setattr(vyr_slot, "vyr", recording)
    return recording


@pytest.fixture
def scope():
    with vyr.program() as opened:
        yield opened


def rendered(scope):
    return str(scope._program)


@pytest.mark.parametrize(
    "make, input_stream, output_stream, calls",
    [
        (lambda: VyrSlot("x", int), False, False, [("declare", (int,), {"value": 0})]),
        (lambda: VyrArr("x", int, 3), False, False, [("declare", (int,), {"value": [0, 0, 0]})]),
        (lambda: VyrArr("x", bool, 0), False, False, [("declare", (bool,), {"value": []})]),
        (lambda: VyrArr("x", int, -2), False, False, [("declare", (int,), {"value": []})]),
        (lambda: VyrSlot("x", bool), 0, "", [("declare", (bool,), {"value": False})]),
        (
            lambda: VyrSlot("x", int),
            True,
            False,
            [("declare_input_stream", (int,), {"name": "x", "value": 0}), ("advance_input_stream", "EXP", {})],
        ),
        (lambda: VyrSlot("x", int), False, True, [("declare_stream", (), {}), ("declare", (int,), {"value": 0})]),
        (
            lambda: VyrArr("x", int, 2),
            1,
            [1],
            [
                ("declare_stream", (), {}),
                ("declare_input_stream", (int,), {"name": "x", "value": [0, 0]}),
                ("advance_input_stream", "EXP", {}),
            ],
        ),
    ],
)
def test_declare_makes_exactly_these_calls(sdk, scope, make, input_stream, output_stream, calls):
    wrapper = make()
    wrapper.declare(input_stream, output_stream)
    expression = wrapper.vyr_value_exp
    assert sdk.calls == [
        (name, (expression,) if args == "EXP" else args, kwargs) for name, args, kwargs in calls
    ]
    assert isinstance(expression, VyrArrayVariable if isinstance(wrapper, VyrArr) else VyrVariable)
    if output_stream:
        assert isinstance(wrapper.stream_var, vyr.ResultStreamSource)
    else:
        with pytest.raises(NoStreamVariableException) as error:
            wrapper.stream_var
        assert str(error.value) == "No stream variable was declared for x."


def test_fixed_point_zero_is_the_initial_value(sdk, scope):
    VyrSlot("f", vyr.fixed).declare(False, False)
    VyrArr("g", vyr.fixed, 2).declare(False, False)
    values = [kwargs["value"] for _, _, kwargs in sdk.calls]
    assert type(values[0]) is vyr.fixed and values[0] == 0
    assert [type(v) for v in values[1]] == [vyr.fixed, vyr.fixed]


def test_construction_sets_fields_in_order_and_makes_no_call(sdk):
    slot = VyrSlot("s", dtype=int)
    arr = VyrArr("a", dtype=bool, size=2.9)
    assert list(vars(slot)) == ["_name", "dtype", "_vyr_value_exp", "_stream_var"]
    assert list(vars(arr)) == ["_name", "dtype", "_vyr_value_exp", "_stream_var", "size"]
    assert (slot.name, slot.dtype, arr.size) == ("s", int, 2)
    assert VyrArr("a", int, True).size == 1 and type(VyrArr("a", int, True).size) is int
    assert sdk.calls == []


@pytest.mark.parametrize(
    "make, parameter, expected_type",
    [
        (lambda: VyrSlot(None, int), "name", "str"),
        (lambda: VyrSlot(type("S", (str,), {})("s"), int), "name", "str"),
        (lambda: VyrArr("a", int, "3"), "size", "int"),
        (lambda: VyrArr(1, int, None), "size", "int"),
        (lambda: VyrUintSlot("u", int, "4"), "width", "int"),
        (lambda: VyrUintArr("u", int, 2, None), "width", "int"),
    ],
)
def test_constructor_argument_types(make, parameter, expected_type):
    with pytest.raises(TypeError, match=rf"Argument '{parameter}' has incorrect type \(expected {expected_type}"):
        make()


@pytest.mark.parametrize(
    "wrapper, base, fields",
    [
        # The marks of durations and of unsigned widths: the wrappers they derive from, a width more.
        (VyrDurationSlot("d", vyr.fixed), VyrSlot, {}),
        (VyrDurationArr("d", vyr.fixed, 2), VyrArr, {"size": 2}),
        (VyrUintSlot("u", int, 4), VyrSlot, {"width": 4}),
        (VyrUintArr("u", int, 2, True), VyrArr, {"size": 2, "width": 1}),
    ],
)
def test_marked_wrappers(sdk, wrapper, base, fields):
    assert isinstance(wrapper, base) and not isinstance(wrapper, VyrBitRegister)
    assert list(vars(wrapper)) == ["_name", "dtype", "_vyr_value_exp", "_stream_var", *fields]
    assert {name: getattr(wrapper, name) for name in fields} == fields
    assert all(type(getattr(wrapper, name)) is int for name in fields)
    assert sdk.calls == []


def test_base_is_abstract_and_generic():
    with pytest.raises(TypeError, match="abstract"):
        VyrSlotBase("x", int)
    assert VyrSlotBase.__abstractmethods__ == {"_get_init_value", "_save_variable_to_stream", "assign"}
    assert VyrSlotBase.__parameters__ == (vyr_slot.NumberT, vyr_slot.VyrExpT)
    assert VyrSlot.__orig_bases__ == (VyrSlotBase[vyr_slot.NumberT, VyrVariable[vyr_slot.NumberT]],)
    assert VyrArr.__orig_bases__ == (VyrSlotBase[vyr_slot.NumberT, VyrArrayVariable[vyr_slot.NumberT]],)


def test_type_names():
    assert vyr_slot.NumberT.__name__ == "NumberT" and vyr_slot.NumberT.__constraints__ == (bool, int, float)
    six = tuple(kind[t] for kind in (VyrVariable, VyrArrayVariable) for t in (bool, int, float))
    assert vyr_slot.VyrExpT.__name__ == "VyrExpT" and vyr_slot.VyrExpT.__constraints__ == six
    assert typing.get_args(vyr_slot.AllExps) == six


@pytest.mark.parametrize(
    "value, cells",
    [
        ([1, 2], ["v1[0] = 1", "v1[1] = 2"]),
        ([1, 2, 3, 4, 5, 6], ["v1[0] = 1", "v1[1] = 2", "v1[2] = 3", "v1[3] = 4"]),
        ((True, False), ["v1[0] = true", "v1[1] = false"]),
        ([], []),
    ],
)
def test_assigning_a_sequence_assigns_cell_by_cell(scope, value, cells):
    arr = VyrArr("a", int, 4)
    arr.declare(False, False)
    arr.assign(value)
    assert rendered(scope).splitlines() == ["declare int[4] v1 = [0, 0, 0, 0]", *cells]


@pytest.mark.parametrize(
    "kwargs, cells",
    [
        ({"start": 1, "step": 2}, ["v1[1] = 10", "v1[3] = 11", "v1[5] = 12"]),
        ({"start": True, "stop": 3}, ["v1[1] = 10", "v1[2] = 11"]),
        ({"start": 5, "stop": -1, "step": -2}, ["v1[5] = 10", "v1[3] = 11", "v1[1] = 12"]),
        ({"start": 2, "stop": 2}, []),
    ],
)
def test_assign_range_with_a_sequence(scope, kwargs, cells):
    arr = VyrArr("a", int, 6)
    arr.declare(False, False)
    arr.assign_range([10, 11, 12, 13, 14], **kwargs)
    assert rendered(scope).splitlines()[1:] == cells


def test_a_sequence_needs_plain_integer_bounds(scope):
    arr = VyrArr("a", int, 4)
    arr.declare(False, False)
    bound = vyr.declare(int, value=2)
    before = rendered(scope)
    for kwargs in ({"stop": bound}, {"start": bound}, {"step": 1.0}):
        with pytest.raises(TypeError, match="^Cannot dynamically assign values from pythonic list$") as error:
            arr.assign_range([1, 2], **kwargs)
        assert error.value.__cause__ is None
    assert rendered(scope) == before
    with pytest.raises(ValueError):
        arr.assign_range([1, 2], step=0)


def test_a_single_value_is_assigned_by_one_loop(scope):
    arr = VyrArr("a", int, 4)
    arr.declare(False, False)
    arr.assign(7)
    arr.assign_range(arr.get_single_index(0), start=1, step=2)
    bound = vyr.declare(int, value=3)
    arr.assign_range(False, start=bound, stop=bound + 1)
    assert rendered(scope) == expected(
        """
        declare int[4] v1 = [0, 0, 0, 0]
        declare int v2
        for (v2 = 0; v2 < 4; v2 = v2 + 1):
            v1[v2] = 7
        declare int v3
        for (v3 = 1; v3 < 4; v3 = v3 + 1):
            v1[v3] = v1[0]
        declare int v4 = 3
        declare int v5
        for (v5 = v4; v5 < (v4 + 1); v5 = v5 + 1):
            v1[v5] = false
        """
    )


@pytest.mark.parametrize("index, cell", [(0, "v1[0]"), (2, "v1[2]"), (-1, "v1[2]"), (-3, "v1[0]")])
def test_a_plain_index_counts_from_the_end_when_negative(scope, index, cell):
    arr = VyrArr("a", int, 3)
    arr.declare(False, False)
    assert str(arr.get_single_index(index)) == cell
    arr.assign_single(index, 5)
    assert rendered(scope).splitlines()[-1] == f"{cell} = 5"


@pytest.mark.parametrize(
    "make, index, text",
    [
        (lambda: VyrArr("a", int, 3), 3, "Index 3 is out of range for the array 'a' of 3 cells."),
        (lambda: VyrArr("a", int, 3), -4, "Index -4 is out of range for the array 'a' of 3 cells."),
        (lambda: VyrArr("e", bool, 0), 0, "Index 0 is out of range for the array 'e' of 0 cells."),
        (lambda: VyrBitRegister("c", bool, 2), -3, "Index -3 is out of range for the bit register 'c' of 2 bits."),
    ],
)
def test_a_plain_index_outside_the_cells_names_the_array(scope, make, index, text):
    arr = make()
    arr.declare(False, False)
    before = rendered(scope)
    for operate in (lambda: arr.get_single_index(index), lambda: arr.assign_single(index, 1)):
        with pytest.raises(IndexError) as error:
            operate()
        assert str(error.value) == text
    assert rendered(scope) == before


def test_an_index_that_is_no_integer_names_the_array(scope):
    arr = VyrBitRegister("c", bool, 2)
    arr.declare(False, False)
    with pytest.raises(TypeError) as error:
        arr.get_single_index(1.5)
    assert str(error.value) == "The index 1.5 of the bit register 'c' is not an integer."
    with pytest.raises(TypeError) as error:
        arr.assign_single(vyr.declare(vyr.fixed, value=1.0), True)
    assert str(error.value) == "The index of the bit register 'c' is not an integer expression."
    assert type(error.value.__cause__) is TypeError


def test_an_index_known_only_at_run_time_goes_to_the_sdk_unchanged(scope):
    arr = VyrArr("a", int, 3)
    arr.declare(False, False)
    index = vyr.declare(int, value=-1)
    assert str(arr.get_single_index(index)) == "v1[v2]"
    assert str(arr.get_single_index(index - 1)) == "v1[v2 - 1]"


def test_saving_an_array_is_one_loop_then_stream_processing(sdk, scope):
    arr = VyrArr("a", bool, 3)
    arr.declare(False, True)
    arr.save()
    assert rendered(scope) == expected(
        """
        declare stream s1
        declare bool[3] v1 = [false, false, false]
        declare int v2
        for (v2 = 0; v2 < 3; v2 = v2 + 1):
            save v1[v2] to s1
        stream processing:
            s1.save_all("a")
        """
    )
    assert sdk.names()[2:] == ["declare", "for_", "save", "stream_processing"]
    assert sdk.calls[2] == ("declare", (int,), {})


def test_saving_a_scalar(scope):
    slot = VyrSlot("b", int)
    slot.declare(False, True)
    slot.assign(slot.vyr_value_exp + 1)
    slot.save()
    assert rendered(scope) == expected(
        """
        declare stream s1
        declare int v1 = 0
        v1 = v1 + 1
        save v1 to s1
        stream processing:
            s1.save_all("b")
        """
    )


def test_saving_without_a_stream(scope):
    slot, arr = VyrSlot("s", int), VyrArr("a", int, 2)
    slot.declare(False, False)
    arr.declare(False, False)
    for wrapper in (slot, arr):
        with pytest.raises(NoStreamVariableException, match=f"^No stream variable was declared for {wrapper.name}.$"):
            wrapper.save()
    # The array's loop was opened before its stream was read; the scalar saved nothing.
    assert rendered(scope).splitlines()[2:] == ["declare int v3", "for (v3 = 0; v3 < 2; v3 = v3 + 1):", "    pass"]


@pytest.mark.parametrize(
    "operate",
    [
        lambda w: w.vyr_value_exp,
        lambda w: w.get_single_index(0),
        lambda w: w.assign_single(0, 1),
        lambda w: w.assign([1]),
    ],
)
def test_undeclared_array_fails_before_emitting(sdk, scope, operate):
    with pytest.raises(FetchingUndeclaredVariableException, match="^Tried to operate on the variable 'u'.$"):
        operate(VyrArr("u", int, 2))
    assert sdk.calls == []


def test_undeclared_wrapper_in_loops_and_saves(scope):
    with pytest.raises(FetchingUndeclaredVariableException):
        VyrSlot("u", int).assign(1)
    with pytest.raises(FetchingUndeclaredVariableException):
        VyrSlot("u", int).save()
    assert rendered(scope) == ""
    with pytest.raises(FetchingUndeclaredVariableException):
        VyrArr("u", int, 2).assign(1)
    assert rendered(scope) == "declare int v1\nfor (v1 = 0; v1 < 2; v1 = v1 + 1):\n    pass"


@pytest.mark.parametrize(
    "make, value, text",
    [
        (lambda: VyrSlot("a", int), "oops", "Vyr failed to assign oops into a"),
        (lambda: VyrSlot("a", int), [1, 2], "Vyr failed to assign [1, 2] into a"),
    ],
)
def test_failed_sdk_assignment_is_wrapped(scope, make, value, text):
    wrapper = make()
    wrapper.declare(False, False)
    with pytest.raises(VyrAssignmentException) as error:
        wrapper.assign(value)
    assert str(error.value) == text
    assert error.value.args == ("a", value)
    assert (error.value.target_name, error.value.value) == ("a", value)
    assert isinstance(error.value.__cause__, TypeError)
    assert vars(wrapper)["_stream_var"] is None


def test_failed_cell_assignment_names_the_array(scope):
    arr = VyrArr("cells", int, 3)
    arr.declare(False, False)
    with pytest.raises(VyrAssignmentException, match="^Vyr failed to assign x into cells$"):
        arr.assign([1, "x", 3])
    # The cells before the failing item stay assigned.
    assert rendered(scope).splitlines()[1:] == ["v1[0] = 1"]


def test_only_ordinary_errors_are_wrapped(monkeypatch, scope):
    slot = VyrSlot("a", int)
    slot.declare(False, False)

    def interrupted(target, value):
        raise KeyboardInterrupt

    monkeypatch.setattr(vyr, "assign", interrupted)
    with pytest.raises(KeyboardInterrupt):
        slot.assign(1)


@pytest.mark.parametrize(
    "cls, args, text",
    [
        (OperatingOnUndeclaredVariableException, ("x",), "x"),
        (FetchingUndeclaredVariableException, ("x",), "Tried to operate on the variable 'x'."),
        (NoStreamVariableException, ("x",), "No stream variable was declared for x."),
        (VyrAssignmentException, ("x", 2.5), "Vyr failed to assign 2.5 into x"),
        (IndexingVariableException, ("x",), 'The variable "x" is not an array, and hence cannot be indexed'),
    ],
)
def test_error_classes(cls, args, text):
    error = cls(*args)
    assert str(error) == text and error.args == args
    assert isinstance(error, Exception)
    assert issubclass(cls, OperatingOnUndeclaredVariableException) == (cls in (
        OperatingOnUndeclaredVariableException, FetchingUndeclaredVariableException, NoStreamVariableException))
    with pytest.raises(TypeError, match="has incorrect type"):
        cls(None, *args[1:])


@pytest.mark.parametrize(
    "cls, attribute, text",
    [
        (FetchingUndeclaredVariableException, "name", "Tried to operate on the variable 'y'."),
        (NoStreamVariableException, "name", "No stream variable was declared for y."),
        (IndexingVariableException, "name", 'The variable "y" is not an array, and hence cannot be indexed'),
        (VyrAssignmentException, "target_name", "Vyr failed to assign 1 into y"),
    ],
)
def test_error_texts_follow_their_attributes(cls, attribute, text):
    error = cls("x", 1) if cls is VyrAssignmentException else cls("x")
    setattr(error, attribute, "y")
    assert str(error) == text


def test_a_suppressing_loop_exit_ends_the_loop_quietly(monkeypatch, scope):
    class Swallowing:
        def __enter__(self):
            return self

        def __exit__(self, *exc_info):
            return True

    monkeypatch.setattr(vyr, "for_", lambda *args: Swallowing())
    VyrArr("u", int, 2).assign(1)  # the undeclared wrapper's error is swallowed by the exit


class Shouting(str):
    def __str__(self):
        return "CUSTOM"


class Seven:
    def __str__(self):
        return "seven"


def renamed(error, attribute, value):
    setattr(error, attribute, value)
    return error


@pytest.mark.parametrize(
    "make, text",
    [
        # a text is its own text form, whatever its class's `__str__` says
        (lambda: VyrAssignmentException("x", Shouting("raw")), "Vyr failed to assign raw into x"),
        (lambda: renamed(VyrAssignmentException("x", 1), "target_name", Shouting("y")),
         "Vyr failed to assign 1 into y"),
        (lambda: renamed(NoStreamVariableException("x"), "name", Shouting("y")),
         "No stream variable was declared for y."),
        # anything else by its own text form
        (lambda: VyrAssignmentException("x", Seven()), "Vyr failed to assign seven into x"),
    ],
)
def test_error_texts_take_text_parts_by_their_characters(make, text):
    composed = make().__str__()
    assert composed == text and type(composed) is str
