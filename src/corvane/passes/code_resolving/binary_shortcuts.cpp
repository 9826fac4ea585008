// Algebraic shortcuts for binary expressions with one deciding literal operand
// (`x + 0`, `0 * x`, `x ** 0`, ...), used by folding when it cannot compute.
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

struct ModuleState {
    nb::handle is_qasm_literal;
    nb::handle create_literal;
    nb::handle boolean_literal, integer_literal, float_literal;
    nb::handle anything;  // ANYTHING
    nb::handle cases;     // CASES_TO_RETURN_FUNCTION
    nb::handle return_lhs, return_rhs;
    nb::handle literal_as_type_of_rhs;  // the answer function before its literal is bound
    nb::handle partial;                 // functools.partial
    nb::handle lhs, rhs, op, name, value;
} state;

// --- Anything ---------------------------------------------------------------

nb::object anything_eq(nb::handle, nb::handle) { return nb::bool_(true); }

// From the printed form, which stays the same for the life of the instance.
nb::object anything_hash(nb::handle self) {
    Py_hash_t hash = PyObject_Hash(text_of(self).ptr());
    if (hash == -1) throw nb::python_error();
    return steal_or_throw(PyLong_FromSsize_t(hash));
}

// --- answer functions ----------------------------------------------------------

nb::object return_lhs(nb::handle lhs, nb::handle) { return nb::borrow(lhs); }
nb::object return_rhs(nb::handle, nb::handle rhs) { return nb::borrow(rhs); }

// `lit` as a new literal of the right operand's kind.
nb::object literal_as_type_of_rhs(nb::handle lit, nb::handle, nb::handle rhs) {
    nb::object value;
    if (is_instance(rhs, state.boolean_literal)) {
        value = nb::bool_(truth(lit));
    } else if (is_instance(rhs, state.integer_literal)) {
        value = steal_or_throw(PyNumber_Long(lit.ptr()));
    } else if (is_instance(rhs, state.float_literal)) {
        value = steal_or_throw(PyNumber_Float(lit.ptr()));
    } else {
        raise_text(PyExc_TypeError, compose({nb::str("Type "), rhs.type(), nb::str(" is not supported.")}));
    }
    return state.create_literal(value);
}

nb::object return_literal_as_type_of_rhs(nb::handle lit) {
    return state.partial(state.literal_as_type_of_rhs, lit);
}

// --- the table -----------------------------------------------------------------

// The operand's literal value, or None for an operand that is no literal.
nb::object comparison_key(nb::handle operand) {
    if (!truth(state.is_qasm_literal(operand))) return nb::none();
    return get_attr(operand, state.value);
}

// `pattern == key`, the pattern on the left; the wildcard matches without a call.
// The pattern true decides only for a boolean literal: `x & true` is x and
// `x | true` is true for booleans, but an integer 1 or a float 1.0 in its place
// (equal to true by value) must keep its bitwise meaning.
bool matches(nb::handle pattern, nb::handle key, nb::handle operand) {
    if (pattern.is(state.anything)) return true;
    if (pattern.is(Py_True) && !is_instance(operand, state.boolean_literal)) return false;
    int equal = PyObject_RichCompareBool(pattern.ptr(), key.ptr(), Py_EQ);
    check_status(equal);
    return equal != 0;
}

// A duration is no number: `d * 0` is a duration of no length, not the number
// 0, and `d + 0` adds a number to a duration, which translation refuses; no
// row may answer for an operand that holds a duration literal anywhere. The
// shortcuts know no names; folding keeps the names of duration variables.
nb::object calculate_binary_shortcuts(nb::handle node) {
    nb::object lhs = get_attr(node, state.lhs);
    nb::object rhs = get_attr(node, state.rhs);
    nb::object lhs_key = comparison_key(lhs);
    nb::object rhs_key = comparison_key(rhs);
    nb::object symbol = get_attr(get_attr(node, state.op), state.name);

    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* answer;
    nb::object cases = nb::borrow(state.cases);
    while (PyDict_Next(cases.ptr(), &position, &key, &answer)) {
        nb::object row = nb::borrow(key);
        nb::object function = nb::borrow(answer);  // held while the row is tested
        if (!PyTuple_Check(row.ptr())) row = steal_or_throw(PySequence_Tuple(row.ptr()));
        if (PyTuple_GET_SIZE(row.ptr()) != 3) {
            PyErr_SetString(PyExc_ValueError, "a shortcut row needs a left pattern, an operator and a right pattern");
            throw nb::python_error();
        }
        // Comparisons have no effects, so the cheap operator test goes first.
        if (!matches(PyTuple_GET_ITEM(row.ptr(), 1), symbol, symbol)) continue;
        if (!matches(PyTuple_GET_ITEM(row.ptr(), 0), lhs_key, lhs)) continue;
        if (!matches(PyTuple_GET_ITEM(row.ptr(), 2), rhs_key, rhs)) continue;
        if (typing::mentions_duration(lhs, {}) || typing::mentions_duration(rhs, {})) return nb::borrow(node);
        if (function.is(state.return_lhs)) return lhs;
        if (function.is(state.return_rhs)) return rhs;
        return function(lhs, rhs);
    }
    return nb::borrow(node);
}

}  // namespace

NB_MODULE(binary_shortcuts, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "corvane.passes.utils",
                {"is_qasm_literal", "create_literal", "PythonLiterals", "SupportedLiteralTypes"});
    import_from(m, "openqasm3", {"ast"});
    nb::object utils = import_module("corvane.passes.utils");
    state.is_qasm_literal = keep(utils.attr("is_qasm_literal"));
    state.create_literal = keep(utils.attr("create_literal"));
    nb::object ast = import_module("openqasm3.ast");
    state.boolean_literal = keep(ast.attr("BooleanLiteral"));
    state.integer_literal = keep(ast.attr("IntegerLiteral"));
    state.float_literal = keep(ast.attr("FloatLiteral"));
    state.partial = keep_attr("functools", "partial");
    state.lhs = intern("lhs");
    state.rhs = intern("rhs");
    state.op = intern("op");
    state.name = intern("name");
    state.value = intern("value");

    nb::object anything_class = ClassBuilder(m, "Anything")
                                    .doc("A wildcard: equal to every value.")
                                    .def("__eq__(self, other: object) -> bool", anything_eq, "Always true.",
                                         "other"_arg)
                                    .def("__hash__(self) -> int", anything_hash, "One hash for every wildcard.")
                                    .build();
    state.anything = keep(anything_class());
    m.attr("ANYTHING") = state.anything;

    state.return_lhs =
        keep(def_function(m, "return_lhs(lhs: ast.Expression, rhs: ast.Expression) -> ast.Expression", return_lhs,
                          "The left operand: the shortcut's answer.", "lhs"_arg, "rhs"_arg));
    state.return_rhs =
        keep(def_function(m, "return_rhs(lhs: ast.Expression, rhs: ast.Expression) -> ast.Expression", return_rhs,
                          "The right operand: the shortcut's answer.", "lhs"_arg, "rhs"_arg));
    state.literal_as_type_of_rhs = keep(nb::cpp_function(literal_as_type_of_rhs, nb::name("literal_as_type_of_rhs"),
                                                         "lit"_arg, "lhs"_arg, "rhs"_arg));
    nb::object literal_answer = def_function(
        m,
        "return_literal_as_type_of_rhs(lit: PythonLiterals) -> collections.abc.Callable[[ast.Expression,"
        " ast.Expression], SupportedLiteralTypes]",
        return_literal_as_type_of_rhs, "An answer that is the value as a literal of the right operand's kind.",
        "lit"_arg);

    nb::handle any = state.anything;
    nb::object zero = nb::int_(0), one = nb::int_(1);
    nb::object no = nb::bool_(false), yes = nb::bool_(true);
    nb::handle lhs = state.return_lhs, rhs = state.return_rhs;
    nb::object one_as_rhs = literal_answer(one);
    struct Row {
        nb::handle left;
        const char* op;
        nb::handle right;
        nb::handle answer;
    };
    const Row rows[] = {
        {zero, "/", any, lhs},  {any, "/", one, lhs},  {zero, "*", any, lhs}, {any, "*", zero, rhs},
        {one, "*", any, rhs},   {any, "*", one, lhs},  {zero, "+", any, rhs}, {any, "+", zero, lhs},
        {any, "-", zero, lhs},  {no, "&", any, lhs},   {any, "&", no, rhs},   {yes, "&", any, rhs},
        {any, "&", yes, lhs},   {no, "|", any, rhs},   {any, "|", no, lhs},   {yes, "|", any, lhs},
        {any, "|", yes, rhs},   {zero, "**", any, lhs}, {any, "**", zero, one_as_rhs},
        {one, "**", any, lhs},  {any, "**", one, lhs},
    };
    nb::dict cases;
    for (const Row& row : rows) cases[nb::make_tuple(row.left, nb::str(row.op), row.right)] = row.answer;
    state.cases = keep(cases);
    m.attr("CASES_TO_RETURN_FUNCTION") = state.cases;

    def_function(m, "calculate_binary_shortcuts(node: ast.BinaryExpression) -> ast.Expression",
                 calculate_binary_shortcuts, "The simpler equivalent of a binary expression, or the expression itself.",
                 "node"_arg);
}
