// Instruction keys: the name, parameter count and qubit pattern under which a
// machine profile registers one implementation, written as an object or as
// the text of one OpenQASM statement.
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

struct ModuleState {
    nb::handle exact_qubit_pattern;
    nb::handle all_qubits_values;
    nb::handle hardware_qubit;
    nb::handle hardware_qubits_transformer;
    nb::handle parse;
    nb::handle identifier;
    nb::handle quantum_gate;
    nb::handle quantum_measurement_statement;
    nb::handle quantum_reset;
    nb::handle delay_instruction;
    nb::handle regular_qubits_pattern;
    nb::handle varying_qubits;
    nb::handle instruction_key;
} state;

nb::object make_tuple_of(nb::handle list) { return steal_or_throw(PyList_AsTuple(list.ptr())); }

nb::object next_item(nb::handle iterator) {
    PyObject* item = PyIter_Next(iterator.ptr());
    if (!item && PyErr_Occurred()) throw nb::python_error();
    return nb::steal(item);
}

Py_ssize_t length_of(nb::handle value) {
    Py_ssize_t length = PyObject_Length(value.ptr());
    if (length < 0) throw nb::python_error();
    return length;
}

// --- QubitsPattern ------------------------------------------------------

nb::object abstract_operation(nb::handle, nb::handle) { return nb::none(); }

// --- RegularQubitsPattern -------------------------------------------------

nb::object regular_init(nb::handle self, nb::handle pattern) {
    require_tuple(pattern, "pattern");
    nb::setattr(self, "_pattern", pattern);
    return nb::none();
}

nb::object regular_len(nb::handle self) { return nb::int_(length_of(nb::getattr(self, "_pattern"))); }

nb::object regular_repr(nb::handle self) {
    return compose({nb::str("RegularQubitsPattern("), nb::getattr(self, "_pattern"), nb::str(")")});
}

// Position by position, stopping at the first one that refuses its qubit.
nb::object regular_matches(nb::handle self, nb::handle other) {
    nb::object pattern = get_attr(self, "_pattern"_id);
    if (length_of(pattern) != length_of(other)) return nb::bool_(false);
    nb::object positions = steal_or_throw(PyObject_GetIter(pattern.ptr()));
    nb::object qubits = steal_or_throw(PyObject_GetIter(other.ptr()));
    while (true) {
        nb::object position = next_item(positions);
        if (!position) break;
        nb::object qubit = next_item(qubits);
        if (!qubit) break;
        if (!truth(call_method(position, "matches"_id, qubit))) return nb::bool_(false);
    }
    return nb::bool_(true);
}

nb::object regular_number_of_parametric_qubits(nb::handle self) {
    Py_ssize_t count = 0;
    for (nb::handle position : nb::getattr(self, "_pattern"))
        if (is_instance(position, state.all_qubits_values)) ++count;
    return nb::int_(count);
}

// The qubits at the parametric positions, in order; fixed ones are left out.
nb::object regular_get_parametric_qubits(nb::handle self, nb::handle qubits) {
    nb::object pattern = get_attr(self, "_pattern"_id);
    if (assertions_enabled()) check_assertion(length_of(qubits) == length_of(pattern));
    nb::list parametric;
    nb::object positions = steal_or_throw(PyObject_GetIter(pattern.ptr()));
    nb::object given = steal_or_throw(PyObject_GetIter(qubits.ptr()));
    while (true) {
        nb::object position = next_item(positions);
        if (!position) break;
        nb::object qubit = next_item(given);
        if (!qubit) break;
        if (is_instance(position, state.all_qubits_values)) parametric.append(qubit);
    }
    return make_tuple_of(parametric);
}

// --- VaryingQubits --------------------------------------------------------

nb::object varying_matches(nb::handle, nb::handle) { return nb::bool_(true); }

nb::object varying_get_parametric_qubits(nb::handle, nb::handle qubits) { return nb::borrow(qubits); }

// --- OperationCandidate ---------------------------------------------------

nb::object candidate_init(nb::handle self, nb::handle name, nb::handle number_of_params, nb::handle qubits) {
    nb::object count = int_argument(number_of_params, "number_of_params");
    require_str(name, "name");
    set_attr(self, "name"_id, name);
    set_attr(self, "number_of_params"_id, count);
    set_attr(self, "qubits"_id, qubits);
    return nb::none();
}

// The text form a record would have: the class and each field by its own
// text form, so a failed resolution names the call. A candidate met again
// inside its own fields shows as "...".
nb::object candidate_repr(nb::handle self) {
    const int busy = Py_ReprEnter(self.ptr());
    if (busy < 0) throw nb::python_error();
    if (busy > 0) return nb::str("...");
    struct Leave {
        PyObject* object;
        ~Leave() { Py_ReprLeave(object); }
    } leave{self.ptr()};
    nb::object cls = steal_or_throw(PyType_GetQualName(Py_TYPE(self.ptr())));
    return compose({cls, nb::str("(name="), repr_of(get_attr(self, "name"_id)), nb::str(", number_of_params="),
                    repr_of(get_attr(self, "number_of_params"_id)), nb::str(", qubits="),
                    repr_of(get_attr(self, "qubits"_id)), nb::str(")")});
}

// --- InstructionKey -------------------------------------------------------

nb::object new_regular_pattern(nb::handle positions) {
    return nb::handle(state.regular_qubits_pattern)(make_tuple_of(positions));
}

nb::object key_init(nb::handle self, nb::handle name, nb::handle number_of_params, nb::handle qubits_pattern,
                    nb::handle number_of_parametric_qubits) {
    nb::object count = int_argument(number_of_params, "number_of_params");
    nb::object parametric = int_or_none_argument(number_of_parametric_qubits, "number_of_parametric_qubits");
    require_str(name, "name");

    nb::object pattern = nb::borrow(qubits_pattern);
    if (!parametric.is_none()) {
        if (assertions_enabled()) {
            nb::object equal = steal_or_throw(PyObject_RichCompare(pattern.ptr(), nb::tuple().ptr(), Py_EQ));
            check_assertion(truth(equal), "One cannot insert bot exact pattern and number of parametric qubits");
        }
        const Py_ssize_t positions = PyLong_AsSsize_t(parametric.ptr());
        if (positions == -1 && PyErr_Occurred()) throw nb::python_error();
        nb::list all;
        for (Py_ssize_t i = 0; i < positions; ++i) all.append(nb::handle(state.all_qubits_values)());
        pattern = new_regular_pattern(all);
    }
    if (PyTuple_Check(pattern.ptr())) {
        // A tuple names the hardware qubits of fixed positions.
        nb::list exact;
        nb::object iterator = steal_or_throw(PyObject_GetIter(pattern.ptr()));
        while (nb::object qubit = next_item(iterator)) exact.append(nb::handle(state.exact_qubit_pattern)(qubit));
        pattern = new_regular_pattern(exact);
    }
    nb::setattr(self, "name", name);
    nb::setattr(self, "number_of_params", count);
    nb::setattr(self, "qubits_pattern", pattern);
    return nb::none();
}

nb::object key_repr(nb::handle self) {
    return compose({nb::str("InstructionKey(name="), nb::getattr(self, "name"), nb::str(", number_of_params="),
                    nb::getattr(self, "number_of_params"), nb::str(", qubits_pattern="),
                    nb::getattr(self, "qubits_pattern"), nb::str(")")});
}

// All three tests always run; the answer is the first false one, else the last.
nb::object key_matches(nb::handle self, nb::handle other) {
    nb::object names = steal_or_throw(PyObject_RichCompare(get_attr(self, "name"_id).ptr(),
                                                           get_attr(other, "name"_id).ptr(), Py_EQ));
    nb::object counts = steal_or_throw(PyObject_RichCompare(get_attr(self, "number_of_params"_id).ptr(),
                                                            get_attr(other, "number_of_params"_id).ptr(), Py_EQ));
    nb::object qubits = call_method(get_attr(self, "qubits_pattern"_id), "matches"_id, get_attr(other, "qubits"_id));
    if (!truth(names)) return names;
    if (!truth(counts)) return counts;
    return qubits;
}

nb::object create_single_qubit_pattern(nb::handle qubit) {
    if (!is_instance(qubit, state.identifier))
        raise_text(PyExc_ValueError,
                   nb::str("Qubit should be of type identifier - explicit ('$0') of implicit (a name)."));
    nb::object bound = nb::handle(state.hardware_qubits_transformer)().attr("visit_Identifier")(qubit);
    if (is_instance(bound, state.hardware_qubit))
        return nb::handle(state.exact_qubit_pattern)(nb::getattr(bound, "index"));
    return nb::handle(state.all_qubits_values)();
}

// A new regular pattern with one position per operand, each made by the
// class's own `_create_single_qubit_pattern`.
nb::object pattern_of_operands(nb::handle cls, nb::handle operands) {
    nb::object single = nb::getattr(cls, "_create_single_qubit_pattern");
    nb::list positions;
    for (nb::handle operand : operands) positions.append(single(operand));
    return new_regular_pattern(positions);
}

nb::object pattern_of_operand(nb::handle cls, nb::handle operand) {
    nb::list positions;
    positions.append(nb::getattr(cls, "_create_single_qubit_pattern")(operand));
    return new_regular_pattern(positions);
}

nb::object new_key(nb::handle cls, nb::handle name, nb::handle count, nb::handle pattern) {
    return cls("name"_arg = name, "number_of_params"_arg = count, "qubits_pattern"_arg = pattern);
}

nb::object create_from_quantum_gate_call(nb::handle cls, nb::handle declaration) {
    nb::object name = nb::getattr(nb::getattr(declaration, "name"), "name");
    nb::object count = nb::int_(length_of(nb::getattr(declaration, "arguments")));
    return new_key(cls, name, count, pattern_of_operands(cls, nb::getattr(declaration, "qubits")));
}

nb::object create_from_measurement(nb::handle cls, nb::handle declaration) {
    nb::object qubit = nb::getattr(nb::getattr(declaration, "measure"), "qubit");
    return new_key(state.instruction_key, nb::str("measure"), nb::int_(0), pattern_of_operand(cls, qubit));
}

nb::object create_from_quantum_reset(nb::handle cls, nb::handle declaration) {
    nb::object qubit = nb::getattr(declaration, "qubits");
    return new_key(state.instruction_key, nb::str("reset"), nb::int_(0), pattern_of_operand(cls, qubit));
}

nb::object create_from_delay(nb::handle cls, nb::handle declaration) {
    nb::object qubits = nb::getattr(declaration, "qubits");
    return new_key(state.instruction_key, nb::str("delay"), nb::int_(1), pattern_of_operands(cls, qubits));
}

bool text_is(nb::handle text, const char* word) { return PyUnicode_CompareWithASCIIString(text.ptr(), word) == 0; }

nb::object create_from_string(nb::handle cls, nb::handle s) {
    require_str(s, "s");
    // The bare words name instructions of any number of qubits.
    if (text_is(s, "reset") || text_is(s, "barrier"))
        return new_key(state.instruction_key, s, nb::int_(0), nb::handle(state.varying_qubits)());
    if (text_is(s, "gphase") || text_is(s, "delay"))
        return new_key(state.instruction_key, s, nb::int_(1), nb::handle(state.varying_qubits)());

    nb::object statements = nb::getattr(nb::handle(state.parse)(s), "statements");
    check_supported(length_of(statements) == 1, "Definition should have one statement");
    nb::object statement = statements[0];
    if (is_instance(statement, state.quantum_gate))
        return nb::getattr(cls, "create_from_quantum_gate_call")(statement);
    if (is_instance(statement, state.quantum_measurement_statement))
        return nb::getattr(cls, "create_from_measurement")(statement);
    if (is_instance(statement, state.quantum_reset)) return nb::getattr(cls, "create_from_quantum_reset")(statement);
    if (is_instance(statement, state.delay_instruction)) return nb::getattr(cls, "create_from_delay")(statement);
    raise_text(PyExc_NotImplementedError,
               compose({nb::str("Creation of "), class_name(state.instruction_key),
                        nb::str(" is not implemented for "), statement}));
}

nb::object key_is_varying(nb::handle self) {
    return nb::bool_(is_instance(nb::getattr(self, "qubits_pattern"), state.varying_qubits));
}

nb::object key_number_of_parametric_qubits(nb::handle self) {
    nb::object pattern = nb::getattr(self, "qubits_pattern");
    if (!is_instance(pattern, state.regular_qubits_pattern))
        raise_text(PyExc_ValueError, nb::str("Varying number of qubits has no parameters"));
    return nb::getattr(pattern, "number_of_parametric_qubits");
}

nb::object key_get_parametric_qubits(nb::handle self, nb::handle qubits) {
    return call_method(get_attr(self, "qubits_pattern"_id), "get_parametric_qubits"_id, qubits);
}

const char* const INSTRUCTION_KEY_DOC =
    "The key under which an implementation is registered.\n\n"
    "name: the gate or instruction name as written in OpenQASM.\n"
    "number_of_params: the number of classical parameters that a call carries.\n"
    "qubits_pattern: the pattern of the call's qubits: which positions are fixed to a\n"
    "    hardware qubit and which are handed to the implementation.";

}  // namespace

NB_MODULE(instruction_key, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "corvane.configurations.hardware_qubit",
                {"HardwareQubitIndex", "QubitPattern", "ExactQubitPattern", "AllQubitsValues", "HardwareQubit"});
    import_from(m, "corvane.passes.parsing.hardware_qubit_binder", {"HardwareQubitsTransformer"});
    import_from(m, "openqasm3.parser", {"parse"});
    import_from(m, "openqasm3", {"ast"});
    nb::object hardware_qubit = import_module("corvane.configurations.hardware_qubit");
    state.exact_qubit_pattern = keep(hardware_qubit.attr("ExactQubitPattern"));
    state.all_qubits_values = keep(hardware_qubit.attr("AllQubitsValues"));
    state.hardware_qubit = keep(hardware_qubit.attr("HardwareQubit"));
    state.hardware_qubits_transformer =
        keep_attr("corvane.passes.parsing.hardware_qubit_binder", "HardwareQubitsTransformer");
    state.parse = keep_attr("openqasm3.parser", "parse");
    nb::object ast = import_module("openqasm3.ast");
    state.identifier = keep(ast.attr("Identifier"));
    state.quantum_gate = keep(ast.attr("QuantumGate"));
    state.quantum_measurement_statement = keep(ast.attr("QuantumMeasurementStatement"));
    state.quantum_reset = keep(ast.attr("QuantumReset"));
    state.delay_instruction = keep(ast.attr("DelayInstruction"));

    nb::object index = hardware_qubit.attr("HardwareQubitIndex");
    m.attr("QubitsInput") = import_attr("typing", "Tuple")[nb::make_tuple(index, nb::ellipsis())];

    nb::object abc = import_attr("abc", "ABC");
    nb::object qubits_pattern =
        ClassBuilder(m, "QubitsPattern", {abc})
            .doc("The qubit pattern of an instruction key: which calls it accepts, which qubits it hands on.")
            .def_abstract("matches(self, other: QubitsInput) -> bool", abstract_operation,
                          "Whether a call on these hardware qubits fits the pattern.", "other"_arg)
            .def_abstract("get_parametric_qubits(self, qubits: QubitsInput) -> QubitsInput", abstract_operation,
                          "The call's qubits that go to the implementation.", "qubits"_arg)
            .build();
    state.regular_qubits_pattern =
        keep(ClassBuilder(m, "RegularQubitsPattern", {qubits_pattern})
                 .doc("The pattern of a call with a fixed number of qubits: one QubitPattern per position.")
                 .def("__init__(self, pattern: tuple[QubitPattern, ...]) -> None", regular_init,
                      "Holds one pattern per qubit position, in operand order.", "pattern"_arg)
                 .def("__len__(self) -> int", regular_len, "The number of qubit positions.")
                 .def("__repr__(self) -> str", regular_repr, "The text form of the positions' patterns.")
                 .def("matches(self, other: QubitsInput) -> bool", regular_matches,
                      "Whether the call has as many qubits and each position accepts its own.", "other"_arg)
                 .def_property("number_of_parametric_qubits(self) -> int", regular_number_of_parametric_qubits,
                               "The number of positions that accept any qubit.")
                 .def("get_parametric_qubits(self, qubits: QubitsInput) -> QubitsInput",
                      regular_get_parametric_qubits, "The qubits at the positions that accept any qubit.",
                      "qubits"_arg)
                 .build());
    state.varying_qubits =
        keep(ClassBuilder(m, "VaryingQubits", {qubits_pattern})
                 .doc("The pattern of an instruction with any number of qubits, all handed on.")
                 .def("matches(self, other: object) -> bool", varying_matches, "Always true.", "other"_arg)
                 .def("get_parametric_qubits(self, qubits: QubitsInput) -> QubitsInput",
                      varying_get_parametric_qubits, "The given qubits, unchanged.", "qubits"_arg)
                 .build());
    ClassBuilder(m, "OperationCandidate")
        .doc("One call as the registry resolves it: name, number of classical arguments and qubits.")
        .field("name", "str")
        .field("number_of_params", "int")
        .field("qubits", "QubitsInput")
        .def("__init__(self, name: str, number_of_params: int = 0, qubits: QubitsInput = ()) -> None",
             candidate_init, "Describes one call.", "name"_arg, "number_of_params"_arg = nb::int_(0),
             "qubits"_arg = nb::tuple())
        .def("__repr__(self) -> str", candidate_repr,
             "The text form of the call: its name, parameter count and qubits.")
        .build();
    state.instruction_key =
        keep(ClassBuilder(m, "InstructionKey")
                 .doc(INSTRUCTION_KEY_DOC)
                 .field("name", "str")
                 .field("number_of_params", "int")
                 .field("qubits_pattern", "QubitsPattern")
                 .def("__init__(self, name: str, number_of_params: int = 0,"
                      " qubits_pattern: QubitsPattern | tuple[HardwareQubitIndex, ...] = (),"
                      " number_of_parametric_qubits: int | None = None) -> None",
                      key_init, "Makes a key from its name, parameter count and qubit pattern.", "name"_arg,
                      "number_of_params"_arg = nb::int_(0), "qubits_pattern"_arg = nb::tuple(),
                      "number_of_parametric_qubits"_arg = nb::none())
                 .def("__repr__(self) -> str", key_repr, "The text form of the key's three fields.")
                 .def("matches(self, other: OperationCandidate) -> bool", key_matches,
                      "Whether the call has the key's name and parameter count and fits its qubit pattern.",
                      "other"_arg)
                 .def_classmethod("create_from_quantum_gate_call(cls, declaration: ast.QuantumGate) -> InstructionKey",
                                  create_from_quantum_gate_call, "The key of a gate call of a key string.",
                                  "cls"_arg, "declaration"_arg)
                 .def_classmethod("create_from_measurement(cls, declaration: ast.QuantumMeasurementStatement)"
                                  " -> InstructionKey",
                                  create_from_measurement, "The key of a measurement of a key string.", "cls"_arg,
                                  "declaration"_arg)
                 .def_classmethod("create_from_quantum_reset(cls, declaration: ast.QuantumReset) -> InstructionKey",
                                  create_from_quantum_reset, "The key of a reset of a key string.", "cls"_arg,
                                  "declaration"_arg)
                 .def_classmethod("create_from_delay(cls, declaration: ast.DelayInstruction) -> InstructionKey",
                                  create_from_delay, "The key of a delay of a key string.", "cls"_arg,
                                  "declaration"_arg)
                 .def_classmethod("create_from_string(cls, s: str) -> InstructionKey", create_from_string,
                                  "The key that a key string or a bare instruction word describes.", "cls"_arg,
                                  "s"_arg)
                 .def_static("_create_single_qubit_pattern(qubit: ast.Identifier) -> QubitPattern",
                             create_single_qubit_pattern,
                             "The pattern of one qubit operand: a hardware qubit fixes it, a name makes it free.",
                             "qubit"_arg)
                 .def_property("is_varying_number_of_qubits(self) -> bool", key_is_varying,
                               "Whether the key takes any number of qubits.")
                 .def_property("number_of_parametric_qubits(self) -> int", key_number_of_parametric_qubits,
                               "The number of qubits that the implementation receives.")
                 .def("get_parametric_qubits(self, qubits: QubitsInput) -> QubitsInput", key_get_parametric_qubits,
                      "The call's qubits that the implementation receives.", "qubits"_arg)
                 .build());
}
