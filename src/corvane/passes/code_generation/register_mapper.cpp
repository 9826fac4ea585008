// Places the declared qubit registers on the machine's hardware qubits: the
// registers receive, in declaration order, the lowest hardware qubits that the
// program does not name explicitly, every reference to a register becomes a
// HardwareQubit node and the qubit declarations are dropped.
#include "corvane/native/support.h"

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
    nb::handle integer_literal;
} state;

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
        if (assertions_enabled())
            check_assertion(is_instance(size, state.integer_literal), "No expression size is allowed");
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
    return nb::none();
}

// The register's qubits when `name` names a register, else an empty object.
nb::object register_qubits(nb::handle self, nb::handle name) {
    return find_item(get_attr(self, "_qubits_mapping"_id), name);
}

nb::object hardware_qubit_at(nb::handle qubits, nb::handle position) {
    nb::object number = steal_or_throw(PyObject_GetItem(qubits.ptr(), position.ptr()));
    return steal_or_throw(PyObject_CallOneArg(state.create_hardware_qubit.ptr(), number.ptr()));
}

// A bare register name stands for the register's first qubit.
nb::object resolve_identifier(nb::handle self, nb::handle node) {
    nb::object qubits = register_qubits(self, get_attr(node, "name"_id));
    if (!qubits.is_valid()) return nb::borrow(node);
    return hardware_qubit_at(qubits, nb::int_(0));
}

nb::object resolve_indexed_identifier(nb::handle self, nb::handle node) {
    nb::object name = get_attr(node, "name"_id);
    if (!is_instance(name, state.identifier)) return nb::borrow(node);
    nb::object qubits = register_qubits(self, get_attr(name, "name"_id));
    if (!qubits.is_valid()) return nb::borrow(node);
    nb::object indices = get_attr(node, "indices"_id);
    if (assertions_enabled()) {
        Py_ssize_t count = PyObject_Size(indices.ptr());
        if (count < 0) throw nb::python_error();
        check_assertion(count == 1, "Only 1-length indexing is allowed");
    }
    nb::object group = steal_or_throw(PySequence_GetItem(indices.ptr(), 0));
    nb::object index = steal_or_throw(PyObject_CallOneArg(state.extract_single_index.ptr(), group.ptr()));
    if (assertions_enabled())
        check_assertion(is_instance(index, state.integer_literal), "Only explicit qubit pointers are supported");
    return hardware_qubit_at(qubits, get_attr(index, "value"_id));
}

nb::object resolve_qubit_declaration(nb::handle, nb::handle) { return nb::none(); }

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
    nb::object root = nb::getattr(resolver, "visit")(tree);
    return steal_or_throw(PyObject_CallOneArg(state.open_qasm_program.ptr(), root.ptr()));
}

}  // namespace

NB_MODULE(register_mapper, m) {
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
    state.integer_literal = keep(ast.attr("IntegerLiteral"));


    nb::handle exception(PyExc_Exception);
    state.multiple_definition = keep(ClassBuilder(m, "MultipleQubitDefinitionException", {exception})
                                         .def("__init__", multiple_definition_init, "name"_arg)
                                         .def("__str__", multiple_definition_str)
                                         .build());
    state.calling_unsupported = keep(ClassBuilder(m, "CallingUnsupportedQubitsException", {exception})
                                         .def("__init__", calling_unsupported_init, "unsupported_qubits"_arg)
                                         .def("__str__", calling_unsupported_str)
                                         .build());
    state.too_many = keep(ClassBuilder(m, "TooManyRequiredQubitsException", {exception})
                              .def("__init__", too_many_init, "required_qubits"_arg, "supported_qubits"_arg)
                              .def("__str__", too_many_str)
                              .build());

    ClassBuilder(m, "RegisterMapper", {step})
        .def("__init__", mapper_init, "machine_profile"_arg)
        .def("__call__", mapper_call, "program"_arg)
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
                              .build());
}
