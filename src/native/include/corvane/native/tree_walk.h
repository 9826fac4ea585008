// The openqasm3 visitor and transformer walks, run in C++.
//
// The library's dispatch is kept exactly: `visit(node)` calls the visitor's
// attribute "visit_" + the node's exact class name, or `generic_visit` when it
// has none, and passes a context only when it is true. The generic walks go
// over the node's `__dict__` in order, enter lists one level deep and skip
// every other value (tuples included). A transformer rewrites each list in
// place (`old[:] = new`): an absent result drops the item, a node replaces it
// and anything else is spliced in; a single-node field is set anew, or deleted
// for an absent result, which the host reports as a dictionary that changed
// size during iteration.
//
// What is C++: handlers registered with `ClassBuilder::def_handler` and the
// walks installed by `visitor_walk` / `transformer_walk` are called directly,
// without a Python call. Every handler, `visit` and `generic_visit` is looked up
// on the visitor object, as the library's `getattr(self, ...)` does: a handler
// that a Python subclass defines, one set on the instance, one that a
// `__getattr__` or a data descriptor gives, is called through Python. The
// direct calls are taken only where the class alone settles what that lookup
// would find.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>

namespace corvane::native {

namespace nb = nanobind;

// A C++ handler: `visit_<NodeClass>(self, node)`. It returns the node's
// replacement for a transformer (the node itself, another node, a list of
// nodes or None) and anything for a visitor.
using TreeHandler = nb::object (*)(nb::handle self, nb::handle node);

// A C++ `generic_visit(self, node, context)`; `context` is empty unless true.
using TreeWalk = nb::object (*)(nb::handle self, nb::handle node, nb::handle context);

namespace tree {

// `QASMVisitor.visit(self, node, context)`: dispatch by exact class name.
// An empty or false `context` is not passed on.
nb::object visit(nb::handle self, nb::handle node, nb::handle context = nb::handle());

// `self.generic_visit(node, context)`, looked up on the visitor.
nb::object generic_visit(nb::handle self, nb::handle node, nb::handle context = nb::handle());

// `self.visit(node[, context])`, looked up on the visitor: the C++ dispatch
// when that is the shared `visit`, else whatever the visitor has under that
// name. The context is passed only while it is true, as the generic walks do.
nb::object call_visit(nb::handle self, nb::handle node, nb::handle context = nb::handle());

// The bodies of the library's `generic_visit` of QASMVisitor and QASMTransformer.
nb::object visitor_generic_visit(nb::handle self, nb::handle node, nb::handle context = nb::handle());
nb::object transformer_generic_visit(nb::handle self, nb::handle node,
                                     nb::handle context = nb::handle());

// A transformer's rewrite of one list field in place, as its generic walk
// does it: each node item visited, an absent result dropped, a node put in
// its place, anything else spliced in.
void transform_list(nb::handle self, nb::handle values);

// The same rewrite of each index group of an `IndexedIdentifier` (`b[i][j]`):
// the groups are lists inside a list field, which the generic walks do not
// enter. Any other value of `indices` is left as it is.
void transform_index_groups(nb::handle self, nb::handle indexed_identifier);

// `isinstance(value, openqasm3.ast.QASMNode)`.
bool is_node(nb::handle value);

// A scan of the nodes that a node holds, for the steps that read a subtree
// without walking it as a visitor: `visit(field, child)` for each field in
// order, called with the node the field holds, or with each node inside a
// list or tuple it holds, lists and tuples within those included (the index
// groups of an indexed name, the cases of a switch). The scan ends at the
// first call that returns true, and tells whether one did.
bool any_child(nb::handle node, const std::function<bool(nb::handle field, nb::handle child)>& visit);

// The first node within `node`, `node` itself included, in the pre-order of
// the nodes that `any_child` reaches (switch cases among them), for which
// `matches` holds; an empty object when there is none. Every level goes
// through the interpreter's recursion limit, `where` saying which walk it is.
nb::object find_first(nb::handle node, const std::function<bool(nb::handle node)>& matches, const char* where);

// How `for_each_case` reads a switch's `cases`.
enum class CaseItems {
    // Only a list, from a copy taken first, so that a visit may replace the
    // pair at its position; an item that is not a tuple of two is passed over.
    pairs,
    // Any iterable, read as it goes, each item unpacked into two with the
    // host's errors, as `for values, body in cases` does.
    unpacked,
};

// `visit(position, values, body)` for each case of a switch statement, in
// order. The scan ends at the first call that returns true, and tells
// whether one did.
bool for_each_case(nb::handle switch_node,
                   const std::function<bool(Py_ssize_t position, nb::handle values, nb::handle body)>& visit,
                   CaseItems items = CaseItems::pairs);

// Register function objects as the Python faces of C++ handlers and walks.
void register_handler(nb::handle function, TreeHandler handler);
void register_generic_visit(nb::handle function, TreeWalk walk);

// The shared `visit(node, context=None)` function that dispatches in C++.
nb::handle visit_function();

}  // namespace tree
}  // namespace corvane::native
