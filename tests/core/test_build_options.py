import dataclasses

import pytest

from corvane.configurations.build_options import BuildOptions

DEFAULTS = {
    "max_inclusion_depth": 100,
    "optimizations_to_enforce": None,
    "optimizations_to_skip": None,
    "validations_to_skip": None,
    "optimization_level": 0,
}


def test_defaults_and_to_dict():
    options = BuildOptions()
    assert options.to_dict() == DEFAULTS
    assert list(options.to_dict()) == list(DEFAULTS)


def test_positional_and_keyword_construction():
    assert BuildOptions(5, "a", "b", "c", 2) == BuildOptions(
        max_inclusion_depth=5,
        optimizations_to_enforce="a",
        optimizations_to_skip="b",
        validations_to_skip="c",
        optimization_level=2,
    )


def test_equality_and_hashing():
    assert BuildOptions() == BuildOptions()
    assert hash(BuildOptions()) == hash(BuildOptions())
    assert BuildOptions(optimization_level=1) != BuildOptions()
    assert BuildOptions() != DEFAULTS
    assert len({BuildOptions(), BuildOptions(), BuildOptions(max_inclusion_depth=1)}) == 2


def test_frozen():
    options = BuildOptions()
    with pytest.raises(dataclasses.FrozenInstanceError):
        options.max_inclusion_depth = 3
    with pytest.raises(AttributeError):
        del options.optimization_level


def test_text_form():
    assert repr(BuildOptions(optimizations_to_skip="all")) == (
        "BuildOptions(max_inclusion_depth=100, optimizations_to_enforce=None, "
        "optimizations_to_skip='all', validations_to_skip=None, optimization_level=0)"
    )


def test_values_are_not_validated_and_to_dict_copies_deeply():
    options = BuildOptions(max_inclusion_depth=[1, 2])
    flags = options.to_dict()
    flags["max_inclusion_depth"].append(3)
    flags["optimization_level"] = 9
    assert options.max_inclusion_depth == [1, 2]
    assert options.optimization_level == 0
