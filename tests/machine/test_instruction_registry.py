import collections
import collections.abc
import functools
import typing

import pytest
from openqasm3.parser import QASM3ParsingError

from corvane.configurations.instruction_key import InstructionKey, OperationCandidate
from corvane.configurations.instruction_registry import (
    InstructionRegistry,
    KeywordArgumentWithNoDefault,
    NonVarPositionalLastArgument,
    NumberOfParametersMismatch,
    OperationDefinitionException,
    OperationsMapping,
    UnexpectedVarPositionalArgument,
    UnresolvableOperation,
    VyrFunc,
    validate_identifier_operation_match,
)
from vk.vyr.type_hints import ScalarOfAnyType

NOT_FOUND = "Not found relevant operation for "


# Implementations of every shape the tests need.
def rx_impl(theta):
    pass


def rx_full(theta, qubit):
    pass


def rx_extras(theta, qubit, extra=1, *, option=2, **rest):
    pass


def rx_positional_only_default(theta, qubit, extra=1, /):
    pass


def rx_positional_only_exact(theta, qubit=0, /):
    pass


def delay_impl(*args):
    pass


def delay_full(duration, *qubits):
    pass


def reset_impl(qubit):
    pass


def barrier_impl(*qubits, **options):
    pass


def no_args():
    pass


def x_impl(*qubits):
    pass


def keyword_impl(*qubits, flag):
    pass


def one_qubit(qubit):
    pass


def fixed_x():
    return "fixed"


def parametric_x(qubit):
    return "parametric"


class CallableObject:
    def __call__(self, theta, qubit):
        pass


def validate(key, implementation):
    if isinstance(key, str):
        key = InstructionKey.create_from_string(key)
    return validate_identifier_operation_match(key, implementation)


def test_type_aliases():
    assert VyrFunc == collections.abc.Callable[..., typing.Optional[ScalarOfAnyType]]
    assert OperationsMapping == typing.Dict[typing.Union[InstructionKey, str], VyrFunc]


class TestSignatureValidation:
    @pytest.mark.parametrize(
        "key, implementation",
        [
            ("rx(t) q;", rx_full),
            ("rx(t) q;", rx_extras),
            ("rx(t) q;", rx_positional_only_exact),
            ("rx(t) q;", lambda theta, qubit: None),
            ("rx(t) q;", CallableObject()),
            ("barrier", x_impl),
            ("barrier", barrier_impl),
            ("reset", x_impl),
            ("delay", delay_full),
            ("gphase", delay_full),
            ("x $0;", no_args),
            ("cx $0, $1;", no_args),
            ("cx $0, q;", one_qubit),
            (InstructionKey("x", 2, (0,)), rx_full),
        ],
    )
    def test_accepted_shapes(self, key, implementation):
        assert validate(key, implementation) is None

    @pytest.mark.parametrize(
        "key, implementation, error, text",
        [
            (
                "reset",
                reset_impl,
                NonVarPositionalLastArgument,
                "Operation 'reset' is said to have a varying number of qubit inputs, so the given vyr-function "
                "(reset_impl) should have *args as its last parameter (The name 'args' is not mandatory).",
            ),
            (
                "barrier",
                no_args,
                NonVarPositionalLastArgument,
                "Operation 'barrier' is said to have a varying number of qubit inputs, so the given vyr-function "
                "(no_args) should have *args as its last parameter (The name 'args' is not mandatory).",
            ),
            (
                "delay",
                delay_impl,
                NumberOfParametersMismatch,
                "Operation 'delay' is said to have 1 parameters and a varying number of parametric qubits,so the "
                "given vyr-function (delay_impl) should have 2 arguments.",
            ),
            (
                "rx(t) q;",
                rx_impl,
                NumberOfParametersMismatch,
                "Operation 'rx' is said to have 1 parameters and 1 parametric qubits,so the given vyr-function "
                "(rx_impl) should have 2 arguments.",
            ),
            (
                "rx(t) q;",
                rx_positional_only_default,
                NumberOfParametersMismatch,
                "Operation 'rx' is said to have 1 parameters and 1 parametric qubits,so the given vyr-function "
                "(rx_positional_only_default) should have 2 arguments.",
            ),
            (
                "x $0;",
                one_qubit,
                NumberOfParametersMismatch,
                "Operation 'x' is said to have 0 parameters and 0 parametric qubits,so the given vyr-function "
                "(one_qubit) should have 0 arguments.",
            ),
            (
                "x q;",
                x_impl,
                UnexpectedVarPositionalArgument,
                "Operation 'x' should not have a varying number of qubit inputs,but the given vyr-function (x_impl) "
                "have an *args in its signature.",
            ),
            (
                "x q;",
                keyword_impl,
                KeywordArgumentWithNoDefault,
                "The vyr-function keyword_impl has a keyword argument with no default value, so it cannot be set "
                "when beign called.",
            ),
            (
                "barrier",
                lambda q, *, k: None,
                KeywordArgumentWithNoDefault,
                "The vyr-function <lambda> has a keyword argument with no default value, so it cannot be set when "
                "beign called.",
            ),
        ],
    )
    def test_refused_shapes(self, key, implementation, error, text):
        with pytest.raises(error) as raised:
            InstructionRegistry({key: implementation})
        assert type(raised.value) is error
        assert isinstance(raised.value, (OperationDefinitionException, ValueError))
        assert str(raised.value) == text

    def test_errors_carry_the_key_and_the_implementation(self):
        with pytest.raises(NumberOfParametersMismatch) as raised:
            InstructionRegistry({"rx(t) q;": rx_impl})
        key, implementation, expected = raised.value.args
        assert (key.name, implementation, expected) == ("rx", rx_impl, 2)
        assert raised.value._identifier is key and raised.value._operation is rx_impl
        assert raised.value._expected_args == 2
        with pytest.raises(UnexpectedVarPositionalArgument) as raised:
            InstructionRegistry({"x q;": x_impl})
        assert raised.value.args == (raised.value._identifier, x_impl)

    def test_error_constructors(self):
        key = InstructionKey("x")
        error = NumberOfParametersMismatch(key, no_args, expected_args=2.7)
        assert error._expected_args == 2 and error.args == (key, no_args)
        assert OperationDefinitionException(identifier=key, operation=no_args).args == ()
        assert OperationDefinitionException(key, no_args)._operation is no_args
        with pytest.raises(TypeError) as raised:
            NumberOfParametersMismatch(key, no_args, "2")
        assert str(raised.value) == "Argument 'expected_args' has incorrect type (expected int, got str)"

    def test_an_implementation_without_a_name_shows_its_text_form(self):
        partial = functools.partial(rx_full, 1)
        with pytest.raises(NumberOfParametersMismatch) as raised:
            InstructionRegistry({"rx(t) q;": partial})
        assert f"vyr-function ({partial!r}) should have 2" in str(raised.value)

    @pytest.mark.parametrize("implementation, error", [(5, TypeError), (None, TypeError)])
    def test_introspection_errors_pass_unchanged(self, implementation, error):
        with pytest.raises(error):
            InstructionRegistry({"x q;": implementation})

    def test_the_varying_test_runs_before_the_count(self):
        asked = []

        class Key:
            name = "k"
            number_of_params = 0

            @property
            def is_varying_number_of_qubits(self):
                asked.append("varying")
                return False

            @property
            def number_of_parametric_qubits(self):
                asked.append("count")
                return 1

        assert validate_identifier_operation_match(identifier=Key(), vyr_func=one_qubit) is None
        assert asked == ["varying", "count"]


class TestRegistration:
    def test_keys_are_parsed_and_kept_in_order(self):
        given = InstructionKey("x", 0, (1,))
        registry = InstructionRegistry({"x q;": parametric_x, given: fixed_x, "cx a, b;": rx_full})
        keys = list(registry._operations)
        assert [key.name for key in keys] == ["x", "x", "cx"]
        assert all(type(key) is InstructionKey for key in keys)
        assert keys[1] is given
        assert list(registry._operations.values()) == [parametric_x, fixed_x, rx_full]
        assert registry._name_to_identifiers == {"x": (keys[0], given), "cx": (keys[2],)}
        assert isinstance(registry._name_to_identifiers, collections.defaultdict)

    def test_available_identifiers_is_a_new_set_of_the_keys(self):
        registry = InstructionRegistry({"x q;": parametric_x, "reset": x_impl})
        first = registry.available_identifiers
        assert type(first) is set and {key.name for key in first} == {"x", "reset"}
        first.clear()
        assert len(registry.available_identifiers) == 2
        assert registry.available_identifiers is not registry.available_identifiers

    def test_the_first_failure_ends_the_construction(self):
        seen = []

        def items():
            for pair in [("x q;", parametric_x), ("y q;", x_impl), ("z q;", parametric_x)]:
                seen.append(pair[0])
                yield pair

        class Operations:
            pass

        operations = Operations()
        operations.items = items
        with pytest.raises(UnexpectedVarPositionalArgument):
            InstructionRegistry(operations)
        assert seen == ["x q;", "y q;"]

    def test_any_object_with_items_serves(self):
        registry = InstructionRegistry(operations=collections.OrderedDict([("x q;", parametric_x)]))
        assert registry.resolve_operation("x", (3,)) == (parametric_x, (3,))

    @pytest.mark.parametrize(
        "operations, error",
        [
            (None, AttributeError),
            ({"cx a, b": rx_full}, QASM3ParsingError),
            ({"x q[0];": one_qubit}, ValueError),
            ({type("Text", (str,), {})("x q;"): one_qubit}, TypeError),
        ],
    )
    def test_construction_errors_pass_unchanged(self, operations, error):
        with pytest.raises(error):
            InstructionRegistry(operations)

    def test_an_empty_map_resolves_nothing(self):
        registry = InstructionRegistry({})
        assert registry.available_identifiers == set()
        with pytest.raises(UnresolvableOperation):
            registry.resolve_operation("x", (0,))

    def test_the_identifier_factory(self):
        key = InstructionKey("x")
        assert InstructionRegistry._create_identifier(key) is key
        assert InstructionRegistry._create_identifier(_input=3) == 3
        assert type(InstructionRegistry._create_identifier("reset")) is InstructionKey


class TestResolution:
    def test_a_parametric_key_registered_first_shadows_a_fixed_one(self):
        registry = InstructionRegistry({"x q;": parametric_x, "x $0;": fixed_x})
        assert registry.resolve_operation("x", (0,)) == (parametric_x, (0,))
        assert registry.resolve_operation("x", (1,)) == (parametric_x, (1,))

    def test_a_fixed_key_registered_first_wins_on_its_qubit(self):
        registry = InstructionRegistry({"x $0;": fixed_x, "x q;": parametric_x})
        assert registry.resolve_operation("x", (0,)) == (fixed_x, ())
        assert registry.resolve_operation("x", (1,)) == (parametric_x, (1,))

    @pytest.mark.parametrize(
        "key, implementation, qubits, params, arguments",
        [
            ("rx(t) q;", rx_full, (4,), (0.5,), (0.5, 4)),
            ("u(a, b, c) $1, q;", lambda a, b, c, q: None, (1, 6), ("a", "b", "c"), ("a", "b", "c", 6)),
            ("cx q, $2, r;", rx_full, (5, 2, 3), (), (5, 3)),
            ("delay", delay_full, (3, 1, 2), (100,), (100, 3, 1, 2)),
            ("barrier", x_impl, (), (), ()),
            ("measure $2;", no_args, (2,), (), ()),
        ],
    )
    def test_arguments_are_the_params_then_the_parametric_qubits(self, key, implementation, qubits, params, arguments):
        registry = InstructionRegistry({key: implementation})
        (registered,) = registry.available_identifiers
        resolved = registry.resolve_operation(registered.name, qubits, *params)
        assert type(resolved) is tuple
        assert resolved == (implementation, arguments)

    def test_name_and_qubits_may_be_given_by_keyword(self):
        registry = InstructionRegistry({"x q;": parametric_x})
        assert registry.resolve_operation(name="x", hardware_qubits=(2,)) == (parametric_x, (2,))

    @pytest.mark.parametrize(
        "name, qubits, params, call",
        [
            ("rx", (0,), (), "OperationCandidate(name='rx', number_of_params=0, qubits=(0,))"),
            ("rx", (0,), (1, 2), "OperationCandidate(name='rx', number_of_params=2, qubits=(0,))"),
            ("ry", (0,), (1,), "OperationCandidate(name='ry', number_of_params=1, qubits=(0,))"),
            ("rx", (0, 1), (1,), "OperationCandidate(name='rx', number_of_params=1, qubits=(0, 1))"),
            ("rx", (), (1,), "OperationCandidate(name='rx', number_of_params=1, qubits=())"),
        ],
    )
    def test_calls_that_no_key_accepts(self, name, qubits, params, call):
        registry = InstructionRegistry({"rx(t) q;": rx_full})
        with pytest.raises(UnresolvableOperation) as raised:
            registry.resolve_operation(name, qubits, *params)
        assert type(raised.value) is UnresolvableOperation
        # the error names the call that nothing matched
        assert str(raised.value) == NOT_FOUND + call

    def test_an_unknown_name_leaves_an_empty_entry(self):
        registry = InstructionRegistry({"x q;": parametric_x})
        with pytest.raises(UnresolvableOperation):
            registry.resolve_operation("y", (0,))
        assert registry._name_to_identifiers["y"] == ()
        assert len(registry._operations) == 1

    def test_the_candidate_describes_the_call(self):
        registry = InstructionRegistry({"x q;": parametric_x})
        candidate = OperationCandidate("x", 0, (3,))
        assert registry._get_operation(identifier=candidate) is next(iter(registry._operations))

    @pytest.mark.parametrize(
        "name, qubits, message",
        [
            (None, (0,), "Argument 'name' has incorrect type (expected str, got NoneType)"),
            ("x", [0], "Argument 'hardware_qubits' has incorrect type (expected tuple, got list)"),
            ("x", type("Q", (tuple,), {})(), "Argument 'hardware_qubits' has incorrect type (expected tuple, got Q)"),
        ],
    )
    def test_argument_types(self, name, qubits, message):
        with pytest.raises(TypeError) as raised:
            InstructionRegistry({"x q;": parametric_x}).resolve_operation(name, qubits)
        assert str(raised.value) == message

    @pytest.mark.parametrize(
        "first, second",
        [("cx a, b;", "cx c, d;"), ("cx a, b;", InstructionKey("cx", number_of_parametric_qubits=2))],
    )
    def test_one_key_written_twice_gives_two_keys_and_the_earlier_wins(self, first, second):
        registry = InstructionRegistry({first: rx_full, second: CallableObject()})
        assert len(registry.available_identifiers) == 2
        assert registry.resolve_operation("cx", (1, 2)) == (rx_full, (1, 2))

    def test_a_key_object_is_used_through_its_members(self):
        class Key:
            name = "k"
            number_of_params = 1
            is_varying_number_of_qubits = False
            number_of_parametric_qubits = 0

            def matches(self, candidate):
                return candidate.number_of_params == 1

            def get_parametric_qubits(self, qubits):
                return ("all",)

        registry = InstructionRegistry({Key(): rx_impl})
        assert registry.resolve_operation("k", (9, 9), "p") == (rx_impl, ("p", "all"))
