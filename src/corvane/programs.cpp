// The program forms that flow between the steps of a compilation, and the
// vyr program under construction with its variables database.
#include "corvane/native/context.h"
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native::literals;
using namespace corvane::native;

namespace {

struct ModuleState {
    nb::handle module;
    nb::handle wraps;
    nb::handle variable_signature;
    nb::handle undeclared;
    nb::handle duplicate_output;
    nb::handle duplicate_input;
    nb::handle variables_db;
    nb::handle vyr_arr;
    nb::handle indexing_error;
} state;

// --- TextualProgram, OpenQasmProgram -------------------------------------

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

// --- variables database ---------------------------------------------------

nb::object undeclared_init(nb::handle self, nb::handle name) {
    require_str(name, "name");
    nb::setattr(self, "name", name);
    return nb::none();
}

nb::object undeclared_str(nb::handle self) {
    return compose({nb::str("The variable "), nb::getattr(self, "name"), nb::str(" does not exit.")});
}

nb::object duplicate_output_str(nb::handle self) {
    return compose({nb::str("Two output declarations share the name '"), nb::getattr(self, "name"),
                    nb::str("'; two outputs may not share a result stream.")});
}

nb::object duplicate_input_str(nb::handle self) {
    return compose({nb::str("An input shares the name '"), nb::getattr(self, "name"),
                    nb::str("' with another input or output; inputs and outputs are passed by name, so each "
                            "needs a name of its own.")});
}

nb::object variables_db_missing(nb::handle, nb::handle key) {
    raise_error(state.undeclared(text_of(key)));
}

// --- the scope wrapper ------------------------------------------------------

nb::object call_with(nb::handle target, nb::handle args, nb::handle kwargs) {
    return steal_or_throw(PyObject_Call(target.ptr(), args.ptr(), kwargs.is_valid() ? kwargs.ptr() : nullptr));
}

// Runs `target(self, *args, **kwargs)` in the program's own scope unless a
// scope is open already.
nb::object scoped_call(nb::handle target, nb::handle given_args, nb::handle given_kwargs) {
    nb::object args = nb::borrow(given_args);
    nb::object kwargs = nb::borrow(given_kwargs);
    if (PyTuple_GET_SIZE(args.ptr()) == 0) {
        // `self` given by keyword: pass it on by position, as the wrapper's own parameter would.
        PyObject* self = kwargs.is_valid() ? PyDict_GetItemString(kwargs.ptr(), "self") : nullptr;
        if (!self) {
            raise_text(PyExc_TypeError,
                       compose({nb::getattr(target, "__name__", nb::str("wrapper")),
                                nb::str("() missing 1 required positional argument: 'self'")}));
        }
        args = nb::make_tuple(nb::handle(self));
        kwargs = steal_or_throw(PyDict_Copy(kwargs.ptr()));
        check_status(PyDict_DelItemString(kwargs.ptr(), "self"));
    }
    nb::object is_inside_scope = nb::getattr(state.module, "is_inside_scope");
    if (truth(is_inside_scope())) return call_with(target, args, kwargs);

    nb::object scope = nb::getattr(nb::handle(PyTuple_GET_ITEM(args.ptr(), 0)), "_program");
    check_assertion(!scope.is_none());
    nb::object result;
    bool completed = with_context(scope, [&] { result = call_with(target, args, kwargs); });
    // An exit that swallowed the method's error leaves no result: call it once more, directly.
    if (!completed) return call_with(target, args, kwargs);
    return result;
}

PyObject* scope_wrapper_call(PyObject* target, PyObject* args, PyObject* kwargs) {
    try {
        return scoped_call(target, args, kwargs).release().ptr();
    } catch (nb::python_error& error) {
        error.restore();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    }
    return nullptr;
}

nb::object with_program_scope(nb::handle method) {
    nb::object wrapper = make_method_object(method, scope_wrapper_call);
    return state.wraps(method)(wrapper);
}

// --- Vyr1Program ------------------------------------------------------------

nb::object vyr1_init(nb::handle self, nb::handle vyr_program) {
    nb::setattr(self, "_variables_db", state.variables_db());
    nb::setattr(self, "_outputs", nb::list());
    nb::setattr(self, "_inputs", nb::list());
    nb::setattr(self, "_program", vyr_program);
    return nb::none();
}

nb::object variables_db(nb::handle self) { return nb::getattr(self, "_variables_db"); }
nb::object outputs(nb::handle self) { return nb::getattr(self, "_outputs"); }
nb::object inputs(nb::handle self) { return nb::getattr(self, "_inputs"); }

nb::object dsl_program(nb::handle self) {
    nb::object scope = nb::getattr(self, "_program");
    if (scope.is_none())
        raise_text(PyExc_AttributeError, nb::str("Still within program scope, cannot return the full program"));
    return nb::getattr(scope, "_program");
}

nb::object get_var(nb::handle self, nb::handle item) {
    require_str(item, "item");
    nb::object database = nb::getattr(self, "variables_db");
    nb::object key = state.variable_signature(item);
    return steal_or_throw(PyObject_GetItem(database.ptr(), key.ptr()));
}

nb::object lookup(nb::handle self, nb::handle name) { return nb::getattr(self, "_get_var")(name); }

// An output whose name an earlier output holds would be saved in its place
// (outputs are saved and read back by name), so the second is refused before
// anything is emitted. Every output is recorded in the database under its
// name and nothing leaves it, so a name the database lacks needs no search of
// the output list.
// Inputs are fed, and outputs read back, by name too: an input may share its
// name with no other input or output.
void refuse_shared_stream_name(nb::handle self, nb::handle var, bool is_input, bool is_output) {
    nb::object name = nb::getattr(var, "name");
    nb::object database = nb::getattr(self, "variables_db");
    if (!contains(database, state.variable_signature(name))) return;
    const bool earlier_input = contains(nb::getattr(self, "inputs"), name);
    if (is_input && (earlier_input || contains(nb::getattr(self, "outputs"), name)))
        raise_error(state.duplicate_input(name));
    if (is_output && earlier_input) raise_error(state.duplicate_input(name));
    if (is_output && contains(nb::getattr(self, "outputs"), name)) raise_error(state.duplicate_output(name));
}

nb::object declare_variable(nb::handle self, nb::handle var, nb::handle is_input, nb::handle is_output,
                            nb::handle is_stream) {
    const bool input = truth(is_input), output = truth(is_output);
    if (input || output) refuse_shared_stream_name(self, var, input, output);
    const bool stream = truth(is_stream);
    const bool input_stream = input && stream;
    const bool output_stream = output && stream;
    nb::getattr(var, "declare")(nb::bool_(input_stream), nb::bool_(output_stream));
    nb::object name = nb::getattr(var, "name");
    nb::object database = nb::getattr(self, "variables_db");
    nb::object key = state.variable_signature(name);
    check_status(PyObject_SetItem(database.ptr(), key.ptr(), var.ptr()));
    if (input) append_item(nb::getattr(self, "inputs"), name);
    if (output) append_item(nb::getattr(self, "outputs"), name);
    return name;
}

nb::object assign(nb::handle self, nb::handle target, nb::handle value) {
    require_str(target, "target");
    nb::getattr(lookup(self, target), "assign")(value);
    return nb::none();
}

nb::object assign_at_index(nb::handle self, nb::handle target, nb::handle index, nb::handle value) {
    require_str(target, "target");
    nb::object var = lookup(self, target);
    if (!is_instance(var, state.vyr_arr)) raise_error(state.indexing_error(target));
    nb::getattr(var, "assign_single")(index, value);
    return nb::none();
}

nb::object save_all_outputs(nb::handle self) {
    nb::object names = nb::getattr(self, "outputs");
    for (nb::handle name : names) nb::getattr(lookup(self, name), "save")();
    return nb::none();
}

nb::object get_item(nb::handle self, nb::handle item) {
    require_str(item, "item");
    return nb::getattr(lookup(self, item), "vyr_value_exp");
}

template <typename Func, typename... Extra>
nb::object scoped_method(const char* definition, Func&& f, const Extra&... extra) {
    nb::object method = method_function(definition, std::forward<Func>(f), extra...);
    nb::object wrapper = with_program_scope(method);
    // What a class statement would give the method (nanobind's functions carry no qualified name).
    nb::setattr(wrapper, "__qualname__", compose({nb::str("Vyr1Program."), nb::getattr(method, "__name__")}));
    nb::setattr(wrapper, "__module__", nb::getattr(state.module, "__name__"));
    return wrapper;
}

nb::object subscript(nb::handle generic, nb::handle parameters) {
    return steal_or_throw(PyObject_GetItem(generic.ptr(), parameters.ptr()));
}

}  // namespace

NB_MODULE(programs, m) {
    state.module = keep(nb::borrow(m));

    // The module's imports, under the names it binds them to.
    import_from(m, "abc", {"ABC"});
    import_from(m, "functools", {"wraps"});
    nb::object typing = import_from(m, "typing", {"Optional", "Any", "cast", "Callable", "TypeVar"});
    import_from(m, "dataclasses", {"dataclass"});
    import_from(m, "openqasm3", {"ast as openqasm3_ast"});
    import_from(m, "vk.program", {"Program as VyrProgram"});
    import_from(m, "vk.vyr.type_hints", {"Scalar", "ScalarOfAnyType"});
    import_from(m, "vk.vyr._scope_management.scopes_manager", {"_ProgramScope as VyrProgramScope"});
    nb::object vyr_slot =
        import_from(m, "corvane.vyr_slot", {"VyrSlotBase", "VyrArr", "AllExps", "IndexingVariableException"});
    import_from(m, "corvane.passes.utils", {"is_inside_scope"});
    nb::handle abc = keep(nb::getattr(m, "ABC"));
    state.wraps = keep(nb::getattr(m, "wraps"));
    nb::handle slot_base = keep(nb::getattr(vyr_slot, "VyrSlotBase"));
    state.vyr_arr = keep(nb::getattr(vyr_slot, "VyrArr"));
    state.indexing_error = keep(nb::getattr(vyr_slot, "IndexingVariableException"));

    nb::handle program = keep(ClassBuilder(m, "Program", {abc})
                                  .doc("The base of the forms that a compilation's program takes between steps.")
                                  .build());
    ClassBuilder(m, "TextualProgram", {program})
        .doc("The program as OpenQASM 3 source text.")
        .def("__init__(self, source_code: str) -> None", textual_init, "Holds the source text.", "source_code"_arg)
        .def_property("source_code(self) -> str", textual_source_code, "The source text.")
        .build();
    ClassBuilder(m, "OpenQasmProgram", {program})
        .doc("The program as an OpenQASM 3 syntax tree.")
        .def("__init__(self, ast: openqasm3_ast.Program) -> None", open_qasm_init,
             "Holds the root node of the tree, without copying it.", "ast"_arg)
        .def_property("ast(self) -> openqasm3_ast.Program", open_qasm_ast, "The root node of the tree.")
        .build();

    // A type variable for callables of any signature: the wrapper has the type it was given.
    nb::object any = nb::getattr(typing, "Any");
    nb::object callable = subscript(nb::getattr(typing, "Callable"), nb::make_tuple(nb::ellipsis(), any));
    nb::setattr(m, "F", nb::getattr(typing, "TypeVar")("F", "bound"_arg = callable));

    state.variable_signature =
        keep(ClassBuilder(m, "VariableSignature")
                 .doc("The key of a declared variable in the variables database: its name.")
                 .field("name", "str")
                 .build_dataclass(/*frozen=*/true));

    nb::handle exception(PyExc_Exception);
    state.undeclared = keep(ClassBuilder(m, "UndeclaredVariableReferenceException", {exception})
                                .doc("A variable that was never declared.")
                                .def("__init__(self, name: str) -> None", undeclared_init,
                                     "Holds the variable's name.", "name"_arg)
                                .def("__str__(self) -> str", undeclared_str, "The error's text.")
                                .build());
    state.duplicate_output = keep(ClassBuilder(m, "DuplicateOutputException", {exception})
                                      .doc("A second output variable of a name already declared as an output.")
                                      .def("__init__(self, name: str) -> None", undeclared_init,
                                           "Holds the variable's name.", "name"_arg)
                                      .def("__str__(self) -> str", duplicate_output_str, "The error's text.")
                                      .build());
    state.duplicate_input = keep(ClassBuilder(m, "DuplicateInputException", {exception})
                                     .doc("An input variable of a name already declared as an input or output, "
                                          "or an output of an input's name.")
                                     .def("__init__(self, name: str) -> None", undeclared_init,
                                          "Holds the variable's name.", "name"_arg)
                                     .def("__str__(self) -> str", duplicate_input_str, "The error's text.")
                                     .build());

    nb::handle dict_type(reinterpret_cast<PyObject*>(&PyDict_Type));
    nb::object slot_of_any = subscript(slot_base, nb::make_tuple(any, any));
    state.variables_db = keep(
        ClassBuilder(m, "VariablesDB", {subscript(dict_type, nb::make_tuple(state.variable_signature, slot_of_any))})
            .doc("The variables of a vyr program: each declared variable's wrapper by its signature.")
            .def("__missing__(self, key: VariableSignature) -> typing.NoReturn", variables_db_missing,
                 "Refuses a variable that was never declared.", "key"_arg)
            .build());

    def_function(m, "with_program_scope(method: F) -> F", with_program_scope,
                 "Wraps an operation so that it runs in the program's own scope when none is open.",
                 "method"_arg);

    ClassBuilder(m, "Vyr1Program", {program})
        .doc("The vyr program under construction, with its variables and its input and output names.")
        .def("__init__(self, vyr_program: VyrProgramScope | None = None) -> None", vyr1_init,
             "Starts a program around a vk program scope, or none when the caller holds one open.",
             "vyr_program"_arg = nb::none())
        .def_property("variables_db(self) -> VariablesDB", variables_db, "The program's variables.")
        .def_property("dsl_program(self) -> VyrProgram", dsl_program, "The finished vk program.")
        .def_property("outputs(self) -> list[str]", outputs, "The names of the output variables, in order.")
        .def_property("inputs(self) -> list[str]", inputs, "The names of the input variables, in order.")
        .attr("declare_variable",
              scoped_method("declare_variable(self, var: VyrSlotBase[typing.Any, typing.Any], is_input: bool,"
                            " is_output: bool, is_stream: bool) -> str",
                            declare_variable, "Declares a variable through its wrapper and records it.", "var"_arg,
                            "is_input"_arg, "is_output"_arg, "is_stream"_arg))
        .attr("assign", scoped_method("assign(self, target: str, value: ScalarOfAnyType) -> None", assign,
                                      "Assigns a value to a declared variable.", "target"_arg, "value"_arg))
        .attr("assign_at_index",
              scoped_method("assign_at_index(self, target: str, index: Scalar[int], value: ScalarOfAnyType) -> None",
                            assign_at_index, "Assigns a value to one cell of a declared array.", "target"_arg,
                            "index"_arg, "value"_arg))
        .attr("save_all_outputs", scoped_method("save_all_outputs(self) -> None", save_all_outputs,
                                                "Saves every output variable into its result stream."))
        .def("__getitem__(self, item: str) -> AllExps", get_item, "The vk variable of a declared variable.",
             "item"_arg)
        .def("_get_var(self, item: str) -> VyrSlotBase[typing.Any, typing.Any]", get_var,
             "The wrapper of a declared variable.", "item"_arg)
        .build();
}
