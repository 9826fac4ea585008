// Include expansion: every include statement of a program's top-level
// statement list is replaced by the statements of the file it names.
#include "corvane/native/source_text.h"
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

struct ModuleState {
    nb::handle path_exists;  // os.path.exists
    nb::handle open;         // builtins.open
    nb::handle parse;        // openqasm3.parser.parse
    nb::handle include;      // openqasm3.ast.Include
    nb::handle tree_root;    // openqasm3.ast.Program
    nb::handle step;
    nb::handle open_qasm_program;
    nb::handle include_expander;
    nb::handle deep_inclusion_error;
    nb::handle version_exception;
} state;

// --- errors ---------------------------------------------------------------

nb::object deep_inclusion_init(nb::handle self, nb::handle inclusion_files) {
    require_list(inclusion_files, "inclusion_files");
    nb::setattr(self, "inclusion_files", inclusion_files);
    return nb::none();
}

nb::object deep_inclusion_str(nb::handle self) {
    nb::object files = nb::getattr(self, "inclusion_files");
    nb::object separator = nb::str("\n - ");
    nb::object joined = steal_or_throw(PyUnicode_Join(separator.ptr(), files.ptr()));
    return compose({nb::str("Max inclusion depth reached, included files:\n - "), joined});
}

nb::object version_exception_init(nb::handle self, nb::handle filename) {
    require_str(filename, "filename");
    nb::setattr(self, "filename", filename);
    return nb::none();
}

nb::object version_exception_str(nb::handle self) {
    return compose({nb::str("The included file "), nb::getattr(self, "filename"),
                    nb::str(" declares a version, which is prohibited.")});
}

// --- reading files ----------------------------------------------------------

// The name is used as written: a relative one is resolved against the current
// working directory, whichever file included it.
nb::object parse_oq3_source_filename(nb::handle filename) {
    require_str(filename, "filename");
    if (!truth(nb::handle(state.path_exists)(filename)))
        raise_error(nb::handle(PyExc_FileNotFoundError)(
            compose({nb::str("File "), filename, nb::str(" not found")})));

    nb::object file = nb::handle(state.open)(filename, "r");
    nb::object tree;
    try {
        tree = parse_source(state.parse, state.tree_root, file.attr("read")());
    } catch (nb::python_error& error) {
        HandlingError handling(error.value());
        file.attr("close")();
        throw;
    }
    file.attr("close")();
    return tree;
}

nb::object get_sub_program(nb::handle filename) {
    require_str(filename, "filename");
    nb::object tree = parse_oq3_source_filename(filename);
    if (!nb::getattr(tree, "version").is_none())
        raise_error(nb::handle(state.version_exception)(filename));
    return tree;
}

// --- the step ---------------------------------------------------------------

// An include's annotations go to the first statement it brings in, before
// that statement's own, so that the screening refuses them as it refuses
// every annotation; an include that brings in nothing has nowhere to put
// them, and they are refused here, with the screening's error.
void carry_annotations(nb::handle include, nb::handle included) {
    nb::object annotations = find_attr(include, "annotations"_id);
    if (!annotations.is_valid() || !truth(annotations)) return;
    annotations = steal_or_throw(PySequence_List(annotations.ptr()));
    if (PyList_GET_SIZE(included.ptr()) == 0) {
        nb::object refusal = import_attr("corvane.passes.construct_screening", "DisallowedNodeTypeException");
        raise_error(refusal(nb::handle(PyList_GET_ITEM(annotations.ptr(), 0))));
    }
    nb::handle first = PyList_GET_ITEM(included.ptr(), 0);
    nb::object own = find_attr(first, "annotations"_id);
    if (own.is_valid()) check_status(PyList_SetSlice(annotations.ptr(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX,
                                                     steal_or_throw(PySequence_List(own.ptr())).ptr()));
    set_attr(first, "annotations"_id, annotations);
}

nb::object expander_init(nb::handle self, nb::handle max_depth) {
    nb::object depth = int_argument(max_depth, "max_depth");
    nb::handle super_type(reinterpret_cast<PyObject*>(&PySuper_Type));
    super_type(state.include_expander, self).attr("__init__")();
    nb::setattr(self, "max_depth", depth);
    return nb::none();
}

nb::object parse_inclusions(nb::handle self, nb::handle program, nb::handle included_files) {
    require_list(included_files, "included_files");
    nb::object depth = nb::int_(PyList_GET_SIZE(included_files.ptr()));
    nb::object max_depth = nb::getattr(self, "max_depth");
    if (truth(steal_or_throw(PyObject_RichCompare(depth.ptr(), max_depth.ptr(), Py_GT))))
        raise_error(nb::handle(state.deep_inclusion_error)(included_files));

    // The tree changes only once every include of this level is expanded, so a
    // failure anywhere below leaves it as it was.
    nb::list statements;
    for (nb::handle statement : nb::getattr(program, "statements")) {
        if (!is_instance(statement, state.include)) {
            statements.append(statement);
            continue;
        }
        nb::object filename = nb::getattr(statement, "filename");
        nb::object sub_program = nb::getattr(self, "get_sub_program")(filename);
        nb::object chain = steal_or_throw(PySequence_List(included_files.ptr()));
        check_status(PyList_Append(chain.ptr(), filename.ptr()));
        nb::object expanded = nb::getattr(self, "_parse_inclusions")(sub_program, chain);
        nb::object included = steal_or_throw(PySequence_List(nb::getattr(expanded, "statements").ptr()));
        carry_annotations(statement, included);
        for (nb::handle item : included) statements.append(item);
    }
    nb::setattr(program, "statements", statements);
    return nb::borrow(program);
}

nb::object expander_call(nb::handle self, nb::handle program) {
    check_assertion(is_instance(program, state.open_qasm_program));
    nb::object root = nb::getattr(self, "_parse_inclusions")(nb::getattr(program, "ast"), nb::list());
    return nb::handle(state.open_qasm_program)(root);
}

}  // namespace

NB_MODULE(include_expander, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "openqasm3", {"ast", "parser"});
    import_from(m, "corvane.passes.pipeline_phase", {"Step"});
    import_from(m, "corvane.passes.parsing.exceptions", {"ParsingException"});
    import_from(m, "corvane.programs", {"Program", "OpenQasmProgram"});
    state.path_exists = keep_attr("os.path", "exists");
    state.open = keep_attr("builtins", "open");
    state.parse = keep_attr("openqasm3.parser", "parse");
    state.include = keep_attr("openqasm3.ast", "Include");
    state.tree_root = keep_attr("openqasm3.ast", "Program");
    state.step = keep_attr("corvane.passes.pipeline_phase", "Step");
    nb::handle parsing_exception = keep_attr("corvane.passes.parsing.exceptions", "ParsingException");
    state.open_qasm_program = keep_attr("corvane.programs", "OpenQasmProgram");

    def_function(m, "parse_oq3_source_filename(filename: str) -> ast.Program", parse_oq3_source_filename,
                 "Reads a file whole and parses it as OpenQASM 3.", "filename"_arg);

    state.deep_inclusion_error = keep(ClassBuilder(m, "DeepInclusionError", {parsing_exception})
                                          .doc("Include files nested deeper than the phase allows.")
                                          .def("__init__(self, inclusion_files: list[str]) -> None",
                                               deep_inclusion_init, "Holds the chain of included files.",
                                               "inclusion_files"_arg)
                                          .def("__str__(self) -> str", deep_inclusion_str, "The error's text.")
                                          .build());
    state.version_exception = keep(ClassBuilder(m, "IncludeFileDeclaresVersionException", {parsing_exception})
                                       .doc("An included file with a version statement of its own.")
                                       .def("__init__(self, filename: str) -> None", version_exception_init,
                                            "Holds the name of the file.", "filename"_arg)
                                       .def("__str__(self) -> str", version_exception_str, "The error's text.")
                                       .build());

    state.include_expander = keep(ClassBuilder(m, "IncludeExpander", {state.step})
                                      .doc("Replaces include statements by the statements of the files they name.")
                                      .field("max_depth", "int")
                                      .def("__init__(self, max_depth: int) -> None", expander_init,
                                           "Expands include files nested up to max_depth deep.", "max_depth"_arg)
                                      .def("__call__(self, program: Program) -> OpenQasmProgram", expander_call,
                                           "Expands the includes of the program's tree.", "program"_arg)
                                      .def("_parse_inclusions(self, program: ast.Program, included_files: list[str])"
                                           " -> ast.Program",
                                           parse_inclusions, "Expands the includes of one program node.",
                                           "program"_arg, "included_files"_arg)
                                      .def_static("get_sub_program(filename: str) -> ast.Program", get_sub_program,
                                                  "The parsed program of an included file.", "filename"_arg)
                                      .build());
}
