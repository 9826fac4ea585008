// Inlines user gate definitions: definitions are collected into a bank and
// leave the tree, calls of built-in gates stay, and every call of a user gate
// becomes a fresh copy of the gate's body with the formal parameters and
// qubits replaced by the call's own argument and qubit nodes. Code generation
// resolves gate calls by name against the machine profile only.
//
// The bodies of switch cases are left as written (the library's walk does not
// enter them), so a call of a user gate or a gate definition there is
// refused by name once the bank holds every definition.
//
// A gate shares no name with a classical variable or a qubit, whichever is
// declared first, and a call of a user gate names no qubit twice: once the
// body replaces the call, nothing would show either.
#include "corvane/native/source_text.h"
#include "corvane/native/support.h"
#include "corvane/native/tree_copy.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

struct ModuleState {
    nb::handle open_qasm_program;
    nb::handle quantum_gate, quantum_gate_definition, expression_statement;
    nb::handle gate_signature;
    nb::handle unresolvable_gate, signature_not_found, arguments_mismatch, multiple_definitions,
        missing_definition;
    nb::handle identifier_transformer, gate_resolver_transformer;
    nb::handle integer_literal, float_literal, boolean_literal, cast, float_type, statement, classical_declaration,
        for_in_loop, function_call, unseen_name, quantum_barrier;
    nb::handle identifier, indexed_identifier, expanded_gate_call, misused_formal, formals_checker, name_collector;
    OwnMethod add_gate, resolve_gate_definition, is_built_in, find_signature, get_gate_definition,
        validate_calling_arguments, log_found_definition, get_gate_transformation, transform_statements;
    nb::handle name, arguments, qubits, body, modifiers, node, ast, args_transformation, built_in_gates,
        bank, gate_definition, argument_type, definition_signature, plural, stage_built_in_gates, formal,
        formal_kind, used_as, parameters, names, dropping, enclosing_parameters, case_switches;
    nb::handle stage;
    nb::handle redeclaration, repeated_qubit, gate_without_qubits;
    nb::handle declared_names, block_depth, duration_scopes, first_visible_scope;
    nb::handle hardware_qubit;
    nb::handle block_statements[6];  // the statements that hold blocks of their own
    Logger logger;
} state;

void setattr_interned(nb::handle object, nb::handle name, nb::handle value) {
    check_status(PyObject_SetAttr(object.ptr(), name.ptr(), value.ptr()));
}

Py_ssize_t length_of(nb::handle value) {
    Py_ssize_t length = PyObject_Length(value.ptr());
    if (length < 0) throw nb::python_error();
    return length;
}

nb::object length_object(nb::handle value) { return steal_or_throw(PyLong_FromSsize_t(length_of(value))); }

// The text of a node's name identifier (`node.name.name`).
nb::object name_of(nb::handle node) { return get_attr(get_attr(node, state.name), state.name); }

// `self.<method>(*arguments)` through Python, for an override.
nb::object call_override(nb::handle self, const OwnMethod& method, std::initializer_list<nb::handle> arguments) {
    nb::object bound = get_attr(self, method.name);
    PyObject* args[4];
    size_t count = 0;
    for (nb::handle argument : arguments) args[count++] = argument.ptr();
    return steal_or_throw(PyObject_Vectorcall(bound.ptr(), args, count, nullptr));
}

// ==== GateSignature ==========================================================

nb::object signature_from_definition(nb::handle cls, nb::handle node) { return cls(name_of(node)); }

nb::object signature_of(nb::handle definition) { return nb::handle(state.gate_signature)(name_of(definition)); }

// ==== errors ======================================================================

nb::object resolver_exception_init(nb::handle self, nb::handle node) {
    setattr_interned(self, state.node, node);
    return nb::none();
}

nb::object signature_not_found_str(nb::handle self) {
    return compose({nb::str("Didn't find a signature for "), get_attr(self, state.node), nb::str(".")});
}

nb::object arguments_mismatch_init(nb::handle self, nb::handle node, nb::handle gate_definition,
                                   nb::handle argument_type) {
    require_str(argument_type, "argument_type");
    setattr_interned(self, state.node, node);
    setattr_interned(self, state.gate_definition, gate_definition);
    setattr_interned(self, state.argument_type, argument_type);
    return nb::none();
}

// The counts are those of the list that the argument type names: "argument"
// reads `arguments`, "qubit" reads `qubits`.
nb::object arguments_mismatch_str(nb::handle self) {
    nb::object node = get_attr(self, state.node);
    if (assertions_enabled()) check_assertion(is_instance(node, state.quantum_gate));
    nb::object definition = get_attr(self, state.gate_definition);
    nb::object kind = get_attr(self, state.argument_type);
    nb::object list_name = compose({kind, state.plural});
    return compose({nb::str("The gate definition of '"), name_of(definition), nb::str("' requires "),
                    length_object(get_attr(definition, list_name)), nb::str(" "), kind,
                    nb::str("s, but "), length_object(get_attr(node, list_name)),
                    nb::str(" were provided.")});
}

nb::object definition_exception_init(nb::handle self, nb::handle node, nb::handle definition_signature) {
    setattr_interned(self, state.node, node);
    setattr_interned(self, state.definition_signature, definition_signature);
    return nb::none();
}

nb::object multiple_definitions_init(nb::handle self, nb::handle node, nb::handle definition_signature,
                                     nb::handle built_in) {
    definition_exception_init(self, node, definition_signature);
    nb::setattr(self, "built_in", nb::bool_(truth(built_in)));
    return nb::none();
}

// The other definition is the program's own earlier one, or the machine
// profile's operation of the name, which no definition of the program replaces.
nb::object multiple_definitions_str(nb::handle self) {
    if (truth(nb::getattr(self, "built_in", nb::bool_(false))))
        return compose({nb::str("Two definitions of the same signature: "),
                        get_attr(self, state.definition_signature), nb::str(": the machine profile's operation '"),
                        nb::getattr(get_attr(self, state.definition_signature), "name", nb::none()),
                        nb::str("' and the program's definition at "), get_attr(self, state.node),
                        nb::str("; a gate of the program may not take the name of an operation of the machine.")});
    return compose({nb::str("Two definitions of the same signature: "),
                    get_attr(self, state.definition_signature), nb::str(", second signature found at "),
                    get_attr(self, state.node), nb::str(".")});
}

nb::object missing_definition_str(nb::handle self) {
    return compose({nb::str("Error at "), get_attr(self, state.definition_signature),
                    nb::str(": Unresolved gate call: "), get_attr(self, state.node)});
}

nb::object misused_formal_init(nb::handle self, nb::handle node, nb::handle definition_signature,
                               nb::handle formal, nb::handle formal_kind, nb::handle used_as) {
    require_str(formal, "formal");
    require_str(formal_kind, "formal_kind");
    require_str(used_as, "used_as");
    setattr_interned(self, state.node, node);
    setattr_interned(self, state.definition_signature, definition_signature);
    setattr_interned(self, state.formal, formal);
    setattr_interned(self, state.formal_kind, formal_kind);
    setattr_interned(self, state.used_as, used_as);
    return nb::none();
}

nb::object misused_formal_str(nb::handle self) {
    nb::object gate = get_attr(get_attr(self, state.definition_signature), state.name);
    return compose({nb::str("In the definition of gate '"), gate, nb::str("', the "),
                    get_attr(self, state.formal_kind), nb::str(" '"), get_attr(self, state.formal),
                    nb::str("' is used as "), get_attr(self, state.used_as), nb::str(".")});
}

// ==== _FormalsChecker ============================================================

// Refuses a body that uses a formal in a role it cannot take: a parameter is
// a number, so it can be neither the called gate nor an operand, and a formal
// qubit is one qubit, so it is neither a gate nor indexed. Substituted, such a
// formal would put a number where the call's name or a qubit stands.
// The names of a definition's formals in `field`. Two formals of one name
// would leave the call's operand or argument for the first unused.
nb::object formal_names(nb::handle definition, nb::handle field, const char* kind) {
    nb::object names = steal_or_throw(PySet_New(nullptr));
    nb::object formals = steal_or_throw(PyObject_GetIter(get_attr(definition, field).ptr()));
    while (PyObject* raw = PyIter_Next(formals.ptr())) {
        nb::object formal = nb::steal(raw);
        nb::object name = get_attr(formal, state.name);
        if (contains(names, name))
            raise_error(nb::handle(state.misused_formal)(definition, signature_of(definition), name, nb::str(kind),
                                                          nb::str("the name of two formals")));
        check_status(PySet_Add(names.ptr(), name.ptr()));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return names;
}

nb::object formals_checker_init(nb::handle self, nb::handle definition) {
    nb::object qubits = formal_names(definition, state.qubits, "qubit");
    nb::object parameters = formal_names(definition, state.arguments, "parameter");
    // A parameter and a qubit of one name: the body could use only one of them.
    nb::object formals = steal_or_throw(PyObject_GetIter(get_attr(definition, state.arguments).ptr()));
    while (PyObject* raw = PyIter_Next(formals.ptr())) {
        nb::object name = get_attr(nb::steal(raw), state.name);
        if (contains(qubits, name))
            raise_error(nb::handle(state.misused_formal)(definition, signature_of(definition), name,
                                                          nb::str("parameter"), nb::str("the name of a qubit too")));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    setattr_interned(self, state.qubits, qubits);
    setattr_interned(self, state.parameters, parameters);
    setattr_interned(self, state.definition_signature, signature_of(definition));
    return nb::none();
}

bool is_exact(nb::handle node, nb::handle cls) {
    return reinterpret_cast<PyObject*>(Py_TYPE(node.ptr())) == cls.ptr();
}

[[noreturn]] void raise_misused(nb::handle self, nb::handle statement, nb::handle formal, const char* kind,
                                const char* used_as) {
    raise_error(nb::handle(state.misused_formal)(statement, get_attr(self, state.definition_signature), formal,
                                                  nb::str(kind), nb::str(used_as)));
}

void check_operand(nb::handle self, nb::handle statement, nb::handle operand) {
    if (is_exact(operand, state.identifier)) {
        nb::object name = get_attr(operand, state.name);
        if (contains(get_attr(self, state.parameters), name))
            raise_misused(self, statement, name, "parameter", "a qubit");
        return;
    }
    if (!is_exact(operand, state.indexed_identifier)) return;
    nb::object register_name = get_attr(operand, state.name);
    if (!is_exact(register_name, state.identifier)) return;
    nb::object name = get_attr(register_name, state.name);
    if (contains(get_attr(self, state.parameters), name)) raise_misused(self, statement, name, "parameter", "a qubit");
    if (contains(get_attr(self, state.qubits), name))
        raise_misused(self, statement, name, "qubit", "an indexed register");
}

nb::object check_operands(nb::handle self, nb::handle node) {
    nb::object operands = get_attr(node, state.qubits);
    if (tree::is_node(operands)) {
        check_operand(self, node, operands);
        return nb::none();
    }
    nb::object items = steal_or_throw(PySequence_Fast(operands.ptr(), "qubit operands must be a sequence"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.ptr()); ++i)
        check_operand(self, node, PySequence_Fast_GET_ITEM(items.ptr(), i));
    return nb::none();
}

nb::object check_gate_call(nb::handle self, nb::handle node) {
    nb::object called = get_attr(node, state.name);
    if (is_exact(called, state.identifier)) {
        nb::object name = get_attr(called, state.name);
        if (contains(get_attr(self, state.parameters), name)) raise_misused(self, node, name, "parameter", "a gate");
        if (contains(get_attr(self, state.qubits), name)) raise_misused(self, node, name, "qubit", "a gate");
    }
    check_operands(self, node);
    return tree::generic_visit(self, node);
}

nb::object check_statement_operands(nb::handle self, nb::handle node) {
    check_operands(self, node);
    return tree::generic_visit(self, node);
}

// A name that the walk reaches stands where a value does (operands are not
// walked): a formal qubit there would put the call's qubit where a number stands.
nb::object check_value_name(nb::handle self, nb::handle node) {
    nb::object name = get_attr(node, state.name);
    if (contains(get_attr(self, state.qubits), name)) raise_misused(self, node, name, "qubit", "a value");
    return nb::none();
}

bool is_operand_field(nb::handle field) {
    return PyUnicode_Check(field.ptr()) && (PyUnicode_Compare(field.ptr(), state.qubits.ptr()) == 0 ||
                                            PyUnicode_CompareWithASCIIString(field.ptr(), "qubit") == 0);
}

// The walk over every field but the qubit operands, which the handlers check.
nb::object checker_generic_visit(nb::handle self, nb::handle node, nb::handle context) {
    RecursionLimitGuard guard(" while checking a gate's body");
    tree::any_child(node, [&](nb::handle field, nb::handle child) {
        if (!is_operand_field(field)) tree::call_visit(self, child, context);
        return false;
    });
    return nb::none();
}

nb::object check_measurement(nb::handle self, nb::handle node) {
    check_operand(self, node, get_attr(node, "qubit"_id));
    return nb::none();
}

// ==== the names a body may use ====================================================

// The first name in `node` that the gate's body cannot see, with the statement
// that uses it, or empty objects. A gate sees its parameters, its qubits, the
// global constants (already in place as their values) and what its own body
// declares; the gates and functions it calls are named by their calls. Any
// other name is a variable or a qubit of the program, a hardware qubit
// included, which the gate would capture where it is called.
struct UnseenName {
    nb::object name, statement;
};

void find_unseen_name(nb::handle node, nb::handle visible, nb::handle statement, UnseenName& found) {
    RecursionLimitGuard guard(" while reading a gate's body");
    if (is_exact(node, state.identifier)) {
        nb::object name = get_attr(node, state.name);
        if (!contains(visible, name)) found = {name, nb::borrow(statement)};
        return;
    }
    // A hardware qubit is the program's, never the gate's own.
    if (is_exact(node, state.hardware_qubit)) {
        found = {get_attr(node, state.name), nb::borrow(statement)};
        return;
    }
    if (is_instance(node, state.statement)) statement = node;
    // A declaration or a loop variable of the body is its own from here on.
    if (is_instance(node, state.classical_declaration) || is_instance(node, state.for_in_loop)) {
        nb::object declared = get_attr(node, "identifier"_id);
        if (is_exact(declared, state.identifier))
            check_status(PySet_Add(visible.ptr(), get_attr(declared, state.name).ptr()));
    }
    const bool names_a_callee = is_instance(node, state.quantum_gate) || is_instance(node, state.function_call);
    tree::any_child(node, [&](nb::handle field, nb::handle child) {
        if (names_a_callee && PyUnicode_Check(field.ptr()) && PyUnicode_Compare(field.ptr(), state.name.ptr()) == 0)
            return false;
        find_unseen_name(child, visible, statement, found);
        return found.name.is_valid();
    });
}

void refuse_unseen_names(nb::handle definition) {
    nb::object visible = steal_or_throw(PySet_New(nullptr));
    for (nb::handle field : {state.arguments, state.qubits}) {
        nb::object formals = steal_or_throw(PyObject_GetIter(get_attr(definition, field).ptr()));
        while (PyObject* raw = PyIter_Next(formals.ptr())) {
            nb::object formal = nb::steal(raw);
            check_status(PySet_Add(visible.ptr(), get_attr(formal, state.name).ptr()));
        }
        if (PyErr_Occurred()) throw nb::python_error();
    }
    UnseenName found;
    nb::object body = steal_or_throw(PySequence_Fast(get_attr(definition, state.body).ptr(), "body"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(body.ptr()) && !found.name.is_valid(); ++i)
        find_unseen_name(PySequence_Fast_GET_ITEM(body.ptr(), i), visible, definition, found);
    if (found.name.is_valid())
        raise_error(nb::handle(state.unseen_name)(found.statement, signature_of(definition), found.name));
}

nb::object unseen_name_init(nb::handle self, nb::handle node, nb::handle definition_signature, nb::handle name) {
    require_str(name, "name");
    setattr_interned(self, state.node, node);
    setattr_interned(self, state.definition_signature, definition_signature);
    setattr_interned(self, state.name, name);
    return nb::none();
}

nb::object unseen_name_str(nb::handle self) {
    nb::object gate = get_attr(get_attr(self, state.definition_signature), state.name);
    return compose({nb::str("In the definition of gate '"), gate, nb::str("', '"), get_attr(self, state.name),
                    nb::str("' is neither a parameter nor a qubit of the gate nor a global constant; a gate's body "
                            "sees only these, not the variables and qubits of the program.")});
}

// ==== _NameCollector ================================================================

nb::object name_collector_init(nb::handle self) {
    setattr_interned(self, state.names, steal_or_throw(PySet_New(nullptr)));
    return nb::none();
}

nb::object collect_name(nb::handle self, nb::handle node) {
    check_status(PySet_Add(get_attr(self, state.names).ptr(), get_attr(node, state.name).ptr()));
    return nb::none();
}

// Whether some formal qubit of the resolved definition stands nowhere in its body:
// the operand given for it would leave the expansion with no trace.
bool leaves_a_qubit_unused(nb::handle definition) {
    nb::object collector = steal_or_throw(PyObject_CallNoArgs(state.name_collector.ptr()));
    nb::object body = get_attr(definition, state.body);
    nb::object statements = steal_or_throw(PyObject_GetIter(body.ptr()));
    while (PyObject* raw = PyIter_Next(statements.ptr())) {
        nb::object statement = nb::steal(raw);
        tree::visit(collector, statement);
    }
    if (PyErr_Occurred()) throw nb::python_error();
    nb::object names = get_attr(collector, state.names);
    nb::object formals = steal_or_throw(PyObject_GetIter(get_attr(definition, state.qubits).ptr()));
    while (PyObject* raw = PyIter_Next(formals.ptr())) {
        nb::object formal = nb::steal(raw);
        if (!contains(names, get_attr(formal, state.name))) return true;
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return false;
}

// ==== _IdentifierTransformer ===================================================

nb::object identifier_transformer_init(nb::handle self, nb::handle args_transformation) {
    require_dict(args_transformation, "args_transformation");
    setattr_interned(self, state.args_transformation, args_transformation);
    return nb::none();
}

// Whether `node` is one of the call's nodes that the substitution puts in
// place. The copy keeps the body's sharing, so the walk can come back to a
// node whose formals it has already replaced; what stands there now is the
// call's own, its names are those of the call's scope, and entering it could
// even make a node its own descendant.
bool is_substituted(nb::handle self, nb::handle node) {
    nb::object mapping = get_attr(self, state.args_transformation);
    if (PyDict_CheckExact(mapping.ptr())) {
        Py_ssize_t position = 0;
        PyObject* value;
        while (PyDict_Next(mapping.ptr(), &position, nullptr, &value))
            if (value == node.ptr()) return true;
        return false;
    }
    nb::object values = steal_or_throw(PyObject_CallMethodNoArgs(mapping.ptr(), "values"_id.ptr()));
    nb::object iterator = steal_or_throw(PyObject_GetIter(values.ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object value = nb::steal(raw);
        if (value.is(node)) return true;
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return false;
}

nb::object visit_identifier(nb::handle self, nb::handle node) {
    if (is_substituted(self, node)) return nb::borrow(node);
    return item_or(get_attr(self, state.args_transformation), get_attr(node, state.name), node);
}

// Each formal of the body is replaced once: a substituted node is never entered.
nb::object identifier_transformer_generic_visit(nb::handle self, nb::handle node, nb::handle context) {
    if (is_substituted(self, node)) return nb::borrow(node);
    return tree::transformer_generic_visit(self, node, context);
}

// Every expansion works on fresh copies, so no two share body nodes.
nb::object transform_statements_of_gate_definition(nb::handle self, nb::handle gate_def) {
    nb::object statements = steal_or_throw(PyList_New(0));
    nb::object iterator = steal_or_throw(PyObject_GetIter(get_attr(gate_def, state.body).ptr()));
    while (PyObject* item = PyIter_Next(iterator.ptr())) {
        nb::object statement = nb::steal(item);
        nb::object copy = tree::deep_copy(statement);
        nb::object result = tree::visit(self, copy);
        if (result.is_none()) continue;
        if (tree::is_node(result)) {
            check_status(PyList_Append(statements.ptr(), result.ptr()));
        } else {
            nb::object spliced = steal_or_throw(PyObject_GetIter(result.ptr()));
            while (PyObject* part = PyIter_Next(spliced.ptr())) {
                nb::object piece = nb::steal(part);
                check_status(PyList_Append(statements.ptr(), piece.ptr()));
            }
            if (PyErr_Occurred()) throw nb::python_error();
        }
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return statements;
}

// ==== _GateResolverTransformer ===================================================

nb::object resolver_init(nb::handle self, nb::handle built_in_gates) {
    require_set(built_in_gates, "built_in_gates");
    setattr_interned(self, state.built_in_gates, built_in_gates);
    setattr_interned(self, state.bank, nb::dict());
    setattr_interned(self, state.dropping, steal_or_throw(PySet_New(nullptr)));
    setattr_interned(self, state.enclosing_parameters, steal_or_throw(PyFrozenSet_New(nullptr)));
    setattr_interned(self, state.declared_names, nb::dict());
    setattr_interned(self, state.block_depth, nb::int_(0));
    nb::object scopes = steal_or_throw(PyList_New(0));
    append_item(scopes, nb::dict());  // the program's own scope
    setattr_interned(self, state.duration_scopes, scopes);
    setattr_interned(self, state.first_visible_scope, nb::int_(0));
    return nb::none();
}

// The signature of the call's name when `collection` holds it, else empty.
nb::object matching_signature(nb::handle node, nb::handle collection) {
    nb::object signature = nb::handle(state.gate_signature)(name_of(node));
    if (contains(collection, signature)) return signature;
    return nb::object();
}

nb::object find_best_matching_signature(nb::handle node, nb::handle collection) {
    nb::object signature = matching_signature(node, collection);
    if (!signature) raise_error(nb::handle(state.signature_not_found)(node));
    return signature;
}

nb::object is_built_in(nb::handle self, nb::handle node) {
    nb::object built_in = get_attr(self, state.built_in_gates);
    if (state.find_signature.reached_by(self)) return nb::bool_(static_cast<bool>(matching_signature(node, built_in)));
    try {
        call_override(self, state.find_signature, {node, built_in});
        return nb::bool_(true);
    } catch (nb::python_error& error) {
        if (!error.matches(state.unresolvable_gate)) throw;
        return nb::bool_(false);
    }
}

nb::object validate_calling_arguments(nb::handle gate_def, nb::handle node) {
    if (length_of(get_attr(gate_def, state.arguments)) != length_of(get_attr(node, state.arguments)))
        raise_error(nb::handle(state.arguments_mismatch)(node, gate_def, "argument"));
    if (length_of(get_attr(gate_def, state.qubits)) != length_of(get_attr(node, state.qubits)))
        raise_error(nb::handle(state.arguments_mismatch)(node, gate_def, "qubit"));
    return nb::none();
}

nb::object get_gate_definition(nb::handle self, nb::handle node) {
    nb::object bank = get_attr(self, state.bank);
    nb::object signature;
    if (state.find_signature.reached_by(self)) signature = find_best_matching_signature(node, bank);
    else signature = call_override(self, state.find_signature, {node, bank});
    nb::object definition = steal_or_throw(PyObject_GetItem(bank.ptr(), signature.ptr()));
    if (state.validate_calling_arguments.reached_by(self)) validate_calling_arguments(definition, node);
    else call_override(self, state.validate_calling_arguments, {definition, node});
    return definition;
}

// "x0, x1" for a count of two.
nb::object numbered(const char* letter, Py_ssize_t count) {
    nb::object names = steal_or_throw(PyList_New(0));
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::object name = steal_or_throw(PyUnicode_FromFormat("%s%zd", letter, i));
        check_status(PyList_Append(names.ptr(), name.ptr()));
    }
    return steal_or_throw(PyUnicode_Join(nb::str(", ").ptr(), names.ptr()));
}

nb::object log_found_definition(nb::handle self, nb::handle node, nb::handle gate_definition) {
    (void)self;
    Py_ssize_t parameters = length_of(get_attr(gate_definition, state.arguments));
    Py_ssize_t qubits = length_of(get_attr(gate_definition, state.qubits));
    nb::object form = name_of(gate_definition);
    if (parameters >= 1) form = compose({form, nb::str("("), numbered("x", parameters), nb::str(")")});
    form = compose({form, nb::str(" "), numbered("q", qubits)});
    state.logger.debug(compose({nb::str("Transforming gate call \""), name_of(node), nb::str("\" to \""), form,
                                nb::str("\"")}));
    return nb::none();
}

bool holds_duration_here(nb::handle self, nb::handle name);
void refuse_duration_arguments(nb::handle self, nb::handle node);
void refuse_variable_as_gate(nb::handle self, nb::handle node);

// A gate's parameters are angles, real numbers whatever the call's argument.
// Whether an argument is real by its own form, as typing reads it: a
// parameter of the gate whose body makes the call is real in turn. A call is
// not counted: folding computes `ceiling` and `floor` as integers, which the
// parameter would then hold.
bool is_real(nb::handle self, nb::handle argument, nb::handle enclosing_parameters) {
    return typing::is_real_valued(
        argument, [&](nb::handle name) { return contains(enclosing_parameters, name); },
        [&](nb::handle name) { return holds_duration_here(self, name); }, typing::Calls::unread);
}

// The argument as the parameter takes it: an integer literal becomes the real
// literal of its value, and any other argument that is not real already is
// read as a float, so that a division in the body stays a real division once
// the argument stands in the parameter's place.
nb::object real_argument(nb::handle self, nb::handle argument, nb::handle enclosing_parameters) {
    if (is_real(self, argument, enclosing_parameters)) return nb::borrow(argument);
    nb::object real;
    if (is_exact(argument, state.integer_literal) || is_exact(argument, state.boolean_literal)) {
        real = nb::handle(state.float_literal)(steal_or_throw(PyNumber_Float(get_attr(argument, "value"_id).ptr())));
    } else {
        real = nb::handle(state.cast)(nb::handle(state.float_type)(nb::none()), argument);
    }
    set_attr(real, "span"_id, get_attr(argument, "span"_id));
    return real;
}

// Puts the real form of each argument in the transformer's map, where the
// transformer is this module's own. A qubit of a parameter's name keeps its
// operand.
void realise_parameters(nb::handle self, nb::handle definition, nb::handle transformer) {
    if (!is_exact(transformer, state.identifier_transformer)) return;
    nb::object mapping = get_attr(transformer, state.args_transformation);
    if (!PyDict_CheckExact(mapping.ptr())) return;
    nb::object qubits = steal_or_throw(PySet_New(nullptr));
    nb::object formal_qubits = steal_or_throw(PyObject_GetIter(get_attr(definition, state.qubits).ptr()));
    while (PyObject* raw = PyIter_Next(formal_qubits.ptr())) {
        nb::object formal = nb::steal(raw);
        check_status(PySet_Add(qubits.ptr(), get_attr(formal, state.name).ptr()));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    nb::object enclosing = get_attr(self, state.enclosing_parameters);
    nb::object parameters = steal_or_throw(PyObject_GetIter(get_attr(definition, state.arguments).ptr()));
    while (PyObject* raw = PyIter_Next(parameters.ptr())) {
        nb::object name = get_attr(nb::steal(raw), state.name);
        if (contains(qubits, name)) continue;
        nb::object argument = find_item(mapping, name);
        if (argument.is_valid()) check_status(PyDict_SetItem(mapping.ptr(), name.ptr(),
                                                             real_argument(self, argument, enclosing).ptr()));
    }
    if (PyErr_Occurred()) throw nb::python_error();
}

// Qubit entries come second, so a qubit wins over a parameter of the same name.
nb::object get_gate_transformation(nb::handle gate_def, nb::handle node) {
    nb::dict mapping;
    auto pair_up = [&](nb::handle field) {
        nb::object formals = steal_or_throw(PyObject_GetIter(get_attr(gate_def, field).ptr()));
        nb::object actuals = steal_or_throw(PyObject_GetIter(get_attr(node, field).ptr()));
        while (true) {
            nb::object formal = nb::steal(PyIter_Next(formals.ptr()));
            if (!formal) break;
            nb::object actual = nb::steal(PyIter_Next(actuals.ptr()));
            if (!actual) break;
            check_status(PyDict_SetItem(mapping.ptr(), get_attr(formal, state.name).ptr(), actual.ptr()));
        }
        if (PyErr_Occurred()) throw nb::python_error();
    };
    pair_up(state.arguments);
    pair_up(state.qubits);
    return nb::handle(state.identifier_transformer)(mapping);
}

nb::object resolve_gate_definition(nb::handle self, nb::handle node) {
    bool built_in = state.is_built_in.reached_by(self) ? truth(is_built_in(self, node))
                                                : truth(call_override(self, state.is_built_in, {node}));
    if (built_in) {
        state.logger.debug(compose({nb::str("Node "), name_of(node), nb::str(" is built-in, and will stay as is.")}));
        return nb::borrow(node);
    }
    nb::object definition = state.get_gate_definition.reached_by(self)
                                ? get_gate_definition(self, node)
                                : call_override(self, state.get_gate_definition, {node});
    if (state.log_found_definition.reached_by(self)) log_found_definition(self, node, definition);
    else call_override(self, state.log_found_definition, {node, definition});
    nb::object transformer = state.get_gate_transformation.reached_by(self)
                                 ? get_gate_transformation(definition, node)
                                 : call_override(self, state.get_gate_transformation, {definition, node});
    realise_parameters(self, definition, transformer);
    if (state.transform_statements.reached_by(transformer)) return transform_statements_of_gate_definition(transformer, definition);
    return call_override(transformer, state.transform_statements, {definition});
}

bool has_bare_operand(nb::handle call) {
    nb::object operands = steal_or_throw(PySequence_Fast(get_attr(call, state.qubits).ptr(), "qubits"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(operands.ptr()); ++i) {
        PyObject* operand = PySequence_Fast_GET_ITEM(operands.ptr(), i);
        if (reinterpret_cast<PyObject*>(Py_TYPE(operand)) == state.identifier.ptr()) return true;
    }
    return false;
}

// A register's cell whose index is a non-negative integer literal, as `q[1]`:
// the register's name and the index, else empty objects.
std::pair<nb::object, nb::object> literal_cell(nb::handle operand) {
    if (!is_exact(operand, state.indexed_identifier)) return {};
    nb::object indices = get_attr(operand, "indices"_id);
    if (!PyList_CheckExact(indices.ptr()) || PyList_GET_SIZE(indices.ptr()) != 1) return {};
    nb::handle group = PyList_GET_ITEM(indices.ptr(), 0);
    if (!PyList_CheckExact(group.ptr()) || PyList_GET_SIZE(group.ptr()) != 1) return {};
    nb::handle index = PyList_GET_ITEM(group.ptr(), 0);
    if (!is_exact(index, state.integer_literal)) return {};
    nb::object value = get_attr(index, "value"_id);
    if (!PyLong_CheckExact(value.ptr()) || truth(steal_or_throw(PyObject_RichCompare(value.ptr(), nb::int_(0).ptr(),
                                                                                     Py_LT))))
        return {};
    return {get_attr(get_attr(operand, state.name), state.name), value};
}

// Whether two of the call's operands may name one qubit in a way that only
// the register mapping tells: cells of one register whose indices are not
// both plain (`q[0]` and `q[-2]`, `q[i + 1]`). The mapping sees the qubits of
// the call only while its body's statements stay together.
bool may_name_one_qubit_twice(nb::handle node) {
    nb::object operands = steal_or_throw(PySequence_Fast(get_attr(node, state.qubits).ptr(), "qubits"));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(operands.ptr());
    for (Py_ssize_t i = 1; i < count; ++i) {
        nb::handle later = PySequence_Fast_GET_ITEM(operands.ptr(), i);
        if (!is_exact(later, state.indexed_identifier)) continue;
        for (Py_ssize_t j = 0; j < i; ++j) {
            nb::handle earlier = PySequence_Fast_GET_ITEM(operands.ptr(), j);
            if (!is_exact(earlier, state.indexed_identifier)) continue;
            nb::object first = get_attr(earlier, state.name), second = get_attr(later, state.name);
            if (!is_exact(first, state.identifier) || !is_exact(second, state.identifier)) continue;
            int same_register = PyObject_RichCompareBool(get_attr(first, state.name).ptr(),
                                                         get_attr(second, state.name).ptr(), Py_EQ);
            check_status(same_register);
            if (!same_register) continue;
            if (!literal_cell(earlier).first.is_valid() || !literal_cell(later).first.is_valid()) return true;
        }
    }
    return false;
}

// Whether the expansion of `node` must stay together with the call's operands.
// A bare name among them may be a register, over which the call runs once per
// qubit: the register mapping then repeats the body as a whole, which it can
// tell only while the body's statements stay together. One gate call alone
// runs over the same registers as the call would, since it names every formal
// (a gate that leaves one unused is grouped anyway), so it stands by itself.
// An operand whose formal the body never names is kept for the mapping to
// check and to count the call's runs by.
bool keeps_together(nb::handle self, nb::handle node, nb::handle expansion) {
    if (!PyList_CheckExact(expansion.ptr()) || PyList_GET_SIZE(expansion.ptr()) == 0) return false;
    if (contains(get_attr(self, state.dropping), name_of(node))) return true;
    if (PyList_GET_SIZE(expansion.ptr()) == 1 && is_exact(PyList_GET_ITEM(expansion.ptr(), 0), state.quantum_gate))
        return false;
    return has_bare_operand(node) || may_name_one_qubit_twice(node);
}

// An operand as the program writes it.
nb::object written_operand(nb::handle operand) {
    if (is_instance(operand, state.identifier)) return get_attr(operand, state.name);
    return node_source(operand);
}

// Refuses a call of a user gate that writes one operand twice: its body may
// use each formal in a statement of its own, where no single call shows it.
// Operands that differ as written but name one qubit are left to the
// register mapping, which sees the qubits.
void refuse_repeated_operands(nb::handle node) {
    nb::object operands = steal_or_throw(PySequence_Fast(get_attr(node, state.qubits).ptr(), "qubits"));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(operands.ptr());
    for (Py_ssize_t i = 1; i < count; ++i)
        for (Py_ssize_t j = 0; j < i; ++j) {
            nb::handle earlier = PySequence_Fast_GET_ITEM(operands.ptr(), j);
            int equal = PyObject_RichCompareBool(earlier.ptr(), PySequence_Fast_GET_ITEM(operands.ptr(), i), Py_EQ);
            check_status(equal);
            if (equal) raise_error(nb::handle(state.repeated_qubit)(name_of(node), written_operand(earlier)));
        }
}

nb::object visit_quantum_gate(nb::handle self, nb::handle node) {
    if (truth(get_attr(node, state.modifiers)))
        raise_text(PyExc_NotImplementedError, nb::str("Modifiers are not yet implemented"));
    refuse_variable_as_gate(self, node);
    nb::object expansion = state.resolve_gate_definition.reached_by(self)
                               ? resolve_gate_definition(self, node)
                               : call_override(self, state.resolve_gate_definition, {node});
    if (!expansion.is(node)) {
        refuse_duration_arguments(self, node);
        refuse_repeated_operands(node);
    }
    if (!keeps_together(self, node, expansion)) return expansion;
    nb::object operands = steal_or_throw(PySequence_List(get_attr(node, state.qubits).ptr()));
    return nb::handle(state.expanded_gate_call)(name_of(node), operands, expansion);
}

bool is_expanded_gate_call(nb::handle node) {
    return reinterpret_cast<PyObject*>(Py_TYPE(node.ptr())) == state.expanded_gate_call.ptr();
}

// Within a definition the operands are the gate's own single qubits, so its
// stored body holds the statements of the calls it makes, not their grouping.
void ungroup_expansions(nb::handle definition) {
    nb::object body = get_attr(definition, state.body);
    nb::object items = steal_or_throw(PySequence_Fast(body.ptr(), "body"));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.ptr());
    bool grouped = false;
    for (Py_ssize_t i = 0; i < count && !grouped; ++i)
        grouped = is_expanded_gate_call(PySequence_Fast_GET_ITEM(items.ptr(), i));
    if (!grouped) return;
    nb::object statements = steal_or_throw(PyList_New(0));
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::handle item = PySequence_Fast_GET_ITEM(items.ptr(), i);
        if (!is_expanded_gate_call(item)) {
            check_status(PyList_Append(statements.ptr(), item.ptr()));
            continue;
        }
        nb::object inner = get_attr(item, state.body);
        check_status(PyList_SetSlice(statements.ptr(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, inner.ptr()));
    }
    nb::object everything = steal_or_throw(PySlice_New(nullptr, nullptr, nullptr));
    check_status(PyObject_SetItem(body.ptr(), everything.ptr(), statements.ptr()));
}

nb::object add_gate(nb::handle self, nb::handle node) {
    nb::object signature = signature_of(node);
    nb::object bank = get_attr(self, state.bank);
    bool in_bank = contains(bank, signature);
    if (!in_bank && !contains(get_attr(self, state.built_in_gates), signature)) {
        state.logger.debug(compose({nb::str("Added the definition of \""), get_attr(signature, state.name),
                                    nb::str("\" to the bank.")}));
        check_status(PyObject_SetItem(bank.ptr(), signature.ptr(), node.ptr()));
        return nb::none();
    }
    if (in_bank) {
        nb::object stored = steal_or_throw(PyObject_GetItem(bank.ptr(), signature.ptr()));
        int equal = PyObject_RichCompareBool(stored.ptr(), node.ptr(), Py_EQ);
        check_status(equal);
        if (equal) {
            state.logger.debug(nb::str("Ignoring duplicated definition"));
            return nb::none();
        }
    }
    raise_error(nb::handle(state.multiple_definitions)(node, signature, nb::bool_(!in_bank)));
}

// --- variables and durations in scope -------------------------------------------------
// A gate's parameters are numbers, so a call passes none a duration, and a
// variable's name is no gate's. To tell both by a name, `_duration_scopes`
// holds one map per open scope, the program's own first: each variable name
// declared there to whether it holds durations (a duration or stretch, or an
// array of them). A block, a loop (its variable included), each branch of an
// if statement and a gate's body (its parameters, numbers) are scopes, so an
// inner declaration hides an outer one until its block ends.

nb::object duration_scopes(nb::handle self) { return get_attr(self, state.duration_scopes); }

void record_declared(nb::handle self, nb::handle name, bool durations) {
    nb::object innermost = steal_or_throw(PySequence_GetItem(duration_scopes(self).ptr(), -1));
    check_status(PyObject_SetItem(innermost.ptr(), name.ptr(), durations ? Py_True : Py_False));
}

bool holds_duration_here(nb::handle self, nb::handle name) {
    nb::object scopes = steal_or_throw(PySequence_Fast(duration_scopes(self).ptr(), "_duration_scopes"));
    for (Py_ssize_t i = PySequence_Fast_GET_SIZE(scopes.ptr()); i-- > 0;) {
        nb::object found = find_item(PySequence_Fast_GET_ITEM(scopes.ptr(), i), name);
        if (found.is_valid()) return found.is(Py_True);
    }
    return false;
}

// Refuses a gate call under the name of a variable in scope (an input, an
// output, an array, a loop variable included): the name means the variable
// there, so the call would run a gate of that name that the program does
// not name, or none at all. A gate's body sees no variable of the program,
// only the scopes from its own on.
void refuse_variable_as_gate(nb::handle self, nb::handle node) {
    nb::object name = nb::getattr(get_attr(node, state.name), state.name, nb::none());
    if (!PyUnicode_Check(name.ptr())) return;
    nb::object scopes = steal_or_throw(PySequence_Fast(duration_scopes(self).ptr(), "_duration_scopes"));
    const Py_ssize_t first = PyNumber_AsSsize_t(get_attr(self, state.first_visible_scope).ptr(), nullptr);
    if (first == -1 && PyErr_Occurred()) throw nb::python_error();
    for (Py_ssize_t i = PySequence_Fast_GET_SIZE(scopes.ptr()); i-- > first;) {
        if (!find_item(PySequence_Fast_GET_ITEM(scopes.ptr(), i), name).is_valid()) continue;
        nb::object error_class =
            import_attr("corvane.passes.code_generation.target_lowering", "VariableUsedAsGateException");
        raise_error(error_class(name));
    }
}

// One open scope, for as long as it lives.
class Scope {
public:
    explicit Scope(nb::handle self) : frame_(duration_scopes(self), nb::dict()) {}

private:
    PushedFrame frame_;
};

// The names that a statement holding blocks declares for them: a loop's
// variable, a gate's parameters.
void declare_own_names(nb::handle self, nb::handle node) {
    if (is_exact(node, state.for_in_loop)) {
        nb::object variable = get_attr(node, "identifier"_id);
        if (is_exact(variable, state.identifier))
            record_declared(self, get_attr(variable, state.name), typing::holds_durations(get_attr(node, "type"_id)));
        return;
    }
    if (!is_exact(node, state.quantum_gate_definition)) return;
    nb::object formals = steal_or_throw(PyObject_GetIter(get_attr(node, state.arguments).ptr()));
    while (PyObject* raw = PyIter_Next(formals.ptr())) record_declared(self, get_attr(nb::steal(raw), state.name), false);
    if (PyErr_Occurred()) throw nb::python_error();
}

// An if statement's fields in order, each branch a scope of its own.
nb::object walk_branches(nb::handle self, nb::handle node, nb::handle context) {
    nb::object fields = get_attr(node, "__dict__"_id);
    nb::object items = steal_or_throw(PySequence_List(
        steal_or_throw(PyObject_CallMethodNoArgs(fields.ptr(), "items"_id.ptr())).ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        auto [field, value] = unpack_pair(PyList_GET_ITEM(items.ptr(), i));
        if (PyList_Check(value.ptr())) {
            Scope branch(self);
            tree::transform_list(self, value);
        } else if (tree::is_node(value)) {
            nb::object result = tree::call_visit(self, value, context);
            if (result.is_none()) check_status(PyObject_DelAttr(node.ptr(), field.ptr()));
            else if (!result.is(value)) check_status(PyObject_SetAttr(node.ptr(), field.ptr(), result.ptr()));
        }
    }
    return nb::borrow(node);
}

bool is_duration_argument(nb::handle self, nb::handle argument) {
    return typing::is_duration_valued(argument, [&](nb::handle name) { return holds_duration_here(self, name); });
}

// A call of the program's own gate that passes a duration: the body would
// take it as a number, or drop it where it does not use the parameter.
void refuse_duration_arguments(nb::handle self, nb::handle node) {
    nb::object arguments = steal_or_throw(PySequence_Fast(get_attr(node, state.arguments).ptr(), "arguments"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(arguments.ptr()); ++i) {
        nb::handle argument = PySequence_Fast_GET_ITEM(arguments.ptr(), i);
        if (!is_duration_argument(self, argument)) continue;
        // The parameter it is passed for, as the gate's definition names it.
        nb::object parameter = nb::str(" as an argument");
        nb::object definition = find_item(get_attr(self, state.bank), nb::handle(state.gate_signature)(name_of(node)));
        if (definition.is_valid()) {
            nb::object formals = steal_or_throw(PySequence_Fast(get_attr(definition, state.arguments).ptr(), "formals"));
            if (i < PySequence_Fast_GET_SIZE(formals.ptr()))
                parameter = compose({nb::str(" for its parameter "),
                                     get_attr(PySequence_Fast_GET_ITEM(formals.ptr(), i), state.name)});
        }
        nb::object error_class =
            import_attr("corvane.passes.code_generation.translate_expression", "DurationTypeException");
        raise_text(error_class.ptr(),
                   compose({nb::str("The call of the gate "), name_of(node), nb::str(" passes the duration "),
                            node_source(argument), parameter,
                            nb::str("; a gate's parameters are numbers, and OpenQASM converts no duration into a "
                                    "number (a duration divided by a duration is one).")}));
    }
}

// --- names that a gate cannot share --------------------------------------------------

// Records a declaration's name; one that a gate defined before it holds is
// refused. Gates are defined in the program's own scope only, so only the
// names of that scope are recorded: a name declared in a block ends with it.
nb::object declare_name(nb::handle self, nb::handle node, nb::handle identifier, const char* kind) {
    nb::object name = get_attr(identifier, state.name);
    if (contains(get_attr(self, state.bank), nb::handle(state.gate_signature)(name)))
        raise_error(nb::handle(state.redeclaration)(node, name, nb::str("a gate"), nb::str(kind)));
    if (!truth(get_attr(self, state.block_depth)))
        check_status(PyObject_SetItem(get_attr(self, state.declared_names).ptr(), name.ptr(), nb::str(kind).ptr()));
    return tree::generic_visit(self, node);
}

// The library's walk, one block deeper inside a statement that holds blocks
// of its own (a gate's body included).
nb::object resolver_generic_visit(nb::handle self, nb::handle node, nb::handle context) {
    bool holds_blocks = false;
    for (nb::handle kind : state.block_statements) holds_blocks = holds_blocks || is_exact(node, kind);
    if (!holds_blocks) return tree::transformer_generic_visit(self, node, context);
    Scope scope(self);
    declare_own_names(self, node);
    nb::object depth = get_attr(self, state.block_depth);
    nb::object one = steal_or_throw(PyLong_FromLong(1));
    setattr_interned(self, state.block_depth, steal_or_throw(PyNumber_Add(depth.ptr(), one.ptr())));
    nb::object result;
    try {
        result = is_exact(node, state.block_statements[0]) ? walk_branches(self, node, context)
                                                           : tree::transformer_generic_visit(self, node, context);
    } catch (...) {
        try {
            setattr_interned(self, state.block_depth, depth);
        } catch (...) {
            // The walk's error is the one to report.
        }
        throw;
    }
    setattr_interned(self, state.block_depth, depth);
    return result;
}

// The name of the gate of `bank` that an expression statement's `expression`
// is alone (`g;`), or empty. A user gate named without qubits would be
// dropped: it is no value, and without qubits it is no call either.
nb::object gate_named_alone(nb::handle expression, nb::handle bank) {
    if (!is_exact(expression, state.identifier)) return nb::object();
    nb::object name = get_attr(expression, state.name);
    if (!contains(bank, nb::handle(state.gate_signature)(name))) return nb::object();
    return name;
}

nb::object visit_expression_statement(nb::handle self, nb::handle node) {
    nb::object gate = gate_named_alone(get_attr(node, "expression"_id), get_attr(self, state.bank));
    if (gate.is_valid()) raise_error(nb::handle(state.gate_without_qubits)(gate));
    return tree::generic_visit(self, node);
}

nb::object visit_classical_declaration(nb::handle self, nb::handle node) {
    nb::object identifier = get_attr(node, "identifier"_id);
    if (is_exact(identifier, state.identifier))
        record_declared(self, get_attr(identifier, state.name), typing::holds_durations(get_attr(node, "type"_id)));
    return declare_name(self, node, get_attr(node, "identifier"_id), "a classical variable");
}

nb::object visit_qubit_declaration(nb::handle self, nb::handle node) {
    return declare_name(self, node, get_attr(node, "qubit"_id), "a qubit");
}

// The body is resolved first, against the bank as it stands, so a body calls
// only built-in gates and gates defined before it.
// A barrier without operands in a gate's body is one over the gate's qubits,
// all the qubits that the body sees, not over every qubit of the program
// where the gate is called.
void bound_bare_barriers(nb::handle definition) {
    nb::object body = steal_or_throw(PySequence_Fast(get_attr(definition, state.body).ptr(), "body"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(body.ptr()); ++i) {
        nb::handle statement = PySequence_Fast_GET_ITEM(body.ptr(), i);
        if (!is_exact(statement, state.quantum_barrier)) continue;
        nb::object operands = get_attr(statement, state.qubits);
        if (!PyList_Check(operands.ptr()) || PyList_GET_SIZE(operands.ptr()) != 0) continue;
        nb::object qubits = steal_or_throw(PyList_New(0));
        nb::object formals = steal_or_throw(PyObject_GetIter(get_attr(definition, state.qubits).ptr()));
        while (PyObject* raw = PyIter_Next(formals.ptr())) {
            nb::object formal = nb::steal(raw);
            append_item(qubits, nb::handle(state.identifier)(get_attr(formal, state.name)));
        }
        if (PyErr_Occurred()) throw nb::python_error();
        setattr_interned(statement, state.qubits, qubits);
    }
}

nb::object visit_quantum_gate_definition(nb::handle self, nb::handle node) {
    bound_bare_barriers(node);
    nb::object held = find_item(get_attr(self, state.declared_names), name_of(node));
    if (held.is_valid()) raise_error(nb::handle(state.redeclaration)(node, name_of(node), held, nb::str("a gate")));
    nb::object checker = nb::handle(state.formals_checker)(node);
    nb::object statements = steal_or_throw(PyObject_GetIter(get_attr(node, state.body).ptr()));
    while (PyObject* raw = PyIter_Next(statements.ptr())) {
        nb::object statement = nb::steal(raw);
        tree::visit(checker, statement);
    }
    if (PyErr_Occurred()) throw nb::python_error();
    refuse_unseen_names(node);
    nb::object resolved;
    // While the body is resolved, the calls it makes see its parameters, and
    // no variable of the scopes around it.
    nb::object outer_parameters = get_attr(self, state.enclosing_parameters);
    nb::object outer_first_scope = get_attr(self, state.first_visible_scope);
    setattr_interned(self, state.enclosing_parameters, get_attr(checker, state.parameters));
    setattr_interned(self, state.first_visible_scope, length_object(duration_scopes(self)));
    auto restore = [&] {
        setattr_interned(self, state.enclosing_parameters, outer_parameters);
        setattr_interned(self, state.first_visible_scope, outer_first_scope);
    };
    try {
        resolved = tree::generic_visit(self, node);
        restore();
    } catch (nb::python_error& error) {
        restore();
        if (!error.matches(state.signature_not_found)) throw;
        HandlingError handling(error.value());
        nb::object inner_call = get_attr(error.value(), state.node);
        raise_from(nb::handle(state.missing_definition)(inner_call, signature_of(node)), error.value());
    }
    if (assertions_enabled()) check_assertion(is_instance(resolved, state.quantum_gate_definition));
    ungroup_expansions(resolved);
    const bool drops = leaves_a_qubit_unused(resolved);
    if (state.add_gate.reached_by(self)) add_gate(self, resolved);
    else call_override(self, state.add_gate, {resolved});
    if (drops) check_status(PySet_Add(get_attr(self, state.dropping).ptr(), name_of(resolved).ptr()));
    return nb::none();
}

// --- switch case bodies ---------------------------------------------------------------

// Switches are walked as the library walks them, their target and default
// block; the switch is kept for the check of its case bodies.
nb::object visit_switch_statement(nb::handle self, nb::handle node) {
    RecursionLimitGuard guard(" while expanding gates");
    nb::object result = tree::generic_visit(self, node);
    nb::object switches = nb::getattr(self, state.case_switches, nb::none());
    if (!PyList_CheckExact(switches.ptr())) {
        switches = steal_or_throw(PyList_New(0));
        setattr_interned(self, state.case_switches, switches);
    }
    check_status(PyList_Append(switches.ptr(), node.ptr()));
    return result;
}

// Whether a case body cannot hold `node`: a gate definition, a call of a
// gate of the bank, or such a gate named alone.
bool foreign_to_case_body(nb::handle node, nb::handle bank) {
    if (is_exact(node, state.quantum_gate_definition)) return true;
    if (is_exact(node, state.quantum_gate)) {
        nb::object name = nb::getattr(get_attr(node, state.name), state.name, nb::none());
        return PyUnicode_Check(name.ptr()) && contains(bank, nb::handle(state.gate_signature)(name));
    }
    return is_exact(node, state.expression_statement) &&
           gate_named_alone(get_attr(node, "expression"_id), bank).is_valid();
}

void refuse_in_case_bodies(nb::handle transformer) {
    nb::object switches = nb::getattr(transformer, state.case_switches, nb::none());
    if (!PyList_CheckExact(switches.ptr())) return;
    nb::object bank = get_attr(transformer, state.bank);
    auto foreign = [&](nb::handle node) { return foreign_to_case_body(node, bank); };
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(switches.ptr()); ++i) {
        tree::for_each_case(PyList_GET_ITEM(switches.ptr(), i), [&](Py_ssize_t, nb::handle, nb::handle body) {
            nb::object found = tree::find_first(body, foreign, " while expanding gates");
            if (!found.is_valid()) return false;
            if (is_exact(found, state.expression_statement))
                raise_error(nb::handle(state.gate_without_qubits)(get_attr(get_attr(found, "expression"_id),
                                                                           state.name)));
            nb::object name = nb::getattr(get_attr(found, state.name), state.name, nb::none());
            if (is_exact(found, state.quantum_gate_definition))
                raise_text(PyExc_NotImplementedError,
                           compose({nb::str("The definition of the gate '"), name,
                                    nb::str("' stands in a switch case body, which does not take gate definitions; "
                                            "define the gate at the program's top level.")}));
            nb::object operands = steal_or_throw(PyList_New(0));
            nb::object qubits = steal_or_throw(PySequence_Fast(get_attr(found, state.qubits).ptr(), "qubits"));
            for (Py_ssize_t q = 0; q < PySequence_Fast_GET_SIZE(qubits.ptr()); ++q)
                check_status(PyList_Append(operands.ptr(),
                                           text_of(written_operand(PySequence_Fast_GET_ITEM(qubits.ptr(), q))).ptr()));
            nb::object on = steal_or_throw(PyUnicode_Join(nb::str(", ").ptr(), operands.ptr()));
            raise_text(PyExc_NotImplementedError,
                       compose({nb::str("The call of the program's gate '"), name, nb::str("' on "), on,
                                nb::str(" stands in a switch case body, which does not take calls of the program's "
                                        "own gates; a case body calls the machine's gates only.")}));
        });
    }
}

// ==== MacroExpansionStage ========================================================

nb::object stage_init(nb::handle self, nb::handle built_in_gates) {
    require_set(built_in_gates, "built_in_gates");
    nb::handle super_type(reinterpret_cast<PyObject*>(&PySuper_Type));
    super_type(state.stage, self).attr("__init__")();
    setattr_interned(self, state.stage_built_in_gates, built_in_gates);
    return nb::none();
}

nb::object stage_call(nb::handle self, nb::handle program) {
    if (assertions_enabled()) check_assertion(is_instance(program, state.open_qasm_program));
    nb::object transformer = nb::handle(state.gate_resolver_transformer)(get_attr(self, state.stage_built_in_gates));
    nb::object result = tree::visit(transformer, get_attr(program, state.ast));
    refuse_in_case_bodies(transformer);
    return nb::handle(state.open_qasm_program)(result);
}

}  // namespace

NB_MODULE(macro_expansion_stage, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "corvane.programs", {"Program", "OpenQasmProgram"});
    import_from(m, "corvane.passes.pipeline_phase", {"Step"});
    import_from(m, "openqasm3", {"ast"});
    import_from(m, "openqasm3.visitor", {"QASMVisitor", "QASMTransformer"});
    state.open_qasm_program = keep_attr("corvane.programs", "OpenQasmProgram");
    nb::handle step = keep_attr("corvane.passes.pipeline_phase", "Step");
    nb::object ast = import_module("openqasm3.ast");
    state.quantum_gate = keep(ast.attr("QuantumGate"));
    state.quantum_gate_definition = keep(ast.attr("QuantumGateDefinition"));
    state.expression_statement = keep(ast.attr("ExpressionStatement"));
    state.identifier = keep(ast.attr("Identifier"));
    state.indexed_identifier = keep(ast.attr("IndexedIdentifier"));
    state.integer_literal = keep(ast.attr("IntegerLiteral"));
    state.float_literal = keep(ast.attr("FloatLiteral"));
    state.boolean_literal = keep(ast.attr("BooleanLiteral"));
    state.cast = keep(ast.attr("Cast"));
    state.float_type = keep(ast.attr("FloatType"));
    state.statement = keep(ast.attr("Statement"));
    state.quantum_barrier = keep(ast.attr("QuantumBarrier"));
    state.classical_declaration = keep(ast.attr("ClassicalDeclaration"));
    state.for_in_loop = keep(ast.attr("ForInLoop"));
    state.function_call = keep(ast.attr("FunctionCall"));
    state.logger = Logger::create(m, "corvane.passes.code_resolving.macro_expansion_stage");

    state.name = intern("name");
    state.arguments = intern("arguments");
    state.qubits = intern("qubits");
    state.body = intern("body");
    state.modifiers = intern("modifiers");
    state.node = intern("node");
    state.ast = intern("ast");
    state.args_transformation = intern("args_transformation");
    state.built_in_gates = intern("_built_in_gates");
    state.bank = intern("_signature_to_definition");
    state.gate_definition = intern("gate_definition");
    state.argument_type = intern("argument_type");
    state.definition_signature = intern("definition_signature");
    state.plural = intern("s");
    state.stage_built_in_gates = intern("built_in_gates");
    state.formal = intern("formal");
    state.formal_kind = intern("formal_kind");
    state.used_as = intern("used_as");
    state.parameters = intern("_parameters");
    state.names = intern("names");
    state.dropping = intern("_gates_leaving_qubits_unused");
    state.enclosing_parameters = intern("_enclosing_parameters");
    state.declared_names = intern("_declared_names");
    state.case_switches = intern("_switches");
    state.redeclaration = keep_attr("corvane.passes.parsing.validators", "RedeclarationException");
    state.repeated_qubit = keep_attr("corvane.passes.parsing.validators", "RepeatedQubitException");
    state.gate_without_qubits = keep_attr("corvane.passes.parsing.validators", "GateWithoutQubitsException");
    state.block_depth = intern("_block_depth");
    state.duration_scopes = intern("_duration_scopes");
    state.first_visible_scope = intern("_first_visible_scope");
    state.hardware_qubit = keep_attr("corvane.configurations.hardware_qubit", "HardwareQubit");
    const char* block_statements[] = {"BranchingStatement", "WhileLoop", "ForInLoop",
                                      "CompoundStatement",  "Box",       "QuantumGateDefinition"};
    for (int i = 0; i < 6; ++i) state.block_statements[i] = keep(ast.attr(block_statements[i]));

    state.gate_signature = keep(ClassBuilder(m, "GateSignature")
                                    .doc("The identity of a gate: its name.")
                                    .field("name", "str")
                                    .def_classmethod("from_quantum_gate_definition(cls,"
                                                     " node: ast.QuantumGateDefinition) -> GateSignature",
                                                     signature_from_definition, "The signature of a gate definition.",
                                                     "cls"_arg, "node"_arg)
                                    .build_dataclass(/*frozen=*/true));

    nb::handle resolver_exception = keep(ClassBuilder(m, "GateResolverException", {PyExc_Exception})
                                             .doc("The base of the errors of gate-definition expansion.")
                                             .def("__init__(self, node: ast.QASMNode) -> None",
                                                  resolver_exception_init, "Holds the node at fault.", "node"_arg)
                                             .build());
    state.unresolvable_gate = keep(ClassBuilder(m, "UnresolvableGateException", {resolver_exception})
                                       .doc("A gate call that no definition resolves.")
                                       .build());
    state.signature_not_found = keep(ClassBuilder(m, "SignatureNotFoundException", {state.unresolvable_gate})
                                         .doc("A call of a gate that is neither built in nor defined.")
                                         .def("__str__(self) -> str", signature_not_found_str, "The error's text.")
                                         .build());
    state.arguments_mismatch =
        keep(ClassBuilder(m, "ArgumentsMismatchException", {state.unresolvable_gate})
                 .doc("A call with another number of arguments or qubits than its gate definition.")
                 .def("__init__(self, node: ast.QuantumGate, gate_definition: ast.QuantumGateDefinition,"
                      " argument_type: str) -> None",
                      arguments_mismatch_init, "Holds the call, the definition and which list differs.", "node"_arg,
                      "gate_definition"_arg, "argument_type"_arg)
                 .def("__str__(self) -> str", arguments_mismatch_str, "The error's text.")
                 .build());
    nb::handle definition_exception =
        keep(ClassBuilder(m, "GateDefinitionException", {resolver_exception})
                 .doc("A gate definition that cannot be taken into the gate bank.")
                 .def("__init__(self, node: ast.QASMNode, definition_signature: GateSignature) -> None",
                      definition_exception_init, "Holds the node and the signature of the definition.", "node"_arg,
                      "definition_signature"_arg)
                 .build());
    state.multiple_definitions = keep(ClassBuilder(m, "MultipleDefinitionsException", {definition_exception})
                                          .doc("A second, different definition of a gate, or one of a built-in gate.")
                                          .def("__init__(self, node: ast.QASMNode, definition_signature: "
                                               "GateSignature, built_in: bool = False) -> None",
                                               multiple_definitions_init,
                                               "Holds the node and the signature of the definition, and whether "
                                               "the other definition is the machine profile's operation.",
                                               "node"_arg, "definition_signature"_arg, "built_in"_arg = false)
                                          .def("__str__(self) -> str", multiple_definitions_str, "The error's text.")
                                          .build());
    state.missing_definition = keep(ClassBuilder(m, "MissingDefinitionException", {definition_exception})
                                        .doc("A definition's body calls a gate that is not defined before it.")
                                        .def("__str__(self) -> str", missing_definition_str, "The error's text.")
                                        .build());

    state.misused_formal =
        keep(ClassBuilder(m, "MisusedFormalException", {definition_exception})
                 .doc("A definition's body uses a parameter as a gate or a qubit, or a qubit as a gate or a register.")
                 .def("__init__(self, node: ast.QASMNode, definition_signature: GateSignature, formal: str,"
                      " formal_kind: str, used_as: str) -> None",
                      misused_formal_init, "Holds the statement, the definition's signature and the misused formal.",
                      "node"_arg, "definition_signature"_arg, "formal"_arg, "formal_kind"_arg, "used_as"_arg)
                 .def("__str__(self) -> str", misused_formal_str, "The error's text.")
                 .build());

    state.unseen_name =
        keep(ClassBuilder(m, "UnseenNameException", {definition_exception})
                 .doc("A definition's body names what a gate cannot see: a variable, a qubit or an undeclared name.")
                 .def("__init__(self, node: ast.QASMNode, definition_signature: GateSignature, name: str) -> None",
                      unseen_name_init, "Holds the statement, the definition's signature and the name.", "node"_arg,
                      "definition_signature"_arg, "name"_arg)
                 .def("__str__(self) -> str", unseen_name_str, "The error's text.")
                 .build());

    // The statements of one call of a user gate whose operands include bare
    // names, kept together for the register mapping (see visit_QuantumGate).
    state.expanded_gate_call = keep(ClassBuilder(m, "ExpandedGateCall", {ast.attr("Statement")})
                                        .doc("The statements of one expanded call of a user gate, kept together.")
                                        .field("name", "str")
                                        .field("qubits", "List[Union[IndexedIdentifier, Identifier]]")
                                        .field("body", "List[QuantumStatement]")
                                        .build_dataclass());

    nb::object visitor_base = import_attr("openqasm3.visitor", "QASMVisitor")[nb::none()];
    state.formals_checker = keep(ClassBuilder(m, "_FormalsChecker", {visitor_base})
                                     .def("__init__", formals_checker_init, "definition"_arg)
                                     .visitor_walk()
                                     .def_generic_visit(checker_generic_visit)
                                     .def_handler("visit_QuantumGate", check_gate_call)
                                     .def_handler("visit_QuantumPhase", check_statement_operands)
                                     .def_handler("visit_QuantumBarrier", check_statement_operands)
                                     .def_handler("visit_QuantumReset", check_statement_operands)
                                     .def_handler("visit_DelayInstruction", check_statement_operands)
                                     .def_handler("visit_QuantumMeasurement", check_measurement)
                                     .def_handler("visit_Identifier", check_value_name)
                                     .build());
    state.name_collector = keep(ClassBuilder(m, "_NameCollector", {visitor_base})
                                    .def("__init__", name_collector_init)
                                    .visitor_walk()
                                    .def_handler("visit_Identifier", collect_name)
                                    .build());

    nb::object transformer_base = import_attr("openqasm3.visitor", "QASMTransformer")[nb::none()];
    state.identifier_transformer =
        keep(ClassBuilder(m, "_IdentifierTransformer", {transformer_base})
                 .def("__init__", identifier_transformer_init, "args_transformation"_arg)
                 .transformer_walk()
                 .def_generic_visit(identifier_transformer_generic_visit)
                 .def_handler("visit_Identifier", visit_identifier)
                 .def("transform_statements_of_gate_definition", transform_statements_of_gate_definition,
                      "gate_def"_arg)
                 .build());
    state.transform_statements = OwnMethod::of(state.identifier_transformer, "transform_statements_of_gate_definition");

    nb::handle resolver =
        keep(ClassBuilder(m, "_GateResolverTransformer", {transformer_base})
                 .def("__init__", resolver_init, "built_in_gates"_arg)
                 .transformer_walk()
                 .def_generic_visit(resolver_generic_visit)
                 .def_handler("visit_QuantumGateDefinition", visit_quantum_gate_definition)
                 .def_handler("visit_ExpressionStatement", visit_expression_statement)
                 .def_handler("visit_ClassicalDeclaration", visit_classical_declaration)
                 .def_handler("visit_IODeclaration", visit_classical_declaration)
                 .def_handler("visit_QubitDeclaration", visit_qubit_declaration)
                 .def("_add_gate", add_gate, "node"_arg)
                 .def_handler("visit_QuantumGate", visit_quantum_gate)
                 .def_handler("visit_SwitchStatement", visit_switch_statement)
                 .def("resolve_gate_definition", resolve_gate_definition, "node"_arg)
                 .def("_is_built_in", is_built_in, "node"_arg)
                 .def_static("_find_best_matching_signature", find_best_matching_signature, "node"_arg,
                             "collection"_arg)
                 .def("_get_gate_definition", get_gate_definition, "node"_arg)
                 .def_static("_validate_calling_arguments", validate_calling_arguments, "gate_def"_arg, "node"_arg)
                 .def("_log_found_definition", log_found_definition, "node"_arg, "gate_definition"_arg)
                 .def_static("_get_gate_transformation", get_gate_transformation, "gate_def"_arg, "node"_arg)
                 .build());
    state.gate_resolver_transformer = resolver;
    state.add_gate = OwnMethod::of(resolver, "_add_gate");
    state.resolve_gate_definition = OwnMethod::of(resolver, "resolve_gate_definition");
    state.is_built_in = OwnMethod::of(resolver, "_is_built_in");
    state.find_signature = OwnMethod::of(resolver, "_find_best_matching_signature");
    state.get_gate_definition = OwnMethod::of(resolver, "_get_gate_definition");
    state.validate_calling_arguments = OwnMethod::of(resolver, "_validate_calling_arguments");
    state.log_found_definition = OwnMethod::of(resolver, "_log_found_definition");
    state.get_gate_transformation = OwnMethod::of(resolver, "_get_gate_transformation");

    state.stage = keep(ClassBuilder(m, "MacroExpansionStage", {step})
                           .doc("The code-resolving step that expands calls of user gates into the gates' bodies.")
                           .def("__init__(self, built_in_gates: set[GateSignature]) -> None", stage_init,
                                "Expands every gate that is not among the built-in ones.", "built_in_gates"_arg)
                           .def("__call__(self, program: Program) -> OpenQasmProgram", stage_call,
                                "Expands the gate definitions of the program's tree.", "program"_arg)
                           .build());
}
