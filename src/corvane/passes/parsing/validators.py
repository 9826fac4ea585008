"""Errors of declarations and uses of names that the program may not make."""

from openqasm3 import ast

from corvane.passes.constants import CONSTANTS


class RedeclarationException(Exception):
    """A declaration under a name that is taken where it stands.

    `earlier` says what the earlier declaration of the scope made of the name
    ("variable", "input", "qubit", ...) when it is no constant; None when a
    constant holds the name.
    """

    def __init__(self, node: ast.Statement, name: str, earlier: str | None = None) -> None:
        super().__init__(*((node, name) if earlier is None else (node, name, earlier)))
        self.node = node
        self.name = name
        self.earlier = earlier

    def __str__(self) -> str:
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
