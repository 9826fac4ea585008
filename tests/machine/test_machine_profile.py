import collections
import dataclasses

import pytest

from corvane.configurations.instruction_key import InstructionKey
from corvane.configurations.instruction_registry import (
    InstructionRegistry,
    NumberOfParametersMismatch,
    UnresolvableOperation,
)
from corvane.configurations.machine_profile import (
    MachineProfile,
    NotSupportedQubits,
    QubitElementsException,
    ResolvedOperation,
)


def cx_impl(control, target):
    pass


def rx_impl(theta, qubit):
    pass


def gphase_impl(phase, *qubits):
    pass


def measure_impl():
    return "bit"


OPERATIONS = {"cx a, b;": cx_impl, "rx(t) q;": rx_impl, "gphase": gphase_impl, "measure $2;": measure_impl}
QUBITS = {0: ("drive0", "flux"), 1: ("drive1", "flux"), 2: ("readout", "drive2")}


@pytest.fixture
def profile():
    return MachineProfile(OPERATIONS, dict(QUBITS))


class TestNotSupportedQubits:
    @pytest.mark.parametrize(
        "name, called, supported, text",
        [
            (
                "cx",
                (0, 5),
                {0, 1, 2},
                "Operation 'cx' is operating on qubits (0, 5). Some of these qubits are not supported. "
                "Supported qubits - (0, 1, 2).",
            ),
            (
                "x",
                (7,),
                {2, 0},
                "Operation 'x' is operating on qubits (7,). Some of these qubits are not supported. "
                "Supported qubits - (0, 2).",
            ),
            (
                "x",
                (1,),
                set(),
                "Operation 'x' is operating on qubits (1,). Some of these qubits are not supported. "
                "Supported qubits - ().",
            ),
            (
                "x",
                (3,),
                {10, 9, 100},
                "Operation 'x' is operating on qubits (3,). Some of these qubits are not supported. "
                "Supported qubits - (9, 10, 100).",
            ),
        ],
    )
    def test_text(self, name, called, supported, text):
        error = NotSupportedQubits(name, called, supported)
        assert str(error) == text
        assert (error.name, error.called_qubits, error.supported_qubits) == (name, called, supported)
        assert error.args == (name, called, supported)

    def test_is_an_unresolvable_operation(self):
        assert issubclass(NotSupportedQubits, UnresolvableOperation)
        error = NotSupportedQubits(operation_name="x", called_qubits=(), supported_qubits=set())
        assert error.args == () and error.name == "x"

    @pytest.mark.parametrize(
        "arguments, message",
        [
            ((None, (), set()), "Argument 'operation_name' has incorrect type (expected str, got NoneType)"),
            (("x", [0], set()), "Argument 'called_qubits' has incorrect type (expected tuple, got list)"),
            (("x", (), frozenset()), "Argument 'supported_qubits' has incorrect type (expected set, got frozenset)"),
            (("x", (), {0: ()}), "Argument 'supported_qubits' has incorrect type (expected set, got dict)"),
        ],
    )
    def test_argument_types(self, arguments, message):
        with pytest.raises(TypeError) as raised:
            NotSupportedQubits(*arguments)
        assert str(raised.value) == message


class TestResolvedOperation:
    def test_is_a_plain_mutable_record(self):
        record = ResolvedOperation(cx_impl, (0, 1), ("a",))
        assert [field.name for field in dataclasses.fields(ResolvedOperation)] == [
            "func",
            "params",
            "elements_to_align",
        ]
        assert record == ResolvedOperation(func=cx_impl, params=(0, 1), elements_to_align=("a",))
        assert repr(record) == f"ResolvedOperation(func={cx_impl!r}, params=(0, 1), elements_to_align=('a',))"
        record.params = ()
        assert record.params == ()
        with pytest.raises(TypeError, match="unhashable"):
            hash(record)


class TestConstruction:
    def test_a_map_is_wrapped_in_a_new_registry(self, profile):
        registry = profile.quantum_instruction_registry
        assert type(registry) is InstructionRegistry
        assert {key.name for key in registry.available_identifiers} == {"cx", "rx", "gphase", "measure"}

    def test_a_map_subclass_is_wrapped_too(self):
        profile = MachineProfile(collections.OrderedDict(OPERATIONS), QUBITS)
        assert type(profile.quantum_instruction_registry) is InstructionRegistry

    def test_any_other_registry_object_is_kept_untested(self):
        registry = InstructionRegistry(OPERATIONS)
        assert MachineProfile(registry, QUBITS).quantum_instruction_registry is registry
        marker = object()
        profile = MachineProfile(quantum_instruction_registry=marker, hardware_qubits=None)
        assert profile.quantum_instruction_registry is marker

    def test_registry_errors_pass_unchanged(self):
        with pytest.raises(NumberOfParametersMismatch):
            MachineProfile({"rx(t) q;": lambda theta: None}, QUBITS)

    def test_the_qubit_map_is_held_by_reference(self):
        qubits = {0: ("a",)}
        profile = MachineProfile(OPERATIONS, qubits)
        assert profile.hardware_qubits is qubits
        with pytest.raises(NotSupportedQubits):
            profile.resolve_operation("rx", (1,), 0.5)
        qubits[1] = ("b",)
        assert profile._supported_qubit_indices == {0, 1}
        assert profile.resolve_operation("rx", (1,), 0.5) == ResolvedOperation(rx_impl, (0.5, 1), ("b",))

    def test_supported_indices_are_a_new_set_at_every_read(self, profile):
        first = profile._supported_qubit_indices
        assert first == {0, 1, 2} and type(first) is set
        first.add(9)
        assert profile._supported_qubit_indices == {0, 1, 2}


class TestQubitElements:
    @pytest.mark.parametrize(
        "qubits, qubit, shown",
        [
            # a tuple's comma forgotten: the text would be read as its letters
            ({0: ("q0",), 1: "q1"}, 1, "'q1', a text"),
            (collections.OrderedDict({3: "q3"}), 3, "'q3', a text"),
            ({0: ("q0", 5)}, 0, "which hold 5 (int)"),
            ({2: ["drive", None]}, 2, "which hold None (NoneType)"),
            ({0: None}, 0, "None, which are not a tuple of names"),
            ({0: b"q0"}, 0, "b'q0', which are not a tuple of names"),
            # an iterator would be used up by the first operation that reads it
            ({0: iter(["q0"])}, 0, "which are not a tuple of names"),
        ],
    )
    def test_refused_when_the_profile_is_built(self, qubits, qubit, shown):
        with pytest.raises(QubitElementsException) as raised:
            MachineProfile(OPERATIONS, qubits)
        assert isinstance(raised.value, TypeError) and raised.value.qubit == qubit
        text = str(raised.value)
        assert text.startswith(f"The hardware qubit {qubit} of the machine profile is given the elements ")
        assert shown in text and "a tuple of element names" in text

    def test_a_collection_of_names_is_a_qubits_elements(self):
        profile = MachineProfile({}, {0: ["b", "a"], 1: (), 2: {"c"}})
        assert profile.get_elements_to_align((0, 1, 2)) == ("a", "b", "c")

    def test_elements_given_after_the_profile_was_built_are_refused_where_they_are_used(self):
        qubits = {0: ("a",)}
        profile = MachineProfile(OPERATIONS, qubits)
        qubits[1] = "b1"
        with pytest.raises(QubitElementsException, match="^The hardware qubit 1 of the machine profile"):
            profile.resolve_operation("rx", (1,), 0.5)

    def test_the_refusal_holds_under_optimisation(self, python_subprocess):
        code = """
            from corvane import MachineProfile
            try:
                MachineProfile({}, {0: "q0"})
            except TypeError as error:
                print(type(error).__name__, error.qubit)
        """
        assert python_subprocess(code, "-O") == "QubitElementsException 0\n"


class TestResolution:
    @pytest.mark.parametrize(
        "name, qubits, params, expected",
        [
            ("cx", (1, 0), (), ResolvedOperation(cx_impl, (1, 0), ("drive0", "drive1", "flux"))),
            ("cx", (2, 2), (), ResolvedOperation(cx_impl, (2, 2), ("drive2", "readout"))),
            ("rx", (2,), (0.5,), ResolvedOperation(rx_impl, (0.5, 2), ("drive2", "readout"))),
            ("gphase", (), (0.1,), ResolvedOperation(gphase_impl, (0.1,), ())),
            ("gphase", (1, 0, 1), (0.1,), ResolvedOperation(gphase_impl, (0.1, 1, 0, 1), ("drive0", "drive1", "flux"))),
            ("measure", (2,), (), ResolvedOperation(measure_impl, (), ("drive2", "readout"))),
        ],
    )
    def test_resolves_into_implementation_arguments_and_elements(self, profile, name, qubits, params, expected):
        resolved = profile.resolve_operation(name, qubits, *params)
        assert type(resolved) is ResolvedOperation
        assert resolved == expected

    def test_a_call_without_qubits_passes_an_empty_machine(self):
        profile = MachineProfile({"gphase": gphase_impl}, {})
        assert profile.resolve_operation("gphase", (), 1.0) == ResolvedOperation(gphase_impl, (1.0,), ())

    def test_every_call_gives_a_new_record(self, profile):
        first, second = profile.resolve_operation("rx", (0,), 1), profile.resolve_operation("rx", (0,), 1)
        assert first == second and first is not second

    def test_name_and_qubits_may_be_given_by_keyword(self, profile):
        assert profile.resolve_operation(name="cx", qubit_indices=(0, 1)).params == (0, 1)

    def test_unsupported_qubits_are_reported_before_the_registry_is_asked(self, profile):
        with pytest.raises(NotSupportedQubits) as raised:
            profile.resolve_operation("cx", (0, 5))
        assert str(raised.value) == (
            "Operation 'cx' is operating on qubits (0, 5). Some of these qubits are not supported. "
            "Supported qubits - (0, 1, 2)."
        )
        assert raised.value.args == ("cx", (0, 5), {0, 1, 2})
        with pytest.raises(NotSupportedQubits, match=r"on qubits \(7,\)\."):
            profile.resolve_operation("nothing", (7,))

    def test_a_supported_call_without_an_implementation_is_unresolvable(self, profile):
        with pytest.raises(UnresolvableOperation) as raised:
            profile.resolve_operation("nothing", (1,))
        assert type(raised.value) is UnresolvableOperation
        assert str(raised.value).startswith("Not found relevant operation for ")

    def test_a_profile_from_a_registry_resolves_as_one_from_the_map(self):
        from_map = MachineProfile(OPERATIONS, QUBITS)
        from_registry = MachineProfile(InstructionRegistry(OPERATIONS), QUBITS)
        for call in [("cx", (0, 2)), ("rx", (1,), 0.3), ("gphase", (0,), 1)]:
            assert from_map.resolve_operation(*call) == from_registry.resolve_operation(*call)

    def test_a_stand_in_registry_is_asked_by_position(self):
        calls = []

        class Registry:
            def resolve_operation(self, *arguments, **keywords):
                calls.append((arguments, keywords))
                return iter(["impl", ("args",)])

        profile = MachineProfile(Registry(), QUBITS)
        assert profile.resolve_operation("g", (1,), 2, 3) == ResolvedOperation("impl", ("args",), ("drive1", "flux"))
        assert calls == [(("g", (1,), 2, 3), {})]

    @pytest.mark.parametrize(
        "result, error, message",
        [
            (("impl",), ValueError, r"^not enough values to unpack \(expected 2, got 1\)$"),
            (("impl", (), ()), ValueError, r"^too many values to unpack \(expected 2\)$"),
            (None, TypeError, r"^cannot unpack non-iterable NoneType object$"),
        ],
    )
    def test_the_registry_result_must_be_a_pair(self, result, error, message):
        registry = type("Registry", (), {"resolve_operation": lambda self, *arguments: result})()
        with pytest.raises(error, match=message):
            MachineProfile(registry, QUBITS).resolve_operation("g", ())

    @pytest.mark.parametrize(
        "name, qubits, message",
        [
            (None, (0,), "Argument 'name' has incorrect type (expected str, got NoneType)"),
            ("cx", [0, 1], "Argument 'qubit_indices' has incorrect type (expected tuple, got list)"),
        ],
    )
    def test_argument_types(self, profile, name, qubits, message):
        with pytest.raises(TypeError) as raised:
            profile.resolve_operation(name, qubits)
        assert str(raised.value) == message


class TestElementsToAlign:
    @pytest.mark.parametrize(
        "qubits, elements",
        [
            ((), ()),
            ((0,), ("drive0", "flux")),
            ((1, 0), ("drive0", "drive1", "flux")),
            ((2, 2, 2), ("drive2", "readout")),
        ],
    )
    def test_elements_are_sorted_without_repeats(self, profile, qubits, elements):
        assert profile.get_elements_to_align(hardware_qubits=qubits) == elements

    def test_sorting_is_by_character_codes(self):
        profile = MachineProfile({}, {0: ("b", "B", "a"), 1: ("_", "A")})
        assert profile.get_elements_to_align((0, 1)) == ("A", "B", "_", "a", "b")

    def test_an_unknown_index_is_a_key_error(self, profile):
        with pytest.raises(KeyError) as raised:
            profile.get_elements_to_align((0, 9))
        assert raised.value.args == (9,)

    def test_qubits_must_be_a_tuple(self, profile):
        with pytest.raises(TypeError) as raised:
            profile.get_elements_to_align([0])
        assert str(raised.value) == "Argument 'hardware_qubits' has incorrect type (expected tuple, got list)"
