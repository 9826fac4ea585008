"""Errors of declarations that the program may not make."""

from openqasm3 import ast


class RedeclarationException(Exception):
    """A constant declared under a name that is already taken."""

    def __init__(self, node: ast.ConstantDeclaration, name: str) -> None:
        super().__init__(node, name)
        self.node = node
        self.name = name

    def __str__(self) -> str:
        return f"The constant '{self.name}' is already declared."
