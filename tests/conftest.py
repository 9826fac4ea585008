import subprocess
import sys
import textwrap

import pytest


def run_python(code, *flags):
    """Runs `code` in a fresh interpreter (with `flags`, e.g. "-O") and returns its stdout."""
    result = subprocess.run(
        [sys.executable, *flags, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        check=False,
    )
    if result.returncode != 0:
        raise AssertionError(f"subprocess failed:\n{result.stdout}\n{result.stderr}")
    return result.stdout


@pytest.fixture
def python_subprocess():
    return run_python
