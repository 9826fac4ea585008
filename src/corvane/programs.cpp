// The program forms that flow between the steps of a compilation.
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native::literals;
using namespace corvane::native;

namespace {

nb::object textual_init(nb::handle self, nb::handle source_code) {
    require_str(source_code, "source_code");
    nb::setattr(self, "_source_code", source_code);
    return nb::none();
}

nb::object textual_source_code(nb::handle self) { return nb::getattr(self, "_source_code"); }

nb::object open_qasm_init(nb::handle self, nb::handle ast) {
    nb::setattr(self, "_ast", ast);
    return nb::none();
}

nb::object open_qasm_ast(nb::handle self) { return nb::getattr(self, "_ast"); }

}  // namespace

NB_MODULE(programs, m) {
    nb::handle abc = keep_attr("abc", "ABC");
    nb::handle program = keep(ClassBuilder(m, "Program", {abc}).build());
    ClassBuilder(m, "TextualProgram", {program})
        .def("__init__", textual_init, "source_code"_arg)
        .def_property("source_code", textual_source_code)
        .build();
    ClassBuilder(m, "OpenQasmProgram", {program})
        .def("__init__", open_qasm_init, "ast"_arg)
        .def_property("ast", open_qasm_ast)
        .build();
}
