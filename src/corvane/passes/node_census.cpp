// The number of syntax-tree nodes per exact node class.
#include <unordered_map>
#include <utility>
#include <vector>

#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

struct ModuleState {
    nb::handle counter_class;  // collections.Counter
    nb::handle node_census;
} state;

// The counts of one census that `count_node_types` runs, kept in C++ while it
// walks and written into its `counter` at the end, in the order in which the
// classes were first met, as the counter itself would have received them.
// Nothing can read that census's counter meanwhile: the census is made here
// and given to no one until the walk is over.
struct Tally {
    PyObject* census;
    std::unordered_map<PyTypeObject*, std::size_t> index;
    std::vector<std::pair<PyTypeObject*, Py_ssize_t>> counts;

    void count(PyTypeObject* node_class) {
        auto [slot, added] = index.try_emplace(node_class, counts.size());
        if (added) counts.emplace_back(node_class, 0);
        ++counts[slot->second].second;
    }
};

Tally* current_tally = nullptr;  // the census of the innermost `count_node_types` run

nb::object census_init(nb::handle self) {
    set_attr(self, "counter"_id, nb::handle(state.counter_class)());
    return nb::none();
}

// Counts the node under its exact class, then walks on without the context.
nb::object census_generic_visit(nb::handle self, nb::handle node, nb::handle) {
    if (current_tally && current_tally->census == self.ptr()) {
        current_tally->count(Py_TYPE(node.ptr()));
    } else {
        nb::object counter = get_attr(self, "counter"_id);
        nb::handle node_class = node.type();
        nb::object count = counter[node_class];
        counter[node_class] = count + nb::int_(1);
    }
    tree::visitor_generic_visit(self, node);
    return nb::none();
}

nb::object count_node_types(nb::handle node) {
    nb::object census = nb::handle(state.node_census)();
    Tally tally{census.ptr(), {}, {}};
    Tally* outer = current_tally;
    current_tally = &tally;
    try {
        tree::visit(census, node);
    } catch (...) {
        current_tally = outer;
        throw;
    }
    current_tally = outer;

    nb::object counter = get_attr(census, "counter"_id);
    for (auto [node_class, count] : tally.counts) {
        nb::handle key(reinterpret_cast<PyObject*>(node_class));
        counter[key] = counter[key] + nb::int_(count);
    }
    return counter;
}

}  // namespace

NB_MODULE(node_census, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "openqasm3", {"ast"});
    import_from(m, "openqasm3.visitor", {"QASMVisitor"});
    state.counter_class = keep_attr("collections", "Counter");
    nb::object visitor = import_attr("openqasm3.visitor", "QASMVisitor")[nb::none()];
    state.node_census =
        keep(ClassBuilder(m, "NodeCensus", {visitor})
                 .doc("Counts the nodes that the generic walk reaches, per exact node class.")
                 .field("counter", "Counter[type]")
                 .def("__init__(self) -> None", census_init, "Starts with every count at zero.")
                 .visitor_walk()
                 .def_generic_visit(census_generic_visit,
                                    "generic_visit(self, node: ast.QASMNode, context: typing.Any = None) -> None",
                                    "Counts the node and walks its children.")
                 .build());
    def_function(m, "count_node_types(node: ast.QASMNode) -> collections.Counter[type]", count_node_types,
                 "The number of nodes of each exact class in the tree under the node.", "node"_arg);
}
