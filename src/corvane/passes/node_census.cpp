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
    Tally* outer = nullptr;  // the next older count running on this thread
    std::unordered_map<PyTypeObject*, std::size_t> index;
    // Each class is held, so that its address stays its own until the counts are written.
    std::vector<std::pair<nb::object, Py_ssize_t>> counts;

    explicit Tally(PyObject* census) : census(census) {}

    void count(PyTypeObject* node_class) {
        auto [slot, added] = index.try_emplace(node_class, counts.size());
        if (added) counts.emplace_back(nb::borrow(reinterpret_cast<PyObject*>(node_class)), 0);
        ++counts[slot->second].second;
    }
};

// The tallies of the counts running on this thread, newest first. The walk
// runs Python code, so other threads may count meanwhile; each finds only its
// own, and a census walked where no count of its own runs counts into its
// counter.
thread_local Tally* running_tallies = nullptr;

Tally* tally_of(PyObject* census) {
    for (Tally* tally = running_tallies; tally; tally = tally->outer)
        if (tally->census == census) return tally;
    return nullptr;
}

// Keeps a tally among the running ones while it lives. It is taken out from
// wherever it stands, should counts not end in the order they began.
class RunningTally {
public:
    explicit RunningTally(Tally& tally) : tally_(tally) {
        tally.outer = running_tallies;
        running_tallies = &tally;
    }
    ~RunningTally() {
        for (Tally** link = &running_tallies; *link; link = &(*link)->outer) {
            if (*link == &tally_) {
                *link = tally_.outer;
                break;
            }
        }
    }
    RunningTally(const RunningTally&) = delete;
    RunningTally& operator=(const RunningTally&) = delete;

private:
    Tally& tally_;
};

nb::object census_init(nb::handle self) {
    set_attr(self, "counter"_id, nb::handle(state.counter_class)());
    return nb::none();
}

// Counts the node under its exact class, then walks on without the context.
nb::object census_generic_visit(nb::handle self, nb::handle node, nb::handle) {
    if (Tally* tally = tally_of(self.ptr())) {
        tally->count(Py_TYPE(node.ptr()));
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
    Tally tally(census.ptr());
    {
        RunningTally running(tally);
        tree::visit(census, node);
    }

    nb::object counter = get_attr(census, "counter"_id);
    for (const auto& [node_class, count] : tally.counts) counter[node_class] = counter[node_class] + nb::int_(count);
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
