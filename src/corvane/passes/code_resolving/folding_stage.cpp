// Folds constant expressions: every binary expression, unary expression and
// math-function call whose operands are all literals becomes one literal of
// the computed value, leaves first. Where an operand is no literal, binary
// expressions are simplified by the shortcut table and `-(-x)` becomes `x`.
#include <algorithm>
#include <cmath>
#include <optional>

#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

// The four hooks of the modifier template, in the order `run` uses them.
enum Hook { literal_arguments_hook, func_hook, heuristics_hook, expression_string_hook, hook_count };

const char* const hook_names[hook_count] = {"_get_literal_arguments", "_get_func_to_calculate",
                                           "_calculate_heuristics", "_create_expression_string"};

// The C++ bodies of one kind's hooks. The status results stand for the two
// internal signals, so the common case raises no Python error at all.
struct KindNatives {
    nb::handle installed[hook_count];  // the class attributes made for them
    bool (*literal_arguments)(nb::handle node, nb::object& arguments);
    bool (*func)(nb::handle cls, nb::handle node, nb::object& func);
    nb::object (*heuristics)(nb::handle cls, nb::handle node);
    nb::object (*expression_string)(nb::handle node, nb::handle arguments);
};

enum Kind { binary_kind, unary_kind, call_kind, kind_count };

struct ModuleState {
    nb::handle open_qasm_program;
    nb::handle is_qasm_literal, create_literal, calculate_binary_shortcuts;
    nb::handle binary_expression, unary_expression, function_call, bitstring_literal;
    nb::handle identifier;
    nb::handle not_all_literals, unresolvable_function, illegal_math_expression;
    nb::handle kinds[kind_count];
    KindNatives natives[kind_count];
    nb::handle transformer;
    nb::handle folding_stage;
    nb::handle hook_name[hook_count];
    nb::handle run_name, run_installed;
    nb::handle modify_name, modify_installed;
    nb::handle minus_minus_name, minus_minus_installed;
    nb::handle binary_table_name, unary_table_name, function_table_name;
    nb::handle lhs, rhs, op, name, value, expression, arguments, ast;
    nb::handle minus, space, comma, open_parenthesis, close_parenthesis, empty;
    Logger logger;
} state;

PyObject* class_lookup(nb::handle cls, nb::handle name) { return type_attribute(cls, name); }

[[noreturn]] void raise_message(PyObject* error_class, const char* message) {
    PyErr_SetString(error_class, message);
    throw nb::python_error();
}

nb::object call_one(nb::handle function, nb::handle argument) {
    return steal_or_throw(PyObject_CallOneArg(function.ptr(), argument.ptr()));
}

// ==== computations ==========================================================
// Each is a callable of the computation tables; the values are the plain
// values of literals: booleans, unbounded integers and doubles.

nb::object rich(nb::handle x, nb::handle y, int op) {
    return steal_or_throw(PyObject_RichCompare(x.ptr(), y.ptr(), op));
}

nb::object greater(nb::handle x, nb::handle y) { return rich(x, y, Py_GT); }
nb::object less(nb::handle x, nb::handle y) { return rich(x, y, Py_LT); }
nb::object greater_equal(nb::handle x, nb::handle y) { return rich(x, y, Py_GE); }
nb::object less_equal(nb::handle x, nb::handle y) { return rich(x, y, Py_LE); }
nb::object equal(nb::handle x, nb::handle y) { return rich(x, y, Py_EQ); }
nb::object not_equal(nb::handle x, nb::handle y) { return rich(x, y, Py_NE); }
nb::object logical_and(nb::handle x, nb::handle y) { return nb::bool_(truth(x) && truth(y)); }
nb::object logical_or(nb::handle x, nb::handle y) { return nb::bool_(truth(x) || truth(y)); }
nb::object bit_or(nb::handle x, nb::handle y) { return steal_or_throw(PyNumber_Or(x.ptr(), y.ptr())); }
nb::object bit_xor(nb::handle x, nb::handle y) { return steal_or_throw(PyNumber_Xor(x.ptr(), y.ptr())); }
nb::object bit_and(nb::handle x, nb::handle y) { return steal_or_throw(PyNumber_And(x.ptr(), y.ptr())); }
nb::object left_shift(nb::handle x, nb::handle y) { return steal_or_throw(PyNumber_Lshift(x.ptr(), y.ptr())); }
nb::object right_shift(nb::handle x, nb::handle y) { return steal_or_throw(PyNumber_Rshift(x.ptr(), y.ptr())); }
nb::object add(nb::handle x, nb::handle y) { return steal_or_throw(PyNumber_Add(x.ptr(), y.ptr())); }
nb::object subtract(nb::handle x, nb::handle y) { return steal_or_throw(PyNumber_Subtract(x.ptr(), y.ptr())); }
nb::object multiply(nb::handle x, nb::handle y) { return steal_or_throw(PyNumber_Multiply(x.ptr(), y.ptr())); }
nb::object remainder(nb::handle x, nb::handle y) { return steal_or_throw(PyNumber_Remainder(x.ptr(), y.ptr())); }
nb::object power(nb::handle x, nb::handle y) {
    return steal_or_throw(PyNumber_Power(x.ptr(), y.ptr(), Py_None));
}

// Integers (booleans among them) divide with the quotient floored; anything
// else divides truly.
nb::object divide(nb::handle x, nb::handle y) {
    if (PyLong_Check(x.ptr()) && PyLong_Check(y.ptr())) return steal_or_throw(PyNumber_FloorDivide(x.ptr(), y.ptr()));
    return steal_or_throw(PyNumber_TrueDivide(x.ptr(), y.ptr()));
}

nb::object logical_not(nb::handle x) { return nb::bool_(!truth(x)); }
nb::object negate(nb::handle x) { return steal_or_throw(PyNumber_Negative(x.ptr())); }

// -x - 1 on integers; a boolean takes part as 0 or 1.
nb::object complement(nb::handle x) {
    if (PyBool_Check(x.ptr())) return steal_or_throw(PyNumber_Invert(steal_or_throw(PyNumber_Long(x.ptr())).ptr()));
    return steal_or_throw(PyNumber_Invert(x.ptr()));
}

double as_double(nb::handle x) {
    double value = PyFloat_AsDouble(x.ptr());
    if (value == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return value;
}

nb::object from_double(double value) { return steal_or_throw(PyFloat_FromDouble(value)); }

[[noreturn]] void domain_error() { raise_message(PyExc_ValueError, "math domain error"); }

nb::object math_exp(nb::handle x) {
    double value = as_double(x);
    double result = std::exp(value);
    if (std::isinf(result) && std::isfinite(value)) raise_message(PyExc_OverflowError, "math range error");
    return from_double(result);
}

// The natural logarithm of any positive integer, also beyond the double range.
double natural_log(nb::handle x) {
    if (PyLong_Check(x.ptr())) {
        nb::object zero = nb::int_(0);
        if (!truth(steal_or_throw(PyLong_Type.tp_richcompare(x.ptr(), zero.ptr(), Py_GT)))) domain_error();
        double value = PyLong_AsDouble(x.ptr());
        if (!(value == -1.0 && PyErr_Occurred())) return std::log(value);
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw nb::python_error();
        PyErr_Clear();
        // x = m * 2**shift with m within the double range. The integer's own
        // operations are used, so a subclass's overrides cannot change its value.
        nb::handle int_type(reinterpret_cast<PyObject*>(&PyLong_Type));
        nb::object bits = steal_or_throw(PyObject_CallMethod(int_type.ptr(), "bit_length", "O", x.ptr()));
        long long shift = PyLong_AsLongLong(bits.ptr()) - 64;
        if (PyErr_Occurred()) throw nb::python_error();
        nb::object mantissa = steal_or_throw(PyLong_Type.tp_as_number->nb_rshift(x.ptr(), nb::int_(shift).ptr()));
        double scaled = PyLong_AsDouble(mantissa.ptr());
        if (scaled == -1.0 && PyErr_Occurred()) throw nb::python_error();
        return std::log(scaled) + static_cast<double>(shift) * std::log(2.0);
    }
    double value = as_double(x);
    if (std::isnan(value)) return value;
    if (value <= 0.0) domain_error();
    return std::log(value);
}

nb::object math_log(nb::args arguments) {
    Py_ssize_t count = PyTuple_GET_SIZE(arguments.ptr());
    if (count < 1 || count > 2) raise_message(PyExc_TypeError, "log expected 1 or 2 arguments");
    double result = natural_log(arguments[0]);
    if (count == 1) return from_double(result);
    double base = natural_log(arguments[1]);
    if (base == 0.0) raise_message(PyExc_ZeroDivisionError, "float division by zero");
    return from_double(result / base);
}

nb::object math_cos(nb::handle x) {
    double value = as_double(x);
    if (std::isinf(value)) domain_error();
    return from_double(std::cos(value));
}

nb::object math_sin(nb::handle x) {
    double value = as_double(x);
    if (std::isinf(value)) domain_error();
    return from_double(std::sin(value));
}

nb::object math_tan(nb::handle x) {
    double value = as_double(x);
    if (std::isinf(value)) domain_error();
    return from_double(std::tan(value));
}

nb::object math_arccos(nb::handle x) {
    double value = as_double(x);
    if (std::fabs(value) > 1.0) domain_error();
    return from_double(std::acos(value));
}

nb::object math_arcsin(nb::handle x) {
    double value = as_double(x);
    if (std::fabs(value) > 1.0) domain_error();
    return from_double(std::asin(value));
}

nb::object math_arctan(nb::handle x) { return from_double(std::atan(as_double(x))); }

nb::object math_sqrt(nb::handle x) {
    double value = as_double(x);
    if (value < 0.0) domain_error();
    return from_double(std::sqrt(value));
}

// An integer argument comes back itself (a boolean as 0 or 1).
nb::object integral(nb::handle x, double (*round)(double)) {
    if (PyLong_CheckExact(x.ptr())) return nb::borrow(x);
    if (PyLong_Check(x.ptr())) return steal_or_throw(PyNumber_Long(x.ptr()));
    double value = as_double(x);
    if (std::isinf(value)) raise_message(PyExc_OverflowError, "cannot convert float infinity to integer");
    if (std::isnan(value)) raise_message(PyExc_ValueError, "cannot convert float NaN to integer");
    return steal_or_throw(PyLong_FromDouble(round(value)));
}

nb::object math_ceiling(nb::handle x) { return integral(x, [](double v) { return std::ceil(v); }); }
nb::object math_floor(nb::handle x) { return integral(x, [](double v) { return std::floor(v); }); }

// ==== hooks of the three kinds ================================================

bool is_literal(nb::handle node) { return truth(call_one(state.is_qasm_literal, node)); }

nb::object new_list() { return steal_or_throw(PyList_New(0)); }

void append(nb::handle list, nb::handle item) { check_status(PyList_Append(list.ptr(), item.ptr())); }

// The value text of the n-th argument.
nb::object argument_text(nb::handle arguments, Py_ssize_t n) {
    return text_of(steal_or_throw(PySequence_GetItem(arguments.ptr(), n)));
}

nb::object symbol_of(nb::handle node) { return get_attr(get_attr(node, state.op), state.name); }

// Looks the key up in the kind's computation table, read from the class.
bool table_function(nb::handle cls, nb::handle table_name, nb::handle key, nb::object& func) {
    func = find_item(get_attr(cls, table_name), key);
    return func.is_valid();
}

// --- BinaryExpressionModifier ---

bool binary_literal_arguments(nb::handle node, nb::object& arguments) {
    nb::object lhs = get_attr(node, state.lhs);
    if (!is_literal(lhs)) return false;
    nb::object rhs = get_attr(node, state.rhs);
    if (!is_literal(rhs)) return false;
    arguments = new_list();
    append(arguments, get_attr(lhs, state.value));
    append(arguments, get_attr(rhs, state.value));
    return true;
}

bool binary_func(nb::handle cls, nb::handle node, nb::object& func) {
    return table_function(cls, state.binary_table_name, get_attr(node, state.op), func);
}

nb::object binary_heuristics(nb::handle, nb::handle node) { return call_one(state.calculate_binary_shortcuts, node); }

nb::object binary_expression_string(nb::handle node, nb::handle arguments) {
    require_list(arguments, "arguments");
    return compose({argument_text(arguments, 0), state.space, symbol_of(node), state.space,
                    argument_text(arguments, 1)});
}

// --- UnaryExpressionModifier ---

bool unary_literal_arguments(nb::handle node, nb::object& arguments) {
    nb::object operand = get_attr(node, state.expression);
    if (!is_literal(operand)) return false;
    arguments = new_list();
    append(arguments, get_attr(operand, state.value));
    return true;
}

bool unary_func(nb::handle cls, nb::handle node, nb::object& func) {
    return table_function(cls, state.unary_table_name, get_attr(node, state.op), func);
}

bool is_minus(nb::handle node) {
    int equal = PyObject_RichCompareBool(symbol_of(node).ptr(), state.minus.ptr(), Py_EQ);
    check_status(equal);
    return equal != 0;
}

// `-(-x)` gives `x` itself; every other node stays.
nb::object resolve_minus_minus_heuristic(nb::handle node) {
    if (!is_minus(node)) return nb::borrow(node);
    nb::object operand = get_attr(node, state.expression);
    if (!is_instance(operand, state.unary_expression) || !is_minus(operand)) return nb::borrow(node);
    return get_attr(operand, state.expression);
}

nb::object unary_heuristics(nb::handle cls, nb::handle node) {
    if (class_lookup(cls, state.minus_minus_name) == state.minus_minus_installed.ptr())
        return resolve_minus_minus_heuristic(node);
    return call_one(get_attr(cls, state.minus_minus_name), node);
}

nb::object unary_expression_string(nb::handle node, nb::handle arguments) {
    require_list(arguments, "arguments");
    return compose({symbol_of(node), state.open_parenthesis, argument_text(arguments, 0), state.close_parenthesis});
}

// --- FunctionCallModifier ---

bool call_literal_arguments(nb::handle node, nb::object& arguments) {
    nb::object values = new_list();
    nb::object iterator = steal_or_throw(PyObject_GetIter(get_attr(node, state.arguments).ptr()));
    while (PyObject* item = PyIter_Next(iterator.ptr())) {
        nb::object argument = nb::steal(item);
        if (!is_literal(argument)) return false;
        append(values, get_attr(argument, state.value));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    arguments = values;
    return true;
}

nb::object called_name(nb::handle node) { return get_attr(get_attr(node, state.name), state.name); }

bool call_func(nb::handle cls, nb::handle node, nb::object& func) {
    return table_function(cls, state.function_table_name, called_name(node), func);
}

nb::object call_heuristics(nb::handle, nb::handle node) { return nb::borrow(node); }

nb::object call_expression_string(nb::handle node, nb::handle arguments) {
    require_list(arguments, "arguments");
    nb::object texts = new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(arguments.ptr()); ++i) append(texts, argument_text(arguments, i));
    nb::object joined = steal_or_throw(PyUnicode_Join(state.comma.ptr(), texts.ptr()));
    return compose({called_name(node), state.open_parenthesis, joined, state.close_parenthesis});
}

// --- the Python faces of the hooks ---

// The faces count against the recursion limit: a hook that a caller points at
// another hook would otherwise call back and forth in C++ for ever.
template <bool (*Native)(nb::handle, nb::object&)>
nb::object literal_arguments_face(nb::handle, nb::handle node) {
    RecursionLimitGuard guard;
    nb::object arguments;
    if (!Native(node, arguments)) raise_error(nb::handle(state.not_all_literals)());
    return arguments;
}

template <bool (*Native)(nb::handle, nb::handle, nb::object&)>
nb::object func_face(nb::handle cls, nb::handle node) {
    RecursionLimitGuard guard;
    nb::object func;
    if (!Native(cls, node, func)) raise_error(nb::handle(state.unresolvable_function)());
    return func;
}

template <nb::object (*Native)(nb::handle, nb::handle)>
nb::object heuristics_face(nb::handle cls, nb::handle node) {
    RecursionLimitGuard guard;
    return Native(cls, node);
}

template <nb::object (*Native)(nb::handle, nb::handle)>
nb::object expression_string_face(nb::handle, nb::handle node, nb::handle arguments) {
    RecursionLimitGuard guard;
    return Native(node, arguments);
}

// The abstract hooks of the template have empty bodies.
nb::object abstract_hook(nb::handle, nb::handle) { return nb::none(); }
nb::object abstract_string_hook(nb::handle, nb::handle, nb::handle) { return nb::none(); }

// ==== the template ===========================================================

// The kind whose C++ hook the class still resolves `hook` to, if any.
const KindNatives* natives_for(nb::handle cls, Hook hook) {
    PyObject* descriptor = class_lookup(cls, state.hook_name[hook]);
    if (!descriptor) return nullptr;
    for (const KindNatives& natives : state.natives)
        if (natives.installed[hook].ptr() == descriptor) return &natives;
    return nullptr;
}

nb::object call_hook(nb::handle cls, Hook hook, nb::handle node) {
    return call_one(get_attr(cls, state.hook_name[hook]), node);
}

// One of the first two hooks; false, with the signal kept, when it signals.
template <typename NativeCall>
bool fetch(nb::handle cls, Hook hook, nb::handle node, nb::object& result, nb::object& signal,
           NativeCall native_call) {
    if (const KindNatives* natives = natives_for(cls, hook)) return native_call(*natives, result);
    try {
        result = call_hook(cls, hook, node);
        return true;
    } catch (nb::python_error& error) {
        if (!error.matches(state.not_all_literals) && !error.matches(state.unresolvable_function)) throw;
        signal = nb::borrow(error.value());
        return false;
    }
}

nb::object heuristic_replacement(nb::handle cls, nb::handle node, nb::handle signal) {
    std::optional<HandlingError> handling;
    if (signal) handling.emplace(signal);
    nb::object new_node;
    if (const KindNatives* natives = natives_for(cls, heuristics_hook)) new_node = natives->heuristics(cls, node);
    else new_node = call_hook(cls, heuristics_hook, node);
    if (new_node.is(node)) return new_node;
    int differs = PyObject_RichCompareBool(new_node.ptr(), node.ptr(), Py_NE);
    check_status(differs);
    if (differs)
        state.logger.debug(compose({nb::str("Replaced "), node, nb::str(" by "), new_node, nb::str(".")}));
    return new_node;
}

// --- the width of a bit register's value ---

Py_ssize_t literal_width(nb::handle node) {
    if (!Py_IS_TYPE(node.ptr(), reinterpret_cast<PyTypeObject*>(state.bitstring_literal.ptr()))) return 0;
    Py_ssize_t width = PyNumber_AsSsize_t(get_attr(node, "width"_id).ptr(), PyExc_OverflowError);
    if (width == -1 && PyErr_Occurred()) throw nb::python_error();
    return width > 0 ? width : 0;
}

bool symbol_is(nb::handle symbol, const char* text) { return PyUnicode_CompareWithASCIIString(symbol.ptr(), text) == 0; }

// The width of what `node` computes from bit-string literals, 0 when it is no
// register's value: shifts and "~" keep their operand's width, "&" the smaller
// known one, "|" and "^" that of two registers. OpenQASM shifts bits off a
// register's end, so the computed value is cut to the width.
Py_ssize_t folded_width(nb::handle node) {
    const bool binary = Py_IS_TYPE(node.ptr(), reinterpret_cast<PyTypeObject*>(state.binary_expression.ptr()));
    const bool unary = Py_IS_TYPE(node.ptr(), reinterpret_cast<PyTypeObject*>(state.unary_expression.ptr()));
    if (!binary && !unary) return 0;
    nb::object symbol = symbol_of(node);
    if (!PyUnicode_Check(symbol.ptr())) return 0;
    if (unary) return symbol_is(symbol, "~") ? literal_width(get_attr(node, state.expression)) : 0;
    const Py_ssize_t left = literal_width(get_attr(node, state.lhs)), right = literal_width(get_attr(node, state.rhs));
    if (symbol_is(symbol, "<<") || symbol_is(symbol, ">>")) return left;
    if (symbol_is(symbol, "&")) return left && right ? std::min(left, right) : std::max(left, right);
    if (symbol_is(symbol, "|") || symbol_is(symbol, "^")) return left && right ? std::max(left, right) : 0;
    return 0;
}

nb::object cut_to_width(nb::handle value, Py_ssize_t width) {
    return steal_or_throw(PyNumber_And(value.ptr(), register_mask(width).ptr()));
}

// --- durations ---
// A duration is no number: no shortcut may turn `d * 0` into the number 0, or
// `d + 0` (a number added to a duration, which translation refuses) into `d`.
// The shortcut table knows duration literals; the names of duration and
// stretch variables the transformer learns from their declarations as it
// walks, each before the uses that follow it. A shortcut drops an operand,
// so what it keeps from is an expression that holds a duration anywhere
// (typing's mentions_duration), not only one that is a duration: the operand
// dropped must not take a refusal of its own with it (`(d > 5) * 0`).

// A declaration of `type` and `identifier`, of a variable or of a loop's variable.
nb::object visit_declaring(nb::handle self, nb::handle node, nb::handle type, nb::handle identifier) {
    if (typing::holds_durations(type) && is_instance(identifier, state.identifier)) {
        nb::object names = kept_collection(self, "_duration_names"_id, &PySet_Type);
        check_status(PySet_Add(names.ptr(), get_attr(identifier, state.name).ptr()));
    }
    return tree::generic_visit(self, node);
}

nb::object visit_declaration(nb::handle self, nb::handle node) {
    return visit_declaring(self, node, get_attr(node, "type"_id), get_attr(node, "identifier"_id));
}

// The literal operands of the node and the computation of its operator or
// function, by the hooks of the kind `cls`; false, with the hook's signal
// kept, where the node has none of them.
bool computation_of(nb::handle cls, nb::handle node, nb::object& arguments, nb::object& func, nb::object& signal) {
    return fetch(cls, literal_arguments_hook, node, arguments, signal,
                 [&](const KindNatives& natives, nb::object& out) { return natives.literal_arguments(node, out); }) &&
           fetch(cls, func_hook, node, func, signal,
                 [&](const KindNatives& natives, nb::object& out) { return natives.func(cls, node, out); });
}

// The node's value computed from its literal operands, cut to `width`, that
// of a register's value (0 for none); a computation that fails raises
// IllegalMathExpression, with the computation's error as its context.
// `logged`: the value computed is logged as the replacement of the expression.
nb::object computed_value(nb::handle cls, nb::handle node, nb::handle arguments, nb::handle func, Py_ssize_t width,
                          bool logged) {
    nb::object expression_string;
    if (const KindNatives* natives = natives_for(cls, expression_string_hook)) {
        expression_string = natives->expression_string(node, arguments);
    } else {
        nb::object hook = get_attr(cls, state.hook_name[expression_string_hook]);
        expression_string = hook(node, arguments);
    }
    nb::object new_value;
    try {
        nb::object values = steal_or_throw(PySequence_Tuple(arguments.ptr()));
        new_value = steal_or_throw(PyObject_Call(func.ptr(), values.ptr(), nullptr));
        if (width > 0) new_value = cut_to_width(new_value, width);
        nb::object record = compose({nb::str("Replaced "), expression_string, nb::str(" by "), new_value});
        if (logged) state.logger.debug(record);
    } catch (nb::python_error& error) {
        if (!is_ordinary(error)) throw;
        HandlingError handling(error.value());
        nb::object illegal = nb::handle(state.illegal_math_expression)(expression_string);
        raise_in_context(illegal, error.value());
    }
    return new_value;
}

nb::object run(nb::handle cls, nb::handle node) {
    nb::object arguments, func, signal;
    if (!computation_of(cls, node, arguments, func, signal)) return heuristic_replacement(cls, node, signal);
    const Py_ssize_t width = folded_width(node);
    nb::object new_value = computed_value(cls, node, arguments, func, width, true);
    // A register's value stays one, of its width, for the operations around it.
    if (width > 0) return nb::handle(state.bitstring_literal)(new_value, nb::int_(width));
    return call_one(state.create_literal, new_value);
}

// The IllegalMathExpression that folding the node raises, where its operands
// are literals and the computation of its operator or function fails; None
// where folding computes it or has nothing to compute. For the steps after
// folding, so that a refusal of what folding left names folding's reason.
// Nothing is logged and the node stays as it is.
nb::object failed_fold(nb::handle node) {
    Kind kind;
    if (is_instance(node, state.function_call)) kind = call_kind;
    else if (is_instance(node, state.unary_expression)) kind = unary_kind;
    else if (is_instance(node, state.binary_expression)) kind = binary_kind;
    else return nb::none();
    nb::handle cls = state.kinds[kind];
    nb::object arguments, func, signal;
    if (!computation_of(cls, node, arguments, func, signal)) return nb::none();
    try {
        computed_value(cls, node, arguments, func, folded_width(node), false);
    } catch (nb::python_error& error) {
        if (!error.matches(state.illegal_math_expression)) throw;
        return nb::borrow(error.value());
    }
    return nb::none();
}

nb::object run_face(nb::handle cls, nb::handle node) { return run(cls, node); }

// `kind.run(node)`, in C++ unless the kind's class has another `run`.
nb::object run_on(Kind kind, nb::handle node) {
    nb::handle cls = state.kinds[kind];
    if (class_lookup(cls, state.run_name) == state.run_installed.ptr()) return run(cls, node);
    return call_one(get_attr(cls, state.run_name), node);
}

// ==== the transformer and the step ================================================

nb::object generic_modify_node(nb::handle self, nb::handle node) {
    nb::object walked = tree::generic_visit(self, node);
    check_assertion(walked.type().is(node.type()), "Node was modified during the generic visit, aborting.");
    if (is_instance(walked, state.function_call)) return run_on(call_kind, walked);
    if (is_instance(walked, state.unary_expression)) return run_on(unary_kind, walked);
    if (is_instance(walked, state.binary_expression)) {
        nb::object result = run_on(binary_kind, walked);
        if (result.is(walked)) return result;
        nb::object names = find_attr(self, "_duration_names"_id);
        if (names.is_valid() && PyAnySet_CheckExact(names.ptr()) && PySet_GET_SIZE(names.ptr()) > 0 &&
            typing::mentions_duration(walked, [&](nb::handle name) { return contains(names, name); }))
            return walked;
        return result;
    }
    raise_text(PyExc_NotImplementedError, compose({nb::str("Unsupported visit node: "), walked.type()}));
}

// An expression that folding cannot compute (`sqrt(-1)`, `1 / 0`) stays as it
// is, and the walk goes on: the rest of the program is folded as it would be
// without it. The first such failure is kept in `_failure`, for the step to
// raise once the walk is done.
nb::object visit_expression(nb::handle self, nb::handle node) {
    try {
        if (class_lookup(self.type(), state.modify_name) == state.modify_installed.ptr())
            return generic_modify_node(self, node);
        return call_one(get_attr(self, state.modify_name), node);
    } catch (nb::python_error& error) {
        if (!error.matches(state.illegal_math_expression)) throw;
        if (!find_attr(self, "_failure"_id).is_valid()) set_attr(self, "_failure"_id, error.value());
        return nb::borrow(node);
    }
}

// `b[i + 1]`: the index groups are lists inside a list, which the generic
// walk does not enter; their expressions are folded too, so that an index
// computed from literals reaches the register mapping as one literal.
nb::object visit_indexed_identifier(nb::handle self, nb::handle node) {
    RecursionLimitGuard guard(" while folding");
    nb::object result = tree::generic_visit(self, node);
    tree::transform_index_groups(self, node);
    return result;
}

// A call that stands as a statement of its own runs the machine profile's
// operation of its name when the profile has one: only its arguments fold,
// so that the operation runs whether they are literals or not. Any other
// statement call folds as a whole, its value unused.
nb::object visit_expression_statement(nb::handle self, nb::handle node) {
    nb::object expression = get_attr(node, "expression"_id);
    if (is_instance(expression, state.function_call)) {
        nb::object operations = nb::getattr(self, "_operation_names", nb::none());
        nb::object name = nb::getattr(get_attr(expression, "name"_id), "name", nb::none());
        if (!operations.is_none() && PyUnicode_Check(name.ptr()) && contains(operations, name)) {
            tree::generic_visit(self, expression);
            return nb::borrow(node);
        }
    }
    return tree::generic_visit(self, node);
}

nb::object folding_init(nb::handle self, nb::handle operation_names) {
    nb::handle super_type(reinterpret_cast<PyObject*>(&PySuper_Type));
    super_type(state.folding_stage, self).attr("__init__")();
    set_attr(self, "_operation_names"_id, steal_or_throw(PyFrozenSet_New(operation_names.ptr())));
    return nb::none();
}

nb::object folding_call(nb::handle self, nb::handle program) {
    if (assertions_enabled()) check_assertion(is_instance(program, state.open_qasm_program));
    nb::object tree = get_attr(program, state.ast);
    nb::object transformer = nb::handle(state.transformer)();
    set_attr(transformer, "_operation_names"_id, nb::getattr(self, "_operation_names", nb::frozenset()));
    nb::object result = nb::handle(state.open_qasm_program)(tree::visit(transformer, tree));
    // The tree is folded in place, all but what could not be computed; the
    // first such failure is the step's, which the phase tolerates unless the
    // step is enforced.
    nb::object failure = find_attr(transformer, "_failure"_id);
    if (failure.is_valid()) raise_error(failure);
    return result;
}

// ==== exceptions ================================================================

nb::object illegal_init(nb::handle self, nb::handle expression) {
    require_str(expression, "expression");
    nb::object text = compose({nb::str("The operation "), expression, nb::str(" is illegal")});
    nb::handle super_type(reinterpret_cast<PyObject*>(&PySuper_Type));
    super_type(state.illegal_math_expression, self).attr("__init__")(text);
    return nb::none();
}

// ==== building the module ======================================================

template <typename Func, typename... Extra>
nb::object computation(const char* name, Func&& f, const Extra&... extra) {
    return nb::cpp_function(std::forward<Func>(f), nb::name(name), extra...);
}

nb::object binary_table(nb::handle binary_operator, nb::handle divide_function) {
    struct Row {
        const char* symbol;
        nb::object func;
    };
    const Row rows[] = {
        {">", computation("greater", greater, "x"_arg, "y"_arg)},
        {"<", computation("less", less, "x"_arg, "y"_arg)},
        {">=", computation("greater_equal", greater_equal, "x"_arg, "y"_arg)},
        {"<=", computation("less_equal", less_equal, "x"_arg, "y"_arg)},
        {"==", computation("equal", equal, "x"_arg, "y"_arg)},
        {"!=", computation("not_equal", not_equal, "x"_arg, "y"_arg)},
        {"&&", computation("logical_and", logical_and, "x"_arg, "y"_arg)},
        {"||", computation("logical_or", logical_or, "x"_arg, "y"_arg)},
        {"|", computation("bit_or", bit_or, "x"_arg, "y"_arg)},
        {"^", computation("bit_xor", bit_xor, "x"_arg, "y"_arg)},
        {"&", computation("bit_and", bit_and, "x"_arg, "y"_arg)},
        {"<<", computation("left_shift", left_shift, "x"_arg, "y"_arg)},
        {">>", computation("right_shift", right_shift, "x"_arg, "y"_arg)},
        {"+", computation("add", add, "x"_arg, "y"_arg)},
        {"-", computation("subtract", subtract, "x"_arg, "y"_arg)},
        {"*", computation("multiply", multiply, "x"_arg, "y"_arg)},
        {"/", nb::borrow(divide_function)},
        {"%", computation("remainder", remainder, "x"_arg, "y"_arg)},
        {"**", computation("power", power, "x"_arg, "y"_arg)},
    };
    nb::dict table;
    for (const Row& row : rows) table[binary_operator[row.symbol]] = row.func;
    return table;
}

void install_natives(Kind kind, nb::handle cls, KindNatives natives) {
    for (int hook = 0; hook < hook_count; ++hook)
        natives.installed[hook] = keep(nb::borrow(class_lookup(cls, state.hook_name[hook])));
    state.kinds[kind] = keep(nb::borrow(cls));
    state.natives[kind] = natives;
}

}  // namespace

NB_MODULE(folding_stage, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "corvane.programs", {"Program", "OpenQasmProgram"});
    import_from(m, "corvane.passes.pipeline_phase", {"Optimization"});
    import_from(m, "corvane.passes.code_resolving.binary_shortcuts", {"calculate_binary_shortcuts"});
    import_from(m, "corvane.passes.utils",
                {"is_qasm_literal", "create_literal", "PythonLiterals", "SupportedLiteralTypes"});
    import_from(m, "openqasm3", {"ast"});
    import_from(m, "openqasm3.visitor", {"QASMTransformer"});
    state.open_qasm_program = keep_attr("corvane.programs", "OpenQasmProgram");
    nb::handle optimization = keep_attr("corvane.passes.pipeline_phase", "Optimization");
    state.calculate_binary_shortcuts =
        keep_attr("corvane.passes.code_resolving.binary_shortcuts", "calculate_binary_shortcuts");
    nb::object utils = import_module("corvane.passes.utils");
    state.is_qasm_literal = keep(utils.attr("is_qasm_literal"));
    state.create_literal = keep(utils.attr("create_literal"));
    state.logger = Logger::create(m, "corvane.passes.code_resolving.folding_stage");

    nb::object ast = import_module("openqasm3.ast");
    state.binary_expression = keep(ast.attr("BinaryExpression"));
    state.unary_expression = keep(ast.attr("UnaryExpression"));
    state.function_call = keep(ast.attr("FunctionCall"));
    state.bitstring_literal = keep(ast.attr("BitstringLiteral"));
    state.identifier = keep(ast.attr("Identifier"));
    nb::object binary_operator = ast.attr("BinaryOperator");
    nb::object unary_operator = ast.attr("UnaryOperator");

    for (int hook = 0; hook < hook_count; ++hook) state.hook_name[hook] = intern(hook_names[hook]);
    state.run_name = intern("run");
    state.modify_name = intern("generic_modify_node");
    state.minus_minus_name = intern("resolve_minus_minus_heuristic");
    state.binary_table_name = intern("BINARY_OPERATOR_TO_FUNCTION");
    state.unary_table_name = intern("UNARY_OPERATOR_TO_FUNCTION");
    state.function_table_name = intern("NAME_TO_MATH_FUNCTION");
    state.lhs = intern("lhs");
    state.rhs = intern("rhs");
    state.op = intern("op");
    state.name = intern("name");
    state.value = intern("value");
    state.expression = intern("expression");
    state.arguments = intern("arguments");
    state.ast = intern("ast");
    state.minus = intern("-");
    state.space = intern(" ");
    state.comma = intern(", ");
    state.open_parenthesis = intern("(");
    state.close_parenthesis = intern(")");

    // --- errors ---
    state.not_all_literals = keep(ClassBuilder(m, "NotAllLiteralsException", {PyExc_Exception})
                                      .doc("An operand is not a literal.")
                                      .build());
    state.unresolvable_function = keep(ClassBuilder(m, "UnresolvableFunctionException", {PyExc_Exception})
                                           .doc("No computation exists for the operator or the function.")
                                           .build());
    state.illegal_math_expression = keep(ClassBuilder(m, "IllegalMathExpression", {PyExc_Exception})
                                             .doc("A constant expression whose computation failed.")
                                             .def("__init__(self, expression: str) -> None", illegal_init,
                                                  "Holds the text of the expression.", "expression"_arg)
                                             .build());

    nb::object divide_function = def_function(m, "_div", divide, "x"_arg, "y"_arg);
    def_function(m, "_failed_fold(node: ast.Expression) -> IllegalMathExpression | None", failed_fold,
                 "The error that folding the node raises where the computation of its literal operands fails, "
                 "else None.",
                 "node"_arg);

    // --- the computation tables ---
    nb::dict binary = nb::borrow<nb::dict>(binary_table(binary_operator, divide_function));
    nb::dict unary;
    unary[unary_operator["!"]] = computation("logical_not", logical_not, "x"_arg);
    unary[unary_operator["-"]] = computation("negate", negate, "x"_arg);
    unary[unary_operator["~"]] = computation("complement", complement, "x"_arg);
    nb::dict functions;
    functions["exp"] = computation("exp", math_exp, "x"_arg);
    functions["log"] = computation("log", math_log);
    functions["mod"] = binary[binary_operator["%"]];
    functions["pow"] = binary[binary_operator["**"]];
    functions["cos"] = computation("cos", math_cos, "x"_arg);
    functions["sin"] = computation("sin", math_sin, "x"_arg);
    functions["tan"] = computation("tan", math_tan, "x"_arg);
    functions["arccos"] = computation("arccos", math_arccos, "x"_arg);
    functions["arcsin"] = computation("arcsin", math_arcsin, "x"_arg);
    functions["arctan"] = computation("arctan", math_arctan, "x"_arg);
    functions["ceiling"] = computation("ceiling", math_ceiling, "x"_arg);
    functions["floor"] = computation("floor", math_floor, "x"_arg);
    functions["sqrt"] = computation("sqrt", math_sqrt, "x"_arg);

    // --- the modifier template and its kinds ---
    nb::object typing = import_module("typing");
    nb::object type_parameter =
        typing.attr("TypeVar")("OQGenericExpression", "bound"_arg = ast.attr("Expression"));
    m.attr("OQGenericExpression") = type_parameter;
    nb::handle abc = keep_attr("abc", "ABC");
    nb::object abstract_method = import_attr("abc", "abstractmethod");
    auto abstract_classmethod = [&](nb::handle function) {
        return steal_or_throw(PyClassMethod_New(abstract_method(make_method_object(function)).ptr()));
    };
    auto classmethod = [](nb::handle function) { return steal_or_throw(PyClassMethod_New(function.ptr())); };

    nb::object hook_function = nb::cpp_function(abstract_hook, nb::name("hook"), "cls"_arg, "node"_arg);
    nb::object string_function =
        nb::cpp_function(abstract_string_hook, nb::name("_create_expression_string"), "cls"_arg, "node"_arg,
                         "arguments"_arg);
    nb::object modifier = ClassBuilder(m, "ExpressionModifier", {abc, typing.attr("Generic")[type_parameter]})
                              .doc("Folds one kind of expression node; used through its kinds' classes.")
                              .def_classmethod("run(cls, node: OQGenericExpression) -> ast.Expression", run_face,
                                               "The node folded into a literal or simplified, or the node itself.",
                                               "cls"_arg, "node"_arg)
                              .attr("_get_literal_arguments", abstract_classmethod(hook_function))
                              .attr("_get_func_to_calculate", abstract_classmethod(hook_function))
                              .attr("_calculate_heuristics", abstract_classmethod(hook_function))
                              .attr("_create_expression_string", abstract_classmethod(string_function))
                              .build();
    state.run_installed = keep(nb::borrow(class_lookup(modifier, state.run_name)));

    auto kind_class = [&](const char* name, nb::handle node_class, const char* table_name, nb::handle table,
                          nb::object literal_face, nb::object func_face_fn, nb::object heuristics_fn,
                          nb::object string_fn) {
        return ClassBuilder(m, name, {modifier[node_class]})
            .attr(table_name, table)
            .attr("_get_literal_arguments", classmethod(literal_face))
            .attr("_get_func_to_calculate", classmethod(func_face_fn))
            .attr("_calculate_heuristics", classmethod(heuristics_fn))
            .attr("_create_expression_string", classmethod(string_fn));
    };
    auto hook = [](const char* name, auto f) { return nb::cpp_function(f, nb::name(name), "cls"_arg, "node"_arg); };
    auto string_hook = [](auto f) {
        return nb::cpp_function(f, nb::name("_create_expression_string"), "cls"_arg, "node"_arg, "arguments"_arg);
    };

    nb::object binary_kind_class =
        kind_class("BinaryExpressionModifier", state.binary_expression, "BINARY_OPERATOR_TO_FUNCTION", binary,
                   hook("_get_literal_arguments", literal_arguments_face<binary_literal_arguments>),
                   hook("_get_func_to_calculate", func_face<binary_func>),
                   hook("_calculate_heuristics", heuristics_face<binary_heuristics>),
                   string_hook(expression_string_face<binary_expression_string>))
            .doc("Folds binary expressions.")
            .build();
    nb::object unary_kind_class =
        kind_class("UnaryExpressionModifier", state.unary_expression, "UNARY_OPERATOR_TO_FUNCTION", unary,
                   hook("_get_literal_arguments", literal_arguments_face<unary_literal_arguments>),
                   hook("_get_func_to_calculate", func_face<unary_func>),
                   hook("_calculate_heuristics", heuristics_face<unary_heuristics>),
                   string_hook(expression_string_face<unary_expression_string>))
            .doc("Folds unary expressions.")
            .def_static("resolve_minus_minus_heuristic(node: ast.UnaryExpression) -> ast.Expression",
                        resolve_minus_minus_heuristic, "The operand of a double negation, or the node itself.",
                        "node"_arg)
            .build();
    state.minus_minus_installed = keep(nb::borrow(class_lookup(unary_kind_class, state.minus_minus_name)));
    nb::object call_kind_class =
        kind_class("FunctionCallModifier", state.function_call, "NAME_TO_MATH_FUNCTION", functions,
                   hook("_get_literal_arguments", literal_arguments_face<call_literal_arguments>),
                   hook("_get_func_to_calculate", func_face<call_func>),
                   hook("_calculate_heuristics", heuristics_face<call_heuristics>),
                   string_hook(expression_string_face<call_expression_string>))
            .doc("Folds calls of the mathematical functions.")
            .build();

    install_natives(binary_kind, binary_kind_class,
                    {{}, binary_literal_arguments, binary_func, binary_heuristics, binary_expression_string});
    install_natives(unary_kind, unary_kind_class,
                    {{}, unary_literal_arguments, unary_func, unary_heuristics, unary_expression_string});
    install_natives(call_kind, call_kind_class,
                    {{}, call_literal_arguments, call_func, call_heuristics, call_expression_string});

    // --- the transformer and the step ---
    nb::object transformer_base = import_attr("openqasm3.visitor", "QASMTransformer")[nb::none()];
    state.transformer = keep(ClassBuilder(m, "ConstantExpressionsTransformer", {transformer_base})
                                 .transformer_walk()
                                 .doc("Folds the constant expressions of a tree, leaves first.")
                                 .def_handler("visit_BinaryExpression(self, node: ast.BinaryExpression)"
                                              " -> ast.Expression",
                                              visit_expression, "The folded binary expression.")
                                 .def_handler("visit_UnaryExpression(self, node: ast.UnaryExpression)"
                                              " -> ast.Expression",
                                              visit_expression, "The folded unary expression.")
                                 .def_handler("visit_FunctionCall(self, node: ast.FunctionCall) -> ast.Expression",
                                              visit_expression, "The folded function call.")
                                 .def_handler("visit_ExpressionStatement(self, node: ast.ExpressionStatement)"
                                              " -> ast.ExpressionStatement",
                                              visit_expression_statement,
                                              "Folds a statement, leaving a call of a profile operation a call.")
                                 .def_handler("visit_ClassicalDeclaration(self, node: ast.ClassicalDeclaration)"
                                              " -> ast.ClassicalDeclaration",
                                              visit_declaration,
                                              "Folds a declaration, noting the name of a duration variable.")
                                 .def_handler("visit_IODeclaration(self, node: ast.IODeclaration) -> ast.IODeclaration",
                                              visit_declaration,
                                              "Folds an input or output declaration, noting the name of a duration.")
                                 .def_handler("visit_ForInLoop(self, node: ast.ForInLoop) -> ast.ForInLoop",
                                              visit_declaration,
                                              "Folds a loop, noting the name of a loop variable over durations.")
                                 .def_handler("visit_IndexedIdentifier(self, node: ast.IndexedIdentifier)"
                                              " -> ast.IndexedIdentifier",
                                              visit_indexed_identifier,
                                              "Folds the expressions of the indices of an indexed name.")
                                 .def("generic_modify_node(self, node: ast.Expression) -> ast.Expression",
                                      generic_modify_node, "Folds the node's operands, then the node.", "node"_arg)
                                 .build());
    state.modify_installed = keep(nb::borrow(class_lookup(state.transformer, state.modify_name)));

    state.folding_stage = keep(ClassBuilder(m, "FoldingStage", {optimization})
        .doc("The code-resolving step that folds constant expressions into literals.")
        .def("__init__(self, operation_names: collections.abc.Iterable[str] = ()) -> None", folding_init,
             "Folds for a machine whose profile has operations of these names, which calls standing as "
             "statements run.",
             "operation_names"_arg = nb::tuple())
        .def("__call__(self, program: Program) -> OpenQasmProgram", folding_call,
             "Folds the constant expressions of the program's tree.", "program"_arg)
        .build());
}
