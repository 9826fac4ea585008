// The machine profile: the user's description of the control hardware, an
// instruction registry and the elements that drive each hardware qubit. It
// resolves every operation into its implementation, the arguments to call it
// with and the elements to align around it.
#include <vector>

#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

struct ModuleState {
    nb::handle instruction_registry;
    nb::handle not_supported_qubits;
    nb::handle qubit_elements_exception;
    nb::handle resolved_operation;
    nb::handle supported_qubit_indices;  // the property this module installs
} state;

nb::object sorted_tuple(nb::handle values) {
    nb::object list = steal_or_throw(PySequence_List(values.ptr()));
    check_status(PyList_Sort(list.ptr()));
    return steal_or_throw(PyList_AsTuple(list.ptr()));
}

// --- NotSupportedQubits -------------------------------------------------------

nb::object not_supported_init(nb::handle self, nb::handle operation_name, nb::handle called_qubits,
                              nb::handle supported_qubits) {
    require_str(operation_name, "operation_name");
    require_tuple(called_qubits, "called_qubits");
    require_set(supported_qubits, "supported_qubits");
    nb::setattr(self, "name", operation_name);
    nb::setattr(self, "called_qubits", called_qubits);
    nb::setattr(self, "supported_qubits", supported_qubits);
    return nb::none();
}

nb::object not_supported_str(nb::handle self) {
    return compose({nb::str("Operation '"), nb::getattr(self, "name"), nb::str("' is operating on qubits "),
                    nb::getattr(self, "called_qubits"),
                    nb::str(". Some of these qubits are not supported. Supported qubits - "),
                    sorted_tuple(nb::getattr(self, "supported_qubits")), nb::str(".")});
}

// --- QubitElementsException ---------------------------------------------------

nb::object qubit_elements_init(nb::handle self, nb::handle qubit, nb::handle elements) {
    nb::setattr(self, "qubit", qubit);
    nb::setattr(self, "elements", elements);
    return nb::none();
}

bool is_text(nb::handle value) { return PyUnicode_Check(value.ptr()); }

nb::object qubit_elements_str(nb::handle self) {
    nb::object qubit = nb::getattr(self, "qubit");
    nb::object elements = nb::getattr(self, "elements");
    nb::str expected(
        "; a qubit's elements are a tuple of element names, each a text, such as ('q0',) or ('q0.xy', 'q0.rr').");
    nb::str start("The hardware qubit ");
    if (is_text(elements))
        return compose({start, qubit, nb::str(" of the machine profile is given the elements "), repr_of(elements),
                        nb::str(", a text, whose letters would be read as element names"), expected});
    if (PyTuple_CheckExact(elements.ptr()) || PyList_CheckExact(elements.ptr())) {
        nb::object items = steal_or_throw(PySequence_Tuple(elements.ptr()));
        for (nb::handle item : items)
            if (!PyUnicode_Check(item.ptr()))
                return compose({start, qubit, nb::str(" of the machine profile is given the elements "),
                                repr_of(elements), nb::str(", which hold "), repr_of(item), nb::str(" ("),
                                class_name(item.type()), nb::str("), which is no element name"), expected});
    }
    return compose({start, qubit, nb::str(" of the machine profile is given the elements "), repr_of(elements),
                    nb::str(", which are not a tuple of names"), expected});
}

// Elements that a profile can use as they are: a collection (not a text,
// whose letters would be read as names, nor an iterator, which a first
// reading would use up) of texts. Anything else names the qubit.
void check_elements(nb::handle qubit, nb::handle elements) {
    if (PyTuple_CheckExact(elements.ptr())) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(elements.ptr()); ++i)
            if (!PyUnicode_Check(PyTuple_GET_ITEM(elements.ptr(), i)))
                raise_error(call(state.qubit_elements_exception, qubit, elements));
        return;
    }
    if (is_text(elements) || PyIter_Check(elements.ptr()))
        raise_error(call(state.qubit_elements_exception, qubit, elements));
    PyObject* iterator = PyObject_GetIter(elements.ptr());
    if (!iterator) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
        PyErr_Clear();
        raise_error(call(state.qubit_elements_exception, qubit, elements));
    }
    nb::object items = nb::steal(iterator);
    while (PyObject* raw = PyIter_Next(items.ptr())) {
        nb::object element = nb::steal(raw);
        if (!PyUnicode_Check(element.ptr())) raise_error(call(state.qubit_elements_exception, qubit, elements));
    }
    if (PyErr_Occurred()) throw nb::python_error();
}

// --- MachineProfile -------------------------------------------------------------

// Every qubit of a map of qubits, as the profile is built: a mistake in the
// description is named there, not found in the program it would compile.
// An object that is no map is held untested, as a registry that is no map is.
void check_qubits(nb::handle hardware_qubits) {
    nb::object items;
    if (PyDict_CheckExact(hardware_qubits.ptr())) {
        items = steal_or_throw(PyDict_Items(hardware_qubits.ptr()));
    } else {
        PyObject* found = PyObject_GetAttr(hardware_qubits.ptr(), "items"_id.ptr());
        if (!found) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
            PyErr_Clear();
            return;
        }
        items = steal_or_throw(PyObject_CallNoArgs(nb::steal(found).ptr()));
    }
    nb::object iterator = steal_or_throw(PyObject_GetIter(items.ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        auto [qubit, elements] = unpack_pair(nb::steal(raw));
        check_elements(qubit, elements);
    }
    if (PyErr_Occurred()) throw nb::python_error();
}

nb::object profile_init(nb::handle self, nb::handle quantum_instruction_registry, nb::handle hardware_qubits) {
    nb::object registry = nb::borrow(quantum_instruction_registry);
    if (PyDict_Check(registry.ptr())) registry = nb::handle(state.instruction_registry)(registry);
    check_qubits(hardware_qubits);
    nb::setattr(self, "quantum_instruction_registry", registry);
    // Held as given: later changes to the caller's map are seen.
    nb::setattr(self, "hardware_qubits", hardware_qubits);
    return nb::none();
}

nb::object supported_qubit_indices(nb::handle self) {
    nb::object keys = call_method(get_attr(self, "hardware_qubits"_id), "keys"_id);
    return steal_or_throw(PySet_New(keys.ptr()));
}

nb::object get_elements_to_align(nb::handle self, nb::handle hardware_qubits) {
    require_tuple(hardware_qubits, "hardware_qubits");
    nb::object mapping = get_attr(self, "hardware_qubits"_id);
    nb::object elements = steal_or_throw(PySet_New(nullptr));
    for (nb::handle index : hardware_qubits) {
        // The map is the caller's, and may have changed since it was checked.
        nb::object given = mapping[index];
        check_elements(index, given);
        for (nb::handle element : given) check_status(PySet_Add(elements.ptr(), element.ptr()));
    }
    return sorted_tuple(elements);
}

// Whether every called qubit is a key of the profile's qubit map: the test
// `set(qubit_indices) <= self._supported_qubit_indices`. While that property
// is this class's own and the map a plain dict, the keys are looked up in the
// map itself, which answers alike without making two sets per call.
bool qubits_supported(nb::handle self, nb::handle qubit_indices) {
    nb::object called = steal_or_throw(PySet_New(qubit_indices.ptr()));
    PyObject* property = _PyType_Lookup(Py_TYPE(self.ptr()), "_supported_qubit_indices"_id.ptr());
    if (property == state.supported_qubit_indices.ptr()) {
        nb::object mapping = get_attr(self, "hardware_qubits"_id);
        if (PyDict_CheckExact(mapping.ptr())) {
            for (nb::handle qubit : called) {
                int found = PyDict_Contains(mapping.ptr(), qubit.ptr());
                check_status(found);
                if (!found) return false;
            }
            return true;
        }
    }
    nb::object supported = get_attr(self, "_supported_qubit_indices"_id);
    return truth(call_method(called, "issubset"_id, supported));
}

// Qubits are tested before the registry is asked, so an unsupported qubit is
// reported even for an operation without an implementation.
nb::object resolve_operation(nb::handle self, nb::handle name, nb::handle qubit_indices, nb::args params) {
    require_str(name, "name");
    require_tuple(qubit_indices, "qubit_indices");
    if (!qubits_supported(self, qubit_indices)) {
        raise_error(call(state.not_supported_qubits, name, qubit_indices,
                         get_attr(self, "_supported_qubit_indices"_id)));
    }
    nb::object registry = get_attr(self, "quantum_instruction_registry"_id);
    const Py_ssize_t count = PyTuple_GET_SIZE(params.ptr());
    std::vector<PyObject*> arguments{registry.ptr(), name.ptr(), qubit_indices.ptr()};
    for (Py_ssize_t i = 0; i < count; ++i) arguments.push_back(PyTuple_GET_ITEM(params.ptr(), i));
    nb::object resolved = steal_or_throw(PyObject_VectorcallMethod(
        "resolve_operation"_id.ptr(), arguments.data(), arguments.size(), nullptr));
    auto [vyr_func, call_arguments] = unpack_pair(resolved);
    nb::object elements = call_method(self, "get_elements_to_align"_id, qubit_indices);
    return call(state.resolved_operation, vyr_func, call_arguments, elements);
}

}  // namespace

NB_MODULE(machine_profile, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "corvane.configurations.hardware_qubit",
                {"HardwareQubitIndex", "Elements", "QubitsMapping"});
    import_from(m, "corvane.configurations.instruction_registry",
                {"OperationsMapping", "InstructionRegistry", "UnresolvableOperation", "VyrFunc"});
    import_module("dataclasses");
    import_module("typing");
    nb::object registry_module = import_module("corvane.configurations.instruction_registry");
    state.instruction_registry = keep(registry_module.attr("InstructionRegistry"));
    nb::object unresolvable = registry_module.attr("UnresolvableOperation");
    import_module("corvane.configurations.hardware_qubit");

    state.not_supported_qubits =
        keep(ClassBuilder(m, "NotSupportedQubits", {unresolvable})
                 .doc("A call on hardware qubits that the machine does not have.")
                 .field("name", "str")
                 .field("called_qubits", "Tuple[HardwareQubitIndex, ...]")
                 .field("supported_qubits", "Set[HardwareQubitIndex]")
                 .def("__init__(self, operation_name: str, called_qubits: tuple[HardwareQubitIndex, ...],"
                      " supported_qubits: set[HardwareQubitIndex]) -> None",
                      not_supported_init, "Holds the operation's name, its qubits and the machine's qubits.",
                      "operation_name"_arg, "called_qubits"_arg, "supported_qubits"_arg)
                 .def("__str__(self) -> str", not_supported_str, "The error's text.")
                 .build());
    state.qubit_elements_exception =
        keep(ClassBuilder(m, "QubitElementsException", {PyExc_TypeError})
                 .doc("A hardware qubit of a machine description whose elements are not a tuple of names.")
                 .field("qubit", "HardwareQubitIndex")
                 .field("elements", "object")
                 .def("__init__(self, qubit: HardwareQubitIndex, elements: object) -> None", qubit_elements_init,
                      "Holds the qubit and the elements it was given.", "qubit"_arg, "elements"_arg)
                 .def("__str__(self) -> str", qubit_elements_str, "The error's text.")
                 .build());
    state.resolved_operation = keep(ClassBuilder(m, "ResolvedOperation")
                                        .doc("One resolved call: the implementation, its arguments and the "
                                             "elements to align around it.")
                                        .field("func", "VyrFunc")
                                        .field("params", "Tuple[Any, ...]")
                                        .field("elements_to_align", "Elements")
                                        .build_dataclass());
    nb::object profile = ClassBuilder(m, "MachineProfile")
        .doc("A machine: the implementations of its instructions and the elements that drive each qubit.")
        .field("quantum_instruction_registry", "InstructionRegistry")
        .field("hardware_qubits", "QubitsMapping")
        .def("__init__(self, quantum_instruction_registry: InstructionRegistry | OperationsMapping,"
             " hardware_qubits: QubitsMapping) -> None",
             profile_init, "Describes a machine; a map of implementations is made a registry.",
             "quantum_instruction_registry"_arg, "hardware_qubits"_arg)
        .def_property("_supported_qubit_indices(self) -> set[HardwareQubitIndex]", supported_qubit_indices,
                      "A new set of the machine's hardware qubits.")
        .def("resolve_operation(self, name: str, qubit_indices: tuple[HardwareQubitIndex, ...], *params: object)"
             " -> ResolvedOperation",
             resolve_operation, "Resolves a call into its implementation, arguments and elements to align.",
             "name"_arg, "qubit_indices"_arg, "params"_arg)
        .def("get_elements_to_align(self, hardware_qubits: tuple[HardwareQubitIndex, ...]) -> Elements",
             get_elements_to_align, "The elements of the qubits, each once, sorted.", "hardware_qubits"_arg)
        .build();
    state.supported_qubit_indices = keep(nb::borrow(_PyType_Lookup(
        reinterpret_cast<PyTypeObject*>(profile.ptr()), "_supported_qubit_indices"_id.ptr())));
}
