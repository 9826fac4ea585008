"""Errors of declarations and uses of names that the program may not make."""

from openqasm3 import ast

from corvane.passes.constants import CONSTANTS


class RedeclarationException(Exception):
    """A declaration under a name that a constant or another declaration of its scope already holds.

    With `later` given, `earlier` and `later` say what the two declarations make of
    the name ("a gate", "a qubit", "a classical variable", ...). With `earlier`
    alone, the later declaration is a constant's, and `earlier` says what the
    earlier one made of the name ("variable", "input", "qubit", ...). Without
    either, a constant held the name.
    """

    def __init__(self, node: ast.Statement, name: str, earlier: str | None = None, later: str | None = None) -> None:
        given = (node, name) + tuple(part for part in (earlier, later) if part is not None)
        super().__init__(*given)
        self.node = node
        self.name = name
        self.earlier = earlier
        self.later = later

    def __str__(self) -> str:
        if self.later is not None:
            kinds = f"both times as {self.earlier}" if self.earlier == self.later else (
                f"as {self.earlier} and as {self.later}"
            )
            return f"'{self.name}' is declared twice, {kinds}; a name is declared once in its scope."
        if self.name in CONSTANTS:
            return f"'{self.name}' is a predefined constant; it cannot be declared again."
        if self.earlier is not None:
            article = "an" if str(self.earlier)[:1] in ("a", "e", "i", "o", "u") else "a"
            return (
                f"'{self.name}' is already declared as {article} {self.earlier} in this scope; "
                "it cannot be declared again as a constant."
            )
        if isinstance(self.node, ast.ConstantDeclaration):
            return f"The constant '{self.name}' is already declared in this scope."
        return f"'{self.name}' is a constant of this scope; it cannot be declared again."


class ConstantMisuseException(Exception):
    """A constant named where the program needs a variable, a qubit, a gate or a function.

    `use` is "assigned" for an assignment or a measurement into the constant,
    else what the constant stands in place of ("qubit", "gate", "function").
    """

    def __init__(self, node: ast.QASMNode, name: str, use: str) -> None:
        super().__init__(node, name, use)
        self.node = node
        self.name = name
        self.use = use

    def __str__(self) -> str:
        if self.use == "assigned":
            return f"The constant '{self.name}' cannot be assigned."
        return f"'{self.name}' is a constant, not a {self.use}."


class UnknownConstantValueException(Exception):
    """A constant whose value reads a name that is no constant, so that it is not known at compile time.

    `what` is what the program declared under that name where the constant
    stands ("variable", "input", "qubit", ...), or None when that is not known.
    """

    def __init__(self, node: ast.ConstantDeclaration, name: str, read: str, what: str | None = None) -> None:
        super().__init__(node, name, read, what)
        self.node = node
        self.name = name
        self.read = read
        self.what = what

    def __str__(self) -> str:
        if self.what is None:
            read = f"'{self.read}', which is no constant"
        else:
            read = f"the {self.what} '{self.read}'"
        return (
            f"The value of the constant '{self.name}' reads {read}; "
            "a constant's value must be known at compile time."
        )


class RepeatedQubitException(ValueError):
    """A gate call that names one qubit among its operands twice.

    `gate` is the called gate's name and `qubit` the qubit as the program writes it.
    """

    def __init__(self, gate: str, qubit: str) -> None:
        super().__init__(gate, qubit)
        self.gate = gate
        self.qubit = qubit

    def __str__(self) -> str:
        return f"The call of '{self.gate}' names the qubit {self.qubit} twice; the qubits of one call are distinct."


class _ConstantValueFields:
    """What a refusal of a constant's value holds: the declaration, the constant's name, and its
    declared type and value as the program writes them."""

    def __init__(self, node: ast.ConstantDeclaration, name: str, type: str, value: str) -> None:
        super().__init__(node, name, type, value)
        self.node = node
        self.name = name
        self.type = type
        self.value = value


class ConstantTypeException(_ConstantValueFields, TypeError):
    """A constant whose value is not of its declared type: an integer (`int`, `uint`, `bit`) or a
    `bool` whose value is real, a number whose value is a duration, or a duration whose value is
    a number.

    `type` and `value` are the declared type and the value as the program writes them; `kind` is
    what the value is: "real", "duration" or "number".
    """

    def __init__(self, node: ast.ConstantDeclaration, name: str, type: str, value: str, kind: str = "real") -> None:
        super().__init__(node, name, type, value)
        self.kind = kind

    def __str__(self) -> str:
        start = f"The constant '{self.name}' is declared {self.type}, but its value {self.value}"
        if self.kind == "duration":
            return (
                f"{start} is a duration; OpenQASM converts no duration into a number "
                "(a duration divided by a duration is one)."
            )
        if self.kind == "number":
            return f"{start} is a number; a duration is written with a time unit (as 100ns or 1us)."
        if self.type == "bool":
            return f"{start} is real; a bool constant takes a truth value: cast it, as in bool({self.value})."
        return (
            f"{start} is real; a constant of an integer type takes an integer value: cast it, as in "
            f"int({self.value}), to drop the fraction."
        )


class ConstantRangeException(_ConstantValueFields, ValueError):
    """A real constant whose value, an integer, is too large for a real number.

    `type` and `value` are the declared type and the value as the program writes them.
    """

    def __str__(self) -> str:
        return (
            f"The constant '{self.name}' is declared {self.type}, "
            f"but its value {self.value} is too large for a real number."
        )


class DeclarationPlacementException(ValueError):
    """A declaration in a block where the program may not make it: a qubit, an array, a gate, an input or an output.

    `kind` is what the declaration makes of the name ("a qubit", "an array", ...) and
    `place` the block it stands in ("a braced block", "a switch case body", ...).
    """

    def __init__(self, node: ast.QASMNode, name: str, kind: str, place: str) -> None:
        super().__init__(node, name, kind, place)
        self.node = node
        self.name = name
        self.kind = kind
        self.place = place

    def __str__(self) -> str:
        return (
            f"'{self.name}' is declared as {self.kind} in {self.place}; {self.kind} is declared only in the "
            "program's global scope, outside every block."
        )


class GateWithoutQubitsException(ValueError):
    """A gate named as a statement of its own, without the qubits that a call of it needs."""

    def __init__(self, gate: str) -> None:
        super().__init__(gate)
        self.gate = gate

    def __str__(self) -> str:
        return f"'{self.gate}' names a gate, but no qubits follow it; a gate call names the qubits it acts on."
