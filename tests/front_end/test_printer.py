import pathlib

import pytest
from openqasm3 import ast, parser

from corvane import printer
from corvane.printer import can_fit_one_line, format_node, print_node

CORPUS = pathlib.Path(__file__).parents[1] / "data" / "openqasm-examples"


def bare(node):
    """The node with only its own fields: no annotations list, no span."""
    node.__dict__.pop("annotations", None)
    return node


def lines(*rows):
    """The expected text from (tabs, text) rows."""
    return "\n".join("\t" * tabs + text for tabs, text in rows)


WORKED_EXAMPLES = [
    ([ast.FloatLiteral(0.125)] * 4, "[0.125, 0.125, 0.125, 0.125]"),
    (
        [ast.FloatLiteral(0.125)] * 5,
        lines((0, "["), (1, "0.125"), (1, "0.125"), (1, "0.125"), (1, "0.125"), (1, "0.125"), (0, "]")),
    ),
    (
        ast.RangeDefinition(ast.IntegerLiteral(0), ast.IntegerLiteral(3), None),
        lines((0, "RangeDefinition("), (1, "start=0"), (1, "end=3"), (1, "step=None"), (0, ")")),
    ),
    (
        bare(ast.BranchingStatement(ast.BooleanLiteral(True), [bare(ast.CompoundStatement([]))], [])),
        lines(
            (0, "BranchingStatement("),
            (1, "condition=True"),
            (1, "if_block=["),
            (2, "CompoundStatement("),
            (3, "statements=[]"),
            (2, ")"),
            (1, "]"),
            (1, "else_block=[]"),
            (0, ")"),
        ),
    ),
]


@pytest.mark.parametrize("node, expected", WORKED_EXAMPLES)
def test_worked_examples(node, expected):
    assert format_node(node) == expected


def test_the_compound_statement_of_the_example_is_39_characters():
    assert len(format_node(bare(ast.CompoundStatement([])), 2)) == 39


class NoFields(ast.QASMNode):
    pass


@pytest.mark.parametrize(
    "node, depth, expected",
    [
        ([], 0, "[]"),
        ([[], []], 0, "[[], []]"),
        (["ab", 1], 0, "[ab, 1]"),
        (["a" * 20], 0, "[" + "a" * 20 + "]"),
        (["a" * 10, "b" * 11], 0, "[\n\t" + "a" * 10 + "\n\t" + "b" * 11 + "\n]"),
        (["a" * 21], 2, "[\n\t\t\t" + "a" * 21 + "\n\t\t]"),
        ((ast.Identifier("q"), 1), 0, str((ast.Identifier("q"), 1))),
        ({"k": 1}, 0, "{'k': 1}"),
        (None, 0, "None"),
        (ast.IOKeyword.output, 0, "IOKeyword.output"),
        (ast.Identifier("q"), 0, '"q"'),
        (ast.Identifier('a"b'), 0, '"a"b"'),
        (ast.BooleanLiteral(False), 0, "False"),
        (ast.IntegerLiteral(5), 0, "5"),
        (ast.FloatLiteral(2.5), 0, "2.5"),
        (NoFields(), 0, "NoFields(\n)"),
        (NoFields(), 3, "NoFields(\n\t\t\t)"),
        (NoFields(), 1.9, "NoFields(\n\t)"),
        (NoFields(), True, "NoFields(\n\t)"),
        # The item text holds line feeds, but at 12 characters it fits.
        ([NoFields()], 0, "[NoFields(\n\t)]"),
    ],
)
def test_format_rules(node, depth, expected):
    assert format_node(node, depth) == expected


def test_span_is_never_printed_but_every_other_attribute_is():
    node = parser.parse("qubit q;").statements[0]
    assert node.span is not None
    assert format_node(node) == "QubitDeclaration(\n\tannotations=[]\n\tqubit=\"q\"\n\tsize=None\n)"


def test_list_subclass_is_formatted_as_a_list():
    class Items(list):
        pass

    assert format_node(Items([1, 2])) == "[1, 2]"


@pytest.mark.parametrize(
    "texts, limit, fits",
    [
        ([], 20, True),
        (["a" * 20], 20, True),
        (["a" * 10, "b" * 11], 20, False),
        (["\n\t" * 5], 10, True),
        (["", ""], 0, True),
        (["", "x"], 0, False),
        (["abc"], 3.7, True),
        (["abc"], False, False),
    ],
)
def test_can_fit_one_line(texts, limit, fits):
    assert can_fit_one_line(texts, limit) is fits
    assert can_fit_one_line(stringified_nodes=texts, max_characters_in_one_line=limit) is fits


def test_can_fit_one_line_default_limit():
    assert can_fit_one_line(["a" * 20]) and not can_fit_one_line(["a" * 21])


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: can_fit_one_line(("a",)), "Argument 'stringified_nodes' has incorrect type (expected list, got tuple)"),
        (lambda: can_fit_one_line(None), "Argument 'stringified_nodes' has incorrect type (expected list, got NoneType)"),
        (lambda: can_fit_one_line(type("L", (list,), {})()), "Argument 'stringified_nodes' has incorrect type (expected list, got L)"),
        (lambda: can_fit_one_line([], "20"), "Argument 'max_characters_in_one_line' has incorrect type (expected int, got str)"),
        (lambda: format_node([], "1"), "Argument 'depth' has incorrect type (expected int, got str)"),
        (lambda: format_node(ast.Identifier("x"), None), "Argument 'depth' has incorrect type (expected int, got NoneType)"),
        (lambda: can_fit_one_line([1]), "object of type 'int' has no len()"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


def test_errors_while_formatting_pass_unchanged(capsys):
    class Unprintable:
        def __format__(self, spec):
            raise LookupError("no text")

    with pytest.raises(LookupError, match="no text"):
        print_node([1, Unprintable()])
    assert capsys.readouterr().out == ""


def test_print_node_writes_the_text_and_a_line_end(capsys):
    assert print_node(node=ast.RangeDefinition(ast.IntegerLiteral(0), ast.IntegerLiteral(3), None)) is None
    assert capsys.readouterr().out == WORKED_EXAMPLES[2][1] + "\n"


def test_nested_values_go_through_the_module_name(monkeypatch):
    monkeypatch.setattr(printer, "format_node", lambda node, depth=0: f"<{depth}>")
    assert format_node([1, [2]]) == "[<1>, <1>]"
    assert format_node(ast.RangeDefinition(None, None, None), 4).splitlines()[1] == "\t\t\t\t\tstart=<5>"


def reference_format(node, depth=0):
    """The formatting rules, written plainly, to compare on real trees."""
    if isinstance(node, list):
        items = [reference_format(item, depth + 1) for item in node]
        if sum(len(item) for item in items) <= 20:
            return "[" + ", ".join(items) + "]"
        return "[" + "".join("\n" + "\t" * (depth + 1) + item for item in items) + "\n" + "\t" * depth + "]"
    if not isinstance(node, ast.QASMNode):
        return f"{node}"
    if isinstance(node, ast.Identifier):
        return f'"{node.name}"'
    if isinstance(node, (ast.BooleanLiteral, ast.IntegerLiteral, ast.FloatLiteral)):
        return f"{node.value}"
    text = type(node).__name__ + "(\n"
    for key, value in node.__dict__.items():
        if key != "span":
            text += "\t" * (depth + 1) + key + "=" + reference_format(value, depth + 1) + "\n"
    return text + "\t" * depth + ")"


@pytest.mark.parametrize("path", sorted(CORPUS.glob("*.qasm")), ids=lambda p: p.name)
def test_matches_the_rules_on_the_corpus(path):
    tree = parser.parse(path.read_text())
    assert format_node(tree) == reference_format(tree)
