// How a declared classical variable is held in the vyr program: a scalar or a
// one-dimensional array wrapper, of booleans, integers or fixed-point numbers.
#include "corvane/native/source_text.h"
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

struct ModuleState {
    nb::handle sdk;  // vk.vyr, whose `fixed` is read at each use
    nb::handle vyr_slot;
    nb::handle vyr_arr;
    nb::handle vyr_bit_register;
    nb::handle vyr_duration_slot, vyr_duration_arr, vyr_uint_slot, vyr_uint_arr;
    nb::handle bit_type, bool_type, int_type, uint_type, float_type, array_type, integer_literal;
    nb::handle unsupported_type;
    nb::handle unsupported_array;
    nb::handle invalid_array_size;
    nb::handle s_size, s_dimensions, s_base_type, s_value;
} state;

nb::object get(nb::handle object, nb::handle name) {
    return steal_or_throw(PyObject_GetAttr(object.ptr(), name.ptr()));
}

// --- errors -------------------------------------------------------------------
// The base error keeps the host's text of its arguments: the name alone.

void store_name(nb::handle self, nb::handle name) {
    require_str(name, "name");
    nb::setattr(self, "name", name);
}

nb::object unsupported_declaration_init(nb::handle self, nb::handle name) {
    store_name(self, name);
    return nb::none();
}

nb::object unsupported_type_init(nb::handle self, nb::handle name, nb::handle node_type) {
    store_name(self, name);
    nb::setattr(self, "node_type", node_type);
    return nb::none();
}

nb::object unsupported_type_str(nb::handle self) {
    return compose({nb::str("When declaring '"), nb::getattr(self, "name"), nb::str("' got type "),
                    nb::getattr(self, "node_type").type(), nb::str(" which is not supported.")});
}

nb::object invalid_array_size_init(nb::handle self, nb::handle name, nb::handle array_size) {
    store_name(self, name);
    nb::setattr(self, "array_size", array_size);
    return nb::none();
}

nb::object invalid_array_size_str(nb::handle self) {
    return compose({nb::str("When declaring '"), nb::getattr(self, "name"), nb::str("' got size of "),
                    nb::getattr(self, "array_size"),
                    nb::str(", Array size currently supports only literal integers.")});
}

nb::object unsupported_array_str(nb::handle self) {
    nb::object name = nb::getattr(self, "name");
    nb::object node_type = nb::getattr(self, "node_type");
    nb::object dimensions = nb::getattr(node_type, "dimensions", nb::none());
    Py_ssize_t count = dimensions.is_none() ? -1 : PyObject_Length(dimensions.ptr());
    if (count < 0) PyErr_Clear();
    if (count != 1)
        return compose({nb::str("When declaring '"), name, nb::str("' got an array of "),
                        count < 0 ? nb::object(nb::str("unknown")) : nb::object(nb::int_(count)),
                        nb::str(" dimensions; only one-dimensional arrays are supported.")});
    nb::object base = nb::getattr(node_type, "base_type", nb::none());
    if (is_instance(base, state.bit_type) && !nb::getattr(base, "size", nb::none()).is_none())
        return compose({nb::str("When declaring '"), name, nb::str("' got an array of "), node_source(base),
                        nb::str(", but an array's cell holds one bit: declare an array[bit, n] or a bit register.")});
    return compose({nb::str("When declaring '"), name, nb::str("' got an array of "), base.type(),
                    nb::str(", but arrays hold only int, uint, float, bool, bit, duration or stretch values.")});
}

[[noreturn]] void raise_new(nb::handle error_class, nb::handle name, nb::handle detail) {
    raise_error(error_class(name, detail));
}

// --- typing -------------------------------------------------------------------

nb::handle bool_dtype() { return nb::handle(reinterpret_cast<PyObject*>(&PyBool_Type)); }
nb::handle int_dtype() { return nb::handle(reinterpret_cast<PyObject*>(&PyLong_Type)); }
nb::object fixed_dtype() { return nb::getattr(state.sdk, "fixed"); }

bool is_either(nb::handle node, nb::handle a, nb::handle b) {
    return is_instance(node, a) || is_instance(node, b);
}

// Whether a `bit` type's size is absent or the literal 1.
bool is_one_bit(nb::handle size) {
    if (size.is_none()) return true;
    if (!is_instance(size, state.integer_literal)) return false;
    int one = PyObject_RichCompareBool(get(size, state.s_value).ptr(), nb::int_(1).ptr(), Py_EQ);
    check_status(one);
    return one != 0;
}

// The declared width of a `uint[n]`, or 0 where none is written as a literal
// of at least one bit: such an unsigned integer is held like any integer.
nb::object unsigned_width(nb::handle node_type) {
    if (!is_instance(node_type, state.uint_type)) return nb::object();
    nb::object size = nb::getattr(node_type, "size", nb::none());
    if (!is_instance(size, state.integer_literal)) return nb::object();
    nb::object width = get(size, state.s_value);
    nb::object one = nb::int_(1);
    int below_one = PyObject_RichCompareBool(width.ptr(), one.ptr(), Py_LT);
    check_status(below_one);
    return below_one ? nb::object() : width;
}

nb::object array_of(nb::handle name, nb::handle node_type) {
    nb::object dimensions = get(node_type, state.s_dimensions);
    Py_ssize_t count = PyObject_Length(dimensions.ptr());
    if (count < 0) throw nb::python_error();
    if (count != 1) raise_new(state.unsupported_array, name, node_type);
    nb::object dimension = steal_or_throw(PySequence_GetItem(dimensions.ptr(), 0));
    if (!is_instance(dimension, state.integer_literal)) raise_new(state.invalid_array_size, name, dimension);
    nb::object size = get(dimension, state.s_value);
    nb::object one = nb::int_(1);
    int below_one = PyObject_RichCompareBool(size.ptr(), one.ptr(), Py_LT);
    check_status(below_one);
    if (below_one) raise_new(state.invalid_array_size, name, dimension);

    nb::object base = get(node_type, state.s_base_type);
    if (is_either(base, state.int_type, state.uint_type)) {
        nb::object width = unsigned_width(base);
        if (width.is_valid()) return nb::handle(state.vyr_uint_arr)(name, int_dtype(), size, width);
        return nb::handle(state.vyr_arr)(name, int_dtype(), size);
    }
    if (typing::is_duration_type(base)) return nb::handle(state.vyr_duration_arr)(name, fixed_dtype(), size);
    if (is_instance(base, state.float_type)) return nb::handle(state.vyr_arr)(name, fixed_dtype(), size);
    if (is_either(base, state.bit_type, state.bool_type)) {
        // Each cell holds one bit: `bit[n]` cells would keep only their lowest bit.
        if (is_instance(base, state.bit_type) && !is_one_bit(get(base, state.s_size)))
            raise_new(state.unsupported_array, name, node_type);
        return nb::handle(state.vyr_arr)(name, bool_dtype(), size);
    }
    raise_new(state.unsupported_array, name, node_type);
}

nb::object get_variable_to_init(nb::handle name, nb::handle node_type) {
    require_str(name, "name");
    if (is_either(node_type, state.bit_type, state.bool_type)) {
        // Only a bit register carries a width; a BoolType node has no `size`.
        nb::object size = nb::steal(PyObject_GetAttr(node_type.ptr(), state.s_size.ptr()));
        if (!size.is_valid()) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
            PyErr_Clear();
        }
        if (size.is_valid() && !size.is_none()) {
            if (!is_instance(size, state.integer_literal)) raise_new(state.invalid_array_size, name, size);
            // A register, unlike `array[bool, n]`: it reads as a number when used as a value.
            return nb::handle(state.vyr_bit_register)(name, bool_dtype(), get(size, state.s_value));
        }
        return nb::handle(state.vyr_slot)(name, bool_dtype());
    }
    if (is_either(node_type, state.int_type, state.uint_type)) {
        nb::object width = unsigned_width(node_type);
        if (width.is_valid()) return nb::handle(state.vyr_uint_slot)(name, int_dtype(), width);
        return nb::handle(state.vyr_slot)(name, int_dtype());
    }
    if (typing::is_duration_type(node_type)) return nb::handle(state.vyr_duration_slot)(name, fixed_dtype());
    if (is_instance(node_type, state.float_type)) return nb::handle(state.vyr_slot)(name, fixed_dtype());
    if (is_instance(node_type, state.array_type)) return array_of(name, node_type);
    raise_new(state.unsupported_type, name, node_type);
}

}  // namespace

NB_MODULE(initial_value_inference, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "corvane.vyr_slot", {"VyrSlot", "VyrArr"});
    import_from(m, "openqasm3", {"ast"});
    import_from(m, "vk", {"vyr"});
    nb::object vyr_slot = import_module("corvane.vyr_slot");
    nb::object ast = import_module("openqasm3.ast");
    state.sdk = keep(import_module("vk.vyr"));
    state.vyr_slot = keep(vyr_slot.attr("VyrSlot"));
    state.vyr_arr = keep(vyr_slot.attr("VyrArr"));
    state.vyr_bit_register = keep(vyr_slot.attr("VyrBitRegister"));
    state.vyr_duration_slot = keep(vyr_slot.attr("VyrDurationSlot"));
    state.vyr_duration_arr = keep(vyr_slot.attr("VyrDurationArr"));
    state.vyr_uint_slot = keep(vyr_slot.attr("VyrUintSlot"));
    state.vyr_uint_arr = keep(vyr_slot.attr("VyrUintArr"));
    state.bit_type = keep(ast.attr("BitType"));
    state.bool_type = keep(ast.attr("BoolType"));
    state.int_type = keep(ast.attr("IntType"));
    state.uint_type = keep(ast.attr("UintType"));
    state.float_type = keep(ast.attr("FloatType"));
    state.array_type = keep(ast.attr("ArrayType"));
    state.integer_literal = keep(ast.attr("IntegerLiteral"));
    state.s_size = intern("size");
    state.s_dimensions = intern("dimensions");
    state.s_base_type = intern("base_type");
    state.s_value = intern("value");

    // Any classical type node of the syntax tree.
    m.attr("InitType") = ast.attr("ClassicalType");

    nb::handle exception(PyExc_Exception);
    nb::handle base = keep(ClassBuilder(m, "UnsupportedDeclarationException", {exception})
                               .doc("A declaration that has no vyr variable to stand for it.")
                               .def("__init__(self, name: str) -> None", unsupported_declaration_init,
                                    "Holds the declared name.", "name"_arg)
                               .build());
    state.unsupported_type = keep(ClassBuilder(m, "UnsupportedTypeException", {base})
                                      .doc("A declaration of a type that vyr variables cannot have.")
                                      .def("__init__(self, name: str, node_type: InitType) -> None",
                                           unsupported_type_init, "Holds the name and the declared type.",
                                           "name"_arg, "node_type"_arg)
                                      .def("__str__(self) -> str", unsupported_type_str, "The error's text.")
                                      .build());
    state.unsupported_array = keep(ClassBuilder(m, "UnsupportedArrayException", {base})
                                       .doc("An array of several dimensions, or of a type that vyr arrays cannot hold.")
                                       .def("__init__(self, name: str, node_type: InitType) -> None",
                                            unsupported_type_init, "Holds the name and the declared array type.",
                                            "name"_arg, "node_type"_arg)
                                       .def("__str__(self) -> str", unsupported_array_str, "The error's text.")
                                       .build());
    state.invalid_array_size = keep(ClassBuilder(m, "InvalidArraySizeException", {base})
                                        .doc("A declared size that is not a literal integer, or one below 1.")
                                        .def("__init__(self, name: str, array_size: ast.Expression) -> None",
                                             invalid_array_size_init, "Holds the name and the size node.",
                                             "name"_arg, "array_size"_arg)
                                        .def("__str__(self) -> str", invalid_array_size_str, "The error's text.")
                                        .build());

    def_function(m, "get_variable_to_init(name: str, node_type: InitType) -> VyrSlot[typing.Any] | VyrArr[typing.Any]",
                 get_variable_to_init, "A new, undeclared wrapper for a variable of that name and declared type.",
                 "name"_arg, "node_type"_arg);
}
