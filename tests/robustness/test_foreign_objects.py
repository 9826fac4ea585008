"""Objects that the C++ code did not make itself (a caller's replacement for a
module name or an attribute, a subclass, a stand-in) are handled through the
host's protocols: they get the answer or the ordinary error that the same code
written in Python would give, never a SystemError or a read of memory that
belongs to something else."""

import pytest

CASES = {
    "a class name read from a tuple of classes": (
        """
        import corvane.compiler as module
        module.MachineProfile = (dict, list)
        return module.Compiler(5)
        """,
        "AttributeError",
    ),
    "the modifier template run with a class that is no class": (
        """
        from openqasm3 import ast
        import corvane.passes.code_resolving.folding_stage as stage
        node = ast.BinaryExpression(ast.BinaryOperator["+"], ast.IntegerLiteral(1), ast.IntegerLiteral(2))
        return stage.ExpressionModifier.__dict__["run"].__func__(1, node)
        """,
        "AttributeError",
    ),
    "the unary heuristics run with a class that is no class": (
        """
        from openqasm3 import ast
        import corvane.passes.code_resolving.folding_stage as stage
        node = ast.UnaryExpression(ast.UnaryOperator["-"], ast.Identifier("x"))
        return stage.UnaryExpressionModifier.__dict__["_calculate_heuristics"].__func__(1, node)
        """,
        "AttributeError",
    ),
    "a register mapping replaced by a read-only mapping": (
        """
        import types
        from openqasm3 import ast
        from corvane.passes.code_generation.register_mapper import _QubitsResolver
        resolver = _QubitsResolver({"q": (3, 4)})
        resolver._qubits_mapping = types.MappingProxyType({"q": (5, 6)})
        operand = ast.IndexedIdentifier(ast.Identifier("q"), [[ast.IntegerLiteral(0)]])
        gate = ast.QuantumGate([], ast.Identifier("x"), [], [operand])
        qubit = resolver.visit(gate).qubits[0]
        return type(qubit).__name__, qubit.index
        """,
        "= ('HardwareQubit', 5)",
    ),
    "the input names of a program replaced by a tuple": (
        """
        from vk import vyr
        from corvane.programs import Vyr1Program
        class Wrapper:
            name = "gain"
            def declare(self, *flags):
                pass
        program = Vyr1Program()
        program._inputs = ()
        with vyr.program():
            return program.declare_variable(Wrapper(), is_input=True, is_output=False, is_stream=False)
        """,
        "AttributeError",
    ),
    "the output names of a program replaced by a list of its own kind": (
        """
        from vk import vyr
        from corvane.programs import Vyr1Program
        class Names(list):
            def append(self, name):
                super().append(name.upper())
        class Wrapper:
            name = "result"
            def declare(self, *flags):
                pass
        program = Vyr1Program()
        program._outputs = Names()
        with vyr.program():
            program.declare_variable(Wrapper(), is_input=False, is_output=True, is_stream=False)
        return list(program.outputs)
        """,
        "= ['RESULT']",
    ),
    "a version whose parts are no texts": (
        """
        from openqasm3 import ast
        from corvane.passes.parsing.source_canonicalizer import SourceCanonicalizer
        from corvane.programs import OpenQasmProgram
        class Version:
            def split(self, separator):
                return [2, 1.0]
        tree = ast.Program(statements=[], version=Version())
        return SourceCanonicalizer()(OpenQasmProgram(tree)).ast.version
        """,
        "= '3.0'",
    ),
    "a version part that no integer can be made of": (
        """
        from openqasm3 import ast
        from corvane.passes.parsing.source_canonicalizer import SourceCanonicalizer
        from corvane.programs import OpenQasmProgram
        class Version:
            def split(self, separator):
                return [object()]
        tree = ast.Program(statements=[], version=Version())
        return SourceCanonicalizer()(OpenQasmProgram(tree))
        """,
        "TypeError",
    ),
    "line lengths whose sum is beyond the machine's integers": (
        """
        import sys
        from corvane.printer import can_fit_one_line
        class Huge:
            def __len__(self):
                return sys.maxsize
        return can_fit_one_line([Huge(), Huge()]), can_fit_one_line([Huge(), Huge()], 2 * sys.maxsize)
        """,
        "= (False, True)",
    ),
    "a screening criterion asked about a list of classes": (
        """
        from openqasm3 import ast
        from corvane.passes.construct_screening import AllowedNodeTypesValidator
        criterion = AllowedNodeTypesValidator({ast.Program}).criterion
        return criterion.func([ast.Program], ast.Program(statements=[])), criterion.func((), ast.Program(statements=[]))
        """,
        "= (True, False)",
    ),
    "a phase error raised through a replacement that makes no exception": (
        """
        import corvane.compiler as module
        from corvane import Compiler, MachineProfile
        module.CompilationException = lambda text: text
        return Compiler(MachineProfile({}, {0: ("d0",)})).compile("qubit q; h q")
        """,
        "TypeError",
    ),
    "a constants table of a map class of its own": (
        """
        from openqasm3 import ast
        from corvane.passes.code_resolving.constant_substitution_stage import ConstantsResolver
        class Table(dict):
            def __contains__(self, name):
                return name == "width"
            def __getitem__(self, name):
                return ast.IntegerLiteral(8)
        resolver = ConstantsResolver({})
        resolver._constants = Table()
        return [type(resolver.visit(ast.Identifier(name))).__name__ for name in ("width", "depth")]
        """,
        "= ['IntegerLiteral', 'Identifier']",
    ),
    "a computation table of a map class of its own": (
        """
        from openqasm3 import ast
        from corvane.passes.code_resolving.folding_stage import BinaryExpressionModifier as kind
        class Table(dict):
            def __contains__(self, op):
                return True
            def __getitem__(self, op):
                return lambda x, y: x * 10 + y
        kind.BINARY_OPERATOR_TO_FUNCTION = Table()
        node = ast.BinaryExpression(ast.BinaryOperator["+"], ast.IntegerLiteral(1), ast.IntegerLiteral(2))
        return kind.run(node).value
        """,
        "= 12",
    ),
    "a compound operator whose name is no text": (
        """
        from types import SimpleNamespace
        from corvane.passes.code_resolving.update_expander import ClassicalAssignmentToBinaryExpression as walk
        return walk._extract_binary_operation(SimpleNamespace(name=["+", "="]))
        """,
        "AttributeError",
    ),
    "a compound operator whose name is text of a class of its own": (
        """
        from types import SimpleNamespace
        from corvane.passes.code_resolving.update_expander import ClassicalAssignmentToBinaryExpression as walk
        class Name(str):
            pass
        return walk._extract_binary_operation(SimpleNamespace(name=Name("**="))).name
        """,
        "= '**'",
    ),
    "the logarithm of a huge integer of a class with its own operators": (
        """
        import math
        from corvane.passes.code_resolving.folding_stage import FunctionCallModifier as kind
        class Big(int):
            def __rshift__(self, other):
                return "not a number"
            def bit_length(self):
                return "not a number"
        return abs(kind.NAME_TO_MATH_FUNCTION["log"](Big(10 ** 400)) - 400 * math.log(10)) < 1e-9
        """,
        "= True",
    ),
}


@pytest.mark.parametrize("case", CASES)
def test_foreign_objects_behave_as_under_python(outcome, case):
    body, expected = CASES[case]
    assert outcome(body) == expected
