"""Runs a recorded vyr program, so that tests can check what a compiled program does.

The vk stand-in records the statements it is given as a tree; this module
executes that tree as the control hardware would: it declares every variable
and stream before the program starts, keeps the variables' values, takes
measurement outcomes and input-stream values from the caller,
follows the control flow, and records every pulse-level operation (play, wait,
frame rotation, measurement, alignment) in order, with its arguments
evaluated. Results are what the program saved into its streams, under the
names that stream processing gives them.

    run = run_program(result.result_program.dsl_program, outcomes=[True, False])
    assert run.operations == [("play", "x", "d0"), ...]
    assert run.results == {"c": [[True, False]]}
"""

import math
from collections.abc import Callable, Iterable

from vk.program import Program
from vk.vyr._expressions import (
    fixed,
    VyrArrayCell,
    VyrArrayVariable,
    VyrBinaryExpression,
    VyrCallExpression,
    VyrUnaryExpression,
    VyrVariable,
)

MAX_STEPS = 100_000

_BINARY = {
    "+": lambda a, b: a + b,
    "-": lambda a, b: a - b,
    "*": lambda a, b: a * b,
    "/": lambda a, b: a / b,
    "<<": lambda a, b: int(a) << int(b),
    ">>": lambda a, b: int(a) >> int(b),
    "&": lambda a, b: a & b,
    "|": lambda a, b: a | b,
    "^": lambda a, b: a ^ b,
    "==": lambda a, b: a == b,
    "<": lambda a, b: a < b,
    "<=": lambda a, b: a <= b,
    ">": lambda a, b: a > b,
    ">=": lambda a, b: a >= b,
}

_CALLS = {
    "sqrt": math.sqrt,
    "exp": math.exp,
    "ln": math.log,
    "sin": math.sin,
    "cos": math.cos,
    "atan": math.atan,
    "to_int": int,
    "to_fixed": float,
    "to_bool": bool,
}


def _held(dtype, value, where):
    """`value` as a variable of `dtype` holds it, as the hardware stores it: a boolean takes its
    truth from 0 and 1, an integer a boolean as 0 or 1, a fixed-point number any number. A value
    that its variable cannot hold (a real in an integer, 2 in a boolean) is a fault of the
    compiled program, which a test must see rather than have the runner carry it on."""
    if dtype is bool:
        if isinstance(value, bool) or (isinstance(value, int) and value in (0, 1)):
            return bool(value)
    elif dtype is int:
        if isinstance(value, int):
            return int(value)
    elif dtype is fixed:
        if isinstance(value, (bool, int, float)):
            return float(value)
    raise TypeError(f"{where} of type {dtype.__name__} cannot hold {value!r} ({type(value).__name__})")


class ProgramRun:
    """What one run of a program did: its operations in order and its saved results."""

    def __init__(self):
        self.operations: list[tuple] = []
        self.results: dict[str, list] = {}
        self.values: dict[str, object] = {}
        self._streams: dict[str, list] = {}

    def played(self) -> list[tuple]:
        """The operations other than alignments."""
        return [operation for operation in self.operations if operation[0] != "align"]


class _Runner:
    def __init__(self, outcomes, inputs):
        if callable(outcomes):
            self._outcome = outcomes
        else:
            remaining = iter(outcomes)
            self._outcome = lambda pulse, element: next(remaining, False)
        self._inputs = {name: iter(values) for name, values in inputs.items()}
        self._steps = 0
        self.run = ProgramRun()

    # Values

    def value(self, expression):
        if isinstance(expression, (bool, int, float)):
            return expression
        if isinstance(expression, VyrVariable):
            return self._read(expression.name)
        if isinstance(expression, VyrArrayCell):
            cells = self._read(expression.array.name)
            index = self.value(expression.index)
            if not 0 <= index < len(cells):
                raise IndexError(f"{expression} reads outside the {len(cells)} cells of {expression.array.name}")
            if cells[index] is None:
                raise RuntimeError(f"{expression} is read before it was given a value")
            return cells[index]
        if isinstance(expression, VyrArrayVariable):
            return list(self._read(expression.name))
        if isinstance(expression, VyrBinaryExpression):
            return _BINARY[expression.op](self.value(expression.lhs), self.value(expression.rhs))
        if isinstance(expression, VyrUnaryExpression):
            operand = self.value(expression.operand)
            if expression.op == "-":
                return -operand
            return (not operand) if isinstance(operand, bool) else ~operand
        if isinstance(expression, VyrCallExpression):
            return _CALLS[expression.function](*(self.value(arg) for arg in expression.args))
        raise TypeError(f"not a vyr value: {expression!r}")

    def _read(self, name):
        if name not in self.run.values:
            raise RuntimeError(f"the variable {name} is read before it was declared")
        value = self.run.values[name]
        if value is None:
            raise RuntimeError(f"the variable {name} is read before it was given a value")
        return value

    def _store(self, target, value):
        if isinstance(target, VyrArrayCell):
            cells = self._read(target.array.name)
            cells[self.value(target.index)] = _held(target.dtype, value, str(target))
        else:
            self.run.values[target.name] = _held(target.dtype, value, target.name)

    # Statements

    def hoist(self, statements):
        """Declares every variable and stream of the program before it runs, as the hardware does:
        one declared in a block that does not run still exists, with its initial value. Each
        declaration still sets that value again where it stands."""
        for statement in statements:
            if statement.kind in ("declare", "declare_input_stream"):
                self._declare(statement, *statement.args)
            elif statement.kind == "declare_stream":
                self._declare_stream(statement, *statement.args)
            if statement.body:
                self.hoist(statement.body)

    def block(self, statements):
        previous_if_taken = None
        for statement in statements:
            self._steps += 1
            if self._steps > MAX_STEPS:
                raise RuntimeError(f"the program ran more than {MAX_STEPS} statements")
            kind, args = statement.kind, statement.args
            if kind == "else":
                if previous_if_taken is None:
                    raise RuntimeError("else without if")
                if not previous_if_taken:
                    self.block(statement.body)
                previous_if_taken = None
                continue
            previous_if_taken = None
            if kind == "if":
                previous_if_taken = bool(self.value(args[0]))
                if previous_if_taken:
                    self.block(statement.body)
            else:
                getattr(self, "_" + kind)(statement, *args)

    def _declare(self, statement, variable, value):
        if isinstance(variable, VyrArrayVariable):
            self.run.values[variable.name] = (
                [_held(variable.dtype, cell, variable.name) for cell in value]
                if value is not None
                else [None] * variable.size
            )
        else:
            self.run.values[variable.name] = None if value is None else _held(variable.dtype, value, variable.name)

    def _declare_input_stream(self, statement, variable, value):
        self._declare(statement, variable, value)

    def _advance_input_stream(self, statement, variable):
        values = self._inputs.get(variable.name)
        if values is None:
            raise RuntimeError(f"no values were given for the input stream {variable.name}")
        value = next(values)
        if isinstance(variable, VyrArrayVariable):
            self.run.values[variable.name] = [_held(variable.dtype, cell, variable.name) for cell in value]
        else:
            self.run.values[variable.name] = _held(variable.dtype, value, variable.name)

    def _declare_stream(self, statement, stream):
        self.run._streams[stream.name] = []

    def _assign(self, statement, target, value):
        self._store(target, self.value(value))

    def _save(self, statement, source, stream):
        self.run._streams[stream.name].append(self.value(source))

    def _save_all(self, statement, stream, name):
        self.run.results[name] = self.run._streams[stream.name]

    def _while(self, statement, condition):
        while self.value(condition):
            self.block(statement.body)
            self._count_iteration()

    def _for(self, statement, variable, start, condition, update):
        self._store(variable, self.value(start))
        while self.value(condition):
            self.block(statement.body)
            self._store(variable, self.value(update))
            self._count_iteration()

    def _for_each(self, statement, variable, values):
        for value in list(self.value(values)) if not isinstance(values, list) else values:
            self._store(variable, self.value(value))
            self.block(statement.body)

    def _count_iteration(self):
        self._steps += 1
        if self._steps > MAX_STEPS:
            raise RuntimeError(f"the program ran more than {MAX_STEPS} statements")

    def _switch(self, statement, expression, unsafe):
        value = self.value(expression)
        for item in statement.body:
            if item.kind == "default" or self.value(item.args[0]) == value:
                self.block(item.body)
                return

    def _align(self, statement, *elements):
        self.run.operations.append(("align", *elements))

    def _play(self, statement, pulse, element):
        self.run.operations.append(("play", pulse, element))

    def _wait(self, statement, duration, *elements):
        self.run.operations.append(("wait", self.value(duration), *elements))

    def _frame_rotation(self, statement, angle, *elements):
        self.run.operations.append(("frame_rotation", self.value(angle), *elements))

    def _measure(self, statement, result, pulse, element):
        outcome = bool(self._outcome(pulse, element))
        self.run.operations.append(("measure", pulse, element))
        self._store(result, outcome)


def run_program(
    program: Program,
    outcomes: Iterable[bool] | Callable[[str, str], bool] = (),
    inputs: dict[str, Iterable] | None = None,
) -> ProgramRun:
    """Runs `program` once. Measurements take their outcomes in order from
    `outcomes` (False once it runs out), or from `outcomes(pulse, element)`;
    input streams take their values in order from `inputs[name]`."""
    runner = _Runner(outcomes, inputs or {})
    runner.hoist(program.statements)
    runner.block(program.statements)
    runner.block(program.stream_processing)
    return runner.run
