"""The walk that every visitor and transformer of the package shares: it finds
handlers, `visit` and `generic_visit` on the visitor object, as the library's
`getattr(self, ...)` does, and its cache of node classes keeps none alive."""

import builtins
import gc
import sys
import threading
import weakref

import pytest
from openqasm3 import ast, parser

from corvane.configurations.hardware_qubit import HardwareQubit
from corvane.passes.node_census import NodeCensus
from corvane.passes.parsing.hardware_qubit_binder import HardwareQubitsTransformer


def instance_handler(visitor, log):
    visitor.visit_QuantumGate = lambda node: log.append("gate") or node
    return visitor


def instance_handler_over_the_class_one(visitor, log):
    visitor.visit_Identifier = lambda node: log.append(node.name) or node
    return visitor


def handler_from_getattr(visitor, log):
    class Lazy(type(visitor)):
        def __getattr__(self, name):
            if name == "visit_QuantumGate":
                return lambda node: log.append("gate") or node
            raise AttributeError(name)

    return Lazy()


def instance_generic_visit(visitor, log):
    visitor.generic_visit = lambda node, context=None: log.append(type(node).__name__) or node
    return visitor


def data_descriptor_over_the_instance_dict(visitor, log):
    class Described(type(visitor)):
        visit_QuantumGate = property(lambda self: lambda node: log.append("property") or node)

    described = Described()
    described.__dict__["visit_QuantumGate"] = lambda node: log.append("instance") or node
    return described


def generic_visit_from_a_property(visitor, log):
    base = type(visitor)

    def read(self):
        log.append("read")
        return base.generic_visit.__get__(self)

    return type("Described", (base,), {"generic_visit": property(read)})()


class TestHandlersAreFoundOnTheVisitor:
    @pytest.mark.parametrize(
        "setup, log_after",
        [
            (instance_handler, ["gate"]),
            (instance_handler_over_the_class_one, ["x", "$1"]),
            (handler_from_getattr, ["gate"]),
            (instance_generic_visit, ["Program"]),
            (data_descriptor_over_the_instance_dict, ["property"]),
            # the default is read at every visit, whether a handler is found or not
            (generic_visit_from_a_property, ["read"] * 4),
        ],
    )
    @pytest.mark.parametrize("base", [HardwareQubitsTransformer, NodeCensus])
    def test_as_the_library_finds_them(self, base, setup, log_after):
        log = []
        setup(base(), log).visit(parser.parse("x $1;"))
        assert log == log_after

    def test_an_instance_handler_replaces_the_class_one(self):
        tree = parser.parse("x $1;")
        instance_handler_over_the_class_one(HardwareQubitsTransformer(), []).visit(tree)
        assert type(tree.statements[0].qubits[0]) is ast.Identifier

    @pytest.mark.parametrize("base", [HardwareQubitsTransformer, NodeCensus])
    def test_the_generic_walk_visits_children_through_the_instance_visit(self, base):
        log = []
        visitor = base()
        visitor.visit = lambda node, context=None: log.append(type(node).__name__) or node
        base.visit(visitor, parser.parse("x $1; y $2;"))
        assert log == ["QuantumGate", "QuantumGate"]

    def test_the_library_order_of_lookups_is_kept(self):
        log = []

        class Watched(HardwareQubitsTransformer):
            def __getattribute__(self, name):
                if "visit" in name:
                    log.append(name)
                return super().__getattribute__(name)

        Watched().visit(ast.Identifier("$3"))
        assert log == ["visit", "generic_visit", "visit_Identifier"]

    def test_a_handler_set_during_the_walk_is_used_from_then_on(self):
        log = []
        transformer = HardwareQubitsTransformer()

        def first(node):
            log.append(node.name.name)
            transformer.visit_QuantumGate = lambda node: log.append("set") or node
            return node

        transformer.visit_QuantumGate = first
        transformer.visit(parser.parse("x $1; y $2;"))
        assert log == ["x", "set"]


class TestTheNodeClassNamesTheHandler:
    def test_a_renamed_class_goes_to_the_handler_of_its_new_name(self):
        class Made(ast.Identifier):
            pass

        log = []
        transformer = HardwareQubitsTransformer()
        transformer.visit_Made = lambda node: log.append("Made") or node
        transformer.visit_Renamed = lambda node: log.append("Renamed") or node
        transformer.visit_Again = lambda node: log.append("Again") or node
        transformer.visit(Made("a"))
        Made.__name__ = "Renamed"
        transformer.visit(Made("a"))
        type.__dict__["__name__"].__set__(Made, "Again")
        transformer.visit(Made("a"))
        assert log == ["Made", "Renamed", "Again"]

    def test_a_node_is_named_by_its_class_attribute(self):
        class Disguised(ast.Identifier):
            __class__ = property(lambda self: HardwareQubit)

        log = []
        transformer = HardwareQubitsTransformer()
        transformer.visit_HardwareQubit = lambda node: log.append("disguised") or node
        transformer.visit(Disguised("$1"))
        assert log == ["disguised"]


class TestTheContext:
    def test_is_passed_to_each_child_only_while_it_is_true(self):
        passed = []

        class Draining(HardwareQubitsTransformer):
            def visit_QuantumGate(self, node, context=None):
                passed.append(context is not None)
                if context:
                    context.clear()
                return node

        Draining().visit(parser.parse("x $1; y $2;"), ["full"])
        assert passed == [True, False]


class TestListFieldsOfATransformer:
    def test_a_list_subclass_is_written_back_through_its_own_item_assignment(self):
        written = []

        class Recorded(list):
            def __setitem__(self, index, value):
                written.append((index, list(value)))
                super().__setitem__(index, value)

        statement = ast.ExpressionStatement(ast.IntegerLiteral(1))
        tree = ast.Program(Recorded([statement]))
        HardwareQubitsTransformer().visit(tree)
        assert written == [(slice(None), [statement])]

    def test_holds_what_the_walk_met_when_a_handler_changed_it(self):
        class Dropping(HardwareQubitsTransformer):
            def visit_ExpressionStatement(self, node):
                if tree.statements[0] is node:
                    tree.statements.remove(node)
                return node

        tree = parser.parse("1; 2; 3;")
        Dropping().visit(tree)
        # the second statement was never met, and the first is written back
        assert [statement.expression.value for statement in tree.statements] == [1, 3]

    def test_results_are_spliced_in_order_past_the_first_items(self):
        class Doubling(HardwareQubitsTransformer):
            def visit_ExpressionStatement(self, node):
                return [node, node] if node.expression.value % 2 else None

        tree = parser.parse(" ".join(f"{i};" for i in range(1, 20)))
        Doubling().visit(tree)
        assert [statement.expression.value for statement in tree.statements] == [
            value for value in range(1, 20, 2) for _ in range(2)]


class TestNodeClassesMadeAtRunTime:
    @pytest.mark.parametrize("visitor", [HardwareQubitsTransformer, NodeCensus])
    def test_are_freed_once_walked(self, visitor):
        made = type("Made", (ast.Identifier,), {})
        visitor().visit(ast.ExpressionStatement(made("a")))
        alive = weakref.ref(made)
        del made
        gc.collect()
        assert alive() is None

    def test_each_goes_to_the_handler_of_its_own_name(self):
        # Freed classes leave their memory to the next ones: each one must
        # still be dispatched by its own name.
        reached = []
        for i in range(30):
            made = type(f"Made{i}", (ast.Identifier,), {})

            def handler(self, node, i=i):
                reached.append(i)
                return node

            visitor = type("Visitor", (HardwareQubitsTransformer,), {f"visit_Made{i}": handler})
            visitor().visit(made("a"))
            del made, visitor
            gc.collect()
        assert reached == list(range(30))

    def test_threads_that_make_and_walk_them_meet_no_other_class(self):
        failures = []

        def work(tag):
            try:
                for i in range(40):
                    name = f"Made{tag}x{i}"
                    made = type(name, (ast.Identifier,), {})
                    seen = []

                    def handler(self, node, seen=seen, name=name):
                        seen.append(name)
                        return node

                    visitor = type("Visitor", (HardwareQubitsTransformer,), {f"visit_{name}": handler})
                    visitor().visit(ast.Program([ast.ExpressionStatement(made("a")) for _ in range(5)]))
                    if seen != [name] * 5:
                        failures.append((name, seen))
                    del made, visitor
                    if i % 10 == 0:
                        gc.collect()
            except Exception as error:
                failures.append(error)

        interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)
        try:
            threads = [threading.Thread(target=work, args=(tag,)) for tag in "ab"]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
        finally:
            sys.setswitchinterval(interval)
        assert failures == []


def test_the_shared_state_leaves_builtins_alone():
    assert [name for name in vars(builtins) if name.startswith("corvane")] == []
