#include "corvane/native/typing.h"

#include "corvane/native/python.h"
#include "corvane/native/tree_walk.h"

namespace corvane::native::typing {

namespace {

enum Binary { ADD, SUB, MUL, DIV, MOD, POW, BINARY };
constexpr const char* BINARY_SYMBOLS[BINARY] = {"+", "-", "*", "/", "%", "**"};

// The ast classes and operators the readings test: kept for the life of the
// process once the module's first reading has looked them up. A module
// imports openqasm3 before it reads, so making them calls no code that could
// let another thread in half way.
struct Classes {
    PyTypeObject *duration_literal, *float_literal, *identifier, *index_expression, *binary_expression,
        *unary_expression, *array_literal, *cast, *function_call;
    nb::handle float_type, duration_type, stretch_type, array_type;
    nb::handle binary[BINARY];
    nb::handle minus;
};

PyTypeObject* type_of(nb::handle cls) { return reinterpret_cast<PyTypeObject*>(cls.ptr()); }

const Classes& classes() {
    static const Classes* made = nullptr;
    if (made) return *made;
    nb::object ast = import_module("openqasm3.ast");
    auto* fresh = new Classes();  // lives as long as the process
    auto kept = [&](const char* name) { return keep(nb::getattr(ast, name)); };
    fresh->duration_literal = type_of(kept("DurationLiteral"));
    fresh->float_literal = type_of(kept("FloatLiteral"));
    fresh->identifier = type_of(kept("Identifier"));
    fresh->index_expression = type_of(kept("IndexExpression"));
    fresh->binary_expression = type_of(kept("BinaryExpression"));
    fresh->unary_expression = type_of(kept("UnaryExpression"));
    fresh->array_literal = type_of(kept("ArrayLiteral"));
    fresh->cast = type_of(kept("Cast"));
    fresh->function_call = type_of(kept("FunctionCall"));
    fresh->float_type = kept("FloatType");
    fresh->duration_type = kept("DurationType");
    fresh->stretch_type = kept("StretchType");
    fresh->array_type = kept("ArrayType");
    nb::object binary_operator = nb::getattr(ast, "BinaryOperator");
    for (int i = 0; i < BINARY; ++i) fresh->binary[i] = keep(binary_operator[BINARY_SYMBOLS[i]]);
    fresh->minus = keep(nb::getattr(ast, "UnaryOperator")["-"]);
    made = fresh;
    return *made;
}

bool is(nb::handle node, PyTypeObject* type) { return Py_IS_TYPE(node.ptr(), type); }

// The position of a binary operator among those the readings know, or -1.
// Enum members are singletons, so identity tells.
int binary_of(const Classes& c, nb::handle node) {
    nb::object op = get_attr(node, interned<"op">());
    for (int i = 0; i < BINARY; ++i)
        if (op.is(c.binary[i])) return i;
    return -1;
}

bool is_minus(const Classes& c, nb::handle node) { return get_attr(node, interned<"op">()).is(c.minus); }

bool name_is(const NameTest& test, nb::handle identifier) {
    if (!test) return false;
    nb::object name = get_attr(identifier, interned<"name">());
    return PyUnicode_Check(name.ptr()) && test(name);
}

bool duration_valued(const Classes& c, nb::handle expression, const NameTest& durations) {
    RecursionLimitGuard guard(" while typing an expression");
    if (is(expression, c.duration_literal)) return true;
    if (is(expression, c.identifier)) return name_is(durations, expression);
    if (is(expression, c.index_expression)) {
        nb::object collection = get_attr(expression, interned<"collection">());
        return is(collection, c.identifier) && name_is(durations, collection);
    }
    if (is(expression, c.binary_expression)) {
        const int op = binary_of(c, expression);
        if (op != ADD && op != SUB && op != MUL && op != DIV) return false;
        const bool left = duration_valued(c, get_attr(expression, interned<"lhs">()), durations);
        if (op == DIV && !left) return false;
        const bool right = duration_valued(c, get_attr(expression, interned<"rhs">()), durations);
        return op == DIV ? !right : left || right;
    }
    if (is(expression, c.unary_expression))
        return is_minus(c, expression) &&
               duration_valued(c, get_attr(expression, interned<"expression">()), durations);
    if (is(expression, c.array_literal)) {
        // The cells of one array are all durations or all numbers, as its first.
        nb::object values = get_attr(expression, interned<"values">());
        if (!PyList_CheckExact(values.ptr()) || PyList_GET_SIZE(values.ptr()) == 0) return false;
        return duration_valued(c, nb::borrow(PyList_GET_ITEM(values.ptr(), 0)), durations);
    }
    return false;
}

bool mentions(const Classes& c, nb::handle expression, const NameTest& durations) {
    RecursionLimitGuard guard(" while typing an expression");
    if (is(expression, c.duration_literal)) return true;
    if (is(expression, c.identifier)) return name_is(durations, expression);
    if (!tree::is_node(expression)) return false;
    return tree::any_child(expression, [&](nb::handle, nb::handle child) { return mentions(c, child, durations); });
}

bool any_real(const Classes& c, nb::handle expressions, const NameTest& reals, const NameTest& durations,
              Calls calls);

bool real_valued(const Classes& c, nb::handle expression, const NameTest& reals, const NameTest& durations,
                 Calls calls) {
    RecursionLimitGuard guard(" while typing an expression");
    if (is(expression, c.float_literal)) return true;
    if (is(expression, c.identifier)) return name_is(reals, expression);
    if (is(expression, c.cast)) return is_instance(get_attr(expression, interned<"type">()), c.float_type);
    if (is(expression, c.binary_expression)) {
        const int op = binary_of(c, expression);
        if (op < 0) return false;
        nb::object lhs = get_attr(expression, interned<"lhs">());
        nb::object rhs = get_attr(expression, interned<"rhs">());
        if (op == DIV && duration_valued(c, lhs, durations) &&
            duration_valued(c, rhs, durations))
            return true;
        return real_valued(c, lhs, reals, durations, calls) || real_valued(c, rhs, reals, durations, calls);
    }
    if (is(expression, c.unary_expression))
        return is_minus(c, expression) &&
               real_valued(c, get_attr(expression, interned<"expression">()), reals, durations, calls);
    if (calls == Calls::typed && is(expression, c.function_call)) {
        nb::object called = nb::getattr(get_attr(expression, interned<"name">()), interned<"name">(), nb::none());
        if (!PyUnicode_Check(called.ptr())) return false;
        for (const char* real : {"sqrt", "exp", "log", "sin", "cos", "tan", "arccos", "arcsin", "arctan"})
            if (PyUnicode_CompareWithASCIIString(called.ptr(), real) == 0) return true;
        for (const char* mixed : {"mod", "pow"})
            if (PyUnicode_CompareWithASCIIString(called.ptr(), mixed) == 0)
                return any_real(c, get_attr(expression, interned<"arguments">()), reals, durations, calls);
    }
    return false;
}

bool any_real(const Classes& c, nb::handle expressions, const NameTest& reals, const NameTest& durations,
              Calls calls) {
    if (!PyList_Check(expressions.ptr())) return false;
    nb::object items = steal_or_throw(PySequence_List(expressions.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i)
        if (real_valued(c, PyList_GET_ITEM(items.ptr(), i), reals, durations, calls)) return true;
    return false;
}

// The SDK's conversions and its scalar expression class, kept for the life of
// the process once the first conversion has looked them up.
struct Sdk {
    nb::handle scalar_expression;
    nb::handle to_int, to_fixed, to_bool;
};

const Sdk& sdk() {
    static const Sdk* made = nullptr;
    if (made) return *made;
    nb::object cast = import_attr("vk.vyr", "Cast");
    nb::object scalar_expression = import_attr("vk.vyr._expressions", "VyrScalarExpression");
    auto* fresh = new Sdk();  // lives as long as the process
    fresh->scalar_expression = keep(scalar_expression);
    fresh->to_int = keep(nb::getattr(cast, "to_int"));
    fresh->to_fixed = keep(nb::getattr(cast, "to_fixed"));
    fresh->to_bool = keep(nb::getattr(cast, "to_bool"));
    made = fresh;
    return *made;
}

bool scalar_of_dtype(const Sdk& s, nb::handle value, PyTypeObject* dtype) {
    if (!is_instance(value, s.scalar_expression)) return false;
    nb::object actual = get_attr(value, interned<"dtype">());
    int equal = PyObject_RichCompareBool(actual.ptr(), reinterpret_cast<PyObject*>(dtype), Py_EQ);
    check_status(equal);
    return equal != 0;
}

bool scalar_is_fixed(const Sdk& s, nb::handle value) {
    if (!is_instance(value, s.scalar_expression)) return false;
    nb::object method = get_attr(value, interned<"is_fixed">());
    return truth(steal_or_throw(PyObject_CallNoArgs(method.ptr())));
}

nb::object call_cast(nb::handle function, nb::handle value) {
    return steal_or_throw(PyObject_CallOneArg(function.ptr(), value.ptr()));
}

}  // namespace

nb::object converted(nb::handle value, Conversion to) {
    const Sdk& s = sdk();
    // bool is a kind of int, so the two checks cover the three plain kinds.
    const bool plain = PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr());
    switch (to) {
        case Conversion::integer:
            if (plain) return steal_or_throw(PyNumber_Long(value.ptr()));
            if (scalar_of_dtype(s, value, &PyLong_Type)) return nb::borrow(value);
            return call_cast(s.to_int, value);
        case Conversion::real:
            if (plain) return steal_or_throw(PyNumber_Float(value.ptr()));
            if (scalar_is_fixed(s, value)) return nb::borrow(value);
            return call_cast(s.to_fixed, value);
        case Conversion::boolean:
            if (plain) return nb::bool_(truth(value));
            if (scalar_of_dtype(s, value, &PyBool_Type)) return nb::borrow(value);
            return call_cast(s.to_bool, value);
    }
    return nb::borrow(value);
}

bool is_duration_type(nb::handle type) {
    const Classes& c = classes();
    return is_instance(type, c.duration_type) || is_instance(type, c.stretch_type);
}

bool holds_durations(nb::handle type) {
    const Classes& c = classes();
    if (is_instance(type, c.array_type)) return is_duration_type(get_attr(type, interned<"base_type">()));
    return is_duration_type(type);
}

bool is_duration_valued(nb::handle expression, const NameTest& durations) {
    return duration_valued(classes(), expression, durations);
}

bool mentions_duration(nb::handle expression, const NameTest& durations) {
    return mentions(classes(), expression, durations);
}

bool is_real_valued(nb::handle expression, const NameTest& reals, const NameTest& durations, Calls calls) {
    return real_valued(classes(), expression, reals, durations, calls);
}

}  // namespace corvane::native::typing
