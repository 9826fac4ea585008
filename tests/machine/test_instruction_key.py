import re
import typing

import pytest
from openqasm3 import ast, parser

from corvane.configurations.hardware_qubit import AllQubitsValues, ExactQubitPattern, QubitPattern
from corvane.configurations.instruction_key import (
    InstructionKey,
    OperationCandidate,
    QubitsInput,
    QubitsPattern,
    RegularQubitsPattern,
    VaryingQubits,
)

QUBIT_ERROR = "Qubit should be of type identifier - explicit ('$0') of implicit (a name)."


def positions(key):
    """The qubit pattern of a regular key in short form: a number for a fixed position, '*' for a parametric one."""
    return [
        position._value if type(position) is ExactQubitPattern else "*" for position in key.qubits_pattern._pattern
    ]


def candidate(name, number_of_params=0, qubits=()):
    return OperationCandidate(name, number_of_params, qubits)


def test_qubits_input_is_a_type_alias():
    assert QubitsInput == typing.Tuple[int, ...]


class TestKeyStrings:
    @pytest.mark.parametrize(
        "text, name, number_of_params, pattern",
        [
            ("rx(theta) $0;", "rx", 1, [0]),
            ("rx(0.5) $0;", "rx", 1, [0]),
            ("cx a, b;", "cx", 0, ["*", "*"]),
            ("cz $1, a;", "cz", 0, [1, "*"]),
            ("cz a, a;", "cz", 0, ["*", "*"]),
            ("u(1, 2, 3) $007;", "u", 3, [7]),
            ("ctrl @ x[20ns] a, $3;", "x", 0, ["*", 3]),
            ("measure $2;", "measure", 0, [2]),
            ("c = measure $2;", "measure", 0, [2]),
            ("reset q;", "reset", 0, ["*"]),
            ("reset $4;", "reset", 0, [4]),
            ("delay[100ns] q;", "delay", 1, ["*"]),
            ("delay[d] $1, q;", "delay", 1, [1, "*"]),
            (" reset q;", "reset", 0, ["*"]),
            ("reset q ;", "reset", 0, ["*"]),
        ],
    )
    def test_statements_become_regular_keys(self, text, name, number_of_params, pattern):
        key = InstructionKey.create_from_string(text)
        assert type(key) is InstructionKey
        assert (key.name, key.number_of_params) == (name, number_of_params)
        assert type(key.qubits_pattern) is RegularQubitsPattern
        assert positions(key) == pattern
        assert key.is_varying_number_of_qubits is False
        assert key.number_of_parametric_qubits == pattern.count("*")

    @pytest.mark.parametrize("word, number_of_params", [("reset", 0), ("barrier", 0), ("gphase", 1), ("delay", 1)])
    def test_bare_words_take_any_number_of_qubits(self, word, number_of_params):
        key = InstructionKey.create_from_string(s=word)
        assert (key.name, key.number_of_params) == (word, number_of_params)
        assert type(key.qubits_pattern) is VaryingQubits
        assert key.is_varying_number_of_qubits is True
        assert key.matches(candidate(word, number_of_params, (0, 5, 9)))
        assert key.matches(candidate(word, number_of_params))
        assert not key.matches(candidate(word, number_of_params + 1, (0,)))
        assert key.get_parametric_qubits((3, 1, 3)) == (3, 1, 3)
        with pytest.raises(ValueError, match="^Varying number of qubits has no parameters$"):
            key.number_of_parametric_qubits

    @pytest.mark.parametrize(
        "text, error, message",
        [
            ("barrier q;", NotImplementedError, "^Creation of InstructionKey is not implemented for QuantumBarrier\\("),
            ("gphase(0.5);", NotImplementedError, "^Creation of InstructionKey is not implemented for QuantumPhase\\("),
            ("int i;", NotImplementedError, "^Creation of InstructionKey is not implemented for ClassicalDecl"),
            ("x q[0];", ValueError, f"^{re.escape(QUBIT_ERROR)}$"),
            ("measure q[1];", ValueError, "^Qubit should be of type identifier"),
            ("x a; y b;", AssertionError, "^Definition should have one statement$"),
            ("OPENQASM 3.0;", AssertionError, "^Definition should have one statement$"),
            ("x;", NotImplementedError, "^Creation of InstructionKey is not implemented for ExpressionStatement\\("),
        ],
    )
    def test_refused_texts(self, text, error, message):
        with pytest.raises(error, match=message):
            InstructionKey.create_from_string(text)

    @pytest.mark.parametrize("text", ["cx a, b", "Reset", "reset;"])
    def test_parser_errors_pass_unchanged(self, text):
        with pytest.raises(parser.QASM3ParsingError):
            InstructionKey.create_from_string(text)

    @pytest.mark.parametrize("text", [None, b"reset", type("Text", (str,), {})("reset")])
    def test_the_text_must_be_exactly_a_str(self, text):
        with pytest.raises(TypeError) as error:
            InstructionKey.create_from_string(text)
        assert str(error.value) == f"Argument 's' has incorrect type (expected str, got {type(text).__name__})"

    def test_a_subclass_gets_its_own_class_only_for_gate_calls(self):
        class Key(InstructionKey):
            pass

        assert type(Key.create_from_string("x $0;")) is Key
        for text in ("measure $0;", "reset q;", "delay[1ns] q;", "reset", "barrier", "gphase", "delay"):
            assert type(Key.create_from_string(text)) is InstructionKey

    def test_factories_are_called_on_the_class(self):
        class Key(InstructionKey):
            @staticmethod
            def _create_single_qubit_pattern(qubit):
                return ExactQubitPattern(qubit.name)

        key = Key.create_from_string("measure q;")
        assert type(key) is InstructionKey and positions(key) == ["q"]
        gate = parser.parse("cx a, b;").statements[0]
        assert positions(Key.create_from_quantum_gate_call(declaration=gate)) == ["a", "b"]

    def test_same_text_gives_distinct_keys(self):
        first, second = (InstructionKey.create_from_string("cx a, b;") for _ in range(2))
        assert first != second and len({first, second}) == 2
        assert first.qubits_pattern._pattern[0] is not first.qubits_pattern._pattern[1]


class TestSingleOperand:
    @pytest.mark.parametrize(
        "operand, expected",
        [("$3", 3), ("$03", 3), ("q", "*"), ("$q", "*")],
    )
    def test_identifiers(self, operand, expected):
        pattern = InstructionKey._create_single_qubit_pattern(qubit=ast.Identifier(operand))
        assert (pattern._value if type(pattern) is ExactQubitPattern else "*") == expected
        assert type(pattern) in (ExactQubitPattern, AllQubitsValues)

    def test_a_bound_hardware_qubit_is_an_identifier(self):
        from corvane.configurations.hardware_qubit import create_hardware_qubit

        assert InstructionKey._create_single_qubit_pattern(create_hardware_qubit(5))._value == 5

    @pytest.mark.parametrize(
        "operand", [ast.IndexedIdentifier(ast.Identifier("q"), [[ast.IntegerLiteral(0)]]), None, "$0"]
    )
    def test_other_operands_are_refused(self, operand):
        with pytest.raises(ValueError) as error:
            InstructionKey._create_single_qubit_pattern(operand)
        assert str(error.value) == QUBIT_ERROR


class TestKeyConstructor:
    def test_name_alone_gives_an_empty_pattern(self):
        key = InstructionKey("x")
        assert key.number_of_params == 0 and len(key.qubits_pattern) == 0
        assert key.matches(candidate("x"))
        assert not key.matches(candidate("x", 0, (0,)))

    def test_a_tuple_gives_exact_positions(self):
        key = InstructionKey("cx", qubits_pattern=(0, 1))
        assert positions(key) == [0, 1]
        assert key.matches(candidate("cx", 0, (0, 1)))
        assert not key.matches(candidate("cx", 0, (1, 0)))
        assert key.number_of_parametric_qubits == 0
        assert key.get_parametric_qubits((0, 1)) == ()

    def test_a_tuple_subclass_is_read_as_qubits_but_a_list_is_kept(self):
        Qubits = type("Qubits", (tuple,), {})
        assert positions(InstructionKey("x", qubits_pattern=Qubits((4,)))) == [4]
        assert InstructionKey("x", qubits_pattern=[4]).qubits_pattern == [4]

    def test_a_pattern_object_is_kept(self):
        shared = RegularQubitsPattern((AllQubitsValues(),))
        assert InstructionKey("x", 0, shared).qubits_pattern is InstructionKey("y", 0, shared).qubits_pattern is shared

    @pytest.mark.parametrize("count, expected", [(2, 2), (0, 0), (-1, 0), (1.9, 1), (True, 1)])
    def test_a_count_of_parametric_qubits(self, count, expected):
        key = InstructionKey(name="x", number_of_parametric_qubits=count)
        assert positions(key) == ["*"] * expected
        assert key.number_of_parametric_qubits == expected

    def test_count_and_pattern_together_fail_the_assertion(self):
        with pytest.raises(AssertionError) as error:
            InstructionKey("x", 0, (0,), 1)
        assert str(error.value) == "One cannot insert bot exact pattern and number of parametric qubits"

    def test_count_needs_a_pattern_equal_to_the_empty_tuple(self):
        Qubits = type("Qubits", (tuple,), {})
        assert positions(InstructionKey("x", 0, Qubits(), 1)) == ["*"]
        with pytest.raises(AssertionError):
            InstructionKey("x", 0, [], 1)

    def test_without_assertions_the_checks_are_skipped(self, python_subprocess):
        output = python_subprocess(
            """
            from corvane.configurations.instruction_key import InstructionKey, RegularQubitsPattern
            from corvane.configurations.hardware_qubit import AllQubitsValues
            key = InstructionKey("x", 0, (0,), 2)
            print([type(p).__name__ for p in key.qubits_pattern._pattern])
            try:
                InstructionKey.create_from_string("x a; y $1;")
            except AssertionError as error:
                print(error)
            print(RegularQubitsPattern((AllQubitsValues(),)).get_parametric_qubits((5, 6)))
            try:
                InstructionKey.create_from_string("OPENQASM 3.0;")
            except AssertionError as error:
                print(error)
            """,
            "-O",
        )
        assert output.splitlines() == [
            "['AllQubitsValues', 'AllQubitsValues']",
            "Definition should have one statement",
            "(5,)",
            "Definition should have one statement",
        ]

    @pytest.mark.parametrize("number_of_params, stored", [(1.9, 1), (True, 1), (3, 3)])
    def test_number_of_params_follows_the_integer_rule(self, number_of_params, stored):
        key = InstructionKey("x", number_of_params)
        assert key.number_of_params == stored and type(key.number_of_params) is int

    @pytest.mark.parametrize(
        "arguments, message",
        [
            (("x", "1"), "Argument 'number_of_params' has incorrect type (expected int, got str)"),
            (("x", 0, (), "2"), "Argument 'number_of_parametric_qubits' has incorrect type (expected int, got str)"),
            ((None,), "Argument 'name' has incorrect type (expected str, got NoneType)"),
            ((type("N", (str,), {})("x"),), "Argument 'name' has incorrect type (expected str, got N)"),
            ((None, "1"), "Argument 'number_of_params' has incorrect type (expected int, got str)"),
            ((None, 0, (), "1"), "Argument 'number_of_parametric_qubits' has incorrect type (expected int, got str)"),
        ],
    )
    def test_argument_types(self, arguments, message):
        with pytest.raises(TypeError) as error:
            InstructionKey(*arguments)
        assert str(error.value) == message

    def test_text_form(self):
        assert repr(InstructionKey.create_from_string("rx(a) $0;")) == (
            "InstructionKey(name=rx, number_of_params=1, qubits_pattern=RegularQubitsPattern((ExactQubitPattern(0),)))"
        )
        assert repr(InstructionKey("cx", 0, (1, 2))) == (
            "InstructionKey(name=cx, number_of_params=0, "
            "qubits_pattern=RegularQubitsPattern((ExactQubitPattern(1), ExactQubitPattern(2))))"
        )
        assert repr(InstructionKey("x")) == (
            "InstructionKey(name=x, number_of_params=0, qubits_pattern=RegularQubitsPattern(()))"
        )

    def test_documents_its_fields(self):
        for field in ("name", "number_of_params", "qubits_pattern"):
            assert field in InstructionKey.__doc__


class TestMatching:
    @pytest.mark.parametrize(
        "text, qubits, matches, parametric",
        [
            ("rx(a) $0;", (0,), True, ()),
            ("rx(a) $0;", (1,), False, None),
            ("cx a, b;", (4, 7), True, (4, 7)),
            ("cx a, b;", (7, 4), True, (7, 4)),
            ("cx a, b;", (4,), False, None),
            ("cx a, b;", (4, 7, 9), False, None),
            ("cz $1, a;", (1, 5), True, (5,)),
            ("cz $1, a;", (2, 5), False, None),
            ("cz a, a;", (3, 3), True, (3, 3)),
            ("cz a, a;", (3, 4), True, (3, 4)),
            ("ccx a, $2, b;", (0, 2, 1), True, (0, 1)),
        ],
    )
    def test_qubit_patterns(self, text, qubits, matches, parametric):
        key = InstructionKey.create_from_string(text)
        assert key.matches(candidate(key.name, key.number_of_params, qubits)) is matches
        if parametric is not None:
            assert key.get_parametric_qubits(qubits) == parametric

    def test_name_and_count_must_equal(self):
        key = InstructionKey.create_from_string("rx(a) q;")
        assert key.matches(candidate("rx", 1, (3,))) is True
        assert key.matches(candidate("ry", 1, (3,))) is False
        assert key.matches(candidate("rx", 0, (3,))) is False

    def test_the_pattern_is_asked_even_for_another_name(self):
        asked = []

        class Recording(QubitsPattern):
            def matches(self, other):
                asked.append(other)
                return True

            def get_parametric_qubits(self, qubits):
                return qubits

        key = InstructionKey("x", 0, Recording())
        assert key.matches(candidate("y", 0, (1,))) is False
        assert asked == [(1,)]

    def test_answer_is_the_first_false_test_else_the_pattern_answer(self):
        class Answer(QubitsPattern):
            def matches(self, other):
                return "yes"

            def get_parametric_qubits(self, qubits):
                return qubits

        key = InstructionKey("x", 0, Answer())
        assert key.matches(candidate("x")) == "yes"
        assert key.matches(candidate("y")) is False

    def test_errors_of_the_pattern_leave_matches(self):
        with pytest.raises(TypeError):
            InstructionKey("x", 0, (0,)).matches(candidate("y", 0, 5))

    def test_positions_stop_at_the_first_refusal(self):
        asked = []

        class Refusing(QubitPattern):
            def matches(self, other):
                asked.append(other)
                return False

        pattern = RegularQubitsPattern((Refusing(), Refusing()))
        assert pattern.matches((1, 2)) is False
        assert asked == [1]
        assert pattern.number_of_parametric_qubits == 0

    def test_parametric_qubits_need_as_many_qubits_as_positions(self):
        pattern = RegularQubitsPattern((AllQubitsValues(), ExactQubitPattern(1)))
        assert len(pattern) == 2
        with pytest.raises(AssertionError) as error:
            pattern.get_parametric_qubits((5,))
        assert error.value.args == ()


class TestPatternsAndCandidates:
    def test_the_base_is_abstract(self):
        assert QubitsPattern.__abstractmethods__ == frozenset({"matches", "get_parametric_qubits"})
        with pytest.raises(TypeError, match="abstract"):
            QubitsPattern()

    def test_regular_pattern_needs_exactly_a_tuple(self):
        with pytest.raises(TypeError) as error:
            RegularQubitsPattern([AllQubitsValues()])
        assert str(error.value) == "Argument 'pattern' has incorrect type (expected tuple, got list)"

    def test_subclass_of_all_values_counts_as_parametric(self):
        Any = type("Any", (AllQubitsValues,), {})
        pattern = RegularQubitsPattern((Any(), ExactQubitPattern(0)))
        assert pattern.number_of_parametric_qubits == 1
        assert pattern.get_parametric_qubits((9, 0)) == (9,)

    def test_text_form_of_a_regular_pattern(self):
        assert repr(RegularQubitsPattern((ExactQubitPattern(3),))) == "RegularQubitsPattern((ExactQubitPattern(3),))"

    def test_varying_pattern_takes_anything(self):
        pattern = VaryingQubits()
        marker = object()
        assert pattern.matches(marker) is True
        assert pattern.get_parametric_qubits(marker) is marker

    def test_candidate_fields_and_defaults(self):
        default = OperationCandidate("x")
        assert (default.name, default.number_of_params, default.qubits) == ("x", 0, ())
        given = OperationCandidate(name="cx", number_of_params=2.5, qubits=(1, 2))
        assert (given.name, given.number_of_params, given.qubits) == ("cx", 2, (1, 2))
        assert list(vars(given)) == ["name", "number_of_params", "qubits"]

    @pytest.mark.parametrize(
        "make, text",
        [
            (lambda: OperationCandidate("x"), "OperationCandidate(name='x', number_of_params=0, qubits=())"),
            (lambda: OperationCandidate("x", 1.9, (0,)),
             "OperationCandidate(name='x', number_of_params=1, qubits=(0,))"),
            (lambda: type("Call", (OperationCandidate,), {})("cz", 0, (1, 2)),
             "Call(name='cz', number_of_params=0, qubits=(1, 2))"),
        ],
    )
    def test_candidate_text_names_the_call(self, make, text):
        assert repr(make()) == str(make()) == text

    def test_candidate_inside_its_own_qubits_shows_as_an_ellipsis(self):
        candidate = OperationCandidate("x")
        candidate.qubits = (candidate,)
        assert repr(candidate) == "OperationCandidate(name='x', number_of_params=0, qubits=(...,))"

    def test_candidate_checks_the_count_before_the_name(self):
        with pytest.raises(TypeError, match="'number_of_params'"):
            OperationCandidate(None, "1")
        with pytest.raises(TypeError, match="'name'"):
            OperationCandidate(None, 1)
