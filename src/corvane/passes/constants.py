"""The constants that every OpenQASM 3 program may use without declaring them."""

import math

from openqasm3 import ast

# Each constant stands for a literal: substitution puts the very node into every
# program that uses it, and a literal has no parts that a later step could edit.
CONSTANTS: dict[str, ast.Expression] = {
    "pi": ast.FloatLiteral(math.pi),
    "π": ast.FloatLiteral(math.pi),
    "tau": ast.FloatLiteral(math.tau),
    "τ": ast.FloatLiteral(math.tau),
    "euler": ast.FloatLiteral(math.e),
    "ℇ": ast.FloatLiteral(math.e),
}
