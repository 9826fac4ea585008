// Hardware qubits: the syntax-tree node that names one qubit of the control
// hardware by its number, the type names of the machine description and the
// patterns that one qubit position of an instruction key accepts.
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

struct ModuleState {
    nb::handle hardware_qubit;
} state;

// --- HardwareQubit --------------------------------------------------------

nb::object create_hardware_qubit(nb::handle index) {
    nb::object number = int_argument(index, "index");
    nb::object name = steal_or_throw(PyUnicode_FromFormat("$%S", number.ptr()));
    return call(state.hardware_qubit, name, number);
}

// --- qubit patterns ---------------------------------------------------------

nb::object qubit_pattern_matches(nb::handle, nb::handle) { return nb::none(); }

nb::object exact_init(nb::handle self, nb::handle value) {
    nb::setattr(self, "_value", value);
    return nb::none();
}

nb::object exact_matches(nb::handle self, nb::handle other) {
    nb::object value = nb::getattr(self, "_value");
    return steal_or_throw(PyObject_RichCompare(value.ptr(), other.ptr(), Py_EQ));
}

nb::object exact_repr(nb::handle self) {
    return compose({nb::str("ExactQubitPattern("), nb::getattr(self, "_value"), nb::str(")")});
}

nb::object all_matches(nb::handle, nb::handle) { return nb::bool_(true); }

}  // namespace

NB_MODULE(hardware_qubit, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "openqasm3", {"ast"});
    nb::object typing = import_module("typing");
    nb::object ast = import_module("openqasm3.ast");

    // The type names of the machine description.
    nb::handle text_type(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    nb::handle int_type(reinterpret_cast<PyObject*>(&PyLong_Type));
    nb::object elements = typing.attr("Tuple")[nb::make_tuple(text_type, nb::ellipsis())];
    m.attr("Element") = text_type;
    m.attr("HardwareQubitIndex") = int_type;
    m.attr("Elements") = elements;
    m.attr("QubitsMapping") = typing.attr("Dict")[nb::make_tuple(int_type, elements)];

    state.hardware_qubit = keep(ClassBuilder(m, "HardwareQubit", {ast.attr("Identifier")})
                                    .doc("A syntax-tree identifier that names a hardware qubit by its number.")
                                    .field("index", "int")
                                    .build_dataclass());
    def_function(m, "create_hardware_qubit(index: int) -> HardwareQubit", create_hardware_qubit,
                 "The node of the hardware qubit with that number, named \"$\" and the number.", "index"_arg);

    nb::object abc = import_attr("abc", "ABC");
    nb::object qubit_pattern =
        ClassBuilder(m, "QubitPattern", {abc})
            .doc("What one qubit position of an instruction key accepts.")
            .def_abstract("matches(self, other: HardwareQubitIndex) -> bool", qubit_pattern_matches,
                          "Whether the position accepts the hardware qubit.", "other"_arg)
            .build();
    ClassBuilder(m, "ExactQubitPattern", {qubit_pattern})
        .doc("A position fixed to one hardware qubit.")
        .def("__init__(self, value: HardwareQubitIndex) -> None", exact_init, "Fixes the position to the qubit.",
             "value"_arg)
        .def("matches(self, other: HardwareQubitIndex) -> bool", exact_matches, "Whether it is the fixed qubit.",
             "other"_arg)
        .def("__repr__(self) -> str", exact_repr, "ExactQubitPattern(<qubit>).")
        .build();
    ClassBuilder(m, "AllQubitsValues", {qubit_pattern})
        .doc("A position that accepts any hardware qubit and hands it to the implementation.")
        .def("matches(self, other: HardwareQubitIndex) -> bool", all_matches, "Always true.", "other"_arg)
        .build();
}
