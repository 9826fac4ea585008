import pytest
from openqasm3 import ast, parser
from vk import vyr

from corvane.passes.code_generation.initial_value_inference import (
    InvalidArraySizeException,
    UnsupportedArrayException,
    UnsupportedDeclarationException,
    UnsupportedTypeException,
    get_variable_to_init,
)
from corvane.vyr_slot import (
    FetchingUndeclaredVariableException,
    VyrArr,
    VyrBitRegister,
    VyrDurationArr,
    VyrDurationSlot,
    VyrSlot,
    VyrUintArr,
    VyrUintSlot,
)


def declared_type(source):
    return parser.parse(source + ";").statements[0].type


def literal(value):
    return ast.IntegerLiteral(value)


@pytest.mark.parametrize(
    "source, cls, dtype, size",
    [
        ("bool v", VyrSlot, bool, None),
        ("bit v", VyrSlot, bool, None),
        ("bit[1] v", VyrBitRegister, bool, 1),
        ("bit[0] v", VyrBitRegister, bool, 0),
        ("bit[7] v", VyrBitRegister, bool, 7),
        ("int v", VyrSlot, int, None),
        ("int[8] v", VyrSlot, int, None),
        ("uint v", VyrSlot, int, None),
        # An unsigned integer of a written width keeps it; a duration is told from a number.
        ("uint[16] v", VyrUintSlot, int, None),
        ("float v", VyrSlot, vyr.fixed, None),
        ("float[64] v", VyrSlot, vyr.fixed, None),
        ("duration v", VyrDurationSlot, vyr.fixed, None),
        ("stretch v", VyrDurationSlot, vyr.fixed, None),
        ("array[int[32], 5] v", VyrArr, int, 5),
        ("array[uint[8], 2] v", VyrUintArr, int, 2),
        ("array[uint, 2] v", VyrArr, int, 2),
        ("array[float[64], 3] v", VyrArr, vyr.fixed, 3),
        ("array[bool, 1] v", VyrArr, bool, 1),
        ("array[bit, 3] v", VyrArr, bool, 3),
        ("array[bit[1], 3] v", VyrArr, bool, 3),
    ],
)
def test_declared_types(source, cls, dtype, size):
    wrapper = get_variable_to_init("v", declared_type(source))
    assert type(wrapper) is cls and wrapper.name == "v" and wrapper.dtype is dtype
    # A bit register is an array of booleans that reads as a number; a bool array is not one.
    assert isinstance(wrapper, VyrArr) == (size is not None)
    if size is not None:
        assert wrapper.size == size and type(wrapper.size) is int
    with pytest.raises(FetchingUndeclaredVariableException):
        wrapper.vyr_value_exp  # made, not declared


@pytest.mark.parametrize(
    "node_type, cls, dtype, size",
    [
        (ast.BitType(literal(-2)), VyrBitRegister, bool, -2),
        (ast.ArrayType(ast.StretchType(), [literal(2)]), VyrDurationArr, vyr.fixed, 2),
        (ast.ArrayType(ast.DurationType(), [literal(4)]), VyrDurationArr, vyr.fixed, 4),
    ],
)
def test_types_only_a_built_tree_can_hold(node_type, cls, dtype, size):
    wrapper = get_variable_to_init(name="v", node_type=node_type)
    assert type(wrapper) is cls and wrapper.dtype is dtype and wrapper.size == size


@pytest.mark.parametrize(
    "node_type, cls, width",
    [
        (ast.UintType(literal(4)), VyrUintSlot, 4),
        (ast.ArrayType(ast.UintType(literal(1)), [literal(3)]), VyrUintArr, 1),
        # No width of a bit or more is kept: such an unsigned integer is held like any integer.
        (ast.UintType(literal(0)), VyrSlot, None),
        (ast.UintType(ast.Identifier("n")), VyrSlot, None),
        (ast.IntType(literal(4)), VyrSlot, None),
    ],
)
def test_unsigned_widths(node_type, cls, width):
    wrapper = get_variable_to_init("v", node_type)
    assert type(wrapper) is cls and getattr(wrapper, "width", None) == width


def test_fixed_point_type_is_read_from_the_sdk_at_each_use(monkeypatch):
    class OtherFixed(float):
        pass

    monkeypatch.setattr(vyr, "fixed", OtherFixed)
    assert get_variable_to_init("f", ast.FloatType()).dtype is OtherFixed


def size_node(node_type):
    return node_type.size if isinstance(node_type, ast.BitType) else node_type.dimensions[0]


@pytest.mark.parametrize(
    "node_type",
    [declared_type(source) for source in
     ("bit[n] v", "array[float[64], 0] v", "array[int, n] v", "array[angle[8], 0] v", "array[int, 1 + 1] v")]
    + [ast.ArrayType(ast.IntType(), [literal(-1)]), ast.ArrayType(ast.AngleType(), [ast.Identifier("n")])],
)
def test_invalid_sizes(node_type):
    with pytest.raises(InvalidArraySizeException) as caught:
        get_variable_to_init("v", node_type)
    error = caught.value
    assert isinstance(error, UnsupportedDeclarationException)
    assert error.name == "v" and error.array_size is size_node(node_type)
    assert str(error) == (f"When declaring 'v' got size of {error.array_size}, "
                          "Array size currently supports only literal integers.")


@pytest.mark.parametrize(
    "source, text",
    [
        ("array[int, 2, 3] v", "When declaring 'v' got an array of 2 dimensions; only one-dimensional arrays are"),
        ("array[angle[8], 4] v", "When declaring 'v' got an array of <class 'openqasm3.ast.AngleType'>, but arrays"),
        ("array[complex[float], 2] v", "When declaring 'v' got an array of <class 'openqasm3.ast.ComplexType'>,"),
        # a cell holds one bit: a wider one would keep its lowest
        ("array[bit[4], 3] v", "When declaring 'v' got an array of bit[4], but an array's cell holds one bit"),
    ],
)
def test_unsupported_arrays(source, text):
    # The text says what is wrong with the array, not only its name.
    node_type = declared_type(source)
    with pytest.raises(UnsupportedArrayException) as caught:
        get_variable_to_init("v", node_type)
    assert isinstance(caught.value, UnsupportedDeclarationException)
    assert caught.value.name == "v" and caught.value.node_type is node_type
    assert str(caught.value).startswith(text)


def test_array_without_dimensions():
    with pytest.raises(UnsupportedArrayException, match="^When declaring 'v' got an array of 0 dimensions;"):
        get_variable_to_init("v", ast.ArrayType(ast.IntType(), []))


@pytest.mark.parametrize(
    "node_type",
    [declared_type("angle[20] v"), declared_type("complex[float[64]] v"), ast.ClassicalType(),
     ast.Identifier("not-a-type")],
)
def test_unsupported_types(node_type):
    with pytest.raises(UnsupportedTypeException) as caught:
        get_variable_to_init("v", node_type)
    error = caught.value
    assert isinstance(error, UnsupportedDeclarationException)
    assert error.name == "v" and error.node_type is node_type
    assert str(error) == f"When declaring 'v' got type {type(node_type)} which is not supported."


def test_name_must_be_text_before_the_type_is_looked_at():
    with pytest.raises(TypeError, match=r"^Argument 'name' has incorrect type \(expected str, got NoneType\)$"):
        get_variable_to_init(None, ast.AngleType())

    class Name(str):
        pass

    with pytest.raises(TypeError, match="expected str, got Name"):
        get_variable_to_init(Name("v"), ast.IntType())


@pytest.mark.parametrize(
    "make",
    [lambda name: UnsupportedDeclarationException(name),
     lambda name: UnsupportedTypeException(name, ast.AngleType()),
     lambda name: InvalidArraySizeException(name, literal(0))],
)
def test_error_constructors_require_text(make):
    with pytest.raises(TypeError, match="Argument 'name' has incorrect type"):
        make(1)


def test_error_texts_follow_their_fields():
    error = InvalidArraySizeException("v", literal(0))
    error.name, error.array_size = "w", ast.Identifier("n")
    assert str(error).startswith("When declaring 'w' got size of Identifier(")
    error = UnsupportedTypeException(name="v", node_type=ast.AngleType())
    error.node_type = ast.ComplexType(None)
    assert str(error) == "When declaring 'v' got type <class 'openqasm3.ast.ComplexType'> which is not supported."
