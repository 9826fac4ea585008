// Takes every `const` declaration out of the tree and puts its initialiser in
// place of every identifier that names a constant, predefined ones included,
// except where a declaration in a block hides the constant. Folding needs
// literal operands and code generation literal sizes, so this runs before
// both. A constant where the program needs a variable to assign, a qubit, a
// gate or a function, and a declaration that takes a constant's name, are
// refused here: the substitution would leave a literal in their place.
#include "corvane/native/source_text.h"
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

struct ModuleState {
    nb::handle open_qasm_program;
    nb::handle constants;               // corvane.passes.constants.CONSTANTS
    nb::handle redeclaration_exception;
    nb::handle constant_misuse_exception;
    nb::handle identifier_class, indexed_identifier_class;
    nb::handle gatherer;
    nb::handle resolver;
    nb::handle transformer_base;
    nb::handle constants_field;  // "_constants"
    nb::handle blocks_field;     // "_blocks"
    nb::handle identifier, init_expression, name, ast, qubit, qubits, type, set_declaration, block, arguments,
        lvalue, target, collection;
} state;

// The base constructor, as `super().__init__()` in the class `cls` would run it.
void init_base(nb::handle cls, nb::handle self) {
    nb::handle super_type(reinterpret_cast<PyObject*>(&PySuper_Type));
    super_type(cls, self).attr("__init__")();
}

nb::object table_of(nb::handle self) { return get_attr(self, state.constants_field); }

// `name in table`, for the dict the constructors store or any other map put there.
bool table_holds(nb::handle table, nb::handle name) {
    int found = PyDict_CheckExact(table.ptr()) ? PyDict_Contains(table.ptr(), name.ptr())
                                               : PySequence_Contains(table.ptr(), name.ptr());
    check_status(found);
    return found != 0;
}

// --- ConstantsGatherer ----------------------------------------------------

nb::object gatherer_init(nb::handle self) {
    init_base(state.gatherer, self);
    // A new map holding the very nodes of CONSTANTS: declared constants never enter CONSTANTS.
    nb::object table = steal_or_throw(
        PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), state.constants.ptr()));
    check_status(PyObject_SetAttr(self.ptr(), state.constants_field.ptr(), table.ptr()));
    return nb::none();
}

nb::object visit_constant_declaration(nb::handle self, nb::handle node) {
    nb::object name = get_attr(get_attr(node, state.identifier), state.name);
    nb::object table = table_of(self);
    if (table_holds(table, name)) raise_error(state.redeclaration_exception(node, name));
    // Resolved against the constants declared before it, so that a constant
    // defined from another (`const float t = 2 * pi;`) stands for its value
    // wherever it is used, where the other's declaration is gone.
    nb::object value = get_attr(node, state.init_expression);
    if (PyDict_CheckExact(table.ptr())) value = tree::visit(state.resolver(table), value);
    check_status(PyObject_SetItem(table.ptr(), name.ptr(), value.ptr()));
    return nb::none();
}

nb::object gatherer_constants(nb::handle self) { return get_attr(self, state.constants_field); }

// --- ConstantsResolver ----------------------------------------------------
//
// A name declared in a block (a branch, a loop body, a box, a braced block, a
// gate body) or as a loop variable hides a constant of that name until the
// block ends. `_blocks` holds one set per open block, of the constant names
// its declarations hid so far; a constant's name in none of them is the
// constant.

nb::object blocks_of(nb::handle self) { return get_attr(self, state.blocks_field); }

bool is_hidden(nb::handle self, nb::handle name) {
    nb::object blocks = blocks_of(self);
    nb::object sequence = steal_or_throw(PySequence_Fast(blocks.ptr(), "_blocks"));
    for (Py_ssize_t i = PySequence_Fast_GET_SIZE(sequence.ptr()); i-- > 0;) {
        nb::handle names = PySequence_Fast_GET_ITEM(sequence.ptr(), i);
        if (contains(names, name)) return true;
    }
    return false;
}

Py_ssize_t depth(nb::handle self) {
    Py_ssize_t size = PyObject_Size(blocks_of(self).ptr());
    if (size < 0) throw nb::python_error();
    return size;
}

// One open block, for as long as it lives.
class Block {
public:
    explicit Block(nb::handle self) : blocks_(blocks_of(self)) {
        names_ = steal_or_throw(PySet_New(nullptr));
        append_item(blocks_, names_);
    }
    ~Block() {
        // Runs while an error may be on its way out: that error is kept.
        PyObject* pending = PyErr_GetRaisedException();
        PyObject* popped = PyObject_CallMethodNoArgs(blocks_.ptr(), interned<"pop">().ptr());
        if (popped) Py_DECREF(popped);
        else PyErr_WriteUnraisable(blocks_.ptr());
        PyErr_SetRaisedException(pending);
    }
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;

    void hide(nb::handle name) { check_status(PySet_Add(names_.ptr(), name.ptr())); }

private:
    nb::object blocks_;
    nb::object names_;
};

// The innermost open block's names, for a declaration to add to.
void hide_in_current_block(nb::handle self, nb::handle name) {
    nb::object blocks = blocks_of(self);
    nb::object last = steal_or_throw(PySequence_GetItem(blocks.ptr(), -1));
    call_method(last, interned<"add">(), name);
}

bool is_constant(nb::handle self, nb::handle name) { return table_holds(table_of(self), name); }

// The name of a plain identifier, else empty: hardware qubits and other
// derived nodes never stand for constants.
nb::object plain_name(nb::handle node) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(node.ptr())) != state.identifier_class.ptr()) return nb::object();
    return get_attr(node, state.name);
}

// The name that an operand or a target refers to: `c` of `c` and of `c[0]`.
nb::object referred_name(nb::handle node) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(node.ptr())) == state.indexed_identifier_class.ptr())
        return plain_name(get_attr(node, state.name));
    return plain_name(node);
}

// A constant, seen from here: declared or predefined and not hidden.
bool names_visible_constant(nb::handle self, nb::handle name) {
    return name.is_valid() && is_constant(self, name) && !is_hidden(self, name);
}

[[noreturn]] void misuse(nb::handle node, nb::handle name, const char* use) {
    raise_error(state.constant_misuse_exception(node, name, nb::str(use)));
}

// --- the walk's own steps, as the library's transformer takes them ---

// A single-node field: visited and put back, or deleted for an absent result.
void transform_field(nb::handle self, nb::handle node, nb::handle field, nb::handle value) {
    if (!tree::is_node(value)) return;
    nb::object result = tree::call_visit(self, value);
    if (result.is_none()) check_status(PyObject_DelAttr(node.ptr(), field.ptr()));
    else if (!result.is(value)) check_status(PyObject_SetAttr(node.ptr(), field.ptr(), result.ptr()));
}

// The node's fields in order, but `skip`; with `own_blocks`, each list field
// is a block of its own (the two branches of an if statement).
void walk_fields(nb::handle self, nb::handle node, nb::handle skip, bool own_blocks) {
    nb::object fields = get_attr(node, interned<"__dict__">());
    nb::object items = steal_or_throw(PySequence_List(
        steal_or_throw(PyObject_CallMethodNoArgs(fields.ptr(), interned<"items">().ptr())).ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        auto [field, value] = unpack_pair(PyList_GET_ITEM(items.ptr(), i));
        if (skip.is_valid()) {
            int skipped = PyObject_RichCompareBool(field.ptr(), skip.ptr(), Py_EQ);
            check_status(skipped);
            if (skipped) continue;
        }
        if (PyList_Check(value.ptr())) {
            if (own_blocks) {
                Block block(self);
                tree::transform_list(self, value);
            } else {
                tree::transform_list(self, value);
            }
        } else {
            transform_field(self, node, field, value);
        }
    }
}

nb::object resolver_init(nb::handle self, nb::handle constants) {
    require_dict(constants, "constants");
    init_base(state.resolver, self);
    check_status(PyObject_SetAttr(self.ptr(), state.constants_field.ptr(), constants.ptr()));
    nb::object blocks = steal_or_throw(PyList_New(0));
    check_status(PyObject_SetAttr(self.ptr(), state.blocks_field.ptr(), blocks.ptr()));
    return nb::none();
}

nb::object visit_identifier(nb::handle self, nb::handle node) {
    nb::object name = get_attr(node, state.name);
    nb::object constant = find_item(table_of(self), name);
    if (!constant.is_valid() || is_hidden(self, name)) return nb::borrow(node);
    return constant;
}

// --- declarations ---

// A declaration under a constant's name: at the program's top level, or under
// a predefined constant's name anywhere, the name is taken; in a block it
// hides the constant from the declaration on. Its other fields are resolved
// first, so an initialiser still reads the constant.
nb::object declare(nb::handle self, nb::handle node, nb::handle field) {
    RecursionLimitGuard guard(" while substituting constants");
    nb::object name = plain_name(get_attr(node, field));
    if (!name.is_valid() || !is_constant(self, name)) return tree::generic_visit(self, node);
    if (contains(state.constants, name) || depth(self) == 0)
        raise_error(state.redeclaration_exception(node, name));
    walk_fields(self, node, field, false);
    hide_in_current_block(self, name);
    return nb::borrow(node);
}

nb::object visit_classical_declaration(nb::handle self, nb::handle node) {
    return declare(self, node, state.identifier);
}

nb::object visit_io_declaration(nb::handle self, nb::handle node) { return declare(self, node, state.identifier); }

nb::object visit_qubit_declaration(nb::handle self, nb::handle node) { return declare(self, node, state.qubit); }

// --- blocks ---

nb::object visit_block_statement(nb::handle self, nb::handle node) {
    RecursionLimitGuard guard(" while substituting constants");
    Block block(self);
    return tree::generic_visit(self, node);
}

nb::object visit_branching_statement(nb::handle self, nb::handle node) {
    RecursionLimitGuard guard(" while substituting constants");
    walk_fields(self, node, nb::handle(), true);
    return nb::borrow(node);
}

// The loop's type and value set are read outside the loop, its variable and
// body inside it. A loop variable cannot take a predefined constant's name.
nb::object visit_for_in_loop(nb::handle self, nb::handle node) {
    RecursionLimitGuard guard(" while substituting constants");
    transform_field(self, node, state.type, get_attr(node, state.type));
    transform_field(self, node, state.set_declaration, get_attr(node, state.set_declaration));
    nb::object variable = get_attr(node, state.identifier);
    nb::object name = plain_name(variable);
    bool hides = name.is_valid() && is_constant(self, name);
    if (hides && contains(state.constants, name)) raise_error(state.redeclaration_exception(node, name));
    Block block(self);
    if (hides) block.hide(name);
    else transform_field(self, node, state.identifier, variable);
    nb::object body = get_attr(node, state.block);
    if (PyList_Check(body.ptr())) tree::transform_list(self, body);
    else transform_field(self, node, state.block, body);
    return nb::borrow(node);
}

// A gate's parameters and qubits are its own names within its body, whatever
// constant shares them. The gate's name is no use of a constant, but it
// cannot be a constant's: a call of it would read as the constant.
nb::object visit_quantum_gate_definition(nb::handle self, nb::handle node) {
    RecursionLimitGuard guard(" while substituting constants");
    nb::object gate = plain_name(get_attr(node, state.name));
    if (gate.is_valid() && is_constant(self, gate)) raise_error(state.redeclaration_exception(node, gate));
    Block block(self);
    for (nb::handle field : {state.arguments, state.qubits}) {
        nb::object formals = steal_or_throw(PySequence_Fast(get_attr(node, field).ptr(), "formals"));
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(formals.ptr()); ++i) {
            nb::object name = plain_name(PySequence_Fast_GET_ITEM(formals.ptr(), i));
            if (name.is_valid()) block.hide(name);
        }
    }
    walk_fields(self, node, state.name, false);
    return nb::borrow(node);
}

// --- uses of a name that a constant cannot stand in ---

void refuse_assigned_constant(nb::handle self, nb::handle node, nb::handle target) {
    if (!target.is_valid() || target.is_none()) return;
    nb::object name = referred_name(target);
    if (names_visible_constant(self, name)) misuse(node, name, "assigned");
}

nb::object visit_classical_assignment(nb::handle self, nb::handle node) {
    refuse_assigned_constant(self, node, get_attr(node, state.lvalue));
    return tree::generic_visit(self, node);
}

nb::object visit_quantum_measurement_statement(nb::handle self, nb::handle node) {
    refuse_assigned_constant(self, node, get_attr(node, state.target));
    return tree::generic_visit(self, node);
}

// Qubit operands: one operand or a list of them.
void refuse_constant_qubits(nb::handle self, nb::handle node, nb::handle field) {
    nb::object operands = get_attr(node, field);
    auto check = [&](nb::handle operand) {
        nb::object name = referred_name(operand);
        if (names_visible_constant(self, name)) misuse(node, name, "qubit");
    };
    if (!PyList_Check(operands.ptr()) && !PyTuple_Check(operands.ptr())) {
        check(operands);
        return;
    }
    nb::object sequence = steal_or_throw(PySequence_Fast(operands.ptr(), "qubits"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.ptr()); ++i)
        check(PySequence_Fast_GET_ITEM(sequence.ptr(), i));
}

nb::object visit_quantum_gate(nb::handle self, nb::handle node) {
    nb::object name = plain_name(get_attr(node, state.name));
    if (names_visible_constant(self, name)) misuse(node, name, "gate");
    refuse_constant_qubits(self, node, state.qubits);
    return tree::generic_visit(self, node);
}

nb::object visit_quantum_operation(nb::handle self, nb::handle node) {
    refuse_constant_qubits(self, node, state.qubits);
    return tree::generic_visit(self, node);
}

nb::object visit_quantum_measurement(nb::handle self, nb::handle node) {
    refuse_constant_qubits(self, node, state.qubit);
    return tree::generic_visit(self, node);
}

nb::object visit_function_call(nb::handle self, nb::handle node) {
    nb::object name = plain_name(get_attr(node, state.name));
    if (names_visible_constant(self, name)) misuse(node, name, "function");
    return tree::generic_visit(self, node);
}

// `b[i]`: the index groups are lists inside a list, which the generic walk
// does not enter; a constant index is substituted there too, so that a
// register or array index written with a constant is as good as a literal.
nb::object visit_indexed_identifier(nb::handle self, nb::handle node) {
    RecursionLimitGuard guard(" while substituting constants");
    nb::object result = tree::generic_visit(self, node);
    tree::transform_index_groups(self, node);
    return result;
}

// `c[0]` of an integer constant is one of its bits, which nothing lowers.
nb::object visit_index_expression(nb::handle self, nb::handle node) {
    nb::object name = plain_name(get_attr(node, state.collection));
    if (names_visible_constant(self, name)) {
        raise_text(PyExc_NotImplementedError, compose({nb::str("Indexing the constant "), name,
                                                       nb::str(" is not supported: "), node_source(node)}));
    }
    return tree::generic_visit(self, node);
}

// --- ConstantSubstitutionStage -------------------------------------------

nb::object stage_call(nb::handle, nb::handle program) {
    if (assertions_enabled()) check_assertion(is_instance(program, state.open_qasm_program));
    nb::object gatherer = state.gatherer();
    // Gathering edits the tree's lists in place; its result is the same root.
    tree::visit(gatherer, get_attr(program, state.ast));
    nb::object resolver = state.resolver(get_attr(gatherer, nb::str("constants")));
    nb::object result = tree::visit(resolver, get_attr(program, state.ast));
    return state.open_qasm_program(result);
}

}  // namespace

NB_MODULE(constant_substitution_stage, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "corvane.programs", {"Program", "OpenQasmProgram"});
    import_from(m, "corvane.passes.pipeline_phase", {"Step"});
    import_from(m, "corvane.passes.constants", {"CONSTANTS"});
    import_from(m, "corvane.passes.parsing.validators", {"RedeclarationException"});
    import_from(m, "openqasm3", {"ast"});
    import_from(m, "openqasm3.visitor", {"QASMTransformer"});
    state.open_qasm_program = keep_attr("corvane.programs", "OpenQasmProgram");
    nb::handle step = keep_attr("corvane.passes.pipeline_phase", "Step");
    state.constants = keep_attr("corvane.passes.constants", "CONSTANTS");
    state.redeclaration_exception = keep_attr("corvane.passes.parsing.validators", "RedeclarationException");
    state.constant_misuse_exception = keep_attr("corvane.passes.parsing.validators", "ConstantMisuseException");
    state.identifier_class = keep_attr("openqasm3.ast", "Identifier");
    state.indexed_identifier_class = keep_attr("openqasm3.ast", "IndexedIdentifier");

    state.constants_field = intern("_constants");
    state.blocks_field = intern("_blocks");
    state.qubit = intern("qubit");
    state.qubits = intern("qubits");
    state.type = intern("type");
    state.set_declaration = intern("set_declaration");
    state.block = intern("block");
    state.arguments = intern("arguments");
    state.lvalue = intern("lvalue");
    state.target = intern("target");
    state.collection = intern("collection");
    state.identifier = intern("identifier");
    state.init_expression = intern("init_expression");
    state.name = intern("name");
    state.ast = intern("ast");

    state.transformer_base = keep(import_attr("openqasm3.visitor", "QASMTransformer")[nb::none()]);
    state.resolver = keep(ClassBuilder(m, "ConstantsResolver", {state.transformer_base})
                              .doc("Puts the expression of a constant in place of every identifier that names it, block scope honoured.")
                              .def("__init__(self, constants: dict[str, ast.Expression]) -> None", resolver_init,
                                   "Substitutes the constants of the map.", "constants"_arg)
                              .transformer_walk()
                              .def_handler("visit_Identifier(self, node: ast.Identifier) -> ast.Expression",
                                           visit_identifier,
                                           "The constant's expression, or the identifier where no visible "
                                           "constant has its name.")
                              .def_handler("visit_ClassicalDeclaration(self, node: ast.ClassicalDeclaration)"
                                           " -> ast.ClassicalDeclaration",
                                           visit_classical_declaration,
                                           "Resolves the declaration; in a block its name hides a constant.")
                              .def_handler("visit_IODeclaration(self, node: ast.IODeclaration) -> ast.IODeclaration",
                                           visit_io_declaration, "Resolves the declaration, whose name is no constant's.")
                              .def_handler("visit_QubitDeclaration(self, node: ast.QubitDeclaration)"
                                           " -> ast.QubitDeclaration",
                                           visit_qubit_declaration,
                                           "Resolves the declaration, whose name is no constant's.")
                              .def_handler("visit_BranchingStatement(self, node: ast.BranchingStatement)"
                                           " -> ast.BranchingStatement",
                                           visit_branching_statement, "Resolves the condition and each branch as a block.")
                              .def_handler("visit_WhileLoop(self, node: ast.WhileLoop) -> ast.WhileLoop",
                                           visit_block_statement, "Resolves the loop, its body as a block.")
                              .def_handler("visit_ForInLoop(self, node: ast.ForInLoop) -> ast.ForInLoop",
                                           visit_for_in_loop,
                                           "Resolves the loop; its variable hides a constant within the body.")
                              .def_handler("visit_Box(self, node: ast.Box) -> ast.Box", visit_block_statement,
                                           "Resolves the box, its body as a block.")
                              .def_handler("visit_CompoundStatement(self, node: ast.CompoundStatement)"
                                           " -> ast.CompoundStatement",
                                           visit_block_statement, "Resolves the braced block as a block.")
                              .def_handler("visit_QuantumGateDefinition(self, node: ast.QuantumGateDefinition)"
                                           " -> ast.QuantumGateDefinition",
                                           visit_quantum_gate_definition,
                                           "Resolves the gate's body, where its parameters and qubits hide constants.")
                              .def_handler("visit_ClassicalAssignment(self, node: ast.ClassicalAssignment)"
                                           " -> ast.ClassicalAssignment",
                                           visit_classical_assignment,
                                           "Resolves the assignment, whose target cannot be a constant.")
                              .def_handler("visit_QuantumMeasurementStatement(self, node:"
                                           " ast.QuantumMeasurementStatement) -> ast.QuantumMeasurementStatement",
                                           visit_quantum_measurement_statement,
                                           "Resolves the measurement, whose target cannot be a constant.")
                              .def_handler("visit_QuantumGate(self, node: ast.QuantumGate) -> ast.QuantumGate",
                                           visit_quantum_gate,
                                           "Resolves the call, whose gate and qubits cannot be constants.")
                              .def_handler("visit_QuantumMeasurement(self, node: ast.QuantumMeasurement)"
                                           " -> ast.QuantumMeasurement",
                                           visit_quantum_measurement, "Resolves the measurement of a qubit.")
                              .def_handler("visit_QuantumReset(self, node: ast.QuantumReset) -> ast.QuantumReset",
                                           visit_quantum_operation, "Resolves the reset of qubits.")
                              .def_handler("visit_QuantumBarrier(self, node: ast.QuantumBarrier) -> ast.QuantumBarrier",
                                           visit_quantum_operation, "Resolves the barrier over qubits.")
                              .def_handler("visit_DelayInstruction(self, node: ast.DelayInstruction)"
                                           " -> ast.DelayInstruction",
                                           visit_quantum_operation, "Resolves the delay of qubits.")
                              .def_handler("visit_QuantumPhase(self, node: ast.QuantumPhase) -> ast.QuantumPhase",
                                           visit_quantum_operation, "Resolves the global phase on qubits.")
                              .def_handler("visit_FunctionCall(self, node: ast.FunctionCall) -> ast.FunctionCall",
                                           visit_function_call, "Resolves the call, whose function cannot be a constant.")
                              .def_handler("visit_IndexedIdentifier(self, node: ast.IndexedIdentifier)"
                                           " -> ast.IndexedIdentifier",
                                           visit_indexed_identifier,
                                           "Resolves the indexed name and the expressions of its indices.")
                              .def_handler("visit_IndexExpression(self, node: ast.IndexExpression)"
                                           " -> ast.IndexExpression",
                                           visit_index_expression, "Resolves the index expression of a variable.")
                              .build());
    state.gatherer = keep(ClassBuilder(m, "ConstantsGatherer", {state.transformer_base})
                              .doc("Collects the constant declarations and takes them out of the tree.")
                              .def("__init__(self) -> None", gatherer_init,
                                   "Starts from a copy of the predefined constants.")
                              .transformer_walk()
                              .def_handler("visit_ConstantDeclaration(self, node: ast.ConstantDeclaration) -> None",
                                           visit_constant_declaration,
                                           "Records the constant and removes its declaration.")
                              .def_property("constants(self) -> dict[str, ast.Expression]", gatherer_constants,
                                            "The constants by name.")
                              .build());
    ClassBuilder(m, "ConstantSubstitutionStage", {step})
        .doc("The code-resolving step that substitutes the program's and the predefined constants.")
        .def("__call__(self, program: Program) -> OpenQasmProgram", stage_call,
             "Substitutes the constants of the program's tree.", "program"_arg)
        .build();
}
