import importlib
import pathlib

import pytest

import corvane.version

SOURCE = pathlib.Path(__file__).parents[1] / "src"
COMPILED_MODULES = sorted(
    ".".join(path.relative_to(SOURCE).with_suffix("").parts) for path in SOURCE.glob("corvane/**/*.cpp")
)


@pytest.mark.parametrize("name", COMPILED_MODULES)
def test_modules_are_compiled_extensions(name):
    assert importlib.import_module(name).__file__.endswith(".so")


def test_version_is_text():
    assert isinstance(corvane.version.__version__, str)
