// Places the declared qubit registers on the machine's hardware qubits: the
// registers receive, in declaration order, the lowest hardware qubits that the
// program does not name explicitly, every reference to a register becomes a
// HardwareQubit node and the qubit declarations are dropped.
//
// A whole register as an operand means each of its qubits: an operation on
// registers of n qubits runs n times, the i-th time on qubit i of each, and a
// barrier, a delay or a global phase covers all of them at once. A register
// of one qubit is that qubit, except that a declared register of one qubit
// (`qubit[1] a`) is a register still: broadcast with a larger one, it is
// refused for its size.
//
// A gate call that names one qubit twice among its operands, once the
// registers are spread, is refused, and so is a measurement of one qubit
// into an array of another size, a qubit used before its declaration and a
// qubit that shares its name with a classical variable. A barrier without
// operands covers every qubit the program uses.
//
// The lowering takes only hardware qubits as operands, so every operand
// outside switch case bodies that names no qubit is refused here, by name,
// and so is a register's name where no operand stands.
#include <vector>

#include "corvane/native/support.h"
#include "corvane/native/tree_copy.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

struct ModuleState {
    nb::handle open_qasm_program;
    nb::handle create_hardware_qubit;
    nb::handle extract_single_index;
    nb::handle step_init;
    nb::handle collector;
    nb::handle resolver;
    nb::handle multiple_definition;
    nb::handle calling_unsupported;
    nb::handle too_many;
    nb::handle identifier;
    nb::handle indexed_identifier;
    nb::handle integer_literal;
    nb::handle bit_type;
    nb::handle classical_declaration, quantum_measurement, measurement_statement;
    nb::handle vyr_arr;
    nb::handle broadcast_instance;
    nb::handle hardware_qubit, not_a_qubit, misused_register;
    nb::handle register_size, used_before_declaration, redeclaration, repeated_qubit;
    nb::handle range_definition, discrete_set, unary_expression, minus, boolean_literal;
} state;

Py_ssize_t size_of(nb::handle value) {
    Py_ssize_t size = PyObject_Size(value.ptr());
    if (size < 0) throw nb::python_error();
    return size;
}

bool is_exact_identifier(nb::handle node) {
    return reinterpret_cast<PyObject*>(Py_TYPE(node.ptr())) == state.identifier.ptr();
}

bool compare(nb::handle a, nb::handle b, int op) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    check_status(result);
    return result != 0;
}

// --- errors -------------------------------------------------------------------

nb::object multiple_definition_init(nb::handle self, nb::handle name) {
    require_str(name, "name");
    nb::setattr(self, "qubit_name", name);
    return nb::none();
}

nb::object multiple_definition_str(nb::handle self) {
    return compose({nb::str("Multiple definition of same qubit: '"), nb::getattr(self, "qubit_name"), nb::str("'")});
}

nb::object calling_unsupported_init(nb::handle self, nb::handle unsupported_qubits) {
    require_set(unsupported_qubits, "unsupported_qubits");
    nb::setattr(self, "unsupported_qubits", unsupported_qubits);
    return nb::none();
}

// The numbers ascending where they compare, else in the set's own order.
nb::object listed_in_order(nb::handle values) {
    nb::object list = steal_or_throw(PySequence_List(values.ptr()));
    if (PyList_Sort(list.ptr()) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
        PyErr_Clear();
        list = steal_or_throw(PySequence_List(values.ptr()));
    }
    return list;
}

nb::object calling_unsupported_str(nb::handle self) {
    nb::object numbers = listed_in_order(nb::getattr(self, "unsupported_qubits"));
    nb::list entries;
    for (nb::handle number : numbers) entries.append(compose({nb::str("'$"), number, nb::str("'")}));
    nb::object joined = nb::str(", ").attr("join")(entries);
    return compose({nb::str("The explicitly called qubits ["), joined, nb::str("] are not supported by the system.")});
}

nb::object too_many_init(nb::handle self, nb::handle required_qubits, nb::handle supported_qubits) {
    nb::object required = int_argument(required_qubits, "required_qubits");
    nb::object supported = int_argument(supported_qubits, "supported_qubits");
    nb::setattr(self, "required_qubits", required);
    nb::setattr(self, "supported_qubits", supported);
    return nb::none();
}

nb::object too_many_str(nb::handle self) {
    return compose({nb::str("This code requires "), nb::getattr(self, "required_qubits"),
                    nb::str(", but the hardware support only "), nb::getattr(self, "supported_qubits"),
                    nb::str(" qubits.")});
}

// How the program writes an index or an operand, as far as a message needs it:
// literals and names as written, anything else by its node class.
nb::object written(nb::handle node);

nb::object written_index(nb::handle group) {
    if (is_instance(group, state.discrete_set)) {
        nb::list values;
        for (nb::handle value : get_attr(group, "values"_id)) values.append(written(value));
        return compose({nb::str("[{"), nb::str(", ").attr("join")(values), nb::str("}]")});
    }
    nb::list parts;
    for (nb::handle index : group) parts.append(written(index));
    return compose({nb::str("["), nb::str(", ").attr("join")(parts), nb::str("]")});
}

nb::object written(nb::handle node) {
    RecursionLimitGuard guard(" while writing a qubit operand");
    if (node.is_none()) return nb::str("");
    if (is_instance(node, state.integer_literal)) return text_of(get_attr(node, "value"_id));
    if (is_instance(node, state.boolean_literal)) return nb::str(truth(get_attr(node, "value"_id)) ? "true" : "false");
    if (is_instance(node, state.identifier)) return get_attr(node, "name"_id);
    if (is_instance(node, state.hardware_qubit)) return get_attr(node, "name"_id);
    if (is_instance(node, state.unary_expression) && get_attr(node, "op"_id).is(state.minus))
        return compose({nb::str("-"), written(get_attr(node, "expression"_id))});
    if (is_instance(node, state.range_definition)) {
        nb::object step = get_attr(node, "step"_id);
        nb::object start = written(get_attr(node, "start"_id));
        nb::object end = written(get_attr(node, "end"_id));
        if (step.is_none()) return compose({start, nb::str(":"), end});
        return compose({start, nb::str(":"), written(step), nb::str(":"), end});
    }
    if (is_instance(node, state.indexed_identifier)) {
        nb::object text = written(get_attr(node, "name"_id));
        for (nb::handle group : get_attr(node, "indices"_id)) text = compose({text, written_index(group)});
        return text;
    }
    nb::object value = find_item(steal_or_throw(PyObject_GenericGetDict(node.ptr(), nullptr)), "value"_id);
    if (value.is_valid()) return text_of(value);
    return compose({nb::str("<"), class_name(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(node.ptr())))),
                    nb::str(">")});
}

// The register or variable name that an operand refers to, or an empty object.
nb::object referred_name(nb::handle operand) {
    if (is_exact_identifier(operand)) return get_attr(operand, "name"_id);
    if (!is_instance(operand, state.indexed_identifier)) return nb::object();
    nb::object name = get_attr(operand, "name"_id);
    if (!is_instance(name, state.identifier)) return nb::object();
    return get_attr(name, "name"_id);
}

nb::object not_a_qubit_init(nb::handle self, nb::handle node, nb::handle operation, nb::handle classical) {
    require_str(operation, "operation");
    nb::setattr(self, "node", node);
    nb::setattr(self, "operation", operation);
    nb::setattr(self, "classical", nb::bool_(truth(classical)));
    return nb::none();
}

nb::object not_a_qubit_str(nb::handle self) {
    nb::object node = nb::getattr(self, "node");
    nb::object operation = nb::getattr(self, "operation");
    nb::object name = referred_name(node);
    if (!name.is_valid())
        return compose({nb::str("An operand of '"), operation, nb::str("' is not a qubit: "), written(node),
                        nb::str(".")});
    nb::object why = truth(nb::getattr(self, "classical"))
                         ? compose({nb::str("'"), name, nb::str("' is a classical variable.")})
                         : compose({nb::str("no qubit register '"), name, nb::str("' is declared.")});
    return compose({nb::str("'"), written(node), nb::str("', an operand of '"), operation,
                    nb::str("', is not a qubit: "), why});
}

nb::object misused_register_init(nb::handle self, nb::handle name, nb::handle used_as) {
    require_str(name, "name");
    require_str(used_as, "used_as");
    nb::setattr(self, "register_name", name);
    nb::setattr(self, "used_as", used_as);
    return nb::none();
}

nb::object misused_register_str(nb::handle self) {
    return compose({nb::str("The qubit register '"), nb::getattr(self, "register_name"), nb::str("' is used as "),
                    nb::getattr(self, "used_as"),
                    nb::str("; a qubit is only an operand of a gate, measure, reset, barrier, delay or gphase.")});
}

nb::object used_before_declaration_init(nb::handle self, nb::handle name) {
    require_str(name, "name");
    nb::setattr(self, "qubit_name", name);
    return nb::none();
}

nb::object used_before_declaration_str(nb::handle self) {
    return compose({nb::str("The qubit '"), nb::getattr(self, "qubit_name"),
                    nb::str("' is used before its declaration; a qubit is declared before the statements that use "
                            "it.")});
}

// --- _QubitsCollector -------------------------------------------------------------

nb::object collector_init(nb::handle self) {
    set_attr(self, "declaration_to_size"_id, nb::dict());
    set_attr(self, "explicitly_stated_hardware_qubits"_id, steal_or_throw(PySet_New(nullptr)));
    return nb::none();
}

nb::object collect_qubit_declaration(nb::handle self, nb::handle node) {
    nb::object name = get_attr(get_attr(node, "qubit"_id), "name"_id);
    nb::object sizes = get_attr(self, "declaration_to_size"_id);
    int known = PySequence_Contains(sizes.ptr(), name.ptr());
    check_status(known);
    if (known) raise_error(steal_or_throw(PyObject_CallOneArg(state.multiple_definition.ptr(), name.ptr())));
    nb::object size = get_attr(node, "size"_id);
    nb::object recorded;
    if (size.is_none()) {
        recorded = nb::int_(1);
    } else {
        if (!is_instance(size, state.integer_literal))
            raise_text(PyExc_AssertionError,
                       compose({nb::str("No expression size is allowed: the size '"), written(size),
                                nb::str("' of the qubit register '"), name, nb::str("' is not a constant integer.")}));
        recorded = get_attr(size, "value"_id);
    }
    check_status(PyObject_SetItem(sizes.ptr(), name.ptr(), recorded.ptr()));
    return nb::none();
}

nb::object collect_hardware_qubit(nb::handle self, nb::handle node) {
    nb::object qubits = get_attr(self, "explicitly_stated_hardware_qubits"_id);
    nb::object index = get_attr(node, "index"_id);
    if (PySet_CheckExact(qubits.ptr())) check_status(PySet_Add(qubits.ptr(), index.ptr()));
    else steal_or_throw(PyObject_CallMethod(qubits.ptr(), "add", "O", index.ptr()));
    return nb::none();
}

// --- the mapping ---------------------------------------------------------------------

nb::object map_declared_qubits(nb::handle declaration_to_size, nb::handle explicitly_stated_hardware_qubits,
                               nb::handle machine_profile) {
    require_dict(declaration_to_size, "declaration_to_size");
    require_set(explicitly_stated_hardware_qubits, "explicitly_stated_hardware_qubits");
    nb::object keys = nb::getattr(get_attr(machine_profile, "hardware_qubits"_id), "keys")();
    nb::object pool = steal_or_throw(PySet_New(keys.ptr()));

    // A register cannot hold fewer than no qubits; its size would shrink the
    // count and make the registers after it overlap the ones before.
    nb::object zero = nb::int_(0);
    nb::object required = nb::int_(PySet_GET_SIZE(explicitly_stated_hardware_qubits.ptr()));
    nb::object entries = steal_or_throw(PyDict_Items(declaration_to_size.ptr()));
    for (nb::handle entry : entries) {
        nb::handle name = PyTuple_GET_ITEM(entry.ptr(), 0);
        nb::handle size = PyTuple_GET_ITEM(entry.ptr(), 1);
        if (compare(size, zero, Py_LT))
            raise_text(PyExc_ValueError, compose({nb::str("The qubit register '"), name,
                                                  nb::str("' is declared with the negative size "), size,
                                                  nb::str(".")}));
        required = steal_or_throw(PyNumber_Add(required.ptr(), size.ptr()));
    }
    nb::object available = nb::int_(PySet_GET_SIZE(pool.ptr()));
    if (compare(required, available, Py_GT)) raise_error(nb::handle(state.too_many)(required, available));

    nb::object unsupported = steal_or_throw(PyNumber_Subtract(explicitly_stated_hardware_qubits.ptr(), pool.ptr()));
    if (PySet_GET_SIZE(unsupported.ptr()) > 0) raise_error(nb::handle(state.calling_unsupported)(unsupported));

    nb::object remaining = steal_or_throw(PyNumber_Subtract(pool.ptr(), explicitly_stated_hardware_qubits.ptr()));
    nb::object free_list = steal_or_throw(PySequence_List(remaining.ptr()));
    check_status(PyList_Sort(free_list.ptr()));
    nb::object free_qubits = steal_or_throw(PyList_AsTuple(free_list.ptr()));

    nb::dict mapping;
    nb::object position = nb::int_(0);
    for (nb::handle entry : entries) {
        nb::handle name = PyTuple_GET_ITEM(entry.ptr(), 0);
        nb::handle size = PyTuple_GET_ITEM(entry.ptr(), 1);
        nb::object stop = steal_or_throw(PyNumber_Add(position.ptr(), size.ptr()));
        nb::object slice = steal_or_throw(PySlice_New(position.ptr(), stop.ptr(), nullptr));
        mapping[name] = steal_or_throw(PyObject_GetItem(free_qubits.ptr(), slice.ptr()));
        position = stop;
    }
    return mapping;
}

// --- _QubitsResolver -------------------------------------------------------------------

nb::object resolver_init(nb::handle self, nb::handle qubits_mapping) {
    require_dict(qubits_mapping, "qubits_mapping");
    set_attr(self, "_qubits_mapping"_id, qubits_mapping);
    set_attr(self, "_target_sizes"_id, nb::dict());
    set_attr(self, "_classical_names"_id, steal_or_throw(PySet_New(nullptr)));
    // The registers declared with a size, as the walk meets their declarations.
    set_attr(self, "_sized_registers"_id, steal_or_throw(PySet_New(nullptr)));
    // The step fills these from the collection: the registers whose
    // declaration the walk has not met yet, and the hardware qubits that the
    // program names.
    set_attr(self, "_undeclared_registers"_id, steal_or_throw(PySet_New(nullptr)));
    set_attr(self, "_explicit_qubits"_id, steal_or_throw(PySet_New(nullptr)));
    // One frame per open block, as the walk enters it: what each name
    // declared in the block meant before it.
    set_attr(self, "_block_frames"_id, steal_or_throw(PyList_New(0)));
    return nb::none();
}

// The register's qubits when `name` names a register, else an empty object.
// A classical variable in scope is never the register of its name: qubits are
// declared in the program's own scope, so that register is declared after
// the variable's block ends, and one of the program's own scope cannot share
// the variable's name.
nb::object register_qubits(nb::handle self, nb::handle name) {
    nb::object qubits = find_item(get_attr(self, "_qubits_mapping"_id), name);
    if (qubits.is_valid() && contains(get_attr(self, "_classical_names"_id), name)) return nb::object();
    return qubits;
}

// A register named as an operand before its declaration would take qubits
// that the program has not declared yet.
void refuse_undeclared(nb::handle self, nb::handle name) {
    if (contains(get_attr(self, "_undeclared_registers"_id), name))
        raise_error(nb::handle(state.used_before_declaration)(name));
}

// The qubits of the register that an operand names, or an empty object.
nb::object operand_register(nb::handle self, nb::handle name) {
    nb::object qubits = register_qubits(self, name);
    if (qubits.is_valid()) refuse_undeclared(self, name);
    return qubits;
}

nb::object hardware_qubit_at(nb::handle qubits, nb::handle position) {
    nb::object number = steal_or_throw(PyObject_GetItem(qubits.ptr(), position.ptr()));
    return steal_or_throw(PyObject_CallOneArg(state.create_hardware_qubit.ptr(), number.ptr()));
}

nb::object count_of(nb::handle qubits) {
    const Py_ssize_t size = size_of(qubits);
    nb::object count = steal_or_throw(PyLong_FromSsize_t(size));
    return compose({count, nb::str(size == 1 ? " qubit" : " qubits")});
}

// The qubit at `position` of the register `name`; a negative position counts from its end.
nb::object register_qubit(nb::handle name, nb::handle qubits, nb::handle position) {
    try {
        return hardware_qubit_at(qubits, position);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_IndexError)) throw;
    }
    raise_text(PyExc_IndexError,
               compose({nb::str("Index "), position, nb::str(" is out of range for the qubit register '"), name,
                        nb::str("' of "), count_of(qubits), nb::str(".")}));
}

nb::object hardware_qubit_at(nb::handle qubits, Py_ssize_t position) {
    return hardware_qubit_at(qubits, steal_or_throw(PyLong_FromSsize_t(position)));
}

// A bare register name as an operand stands for the register's first qubit
// where the statement handlers below do not spread it over the register.
nb::object map_bare_operand(nb::handle self, nb::handle node) {
    nb::object name = get_attr(node, "name"_id);
    nb::object qubits = operand_register(self, name);
    if (!qubits.is_valid()) return nb::borrow(node);
    if (size_of(qubits) == 0)
        raise_text(PyExc_IndexError, compose({nb::str("The qubit register '"), name,
                                              nb::str("' is declared with size 0 and holds no qubit.")}));
    return hardware_qubit_at(qubits, nb::int_(0));
}

// An index of a form that names no one qubit, refused under `-O` too.
[[noreturn]] void refuse_index(const char* rule, nb::handle node, const char* does, nb::handle name,
                               nb::handle how) {
    raise_text(PyExc_AssertionError, compose({nb::str(rule), nb::str(": '"), written(node), nb::str("' "),
                                              nb::str(does), nb::str(" the qubit register '"), name, nb::str("' "),
                                              how, nb::str(".")}));
}

// The register that an indexed reference indexes, or an empty object.
nb::object indexed_register(nb::handle self, nb::handle node, nb::object& register_name) {
    nb::object name = get_attr(node, "name"_id);
    if (!is_instance(name, state.identifier)) return nb::object();
    register_name = get_attr(name, "name"_id);
    return register_qubits(self, register_name);
}

nb::object map_indexed_operand(nb::handle self, nb::handle node) {
    nb::object register_name;
    nb::object qubits = indexed_register(self, node, register_name);
    if (!qubits.is_valid()) return nb::borrow(node);
    refuse_undeclared(self, register_name);
    nb::object indices = get_attr(node, "indices"_id);
    Py_ssize_t count = PyObject_Size(indices.ptr());
    if (count < 0) throw nb::python_error();
    if (count != 1) {
        nb::object times = steal_or_throw(PyLong_FromSsize_t(count));
        refuse_index("Only 1-length indexing is allowed", node, "indexes", register_name,
                     compose({times, nb::str(" times")}));
    }
    nb::object group = steal_or_throw(PySequence_GetItem(indices.ptr(), 0));
    // A slice or a set of indices stands for several qubits, where the
    // operation takes one.
    if (is_instance(group, state.discrete_set))
        raise_text(PyExc_NotImplementedError, compose({nb::str("Index sets of qubit registers are not lowered: '"),
                                                       written(node), nb::str("'.")}));
    if (PyList_Check(group.ptr()) && PyList_GET_SIZE(group.ptr()) == 1 &&
        is_instance(PyList_GET_ITEM(group.ptr(), 0), state.range_definition))
        raise_text(PyExc_NotImplementedError, compose({nb::str("Slices of qubit registers are not lowered: '"),
                                                       written(node), nb::str("'.")}));
    if (PyList_Check(group.ptr()) && PyList_GET_SIZE(group.ptr()) != 1) {
        nb::object many = steal_or_throw(PyLong_FromSsize_t(PyList_GET_SIZE(group.ptr())));
        refuse_index("Only single index is supported", node, "gives", register_name,
                     compose({many, nb::str(" indices")}));
    }
    nb::object index = steal_or_throw(PyObject_CallOneArg(state.extract_single_index.ptr(), group.ptr()));
    if (!is_instance(index, state.integer_literal)) {
        const bool negative = is_instance(index, state.unary_expression) && get_attr(index, "op"_id).is(state.minus);
        refuse_index("Only explicit qubit pointers are supported", node, "indexes", register_name,
                     nb::str(negative ? "from its end, which is not lowered"
                                      : "by an expression, not by an integer literal"));
    }
    return register_qubit(register_name, qubits, get_attr(index, "value"_id));
}

// The walk reaches a register's name only where no qubit operand stands: the
// statement handlers map their operands themselves. There a hardware qubit
// would meet the lowering as a variable or a gate of a name the program
// never wrote.
[[noreturn]] void refuse_register(nb::handle name, const char* used_as) {
    raise_error(nb::handle(state.misused_register)(name, nb::str(used_as)));
}

nb::object resolve_identifier(nb::handle self, nb::handle node) {
    nb::object name = get_attr(node, "name"_id);
    if (register_qubits(self, name).is_valid()) refuse_register(name, "a classical variable");
    return nb::borrow(node);
}

nb::object resolve_indexed_identifier(nb::handle self, nb::handle node) {
    nb::object register_name;
    if (indexed_register(self, node, register_name).is_valid()) refuse_register(register_name, "a classical variable");
    return nb::borrow(node);
}

// --- operands that must be qubits ---------------------------------------------------

// Refuses an operand that the mapping left as it was: it names no qubit
// register, or names a classical variable, or is no name at all. An unbound
// `$` name is left to the lowering, as it stands for a hardware qubit.
void require_qubit(nb::handle self, nb::handle operand, nb::handle operation) {
    if (is_instance(operand, state.hardware_qubit)) return;
    nb::object name = referred_name(operand);
    if (name.is_valid() && is_exact_identifier(operand) && PyUnicode_Check(name.ptr()) &&
        PyUnicode_GetLength(name.ptr()) > 0 && PyUnicode_READ_CHAR(name.ptr(), 0) == '$')
        return;
    const bool classical = name.is_valid() && contains(get_attr(self, "_classical_names"_id), name);
    raise_error(nb::handle(state.not_a_qubit)(operand, operation, nb::bool_(classical)));
}

// The hardware qubit that an operand names.
nb::object map_operand(nb::handle self, nb::handle operand, nb::handle operation) {
    nb::object mapped;
    PyObject* kind = reinterpret_cast<PyObject*>(Py_TYPE(operand.ptr()));
    if (kind == state.identifier.ptr()) mapped = map_bare_operand(self, operand);
    else if (kind == state.indexed_identifier.ptr()) mapped = map_indexed_operand(self, operand);
    else mapped = tree::visit(self, operand);
    require_qubit(self, mapped, operation);
    return mapped;
}

// Maps the operands in the node's field `field` (one node or a list, which is
// rewritten in place).
void map_operands(nb::handle self, nb::handle node, nb::handle field, nb::handle operation) {
    nb::object operands = get_attr(node, field);
    if (tree::is_node(operands)) {
        set_attr(node, field, map_operand(self, operands, operation));
        return;
    }
    nb::object items = steal_or_throw(PySequence_List(operands.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        nb::object mapped = map_operand(self, PyList_GET_ITEM(items.ptr(), i), operation);
        check_status(PyList_SetItem(items.ptr(), i, mapped.release().ptr()));
    }
    if (PyList_Check(operands.ptr())) check_status(PyList_SetSlice(operands.ptr(), 0, PY_SSIZE_T_MAX, items.ptr()));
    else set_attr(node, field, items);
}

// The name of a called gate as the program writes it.
nb::object gate_name(nb::handle node) {
    nb::object called = get_attr(node, "name"_id);
    if (is_instance(called, state.identifier)) return get_attr(called, "name"_id);
    return written(called);
}

nb::object resolve_measurement_operand(nb::handle self, nb::handle node) {
    map_operands(self, node, "qubit"_id, nb::str("measure"));
    return tree::generic_visit(self, node);
}


// A qubit declaration leaves the tree; from here on its register may be
// used. A classical variable declared before it under its name is refused,
// as one declared after it is: every use of the name would mean the qubit.
nb::object resolve_qubit_declaration(nb::handle self, nb::handle node) {
    nb::object name = get_attr(get_attr(node, "qubit"_id), "name"_id);
    if (contains(get_attr(self, "_classical_names"_id), name))
        raise_error(call(state.redeclaration, node, name, nb::str("a classical variable"), nb::str("a qubit")));
    call_method(get_attr(self, "_undeclared_registers"_id), "discard"_id, name);
    if (!get_attr(node, "size"_id).is_none()) call_method(get_attr(self, "_sized_registers"_id), "add"_id, name);
    return nb::none();
}

// --- broadcasting over registers ----------------------------------------------------

// The operands of one statement that are bare names of registers of two or
// more qubits, or of a register declared with the size one. Other registers
// of one qubit are single qubits, and a reference to a register of none
// keeps failing as every reference to it does.
struct RegisterOperands {
    std::vector<Py_ssize_t> positions;
    std::vector<nb::object> names;
    std::vector<nb::object> qubits;

    bool empty() const { return positions.empty(); }
};

// The qubits of the register that `operand` names bare, when it has two or more.
nb::object spread_register(nb::handle self, nb::handle operand) {
    if (!is_exact_identifier(operand)) return nb::object();
    nb::object qubits = operand_register(self, get_attr(operand, "name"_id));
    if (!qubits.is_valid() || size_of(qubits) < 2) return nb::object();
    return qubits;
}

// The one qubit of a register that `operand` names bare, declared as `qubit[1]`.
nb::object sized_single_register(nb::handle self, nb::handle operand) {
    if (!is_exact_identifier(operand)) return nb::object();
    nb::object name = get_attr(operand, "name"_id);
    if (!contains(get_attr(self, "_sized_registers"_id), name)) return nb::object();
    nb::object qubits = operand_register(self, name);
    if (!qubits.is_valid() || size_of(qubits) != 1) return nb::object();
    return qubits;
}

RegisterOperands find_registers(nb::handle self, nb::handle operands) {
    RegisterOperands found;
    nb::object items = steal_or_throw(PySequence_Fast(operands.ptr(), "qubit operands must be a sequence"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.ptr()); ++i) {
        nb::object operand = nb::borrow(PySequence_Fast_GET_ITEM(items.ptr(), i));
        nb::object qubits = spread_register(self, operand);
        if (!qubits.is_valid()) qubits = sized_single_register(self, operand);
        if (!qubits.is_valid()) continue;
        found.positions.push_back(i);
        found.names.push_back(get_attr(operand, "name"_id));
        found.qubits.push_back(qubits);
    }
    return found;
}

// The one size of the registers an operation runs over, or the error that names them all.
Py_ssize_t common_size(nb::handle operation, const RegisterOperands& registers) {
    const Py_ssize_t size = size_of(registers.qubits.front());
    bool same = true;
    for (const nb::object& qubits : registers.qubits) same = same && size_of(qubits) == size;
    if (same) return size;
    nb::list described;
    nb::list seen;
    for (size_t i = 0; i < registers.names.size(); ++i) {
        if (contains(seen, registers.names[i])) continue;
        seen.append(registers.names[i]);
        nb::object count = steal_or_throw(PyLong_FromSsize_t(size_of(registers.qubits[i])));
        const bool one = size_of(registers.qubits[i]) == 1;
        described.append(compose({nb::str("'"), registers.names[i], nb::str("' has "), count,
                                  nb::str(one ? " qubit" : " qubits")}));
    }
    nb::object listed = nb::str(", ").attr("join")(described);
    raise_error(call(state.register_size, compose({nb::str("Cannot broadcast '"), operation,
                                                   nb::str("' over registers of different sizes: "), listed,
                                                   nb::str(".")})));
}

// `node` followed by count - 1 deep copies of it, all taken before any of them changes.
std::vector<nb::object> instances(nb::handle node, Py_ssize_t count) {
    std::vector<nb::object> made{nb::borrow(node)};
    for (Py_ssize_t i = 1; i < count; ++i) made.push_back(tree::deep_copy(node));
    return made;
}

// The operands with qubit `index` of each spread register in place.
nb::object operands_of_instance(nb::handle given, const RegisterOperands& registers, Py_ssize_t index) {
    nb::object operands = steal_or_throw(PySequence_List(given.ptr()));
    for (size_t r = 0; r < registers.positions.size(); ++r) {
        nb::object qubit = hardware_qubit_at(registers.qubits[r], index);
        check_status(PyList_SetItem(operands.ptr(), registers.positions[r], qubit.release().ptr()));
    }
    return operands;
}

// How the program writes each operand, read before the mapping replaces them.
nb::object written_operands_of(nb::handle operands) {
    nb::object texts = steal_or_throw(PyList_New(0));
    if (tree::is_node(operands)) {
        append_item(texts, written(operands));
        return texts;
    }
    nb::object items = steal_or_throw(PySequence_Fast(operands.ptr(), "qubit operands must be a sequence"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.ptr()); ++i)
        append_item(texts, written(PySequence_Fast_GET_ITEM(items.ptr(), i)));
    return texts;
}

// Refuses one run of a gate call whose operands name one hardware qubit
// twice: the implementation would get one element as two of its qubits. The
// qubit is named as the program writes it, `q[i]` for the run's qubit of a
// spread register `q`.
void refuse_repeated(nb::handle gate, nb::handle operands, nb::handle written_operands,
                     const RegisterOperands& registers, Py_ssize_t instance) {
    nb::object items = steal_or_throw(PySequence_Fast(operands.ptr(), "qubit operands must be a sequence"));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.ptr());
    for (Py_ssize_t i = 1; i < count; ++i) {
        nb::handle later = PySequence_Fast_GET_ITEM(items.ptr(), i);
        if (!is_instance(later, state.hardware_qubit)) continue;
        for (Py_ssize_t j = 0; j < i; ++j) {
            nb::handle earlier = PySequence_Fast_GET_ITEM(items.ptr(), j);
            if (!is_instance(earlier, state.hardware_qubit) ||
                !compare(get_attr(earlier, "index"_id), get_attr(later, "index"_id), Py_EQ))
                continue;
            nb::object qubit;
            for (size_t r = 0; r < registers.positions.size() && !qubit.is_valid(); ++r)
                if (registers.positions[r] == j)
                    qubit = compose({registers.names[r], nb::str("["),
                                     steal_or_throw(PyLong_FromSsize_t(instance)), nb::str("]")});
            if (!qubit.is_valid()) qubit = steal_or_throw(PySequence_GetItem(written_operands.ptr(), j));
            raise_error(call(state.repeated_qubit, gate, qubit));
        }
    }
}

// A gate call on registers runs once per qubit index.
nb::object resolve_quantum_gate(nb::handle self, nb::handle node) {
    RegisterOperands registers = find_registers(self, get_attr(node, "qubits"_id));
    nb::object called = get_attr(node, "name"_id);
    nb::object name = gate_name(node);
    if (is_exact_identifier(called) && register_qubits(self, name).is_valid()) refuse_register(name, "a gate");
    nb::object written_operands = written_operands_of(get_attr(node, "qubits"_id));
    map_operands(self, node, "qubits"_id, name);
    nb::object walked = tree::generic_visit(self, node);
    if (registers.empty()) {
        refuse_repeated(name, get_attr(walked, "qubits"_id), written_operands, registers, 0);
        return walked;
    }
    const Py_ssize_t count = common_size(name, registers);
    std::vector<nb::object> calls = instances(walked, count);
    nb::object result = steal_or_throw(PyList_New(0));
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::object operands = operands_of_instance(get_attr(calls[i], "qubits"_id), registers, i);
        refuse_repeated(name, operands, written_operands, registers, i);
        set_attr(calls[i], "qubits"_id, operands);
        check_status(PyList_Append(result.ptr(), calls[i].ptr()));
    }
    return result;
}

// A barrier, a delay or a global phase on a register covers all its qubits
// in one statement: each acts on its qubits together, not on each alone.
nb::object spread_operands(nb::handle self, nb::handle node, const char* operation) {
    RegisterOperands registers = find_registers(self, get_attr(node, "qubits"_id));
    map_operands(self, node, "qubits"_id, nb::str(operation));
    nb::object walked = tree::generic_visit(self, node);
    if (registers.empty()) return walked;
    nb::object given = steal_or_throw(PySequence_List(get_attr(walked, "qubits"_id).ptr()));
    nb::object operands = steal_or_throw(PyList_New(0));
    size_t next = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(given.ptr()); ++i) {
        if (next < registers.positions.size() && registers.positions[next] == i) {
            nb::handle qubits = registers.qubits[next++];
            for (Py_ssize_t k = 0; k < size_of(qubits); ++k)
                check_status(PyList_Append(operands.ptr(), hardware_qubit_at(qubits, k).ptr()));
        } else {
            check_status(PyList_Append(operands.ptr(), PyList_GET_ITEM(given.ptr(), i)));
        }
    }
    set_attr(walked, "qubits"_id, operands);
    return walked;
}

nb::object resolve_phase(nb::handle self, nb::handle node) { return spread_operands(self, node, "gphase"); }
// A barrier without operands covers every qubit the program uses: the
// registers' and the hardware qubits it names, in ascending order.
nb::object resolve_barrier(nb::handle self, nb::handle node) {
    if (size_of(get_attr(node, "qubits"_id)) == 0) {
        nb::object used = steal_or_throw(PySet_New(get_attr(self, "_explicit_qubits"_id).ptr()));
        nb::object registers = steal_or_throw(PyMapping_Values(get_attr(self, "_qubits_mapping"_id).ptr()));
        for (nb::handle qubits : registers)
            for (nb::handle number : qubits) check_status(PySet_Add(used.ptr(), number.ptr()));
        nb::object numbers = steal_or_throw(PySequence_List(used.ptr()));
        check_status(PyList_Sort(numbers.ptr()));
        nb::object operands = steal_or_throw(PyList_New(0));
        for (nb::handle number : numbers)
            append_item(operands, steal_or_throw(PyObject_CallOneArg(state.create_hardware_qubit.ptr(), number.ptr())));
        set_attr(node, "qubits"_id, operands);
    }
    return spread_operands(self, node, "barrier");
}
nb::object resolve_delay(nb::handle self, nb::handle node) { return spread_operands(self, node, "delay"); }

// `reset q;` resets each qubit of q in order.
nb::object resolve_quantum_reset(nb::handle self, nb::handle node) {
    nb::object qubits = spread_register(self, get_attr(node, "qubits"_id));
    map_operands(self, node, "qubits"_id, nb::str("reset"));
    nb::object walked = tree::generic_visit(self, node);
    if (!qubits.is_valid()) return walked;
    const Py_ssize_t count = size_of(qubits);
    std::vector<nb::object> resets = instances(walked, count);
    nb::object result = steal_or_throw(PyList_New(0));
    for (Py_ssize_t i = 0; i < count; ++i) {
        set_attr(resets[i], "qubits"_id, hardware_qubit_at(qubits, i));
        check_status(PyList_Append(result.ptr(), resets[i].ptr()));
    }
    return result;
}

// --- block scope ---------------------------------------------------------------------
// A classical variable declared in a block, a loop's variable included, is a
// name of that block only: once the block ends the name means what it meant
// before, a register declared later included.

// Called before a declaration in the innermost open block changes what
// `name` means: the block's frame remembers the name's classical standing and
// its recorded size, once. A block's frame is made with its first declaration.
void remember_name(nb::handle self, nb::handle name) {
    nb::object frames = get_attr(self, "_block_frames"_id);
    const Py_ssize_t count = size_of(frames);
    if (count == 0) return;
    nb::object frame = steal_or_throw(PySequence_GetItem(frames.ptr(), count - 1));
    if (frame.is_none()) {
        frame = steal_or_throw(PyDict_New());
        check_status(PySequence_SetItem(frames.ptr(), count - 1, frame.ptr()));
    } else if (contains(frame, name)) {
        return;
    }
    const bool classical = contains(get_attr(self, "_classical_names"_id), name);
    nb::object size = find_item(get_attr(self, "_target_sizes"_id), name);
    nb::object before = nb::make_tuple(nb::bool_(classical), nb::bool_(size.is_valid()),
                                       size.is_valid() ? size : nb::object(nb::none()));
    check_status(PyObject_SetItem(frame.ptr(), name.ptr(), before.ptr()));
}

// Ends the innermost block: each name declared in it means again what it meant before.
void leave_block(nb::handle self) {
    nb::object frame = call_method(get_attr(self, "_block_frames"_id), "pop"_id);
    if (frame.is_none()) return;
    nb::object classical_names = get_attr(self, "_classical_names"_id);
    nb::object sizes = get_attr(self, "_target_sizes"_id);
    nb::object entries = steal_or_throw(PySequence_List(steal_or_throw(PyMapping_Items(frame.ptr())).ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.ptr()); ++i) {
        auto [name, before] = unpack_pair(PyList_GET_ITEM(entries.ptr(), i));
        nb::object classical = steal_or_throw(PySequence_GetItem(before.ptr(), 0));
        nb::object sized = steal_or_throw(PySequence_GetItem(before.ptr(), 1));
        if (!truth(classical)) call_method(classical_names, "discard"_id, name);
        if (truth(sized)) {
            check_status(PyObject_SetItem(sizes.ptr(), name.ptr(),
                                          steal_or_throw(PySequence_GetItem(before.ptr(), 2)).ptr()));
        } else if (contains(sizes, name)) {
            check_status(PyObject_DelItem(sizes.ptr(), name.ptr()));
        }
    }
}

// `body()` as the statements of one block. A failing body ends the walk, and
// the mapping with it.
template <typename Body>
void in_block(nb::handle self, Body&& body) {
    append_item(get_attr(self, "_block_frames"_id), nb::none());
    body();
    leave_block(self);
}

// `node.field = visit(node.field)` for a field that holds one node.
void resolve_field(nb::handle self, nb::handle node, nb::handle field) {
    nb::object value = get_attr(node, field);
    if (!tree::is_node(value)) return;
    nb::object replaced = tree::visit(self, value);
    if (!replaced.is(value)) set_attr(node, field, replaced);
}

// A statement with one block (a while loop, a box, a braced block): its
// fields are walked as the generic walk does, in the block's scope, which
// only its statements can declare names in.
nb::object resolve_block(nb::handle self, nb::handle node) {
    nb::object walked;
    in_block(self, [&] { walked = tree::generic_visit(self, node); });
    return walked;
}

// An if statement: its condition, then each branch in a block of its own.
nb::object resolve_branching(nb::handle self, nb::handle node) {
    tree::transform_list(self, get_attr(node, "annotations"_id));
    resolve_field(self, node, "condition"_id);
    in_block(self, [&] { tree::transform_list(self, get_attr(node, "if_block"_id)); });
    in_block(self, [&] { tree::transform_list(self, get_attr(node, "else_block"_id)); });
    return nb::borrow(node);
}

// What a classical variable holds, as far as a measurement into it needs to
// know: the number of its cells, or None for a single value. A declaration
// whose size is not known here leaves the name unrecorded.
void record_target(nb::handle self, nb::handle name, nb::handle size) {
    remember_name(self, name);
    check_status(PySet_Add(get_attr(self, "_classical_names"_id).ptr(), name.ptr()));
    nb::object sizes = get_attr(self, "_target_sizes"_id);
    if (size) {
        check_status(PyObject_SetItem(sizes.ptr(), name.ptr(), size.ptr()));
    } else if (contains(sizes, name)) {
        check_status(PyObject_DelItem(sizes.ptr(), name.ptr()));
    }
}

// A classical variable under the name of a register declared before it; one
// declared before the register is refused at the register's declaration.
void refuse_register_name(nb::handle self, nb::handle node, nb::handle name) {
    if (!register_qubits(self, name).is_valid() || contains(get_attr(self, "_undeclared_registers"_id), name)) return;
    raise_error(call(state.redeclaration, node, name, nb::str("a qubit"), nb::str("a classical variable")));
}

// A for loop: what it runs over is read where it stands; its variable is
// declared in its block, and it is no use of a name. The variable holds one
// value, whatever an outer variable of its name holds.
nb::object resolve_for_in_loop(nb::handle self, nb::handle node) {
    nb::object variable = get_attr(node, "identifier"_id);
    nb::object name = is_exact_identifier(variable) ? get_attr(variable, "name"_id) : nb::object();
    if (name.is_valid()) refuse_register_name(self, node, name);
    tree::transform_list(self, get_attr(node, "annotations"_id));
    resolve_field(self, node, "type"_id);
    resolve_field(self, node, "set_declaration"_id);
    in_block(self, [&] {
        if (name.is_valid()) record_target(self, name, nb::none());
        tree::transform_list(self, get_attr(node, "block"_id));
    });
    return nb::borrow(node);
}

nb::object resolve_vyr_declaration(nb::handle self, nb::handle node) {
    nb::object var = get_attr(node, "var"_id);
    nb::object size = is_instance(var, state.vyr_arr) ? get_attr(var, "size"_id) : nb::none();
    refuse_register_name(self, node, get_attr(var, "name"_id));
    record_target(self, get_attr(var, "name"_id), size);
    return nb::borrow(node);
}

// Declarations that the binding has not turned into VyrDeclaration nodes yet.
void record_declaration(nb::handle self, nb::handle node) {
    refuse_register_name(self, node, get_attr(get_attr(node, "identifier"_id), "name"_id));
    nb::object type = get_attr(node, "type"_id);
    nb::object size;
    if (is_instance(type, state.bit_type)) {
        nb::object width = get_attr(type, "size"_id);
        if (width.is_none()) size = nb::none();
        else if (is_instance(width, state.integer_literal)) size = get_attr(width, "value"_id);
    }
    record_target(self, get_attr(get_attr(node, "identifier"_id), "name"_id), size);
}

nb::object resolve_io_declaration(nb::handle self, nb::handle node) {
    record_declaration(self, node);
    return tree::generic_visit(self, node);
}

[[noreturn]] void raise_measurement_mismatch(nb::handle qubits, nb::handle operand, nb::handle into) {
    nb::object count = steal_or_throw(PyLong_FromSsize_t(size_of(qubits)));
    raise_error(call(state.register_size, compose({nb::str("Cannot measure the "), count,
                                                   nb::str(" qubits of register '"), get_attr(operand, "name"_id),
                                                   nb::str("' into "), into, nb::str(".")})));
}

// One qubit measured into a whole array of another size than one would
// fill its first cell and clear the others.
void refuse_single_into_array(nb::handle self, nb::handle operand, nb::handle target) {
    if (target.is_none() || !is_exact_identifier(target)) return;
    nb::object name = get_attr(target, "name"_id);
    nb::object cells = find_item(get_attr(self, "_target_sizes"_id), name);
    if (!cells.is_valid() || cells.is_none() || compare(cells, nb::int_(1), Py_EQ)) return;
    raise_error(call(state.register_size, compose({nb::str("Cannot measure the single qubit '"), written(operand),
                                                   nb::str("' into '"), name, nb::str("', which holds "), cells,
                                                   nb::str(" bits.")})));
}

// Whether a reference takes a slice of what it indexes.
bool is_slice(nb::handle reference) {
    if (!is_instance(reference, state.indexed_identifier)) return false;
    for (nb::handle group : get_attr(reference, "indices"_id)) {
        if (!PyList_Check(group.ptr())) continue;
        for (nb::handle index : group)
            if (is_instance(index, state.range_definition)) return true;
    }
    return false;
}

// A measurement of a register measures qubit i into bit i of its target.
nb::object resolve_measurement(nb::handle self, nb::handle node) {
    nb::object operand = get_attr(get_attr(node, "measure"_id), "qubit"_id);
    nb::object qubits = spread_register(self, operand);
    nb::object walked = tree::generic_visit(self, node);
    // A slice as the target would take one result per bit; the lowering
    // assigns a measurement to one variable or one bit.
    nb::object into = get_attr(walked, "target"_id);
    if (is_slice(into))
        raise_text(PyExc_NotImplementedError,
                   compose({nb::str("Slices are not lowered as the target of a measurement: '"), written(into),
                            nb::str("'.")}));
    if (!qubits.is_valid()) {
        refuse_single_into_array(self, operand, into);
        return walked;
    }
    const Py_ssize_t count = size_of(qubits);

    nb::object target = get_attr(walked, "target"_id);
    if (!target.is_none()) {
        if (!is_exact_identifier(target)) {
            nb::object into = nb::str("a single bit");
            if (is_instance(target, state.indexed_identifier)) {
                nb::object name = get_attr(target, "name"_id);
                if (is_instance(name, state.identifier))
                    into = compose({nb::str("one bit of '"), get_attr(name, "name"_id), nb::str("'")});
            }
            raise_measurement_mismatch(qubits, operand, into);
        }
        nb::object name = get_attr(target, "name"_id);
        nb::object sizes = get_attr(self, "_target_sizes"_id);
        if (contains(sizes, name)) {
            nb::object cells = steal_or_throw(PyObject_GetItem(sizes.ptr(), name.ptr()));
            nb::object holds;
            if (cells.is_none()) {
                holds = nb::str("a single value");
            } else {
                int equal = PyObject_RichCompareBool(cells.ptr(), nb::int_(count).ptr(), Py_EQ);
                check_status(equal);
                if (!equal) holds = compose({cells, nb::str(" bits")});
            }
            if (holds.is_valid())
                raise_measurement_mismatch(qubits, operand,
                                           compose({nb::str("'"), name, nb::str("', which holds "), holds}));
        }
    }

    std::vector<nb::object> measurements = instances(walked, count);
    nb::object result = steal_or_throw(PyList_New(0));
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::handle measurement = measurements[i];
        set_attr(get_attr(measurement, "measure"_id), "qubit"_id, hardware_qubit_at(qubits, i));
        if (!target.is_none()) {
            nb::object cell = steal_or_throw(PyLong_FromSsize_t(i));
            nb::object index = call(state.integer_literal, cell);
            nb::object indices = nb::list();
            nb::object group = nb::list();
            check_status(PyList_Append(group.ptr(), index.ptr()));
            check_status(PyList_Append(indices.ptr(), group.ptr()));
            nb::object bit = call(state.indexed_identifier, get_attr(measurement, "target"_id), indices);
            set_attr(measurement, "target"_id, bit);
        }
        check_status(PyList_Append(result.ptr(), measurement.ptr()));
    }
    return result;
}

// A register measured in an initialiser (the mapping may run before the
// initialisers are split off) is parted from its declaration as the split
// would part it, so that the measurement can fill every bit.
nb::object resolve_classical_declaration(nb::handle self, nb::handle node) {
    record_declaration(self, node);
    nb::object init = get_attr(node, "init_expression"_id);
    if (!is_instance(init, state.quantum_measurement) ||
        !spread_register(self, get_attr(init, "qubit"_id)).is_valid())
        return tree::generic_visit(self, node);
    nb::object identifier = get_attr(node, "identifier"_id);
    nb::object declaration = call(state.classical_declaration, get_attr(node, "type"_id), identifier, nb::none());
    nb::object measurement = call(state.measurement_statement, init, identifier);
    nb::object result = steal_or_throw(PyList_New(0));
    check_status(PyList_Append(result.ptr(), tree::generic_visit(self, declaration).ptr()));
    nb::object measurements = resolve_measurement(self, measurement);
    check_status(PyList_SetSlice(result.ptr(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, measurements.ptr()));
    return result;
}

// The statements of a list as `transformer` rewrites them, spliced.
nb::object transformed_statements(nb::handle transformer, nb::handle statements) {
    nb::object result = steal_or_throw(PyList_New(0));
    nb::object items = steal_or_throw(PySequence_List(statements.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        nb::object replaced = tree::visit(transformer, PyList_GET_ITEM(items.ptr(), i));
        if (replaced.is_none()) continue;
        if (tree::is_node(replaced)) {
            check_status(PyList_Append(result.ptr(), replaced.ptr()));
            continue;
        }
        nb::object iterator = steal_or_throw(PyObject_GetIter(replaced.ptr()));
        while (PyObject* part = PyIter_Next(iterator.ptr())) {
            nb::object piece = nb::steal(part);
            check_status(PyList_Append(result.ptr(), piece.ptr()));
        }
        if (PyErr_Occurred()) throw nb::python_error();
    }
    return result;
}

// The statements that one call of a user gate expanded to run once per qubit
// index as a whole when the call's operands include registers, so that the
// body's operations on a single qubit interleave with those on the registers'
// qubits as the gate's own calls would.
nb::object resolve_expanded_gate_call(nb::handle self, nb::handle node) {
    nb::object operands = get_attr(node, "qubits"_id);
    nb::object name = get_attr(node, "name"_id);
    // The call's own operands, the ones its body leaves unused included, are
    // qubits; the walk of the body maps the used ones again.
    // Each run of the call names distinct qubits, as a call of a built-in
    // gate must; a body may name each operand in statements of its own.
    nb::object written_operands = written_operands_of(operands);
    nb::object mapped = steal_or_throw(PyList_New(0));
    nb::object iterator = steal_or_throw(PyObject_GetIter(operands.ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object operand = nb::steal(raw);
        append_item(mapped, map_operand(self, operand, name));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    RegisterOperands registers = find_registers(self, operands);
    nb::object body = get_attr(node, "body"_id);
    if (registers.empty()) {
        refuse_repeated(name, mapped, written_operands, registers, 0);
        return transformed_statements(self, body);
    }
    const Py_ssize_t count = common_size(name, registers);
    for (Py_ssize_t i = 0; i < count; ++i)
        refuse_repeated(name, operands_of_instance(mapped, registers, i), written_operands, registers, i);
    std::vector<nb::object> bodies = instances(body, count);
    nb::object result = steal_or_throw(PyList_New(0));
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::dict chosen;
        for (size_t r = 0; r < registers.names.size(); ++r)
            chosen[registers.names[r]] = steal_or_throw(PySequence_GetItem(registers.qubits[r].ptr(), i));
        nb::object picker = call(state.broadcast_instance, chosen);
        nb::object picked = transformed_statements(picker, bodies[i]);
        nb::object resolved = transformed_statements(self, picked);
        check_status(PyList_SetSlice(result.ptr(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, resolved.ptr()));
    }
    return result;
}

// --- _BroadcastInstance -------------------------------------------------------------

// Puts one qubit of each register in place of the register's bare name; a
// register named inside an index keeps its meaning, the qubit at that index.
nb::object broadcast_instance_init(nb::handle self, nb::handle qubits) {
    require_dict(qubits, "qubits");
    set_attr(self, "_qubits"_id, qubits);
    return nb::none();
}

nb::object pick_identifier(nb::handle self, nb::handle node) {
    nb::object number = item_or(get_attr(self, "_qubits"_id), get_attr(node, "name"_id), nb::none());
    if (number.is_none()) return nb::borrow(node);
    return steal_or_throw(PyObject_CallOneArg(state.create_hardware_qubit.ptr(), number.ptr()));
}

nb::object keep_indexed_identifier(nb::handle, nb::handle node) { return nb::borrow(node); }

// --- RegisterMapper --------------------------------------------------------------------

nb::object mapper_init(nb::handle self, nb::handle machine_profile) {
    steal_or_throw(PyObject_CallOneArg(state.step_init.ptr(), self.ptr()));
    set_attr(self, "_machine_profile"_id, machine_profile);
    return nb::none();
}

nb::object mapper_call(nb::handle self, nb::handle program) {
    if (assertions_enabled()) check_assertion(is_instance(program, state.open_qasm_program));
    nb::object tree = nb::getattr(program, "ast");
    nb::object collector = steal_or_throw(PyObject_CallNoArgs(state.collector.ptr()));
    nb::getattr(collector, "visit")(tree);
    nb::object mapping = map_declared_qubits(get_attr(collector, "declaration_to_size"_id),
                                             get_attr(collector, "explicitly_stated_hardware_qubits"_id),
                                             get_attr(self, "_machine_profile"_id));
    nb::object resolver = steal_or_throw(PyObject_CallOneArg(state.resolver.ptr(), mapping.ptr()));
    set_attr(resolver, "_undeclared_registers"_id, steal_or_throw(PySet_New(mapping.ptr())));
    set_attr(resolver, "_explicit_qubits"_id, get_attr(collector, "explicitly_stated_hardware_qubits"_id));
    nb::object root = nb::getattr(resolver, "visit")(tree);
    return steal_or_throw(PyObject_CallOneArg(state.open_qasm_program.ptr(), root.ptr()));
}

}  // namespace

NB_MODULE(register_mapper, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "corvane.programs", {"Program", "OpenQasmProgram"});
    import_from(m, "corvane.passes.pipeline_phase", {"Step"});
    import_from(m, "corvane.passes.code_generation.translate_expression", {"extract_single_index"});
    import_from(m, "corvane.configurations.machine_profile", {"MachineProfile"});
    import_from(m, "corvane.configurations.hardware_qubit",
                {"HardwareQubit", "HardwareQubitIndex", "create_hardware_qubit"});
    import_from(m, "openqasm3", {"ast"});
    import_from(m, "openqasm3.visitor", {"QASMVisitor", "QASMTransformer"});
    import_module("corvane.programs");
    state.open_qasm_program = keep_attr("corvane.programs", "OpenQasmProgram");
    nb::object step = import_attr("corvane.passes.pipeline_phase", "Step");
    state.step_init = keep(step.attr("__init__"));
    state.extract_single_index =
        keep_attr("corvane.passes.code_generation.translate_expression", "extract_single_index");
    import_module("corvane.configurations.machine_profile");
    state.create_hardware_qubit = keep_attr("corvane.configurations.hardware_qubit", "create_hardware_qubit");
    nb::object ast = import_module("openqasm3.ast");
    state.identifier = keep(ast.attr("Identifier"));
    state.indexed_identifier = keep(ast.attr("IndexedIdentifier"));
    state.integer_literal = keep(ast.attr("IntegerLiteral"));
    state.bit_type = keep(ast.attr("BitType"));
    state.classical_declaration = keep(ast.attr("ClassicalDeclaration"));
    state.quantum_measurement = keep(ast.attr("QuantumMeasurement"));
    state.measurement_statement = keep(ast.attr("QuantumMeasurementStatement"));
    state.vyr_arr = keep_attr("corvane.vyr_slot", "VyrArr");
    state.hardware_qubit = keep_attr("corvane.configurations.hardware_qubit", "HardwareQubit");
    state.range_definition = keep(ast.attr("RangeDefinition"));
    state.discrete_set = keep(ast.attr("DiscreteSet"));
    state.boolean_literal = keep(ast.attr("BooleanLiteral"));
    state.unary_expression = keep(ast.attr("UnaryExpression"));
    state.minus = keep(steal_or_throw(PyObject_GetItem(ast.attr("UnaryOperator").ptr(), nb::str("-").ptr())));
    state.redeclaration = keep_attr("corvane.passes.parsing.validators", "RedeclarationException");
    state.repeated_qubit = keep_attr("corvane.passes.parsing.validators", "RepeatedQubitException");


    nb::handle exception(PyExc_Exception);
    state.multiple_definition = keep(ClassBuilder(m, "MultipleQubitDefinitionException", {exception})
                                         .doc("A qubit register declared twice.")
                                         .def("__init__(self, name: str) -> None", multiple_definition_init,
                                              "Holds the register's name.", "name"_arg)
                                         .def("__str__(self) -> str", multiple_definition_str, "The error's text.")
                                         .build());
    state.calling_unsupported = keep(ClassBuilder(m, "CallingUnsupportedQubitsException", {exception})
                                         .doc("Hardware qubits named in the program that the machine lacks.")
                                         .def("__init__(self, unsupported_qubits: set[int]) -> None",
                                              calling_unsupported_init, "Holds the qubits' numbers.",
                                              "unsupported_qubits"_arg)
                                         .def("__str__(self) -> str", calling_unsupported_str, "The error's text.")
                                         .build());
    state.too_many = keep(ClassBuilder(m, "TooManyRequiredQubitsException", {exception})
                              .doc("A program that needs more qubits than the machine has.")
                              .def("__init__(self, required_qubits: int, supported_qubits: int) -> None",
                                   too_many_init, "Holds the needed and the available numbers of qubits.",
                                   "required_qubits"_arg, "supported_qubits"_arg)
                              .def("__str__(self) -> str", too_many_str, "The error's text.")
                              .build());

    state.not_a_qubit =
        keep(ClassBuilder(m, "NotAQubitException", {exception})
                 .doc("An operand of a quantum operation that is not a qubit: undeclared, classical or no name.")
                 .def("__init__(self, node: ast.QASMNode, operation: str, classical: bool) -> None",
                      not_a_qubit_init, "Holds the operand, the operation's name and whether it names a variable.",
                      "node"_arg, "operation"_arg, "classical"_arg)
                 .def("__str__(self) -> str", not_a_qubit_str, "The error's text.")
                 .build());

    state.register_size =
        keep(ClassBuilder(m, "RegisterSizeException", {nb::handle(PyExc_ValueError)})
                 .doc("Registers of different sizes in one statement: the operands of a broadcast call, or a "
                      "measurement and its target.")
                 .build());

    state.used_before_declaration =
        keep(ClassBuilder(m, "QubitUsedBeforeDeclarationException", {nb::handle(PyExc_NameError)})
                 .doc("A qubit register named as an operand before its declaration.")
                 .def("__init__(self, name: str) -> None", used_before_declaration_init, "Holds the register's name.",
                      "name"_arg)
                 .def("__str__(self) -> str", used_before_declaration_str, "The error's text.")
                 .build());

    state.misused_register =
        keep(ClassBuilder(m, "MisusedQubitRegisterException", {exception})
                 .doc("A qubit register's name where no qubit operand stands: as a value, a variable or a gate.")
                 .def("__init__(self, name: str, used_as: str) -> None", misused_register_init,
                      "Holds the register's name and the role it was given.", "name"_arg, "used_as"_arg)
                 .def("__str__(self) -> str", misused_register_str, "The error's text.")
                 .build());

    ClassBuilder(m, "RegisterMapper", {step})
        .doc("The generation step that lays the declared qubit registers onto the machine's free qubits.")
        .def("__init__(self, machine_profile: MachineProfile) -> None", mapper_init,
             "Maps registers onto the profile's hardware qubits.", "machine_profile"_arg)
        .def("__call__(self, program: Program) -> OpenQasmProgram", mapper_call,
             "Replaces every register reference by its hardware qubit and drops the qubit declarations.",
             "program"_arg)
        .build();

    nb::object visitor = import_attr("openqasm3.visitor", "QASMVisitor")[nb::none()];
    state.collector = keep(ClassBuilder(m, "_QubitsCollector", {visitor})
                               .visitor_walk()
                               .def("__init__", collector_init)
                               .def_handler("visit_QubitDeclaration", collect_qubit_declaration)
                               .def_handler("visit_HardwareQubit", collect_hardware_qubit)
                               .build());

    def_function(m, "_map_declared_qubits_to_explicit_qubits", map_declared_qubits, "declaration_to_size"_arg,
                 "explicitly_stated_hardware_qubits"_arg, "machine_profile"_arg);

    nb::object transformer = import_attr("openqasm3.visitor", "QASMTransformer")[nb::none()];
    state.resolver = keep(ClassBuilder(m, "_QubitsResolver", {transformer})
                              .transformer_walk()
                              .def("__init__", resolver_init, "qubits_mapping"_arg)
                              .def_handler("visit_Identifier", resolve_identifier)
                              .def_handler("visit_IndexedIdentifier", resolve_indexed_identifier)
                              .def_handler("visit_QubitDeclaration", resolve_qubit_declaration)
                              .def_handler("visit_QuantumGate", resolve_quantum_gate)
                              .def_handler("visit_QuantumPhase", resolve_phase)
                              .def_handler("visit_QuantumReset", resolve_quantum_reset)
                              .def_handler("visit_QuantumBarrier", resolve_barrier)
                              .def_handler("visit_DelayInstruction", resolve_delay)
                              .def_handler("visit_QuantumMeasurementStatement", resolve_measurement)
                              .def_handler("visit_QuantumMeasurement", resolve_measurement_operand)
                              .def_handler("visit_ForInLoop", resolve_for_in_loop)
                              .def_handler("visit_BranchingStatement", resolve_branching)
                              .def_handler("visit_WhileLoop", resolve_block)
                              .def_handler("visit_CompoundStatement", resolve_block)
                              .def_handler("visit_Box", resolve_block)
                              .def_handler("visit_ExpandedGateCall", resolve_expanded_gate_call)
                              .def_handler("visit_VyrDeclaration", resolve_vyr_declaration)
                              .def_handler("visit_ClassicalDeclaration", resolve_classical_declaration)
                              .def_handler("visit_IODeclaration", resolve_io_declaration)
                              .build());
    state.broadcast_instance = keep(ClassBuilder(m, "_BroadcastInstance", {transformer})
                                        .transformer_walk()
                                        .def("__init__", broadcast_instance_init, "qubits"_arg)
                                        .def_handler("visit_Identifier", pick_identifier)
                                        .def_handler("visit_IndexedIdentifier", keep_indexed_identifier)
                                        .build());
}
