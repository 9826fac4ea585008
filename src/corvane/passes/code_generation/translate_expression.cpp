// Translation of one OpenQASM expression node into what the vk SDK is handed:
// a plain value (bool, unbounded int, float, or a list of translations) or a
// vk expression built from the declared vyr variables.
//
// The lowering calls this once per expression node, so the dispatch runs on
// the node's exact class first and arithmetic on small plain numbers is done
// here directly; everything else goes through the host's number protocol,
// which gives unbounded integers and the SDK's operator overloads.
#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "corvane/native/source_text.h"
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

constexpr long CYCLES_PER_NS = 4;

// The binary operators in the order in which the translation tests them.
enum BinaryOp { DIV, RSHIFT, LSHIFT, GT, GE, LT, LE, ADD, XOR, OR, AND, MUL, SUB, EQ, NE, BINARY_OPS };
constexpr const char* BINARY_SYMBOLS[BINARY_OPS] = {"/", ">>", "<<", ">",  ">=", "<",  "<=", "+",
                                                    "^", "|",  "&",  "*",  "-",  "==", "!="};

enum UnaryOp { NEG, NOT, INVERT, UNARY_OPS };
constexpr const char* UNARY_SYMBOLS[UNARY_OPS] = {"-", "!", "~"};

constexpr int TIME_UNITS = 5;
constexpr const char* TIME_UNIT_NAMES[TIME_UNITS] = {"dt", "ns", "us", "ms", "s"};
constexpr long TIME_UNIT_NS[TIME_UNITS] = {1, 1, 1000, 1000000, 1000000000};

// Node kinds of the dispatch, in the order of its tests.
enum Kind { DURATION, BINARY, UNARY, IDENTIFIER, INDEX, CAST, ARRAY, OTHER, KINDS };

struct ModuleState {
    nb::handle is_qasm_literal;
    // Literal classes that the literal test accepts, for the exact-class fast path.
    PyTypeObject* integer_literal;
    PyTypeObject* float_literal;
    PyTypeObject* boolean_literal;
    PyTypeObject* bitstring_literal;
    nb::handle kind_classes[OTHER];
    nb::handle expression;
    nb::handle range_definition;
    nb::handle array_type;
    nb::handle int_type;
    nb::handle uint_type;
    nb::handle float_type;
    nb::handle bool_type;
    nb::handle binary_ops[BINARY_OPS];
    nb::handle unary_ops[UNARY_OPS];
    nb::handle time_units[TIME_UNITS];
    nb::handle time_in_ns;     // the module's TIME_IN_NS map
    nb::handle cycles_per_ns;  // the module's CYCLES_PER_NS
    nb::handle variable_signature;
    nb::handle vyr_arr;
    nb::handle vyr_bit_register;
    nb::handle vyr_duration_slot, vyr_duration_arr, vyr_uint_slot, vyr_uint_arr;
    nb::handle indexing_variable_exception;
    nb::handle invalid_operand;
    nb::handle duration_type_error;
    nb::handle out_of_range;
    nb::handle division_by_zero;
    nb::handle vyr_scalar_expression;
    nb::handle to_int;
    // Attribute names, interned once.
    nb::handle s_value, s_unit, s_lhs, s_rhs, s_op, s_expression, s_name, s_collection, s_index,
        s_argument, s_type, s_values, s_vyr_value_exp, s_get_single_index, s_dtype, s_size, s_width;
} state;

nb::object get(nb::handle object, nb::handle name) {
    return steal_or_throw(PyObject_GetAttr(object.ptr(), name.ptr()));
}

[[noreturn]] void not_implemented(nb::handle text) { raise_text(PyExc_NotImplementedError, text); }

// A not-implemented error built from two arguments, the text and the operator.
[[noreturn]] void not_implemented_with(const char* text, nb::handle op) {
    nb::object error = steal_or_throw(PyObject_CallFunctionObjArgs(
        PyExc_NotImplementedError, nb::str(text).ptr(), op.ptr(), nullptr));
    raise_error(error);
}

// A failure of plain arithmetic or of a plain cast, raised again with the
// same class and a text that names the expression; the original stays its
// context. Errors of other classes pass unchanged.
[[noreturn]] void rethrow_naming(nb::python_error& error, nb::handle node) {
    PyObject* type = error.type().ptr();
    if (type != PyExc_ValueError && type != PyExc_TypeError && type != PyExc_OverflowError &&
        type != PyExc_ZeroDivisionError)
        throw;
    // The two that the program's own operands cause have classes of their own.
    nb::handle renamed_class(type);
    if (type == PyExc_TypeError) renamed_class = state.invalid_operand;
    if (type == PyExc_ZeroDivisionError) renamed_class = state.division_by_zero;
    if (type == PyExc_OverflowError) renamed_class = state.out_of_range;
    nb::object original = nb::borrow(error.value());
    nb::object renamed = steal_or_throw(PyObject_CallOneArg(
        renamed_class.ptr(), compose({text_of(original), nb::str(" in "), node_source(node)}).ptr()));
    raise_in_context(renamed, original);
}

bool is_plain(nb::handle value) {
    // bool is a kind of int, so the two checks cover the three plain kinds.
    return PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr());
}

nb::object make_bool(bool value) { return nb::borrow(value ? Py_True : Py_False); }

// --- plain-value fast paths ------------------------------------------------
// Each returns an empty object when the operands are not of the kind it
// computes exactly; the caller then goes through the number protocol.

bool small_int(PyObject* value, long long& out) {
    if (!PyLong_CheckExact(value)) return false;
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow) return false;
    if (out == -1 && PyErr_Occurred()) throw nb::python_error();
    return true;
}

nb::object int_result(long long value) { return steal_or_throw(PyLong_FromLongLong(value)); }
nb::object float_result(double value) { return steal_or_throw(PyFloat_FromDouble(value)); }

template <typename T>
nb::object compare(int op, T a, T b) {
    switch (op) {
        case GT: return make_bool(a > b);
        case GE: return make_bool(a >= b);
        case LT: return make_bool(a < b);
        case LE: return make_bool(a <= b);
        case EQ: return make_bool(a == b);
        case NE: return make_bool(!(a == b));
        default: return nb::object();
    }
}

nb::object fast_binary(int op, nb::handle lhs, nb::handle rhs) {
    long long a, b, r;
    if (small_int(lhs.ptr(), a) && small_int(rhs.ptr(), b)) {
        switch (op) {
            case ADD: return __builtin_add_overflow(a, b, &r) ? nb::object() : int_result(r);
            case SUB: return __builtin_sub_overflow(a, b, &r) ? nb::object() : int_result(r);
            case MUL: return __builtin_mul_overflow(a, b, &r) ? nb::object() : int_result(r);
            case AND: return int_result(a & b);
            case OR: return int_result(a | b);
            case XOR: return int_result(a ^ b);
            case DIV: {
                // Two integers divide as integers, the quotient floored as the host's `//` floors it.
                if (b == 0 || (a == LLONG_MIN && b == -1)) return nb::object();
                long long quotient = a / b;
                if (a % b != 0 && ((a < 0) != (b < 0))) --quotient;
                return int_result(quotient);
            }
            default: return compare(op, a, b);
        }
    }
    PyObject* l = lhs.ptr();
    PyObject* rr = rhs.ptr();
    if (PyFloat_CheckExact(l) && PyFloat_CheckExact(rr)) {
        double x = PyFloat_AS_DOUBLE(l), y = PyFloat_AS_DOUBLE(rr);
        switch (op) {
            case ADD: return float_result(x + y);
            case SUB: return float_result(x - y);
            case MUL: return float_result(x * y);
            case DIV: return y == 0.0 ? nb::object() : float_result(x / y);
            default: return compare(op, x, y);
        }
    }
    return nb::object();
}

nb::object number_binary(int op, nb::handle lhs, nb::handle rhs) {
    PyObject* a = lhs.ptr();
    PyObject* b = rhs.ptr();
    switch (op) {
        case DIV: return steal_or_throw(PyNumber_TrueDivide(a, b));
        case RSHIFT: return steal_or_throw(PyNumber_Rshift(a, b));
        case LSHIFT: return steal_or_throw(PyNumber_Lshift(a, b));
        case GT: return steal_or_throw(PyObject_RichCompare(a, b, Py_GT));
        case GE: return steal_or_throw(PyObject_RichCompare(a, b, Py_GE));
        case LT: return steal_or_throw(PyObject_RichCompare(a, b, Py_LT));
        case LE: return steal_or_throw(PyObject_RichCompare(a, b, Py_LE));
        case ADD: return steal_or_throw(PyNumber_Add(a, b));
        case XOR: return steal_or_throw(PyNumber_Xor(a, b));
        case OR: return steal_or_throw(PyNumber_Or(a, b));
        case AND: return steal_or_throw(PyNumber_And(a, b));
        case MUL: return steal_or_throw(PyNumber_Multiply(a, b));
        case SUB: return steal_or_throw(PyNumber_Subtract(a, b));
        case EQ: return steal_or_throw(PyObject_RichCompare(a, b, Py_EQ));
        default: {
            // "!=" is the negation of "==": plain on plain values, the SDK's
            // "~" on a vk equality (the SDK has no "!=" of its own).
            nb::object equal = steal_or_throw(PyObject_RichCompare(a, b, Py_EQ));
            if (PyBool_Check(equal.ptr())) return make_bool(equal.ptr() == Py_False);
            return steal_or_throw(PyNumber_Invert(equal.ptr()));
        }
    }
}

// The position of `op` among `members`: by identity first (enum members are
// singletons), then by equality in order, as the comparisons are specified.
int find_operator(nb::handle op, const nb::handle* members, int count) {
    for (int i = 0; i < count; ++i)
        if (op.is(members[i])) return i;
    for (int i = 0; i < count; ++i) {
        int equal = PyObject_RichCompareBool(op.ptr(), members[i].ptr(), Py_EQ);
        check_status(equal);
        if (equal) return i;
    }
    return -1;
}

// --- translation -------------------------------------------------------------

// What the translation of an operand tells its expression beyond the value.
// Its duration is typing::is_duration_valued's reading, gathered in the walk
// that computes the value, so that an expression is walked once.
struct Facts {
    // The value is a duration, held exactly in clock cycles: a plain number
    // (an int where the count is whole) or a fixed-point vk expression. Only
    // where the machine receives it (a delay) is it cut to whole cycles, so
    // sums, multiples and ratios lose no time.
    bool duration = false;
    // The width of a bit register's or an unsigned integer's value (0 for any
    // other): what shifts it to the left or negates it is cut to that width,
    // as OpenQASM shifts bits off a register's end.
    Py_ssize_t width = 0;
};

nb::object translate(nb::handle node, nb::handle db, Facts* facts = nullptr);
nb::object cast_expression(nb::handle expression, nb::handle target);
nb::object compute_binary(nb::handle node, int which, nb::handle lhs, nb::handle rhs, const char* what = "value of");

// How an operand is read: as a number, or only for its truth (a condition,
// the operand of "!", a cast to bool).
enum Reading { NUMBER, TRUTH };
nb::object scalar_value(nb::handle node, nb::handle value, nb::handle db, Reading reading);
nb::object logical_not(nb::handle value);
bool scalar_of_dtype(nb::handle value, PyTypeObject* dtype);

// An operation on literals reaches translation unfolded where folding could
// not compute it (`sqrt(-1)`, `5 % 0`), or did not run: where folding has a
// reason, that is the refusal's. Folding is asked only here, at a refusal.
void refuse_as_folding_does(nb::handle node) {
    nb::object failed_fold = import_attr("corvane.passes.code_resolving.folding_stage", "_failed_fold");
    nb::object failure = steal_or_throw(PyObject_CallOneArg(failed_fold.ptr(), node.ptr()));
    if (!failure.is_none()) raise_error(failure);
}

// A divisor that is a plain zero fails wherever the division runs, so it is
// refused here, by the expression.
[[noreturn]] void refuse_zero_divisor(nb::handle node) {
    raise_text(state.division_by_zero.ptr(), compose({nb::str("Division by zero: "), node_source(node)}));
}

// A plain value that no vyr number holds: an infinity, or what is computed from one.
[[noreturn]] void refuse_out_of_range(nb::handle node, const char* what, double value) {
    raise_text(state.out_of_range.ptr(),
               compose({nb::str("The "), nb::str(what), nb::str(" "), node_source(node),
                        nb::str(std::isnan(value) ? " is not a number that can be held"
                                                  : " is too large to be held")}));
}

// A plain result, refused where it left the range of floating-point numbers.
nb::object held(nb::handle node, nb::object value, const char* what = "value of") {
    if (PyFloat_CheckExact(value.ptr()) && !std::isfinite(PyFloat_AS_DOUBLE(value.ptr())))
        refuse_out_of_range(node, what, PyFloat_AS_DOUBLE(value.ptr()));
    return value;
}

// --- integer division ---

bool is_bool_or_int_dtype(nb::handle value) {
    nb::object dtype = get(value, state.s_dtype);
    return dtype.is(nb::handle(reinterpret_cast<PyObject*>(&PyLong_Type))) ||
           dtype.is(nb::handle(reinterpret_cast<PyObject*>(&PyBool_Type)));
}

// Whether a translated operand is an integer, as OpenQASM types it: a plain
// integer or boolean, or a vk expression of the integer or boolean type
// (integer and unsigned variables, bits, bit registers read as numbers).
bool is_integer(nb::handle value) {
    if (PyLong_Check(value.ptr())) return true;
    if (PyFloat_Check(value.ptr())) return false;
    return is_instance(value, state.vyr_scalar_expression) && is_bool_or_int_dtype(value);
}

nb::object to_int(nb::handle value) { return steal_or_throw(PyObject_CallOneArg(state.to_int.ptr(), value.ptr())); }

nb::object binary(binaryfunc op, nb::handle a, nb::handle b) { return steal_or_throw(op(a.ptr(), b.ptr())); }

nb::object rich_compare(nb::handle a, nb::handle b, int op) {
    return steal_or_throw(PyObject_RichCompare(a.ptr(), b.ptr(), op));
}

// The exponent k of a plain divisor 2**k, or -1.
int power_of_two(nb::handle divisor) {
    long long value;
    if (!small_int(divisor.ptr(), value) || value <= 0 || (value & (value - 1)) != 0) return -1;
    return __builtin_ctzll(static_cast<unsigned long long>(value));
}

// `a / b` on two integers, at least one of them a vk expression: the quotient
// floored toward negative infinity, as folding computes it, so that one
// division gives one value wherever it is computed. A power of two divides by
// a shift, which floors exactly; any other divisor divides through the SDK's
// true division, and the quotient is corrected down by one where its product
// with the divisor overshoots the dividend (whether the conversion to an
// integer truncates or floors).
nb::object floor_quotient(nb::handle a, nb::handle b) {
    nb::object minus_b;
    if (is_plain(b)) minus_b = steal_or_throw(PyNumber_Negative(b.ptr()));
    const int shift = is_plain(b) ? power_of_two(b) : -1;
    const int negated_shift = minus_b.is_valid() ? power_of_two(minus_b) : -1;
    if (shift == 0) return scalar_of_dtype(a, &PyLong_Type) ? nb::borrow(a) : to_int(a);
    if (shift > 0) return binary(PyNumber_Rshift, a, nb::int_(shift));
    if (negated_shift >= 0) {
        nb::object negated = steal_or_throw(PyNumber_Negative(a.ptr()));
        return negated_shift == 0 ? negated : binary(PyNumber_Rshift, negated, nb::int_(negated_shift));
    }
    nb::object quotient = to_int(binary(PyNumber_TrueDivide, a, b));
    nb::object product = binary(PyNumber_Multiply, quotient, b);
    nb::object overshoots;
    if (is_plain(b)) {
        overshoots = rich_compare(product, a, truth(rich_compare(b, nb::int_(0), Py_GT)) ? Py_GT : Py_LT);
    } else {
        nb::object zero = nb::int_(0);
        nb::object upward = binary(PyNumber_And, rich_compare(b, zero, Py_GT), rich_compare(product, a, Py_GT));
        nb::object downward = binary(PyNumber_And, rich_compare(b, zero, Py_LT), rich_compare(product, a, Py_LT));
        overshoots = binary(PyNumber_Or, upward, downward);
    }
    return binary(PyNumber_Subtract, quotient, to_int(overshoots));
}

// "/": integers divide as integers, floored; any real operand makes it true division.
nb::object divide(nb::handle node, nb::handle lhs, nb::handle rhs) {
    if (is_plain(lhs) && is_plain(rhs)) {
        if (!truth(rhs)) refuse_zero_divisor(node);
        try {
            if (PyLong_Check(lhs.ptr()) && PyLong_Check(rhs.ptr())) return binary(PyNumber_FloorDivide, lhs, rhs);
            return held(node, binary(PyNumber_TrueDivide, lhs, rhs));
        } catch (nb::python_error& error) {
            rethrow_naming(error, node);
        }
    }
    if (is_plain(rhs) && !truth(rhs)) refuse_zero_divisor(node);
    if (is_integer(lhs) && is_integer(rhs)) return floor_quotient(lhs, rhs);
    return binary(PyNumber_TrueDivide, lhs, rhs);
}

// --- durations ---

// A duration computed when compiling, as it is held: a whole count of cycles
// as an int, so that `delay[100ns]` passes the plain 25; one no number holds
// is refused, naming it.
nb::object cycles(nb::handle node, nb::object value) {
    if (!PyFloat_CheckExact(value.ptr())) return value;
    const double count = PyFloat_AS_DOUBLE(value.ptr());
    if (!std::isfinite(count)) refuse_out_of_range(node, "duration", count);
    if (count != std::trunc(count)) return value;
    return steal_or_throw(PyLong_FromDouble(count));
}

enum Mismatch { SUM, PRODUCT, QUOTIENT, COMPARISON, BITWISE };

// An operator applied to a duration as OpenQASM does not apply it: durations
// are real numbers of time, not numbers, and neither converts into the other.
[[noreturn]] void refuse_mixture(nb::handle node, Mismatch mismatch, nb::handle lhs_node, nb::handle rhs_node,
                                 bool left_is_duration) {
    nb::object duration = node_source(left_is_duration ? lhs_node : rhs_node);
    nb::object number = node_source(left_is_duration ? rhs_node : lhs_node);
    nb::object text;
    switch (mismatch) {
        case SUM:
            text = compose({nb::str(" adds the duration "), duration, nb::str(" and the number "), number,
                            nb::str("; a duration is added to and subtracted from durations only (a number "
                                    "needs a time unit, as 4ns).")});
            break;
        case PRODUCT:
            text = compose({nb::str(" multiplies the durations "), duration, nb::str(" and "), number,
                            nb::str("; a duration is multiplied by a number only.")});
            break;
        case QUOTIENT:
            text = compose({nb::str(" divides the number "), number, nb::str(" by the duration "), duration,
                            nb::str("; only a duration is divided by a duration.")});
            break;
        case COMPARISON:
            text = compose({nb::str(" compares the duration "), duration, nb::str(" with the number "), number,
                            nb::str("; a duration is compared with durations only.")});
            break;
        case BITWISE:
            text = compose({nb::str(" takes the duration "), duration,
                            nb::str(" as an operand of a bitwise operator or a shift; a duration takes +, -, *, / "
                                    "and comparisons only.")});
            break;
    }
    raise_text(state.duration_type_error.ptr(), compose({nb::str("The expression "), node_source(node), text}));
}

// `lhs op rhs` where either side is a duration, as OpenQASM types it: a sum
// or difference of durations, a duration times a number, a number times a
// duration and a duration divided by a number are durations; a duration
// divided by a duration is a number, and so are comparisons of durations.
// Every duration is a count of clock cycles, so the arithmetic is that of the
// counts, computed exactly (true division) and cut to whole cycles by no one
// but a delay.
nb::object duration_binary(nb::handle node, int op, const Facts& left, nb::handle lhs, const Facts& right,
                           nb::handle rhs, Facts* facts) {
    const bool ld = left.duration, rd = right.duration;
    nb::object lhs_node = get(node, state.s_lhs);
    nb::object rhs_node = get(node, state.s_rhs);
    bool duration = true;
    nb::object result;
    switch (op) {
        case ADD:
        case SUB:
            if (!(ld && rd)) refuse_mixture(node, SUM, lhs_node, rhs_node, ld);
            result = compute_binary(node, op, lhs, rhs, "duration");
            break;
        case MUL:
            if (ld && rd) refuse_mixture(node, PRODUCT, lhs_node, rhs_node, true);
            result = compute_binary(node, op, lhs, rhs, "duration");
            break;
        case DIV:
            if (!ld) refuse_mixture(node, QUOTIENT, lhs_node, rhs_node, false);
            if (is_plain(rhs) && !truth(rhs)) refuse_zero_divisor(node);
            if (is_plain(lhs) && is_plain(rhs)) {
                try {
                    result = held(node, binary(PyNumber_TrueDivide, lhs, rhs), rd ? "value of" : "duration");
                } catch (nb::python_error& error) {
                    rethrow_naming(error, node);
                }
            } else {
                result = binary(PyNumber_TrueDivide, lhs, rhs);
            }
            duration = !rd;
            break;
        case GT:
        case GE:
        case LT:
        case LE:
        case EQ:
        case NE:
            if (!(ld && rd)) refuse_mixture(node, COMPARISON, lhs_node, rhs_node, ld);
            return compute_binary(node, op, lhs, rhs);
        default: refuse_mixture(node, BITWISE, lhs_node, rhs_node, ld);
    }
    if (!duration) return result;
    if (facts) facts->duration = true;
    return cycles(node, std::move(result));
}

// --- bit-register widths ---

// The width of `lhs op rhs` when it is a bit register's value: a shift keeps
// its left operand's width, "&" the smaller known one, "|" and "^" that of
// two registers.
Py_ssize_t result_width(int op, Py_ssize_t left, Py_ssize_t right) {
    switch (op) {
        case LSHIFT:
        case RSHIFT: return left;
        case AND: return left && right ? std::min(left, right) : std::max(left, right);
        case OR:
        case XOR: return left && right ? std::max(left, right) : 0;
        default: return 0;
    }
}

nb::object compute_binary(nb::handle node, int which, nb::handle lhs, nb::handle rhs, const char* what) {
    nb::object result = fast_binary(which, lhs, rhs);
    if (result.is_valid()) return held(node, std::move(result), what);
    if (!is_plain(lhs) || !is_plain(rhs)) return number_binary(which, lhs, rhs);
    try {
        return held(node, number_binary(which, lhs, rhs), what);
    } catch (nb::python_error& error) {
        rethrow_naming(error, node);
    }
}

nb::object parse_binary(nb::handle node, nb::handle db, Facts* facts = nullptr) {
    Facts left, right;
    nb::object lhs_node = get(node, state.s_lhs);
    nb::object lhs = scalar_value(lhs_node, translate(lhs_node, db, &left), db, NUMBER);
    nb::object rhs_node = get(node, state.s_rhs);
    nb::object rhs = scalar_value(rhs_node, translate(rhs_node, db, &right), db, NUMBER);
    nb::object op = get(node, state.s_op);
    int which = find_operator(op, state.binary_ops, BINARY_OPS);
    if (which < 0) {
        refuse_as_folding_does(node);
        not_implemented_with("Binary expression undefined: ", op);
    }
    if (left.duration || right.duration) return duration_binary(node, which, left, lhs, right, rhs, facts);
    nb::object result = which == DIV ? divide(node, lhs, rhs) : compute_binary(node, which, lhs, rhs);
    const Py_ssize_t width = result_width(which, left.width, right.width);
    if (which == LSHIFT && width > 0) result = compute_binary(node, AND, result, register_mask(width));
    if (facts) facts->width = width;
    return result;
}

nb::object parse_unary(nb::handle node, nb::handle db, Facts* facts = nullptr) {
    Facts inner;
    nb::object operand_node = get(node, state.s_expression);
    nb::object operand = translate(operand_node, db, &inner);
    nb::object op = get(node, state.s_op);
    int which = find_operator(op, state.unary_ops, UNARY_OPS);
    // "~" negates each bit of a register; on any other value it is not lowered.
    if (which < 0 || (which == INVERT && inner.width == 0)) {
        refuse_as_folding_does(node);
        not_implemented_with("Unary expression undefined: ", op);
    }
    operand = scalar_value(operand_node, operand, db, which == NOT ? TRUTH : NUMBER);
    if (which == INVERT) {
        if (facts) facts->width = inner.width;
        return compute_binary(node, XOR, operand, register_mask(inner.width));
    }
    if (which == NEG) {
        if (inner.duration && facts) facts->duration = true;
        PyObject* value = operand.ptr();
        if (PyFloat_CheckExact(value)) return float_result(-PyFloat_AS_DOUBLE(value));
        long long small;
        if (small_int(value, small) && small != LLONG_MIN) return int_result(-small);
        return steal_or_throw(PyNumber_Negative(value));
    }
    if (inner.duration)
        raise_text(state.duration_type_error.ptr(),
                   compose({nb::str("The expression "), node_source(node), nb::str(" negates the duration "),
                            node_source(operand_node), nb::str("; a duration has no truth value.")}));
    return logical_not(operand);
}

// The decimal that a float is written as, its shortest text (which reads
// back as the float): the integer of its digits, sign included, and the power
// of ten they are scaled by. Empty digits for an infinity or a NaN.
std::pair<nb::object, long> decimal_of(double value) {
    char* text = PyOS_double_to_string(value, 'r', 0, 0, nullptr);
    if (!text) throw nb::python_error();
    std::string digits;
    long exponent = 0;
    bool finite = true, fraction = false;
    for (const char* c = text; *c; ++c) {
        if (*c == '-') {
            digits.push_back('-');
        } else if (*c >= '0' && *c <= '9') {
            digits.push_back(*c);
            if (fraction) --exponent;
        } else if (*c == '.') {
            fraction = true;
        } else if (*c == 'e') {
            exponent += std::strtol(c + 1, nullptr, 10);
            break;
        } else if (*c != '+') {
            finite = false;  // "inf", "nan"
            break;
        }
    }
    PyMem_Free(text);
    if (!finite) return {nb::object(), 0};
    return {steal_or_throw(PyLong_FromString(digits.c_str(), nullptr, 10)), exponent};
}

nb::object power_of_ten(long exponent) {
    return steal_or_throw(PyNumber_Power(nb::int_(10).ptr(), nb::int_(exponent).ptr(), Py_None));
}

// A duration literal in clock cycles, exactly: its length in nanoseconds over
// the nanoseconds of a cycle, an int where that is whole and the nearest
// float otherwise. A real count is read from the decimal the program wrote,
// not from the float's binary value, so that `4.02us` lasts 1005 cycles as
// `4020ns` does. `1dt` is `1ns`, a quarter of a cycle. One no number holds is
// refused, naming it.
nb::object duration_cycles(nb::handle node) {
    nb::object value = get(node, state.s_value);
    nb::object unit = get(node, state.s_unit);
    long unit_ns = 0;
    for (int i = 0; i < TIME_UNITS && !unit_ns; ++i)
        if (unit.is(state.time_units[i])) unit_ns = TIME_UNIT_NS[i];
    // A small integer count: the nanoseconds, and their cycles, computed here.
    long long count, ns;
    if (unit_ns && small_int(value.ptr(), count) && !__builtin_mul_overflow(count, unit_ns, &ns) &&
        ns < (1LL << 53) && ns > -(1LL << 53)) {
        if (ns % CYCLES_PER_NS == 0) return int_result(ns / CYCLES_PER_NS);
        return float_result(static_cast<double>(ns) / static_cast<double>(CYCLES_PER_NS));
    }
    try {
        nb::object per_unit = unit_ns ? nb::object(nb::int_(unit_ns))
                                      : steal_or_throw(PyObject_GetItem(state.time_in_ns.ptr(), unit.ptr()));
        // The length as a fraction of integers, nanoseconds over cycles.
        nb::object numerator, denominator = nb::borrow(state.cycles_per_ns);
        if (PyFloat_Check(value.ptr())) {
            const double real = PyFloat_AS_DOUBLE(value.ptr());
            auto [digits, exponent] = decimal_of(real);
            if (!digits.is_valid()) refuse_out_of_range(node, "duration", real);
            numerator = binary(PyNumber_Multiply, digits, per_unit);
            if (exponent > 0) numerator = binary(PyNumber_Multiply, numerator, power_of_ten(exponent));
            if (exponent < 0) denominator = binary(PyNumber_Multiply, denominator, power_of_ten(-exponent));
        } else if (PyLong_Check(value.ptr())) {
            numerator = binary(PyNumber_Multiply, value, per_unit);
        } else {
            // Another kind of number takes the host's arithmetic.
            return cycles(node, binary(PyNumber_TrueDivide, binary(PyNumber_Multiply, value, per_unit),
                                       state.cycles_per_ns));
        }
        if (!PyLong_Check(numerator.ptr()) || !PyLong_Check(denominator.ptr()))
            return cycles(node, binary(PyNumber_TrueDivide, numerator, denominator));
        // The host's division of two integers rounds to the nearest float; one
        // that no float holds is too large.
        PyObject* nearest = PyNumber_TrueDivide(numerator.ptr(), denominator.ptr());
        if (!nearest) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw nb::python_error();
            PyErr_Clear();
            refuse_out_of_range(node, "duration", HUGE_VAL);
        }
        nb::object result = nb::steal(nearest);
        if (truth(binary(PyNumber_Remainder, numerator, denominator))) return result;
        return binary(PyNumber_FloorDivide, numerator, denominator);
    } catch (nb::python_error& error) {
        rethrow_naming(error, node);
    }
}

nb::object lookup(nb::handle db, nb::handle name) {
    nb::object key = steal_or_throw(PyObject_CallOneArg(state.variable_signature.ptr(), name.ptr()));
    return steal_or_throw(PyObject_GetItem(db.ptr(), key.ptr()));
}

// `terms` joined by `op` as a balanced tree, so that a wide register gives an
// expression of logarithmic depth for the SDK to hold and render.
nb::object join_balanced(std::vector<nb::object> terms, binaryfunc op) {
    while (terms.size() > 1) {
        std::vector<nb::object> joined;
        joined.reserve((terms.size() + 1) / 2);
        for (size_t i = 0; i + 1 < terms.size(); i += 2)
            joined.push_back(steal_or_throw(op(terms[i].ptr(), terms[i + 1].ptr())));
        if (terms.size() % 2) joined.push_back(std::move(terms.back()));
        terms = std::move(joined);
    }
    return std::move(terms.front());
}

// The value of a bit register over its cells: as a number the unsigned
// integer in which cell i weighs 2^i (to_int(c[0]) + (to_int(c[1]) << 1) + ...),
// for its truth whether any cell is set (c[0] | c[1] | ...). A register of no
// cells is the plain 0 or false.
nb::object register_value(nb::handle wrapper, Reading reading) {
    nb::object size_object = get(wrapper, state.s_size);
    Py_ssize_t size = PyNumber_AsSsize_t(size_object.ptr(), PyExc_OverflowError);
    if (size == -1 && PyErr_Occurred()) throw nb::python_error();
    if (size <= 0) return reading == TRUTH ? make_bool(false) : int_result(0);
    nb::object method = get(wrapper, state.s_get_single_index);
    std::vector<nb::object> terms;
    terms.reserve(static_cast<size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        nb::object index = steal_or_throw(PyLong_FromSsize_t(i));
        nb::object cell = steal_or_throw(PyObject_CallOneArg(method.ptr(), index.ptr()));
        if (reading == NUMBER) {
            cell = steal_or_throw(PyObject_CallOneArg(state.to_int.ptr(), cell.ptr()));
            if (i > 0) cell = steal_or_throw(PyNumber_Lshift(cell.ptr(), index.ptr()));
        }
        terms.push_back(std::move(cell));
    }
    return join_balanced(std::move(terms), reading == TRUTH ? PyNumber_Or : PyNumber_Add);
}

// An operand as the SDK may take it: a plain value or a scalar vk expression.
// A bit register stands for its value; any other array (or list) is refused
// here, since the SDK's operators would fall back to the host's identity
// comparison or fail on it.
nb::object scalar_value(nb::handle node, nb::handle value, nb::handle db, Reading reading) {
    if (is_plain(value) || is_instance(value, state.vyr_scalar_expression)) return nb::borrow(value);
    if (is_instance(node, state.kind_classes[IDENTIFIER])) {
        nb::object name = get(node, state.s_name);
        nb::object wrapper = lookup(db, name);
        if (is_instance(wrapper, state.vyr_bit_register)) return register_value(wrapper, reading);
        raise_text(state.invalid_operand.ptr(), compose({nb::str("The array "), name,
                                             nb::str(" cannot be used as a value; only a bit register (bit[n]) "
                                                     "reads as a number. Index one of its cells instead.")}));
    }
    raise_text(state.invalid_operand.ptr(), compose({nb::str("Only a scalar can be used as a value, got "), value,
                                         nb::str(" from "), node}));
}

// A range where one index is expected. `collection` names what is indexed,
// when the caller knows it.
[[noreturn]] void refuse_slice(nb::handle range, nb::handle collection) {
    nb::object slice = compose({nb::str("["), node_source(range), nb::str("]")});
    if (collection.is_valid() && !collection.is_none()) {
        nb::object name = is_instance(collection, state.kind_classes[IDENTIFIER]) ? get(collection, state.s_name)
                                                                                 : nb::borrow(collection);
        slice = compose({name, slice});
    }
    raise_text(PyExc_NotImplementedError, compose({nb::str("Slices are not lowered: "), slice,
                                                   nb::str(" selects a range where one index is expected")}));
}

nb::object extract_single_index(nb::handle index, nb::handle collection = nb::handle()) {
    check_supported(PyList_Check(index.ptr()) && PyList_GET_SIZE(index.ptr()) == 1, "Only single index is supported.");
    // `index[0]`: an empty list is the index error, an index set the type error.
    nb::object first = PyList_CheckExact(index.ptr()) && PyList_GET_SIZE(index.ptr()) > 0
                           ? nb::borrow(PyList_GET_ITEM(index.ptr(), 0))
                           : steal_or_throw(PyObject_GetItem(index.ptr(), nb::int_(0).ptr()));
    // Refused whether or not assertions run: a range passed on would be read
    // as some other index.
    if (!is_instance(first, state.expression)) {
        if (is_instance(first, state.range_definition)) refuse_slice(first, collection);
        raise_text(PyExc_NotImplementedError, compose({nb::str("Unsupported index: "), first}));
    }
    return first;
}

PyTypeObject* type_of(nb::handle cls) { return reinterpret_cast<PyTypeObject*>(cls.ptr()); }

// A qubit has no value, and no variable lookup could name it: the register
// mapping has put a hardware qubit in place of every register name. `index`
// is what it is indexed by, if anything; the library's printer has no text
// for a hardware qubit, so the text is written here.
void refuse_qubit(nb::handle node, nb::handle index = nb::handle()) {
    nb::object hardware_qubit = import_attr("corvane.configurations.hardware_qubit", "HardwareQubit");
    if (!is_instance(node, hardware_qubit)) return;
    nb::object used = get(node, state.s_name);
    if (index.is_valid()) {
        nb::object texts = steal_or_throw(PyList_New(0));
        if (PyList_Check(index.ptr())) {
            nb::object iterator = steal_or_throw(PyObject_GetIter(index.ptr()));
            while (PyObject* item = PyIter_Next(iterator.ptr()))
                check_status(PyList_Append(texts.ptr(), node_source(nb::steal(item)).ptr()));
            if (PyErr_Occurred()) throw nb::python_error();
        } else {
            check_status(PyList_Append(texts.ptr(), node_source(index).ptr()));
        }
        nb::object joined = steal_or_throw(PyUnicode_Join(nb::str(", ").ptr(), texts.ptr()));
        used = compose({used, nb::str("["), joined, nb::str("]")});
    }
    raise_text(state.invalid_operand.ptr(), compose({nb::str("A qubit cannot be used as a value: "), used}));
}

// Whether a wrapper's class derives from a marker class of the typing; read
// from the class's bases, as the markers are plain subclasses.
bool marked(nb::handle wrapper, nb::handle marker) {
    return PyType_IsSubtype(Py_TYPE(wrapper.ptr()), type_of(marker)) != 0;
}

// A register's width as its size gives it; none for a size below one.
Py_ssize_t width_of(nb::handle size) {
    Py_ssize_t width = PyNumber_AsSsize_t(size.ptr(), PyExc_OverflowError);
    if (width == -1 && PyErr_Occurred()) throw nb::python_error();
    return width > 0 ? width : 0;
}

// What a variable's wrapper tells of its value (`cell`: of one cell of it):
// a duration, or the width of a bit register or an unsigned integer. A
// wrapper of no marker class holds a number, of no width.
void wrapper_facts(nb::handle wrapper, bool cell, Facts* facts) {
    if (!facts) return;
    if (cell) {
        if (marked(wrapper, state.vyr_duration_arr)) facts->duration = true;
        else if (marked(wrapper, state.vyr_uint_arr)) facts->width = width_of(get(wrapper, state.s_width));
        return;
    }
    if (is_instance(wrapper, state.vyr_bit_register)) facts->width = width_of(get(wrapper, state.s_size));
    else if (marked(wrapper, state.vyr_uint_slot)) facts->width = width_of(get(wrapper, state.s_width));
    else if (marked(wrapper, state.vyr_duration_slot) || marked(wrapper, state.vyr_duration_arr))
        facts->duration = true;
}

nb::object translate_index(nb::handle node, nb::handle db, Facts* facts) {
    nb::object collection = get(node, state.s_collection);
    if (!is_instance(collection, state.kind_classes[IDENTIFIER]))
        not_implemented(compose({nb::str("Only direct pointing on an array is supported: "), node_source(node)}));
    if (!Py_IS_TYPE(collection.ptr(), type_of(state.kind_classes[IDENTIFIER])))
        refuse_qubit(collection, get(node, state.s_index));
    nb::object name = get(collection, state.s_name);
    nb::object wrapper = lookup(db, name);
    if (!is_instance(wrapper, state.vyr_arr))
        raise_error(steal_or_throw(PyObject_CallOneArg(state.indexing_variable_exception.ptr(), name.ptr())));
    // An index is one number: a bit register gives its value, any other array is refused.
    nb::object index_node = extract_single_index(get(node, state.s_index), name);
    Facts index_facts;
    nb::object index = scalar_value(index_node, translate(index_node, db, &index_facts), db, NUMBER);
    if (index_facts.duration)
        raise_text(state.duration_type_error.ptr(),
                   compose({nb::str("The index "), node_source(index_node), nb::str(" of "), name,
                            nb::str(" is a duration; an index is a number.")}));
    nb::object method = get(wrapper, state.s_get_single_index);
    nb::object cell = steal_or_throw(PyObject_CallOneArg(method.ptr(), index.ptr()));
    wrapper_facts(wrapper, true, facts);
    return cell;
}

nb::object translate_cast(nb::handle node, nb::handle db) {
    nb::object argument = get(node, state.s_argument);
    if (is_instance(argument, state.kind_classes[ARRAY]) || is_instance(argument, state.array_type))
        not_implemented(nb::str("Casting array types is not supported"));
    Facts facts;
    nb::object value = translate(argument, db, &facts);
    nb::object target = get(node, state.s_type);
    // OpenQASM casts no duration: a duration divided by a duration is the number it holds of the other.
    if (facts.duration)
        raise_text(state.duration_type_error.ptr(),
                   compose({nb::str("The cast "), node_source(node), nb::str(" converts the duration "),
                            node_source(argument), nb::str("; casting from a duration is not allowed (a duration "
                                                           "divided by a duration is a number).")}));
    // Only the targets that convert take a register's value; the others are refused by the cast.
    if (is_instance(target, state.bool_type)) value = scalar_value(argument, value, db, TRUTH);
    else if (is_instance(target, state.int_type) || is_instance(target, state.uint_type) ||
             is_instance(target, state.float_type))
        value = scalar_value(argument, value, db, NUMBER);
    if (!is_plain(value)) return cast_expression(value, target);
    try {
        return cast_expression(value, target);
    } catch (nb::python_error& error) {
        rethrow_naming(error, node);
    }
}

// An array literal's elements are all durations or all numbers, as the
// cells of one array are: it is a duration's value when they are durations.
nb::object translate_array(nb::handle node, nb::handle db, Facts* facts) {
    nb::object values = get(node, state.s_values);
    nb::object result = steal_or_throw(PyList_New(0));
    nb::object iterator = steal_or_throw(PyObject_GetIter(values.ptr()));
    nb::object first;  // the first element, of the kind the others must have
    bool durations = false;
    while (PyObject* item = PyIter_Next(iterator.ptr())) {
        nb::object element = nb::steal(item);
        Facts element_facts;
        check_status(PyList_Append(result.ptr(), translate(element, db, &element_facts).ptr()));
        if (!first.is_valid()) {
            first = element;
            durations = element_facts.duration;
        } else if (element_facts.duration != durations) {
            nb::handle duration = durations ? nb::handle(first) : nb::handle(element);
            nb::handle number = durations ? nb::handle(element) : nb::handle(first);
            raise_text(state.duration_type_error.ptr(),
                       compose({nb::str("The array literal "), node_source(node), nb::str(" holds the duration "),
                                node_source(duration), nb::str(" and the number "), node_source(number),
                                nb::str("; the values of one array are all durations or all numbers.")}));
        }
    }
    if (PyErr_Occurred()) throw nb::python_error();
    if (durations && facts) facts->duration = true;
    return result;
}

Kind exact_kind(PyTypeObject* type) {
    for (int k = 0; k < OTHER; ++k)
        if (reinterpret_cast<PyObject*>(type) == state.kind_classes[k].ptr()) return static_cast<Kind>(k);
    return KINDS;
}

nb::object translate(nb::handle node, nb::handle db, Facts* facts) {
    RecursionLimitGuard guard(" while translating an expression");
    PyTypeObject* type = Py_TYPE(node.ptr());
    if (type == state.integer_literal || type == state.boolean_literal) return get(node, state.s_value);
    if (type == state.float_literal) return held(node, get(node, state.s_value), "number");
    // The exact classes of the dispatch are no literals, so the literal test
    // is needed only for the others; these then take the instance tests.
    Kind kind = exact_kind(type);
    if (kind == KINDS) {
        nb::object literal = steal_or_throw(PyObject_CallOneArg(state.is_qasm_literal.ptr(), node.ptr()));
        if (truth(literal)) {
            // A bit-string literal is a register's value, of its own width.
            if (facts && type == state.bitstring_literal) facts->width = width_of(get(node, state.s_width));
            return held(node, get(node, state.s_value), "number");
        }
        kind = OTHER;
        for (int k = 0; k < OTHER; ++k) {
            if (is_instance(node, state.kind_classes[k])) {
                kind = static_cast<Kind>(k);
                break;
            }
        }
    }
    switch (kind) {
        case DURATION:
            if (facts) facts->duration = true;
            return duration_cycles(node);
        case BINARY: return parse_binary(node, db, facts);
        case UNARY: return parse_unary(node, db, facts);
        case IDENTIFIER: {
            if (type != type_of(state.kind_classes[IDENTIFIER])) refuse_qubit(node);
            nb::object wrapper = lookup(db, get(node, state.s_name));
            nb::object value = get(wrapper, state.s_vyr_value_exp);
            wrapper_facts(wrapper, false, facts);
            return value;
        }
        case INDEX: return translate_index(node, db, facts);
        case CAST: return translate_cast(node, db);
        case ARRAY: return translate_array(node, db, facts);
        default:
            refuse_as_folding_does(node);
            not_implemented(compose({nb::str("Unsupported expression type: "), node.type(), nb::str(" at: "), node}));
    }
}

// --- casts ---------------------------------------------------------------------

bool scalar_of_dtype(nb::handle value, PyTypeObject* dtype) {
    if (!is_instance(value, state.vyr_scalar_expression)) return false;
    nb::object actual = get(value, state.s_dtype);
    int equal = PyObject_RichCompareBool(actual.ptr(), reinterpret_cast<PyObject*>(dtype), Py_EQ);
    check_status(equal);
    return equal != 0;
}

// "!": a plain value gives the plain boolean; a boolean vk expression the
// SDK's "~". An integer or fixed-point expression is compared with zero
// instead, since "~" on it is the bitwise complement (!5 would be -6, true).
nb::object logical_not(nb::handle value) {
    if (is_plain(value)) return make_bool(!truth(value));
    if (scalar_of_dtype(value, &PyBool_Type)) return steal_or_throw(PyNumber_Invert(value.ptr()));
    nb::object zero = nb::int_(0);
    return steal_or_throw(PyObject_RichCompare(value.ptr(), zero.ptr(), Py_EQ));
}

// The conversion itself is the typing's, which the lowering applies to a
// value given to a variable as well.
nb::object cast_expression(nb::handle expression, nb::handle target) {
    if (is_instance(target, state.int_type) || is_instance(target, state.uint_type))
        return typing::converted(expression, typing::Conversion::integer);
    if (is_instance(target, state.float_type)) return typing::converted(expression, typing::Conversion::real);
    if (is_instance(target, state.bool_type)) return typing::converted(expression, typing::Conversion::boolean);
    not_implemented(compose({nb::str("Unsupported cast type: "), target}));
}

// --- the module's functions ------------------------------------------------------

nb::object translate_expression(nb::handle oq_expression, nb::handle variables_db) {
    return translate(oq_expression, variables_db);
}

nb::object parse_binary_expression(nb::handle oq_expression, nb::handle variables_db) {
    return parse_binary(oq_expression, variables_db);
}

nb::object parse_unary_expression(nb::handle oq_expression, nb::handle variables_db) {
    return parse_unary(oq_expression, variables_db);
}

nb::object extract_single_index_function(nb::handle index, nb::handle collection) {
    return extract_single_index(index, collection);
}

nb::object cast_expression_function(nb::handle expression, nb::handle target) {
    return cast_expression(expression, target);
}

// For the lowering: a translated condition, switch target, case value or loop
// bound, read like an operand.
nb::object scalar_value_function(nb::handle value, nb::handle oq_expression, nb::handle variables_db,
                                 nb::handle as_truth) {
    return scalar_value(oq_expression, value, variables_db, truth(as_truth) ? TRUTH : NUMBER);
}

// For the lowering: the translation with whether it is a duration, which
// the places that take a value check against what they take.
nb::object translate_typed(nb::handle oq_expression, nb::handle variables_db) {
    Facts facts;
    nb::object value = translate(oq_expression, variables_db, &facts);
    return nb::make_tuple(value, nb::bool_(facts.duration));
}

// For the lowering, where a visitor translates expressions itself: whether
// the expression is a duration, read from its form and the wrappers of the
// variables it names, as the translation would tell it. What the translation
// cannot read (a call, a name that no variable has) is no duration. The
// translation's own Facts are gathered as it computes the value, in the same
// walk, which is why it does not ask this.
nb::object is_duration_function(nb::handle oq_expression, nb::handle variables_db) {
    const bool duration = typing::is_duration_valued(oq_expression, [&](nb::handle name) {
        nb::object key = steal_or_throw(PyObject_CallOneArg(state.variable_signature.ptr(), name.ptr()));
        nb::object wrapper = find_item(variables_db, key);
        return wrapper.is_valid() &&
               (marked(wrapper, state.vyr_duration_slot) || marked(wrapper, state.vyr_duration_arr));
    });
    return nb::bool_(duration);
}

}  // namespace

NB_MODULE(translate_expression, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "corvane.vyr_slot", {"VyrArr", "AllExps", "IndexingVariableException"});
    import_from(m, "corvane.programs", {"VariablesDB", "VariableSignature"});
    import_from(m, "corvane.passes.utils", {"is_qasm_literal"});
    import_from(m, "openqasm3", {"ast"});
    import_from(m, "vk", {"vyr"});
    import_from(m, "vk.vyr.type_hints", {"VyrScalarExpression"});
    nb::object vyr_slot = import_module("corvane.vyr_slot");
    nb::object programs = import_module("corvane.programs");
    nb::object utils = import_module("corvane.passes.utils");
    nb::object ast = import_module("openqasm3.ast");
    nb::object sdk = import_module("vk.vyr");
    nb::object sdk_expressions = import_module("vk.vyr._expressions");

    state.is_qasm_literal = keep(utils.attr("is_qasm_literal"));
    state.integer_literal = type_of(keep(ast.attr("IntegerLiteral")));
    state.float_literal = type_of(keep(ast.attr("FloatLiteral")));
    state.boolean_literal = type_of(keep(ast.attr("BooleanLiteral")));
    state.bitstring_literal = type_of(keep(ast.attr("BitstringLiteral")));
    const char* kind_names[OTHER] = {"DurationLiteral", "BinaryExpression", "UnaryExpression", "Identifier",
                                     "IndexExpression", "Cast",             "ArrayLiteral"};
    for (int k = 0; k < OTHER; ++k) state.kind_classes[k] = keep(ast.attr(kind_names[k]));
    state.expression = keep(ast.attr("Expression"));
    state.range_definition = keep(ast.attr("RangeDefinition"));
    state.array_type = keep(ast.attr("ArrayType"));
    state.int_type = keep(ast.attr("IntType"));
    state.uint_type = keep(ast.attr("UintType"));
    state.float_type = keep(ast.attr("FloatType"));
    state.bool_type = keep(ast.attr("BoolType"));
    nb::object binary_operator = ast.attr("BinaryOperator");
    for (int i = 0; i < BINARY_OPS; ++i) state.binary_ops[i] = keep(binary_operator[BINARY_SYMBOLS[i]]);
    nb::object unary_operator = ast.attr("UnaryOperator");
    for (int i = 0; i < UNARY_OPS; ++i) state.unary_ops[i] = keep(unary_operator[UNARY_SYMBOLS[i]]);

    state.variable_signature = keep(programs.attr("VariableSignature"));
    state.vyr_arr = keep(vyr_slot.attr("VyrArr"));
    state.vyr_bit_register = keep(vyr_slot.attr("VyrBitRegister"));
    state.vyr_duration_slot = keep(vyr_slot.attr("VyrDurationSlot"));
    state.vyr_duration_arr = keep(vyr_slot.attr("VyrDurationArr"));
    state.vyr_uint_slot = keep(vyr_slot.attr("VyrUintSlot"));
    state.vyr_uint_arr = keep(vyr_slot.attr("VyrUintArr"));
    state.indexing_variable_exception = keep(vyr_slot.attr("IndexingVariableException"));
    state.vyr_scalar_expression = keep(sdk_expressions.attr("VyrScalarExpression"));
    nb::object cast = sdk.attr("Cast");
    state.to_int = keep(cast.attr("to_int"));

    const char* names[] = {"value",      "unit",  "lhs",    "rhs",           "op",
                           "expression", "name",  "collection", "index",     "argument",
                           "type",       "values", "vyr_value_exp", "get_single_index", "dtype",
                           "size",       "width"};
    nb::handle* slots[] = {&state.s_value,      &state.s_unit,  &state.s_lhs,    &state.s_rhs,
                           &state.s_op,         &state.s_expression, &state.s_name, &state.s_collection,
                           &state.s_index,      &state.s_argument, &state.s_type, &state.s_values,
                           &state.s_vyr_value_exp, &state.s_get_single_index, &state.s_dtype,
                           &state.s_size, &state.s_width};
    for (size_t i = 0; i < sizeof(names) / sizeof(names[0]); ++i) *slots[i] = intern(names[i]);

    nb::object cycles = nb::int_(CYCLES_PER_NS);
    m.attr("CYCLES_PER_NS") = cycles;
    state.cycles_per_ns = keep(cycles);
    nb::dict time_in_ns;
    nb::object time_unit = ast.attr("TimeUnit");
    for (int i = 0; i < TIME_UNITS; ++i) {
        state.time_units[i] = keep(time_unit.attr(TIME_UNIT_NAMES[i]));
        time_in_ns[state.time_units[i]] = nb::int_(TIME_UNIT_NS[i]);
    }
    m.attr("TIME_IN_NS") = time_in_ns;
    state.time_in_ns = keep(time_in_ns);
    nb::object plain = nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(&PyBool_Type)),
                                      nb::handle(reinterpret_cast<PyObject*>(&PyLong_Type)),
                                      nb::handle(reinterpret_cast<PyObject*>(&PyFloat_Type)));
    m.attr("PLAIN_VALUE_TYPES") = plain;

    state.invalid_operand = keep(ClassBuilder(m, "InvalidOperandException", {nb::handle(PyExc_TypeError)})
                                     .doc("An operand that its expression cannot take: an array other than a bit "
                                          "register, a qubit, or a value of the wrong type, a real as a switch's "
                                          "target or case value among them.")
                                     .build());
    state.division_by_zero = keep(ClassBuilder(m, "DivisionByZeroException", {nb::handle(PyExc_ZeroDivisionError)})
                                      .doc("A division whose divisor is zero.")
                                      .build());
    state.duration_type_error =
        keep(ClassBuilder(m, "DurationTypeException", {state.invalid_operand})
                 .doc("A duration where a number is expected, or a number where a duration is: OpenQASM converts "
                      "neither into the other.")
                 .build());
    state.out_of_range = keep(ClassBuilder(m, "ValueOutOfRangeException", {nb::handle(PyExc_OverflowError)})
                                  .doc("A duration or number too large to be held, or one computed from such a "
                                       "value.")
                                  .build());

    def_function(m, "translate_expression(oq_expression: ast.Expression, variables_db: VariablesDB) -> typing.Any",
                 translate_expression, "An OpenQASM expression as a plain value, a list or a vk expression.",
                 "oq_expression"_arg, "variables_db"_arg);
    def_function(m, "_parse_binary_expression(oq_expression: ast.BinaryExpression, variables_db: VariablesDB)"
                 " -> typing.Any",
                 parse_binary_expression, "The translation of a binary expression.", "oq_expression"_arg,
                 "variables_db"_arg);
    def_function(m, "_parse_unary_expression(oq_expression: ast.UnaryExpression, variables_db: VariablesDB)"
                 " -> typing.Any",
                 parse_unary_expression, "The translation of a unary expression.", "oq_expression"_arg,
                 "variables_db"_arg);
    def_function(m, "extract_single_index(index: list[ast.Expression | ast.RangeDefinition] | ast.DiscreteSet,"
                 " collection: str | ast.Identifier | None = None) -> ast.Expression",
                 extract_single_index_function,
                 "The one expression that an index holds; `collection`, what is indexed, names it in a refusal.",
                 "index"_arg, "collection"_arg = nb::none());
    def_function(m, "_cast_expression(expression: typing.Any, target: ast.ClassicalType) -> typing.Any",
                 cast_expression_function, "A translated value converted to the cast's type.", "expression"_arg,
                 "target"_arg);
    def_function(m, "_logical_not", logical_not, "value"_arg);
    def_function(m, "_translate_typed(oq_expression: ast.Expression, variables_db: VariablesDB)"
                 " -> tuple[typing.Any, bool]",
                 translate_typed, "The translation, and whether it is a duration (in clock cycles).",
                 "oq_expression"_arg, "variables_db"_arg);
    def_function(m, "_is_duration(oq_expression: ast.Expression, variables_db: VariablesDB) -> bool",
                 is_duration_function, "Whether the expression is a duration, by its form and its variables.",
                 "oq_expression"_arg, "variables_db"_arg);
    def_function(m, "_scalar_value", scalar_value_function, "value"_arg, "oq_expression"_arg, "variables_db"_arg,
                 "as_truth"_arg = false);
}
