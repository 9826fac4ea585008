// The number of syntax-tree nodes per exact node class.
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

struct ModuleState {
    nb::handle counter_class;  // collections.Counter
    nb::handle node_census;
} state;

nb::object census_init(nb::handle self) {
    nb::setattr(self, "counter", nb::handle(state.counter_class)());
    return nb::none();
}

// Counts the node under its exact class, then walks on without the context.
nb::object census_generic_visit(nb::handle self, nb::handle node, nb::handle) {
    nb::object counter = nb::getattr(self, "counter");
    nb::handle node_class = node.type();
    nb::object count = counter[node_class];
    counter[node_class] = count + nb::int_(1);
    tree::visitor_generic_visit(self, node);
    return nb::none();
}

nb::object count_node_types(nb::handle node) {
    nb::object census = nb::handle(state.node_census)();
    tree::visit(census, node);
    return nb::getattr(census, "counter");
}

}  // namespace

NB_MODULE(node_census, m) {
    state.counter_class = keep_attr("collections", "Counter");
    nb::object visitor = import_attr("openqasm3.visitor", "QASMVisitor")[nb::none()];
    state.node_census = keep(ClassBuilder(m, "NodeCensus", {visitor})
                                 .def("__init__", census_init)
                                 .visitor_walk()
                                 .def_generic_visit(census_generic_visit)
                                 .build());
    def_function(m, "count_node_types", count_node_types, "node"_arg);
}
