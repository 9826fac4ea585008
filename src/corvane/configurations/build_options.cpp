// The build options of a compilation: an immutable record given to every phase.
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native::literals;
using namespace corvane::native;

namespace {

nb::handle as_dict;  // dataclasses.asdict

nb::object to_dict(nb::handle self) { return as_dict(self); }

}  // namespace

NB_MODULE(build_options, m) {
    as_dict = keep_attr("dataclasses", "asdict");
    ClassBuilder(m, "BuildOptions")
        .doc("The options of a compilation: include depth, the step patterns and the optimisation level.")
        .field("max_inclusion_depth", "int", nb::int_(100))
        .field("optimizations_to_enforce", "Optional[str]", nb::none())
        .field("optimizations_to_skip", "Optional[str]", nb::none())
        .field("validations_to_skip", "Optional[str]", nb::none())
        .field("optimization_level", "int", nb::int_(0))
        .def("to_dict(self) -> dict[str, typing.Any]", to_dict,
             "The options as a new map from field name to a deep copy of its value.")
        .build_dataclass(/*frozen=*/true);
}
