"""Errors of declarations and uses of names that the program may not make."""

from openqasm3 import ast

from corvane.passes.constants import CONSTANTS


class RedeclarationException(Exception):
    """A declaration under a name that a constant already holds."""

    def __init__(self, node: ast.Statement, name: str) -> None:
        super().__init__(node, name)
        self.node = node
        self.name = name

    def __str__(self) -> str:
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
