// A readable, indented text of a syntax tree, a node or a list of nodes.
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

struct ModuleState {
    nb::handle module;
    nb::handle qasm_node;
    nb::handle identifier;
    nb::handle boolean_literal;
    nb::handle integer_literal;
    nb::handle float_literal;
    nb::handle print;  // builtins.print
    nb::handle empty;
    nb::handle tab;
    nb::handle line_end;
    nb::handle comma;
    nb::handle quote;
    nb::handle equals;
    nb::handle open_node;
    nb::handle open_list;
    nb::handle close_list;
    nb::handle close_node;
    nb::handle span;
    nb::handle one;
    nb::handle format_node_name;
    nb::handle can_fit_one_line_name;
} state;

// The host's `format(value, "")`.
nb::object text_form(nb::handle value) {
    return steal_or_throw(PyObject_Format(value.ptr(), state.empty.ptr()));
}

nb::object tabs(nb::handle depth) { return steal_or_throw(PyNumber_Multiply(state.tab.ptr(), depth.ptr())); }

nb::object plus_one(nb::handle depth) { return steal_or_throw(PyNumber_Add(depth.ptr(), state.one.ptr())); }

void append(nb::handle pieces, nb::handle piece) { check_status(PyList_Append(pieces.ptr(), piece.ptr())); }

nb::object joined(nb::handle separator, nb::handle pieces) {
    return steal_or_throw(PyUnicode_Join(separator.ptr(), pieces.ptr()));
}

// Nested values go through the module's own functions, as a module-level
// call by name would, so a replaced `format_node` is the one used.
nb::object module_function(nb::handle name) {
    return steal_or_throw(PyObject_GetAttr(state.module.ptr(), name.ptr()));
}

nb::object can_fit_one_line(nb::handle stringified_nodes, nb::handle max_characters_in_one_line) {
    require_list(stringified_nodes, "stringified_nodes");
    nb::object limit = int_argument(max_characters_in_one_line, "max_characters_in_one_line");
    // The sum is kept in a machine integer while it fits and goes on as a host
    // integer beyond, as the host's `sum` does.
    Py_ssize_t total = 0;
    nb::object sum;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(stringified_nodes.ptr()); ++i) {
        nb::object item = nb::borrow(PyList_GET_ITEM(stringified_nodes.ptr(), i));
        Py_ssize_t length = PyObject_Length(item.ptr());
        if (length < 0) throw nb::python_error();
        Py_ssize_t next;
        if (!sum.is_valid() && !__builtin_add_overflow(total, length, &next)) {
            total = next;
            continue;
        }
        if (!sum.is_valid()) sum = steal_or_throw(PyLong_FromSsize_t(total));
        nb::object addend = steal_or_throw(PyLong_FromSsize_t(length));
        sum = steal_or_throw(PyNumber_Add(sum.ptr(), addend.ptr()));
    }
    if (!sum.is_valid()) sum = steal_or_throw(PyLong_FromSsize_t(total));
    return steal_or_throw(PyObject_RichCompare(sum.ptr(), limit.ptr(), Py_LE));
}

nb::object format_list(nb::handle node, nb::handle depth) {
    nb::object format_node = module_function(state.format_node_name);
    nb::object inner = plus_one(depth);
    nb::object items = steal_or_throw(PyList_New(0));
    nb::object values = steal_or_throw(PySequence_List(node.ptr()));
    for (nb::handle item : values) append(items, format_node(item, inner));

    nb::object pieces = steal_or_throw(PyList_New(0));
    append(pieces, state.open_list);
    if (truth(module_function(state.can_fit_one_line_name)(items))) {
        append(pieces, joined(state.comma, items));
    } else {
        nb::object indent = tabs(inner);
        for (nb::handle item : items) {
            append(pieces, state.line_end);
            append(pieces, indent);
            append(pieces, item);
        }
        append(pieces, state.line_end);
        append(pieces, tabs(depth));
    }
    append(pieces, state.close_list);
    return joined(state.empty, pieces);
}

nb::object format_general_node(nb::handle node, nb::handle depth) {
    nb::object format_node = module_function(state.format_node_name);
    nb::object inner = plus_one(depth);
    nb::object indent = tabs(inner);
    nb::object pieces = steal_or_throw(PyList_New(0));
    append(pieces, class_name(node.type()));
    append(pieces, state.open_node);
    nb::object fields = steal_or_throw(PyObject_GenericGetDict(node.ptr(), nullptr));
    // A snapshot of the items: formatting a value runs arbitrary code.
    nb::object items = steal_or_throw(PyDict_Items(fields.ptr()));
    for (nb::handle item : items) {
        nb::handle key(PyTuple_GET_ITEM(item.ptr(), 0));
        if (PyUnicode_Check(key.ptr()) && PyUnicode_Compare(key.ptr(), state.span.ptr()) == 0) continue;
        append(pieces, indent);
        append(pieces, text_form(key));
        append(pieces, state.equals);
        append(pieces, format_node(nb::handle(PyTuple_GET_ITEM(item.ptr(), 1)), inner));
        append(pieces, state.line_end);
    }
    append(pieces, tabs(depth));
    append(pieces, state.close_node);
    return joined(state.empty, pieces);
}

nb::object format_node(nb::handle node, nb::handle depth_argument) {
    nb::object depth = int_argument(depth_argument, "depth");
    if (PyList_Check(node.ptr())) return format_list(node, depth);
    if (!is_instance(node, state.qasm_node)) return text_form(node);
    if (is_instance(node, state.identifier))
        return compose({state.quote, text_form(nb::getattr(node, "name")), state.quote});
    if (is_instance(node, state.boolean_literal) || is_instance(node, state.integer_literal) ||
        is_instance(node, state.float_literal))
        return text_form(nb::getattr(node, "value"));
    return format_general_node(node, depth);
}

nb::object print_node(nb::handle node) {
    nb::object text = module_function(state.format_node_name)(node);
    nb::handle(state.print)(text);
    return nb::none();
}

}  // namespace

NB_MODULE(printer, m) {
    state.module = keep(nb::borrow(m));
    // The names the module imports, bound as its attributes.
    import_from(m, "openqasm3", {"ast"});
    nb::object ast = import_module("openqasm3.ast");
    state.qasm_node = keep(ast.attr("QASMNode"));
    state.identifier = keep(ast.attr("Identifier"));
    state.boolean_literal = keep(ast.attr("BooleanLiteral"));
    state.integer_literal = keep(ast.attr("IntegerLiteral"));
    state.float_literal = keep(ast.attr("FloatLiteral"));
    state.print = keep_attr("builtins", "print");
    state.empty = intern("");
    state.tab = intern("\t");
    state.line_end = intern("\n");
    state.comma = intern(", ");
    state.quote = intern("\"");
    state.equals = intern("=");
    state.open_node = intern("(\n");
    state.open_list = intern("[");
    state.close_list = intern("]");
    state.close_node = intern(")");
    state.span = intern("span");
    state.one = keep(nb::int_(1));
    state.format_node_name = intern("format_node");
    state.can_fit_one_line_name = intern("can_fit_one_line");

    def_function(m, "can_fit_one_line(stringified_nodes: list[str], max_characters_in_one_line: int = 20) -> bool",
                 can_fit_one_line, "Whether the texts fit on one line together.", "stringified_nodes"_arg,
                 "max_characters_in_one_line"_arg = nb::int_(20));
    def_function(m, "format_node(node: object, depth: int = 0) -> str", format_node,
                 "A syntax tree, node or list of nodes as indented text.", "node"_arg, "depth"_arg = nb::int_(0));
    def_function(m, "print_node(node: object) -> None", print_node,
                 "Prints a syntax tree, node or list of nodes as indented text.", "node"_arg);
}
