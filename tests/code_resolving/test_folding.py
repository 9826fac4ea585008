import logging
import math

import pytest
from openqasm3 import ast, parser
from openqasm3.visitor import QASMVisitor

from corvane.passes.code_resolving.folding_stage import (
    BinaryExpressionModifier,
    ConstantExpressionsTransformer,
    ExpressionModifier,
    FoldingStage,
    FunctionCallModifier,
    IllegalMathExpression,
    NotAllLiteralsException,
    UnaryExpressionModifier,
    UnresolvableFunctionException,
    _div,
    _failed_fold,
)
from corvane.passes.pipeline_phase import Optimization
from corvane.programs import OpenQasmProgram

LOGGER = "corvane.passes.code_resolving.folding_stage"


@pytest.fixture
def debug(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    return caplog


def records(caplog):
    return [r.getMessage() for r in caplog.records if r.name == LOGGER]


class _PowCalls(QASMVisitor):
    def visit_FunctionCall(self, node):
        if node.name.name == "pow_":
            node.name.name = "pow"
        self.generic_visit(node)


def parse(source):
    """Parses `source`; `pow` is a modifier keyword to the parser, so calls of it are renamed after."""
    tree = parser.parse(source.replace("pow(", "pow_("))
    _PowCalls().visit(tree)
    return tree


def fold(text):
    """Folds the value of `x = <text>;` and returns it."""
    program = OpenQasmProgram(parse(f"x = {text};"))
    result = FoldingStage()(program)
    assert type(result) is OpenQasmProgram and result is not program and result.ast is program.ast
    return result.ast.statements[0].rvalue


B, I, F = ast.BooleanLiteral, ast.IntegerLiteral, ast.FloatLiteral


@pytest.mark.parametrize(
    "text, cls, value",
    [
        ("1 + 2 * 3", I, 7), ("(1 + 2) * 3", I, 9),
        ("-7 / 2", I, -4), ("7 / 2", I, 3), ("1 / 2", I, 0), ("true / 2", I, 0),
        ("7 / 2.0", F, 3.5), ("1.0 / 2", F, 0.5),
        ("-7 % 2", I, 1), ("7 % -2", I, -1), ("-7.5 % 2", F, 0.5), ("mod(7, 3)", I, 1),
        ("2 ** -1", F, 0.5), ("2 ** 100", I, 2**100), ("pow(2, 3)", I, 8), ("2.0 ** 2", F, 4.0),
        ("1 < 2", B, True), ("2 > 1", B, True), ("1 >= 2", B, False), ("2 <= 2", B, True),
        ("1 == 1.0", B, True), ("true == 1", B, True), ("1 != 1.0", B, False),
        ("1 && 0", B, False), ("0 || 2.5", B, True), ("!0", B, True), ("!1.5", B, False),
        ("true + true", I, 2), ("true & false", B, False), ("true | false", B, True), ("true ^ true", B, False),
        ("true & 3", I, 1), ("6 ^ 3", I, 5), ("-1 & 255", I, 255),
        ("~true", I, -2), ("~false", I, -1), ("~5", I, -6), ("-true", I, -1), ("-(2.5)", F, -2.5),
        ("1 << 3", I, 8), ("-5 >> 1", I, -3), ("true << 1", I, 2),
        ("1 + 2.5", F, 3.5), ("1e308 * 10.0", F, math.inf), ("3 - 5", I, -2),
        ("sqrt(4) + 1", F, 3.0), ("floor(2.7)", I, 2), ("ceiling(2.1)", I, 3), ("ceiling(2)", I, 2),
        ("floor(-2.5)", I, -3), ("floor(true)", I, 1),
        ("exp(0)", F, 1.0), ("log(1)", F, 0.0), ("log(8, 2)", F, 3.0), ("log(2 ** 2000)", F, 2000 * math.log(2)),
        ("cos(0)", F, 1.0), ("sin(0)", F, 0.0), ("tan(0)", F, 0.0),
        ("arccos(1)", F, 0.0), ("arcsin(1)", F, math.pi / 2), ("arctan(1)", F, math.pi / 4),
        ("-(-3)", I, 3),
    ],
)
def test_constant_expressions_fold_into_one_literal(text, cls, value):
    result = fold(text)
    assert type(result) is cls
    assert type(result.value) is type(value)
    assert result.value == pytest.approx(value) if cls is F else result.value == value


@pytest.mark.parametrize(
    "text, messages",
    [
        ("1 + 2 * 3", ["Replaced 2 * 3 by 6", "Replaced 1 + 6 by 7"]),
        ("-7 / 2", ["Replaced -(7) by -7", "Replaced -7 / 2 by -4"]),
        ("7 / 2.0", ["Replaced 7 / 2.0 by 3.5"]),
        ("1 < 2", ["Replaced 1 < 2 by True"]),
        ("-(-3)", ["Replaced -(3) by -3", "Replaced -(-3) by 3"]),
        ("pow(2, 3)", ["Replaced pow(2, 3) by 8"]),
        ("1e16 * 1.0", ["Replaced 1e+16 * 1.0 by 1e+16"]),
        ("0.0001 + 0.0", ["Replaced 0.0001 + 0.0 by 0.0001"]),
        ("1e-05 * 1", ["Replaced 1e-05 * 1 by 1e-05"]),
        ("1e308 * 10.0", ["Replaced 1e+308 * 10.0 by inf"]),
        ("1e308 * 10 - 1e308 * 10", ["Replaced 1e+308 * 10 by inf", "Replaced 1e+308 * 10 by inf", "Replaced inf - inf by nan"]),
        ("x + 1", []),
        ("sqrt(x)", []),
        ("foo(1, 2)", []),
        ("!(!x)", []),
        ("~(~x)", []),
    ],
)
def test_debug_records(debug, text, messages):
    fold(text)
    assert records(debug) == messages


@pytest.mark.parametrize("text", ["sqrt(x)", "foo(1, 2)", "!(!x)", "~(~x)", "x + 1", "x % 1", "2 * x"])
def test_expressions_that_cannot_fold_stay(text):
    assert fold(text) == parser.parse(f"x = {text};").statements[0].rvalue


@pytest.mark.parametrize(
    "declaration",
    ["duration d;", "stretch d;", "input duration d;", "array[duration, 2] d;", "for duration d in [0ns:1ns] {}"],
)
def test_no_shortcut_makes_a_duration_variable_a_number(declaration):
    # Declared as a duration, `d` keeps its operations with the numbers 0 and 1; a name
    # declared as a number loses them.
    operand = "d[0]" if "array" in declaration else "d"
    tree = parse(f"{declaration} int n; x = {operand} * 0; x = {operand} + 0; x = 1 * {operand}; x = n * 0;")
    FoldingStage()(OpenQasmProgram(tree))
    *kept, number = [statement.rvalue for statement in tree.statements[2:]]
    assert all(type(value) is ast.BinaryExpression for value in kept)
    assert type(number) is ast.IntegerLiteral and number.value == 0


@pytest.mark.parametrize("text", ["x + 0", "-(-x)", "x * (1 + 0)"])
def test_heuristics_put_the_operand_itself_in_place(debug, text):
    tree = parser.parse(f"x = {text};")
    old = tree.statements[0].rvalue
    FoldingStage()(OpenQasmProgram(tree))
    new = tree.statements[0].rvalue
    assert type(new) is ast.Identifier and new.name == "x"
    if text != "x * (1 + 0)":
        assert new is (old.lhs if text == "x + 0" else old.expression.expression)
        assert records(debug) == [f"Replaced {old} by {new}."]


@pytest.mark.parametrize(
    "text, message",
    [
        ("1 / 0", "1 / 0"), ("1.0 / 0", "1.0 / 0"), ("1 / 0.0", "1 / 0.0"), ("0 ** -1", "0 ** -1"),
        ("10.0 ** 400", "10.0 ** 400"), ("7 % 0", "7 % 0"), ("mod(1, 0)", "mod(1, 0)"),
        ("1.5 & 1", "1.5 & 1"), ("1.0 << 1", "1.0 << 1"), ("~1.5", "~(1.5)"), ("1 << -1", "1 << -1"),
        ("sqrt(-1)", "sqrt(-1)"), ("log(0)", "log(0)"), ("log(-2)", "log(-2)"), ("log(8, 1)", "log(8, 1)"),
        ("log(8, 0)", "log(8, 0)"), ("arccos(2)", "arccos(2)"), ("arcsin(-1.5)", "arcsin(-1.5)"),
        ("exp(1000)", "exp(1000)"), ("exp(1, 2)", "exp(1, 2)"), ("exp()", "exp()"), ("log(1, 2, 3)", "log(1, 2, 3)"),
        ("pow(2)", "pow(2)"), ("cos(1e308 * 10)", "cos(inf)"), ("floor(1e308 * 10)", "floor(inf)"),
("ceiling(0.0 * (1e308 * 10))", "ceiling(nan)"),
        ("2 ** 2000 + 0.5", "114813069527425452423283320117768198402231770208869520047764273682576626139237031385665948631650626991844596463898746277344711896086305533142593135616665318539129989145312280000688779148240044871428926990063486244781615463646388363947317026040466353970904996558162398808944629605623311649536164221970332681344168908984458505602379484807914058900934776500429002716706625830522008132236281291761267883317206598995396418127021779858404042159853183251540889433902091920554957783589672039160081957216630582755380425583726015528348786419432054508915275783882625175435528800822842770817965453762184851149029376 + 0.5"),
        ("(1 / 0) + (2 / 0)", "1 / 0"),
    ],
)
def test_failed_computation_is_an_illegal_math_expression(text, message):
    with pytest.raises(IllegalMathExpression) as error:
        fold(text)
    assert str(error.value) == f"The operation {message} is illegal"
    assert error.value.args == (f"The operation {message} is illegal",)
    assert error.value.__cause__ is None and isinstance(error.value.__context__, Exception)


def test_illegal_math_expression_takes_exactly_text():
    assert issubclass(IllegalMathExpression, Exception)
    with pytest.raises(TypeError) as error:
        IllegalMathExpression(1)
    assert str(error.value) == "Argument 'expression' has incorrect type (expected str, got int)"


def test_complex_power_is_computed_and_handed_to_the_literal_factory(debug):
    with pytest.raises(Exception) as error:
        fold("(-8.0) ** 0.5")
    assert type(error.value) is not IllegalMathExpression
    assert records(debug)[-1] == f"Replaced -8.0 ** 0.5 by {(-8.0) ** 0.5}"


def test_expression_statement_call_is_folded():
    tree = parser.parse("sqrt(4);")
    ConstantExpressionsTransformer().visit(tree)
    assert tree.statements[0].expression == ast.FloatLiteral(2.0)


def test_switch_target_and_default_fold_but_cases_do_not():
    tree = parser.parse("int x; switch (1 + 1) { case 1 + 1 { x = 2 * 2; } default { x = 3 * 3; } }")
    FoldingStage()(OpenQasmProgram(tree))
    switch = tree.statements[1]
    assert switch.target == ast.IntegerLiteral(2)
    assert switch.default.statements[0].rvalue == ast.IntegerLiteral(9)
    values, body = switch.cases[0]
    assert type(values[0]) is ast.BinaryExpression and type(body.statements[0].rvalue) is ast.BinaryExpression


def test_indices_of_indexed_names_are_folded():
    # Index groups are lists inside a list, which the generic walk does not enter.
    tree = parser.parse("b[1 + 1] = 2 * 3; x q[4 - 1], r[{1 + 1}]; c[0:2 * 2] = measure q[2 - 2];")
    FoldingStage()(OpenQasmProgram(tree))
    assert tree == parser.parse("b[2] = 6; x q[3], r[{2}]; c[0:4] = measure q[0];")


def test_a_failure_leaves_its_expression_and_the_rest_is_folded():
    # The first failure is raised once the walk is done; what cannot be computed stays as written.
    tree = parse("a = 1 + 1; b = (2 * 3) / 0; c = arccos(2) + (2 + 2); d = 2 + 2; e = mod(5, 0); f = pow(2, 3);")
    with pytest.raises(IllegalMathExpression, match="^The operation 6 / 0 is illegal$"):
        FoldingStage()(OpenQasmProgram(tree))
    assert tree == parse("a = 2; b = 6 / 0; c = arccos(2) + 4; d = 4; e = mod(5, 0); f = 8;")


@pytest.mark.parametrize(
    "text, message",
    [
        ("sqrt(-2.0 * 0.5)", "sqrt(-1.0)"), ("log(0.0)", "log(0.0)"), ("mod(5, 0)", "mod(5, 0)"),
        ("exp(710)", "exp(710)"), ("sin(1.0, 2.0)", "sin(1.0, 2.0)"), ("5 % 0", "5 % 0"), ("~1.5", "~(1.5)"),
    ],
)
def test_the_failure_of_an_expression_left_unfolded_is_told_without_folding(debug, text, message):
    tree = parse(f"x = {text};")
    ConstantExpressionsTransformer().visit(tree)  # the walk leaves the failed expression, its operands folded
    node = tree.statements[0].rvalue
    logged = records(debug)
    failure = _failed_fold(node)
    assert type(failure) is IllegalMathExpression and str(failure) == f"The operation {message} is illegal"
    assert isinstance(failure.__context__, Exception)
    # Nothing is logged and the node stays.
    assert records(debug) == logged and tree.statements[0].rvalue is node


@pytest.mark.parametrize("text", ["sqrt(4)", "1 + 2", "-3", "sqrt(x)", "popcount(5)", "x + 0", "int(1.5)", "x"])
def test_an_expression_that_folds_or_has_nothing_to_fold_has_no_failure(debug, text):
    assert _failed_fold(parse(f"x = {text};").statements[0].rvalue) is None
    assert records(debug) == []


def test_other_expressions_are_walked_not_computed():
    tree = parser.parse("int x; x = int(1 + 1); x = x[1 + 1];")
    FoldingStage()(OpenQasmProgram(tree))
    assert tree == parser.parse("int x; x = int(2); x = x[2];")


def test_step_kind_and_name():
    step = FoldingStage()
    assert isinstance(step, Optimization) and step.name == "FoldingStage"


def test_computation_tables():
    assert list(BinaryExpressionModifier.BINARY_OPERATOR_TO_FUNCTION) == [
        ast.BinaryOperator[s]
        for s in (">", "<", ">=", "<=", "==", "!=", "&&", "||", "|", "^", "&", "<<", ">>", "+", "-", "*", "/", "%", "**")
    ]
    assert BinaryExpressionModifier.BINARY_OPERATOR_TO_FUNCTION[ast.BinaryOperator["/"]] is _div
    assert list(UnaryExpressionModifier.UNARY_OPERATOR_TO_FUNCTION) == [ast.UnaryOperator[s] for s in "!-~"]
    assert list(FunctionCallModifier.NAME_TO_MATH_FUNCTION) == [
        "exp", "log", "mod", "pow", "cos", "sin", "tan", "arccos", "arcsin", "arctan", "ceiling", "floor", "sqrt",
    ]


@pytest.mark.parametrize("x, y, expected", [(7, 2, 3), (-7, 2, -4), (True, 2, 0), (7, 2.0, 3.5), (1.0, 2, 0.5)])
def test_division_rule(x, y, expected):
    result = _div(x, y)
    assert type(result) is type(expected) and result == expected


@pytest.mark.parametrize("x, y", [(1, 0), (1.0, 0), (1, 0.0)])
def test_division_by_zero(x, y):
    with pytest.raises(ZeroDivisionError):
        _div(x, y)


class TestModifierTemplate:
    def test_template_is_abstract_and_generic(self):
        assert ExpressionModifier.__abstractmethods__ == frozenset(
            {"_get_literal_arguments", "_get_func_to_calculate", "_calculate_heuristics", "_create_expression_string"}
        )
        assert BinaryExpressionModifier.__orig_bases__ == (ExpressionModifier[ast.BinaryExpression],)
        assert UnaryExpressionModifier.__orig_bases__ == (ExpressionModifier[ast.UnaryExpression],)
        assert FunctionCallModifier.__orig_bases__ == (ExpressionModifier[ast.FunctionCall],)

    @pytest.mark.parametrize(
        "kind, text, hook, signal",
        [
            (BinaryExpressionModifier, "x + 1", "_get_literal_arguments", NotAllLiteralsException),
            (UnaryExpressionModifier, "-x", "_get_literal_arguments", NotAllLiteralsException),
            (FunctionCallModifier, "f(1, x)", "_get_literal_arguments", NotAllLiteralsException),
            (FunctionCallModifier, "f(1)", "_get_func_to_calculate", UnresolvableFunctionException),
        ],
    )
    def test_hooks_signal(self, kind, text, hook, signal):
        node = parser.parse(f"{text};").statements[0].expression
        with pytest.raises(signal):
            getattr(kind, hook)(node)
        assert kind.run(node) is node

    def test_hooks_of_a_kind(self):
        node = parse("pow(2, 3);").statements[0].expression
        assert FunctionCallModifier._get_literal_arguments(node) == [2, 3]
        assert FunctionCallModifier._create_expression_string(node, [2, 3]) == "pow(2, 3)"
        assert FunctionCallModifier._calculate_heuristics(node) is node
        with pytest.raises(TypeError):
            FunctionCallModifier._create_expression_string(node, (2, 3))
        assert FunctionCallModifier.run(node) == ast.IntegerLiteral(8)

    def test_run_reaches_the_hooks_of_its_class(self):
        class Answer(BinaryExpressionModifier):
            @classmethod
            def _calculate_heuristics(cls, node):
                return ast.IntegerLiteral(42)

            @classmethod
            def _create_expression_string(cls, node, arguments):
                return "custom"

        assert Answer.run(parser.parse("x + y;").statements[0].expression) == ast.IntegerLiteral(42)
        with pytest.raises(IllegalMathExpression, match="The operation custom is illegal"):
            Answer.run(parser.parse("1 / 0;").statements[0].expression)

    def test_minus_minus_heuristic(self):
        node = parser.parse("-(-x);").statements[0].expression
        assert UnaryExpressionModifier.resolve_minus_minus_heuristic(node) is node.expression.expression
        other = parser.parse("-(!x);").statements[0].expression
        assert UnaryExpressionModifier.resolve_minus_minus_heuristic(other) is other

    def test_modify_refuses_other_nodes(self):
        with pytest.raises(NotImplementedError) as error:
            ConstantExpressionsTransformer().generic_modify_node(ast.Identifier("x"))
        assert str(error.value) == "Unsupported visit node: <class 'openqasm3.ast.Identifier'>"


def test_program_must_be_an_openqasm_program():
    with pytest.raises(AssertionError):
        FoldingStage()(object())


def test_a_statement_call_of_a_named_operation_keeps_its_call_and_folds_its_arguments():
    tree = parse("tan(0.25 * 2); floor(2.5); x = tan(0.5);")
    FoldingStage({"tan"})(OpenQasmProgram(tree))
    kept, folded, assigned = (statement for statement in tree.statements)
    assert type(kept.expression) is ast.FunctionCall and kept.expression.arguments == [F(0.5)]
    assert folded.expression == I(2)
    assert type(assigned.rvalue) is F
    # Without operation names every call folds, a statement's too.
    tree = parse("tan(0.5);")
    FoldingStage()(OpenQasmProgram(tree))
    assert type(tree.statements[0].expression) is F
