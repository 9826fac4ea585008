"""C++ that recurses, directly or through Python attributes that a caller may
set, stops at the interpreter's recursion limit with RecursionError, as the
same code written in Python would, instead of overrunning the C stack."""

import pytest

CASES = {
    "an include file that includes itself, far beyond the recursion limit": """
        import os, pathlib, tempfile
        os.chdir(tempfile.mkdtemp())
        pathlib.Path("self.inc").write_text('include "self.inc";')
        from corvane import BuildOptions, Compiler, MachineProfile
        compiler = Compiler(MachineProfile({}, {0: ("d0",)}))
        return compiler.compile('include "self.inc";', build_options=BuildOptions(max_inclusion_depth=30000))
    """,
    "the printer on lists nested 30,000 deep": """
        from corvane.printer import format_node
        nested = []
        for _ in range(30000):
            nested = [nested]
        return format_node(nested)
    """,
    "the printer on a chain of 60,000 unary expressions": """
        from openqasm3 import ast
        from corvane.printer import format_node
        expression = ast.IntegerLiteral(1)
        for _ in range(60000):
            expression = ast.UnaryExpression(ast.UnaryOperator["-"], expression)
        return format_node(expression)
    """,
    "an instruction key that is its own qubit pattern": """
        from corvane.configurations.instruction_key import InstructionKey, OperationCandidate
        key = InstructionKey("x")
        key.qubits_pattern = key
        candidate = OperationCandidate("x")
        candidate.qubits = candidate
        return key.matches(candidate)
    """,
    "a folding heuristic that calls itself": """
        from openqasm3 import ast
        from corvane.passes.code_resolving.folding_stage import UnaryExpressionModifier as kind
        kind.resolve_minus_minus_heuristic = kind._calculate_heuristics
        node = ast.UnaryExpression(ast.UnaryOperator["-"], ast.Identifier("x"))
        return kind._calculate_heuristics(node)
    """,
    "a census whose visit is its generic walk, on a tree that holds itself": """
        from openqasm3 import ast
        from corvane.passes.node_census import NodeCensus
        class Census(NodeCensus):
            visit = NodeCensus.generic_visit
        node = ast.CompoundStatement([])
        node.statements.append(node)
        return Census().visit(node)
    """,
    "a library walk whose visit is its generic walk, on a tree that holds itself": """
        from openqasm3 import ast
        from corvane.passes.code_generation.register_mapper import _QubitsCollector
        class Collector(_QubitsCollector):
            visit = _QubitsCollector.generic_visit
        node = ast.CompoundStatement([])
        node.statements.append(node)
        return Collector().visit(node)
    """,
    "the deep copy of a gate body 60,000 expressions deep": """
        from types import SimpleNamespace
        from openqasm3 import ast
        from corvane.passes.code_resolving.macro_expansion_stage import _IdentifierTransformer
        expression = ast.IntegerLiteral(1)
        for _ in range(60000):
            expression = ast.UnaryExpression(ast.UnaryOperator["-"], expression)
        body = [ast.ExpressionStatement(expression)]
        return _IdentifierTransformer({}).transform_statements_of_gate_definition(SimpleNamespace(body=body))
    """,
}

EXPECTED = {"an include file that includes itself, far beyond the recursion limit": "CompilationException from RecursionError"}


@pytest.mark.parametrize("case", CASES)
def test_deep_recursion_raises_recursion_error(outcome, case):
    assert outcome(CASES[case]) == EXPECTED.get(case, "RecursionError")


def test_includes_within_the_limit_still_report_their_depth(outcome, tmp_path):
    result = outcome(f"""
        import os, pathlib
        os.chdir({str(tmp_path)!r})
        pathlib.Path("self.inc").write_text('include "self.inc";')
        from corvane import BuildOptions, Compiler, MachineProfile
        compiler = Compiler(MachineProfile({{}}, {{0: ("d0",)}}))
        return compiler.compile('include "self.inc";', build_options=BuildOptions(max_inclusion_depth=200))
    """)
    assert result == "CompilationException from DeepInclusionError"
