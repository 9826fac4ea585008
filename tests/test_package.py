import importlib

import pytest

import corvane.version

COMPILED_MODULES = [
    "corvane.configurations.build_options",
    "corvane.passes.initializer_splitter",
    "corvane.passes.node_census",
    "corvane.passes.pipeline_phase",
    "corvane.programs",
]


@pytest.mark.parametrize("name", COMPILED_MODULES)
def test_modules_are_compiled_extensions(name):
    assert importlib.import_module(name).__file__.endswith(".so")


def test_version_is_text():
    assert isinstance(corvane.version.__version__, str)
