// Wrappers of single vyr variables: a scalar (VyrSlot) or a one-dimensional
// array (VyrArr). A wrapper is made before its variable exists, declares it
// through the vk SDK into whatever program scope is open, then assigns and
// saves it. The SDK module is read from this module's `vyr` attribute at each
// call, as the module's own global name.
#include "corvane/native/context.h"
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native::literals;
using namespace corvane::native;

namespace {

struct ModuleState {
    nb::handle module;
    nb::handle sequence;
    nb::handle fetching_undeclared;
    nb::handle no_stream;
    nb::handle assignment_error;
    nb::handle bit_register;
} state;

nb::handle int_type() { return nb::handle(reinterpret_cast<PyObject*>(&PyLong_Type)); }

nb::object sdk() { return nb::getattr(state.module, "vyr"); }

// --- errors ---------------------------------------------------------------

nb::object name_error_init(nb::handle self, nb::handle name) {
    require_str(name, "name");
    nb::setattr(self, "name", name);
    return nb::none();
}

nb::object fetching_str(nb::handle self) {
    return compose({nb::str("Tried to operate on the variable '"), nb::getattr(self, "name"), nb::str("'.")});
}

nb::object no_stream_str(nb::handle self) {
    return compose({nb::str("No stream variable was declared for "), nb::getattr(self, "name"), nb::str(".")});
}

nb::object assignment_init(nb::handle self, nb::handle target_name, nb::handle value) {
    require_str(target_name, "target_name");
    nb::setattr(self, "target_name", target_name);
    nb::setattr(self, "value", value);
    return nb::none();
}

nb::object assignment_str(nb::handle self) {
    return compose({nb::str("Vyr failed to assign "), nb::getattr(self, "value"), nb::str(" into "),
                    nb::getattr(self, "target_name")});
}

nb::object indexing_str(nb::handle self) {
    return compose({nb::str("The variable \""), nb::getattr(self, "name"),
                    nb::str("\" is not an array, and hence cannot be indexed")});
}

// --- VyrSlotBase ------------------------------------------------------------

void base_init(nb::handle self, nb::handle name, nb::handle dtype) {
    require_str(name, "name");
    nb::setattr(self, "_name", name);
    nb::setattr(self, "dtype", dtype);
    nb::setattr(self, "_vyr_value_exp", nb::none());
    nb::setattr(self, "_stream_var", nb::none());
}

nb::object slot_base_init(nb::handle self, nb::handle name, nb::handle dtype) {
    base_init(self, name, dtype);
    return nb::none();
}

nb::object name_getter(nb::handle self) { return nb::getattr(self, "_name"); }

nb::object vyr_value_exp_getter(nb::handle self) {
    nb::object expression = nb::getattr(self, "_vyr_value_exp");
    if (expression.is_none()) raise_error(state.fetching_undeclared(nb::getattr(self, "name")));
    return expression;
}

nb::object stream_var_getter(nb::handle self) {
    nb::object stream = nb::getattr(self, "_stream_var");
    if (stream.is_none()) raise_error(state.no_stream(nb::getattr(self, "name")));
    return stream;
}

nb::object exception_wrapped_assign(nb::handle self, nb::handle assignee, nb::handle value) {
    try {
        nb::object assign = nb::getattr(sdk(), "assign");
        assign(assignee, value);
    } catch (nb::python_error& error) {
        if (!is_ordinary(error)) throw;
        HandlingError handling(error.value());
        nb::object wrapped = state.assignment_error(nb::getattr(self, "name"), value);
        raise_from(wrapped, error.value());
    }
    return nb::none();
}

nb::object does_nothing(nb::handle) { return nb::none(); }
nb::object does_nothing_with(nb::handle, nb::handle) { return nb::none(); }

nb::object declare(nb::handle self, nb::handle declare_input_stream, nb::handle declare_output_stream) {
    nb::object vyr = sdk();
    if (truth(declare_output_stream)) {
        nb::object declare_stream = nb::getattr(vyr, "declare_stream");
        nb::setattr(self, "_stream_var", declare_stream());
    }
    nb::object initial_value = nb::getattr(self, "_get_init_value")();
    if (truth(declare_input_stream)) {
        nb::object declare_input = nb::getattr(vyr, "declare_input_stream");
        nb::object dtype = nb::getattr(self, "dtype");
        nb::object name = nb::getattr(self, "name");
        nb::setattr(self, "_vyr_value_exp", declare_input(dtype, "name"_arg = name, "value"_arg = initial_value));
        nb::object advance = nb::getattr(vyr, "advance_input_stream");
        advance(nb::getattr(self, "vyr_value_exp"));
    } else {
        nb::object declare_variable = nb::getattr(vyr, "declare");
        nb::object dtype = nb::getattr(self, "dtype");
        nb::setattr(self, "_vyr_value_exp", declare_variable(dtype, "value"_arg = initial_value));
    }
    return nb::none();
}

nb::object save(nb::handle self) {
    nb::getattr(self, "_save_variable_to_stream")();
    nb::getattr(self, "_save_all")();
    return nb::none();
}

nb::object save_all(nb::handle self) {
    nb::object processing = nb::getattr(sdk(), "stream_processing")();
    with_context(processing, [&] {
        nb::object stream = nb::getattr(self, "stream_var");
        nb::object save_all_method = nb::getattr(stream, "save_all");
        save_all_method(nb::getattr(self, "name"));
    });
    return nb::none();
}

// --- VyrSlot ----------------------------------------------------------------

nb::object slot_get_init_value(nb::handle self) { return nb::getattr(self, "dtype")(0); }

nb::object slot_assign(nb::handle self, nb::handle value) {
    nb::object expression = nb::getattr(self, "vyr_value_exp");
    nb::getattr(self, "_exception_wrapped_assign")(expression, value);
    return nb::none();
}

nb::object slot_save_variable_to_stream(nb::handle self) {
    nb::object save_call = nb::getattr(sdk(), "save");
    nb::object expression = nb::getattr(self, "vyr_value_exp");
    nb::object stream = nb::getattr(self, "stream_var");
    save_call(expression, stream);
    return nb::none();
}

// --- VyrArr -----------------------------------------------------------------

nb::object arr_init(nb::handle self, nb::handle name, nb::handle dtype, nb::handle size) {
    nb::object cells = int_argument(size, "size");
    base_init(self, name, dtype);
    nb::setattr(self, "size", cells);
    return nb::none();
}

// An unsigned integer's width in bits, kept after the fields of the wrapper it marks.
nb::object uint_slot_init(nb::handle self, nb::handle name, nb::handle dtype, nb::handle width) {
    nb::object bits = int_argument(width, "width");
    base_init(self, name, dtype);
    nb::setattr(self, "width", bits);
    return nb::none();
}

nb::object uint_arr_init(nb::handle self, nb::handle name, nb::handle dtype, nb::handle size, nb::handle width) {
    nb::object bits = int_argument(width, "width");
    arr_init(self, name, dtype, size);
    nb::setattr(self, "width", bits);
    return nb::none();
}

nb::object arr_get_init_value(nb::handle self) {
    nb::object zero = nb::getattr(self, "dtype")(0);
    nb::list one;
    one.append(zero);
    nb::object size = nb::getattr(self, "size");
    return steal_or_throw(PyNumber_Multiply(one.ptr(), size.ptr()));
}

// "the array 'a'" or "the bit register 'c'", by the program's name.
nb::str described(nb::handle self, bool bits) {
    return compose({nb::str(bits ? "the bit register '" : "the array '"), nb::getattr(self, "name"), nb::str("'")});
}

// A plain index counts from the end when it is negative (-1 is the last
// cell), as in OpenQASM; one outside the cells is refused by the program's
// name of the array. An index known only when the program runs is the SDK's.
nb::object cell_position(nb::handle self, nb::handle idx) {
    if (PyFloat_Check(idx.ptr())) {
        bool bits = is_instance(self, state.bit_register);
        raise_text(PyExc_TypeError, compose({nb::str("The index "), idx, nb::str(" of "), described(self, bits),
                                             nb::str(" is not an integer.")}));
    }
    if (!PyLong_Check(idx.ptr())) return nb::borrow(idx);
    nb::object size = nb::getattr(self, "size");
    if (!PyLong_Check(size.ptr())) return nb::borrow(idx);
    nb::object zero = nb::int_(0);
    int negative = PyObject_RichCompareBool(idx.ptr(), zero.ptr(), Py_LT);
    check_status(negative);
    nb::object position = negative ? steal_or_throw(PyNumber_Add(idx.ptr(), size.ptr())) : nb::borrow(idx);
    int below = PyObject_RichCompareBool(position.ptr(), zero.ptr(), Py_LT);
    check_status(below);
    int beyond = PyObject_RichCompareBool(position.ptr(), size.ptr(), Py_GE);
    check_status(beyond);
    if (!below && !beyond) return position;
    bool bits = is_instance(self, state.bit_register);
    raise_text(PyExc_IndexError,
               compose({nb::str("Index "), idx, nb::str(" is out of range for "), described(self, bits),
                        nb::str(" of "), size, nb::str(bits ? " bits." : " cells.")}));
}

nb::object get_single_index(nb::handle self, nb::handle idx) {
    nb::object expression = nb::getattr(self, "vyr_value_exp");
    nb::object position = cell_position(self, idx);
    PyObject* cell = PyObject_GetItem(expression.ptr(), position.ptr());
    if (cell) return nb::steal(cell);
    nb::python_error error;
    // The SDK names its own variable; the program knows the array by its name.
    if (!error.matches(PyExc_TypeError)) throw error;
    HandlingError handling(error.value());
    bool bits = is_instance(self, state.bit_register);
    nb::object refused = steal_or_throw(PyObject_CallOneArg(
        PyExc_TypeError, compose({nb::str("The index of "), described(self, bits),
                                  nb::str(" is not an integer expression.")}).ptr()));
    raise_from(refused, error.value());
}

nb::object assign_single(nb::handle self, nb::handle idx, nb::handle value) {
    nb::object cell = nb::getattr(self, "get_single_index")(idx);
    nb::getattr(self, "_exception_wrapped_assign")(cell, value);
    return nb::none();
}

nb::object arr_assign(nb::handle self, nb::handle value) {
    nb::getattr(self, "assign_range")(value);
    return nb::none();
}

// A loop of the target program over `index` from `start` while below `stop`,
// advancing by 1: `vyr.for_(index, start, index < stop, index + 1)`.
template <typename Body>
void counted_loop(nb::handle start, nb::handle stop, Body&& body) {
    nb::object vyr = sdk();
    nb::object declare_variable = nb::getattr(vyr, "declare");
    nb::object index = declare_variable(int_type());
    nb::object for_ = nb::getattr(vyr, "for_");
    nb::object condition = steal_or_throw(PyObject_RichCompare(index.ptr(), stop.ptr(), Py_LT));
    nb::object one = nb::int_(1);
    nb::object update = steal_or_throw(PyNumber_Add(index.ptr(), one.ptr()));
    nb::object loop = for_(index, start, condition, update);
    with_context(loop, [&] { body(index); });
}

nb::object assign_range(nb::handle self, nb::handle value, nb::handle start, nb::handle stop, nb::handle step) {
    nb::object end = stop.is_none() ? nb::getattr(self, "size") : nb::borrow(stop);
    if (!is_instance(value, state.sequence)) {
        counted_loop(start, end, [&](nb::handle index) { nb::getattr(self, "assign_single")(index, value); });
        return nb::none();
    }
    if (!PyLong_Check(start.ptr()) || !PyLong_Check(end.ptr()) || !PyLong_Check(step.ptr()))
        raise_text(PyExc_TypeError, nb::str("Cannot dynamically assign values from pythonic list"));
    nb::object indices = steal_or_throw(PyObject_CallFunctionObjArgs(
        reinterpret_cast<PyObject*>(&PyRange_Type), start.ptr(), end.ptr(), step.ptr(), nullptr));
    nb::object index_iterator = steal_or_throw(PyObject_GetIter(indices.ptr()));
    nb::object value_iterator = steal_or_throw(PyObject_GetIter(value.ptr()));
    // Pairs indices with items as zip does: the shorter of the two ends the pairing.
    while (true) {
        PyObject* index = PyIter_Next(index_iterator.ptr());
        if (!index) break;
        nb::object index_object = nb::steal(index);
        PyObject* item = PyIter_Next(value_iterator.ptr());
        if (!item) break;
        nb::object item_object = nb::steal(item);
        nb::getattr(self, "assign_single")(index_object, item_object);
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return nb::none();
}

// Bit `i` of a value given to a bit register, as its cell takes it: the
// register holds the value's unsigned bits, cell i weighing 2**i, so that it
// reads back as the value. A boolean is the number 0 or 1; a fixed-point
// number is truncated first.
nb::object bit_of(nb::handle value, Py_ssize_t i) {
    nb::handle bool_type(reinterpret_cast<PyObject*>(&PyBool_Type));
    nb::object position = nb::int_(i);
    nb::object one = nb::int_(1);
    if (PyBool_Check(value.ptr())) return nb::bool_(i == 0 && value.ptr() == Py_True);
    if (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) {
        nb::object integer = steal_or_throw(PyNumber_Long(value.ptr()));
        nb::object shifted = steal_or_throw(PyNumber_Rshift(integer.ptr(), position.ptr()));
        nb::object bit = steal_or_throw(PyNumber_And(shifted.ptr(), one.ptr()));
        return nb::bool_(truth(bit));
    }
    nb::object dtype = nb::getattr(value, "dtype");
    if (dtype.is(bool_type)) return i == 0 ? nb::borrow(value) : nb::bool_(false);
    nb::object integer = nb::borrow(value);
    if (!dtype.is(int_type())) integer = nb::getattr(nb::getattr(sdk(), "Cast"), "to_int")(value);
    nb::object shifted = i == 0 ? integer : steal_or_throw(PyNumber_Rshift(integer.ptr(), position.ptr()));
    nb::object bit = steal_or_throw(PyNumber_And(shifted.ptr(), one.ptr()));
    return steal_or_throw(PyObject_RichCompare(bit.ptr(), one.ptr(), Py_EQ));
}

// A sequence goes cell by cell, as into any array; a single value is spread
// over the cells by its bits, where an array would take it in every cell.
nb::object bit_register_assign(nb::handle self, nb::handle value) {
    if (is_instance(value, state.sequence)) return arr_assign(self, value);
    nb::object size_object = nb::getattr(self, "size");
    const Py_ssize_t size = PyNumber_AsSsize_t(size_object.ptr(), PyExc_OverflowError);
    if (size == -1 && PyErr_Occurred()) throw nb::python_error();
    nb::object assign_cell = nb::getattr(self, "assign_single");
    for (Py_ssize_t i = 0; i < size; ++i) assign_cell(nb::int_(i), bit_of(value, i));
    return nb::none();
}

nb::object arr_save_variable_to_stream(nb::handle self) {
    nb::object zero = nb::int_(0);
    nb::object size = nb::getattr(self, "size");
    counted_loop(zero, size, [&](nb::handle index) {
        nb::object save_call = nb::getattr(sdk(), "save");
        nb::object expression = nb::getattr(self, "vyr_value_exp");
        nb::object cell = steal_or_throw(PyObject_GetItem(expression.ptr(), index.ptr()));
        nb::object stream = nb::getattr(self, "stream_var");
        save_call(cell, stream);
    });
    return nb::none();
}

nb::object subscript(nb::handle generic, nb::handle parameters) {
    return steal_or_throw(PyObject_GetItem(generic.ptr(), parameters.ptr()));
}

}  // namespace

NB_MODULE(vyr_slot, m) {
    state.module = keep(nb::borrow(m));

    // The module's imports, under the names it binds them to.
    import_from(m, "vk", {"vyr"});
    import_from(m, "vk.vyr._expressions", {"VyrArrayVariable"});
    nb::object type_hints = import_from(
        m, "vk.vyr.type_hints", {"Scalar", "VyrVariable", "ScalarOfAnyType", "ResultStreamSource", "VyrArrayCell"});
    import_from(m, "abc", {"ABC", "abstractmethod"});
    import_from(m, "collections.abc", {"Sequence"});
    nb::object typing = import_from(m, "typing", {"Generic", "TypeVar", "Union"});
    nb::handle array_variable = keep(nb::getattr(m, "VyrArrayVariable"));
    nb::handle variable = keep(nb::getattr(type_hints, "VyrVariable"));
    nb::handle abc = keep(nb::getattr(m, "ABC"));
    state.sequence = keep(nb::getattr(m, "Sequence"));
    nb::object generic = nb::getattr(typing, "Generic");
    nb::object type_var = nb::getattr(typing, "TypeVar");
    nb::object union_ = nb::getattr(typing, "Union");

    nb::handle exception(PyExc_Exception);
    nb::handle operating = keep(ClassBuilder(m, "OperatingOnUndeclaredVariableException", {exception})
                                    .doc("The base of the errors of a wrapper that lacks its declaration or stream.")
                                    .def("__init__(self, name: str) -> None", name_error_init,
                                         "Holds the variable's name.", "name"_arg)
                                    .build());
    state.fetching_undeclared = keep(ClassBuilder(m, "FetchingUndeclaredVariableException", {operating})
                                         .doc("A wrapper used before its variable was declared.")
                                         .def("__str__(self) -> str", fetching_str, "The error's text.")
                                         .build());
    state.no_stream = keep(ClassBuilder(m, "NoStreamVariableException", {operating})
                               .doc("A wrapper saved without a result stream.")
                               .def("__str__(self) -> str", no_stream_str, "The error's text.")
                               .build());
    state.assignment_error =
        keep(ClassBuilder(m, "VyrAssignmentException", {exception})
                 .doc("The vk SDK refused an assignment; its error is the cause.")
                 .def("__init__(self, target_name: str, value: ScalarOfAnyType) -> None", assignment_init,
                      "Holds the variable's name and the value.", "target_name"_arg, "value"_arg)
                 .def("__str__(self) -> str", assignment_str, "The error's text.")
                 .build());
    ClassBuilder(m, "IndexingVariableException", {exception})
        .doc("An indexed access to a variable that is not an array.")
        .def("__init__(self, name: str) -> None", name_error_init, "Holds the variable's name.", "name"_arg)
        .def("__str__(self) -> str", indexing_str, "The error's text.")
        .build();

    nb::handle bool_type(reinterpret_cast<PyObject*>(&PyBool_Type));
    nb::handle float_type(reinterpret_cast<PyObject*>(&PyFloat_Type));
    nb::object number_t = type_var("NumberT", bool_type, int_type(), float_type);
    nb::setattr(m, "NumberT", number_t);
    nb::list expressions;
    for (nb::handle container : {variable, array_variable})
        for (nb::handle element : {bool_type, int_type(), float_type}) expressions.append(subscript(container, element));
    nb::tuple expression_types(expressions);
    nb::list type_var_arguments;
    type_var_arguments.append(nb::str("VyrExpT"));
    for (nb::handle expression : expression_types) type_var_arguments.append(expression);
    nb::object vyr_exp_t = steal_or_throw(PyObject_Call(type_var.ptr(), nb::tuple(type_var_arguments).ptr(), nullptr));
    nb::setattr(m, "VyrExpT", vyr_exp_t);
    nb::setattr(m, "AllExps", subscript(union_, expression_types));

    nb::object slot_base =
        ClassBuilder(m, "VyrSlotBase", {subscript(generic, nb::make_tuple(number_t, vyr_exp_t)), abc})
            .doc("The wrapper of one vyr variable: declares, assigns and saves it through the vk SDK.")
            .field("dtype", "Type[NumberT]")
            .def("__init__(self, name: str, dtype: type[NumberT]) -> None", slot_base_init,
                 "An undeclared wrapper of a variable of that name and element type.", "name"_arg, "dtype"_arg)
            .def_property("name(self) -> str", name_getter, "The variable's name.")
            .def_property("vyr_value_exp(self) -> VyrExpT", vyr_value_exp_getter,
                          "The vk variable that declaring the wrapper made.")
            .def_property("stream_var(self) -> ResultStreamSource", stream_var_getter,
                          "The variable's result stream.")
            .def("_exception_wrapped_assign(self, assignee: VyrVariable[NumberT] | VyrArrayCell[NumberT],"
                 " value: Scalar[NumberT]) -> None",
                 exception_wrapped_assign, "Assigns through the vk SDK, wrapping its failure.", "assignee"_arg,
                 "value"_arg)
            .def_abstract("_get_init_value(self) -> NumberT | list[NumberT]", does_nothing,
                          "The value that the variable is declared with.")
            .def("declare(self, declare_input_stream: bool, declare_output_stream: bool) -> None", declare,
                 "Declares the variable, fed from an input stream or with a result stream when asked.",
                 "declare_input_stream"_arg, "declare_output_stream"_arg)
            .def("save(self) -> None", save, "Saves the value into the result stream and the stream by name.")
            .def_abstract("_save_variable_to_stream(self) -> None", does_nothing,
                          "Saves the variable's value into its result stream.")
            .def("_save_all(self) -> None", save_all, "Saves the result stream under the variable's name.")
            .def_abstract("assign(self, value: Scalar[NumberT]) -> None", does_nothing_with,
                          "Assigns a value to the variable.", "value"_arg)
            .build();

    ClassBuilder(m, "VyrSlot", {subscript(slot_base, nb::make_tuple(number_t, subscript(variable, number_t)))})
        .doc("The wrapper of a vyr scalar of booleans, integers or fixed-point numbers.")
        .def("__init__(self, name: str, dtype: type[NumberT]) -> None", slot_base_init,
             "An undeclared wrapper of a scalar of that name and element type.", "name"_arg, "dtype"_arg)
        .def("_get_init_value(self) -> NumberT", slot_get_init_value, "The element type's zero.")
        .def("assign(self, value: Scalar[NumberT]) -> None", slot_assign, "Assigns a value to the scalar.",
             "value"_arg)
        .def("_save_variable_to_stream(self) -> None", slot_save_variable_to_stream,
             "Saves the scalar into its result stream.")
        .build();

    ClassBuilder(m, "VyrArr", {subscript(slot_base, nb::make_tuple(number_t, subscript(array_variable, number_t)))})
        .doc("The wrapper of a one-dimensional vyr array of booleans, integers or fixed-point numbers.")
        .field("size", "int")
        .def("__init__(self, name: str, dtype: type[NumberT], size: int) -> None", arr_init,
             "An undeclared wrapper of an array of that name, element type and size.", "name"_arg, "dtype"_arg,
             "size"_arg)
        .def("_get_init_value(self) -> list[NumberT]", arr_get_init_value, "A list of size zeros.")
        .def("assign_single(self, idx: Scalar[int], value: Scalar[NumberT]) -> None", assign_single,
             "Assigns a value to one cell.", "idx"_arg, "value"_arg)
        .def("get_single_index(self, idx: Scalar[int]) -> VyrArrayCell[NumberT]", get_single_index,
             "The vk cell at an index; a plain negative index counts from the end.", "idx"_arg)
        .def("assign(self, value: Scalar[NumberT] | Sequence[Scalar[NumberT]]) -> None", arr_assign,
             "Assigns a sequence cell by cell, or one value to every cell.", "value"_arg)
        .def("assign_range(self, value: Scalar[NumberT] | Sequence[Scalar[NumberT]], start: int | Scalar[int] = 0,"
             " stop: int | Scalar[int] | None = None, step: int | Scalar[int] = 1) -> None",
             assign_range, "Assigns a sequence to a range of cells, or one value to the cells from start to stop.",
             "value"_arg, "start"_arg = 0, "stop"_arg = nb::none(), "step"_arg = 1)
        .def("_save_variable_to_stream(self) -> None", arr_save_variable_to_stream,
             "Saves every cell into the result stream.")
        .build();

    // A `bit[n]` register is held like an array of booleans, but unlike a
    // declared bool array it reads as its unsigned value wherever it is used
    // as one; the typing makes its wrapper of this class to tell the two apart.
    state.bit_register = keep(ClassBuilder(m, "VyrBitRegister", {nb::getattr(m, "VyrArr")})
        .doc("A bit register (bit[n]): an array of boolean cells whose value, used as a number, "
             "is the unsigned integer in which cell i weighs 2**i.")
        .def("assign(self, value: Scalar[int] | Scalar[bool] | Sequence[Scalar[bool]]) -> None", bit_register_assign,
             "Assigns a sequence cell by cell, or a number by its bits, bit i into cell i.", "value"_arg)
        .build());

    // Durations and unsigned integers are held like any fixed-point or integer
    // variable; the typing makes their wrappers of these classes so that
    // translation knows a duration from a number, and an unsigned integer's width.
    nb::object slot = nb::getattr(m, "VyrSlot");
    nb::object arr = nb::getattr(m, "VyrArr");
    ClassBuilder(m, "VyrDurationSlot", {slot})
        .doc("A duration or stretch variable: a fixed-point scalar holding its length in clock cycles of 4 ns, "
             "fractional where it is (10ns is 2.5 cycles).")
        .build();
    ClassBuilder(m, "VyrDurationArr", {arr})
        .doc("An array of durations or stretches: fixed-point cells holding lengths in clock cycles of 4 ns.")
        .build();
    ClassBuilder(m, "VyrUintSlot", {slot})
        .doc("An unsigned integer of a declared width (uint[n]): what shifts it to the left or negates its bits "
             "keeps its n low bits.")
        .field("width", "int")
        .def("__init__(self, name: str, dtype: type[NumberT], width: int) -> None", uint_slot_init,
             "An undeclared wrapper of an unsigned integer of that name, element type and width in bits.",
             "name"_arg, "dtype"_arg, "width"_arg)
        .build();
    ClassBuilder(m, "VyrUintArr", {arr})
        .doc("An array of unsigned integers of a declared width (array[uint[n], k]): each cell keeps its n low "
             "bits where it is shifted to the left or its bits negated.")
        .field("width", "int")
        .def("__init__(self, name: str, dtype: type[NumberT], size: int, width: int) -> None", uint_arr_init,
             "An undeclared wrapper of an array of unsigned integers of that name, element type, size and width.",
             "name"_arg, "dtype"_arg, "size"_arg, "width"_arg)
        .build();
}
