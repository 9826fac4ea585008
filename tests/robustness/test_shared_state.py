"""What one call keeps while it runs belongs to that call: two threads that
run the same operation at once, the interpreter switching between them while
Python code runs inside it, each get their own answer; and what the code keeps
about classes does not keep a class alive once nothing else uses it.

The cases run under `-X dev`, whose allocator poisons freed memory, so that a
read of a dead object shows."""

import pytest

CASES = {
    "two threads counting nodes at once, finishing in the other order": (
        """
        import threading
        from openqasm3 import ast
        from corvane.passes.node_census import NodeCensus, count_node_types

        second_waits = threading.Event()
        first_done = threading.Event()

        # The first count pauses inside its walk until the second one pauses in
        # its own; the first then ends while the second is still walking.
        def visit_Identifier(self, node):
            if threading.current_thread().name == "first":
                second.start()
                second_waits.wait(10)
            elif threading.current_thread().name == "second":
                second_waits.set()
                first_done.wait(10)
            self.generic_visit(node)

        NodeCensus.visit_Identifier = visit_Identifier

        def tree():
            return ast.Program(statements=[ast.ExpressionStatement(ast.Identifier("x")), ast.BreakStatement()])

        counts = {}

        def count(name):
            counts[name] = [(cls.__name__, n) for cls, n in count_node_types(tree()).items()]
            if name == "first":
                first_done.set()

        first = threading.Thread(target=count, args=("first",), name="first")
        second = threading.Thread(target=count, args=("second",), name="second")
        first.start()
        first.join()
        second.join()
        later = [(cls.__name__, n) for cls, n in count_node_types(tree()).items()]
        expected = [("Program", 1), ("ExpressionStatement", 1), ("Identifier", 1), ("BreakStatement", 1)]
        return counts["first"] == expected, counts["second"] == expected, later == expected
        """,
        "= (True, True, True)",
    ),
    "a node class freed while the count that met it still runs": (
        """
        import gc
        from dataclasses import dataclass
        from openqasm3 import ast
        from corvane.passes.node_census import NodeCensus, count_node_types

        def made_at_run_time():
            @dataclass
            class Passing(ast.Statement):
                pass
            return Passing()

        tree = ast.Program(statements=[made_at_run_time(), ast.ExpressionStatement(ast.Identifier("x"))])

        # Drops the only instance of the class met first, and so the class.
        def visit_Identifier(self, node):
            tree.statements[0] = ast.BreakStatement()
            gc.collect()
            self.generic_visit(node)

        NodeCensus.visit_Identifier = visit_Identifier
        counts = count_node_types(tree)
        return sorted((cls.__name__, n) for cls, n in counts.items())
        """,
        "= [('ExpressionStatement', 1), ('Identifier', 1), ('Passing', 1), ('Program', 1)]",
    ),
    "a class met by the deep copy of a gate body": (
        """
        import gc, weakref
        from types import SimpleNamespace
        from openqasm3 import ast
        from corvane.passes.code_resolving.macro_expansion_stage import _IdentifierTransformer

        def expand_once():
            class Payload:
                pass
            statement = ast.ExpressionStatement(expression=Payload())
            copies = _IdentifierTransformer({}).transform_statements_of_gate_definition(
                SimpleNamespace(body=[statement]))
            assert type(copies[0].expression) is Payload and copies[0].expression is not statement.expression
            return weakref.ref(Payload)

        payload_class = expand_once()
        gc.collect()
        return payload_class() is None
        """,
        "= True",
    ),
}


@pytest.mark.parametrize("case", CASES)
def test_state_belongs_to_its_call(outcome, case):
    body, expected = CASES[case]
    assert outcome(body, "-X", "dev") == expected
