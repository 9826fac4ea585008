// The first step of the parsing phase: source text in, syntax tree out.
#include "corvane/native/source_text.h"
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

struct ModuleState {
    nb::handle parse;  // openqasm3.parser.parse
    nb::handle tree_root;  // openqasm3.ast.Program
    nb::handle textual_program;
    nb::handle open_qasm_program;
    nb::handle grammar_parser_exception;
} state;

nb::object reader_call(nb::handle, nb::handle program) {
    try {
        check_assertion(is_instance(program, state.textual_program));
        nb::object tree = parse_source(state.parse, state.tree_root, nb::getattr(program, "source_code"));
        return nb::handle(state.open_qasm_program)(tree);
    } catch (nb::python_error& error) {
        if (!is_ordinary(error)) throw;
        // Whatever went wrong while reading, the caller sees one parsing error
        // that keeps the real failure as its cause.
        HandlingError handling(error.value());
        raise_from(nb::handle(state.grammar_parser_exception)(), error.value());
    }
}

}  // namespace

NB_MODULE(syntax_tree_reader, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "openqasm3", {"parser"});
    import_from(m, "corvane.passes.pipeline_phase", {"Step"});
    import_from(m, "corvane.passes.parsing.exceptions", {"ParsingException"});
    import_from(m, "corvane.programs", {"Program", "OpenQasmProgram", "TextualProgram"});
    state.parse = keep_attr("openqasm3.parser", "parse");
    state.tree_root = keep_attr("openqasm3.ast", "Program");
    nb::handle step = keep_attr("corvane.passes.pipeline_phase", "Step");
    nb::handle parsing_exception = keep_attr("corvane.passes.parsing.exceptions", "ParsingException");
    state.textual_program = keep_attr("corvane.programs", "TextualProgram");
    state.open_qasm_program = keep_attr("corvane.programs", "OpenQasmProgram");

    state.grammar_parser_exception = keep(ClassBuilder(m, "GrammarParserException", {parsing_exception})
                                              .doc("The source text could not be read as OpenQASM 3.")
                                              .build());
    ClassBuilder(m, "SyntaxTreeReader", {step})
        .doc("Parses the source text of a TextualProgram into an OpenQasmProgram.")
        .def("__call__(self, program: Program) -> OpenQasmProgram", reader_call,
             "Parses the program's source text.", "program"_arg)
        .build();
}
