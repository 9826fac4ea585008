"""Outputs are saved and read back by name, so no two outputs of a compilation may share one."""

import pytest
from vk import vyr

from corvane import CompilationException
from corvane.programs import DuplicateOutputException
from vyr_runner import run_program

SHARED = [
    ("output int n; output bit n;", "n"),
]


@pytest.mark.parametrize("source, name", SHARED)
def test_two_outputs_of_one_name_are_refused(compiler, source, name):
    with pytest.raises(CompilationException, match='^Pass "Vyr1GenerationPass" failed.$') as raised:
        compiler.compile(source)
    cause = raised.value.__cause__
    assert type(cause) is DuplicateOutputException and cause.name == name
    assert str(cause) == f"Two output declarations share the name '{name}'; two outputs may not share a result stream."


@pytest.mark.parametrize("source, name", SHARED)
def test_also_when_emitting_into_the_callers_scope(compiler, source, name):
    # No stream is declared there, but the caller too can reach each output only by its name.
    with vyr.program():
        with pytest.raises(CompilationException) as raised:
            compiler.compile(source)
    assert type(raised.value.__cause__) is DuplicateOutputException and raised.value.__cause__.name == name


@pytest.mark.parametrize(
    "source, results",
    [
        # Loop variables are no outputs.
        ("int n = 0; for int i in [1:2] { n += i; } for int i in [1:3] { n += i; }", {"n": [9]}),
        # With an output declared, the other declarations are no outputs and may reuse a name.
        ("output int n; int a = 1; if (true) { int a = 2; n = a; } for int a in {5} { n += a; }", {"n": [7]}),
        # Without one, only the program's own declarations are outputs: a block's variables end with it.
        ("int a = 1; if (true) { int a = 5; a += 1; }", {"a": [1]}),
        ("int c = 1; if (c == 1) { int t = 1; } else { int t = 2; }", {"c": [1]}),
    ],
)
def test_names_reused_by_non_outputs_still_compile(compiler, source, results):
    assert run_program(compiler.compile(source).result_program.dsl_program).results == results
