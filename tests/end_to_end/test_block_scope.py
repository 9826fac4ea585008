"""A name declared in a block, or a loop's variable, hides the outer variable of that name until the block ends."""

import random

import pytest

from machines import gate

from corvane import CompilationException
from corvane.passes.code_generation.target_lowering import VariableUsedAsGateException
from corvane.passes.parsing.validators import ConstantMisuseException
from vyr_runner import run_program


# Each block kind holds a declaration of `a` that hides the outer one; after it `a` is the outer one again.
BLOCKS = {
    "if": "if (r == 0) {{ {} }}",
    "else": "if (r != 0) {{ }} else {{ {} }}",
    "if-else": "if (r != 0) {{ x $1; }} else {{ {} }}",
    "while": "int n = 1; while (n > 0) {{ n -= 1; {} }}",
    "for": "for int j in [0:1] {{ {} }}",
    "box": "box {{ {} }}",
    "braces": "{{ {} }}",
}


@pytest.mark.parametrize("block", BLOCKS.values(), ids=list(BLOCKS))
def test_an_inner_declaration_hides_the_outer_variable_only_in_its_block(run, block):
    inner = "int a = 5; a = 6; s = a;"
    source = "output int r; output int s; int a = 1; " + block.format(inner) + " r = a;"
    assert run(source).results == {"r": [1], "s": [6]}


@pytest.mark.parametrize(
    "source, results",
    [
        # a block's name hides the outer one only until the block ends
        ("output int r; int a = 1; if (r == 0) { int a = 5; a = 6; } r = a;", {"r": [1]}),
        ("output int r; int i = 10; for int i in [0:2] { r = i; } r = i;", {"r": [10]}),
        # nested blocks, each hiding the one around it
        ("output int r1; output int r2; output int r3; int a = 1;"
         " { int a = 2; { int a = 3; r1 = a; } r2 = a; } r3 = a;", {"r1": [3], "r2": [2], "r3": [1]}),
        # before its own declaration, a block still reaches the outer variable
        ("output int r; int a = 1; if (true) { a = 7; int a = 5; a = 6; } r = a;", {"r": [7]}),
        ("output int r; int a = 1; if (true) { int a = 5; } a = a + 1; r = a;", {"r": [2]}),
        # a loop's range is read where the loop stands, before its variable hides the outer one
        ("output int r; int i = 4; for int i in [0:i] { r += 1; }", {"r": [5]}),
        ("output int r; array[int, 2] a = {3, 4}; for int a in a { r += a; }", {"r": [7]}),
        # two loops over one name, one after the other, and a loop inside a loop over the same name
        ("output int r; for int i in [0:1] { r += i; } for int i in [5:6] { r += i; }", {"r": [12]}),
        ("output int r; for int i in [1:2] { for int i in [10:11] { r += i; } r += i; }", {"r": [45]}),
    ],
)
def test_values_saved(run, source, results):
    assert run(source).results == results


def test_a_loop_variable_does_not_replace_the_outer_variable_in_a_later_condition(run):
    source = (
        "output bit b; float nu = 0.5; int g = 0; for int nu in [3:7] { g += nu; }"
        " if (nu > 2.444) { } else { x $0; }"
    )
    assert run(source).played() == [("play", "x", "d0")]


@pytest.mark.parametrize(
    "source, results",
    [
        # Without inputs and outputs the program's own declarations are its outputs; a loop variable is none.
        ("int i = 10; int s = 0; for int i in [0:2] { s += i; }", {"i": [10], "s": [3]}),
        # a variable declared in a block ends with it, before the outputs are saved
        ("for int i in [0:1] { int t = i + 1; }", {}),
        ("bit c; c = measure $1; if (c) { int t = 1; }", {"c": [True]}),
    ],
)
def test_outputs_are_the_variables_of_their_names_when_the_program_ends(run, source, results):
    assert run(source, [True]).results == results


@pytest.mark.parametrize("outcome", [True, False])
def test_a_variable_declared_in_a_block_is_no_output_whether_the_block_runs_or_not(run, outcome):
    assert run("bit c; c = measure $1; if (c) { int t = 1; }", [outcome]).results == {"c": [outcome]}


def test_a_block_variable_may_hide_a_loop_variable_in_a_program_without_outputs(run):
    # Only the program's own declarations are outputs, so the inner `i` hides the loop's and saves nothing.
    source = "int r = 0; for int i in [0:2] { if (true) { int i = 5; r += i; } r += i; }"
    assert run(source).results == {"r": [18]}


@pytest.mark.parametrize(
    "source",
    [
        "input float x; qubit q; x q;",
        "output int r; int x; x $1;",
        "output int r; for int x in [0:1] { x $1; }",
        "output int r; if (true) { bit x; x $1; }",
    ],
)
def test_a_variable_in_scope_is_no_gate(compiler, source):
    with pytest.raises(CompilationException) as raised:
        compiler.compile(source)
    cause = raised.value.__cause__
    assert type(cause) is VariableUsedAsGateException and cause.name == "x"
    assert str(cause) == "The gate call x names the classical variable x; a variable is not a gate."


# Calls of `g` where a variable, input, output, array or loop variable of that name is in scope,
# wherever the call stands.
NAMED_AS_GATE = [
    "int g = 1; g $0;",
    "float g = 1; g(0.5) $0;",
    "{ int g = 1; g $0; }",
    "input int g; g $0;",
    "output bit g; g $0;",
    "array[int, 2] g; g $0;",
    "int g = 1; for int i in [0:1] { g $0; }",
    "for int g in [0:1] { g $0; }",
    "int g; while (g < 1) { g = 1; box { g $0; } }",
    "int g; if (g == 0) { x $1; } else { { g $0; } }",
    "int g = 1; gate flip q { x q; } if (true) { flip $1; g $0; }",
    "int g = 1; switch (g) { case 1 { g $0; } }",
]


@pytest.mark.parametrize("source", NAMED_AS_GATE)
@pytest.mark.parametrize("machine_gate", [False, True], ids=["no gate g", "a gate g"])
def test_a_gate_call_under_a_variables_name_is_refused_naming_it(compiler_with, source, machine_gate):
    more = {"g q;": gate("g"), "g(t) q;": lambda t, q: None} if machine_gate else {}
    with pytest.raises(CompilationException) as raised:
        compiler_with(**more).compile(source)
    cause = raised.value.__cause__
    assert type(cause) is VariableUsedAsGateException and cause.name == "g"
    assert str(cause) == "The gate call g names the classical variable g; a variable is not a gate."


def test_a_gate_call_under_a_variables_name_is_refused_under_optimisation_too(refusals_hold_under_optimisation):
    refusals_hold_under_optimisation(NAMED_AS_GATE + ["const int g = 1; g $0;", "{ const float g = 1; g(0.5) $0; }"])


@pytest.mark.parametrize("source", ["const int g = 1; g $0;", "{ const float g = 1; g(0.5) $0; }"])
def test_a_constant_called_as_a_gate_is_refused_naming_it(compiler, source):
    with pytest.raises(CompilationException) as raised:
        compiler.compile(source)
    cause = raised.value.__cause__
    assert type(cause) is ConstantMisuseException and str(cause) == "'g' is a constant, not a gate."


@pytest.mark.parametrize(
    "source",
    [
        # A variable of an ended block, or of the other branch, no longer counts.
        "{ int g = 1; } g $0;",
        "for int g in [0:1] { } g $0;",
        "if (false) { int g = 1; } else { g $0; }",
        # A gate's body sees no variable of the program.
        "gate flip q { g q; } int g = 1; flip $0;",
        "int g = 1; gate flip q { g q; } if (true) { flip $0; }",
    ],
)
def test_a_variable_out_of_scope_leaves_the_machines_gate_its_name(compiler_with, source):
    program = compiler_with(**{"g q;": gate("g")}).compile(source).result_program.dsl_program
    assert ("play", "g", "d0") in run_program(program).played()


def test_a_variable_out_of_scope_leaves_the_gate_its_name(run):
    source = "output int r; if (true) { int x = 1; r = x; } x $1;"
    result = run(source)
    assert result.played() == [("play", "x", "d1")] and result.results == {"r": [1]}


class _RandomProgram:
    """A random program of nested blocks that reuse a few names, with what OpenQASM's scoping makes it save.

    The program is evaluated here as it is written, one scope per block, and
    names only variables that are in scope where it stands. An initialiser
    does not read the name it declares, and a loop's variable is not assigned.
    """

    NAMES = ("a", "b", "c")

    def __init__(self, rng):
        self.rng = rng
        self.lines = ["output int r;"]
        self.r = 0
        scopes = [{}]
        for name in self.NAMES[:2]:
            self._declare(scopes, name)
        self._block(scopes, depth=0, statements=6)

    def source(self):
        return "\n".join(self.lines)

    # Scopes: dicts, innermost last, from a name to its value; a loop's own
    # scope holds its variable under a key of its own too, which makes it read-only.
    def _names(self, scopes, assignable=False):
        names = set()
        for scope in scopes:
            for name in scope:
                if type(name) is str:
                    names.add(name)
        if assignable:
            names = {name for name in names if ("loop", name) not in self._scope_of(scopes, name)}
        return sorted(names)

    def _scope_of(self, scopes, name):
        return next(scope for scope in reversed(scopes) if name in scope)

    def _write(self, depth, text):
        self.lines.append("  " * depth + text)

    def _expression(self, scopes, avoid=None):
        names = [name for name in self._names(scopes) if name != avoid]
        value = self.rng.randint(-3, 5)
        if not names or self.rng.random() < 0.3:
            return str(value), value
        name = self.rng.choice(names)
        return f"{name} + {value}", self._scope_of(scopes, name)[name] + value

    def _declare(self, scopes, name):
        text, value = self._expression(scopes, avoid=name)
        self._write(len(scopes) - 1, f"int {name} = {text};")
        scopes[-1][name] = value

    def _block(self, scopes, depth, statements):
        indent = len(scopes) - 1
        kinds = ["declare", "assign", "record"] + (["if", "for", "braces"] if depth < 3 else [])
        for _ in range(statements):
            kind = self.rng.choice(kinds)
            names = self._names(scopes)
            if kind == "declare":
                free = [name for name in self.NAMES if name not in scopes[-1]]
                if free:
                    self._declare(scopes, self.rng.choice(free))
            elif kind == "assign" and self._names(scopes, assignable=True):
                name = self.rng.choice(self._names(scopes, assignable=True))
                text, value = self._expression(scopes)
                self._write(indent, f"{name} = {text};")
                self._scope_of(scopes, name)[name] = value
            elif kind == "record" and names:
                name = self.rng.choice(names)
                self._write(indent, f"r = r * 2 + {name};")
                self.r = self.r * 2 + self._scope_of(scopes, name)[name]
            elif kind == "if" and names:
                name, bound = self.rng.choice(names), self.rng.randint(-2, 4)
                taken = self._scope_of(scopes, name)[name] > bound
                self._write(indent, f"if ({name} > {bound}) {{")
                self._branch(scopes, depth, run=taken)
                self._write(indent, "} else {")
                self._branch(scopes, depth, run=not taken)
                self._write(indent, "}")
            elif kind == "for":
                name, start = self.rng.choice(self.NAMES), self.rng.randint(0, 2)
                end = start + self.rng.randint(0, 2)
                self._write(indent, f"for int {name} in [{start}:{end}] {{")
                # One text, evaluated once per value: each pass replays the same choices.
                body_start, state = len(self.lines), self.rng.getstate()
                for value in range(start, end + 1):
                    del self.lines[body_start:]
                    self.rng.setstate(state)
                    self._block(scopes + [{name: value, ("loop", name): True}], depth + 1, statements=3)
                self._write(indent, "}")
            elif kind == "braces":
                self._write(indent, "{")
                self._block(scopes + [{}], depth + 1, statements=3)
                self._write(indent, "}")

    def _branch(self, scopes, depth, run):
        # The branch not taken is written from copies whose changes are dropped.
        if run:
            self._block(scopes + [{}], depth + 1, statements=3)
            return
        saved = self.r
        self._block([dict(scope) for scope in scopes] + [{}], depth + 1, statements=3)
        self.r = saved


@pytest.mark.parametrize("seed", range(60))
def test_random_programs_of_nested_blocks_save_what_their_scopes_say(run, seed):
    program = _RandomProgram(random.Random(seed))
    assert run(program.source()).results == {"r": [program.r]}, program.source()
