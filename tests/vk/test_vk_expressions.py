import operator
import typing

import pytest

from vk import vyr
from vk.vyr._expressions import VyrArrayVariable, VyrScalarExpression
from vk.vyr.type_hints import Scalar, ScalarOfAnyType, VyrArrayCell, VyrVariable


@pytest.fixture
def variables():
    with vyr.program():
        yield (
            vyr.declare(int, value=0),
            vyr.declare(vyr.fixed, value=vyr.fixed(0)),
            vyr.declare(bool, value=False),
        )


def test_fixed_zero():
    zero = vyr.fixed(0)
    assert isinstance(zero, vyr.fixed) and zero == 0


BINARY = [
    ("/", operator.truediv, vyr.fixed),
    (">>", operator.rshift, int),
    ("<<", operator.lshift, int),
    (">", operator.gt, bool),
    (">=", operator.ge, bool),
    ("<", operator.lt, bool),
    ("<=", operator.le, bool),
    ("+", operator.add, int),
    ("^", operator.xor, int),
    ("|", operator.or_, int),
    ("&", operator.and_, int),
    ("*", operator.mul, int),
    ("-", operator.sub, int),
    ("==", operator.eq, bool),
]


@pytest.mark.parametrize("symbol, op, dtype", BINARY)
def test_binary_operators_on_either_side_of_a_plain_value(variables, symbol, op, dtype):
    i, _, _ = variables
    forward, reflected, both = op(i, 3), op(3, i), op(i, i)
    for result in (forward, reflected, both):
        assert isinstance(result, VyrScalarExpression) and result.dtype is dtype
    assert str(forward) == f"v1 {symbol} 3"
    assert str(both) == f"v1 {symbol} v1"
    # A comparison with the plain value on the left is the mirrored comparison.
    mirrored = {">": "<", ">=": "<=", "<": ">", "<=": ">=", "==": "=="}.get(symbol)
    assert str(reflected) == (f"v1 {mirrored} 3" if mirrored else f"3 {symbol} v1")


@pytest.mark.parametrize(
    "build, dtype",
    [
        (lambda i, f, b: i + f, vyr.fixed),
        (lambda i, f, b: i * 1.5, vyr.fixed),
        (lambda i, f, b: b & b, bool),
        (lambda i, f, b: b | True, bool),
        (lambda i, f, b: b + b, int),
        (lambda i, f, b: -b, int),
        (lambda i, f, b: -f, vyr.fixed),
        (lambda i, f, b: ~b, bool),
        (lambda i, f, b: ~i, int),
        (lambda i, f, b: f >> 1, vyr.fixed),
    ],
)
def test_result_types(variables, build, dtype):
    assert build(*variables).dtype is dtype


@pytest.mark.parametrize("op", [operator.eq, operator.lt, operator.le, operator.gt, operator.ge])
def test_invert_applies_to_equality_and_comparisons(variables, op):
    i, _, _ = variables
    negated = ~op(i, 1)
    assert isinstance(negated, VyrScalarExpression) and negated.dtype is bool
    assert str(negated) == f"~({op(i, 1)})"


def test_nested_expressions_are_parenthesised(variables):
    i, f, b = variables
    assert str(-(i + 1) * 2 - f) == "((-(v1 + 1)) * 2) - v2"
    assert str((i == 1) & ~b) == "(v1 == 1) & (~v3)"


def test_dtype_and_is_fixed(variables):
    i, f, b = variables
    assert i.dtype == int and not i.is_fixed()
    assert b.dtype == bool and not b.is_fixed()
    assert f.is_fixed() and (i / 2).is_fixed()


def test_expressions_hash_by_identity_and_have_no_truth_value(variables):
    i, _, _ = variables
    assert {i: 1}[i] == 1
    with pytest.raises(TypeError, match="no truth value"):
        bool(i == 1)
    with pytest.raises(TypeError, match="cannot be iterated"):
        list(i)


@pytest.mark.parametrize("other", ["x", None, [1], object()])
def test_operators_refuse_non_values(variables, other):
    i, _, _ = variables
    with pytest.raises(TypeError):
        i + other
    with pytest.raises(TypeError):
        other < i


def test_array_cells(variables):
    i, _, _ = variables
    cells = VyrArrayVariable("a", int, 4)
    assert isinstance(cells[i], VyrArrayCell) and cells[i].dtype is int
    assert str(cells[2]) == "a[2]" and str(cells[i + 1]) == "a[v1 + 1]"
    assert str(cells[0] + 1) == "a[0] + 1"


@pytest.mark.parametrize(
    "cast, dtype, name",
    [(vyr.Cast.to_int, int, "to_int"), (vyr.Cast.to_fixed, vyr.fixed, "to_fixed"), (vyr.Cast.to_bool, bool, "to_bool")],
)
def test_cast(variables, cast, dtype, name):
    i, f, _ = variables
    result = cast(f + i)
    assert result.dtype is dtype and str(result) == f"{name}(v2 + v1)"
    for plain in (3, 2.5, True):
        with pytest.raises(TypeError, match=f"Cast.{name}"):
            cast(plain)
    with pytest.raises(TypeError, match=f"Cast.{name}"):
        cast(VyrArrayVariable("a", int, 2))


@pytest.mark.parametrize("name", ["sqrt", "exp", "ln", "sin", "cos", "atan"])
def test_math(variables, name):
    i, _, _ = variables
    function = getattr(vyr.Math, name)
    for argument, shown in ((i, "v1"), (2, "2"), (0.5, "0.5")):
        result = function(argument)
        assert isinstance(result, VyrScalarExpression) and result.is_fixed()
        assert str(result) == f"{name}({shown})"
    with pytest.raises(TypeError, match=f"Math.{name}"):
        function("x")


def test_type_hints_are_subscriptable():
    assert typing.get_args(Scalar[int]) == (int, VyrScalarExpression[int])
    assert bool in typing.get_args(ScalarOfAnyType)
    typing.Union[VyrVariable[bool], VyrArrayVariable[int], VyrArrayCell[float]]
