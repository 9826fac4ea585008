"""Errors of declarations and uses of names that the program may not make."""

from openqasm3 import ast

from corvane.passes.constants import CONSTANTS


class RedeclarationException(Exception):
    """A declaration under a name that a constant or another declaration of its scope already holds.

    `earlier` and `later` say what the two declarations make of the name ("a gate",
    "a qubit", "a classical variable", ...) when neither is a constant.
    """

    def __init__(self, node: ast.Statement, name: str, earlier: str | None = None, later: str | None = None) -> None:
        if earlier is None and later is None:
            super().__init__(node, name)
        else:
            super().__init__(node, name, earlier, later)
        self.node = node
        self.name = name
        self.earlier = earlier
        self.later = later

    def __str__(self) -> str:
        if self.earlier is not None or self.later is not None:
            kinds = f"both times as {self.earlier}" if self.earlier == self.later else (
                f"as {self.earlier} and as {self.later}"
            )
            return f"'{self.name}' is declared twice, {kinds}; a name is declared once in its scope."
        if self.name in CONSTANTS:
            return f"'{self.name}' is a predefined constant; it cannot be declared again."
        if isinstance(self.node, ast.ConstantDeclaration):
            return f"The constant '{self.name}' is already declared."
        return f"'{self.name}' is a constant; it cannot be declared again."


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
