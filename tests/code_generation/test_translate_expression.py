import math
from types import SimpleNamespace

import pytest
from openqasm3 import ast, parser
from vk import vyr
from vk.vyr import Cast

from corvane.configurations.hardware_qubit import create_hardware_qubit
from corvane.passes.code_generation import translate_expression as te
from corvane.passes.code_generation.translate_expression import (
    DivisionByZeroException,
    InvalidOperandException,
    ValueOutOfRangeException,
)
from corvane.programs import UndeclaredVariableReferenceException, VariablesDB, VariableSignature
from corvane.vyr_slot import (
    FetchingUndeclaredVariableException,
    IndexingVariableException,
    VyrArr,
    VyrBitRegister,
    VyrDurationSlot,
    VyrSlot,
    VyrUintSlot,
)

translate = te.translate_expression


def expr(source):
    return parser.parse(source + ";").statements[0].expression


def array_literal(source):
    return parser.parse(f"array[int, 2] t = {source};").statements[0].init_expression


@pytest.fixture
def scope():
    with vyr.program() as scope:
        yield scope


@pytest.fixture
def db(scope):
    """x: int, f: fixed, b: bool, a: int[4], g: bool[2], c: bit[2], z: bit[0], d: duration, w: uint[3],
    all declared; u: an int never declared."""
    database = VariablesDB()
    wrappers = [VyrSlot("x", int), VyrSlot("f", vyr.fixed), VyrSlot("b", bool), VyrArr("a", int, 4),
                VyrArr("g", bool, 2), VyrBitRegister("c", bool, 2), VyrBitRegister("z", bool, 0),
                VyrDurationSlot("d", vyr.fixed), VyrUintSlot("w", int, 3)]
    for wrapper in wrappers:
        wrapper.declare(False, False)
        database[VariableSignature(wrapper.name)] = wrapper
    database[VariableSignature("u")] = VyrSlot("u", int)
    return database


@pytest.fixture
def v(db):
    return SimpleNamespace(**{name: db[VariableSignature(name)].vyr_value_exp for name in "xfbagcdw"})


def assert_same_expression(result, expected):
    assert type(result) is type(expected) and str(result) == str(expected)


def test_module_constants():
    assert te.CYCLES_PER_NS == 4 and type(te.CYCLES_PER_NS) is int
    assert te.TIME_IN_NS == {ast.TimeUnit.dt: 1, ast.TimeUnit.ns: 1, ast.TimeUnit.us: 1000,
                             ast.TimeUnit.ms: 1000000, ast.TimeUnit.s: 1000000000}
    assert te.PLAIN_VALUE_TYPES == (bool, int, float)


@pytest.mark.parametrize(
    "source, expected",
    [
        ("1", 1), ("2.5", 2.5), ("true", True), ("false", False), ('"101"', 5),
        # A bit-string literal keeps its width through "<<" and "~".
        ('"101" << 1', 2), ('~"101"', 2), ('"101" >> 1', 2), ('~("011" << 1)', 1), ('"1" << 3', 0),
        # durations: in clock cycles of 4 ns, exactly (1dt is 1ns); an int where the count is whole
        ("100ns", 25), ("1us", 250), ("0.5us", 125), ("4ns", 1), ("3ns", 0.75), ("1dt", 0.25), ("10dt", 2.5),
        ("2ms", 500000), ("1s", 250000000), ("-10ns", -2.5),
        # Sums, multiples and ratios of durations lose no time; two durations divide into a number.
        ("10ns + 10ns", 5), ("2 * 50ns", 25), ("50ns * 2", 25), ("100ns / 2", 12.5), ("-(10ns + 10ns)", -5),
        ("3 * 2ns", 1.5), ("10ns - 12ns", -0.5), ("10ns / 4ns", 2.5), ("500ns / 1ns", 500.0),
        ("100ns / 50ns", 2.0), ("1000dt / 0.002ns", 500000.0), ("10ns == 11ns", False), ("10ns < 11ns", True),
        ("2ns == 0ns", False), ("2ns > 1dt", True), ("3ns != 3dt", False),
        # Two integers divide as integers, floored; a real operand makes it true division.
        ("7 / 2", 3), ("-7 / 2", -4), ("7 / -2", -4), ("4 / 2", 2), ("true / 2", 0), ("7 / 2.0", 3.5),
        ("1.5 / 0.5", 3.0), ("9007199254740993 / 1", 9007199254740993), ("-9223372036854775808 / -1", 2**63),
        ("true + true", 2), ("-true", -1), ("3 - 5", -2), ("2.5 * 2", 5.0), ("2 * 3", 6),
        ("9223372036854775807 + 1", 9223372036854775808),
        ("4294967296 * 4294967296 * 4294967296", 2**96), ("-(-9223372036854775807 - 1)", 2**63),
        ("1 << 70", 2**70), ("1024 >> 3", 128), ("true << 2", 4),
        ("3 & 5", 1), ("3 | 5", 7), ("3 ^ 5", 6), ("true & false", False), ("true | false", True),
        ("true ^ true", False),
        ("1 == 1.0", True), ("true == 1", True), ("2 > 1.5", True), ("2 >= 2", True), ("1 < 1", False),
        ("1.5 <= 1", False), ("9007199254740993 == 9007199254740992.0", False),
        ("1 != 1", False), ("1 != 2", True), ("1 != 1.0", False),
        ("!true", False), ("!0", True), ("!0.0", True), ("!2", False),
        ("int[8](3.9)", 3), ("int(-3.9)", -3), ("uint(-2)", -2), ("int(true)", 1), ("uint[32](7)", 7),
        ("float(true)", 1.0), ("float[64](3)", 3.0), ("float(2.5)", 2.5),
        ("bool(0.0)", False), ("bool(0)", False), ("bool(-2)", True), ("bool(true)", True),
    ],
)
def test_plain_values(source, expected):
    result = translate(expr(source), VariablesDB())
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize(
    "node, expected",
    [
        (ast.DurationLiteral(3, ast.TimeUnit.us), 750),
        (ast.DurationLiteral(0.3, ast.TimeUnit.ns), 0.075),
        (ast.DurationLiteral(-7.0, ast.TimeUnit.ns), -1.75),
        (ast.DurationLiteral(1.5, ast.TimeUnit.s), 375000000),
        (ast.DurationLiteral(10, ast.TimeUnit.dt), 2.5),
        # An integer count of a unit of whole cycles stays exact, beyond the precision of a float.
        (ast.DurationLiteral(2**53 + 3, ast.TimeUnit.us), (2**53 + 3) * 250),
        # A real count is the decimal it is written as, whole cycles an int.
        (ast.DurationLiteral(4.02, ast.TimeUnit.us), 1005),
        (ast.DurationLiteral(0.1, ast.TimeUnit.ms), 25000),
        (ast.DurationLiteral(2.5e-7, ast.TimeUnit.s), 62.5),
        (ast.DurationLiteral(1e-05, ast.TimeUnit.us), 0.0025),
        (ast.DurationLiteral(1e20, ast.TimeUnit.ns), 25 * 10**18),
        (ast.DurationLiteral(-4.02, ast.TimeUnit.us), -1005),
    ],
)
def test_durations_built_directly(node, expected):
    result = translate(node, VariablesDB())
    assert result == expected and type(result) is type(expected)


def test_every_whole_cycle_written_in_microseconds_is_exact():
    # The multiples of 4 ns below 200 us, as a program writes them in us (4.02us).
    lost = []
    for cycles in range(50_000):
        written = f"{cycles * 4 // 1000}.{cycles * 4 % 1000:03d}"
        result = translate(ast.DurationLiteral(float(written), ast.TimeUnit.us), VariablesDB())
        if result != cycles or type(result) is not int:
            lost.append((written, result))
    assert lost == []


@pytest.mark.parametrize(
    "source, expected",
    [
        ("{1, 2 + 3}", [1, 5]),
        ("{{1, 2}, {true, 1.5}}", [[1, 2], [True, 1.5]]),
    ],
)
def test_array_literals_give_lists(source, expected):
    assert translate(array_literal(source), VariablesDB()) == expected


@pytest.mark.parametrize(
    "source, error, text",
    [
        ("1 / 0", DivisionByZeroException, "Division by zero: 1 / 0"),
        ("1.0 / 0.0", DivisionByZeroException, "Division by zero: 1.0 / 0.0"),
        ("2 * (1 / false)", DivisionByZeroException, "Division by zero: 1 / false"),
        ("1 << -1", ValueError, "negative shift count in 1 << -1"),
        ("1.5 & 1", InvalidOperandException, "unsupported operand type(s) for &: 'float' and 'int' in 1.5 & 1"),
        ("1 >> 1.0", InvalidOperandException, "unsupported operand type(s) for >>: 'int' and 'float' in 1 >> 1.0"),
        ("float(1 << 1100)", ValueOutOfRangeException, "int too large to convert to float in float(1 << 1100)"),
        ("1e308 * 10", ValueOutOfRangeException, "The value of 1e+308 * 10 is too large to be held"),
        ("1.0 / 1e-308 / 1e-308", ValueOutOfRangeException, "The value of 1.0 / 1e-308 / 1e-308 is too large to be held"),
        ("100ns * 1e308 * 10", ValueOutOfRangeException, "The duration 100.0ns * 1e+308 is too large to be held"),
    ],
)
def test_failing_plain_arithmetic_raises_its_own_error_naming_the_expression(source, error, text):
    with pytest.raises(error) as caught:
        translate(expr(source), VariablesDB())
    assert type(caught.value) is error and str(caught.value) == text


@pytest.mark.parametrize(
    "source, text",
    [
        ("x / 0", "Division by zero: x / 0"),
        ("f / 0.0", "Division by zero: f / 0.0"),
        ("x / (1 - 1)", "Division by zero: x / (1 - 1)"),
        ("10ns / 0", "Division by zero: 10.0ns / 0"),
        ("10ns / (5ns - 5ns)", "Division by zero: 10.0ns / (5.0ns - 5.0ns)"),
        ("d / 0", "Division by zero: d / 0"),
        ("d / 0ns", "Division by zero: d / 0.0ns"),
    ],
)
def test_a_zero_divisor_is_refused_whatever_the_dividend(source, text, db):
    # A plain zero divisor fails wherever the division runs.
    with pytest.raises(DivisionByZeroException) as caught:
        translate(expr(source), db)
    assert str(caught.value) == text


def test_durations_divide_truly_even_by_whole_cycles(db, v):
    # A duration is a real number of cycles: no division of it is an integer's.
    assert_same_expression(translate(expr("d / 4ns"), db), v.d / 1)
    assert_same_expression(translate(expr("d / 2"), db), v.d / 2)
    assert_same_expression(translate(expr("d / x"), db), v.d / v.x)
    assert translate(expr("1000dt / 4ns"), VariablesDB()) == 250.0


def floored(a, b):
    """The floored integer quotient of two integer expressions, as translation builds it."""
    quotient = Cast.to_int(a / b)
    product = quotient * b
    if isinstance(b, int):
        return quotient - Cast.to_int(product > a if b > 0 else product < a)
    return quotient - Cast.to_int(((b > 0) & (product > a)) | ((b < 0) & (product < a)))


@pytest.mark.parametrize(
    "source, build",
    [
        # Integers divide as integers: by a power of two with a shift, else corrected down where
        # the truncated quotient overshoots.
        ("x / 1", lambda v: v.x),
        ("b / 1", lambda v: Cast.to_int(v.b)),
        ("x / 4", lambda v: v.x >> 2),
        ("x / -1", lambda v: -v.x),
        ("x / -8", lambda v: (-v.x) >> 3),
        ("x / 3", lambda v: floored(v.x, 3)),
        ("x / -3", lambda v: floored(v.x, -3)),
        ("7 / x", lambda v: floored(7, v.x)),
        ("a[0] / x", lambda v: floored(v.a[0], v.x)),
        # A real operand makes it true division.
        ("x / f", lambda v: v.x / v.f),
        ("7.0 / x", lambda v: 7.0 / v.x),
        ("f / 2", lambda v: v.f / 2),
    ],
)
def test_divisions_of_vk_expressions(source, build, db, v):
    assert_same_expression(translate(expr(source), db), build(v))


def test_a_bit_register_divides_as_an_integer(db, v):
    register = te._scalar_value(v.c, ast.Identifier("c"), db)
    assert_same_expression(translate(expr("c / x"), db), floored(register, v.x))


def test_an_unsigned_integer_keeps_its_width_through_shifts_and_negation(db, v):
    # w is uint[3]: like a register of three bits, what shifts it left or negates it keeps three bits.
    cases = {
        "w << 1": (v.w << 1) & 7,
        "~w": v.w ^ 7,
        "~w & w": (v.w ^ 7) & v.w,
        "w >> 1": v.w >> 1,
        "(w + 1) << 1": (v.w + 1) << 1,
        "x << 1": v.x << 1,
    }
    for source, expected in cases.items():
        assert_same_expression(translate(expr(source), db), expected)
    with pytest.raises(NotImplementedError, match="Unary expression undefined"):
        translate(expr("~x"), db)


def test_a_bit_register_keeps_its_width_through_shifts_and_negation(db, v):
    # c is bit[2]: what shifts it left or negates it is cut to its two bits,
    # also inside a larger expression; a right shift or a mask cannot widen it.
    c = te._scalar_value(v.c, ast.Identifier("c"), db)
    cases = {
        "c << 1": (c << 1) & 3,
        "~c": c ^ 3,
        "(c << 1) << x": (((c << 1) & 3) << v.x) & 3,
        "~(c >> 1)": (c >> 1) ^ 3,
        "(c & 1) << 1": ((c & 1) << 1) & 3,
        "(c << 1) == 2": ((c << 1) & 3) == 2,
        "x << 1": v.x << 1,
        "(c + 1) << 1": (c + 1) << 1,
    }
    for source, expected in cases.items():
        assert_same_expression(translate(expr(source), db), expected)
    with pytest.raises(NotImplementedError, match="Unary expression undefined"):
        translate(expr("~(c + 1)"), db)


@pytest.mark.parametrize(
    "value, error",
    [(math.nan, ValueError), (math.inf, OverflowError), (-math.inf, OverflowError)],
)
def test_unconvertible_int_casts(value, error):
    with pytest.raises(error):
        te._cast_expression(value, ast.IntType())


@pytest.mark.parametrize(
    "value, text",
    [(math.nan, "The duration nanns is not a number that can be held"),
     (math.inf, "The duration infns is too large to be held"),
     (-math.inf, "The duration -infns is too large to be held")],
)
def test_durations_no_number_holds_are_refused(value, text):
    with pytest.raises(ValueOutOfRangeException) as caught:
        translate(ast.DurationLiteral(value, ast.TimeUnit.ns), VariablesDB())
    assert str(caught.value) == text


@pytest.mark.parametrize(
    "source, build",
    [
        ("x", lambda v: v.x),
        ("a", lambda v: v.a),
        ("x != 1", lambda v: ~(v.x == 1)),
        ("1 != x", lambda v: ~(v.x == 1)),
        ("x == f", lambda v: v.x == v.f),
        ("-x", lambda v: -v.x),
        ("!b", lambda v: ~v.b),
        ("!(x < 1)", lambda v: ~(v.x < 1)),
        ("x + 1 < 2.5 * f", lambda v: (v.x + 1) < (2.5 * v.f)),
        ("1 - x", lambda v: 1 - v.x),
        ("7.0 / x", lambda v: 7.0 / v.x),
        ("x >> 2 | 1 << x", lambda v: (v.x >> 2) | (1 << v.x)),
        ("b & true ^ b", lambda v: (v.b & True) ^ v.b),
        ("d - 10ns", lambda v: v.d - 2.5),
        ("x * 10ns", lambda v: v.x * 2.5),
        ("-d / 2ns", lambda v: -v.d / 0.5),
        ("d < 1dt", lambda v: v.d < 0.25),
        ("d != d", lambda v: ~(v.d == v.d)),
        ("a[x]", lambda v: v.a[v.x]),
        ("a[2]", lambda v: v.a[2]),
        ("a[x + 1] * a[0]", lambda v: v.a[v.x + 1] * v.a[0]),
        ("int(f)", lambda v: Cast.to_int(v.f)),
        ("uint[8](b)", lambda v: Cast.to_int(v.b)),
        ("float(x)", lambda v: Cast.to_fixed(v.x)),
        ("bool(x)", lambda v: Cast.to_bool(v.x)),
        ("bool(a[1])", lambda v: Cast.to_bool(v.a[1])),
        ("int(x + f)", lambda v: Cast.to_int(v.x + v.f)),
    ],
)
def test_vk_expressions(source, build, db, v, scope):
    emitted = len(scope._program.statements)
    assert_same_expression(translate(expr(source), db), build(v))
    assert len(scope._program.statements) == emitted  # translation emits nothing


@pytest.mark.parametrize("source, name", [("int(x)", "x"), ("float(f)", "f"), ("bool(b)", "b"), ("x", "x")])
def test_casts_to_the_own_kind_return_the_expression_itself(source, name, db, v):
    assert translate(expr(source), db) is getattr(v, name)


def test_array_literal_of_variables(db, v):
    result = translate(array_literal("{x, 1 + 1}"), db)
    assert type(result) is list and result[0] is v.x and result[1] == 2


@pytest.mark.parametrize(
    "value, target, expected",
    [
        (3.9, ast.IntType(ast.IntegerLiteral(8)), 3), (-3.9, ast.IntType(), -3), (-2, ast.UintType(), -2),
        (True, ast.IntType(), 1), (10**30, ast.UintType(ast.IntegerLiteral(8)), 10**30),
        (True, ast.FloatType(), 1.0), (5, ast.FloatType(ast.IntegerLiteral(32)), 5.0),
        (0.0, ast.BoolType(), False), (2.5, ast.BoolType(), True), (math.nan, ast.BoolType(), True),
    ],
)
def test_cast_of_plain_values(value, target, expected):
    result = te._cast_expression(expression=value, target=target)
    assert result == expected and type(result) is type(expected)


def register_value(c):
    """bit[2] c as a number: bit i weighs 2**i."""
    return Cast.to_int(c[0]) + (Cast.to_int(c[1]) << 1)


@pytest.mark.parametrize(
    "source, build",
    [
        ("c", lambda v: v.c),  # the whole register, as an assignment or a loop takes it
        ("c == 1", lambda v: register_value(v.c) == 1),
        ("1 != c", lambda v: ~(register_value(v.c) == 1)),
        ("c + x", lambda v: register_value(v.c) + v.x),
        ("c & 1", lambda v: register_value(v.c) & 1),
        ("c < c", lambda v: register_value(v.c) < register_value(v.c)),
        ("-c", lambda v: -register_value(v.c)),
        ("int(c)", lambda v: register_value(v.c)),
        ("uint[2](c)", lambda v: register_value(v.c)),
        ("float(c)", lambda v: Cast.to_fixed(register_value(v.c))),
        # Where only its truth counts: whether any bit is set.
        ("bool(c)", lambda v: v.c[0] | v.c[1]),
        ("!c", lambda v: ~(v.c[0] | v.c[1])),
    ],
)
def test_a_bit_register_used_as_a_value_is_its_unsigned_integer(source, build, db, v):
    assert_same_expression(translate(expr(source), db), build(v))


@pytest.mark.parametrize("source, expected", [("z == 0", True), ("z + 1", 1), ("!z", True), ("bool(z)", False)])
def test_a_register_of_no_bits_is_zero(source, expected, db):
    result = translate(expr(source), db)
    assert result == expected and type(result) is type(expected)


def test_a_wide_register_gives_a_shallow_expression(scope):
    database = VariablesDB()
    wide = VyrBitRegister("w", bool, 5000)
    wide.declare(False, False)
    database[VariableSignature("w")] = wide
    text = str(translate(expr("w == 0"), database))  # renders without exhausting the recursion limit
    depth = deepest = 0
    for character in text:
        depth += {"(": 1, ")": -1}.get(character, 0)
        deepest = max(deepest, depth)
    assert text.count("to_int(") == 5000 and deepest < 20


@pytest.mark.parametrize(
    "source, name",
    [("a == 1", "a"), ("1 + a", "a"), ("x * a", "a"), ("-a", "a"), ("!g", "g"), ("g | b", "g"),
     ("int(a)", "a"), ("float(a)", "a"), ("bool(g)", "g"), ("c == g", "g")],
)
def test_any_other_array_used_as_a_value_is_refused_by_name(source, name, db):
    with pytest.raises(TypeError) as caught:
        translate(expr(source), db)
    assert str(caught.value) == (f"The array {name} cannot be used as a value; only a bit register (bit[n]) "
                                 "reads as a number. Index one of its cells instead.")


def test_an_array_literal_is_no_operand(db):
    node = ast.BinaryExpression(ast.BinaryOperator["=="], array_literal("{1, 2}"), ast.IntegerLiteral(1))
    with pytest.raises(InvalidOperandException, match="^Only a scalar can be used as a value, got \\[1, 2\\] from ArrayLiteral"):
        translate(node, db)


@pytest.mark.parametrize("source", ["bit(x)", "angle(x)", "bit[2](1)", "bit[2](c)", "angle(a)"])
def test_unsupported_cast_targets_name_the_type_node(source, db):
    node = expr(source)
    with pytest.raises(NotImplementedError) as caught:
        translate(node, db)
    assert str(caught.value) == "Unsupported cast type: " + str(node.type)


@pytest.mark.parametrize("argument", [ast.ArrayLiteral([ast.IntegerLiteral(1)]),
                                      ast.ArrayType(ast.IntType(), [ast.IntegerLiteral(2)])])
def test_casting_arrays_is_refused(argument):
    with pytest.raises(NotImplementedError, match="^Casting array types is not supported$"):
        translate(ast.Cast(ast.IntType(), argument), VariablesDB())


@pytest.mark.parametrize("symbol", ["%", "**", "&&", "||"])
def test_undefined_binary_operators(symbol, db):
    with pytest.raises(NotImplementedError) as caught:
        translate(expr(f"x {symbol} 2"), db)
    assert caught.value.args == ("Binary expression undefined: ", ast.BinaryOperator[symbol])


def test_undefined_unary_operator(db):
    with pytest.raises(NotImplementedError) as caught:
        translate(expr("~x"), db)
    assert caught.value.args == ("Unary expression undefined: ", ast.UnaryOperator["~"])


@pytest.mark.parametrize(
    "node",
    [
        pytest.param(expr("sin(x)"), id="function-call"),
        pytest.param(expr("1 + sin(x)"), id="nested-function-call"),
        pytest.param(ast.DiscreteSet([ast.IntegerLiteral(1)]), id="index-set"),
        pytest.param(ast.RangeDefinition(None, None, None), id="range"),
    ],
)
def test_unsupported_expression_types(node, db):
    with pytest.raises(NotImplementedError) as caught:
        translate(node, db)
    culprit = node.rhs if isinstance(node, ast.BinaryExpression) else node
    assert str(caught.value) == f"Unsupported expression type: {type(culprit)} at: {culprit}"


@pytest.mark.parametrize(
    "node, error, text",
    [
        (expr("y"), UndeclaredVariableReferenceException,
         "The variable VariableSignature(name='y') does not exit."),
        (expr("y[0]"), UndeclaredVariableReferenceException,
         "The variable VariableSignature(name='y') does not exit."),
        # A qubit, a register's included once it is mapped, is no variable.
        (create_hardware_qubit(1), InvalidOperandException, "A qubit cannot be used as a value: $1"),
        (ast.IndexExpression(create_hardware_qubit(0), [ast.IntegerLiteral(1)]), InvalidOperandException,
         "A qubit cannot be used as a value: $0[1]"),
        (expr("u + 1"), FetchingUndeclaredVariableException, "Tried to operate on the variable 'u'."),
        (expr("x[1]"), IndexingVariableException,
         'The variable "x" is not an array, and hence cannot be indexed'),
        (expr("a[1][2]"), NotImplementedError, "Only direct pointing on an array is supported: a[1][2]"),
        (expr("a[1, 2]"), AssertionError, "Only single index is supported."),
        (expr("a[{1, 2}]"), AssertionError, "Only single index is supported."),
        (expr("a[0:2]"), NotImplementedError, "Slices are not lowered: a[0:2] selects a range where one index is expected"),
        (expr("a[:]"), NotImplementedError, "Slices are not lowered: a[:] selects a range where one index is expected"),
        # operands before the operator, the left one first
        (expr("y + sin(x)"), UndeclaredVariableReferenceException,
         "The variable VariableSignature(name='y') does not exit."),
        (expr("-y"), UndeclaredVariableReferenceException,
         "The variable VariableSignature(name='y') does not exit."),
        (expr("y % 2"), UndeclaredVariableReferenceException,
         "The variable VariableSignature(name='y') does not exit."),
    ],
)
def test_reference_and_index_errors(node, error, text, db):
    with pytest.raises(error) as caught:
        translate(node, db)
    assert str(caught.value) == text
    if error is IndexingVariableException:
        assert caught.value.name == "x"


class DerivedIdentifier(ast.Identifier):
    pass


class DerivedBinary(ast.BinaryExpression):
    pass


class DerivedInteger(ast.IntegerLiteral):
    pass


class DerivedDuration(ast.DurationLiteral):
    pass


def test_derived_node_classes_take_their_base_branch(db, v):
    assert translate(DerivedIdentifier("x"), db) is v.x
    assert translate(DerivedInteger(7), db) == 7
    assert translate(DerivedDuration(100.0, ast.TimeUnit.ns), db) == 25
    node = DerivedBinary(ast.BinaryOperator["+"], DerivedInteger(2), ast.IntegerLiteral(3))
    assert translate(node, db) == 5


def test_operator_helpers_and_keywords(db, v):
    assert_same_expression(te._parse_binary_expression(oq_expression=expr("x * 2"), variables_db=db), v.x * 2)
    assert te._parse_unary_expression(expr("-3"), variables_db=db) == -3
    with pytest.raises(TypeError):
        translate(expr("1"))
    with pytest.raises(TypeError):
        te.extract_single_index()


def test_extract_single_index_returns_the_one_expression():
    index = ast.Identifier("i")
    assert te.extract_single_index([index]) is index

    class IndexList(list):
        pass

    assert te.extract_single_index(index=IndexList([index])) is index


@pytest.mark.parametrize(
    "index, message",
    [
        ([], "Only single index is supported."),
        ([ast.IntegerLiteral(1), ast.IntegerLiteral(2)], "Only single index is supported."),
        (ast.DiscreteSet([ast.IntegerLiteral(1)]), "Only single index is supported."),
        ((ast.IntegerLiteral(1),), "Only single index is supported."),
    ],
)
def test_extract_single_index_assertions(index, message):
    with pytest.raises(AssertionError) as caught:
        te.extract_single_index(index)
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "collection, text",
    [
        (None, "Slices are not lowered: [1:2] selects a range where one index is expected"),
        ("b", "Slices are not lowered: b[1:2] selects a range where one index is expected"),
        (ast.Identifier("q"), "Slices are not lowered: q[1:2] selects a range where one index is expected"),
    ],
)
def test_a_slice_is_refused_naming_what_is_indexed(collection, text):
    span = ast.RangeDefinition(ast.IntegerLiteral(1), ast.IntegerLiteral(2), None)
    with pytest.raises(NotImplementedError) as caught:
        te.extract_single_index([span], collection)
    assert str(caught.value) == text
    with pytest.raises(NotImplementedError, match="^Unsupported index: "):
        te.extract_single_index([ast.DiscreteSet([ast.IntegerLiteral(1)])], collection=collection)


def test_unchecked_indices_under_optimisation(python_subprocess):
    output = python_subprocess(
        """
        from openqasm3 import ast, parser
        from vk import vyr
        from corvane.passes.code_generation.translate_expression import extract_single_index, translate_expression
        from corvane.programs import VariablesDB, VariableSignature
        from corvane.vyr_slot import VyrArr
        one, two = ast.IntegerLiteral(1), ast.IntegerLiteral(2)
        try:
            extract_single_index([one, two])
        except AssertionError as error:
            print(error)
        span = ast.RangeDefinition(one, two, None)
        try:
            extract_single_index([span])
        except NotImplementedError as error:
            print(error)
        for bad in ([], ast.DiscreteSet([one])):
            try:
                extract_single_index(bad)
            except Exception as error:
                print(type(error).__name__)
        db = VariablesDB()
        with vyr.program():
            array = VyrArr("a", int, 4)
            array.declare(False, False)
            db[VariableSignature("a")] = array
            try:
                translate_expression(parser.parse("a[1, 2];").statements[0].expression, db)
            except AssertionError as error:
                print(error)
            try:
                translate_expression(parser.parse("a[0:2];").statements[0].expression, db)
            except NotImplementedError as error:
                print(error)
        """,
        "-O",
    )
    # Slices are refused under -O too: passed on, a range would be read as some other index.
    assert output.splitlines() == [
        "Only single index is supported.",
        "Slices are not lowered: [1:2] selects a range where one index is expected",
        "AssertionError", "AssertionError",
        "Only single index is supported.",
        "Slices are not lowered: a[0:2] selects a range where one index is expected",
    ]


def test_deeply_nested_expressions_fail_cleanly():
    node = ast.IntegerLiteral(1)
    for _ in range(100000):
        node = ast.UnaryExpression(ast.UnaryOperator["-"], node)
    with pytest.raises(RecursionError):
        translate(node, VariablesDB())
