import dataclasses
import typing

import pytest
from openqasm3 import ast

from corvane.configurations.hardware_qubit import (
    AllQubitsValues,
    Element,
    Elements,
    ExactQubitPattern,
    HardwareQubit,
    HardwareQubitIndex,
    QubitPattern,
    QubitsMapping,
    create_hardware_qubit,
)


def test_type_names_are_type_aliases():
    assert Element is str
    assert HardwareQubitIndex is int
    assert Elements == typing.Tuple[str, ...]
    assert QubitsMapping == typing.Dict[int, typing.Tuple[str, ...]]


class TestHardwareQubitNode:
    def test_is_an_identifier_record_with_an_index(self):
        node = HardwareQubit("$3", 3)
        assert isinstance(node, ast.Identifier)
        assert [field.name for field in dataclasses.fields(HardwareQubit)] == ["span", "name", "index"]
        assert node.span is None
        assert HardwareQubit(name="$3", index=3) == node

    def test_equality_needs_the_exact_class_and_both_fields(self):
        node = HardwareQubit("$3", 3)
        assert node != ast.Identifier("$3")
        assert node != HardwareQubit("$3", 4)
        spanned = HardwareQubit("$3", 3)
        spanned.span = ast.Span(1, 0, 1, 2)
        assert spanned == node

    def test_is_mutable_and_unhashable(self):
        node = HardwareQubit("$3", 3)
        node.index = 4
        assert node.index == 4
        with pytest.raises(TypeError, match="unhashable"):
            {node}

    @pytest.mark.parametrize(
        "index, name, number",
        [
            (0, "$0", 0),
            (12, "$12", 12),
            (2.9, "$2", 2),
            (-2.9, "$-2", -2),
            (True, "$1", 1),
            (-3, "$-3", -3),
            (10**30, "$" + str(10**30), 10**30),
        ],
    )
    def test_factory_converts_numbers(self, index, name, number):
        node = create_hardware_qubit(index)
        assert type(node) is HardwareQubit
        assert (node.name, node.index) == (name, number)
        assert type(node.index) is int
        assert node.span is None

    def test_factory_takes_its_argument_by_keyword(self):
        assert create_hardware_qubit(index=5) == HardwareQubit("$5", 5)

    @pytest.mark.parametrize("index", ["3", None, (1,), object()])
    def test_factory_refuses_non_numbers(self, index):
        with pytest.raises(TypeError) as error:
            create_hardware_qubit(index)
        assert str(error.value) == (
            f"Argument 'index' has incorrect type (expected int, got {type(index).__name__})"
        )


class TestQubitPatterns:
    def test_the_base_is_abstract(self):
        with pytest.raises(TypeError, match="abstract"):
            QubitPattern()
        assert QubitPattern.__abstractmethods__ == frozenset({"matches"})

    @pytest.mark.parametrize("other, expected", [(3, True), (4, False), (3.0, True), ("3", False)])
    def test_exact_pattern_compares_its_value(self, other, expected):
        assert ExactQubitPattern(3).matches(other) is expected

    def test_exact_pattern_stores_and_shows_its_value(self):
        pattern = ExactQubitPattern(value=3)
        assert pattern._value == 3
        assert repr(pattern) == "ExactQubitPattern(3)"
        assert repr(ExactQubitPattern("q")) == "ExactQubitPattern(q)"

    @pytest.mark.parametrize("other", [0, 7, -1, 10**20, None])
    def test_all_values_matches_everything(self, other):
        assert AllQubitsValues().matches(other) is True

    def test_patterns_compare_and_hash_by_identity(self):
        first, second = ExactQubitPattern(1), ExactQubitPattern(1)
        assert first != second and len({first, second}) == 2
        assert AllQubitsValues() != AllQubitsValues()
        assert isinstance(first, QubitPattern) and isinstance(AllQubitsValues(), QubitPattern)
