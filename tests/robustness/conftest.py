"""Each case runs in a fresh interpreter, where a crash fails the test without
taking the test run down, and reports how its body ended."""

import textwrap

import pytest

# The case's body is a function; what it returns or raises is printed as one line.
# A raised error is named with its chain of causes: "CompilationException from RecursionError".
HARNESS = """
def case():
{body}

try:
    value = case()
except Exception as error:
    names = []
    while error is not None:
        names.append(type(error).__name__)
        error = error.__cause__
    print(" from ".join(names))
else:
    print("=", repr(value))
"""


@pytest.fixture
def outcome(python_subprocess):
    def run(body, *flags):
        script = HARNESS.format(body=textwrap.indent(textwrap.dedent(body).strip("\n"), "    "))
        return python_subprocess(script, *flags).splitlines()[-1]

    return run
