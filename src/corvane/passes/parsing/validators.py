"""Errors of declarations that the program may not make."""


class RedeclarationException(Exception):
    """A constant declared under a name that is already taken."""

    def __init__(self, node, name):
        super().__init__(node, name)
        self.node = node
        self.name = name

    def __str__(self):
        return f"The constant '{self.name}' is already declared."
