"""An unsigned integer of n bits keeps its width where OpenQASM applies an operation to its bits:
`<<` shifts bits off its end and `~` negates each of its n bits, when the program runs."""

import pytest

from corvane import CompilationException

# (program, the output r's value)
WIDTHS = [
    ("uint[4] b = 9; output uint[4] r; r = b << 1;", 2),
    ("output uint[4] r; r = 12; r <<= 1;", 8),
    ("output uint[4] r; r = 12; r = r << 2;", 0),
    ("uint[4] u = 12; output uint[4] r; r = ~u;", 3),
    ("uint[4] u = 12; output int r; r = ~u & 5;", 1),
    ("uint[4] u = 12; output int r; r = (u << 1) + 1;", 9),
    ("uint[8] u = 200; output int r; r = u << 1;", 144),
    ("uint[1] u = 1; output int r; r = (u << 1) + ~u;", 0),
    # A right shift and the other operators keep the value as it is.
    ("uint[4] u = 12; output int r; r = u >> 1;", 6),
    ("uint[4] u = 12; output int r; r = u | 16;", 28),
    # Cells of an array of unsigned integers, and a loop's unsigned variable.
    ("array[uint[3], 2] a = {5, 6}; output int r; r = (a[0] << 1) + ~a[1];", 3),
    ("output int r; r = 0; for uint[2] k in [1:2] { r = r + (k << 1); }", 2),
    # Arithmetic overflow is not wrapped, and so is any value assigned: OpenQASM leaves it to the
    # implementation.
    ("output uint[4] r; r = 15; r = r + 1;", 16),
    ("output uint[4] r; r = 20;", 20),
    # No width is kept for an unsigned integer without one, nor for a signed one.
    ("uint u = 9; output int r; r = u << 1;", 18),
    ("int[4] i = 9; output int r; r = i << 1;", 18),
]


@pytest.mark.parametrize("source, value", WIDTHS)
def test_an_unsigned_integer_keeps_its_width(run, source, value):
    assert run(source).results["r"] == [value]


def test_a_measurement_record_keeps_its_four_bits(run):
    source = "output uint[4] rec; bit b; rec = 0; for int i in [1:5] { b = measure $1; rec = rec << 1; if (b) rec = rec | 1; }"
    assert run(source, [True, True, False, True, True]).results["rec"] == [11]
    assert run(source, [True] * 5).results["rec"] == [15]


@pytest.mark.parametrize("source", ["uint u = 1; int k = ~u;", "int[4] i = 1; int k = ~i;"])
def test_bitwise_negation_needs_a_width_of_unsigned_bits(compiler, source):
    with pytest.raises(CompilationException) as raised:
        compiler.compile(source)
    cause = raised.value.__cause__
    assert type(cause) is NotImplementedError and "Unary expression undefined" in str(cause)
