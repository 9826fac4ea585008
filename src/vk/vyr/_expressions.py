"""vyr expressions: variables, array cells and what the operators, `Math` and `Cast` build of them.

Expressions are immutable and render as program text through `str`. Building
one emits nothing; only statements go into a program.
"""

from typing import Generic, TypeVar

from vk.program import format_value

T = TypeVar("T")


class fixed(float):
    """The fixed-point number type; `fixed(0)` is its zero."""

    __slots__ = ()


_PLAIN = (bool, int, float)
_ARITHMETIC = ("+", "-", "*")
_BITWISE = ("&", "|", "^")
_COMPARISONS = ("==", "<", "<=", ">", ">=")


def dtype_of(value) -> type:
    """The vyr type of a plain value or an expression: bool, int or fixed."""
    if isinstance(value, VyrExpression):
        return value.dtype
    if isinstance(value, bool):
        return bool
    if isinstance(value, int):
        return int
    if isinstance(value, float):
        return fixed
    raise TypeError(f"{value!r} ({type(value).__name__}) is not a vyr value")


def is_scalar(value) -> bool:
    """Whether `value` is a plain number or boolean, or a scalar vyr expression."""
    return isinstance(value, VyrScalarExpression) or (isinstance(value, _PLAIN))


def require_scalar(value, where: str):
    if not is_scalar(value):
        raise TypeError(f"{where} takes a plain number or a scalar vyr expression, got {value!r}")
    return value


def _operand_text(value) -> str:
    if isinstance(value, (VyrBinaryExpression, VyrUnaryExpression)):
        return "(" + str(value) + ")"
    return format_value(value)


def _binary_dtype(op, lhs, rhs) -> type:
    if op in _COMPARISONS:
        return bool
    left, right = dtype_of(lhs), dtype_of(rhs)
    if op == "/":
        return fixed
    if op in ("<<", ">>"):
        return int if left is bool else left
    if op in _BITWISE and left is bool and right is bool:
        return bool
    return fixed if fixed in (left, right) else int


class VyrExpression(Generic[T]):
    """Base of every vyr expression; `dtype` is bool, int or fixed."""

    def __init__(self, dtype: type):
        self.dtype = dtype

    def is_fixed(self) -> bool:
        return self.dtype is fixed

    def __bool__(self):
        raise TypeError(
            f"the vyr expression {self} has no truth value while the program is built; "
            "use it in vyr.if_(), vyr.while_() or vyr.assign()"
        )

    def __iter__(self):
        raise TypeError(f"the vyr expression {self} cannot be iterated; use vyr.for_each_()")

    def __repr__(self):
        return f"<{type(self).__name__} {self}: {self.dtype.__name__}>"


def _binary(op):
    def forward(self, other):
        if not is_scalar(other):
            return NotImplemented
        return VyrBinaryExpression(op, self, other)

    def reflected(self, other):
        if not is_scalar(other):
            return NotImplemented
        return VyrBinaryExpression(op, other, self)

    return forward, reflected


class VyrScalarExpression(VyrExpression[T]):
    """A scalar expression: it takes the operators, on either side of a plain value."""

    __add__, __radd__ = _binary("+")
    __sub__, __rsub__ = _binary("-")
    __mul__, __rmul__ = _binary("*")
    __truediv__, __rtruediv__ = _binary("/")
    __lshift__, __rlshift__ = _binary("<<")
    __rshift__, __rrshift__ = _binary(">>")
    __and__, __rand__ = _binary("&")
    __or__, __ror__ = _binary("|")
    __xor__, __rxor__ = _binary("^")
    __eq__, _ = _binary("==")
    __lt__, _ = _binary("<")
    __le__, _ = _binary("<=")
    __gt__, _ = _binary(">")
    __ge__, _ = _binary(">=")
    del _
    __hash__ = object.__hash__

    def __neg__(self):
        return VyrUnaryExpression("-", self)

    def __invert__(self):
        return VyrUnaryExpression("~", self)


class VyrVariable(VyrScalarExpression[T]):
    """A declared scalar variable."""

    def __init__(self, name: str, dtype: type, is_input_stream: bool = False):
        super().__init__(dtype)
        self.name = name
        self.is_input_stream = is_input_stream

    def __str__(self):
        return self.name


class VyrArrayVariable(VyrExpression[T]):
    """A declared one-dimensional array; indexing it gives a cell."""

    def __init__(self, name: str, dtype: type, size: int, is_input_stream: bool = False):
        super().__init__(dtype)
        self.name = name
        self.size = size
        self.is_input_stream = is_input_stream

    def __getitem__(self, index):
        if isinstance(index, VyrScalarExpression):
            if index.is_fixed():
                raise TypeError(f"the index {index} of {self.name} is not an integer expression")
        elif isinstance(index, int):
            if not 0 <= index < self.size:
                raise IndexError(f"index {index} is outside the {self.size} cells of {self.name}")
        else:
            raise TypeError(f"{self.name} is indexed by an integer or an integer vyr expression, got {index!r}")
        return VyrArrayCell(self, index)

    def __str__(self):
        return self.name


class VyrArrayCell(VyrScalarExpression[T]):
    """One cell of an array variable."""

    def __init__(self, array: VyrArrayVariable, index):
        super().__init__(array.dtype)
        self.array = array
        self.index = index

    def __str__(self):
        return f"{self.array.name}[{format_value(self.index)}]"


class VyrBinaryExpression(VyrScalarExpression):
    def __init__(self, op: str, lhs, rhs):
        super().__init__(_binary_dtype(op, lhs, rhs))
        self.op = op
        self.lhs = lhs
        self.rhs = rhs

    def __str__(self):
        return f"{_operand_text(self.lhs)} {self.op} {_operand_text(self.rhs)}"


class VyrUnaryExpression(VyrScalarExpression):
    def __init__(self, op: str, operand: VyrScalarExpression):
        dtype = operand.dtype
        super().__init__(int if op == "-" and dtype is bool else dtype)
        self.op = op
        self.operand = operand

    def __str__(self):
        return f"{self.op}{_operand_text(self.operand)}"


class VyrCallExpression(VyrScalarExpression):
    """A function of the `Math` or `Cast` namespace applied to its arguments."""

    def __init__(self, function: str, dtype: type, args: tuple):
        super().__init__(dtype)
        self.function = function
        self.args = args

    def __str__(self):
        return f"{self.function}(" + ", ".join(format_value(arg) for arg in self.args) + ")"


def _math_function(name):
    def function(x):
        return VyrCallExpression(name, fixed, (require_scalar(x, f"Math.{name}()"),))

    function.__name__ = function.__qualname__ = name
    return function


class Math:
    """Mathematical functions; each gives a fixed-point expression."""

    sqrt = staticmethod(_math_function("sqrt"))
    exp = staticmethod(_math_function("exp"))
    ln = staticmethod(_math_function("ln"))
    sin = staticmethod(_math_function("sin"))
    cos = staticmethod(_math_function("cos"))
    atan = staticmethod(_math_function("atan"))


def _cast_function(name, dtype):
    def function(expression):
        if not isinstance(expression, VyrScalarExpression):
            raise TypeError(f"Cast.{name}() converts a scalar vyr expression, not {expression!r}")
        return VyrCallExpression(name, dtype, (expression,))

    function.__name__ = function.__qualname__ = name
    return function


class Cast:
    """Conversions of scalar expressions between the vyr types; plain numbers are refused."""

    to_int = staticmethod(_cast_function("to_int", int))
    to_fixed = staticmethod(_cast_function("to_fixed", fixed))
    to_bool = staticmethod(_cast_function("to_bool", bool))
