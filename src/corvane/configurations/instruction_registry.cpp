// The instruction registry: the machine's implementations under their
// instruction keys. It refuses, when it is built, every implementation that
// cannot be called the way code generation calls it, and resolves each call
// to the first registered key that accepts it.
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

struct ModuleState {
    nb::handle signature;  // inspect.signature
    nb::handle empty;      // inspect.Parameter.empty
    nb::handle var_keyword;
    nb::handle keyword_only;
    nb::handle positional_or_keyword;
    nb::handle var_positional;
    nb::handle defaultdict;
    nb::handle instruction_key;
    nb::handle operation_candidate;
    nb::handle unresolvable_operation;
    nb::handle keyword_argument_with_no_default;
    nb::handle non_var_positional_last_argument;
    nb::handle unexpected_var_positional_argument;
    nb::handle number_of_parameters_mismatch;
} state;

nb::handle tuple_type() { return nb::handle(reinterpret_cast<PyObject*>(&PyTuple_Type)); }

// --- definition errors ------------------------------------------------------

nb::object definition_init(nb::handle self, nb::handle identifier, nb::handle operation) {
    nb::setattr(self, "_identifier", identifier);
    nb::setattr(self, "_operation", operation);
    return nb::none();
}

// The implementation as the texts name it: its `__name__`, or its text form
// when it has none (a partial function, a callable object).
nb::object operation_name(nb::handle self) {
    nb::object operation = nb::getattr(self, "_operation");
    PyObject* name = PyObject_GetAttrString(operation.ptr(), "__name__");
    if (name) return nb::steal(name);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return repr_of(operation);
}

nb::object key_name(nb::handle self) { return nb::getattr(nb::getattr(self, "_identifier"), "name"); }

nb::object non_var_positional_last_argument_str(nb::handle self) {
    nb::object name = key_name(self);
    return compose({nb::str("Operation '"), name,
                    nb::str("' is said to have a varying number of qubit inputs, so the given vyr-function ("),
                    operation_name(self),
                    nb::str(") should have *args as its last parameter (The name 'args' is not mandatory).")});
}

nb::object keyword_argument_with_no_default_str(nb::handle self) {
    return compose({nb::str("The vyr-function "), operation_name(self),
                    nb::str(" has a keyword argument with no default value, so it cannot be set when beign called.")});
}

nb::object unexpected_var_positional_argument_str(nb::handle self) {
    nb::object name = key_name(self);
    return compose({nb::str("Operation '"), name,
                    nb::str("' should not have a varying number of qubit inputs,but the given vyr-function ("),
                    operation_name(self), nb::str(") have an *args in its signature.")});
}

nb::object mismatch_init(nb::handle self, nb::handle identifier, nb::handle operation, nb::handle expected_args) {
    nb::setattr(self, "_expected_args", int_argument(expected_args, "expected_args"));
    nb::handle super_type(reinterpret_cast<PyObject*>(&PySuper_Type));
    super_type(state.number_of_parameters_mismatch, self).attr("__init__")(identifier, operation);
    return nb::none();
}

nb::object mismatch_str(nb::handle self) {
    nb::object identifier = nb::getattr(self, "_identifier");
    nb::object name = nb::getattr(identifier, "name");
    nb::object count = nb::getattr(identifier, "number_of_params");
    nb::object qubits = truth(nb::getattr(identifier, "is_varying_number_of_qubits"))
                            ? nb::object(nb::str("a varying number of"))
                            : nb::getattr(identifier, "number_of_parametric_qubits");
    return compose({nb::str("Operation '"), name, nb::str("' is said to have "), count, nb::str(" parameters and "),
                    qubits, nb::str(" parametric qubits,so the given vyr-function ("), operation_name(self),
                    nb::str(") should have "), nb::getattr(self, "_expected_args"), nb::str(" arguments.")});
}

[[noreturn]] void raise_definition_error(nb::handle error_class, nb::handle identifier, nb::handle vyr_func) {
    raise_error(error_class(identifier, vyr_func));
}

// --- signature validation -----------------------------------------------------

// The implementation is called with the call's classical arguments, then the
// parametric qubits, all by position: parameters that such a call cannot fill
// are refused, and those it fills must be as many as the key gives.
nb::object validate_identifier_operation_match(nb::handle identifier, nb::handle vyr_func) {
    nb::object parameters = nb::handle(state.signature)(vyr_func).attr("parameters").attr("values")();
    Py_ssize_t retained = 0;
    bool has_var_positional = false;
    nb::object last_kind;
    for (nb::handle parameter : parameters) {
        nb::object kind = nb::getattr(parameter, "kind");
        if (kind.is(state.var_keyword)) continue;
        if (kind.is(state.keyword_only)) {
            if (nb::getattr(parameter, "default").is(state.empty))
                raise_definition_error(state.keyword_argument_with_no_default, identifier, vyr_func);
            continue;
        }
        if (kind.is(state.positional_or_keyword) && !nb::getattr(parameter, "default").is(state.empty)) continue;
        ++retained;
        if (kind.is(state.var_positional)) has_var_positional = true;
        last_kind = kind;
    }

    nb::object expected;
    if (truth(nb::getattr(identifier, "is_varying_number_of_qubits"))) {
        if (retained == 0 || !last_kind.is(state.var_positional))
            raise_definition_error(state.non_var_positional_last_argument, identifier, vyr_func);
        expected = steal_or_throw(PyNumber_Add(nb::getattr(identifier, "number_of_params").ptr(), nb::int_(1).ptr()));
    } else {
        if (has_var_positional) raise_definition_error(state.unexpected_var_positional_argument, identifier, vyr_func);
        expected = steal_or_throw(PyNumber_Add(nb::getattr(identifier, "number_of_params").ptr(),
                                               nb::getattr(identifier, "number_of_parametric_qubits").ptr()));
    }
    nb::object differs = steal_or_throw(PyObject_RichCompare(nb::int_(retained).ptr(), expected.ptr(), Py_NE));
    if (truth(differs)) raise_error(nb::handle(state.number_of_parameters_mismatch)(identifier, vyr_func, expected));
    return nb::none();
}

// --- InstructionRegistry ------------------------------------------------------

nb::object registry_init(nb::handle self, nb::handle operations) {
    nb::dict registered;
    nb::object by_name = nb::handle(state.defaultdict)(tuple_type());
    nb::setattr(self, "_operations", registered);
    nb::setattr(self, "_name_to_identifiers", by_name);
    nb::object create_identifier = nb::getattr(self, "_create_identifier");
    for (nb::handle item : nb::getattr(operations, "items")()) {
        auto [given, vyr_func] = unpack_pair(item);
        nb::object key = create_identifier(given);
        validate_identifier_operation_match(key, vyr_func);
        registered[key] = vyr_func;
        nb::object name = nb::getattr(key, "name");
        nb::object keys = by_name[name];
        by_name[name] = steal_or_throw(PySequence_Concat(keys.ptr(), nb::make_tuple(key).ptr()));
    }
    return nb::none();
}

nb::object create_identifier(nb::handle input) {
    if (PyUnicode_Check(input.ptr())) return nb::getattr(state.instruction_key, "create_from_string")(input);
    return nb::borrow(input);
}

// The first key of the call's name, in registration order, that accepts it.
nb::object get_operation(nb::handle self, nb::handle identifier) {
    nb::object keys = get_attr(self, "_name_to_identifiers"_id)[get_attr(identifier, "name"_id)];
    for (nb::handle key : keys)
        if (truth(call_method(key, "matches"_id, identifier))) return nb::borrow(key);
    raise_error(nb::handle(state.unresolvable_operation)(
        compose({nb::str("Not found relevant operation for "), identifier})));
}

nb::object resolve_operation(nb::handle self, nb::handle name, nb::handle hardware_qubits, nb::args params) {
    require_str(name, "name");
    require_tuple(hardware_qubits, "hardware_qubits");
    nb::object candidate =
        call(state.operation_candidate, name, nb::int_(PyTuple_GET_SIZE(params.ptr())), hardware_qubits);
    nb::object key = call_method(self, "_get_operation"_id, candidate);
    nb::object vyr_func = get_attr(self, "_operations"_id)[key];
    nb::object qubits = call_method(key, "get_parametric_qubits"_id, hardware_qubits);
    nb::object arguments = steal_or_throw(PySequence_Concat(params.ptr(), qubits.ptr()));
    return nb::make_tuple(vyr_func, arguments);
}

nb::object available_identifiers(nb::handle self) {
    return steal_or_throw(PySet_New(nb::getattr(self, "_operations").ptr()));
}

}  // namespace

NB_MODULE(instruction_registry, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "corvane.configurations.hardware_qubit", {"HardwareQubitIndex"});
    import_from(m, "corvane.configurations.instruction_key", {"InstructionKey", "OperationCandidate"});
    import_from(m, "vk.vyr.type_hints", {"ScalarOfAnyType"});
    nb::object inspect = import_module("inspect");
    state.signature = keep(inspect.attr("signature"));
    nb::object parameter = inspect.attr("Parameter");
    state.empty = keep(parameter.attr("empty"));
    state.var_keyword = keep(parameter.attr("VAR_KEYWORD"));
    state.keyword_only = keep(parameter.attr("KEYWORD_ONLY"));
    state.positional_or_keyword = keep(parameter.attr("POSITIONAL_OR_KEYWORD"));
    state.var_positional = keep(parameter.attr("VAR_POSITIONAL"));
    nb::object callable = import_attr("collections.abc", "Callable");
    state.defaultdict = keep_attr("collections", "defaultdict");
    nb::object typing = import_module("typing");
    nb::object key_module = import_module("corvane.configurations.instruction_key");
    state.instruction_key = keep(key_module.attr("InstructionKey"));
    state.operation_candidate = keep(key_module.attr("OperationCandidate"));
    import_module("corvane.configurations.hardware_qubit");
    nb::object scalar = import_attr("vk.vyr.type_hints", "ScalarOfAnyType");

    nb::object vyr_func = callable[nb::make_tuple(nb::ellipsis(), typing.attr("Optional")[scalar])];
    m.attr("VyrFunc") = vyr_func;
    nb::handle text_type(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    m.attr("OperationsMapping") = typing.attr("Dict")[nb::make_tuple(
        typing.attr("Union")[nb::make_tuple(state.instruction_key, text_type)], vyr_func)];

    state.unresolvable_operation = keep(ClassBuilder(m, "UnresolvableOperation", {PyExc_Exception})
                                            .doc("No registered implementation accepts the call.")
                                            .build());
    nb::object definition_error =
        ClassBuilder(m, "OperationDefinitionException", {PyExc_ValueError})
            .doc("An implementation whose parameters do not fit its instruction key.")
            .def("__init__(self, identifier: InstructionKey, operation: VyrFunc) -> None", definition_init,
                 "Holds the key and the implementation.", "identifier"_arg, "operation"_arg)
            .build();
    state.non_var_positional_last_argument =
        keep(ClassBuilder(m, "NonVarPositionalLastArgument", {definition_error})
                 .doc("A key for any number of qubits whose implementation does not end with *args.")
                 .def("__str__(self) -> str", non_var_positional_last_argument_str, "The error's text.")
                 .build());
    state.keyword_argument_with_no_default =
        keep(ClassBuilder(m, "KeywordArgumentWithNoDefault", {definition_error})
                 .doc("An implementation with a keyword-only parameter that has no default.")
                 .def("__str__(self) -> str", keyword_argument_with_no_default_str, "The error's text.")
                 .build());
    state.unexpected_var_positional_argument =
        keep(ClassBuilder(m, "UnexpectedVarPositionalArgument", {definition_error})
                 .doc("A key for a fixed number of qubits whose implementation takes *args.")
                 .def("__str__(self) -> str", unexpected_var_positional_argument_str, "The error's text.")
                 .build());
    state.number_of_parameters_mismatch =
        keep(ClassBuilder(m, "NumberOfParametersMismatch", {definition_error})
                 .doc("An implementation that takes another number of arguments than its key gives.")
                 .def("__init__(self, identifier: InstructionKey, operation: VyrFunc, expected_args: int) -> None",
                      mismatch_init, "Holds the key, the implementation and the number of arguments it should take.",
                      "identifier"_arg, "operation"_arg, "expected_args"_arg)
                 .def("__str__(self) -> str", mismatch_str, "The error's text.")
                 .build());

    def_function(m, "validate_identifier_operation_match(identifier: InstructionKey, vyr_func: VyrFunc) -> None",
                 validate_identifier_operation_match,
                 "Refuses an implementation that cannot be called the way its key's calls are made.", "identifier"_arg,
                 "vyr_func"_arg);

    ClassBuilder(m, "InstructionRegistry")
        .doc("The implementations of a machine by instruction key: validates them and resolves calls to them.")
        .field("_operations", "Dict[InstructionKey, VyrFunc]")
        .def("__init__(self, operations: OperationsMapping) -> None", registry_init,
             "Registers every implementation under its key, parsing key strings and checking each one.",
             "operations"_arg)
        .def_static("_create_identifier(_input: InstructionKey | str) -> InstructionKey", create_identifier,
                    "The key that a key string describes; any other key unchanged.", "_input"_arg)
        .def("_get_operation(self, identifier: OperationCandidate) -> InstructionKey", get_operation,
             "The first registered key of the call's name that accepts the call.", "identifier"_arg)
        .def("resolve_operation(self, name: str, hardware_qubits: tuple[HardwareQubitIndex, ...], *params: object)"
             " -> tuple[VyrFunc, tuple[typing.Any, ...]]",
             resolve_operation, "The implementation of a call and the arguments to call it with.", "name"_arg,
             "hardware_qubits"_arg, "params"_arg)
        .def_property("available_identifiers(self) -> set[InstructionKey]", available_identifiers,
                      "A new set of the registered keys.")
        .build();
}
