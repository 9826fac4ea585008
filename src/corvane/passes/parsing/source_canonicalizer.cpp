// Brings a parsed tree, includes expanded, into the form the later phases
// expect: qubits, arrays, gates, inputs and outputs are declared in the
// program's own scope only, the program's plain variables become outputs when
// it declares no output, and a version below the target is raised to it.
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

struct ModuleState {
    nb::handle io_declaration;
    nb::handle output;  // IOKeyword.output
    nb::handle classical_declaration, constant_declaration, qubit_declaration, gate_definition, array_type;
    nb::handle compound_statement, switch_statement, branching_statement, while_loop, for_in_loop, box;
    nb::handle declaration_placement, redeclaration;
    nb::handle qasm_program;  // openqasm3.ast.Program
    nb::handle open_qasm_program;
    nb::handle io_variables_transformer;
    Logger logger;
} state;

// --- IOVariablesTransformer -------------------------------------------------

// The declaration's annotations go with it, so that the screening refuses
// them as it refuses every other annotation.
nb::object new_output_declaration(nb::handle node) {
    nb::object declaration = nb::handle(state.io_declaration)("io_identifier"_arg = state.output,
                                                              "type"_arg = nb::getattr(node, "type"),
                                                              "identifier"_arg = nb::getattr(node, "identifier"));
    nb::object annotations = find_attr(node, "annotations"_id);
    if (annotations.is_valid() && truth(annotations))
        set_attr(declaration, "annotations"_id, steal_or_throw(PySequence_List(annotations.ptr())));
    return declaration;
}

bool is_exact(nb::handle node, nb::handle cls) {
    return reinterpret_cast<PyObject*>(Py_TYPE(node.ptr())) == cls.ptr();
}

nb::object declared_name(nb::handle declaration) {
    return get_attr(get_attr(declaration, "identifier"_id), "name"_id);
}

// A name that the program's own scope declares twice as a variable is a
// redeclaration, refused as one: made outputs, the two would be taken for
// outputs that share a name, which the program never wrote.
void refuse_variable_declared_again(nb::handle declared, nb::handle declaration) {
    nb::object name = declared_name(declaration);
    int found = PySet_Contains(declared.ptr(), name.ptr());
    check_status(found);
    if (found)
        raise_error(call(state.redeclaration, declaration, name, nb::str("a classical variable"),
                         nb::str("a classical variable")));
    check_status(PySet_Add(declared.ptr(), name.ptr()));
}

// The program's own classical declarations become outputs, each followed by
// the statement of its initialiser. A variable declared in a block ends with
// the block, before the outputs are saved, so it stays a variable of its block.
// A declaration under an input's name stays as it is, to be refused as the
// second declaration of that name that it is.
void declare_outputs(nb::handle self, nb::handle node, nb::handle input_names) {
    nb::object statements = get_attr(node, "statements"_id);
    nb::object items = steal_or_throw(PySequence_List(statements.ptr()));
    nb::object result = steal_or_throw(PyList_New(0));
    nb::object declared = steal_or_throw(PySet_New(nullptr));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        nb::handle item = PyList_GET_ITEM(items.ptr(), i);
        if (!is_exact(item, state.classical_declaration) || contains(input_names, declared_name(item))) {
            check_status(PyList_Append(result.ptr(), item.ptr()));
            continue;
        }
        refuse_variable_declared_again(declared, item);
        nb::object replaced = tree::visit(self, item);
        if (replaced.is_none()) continue;
        if (tree::is_node(replaced)) {
            check_status(PyList_Append(result.ptr(), replaced.ptr()));
            continue;
        }
        nb::object parts = steal_or_throw(PyObject_GetIter(replaced.ptr()));
        while (PyObject* part = PyIter_Next(parts.ptr())) {
            nb::object piece = nb::steal(part);
            check_status(PyList_Append(result.ptr(), piece.ptr()));
        }
        if (PyErr_Occurred()) throw nb::python_error();
    }
    nb::object everything = steal_or_throw(PySlice_New(nullptr, nullptr, nullptr));
    check_status(PyObject_SetItem(statements.ptr(), everything.ptr(), result.ptr()));
}

// A program that declares an output saves its outputs only. One that declares
// none returns its variables, as OpenQASM has it: every classical declaration
// of its own scope becomes an output, and its inputs stay inputs. Inputs and
// outputs stand in the program's own scope only (the step refuses them
// elsewhere before the rule runs), so its statements tell which there are.
nb::object visit_program(nb::handle self, nb::handle node) {
    nb::object input_names = steal_or_throw(PySet_New(nullptr));
    Py_ssize_t outputs = 0, inputs = 0;
    nb::object iterator = steal_or_throw(PyObject_GetIter(get_attr(node, "statements"_id).ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object statement = nb::steal(raw);
        if (!is_exact(statement, state.io_declaration)) continue;
        if (get_attr(statement, "io_identifier"_id).is(state.output)) {
            ++outputs;
            continue;
        }
        ++inputs;
        check_status(PySet_Add(input_names.ptr(), declared_name(statement).ptr()));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    if (outputs > 0) {
        state.logger.debug(compose({nb::str("Encountered existing ("), nb::int_(outputs + inputs),
                                    nb::str(") I/O variables.")}));
        return nb::borrow(node);
    }
    declare_outputs(self, node, input_names);
    if (inputs > 0)
        state.logger.debug(compose({nb::str("Encountered existing ("), nb::int_(inputs),
                                    nb::str(") input variables and no output, modified all other variables.")}));
    else
        state.logger.debug(nb::str("No pre existing I/O variables, modified all variables."));
    return nb::borrow(node);
}

// --- where declarations stand -------------------------------------------------

// OpenQASM declares qubits, arrays, gates, inputs and outputs in the program's
// own scope only. The parser refuses them in the bodies of branches, loops and
// boxes, but takes a braced block or a case body for the scope around it;
// there a qubit would be laid out and a gate defined for the whole program,
// an array or an output would outlive the block that declares it, and in a
// case body the later steps would drop the declaration.
// A gate definition that stands in a case body itself is left to the gate
// expansion, which refuses it in the terms of case bodies.
void refuse_misplaced_in(nb::handle statements, const char* place, bool gates = true);

void refuse_misplaced(nb::handle statement, const char* place, bool gates) {
    const char* kind = nullptr;
    nb::object name;
    if (is_exact(statement, state.qubit_declaration)) {
        kind = "a qubit";
        name = get_attr(get_attr(statement, "qubit"_id), "name"_id);
    } else if (gates && is_exact(statement, state.gate_definition)) {
        kind = "a gate";
        name = get_attr(get_attr(statement, "name"_id), "name"_id);
    } else if (is_exact(statement, state.io_declaration)) {
        kind = get_attr(statement, "io_identifier"_id).is(state.output) ? "an output" : "an input";
        name = get_attr(get_attr(statement, "identifier"_id), "name"_id);
    } else if ((is_exact(statement, state.classical_declaration) ||
                is_exact(statement, state.constant_declaration)) &&
               is_instance(get_attr(statement, "type"_id), state.array_type)) {
        kind = "an array";
        name = get_attr(get_attr(statement, "identifier"_id), "name"_id);
    }
    if (kind)
        raise_error(call(state.declaration_placement, statement, name, nb::str(kind), nb::str(place)));
}

// The blocks that `statement` holds, each of them a scope of its own.
void refuse_misplaced_below(nb::handle statement) {
    RecursionLimitGuard guard(" while reading the blocks of a program");
    if (is_exact(statement, state.compound_statement)) {
        refuse_misplaced_in(get_attr(statement, "statements"_id), "a braced block");
    } else if (is_exact(statement, state.switch_statement)) {
        tree::for_each_case(
            statement,
            [](Py_ssize_t, nb::handle, nb::handle body) {
                refuse_misplaced_in(get_attr(body, "statements"_id), "a switch case body", false);
                return false;
            },
            tree::CaseItems::unpacked);
        nb::object fallback = get_attr(statement, "default"_id);
        if (!fallback.is_none())
            refuse_misplaced_in(get_attr(fallback, "statements"_id), "a switch case body", false);
    } else if (is_exact(statement, state.branching_statement)) {
        refuse_misplaced_in(get_attr(statement, "if_block"_id), "an if body");
        refuse_misplaced_in(get_attr(statement, "else_block"_id), "an else body");
    } else if (is_exact(statement, state.while_loop) || is_exact(statement, state.for_in_loop)) {
        refuse_misplaced_in(get_attr(statement, "block"_id), "a loop body");
    } else if (is_exact(statement, state.box)) {
        refuse_misplaced_in(get_attr(statement, "body"_id), "a box");
    }
}

void refuse_misplaced_in(nb::handle statements, const char* place, bool gates) {
    nb::object iterator = steal_or_throw(PyObject_GetIter(statements.ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object statement = nb::steal(raw);
        refuse_misplaced(statement, place, gates);
        refuse_misplaced_below(statement);
    }
    if (PyErr_Occurred()) throw nb::python_error();
}

void refuse_misplaced_declarations(nb::handle tree) {
    nb::object iterator = steal_or_throw(PyObject_GetIter(get_attr(tree, "statements"_id).ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) refuse_misplaced_below(nb::steal(raw));
    if (PyErr_Occurred()) throw nb::python_error();
}

// --- SourceCanonicalizer ----------------------------------------------------

// The declared version as a tuple of integers; an absent one counts as the target.
nb::object declared_version(nb::handle self, nb::handle version) {
    if (version.is_none()) return nb::getattr(self, "TARGET_VERSION");
    nb::object parts = nb::getattr(version, "split")(".");
    nb::object numbers = steal_or_throw(PyList_New(0));
    // `int(part)`: a text as decimal, anything else by the host's conversion.
    for (nb::handle part : parts)
        check_status(PyList_Append(numbers.ptr(), steal_or_throw(PyNumber_Long(part.ptr())).ptr()));
    return steal_or_throw(PyList_AsTuple(numbers.ptr()));
}

nb::object canonicalizer_call(nb::handle self, nb::handle program) {
    check_assertion(is_instance(program, state.open_qasm_program));
    refuse_misplaced_declarations(nb::getattr(program, "ast"));
    nb::object transformer = nb::handle(state.io_variables_transformer)();
    nb::object tree = tree::visit(transformer, nb::getattr(program, "ast"));
    check_assertion(is_instance(tree, state.qasm_program));

    nb::object version = declared_version(self, nb::getattr(tree, "version"));
    nb::object target = nb::getattr(self, "TARGET_VERSION");
    if (truth(steal_or_throw(PyObject_RichCompare(version.ptr(), target.ptr(), Py_LT))))
        nb::setattr(tree, "version", nb::getattr(self, "target_version_str"));
    return nb::handle(state.open_qasm_program)("ast"_arg = tree);
}

}  // namespace

NB_MODULE(source_canonicalizer, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "corvane.programs", {"Program", "OpenQasmProgram"});
    import_from(m, "corvane.passes.pipeline_phase", {"Step"});
    import_from(m, "corvane.passes.initializer_splitter", {"ClassicalDeclarationInitializerSplitter"});
    import_from(m, "corvane.passes.node_census", {"count_node_types"});
    import_from(m, "openqasm3", {"ast"});
    nb::handle step = keep_attr("corvane.passes.pipeline_phase", "Step");
    state.open_qasm_program = keep_attr("corvane.programs", "OpenQasmProgram");
    nb::handle splitter = keep_attr("corvane.passes.initializer_splitter", "ClassicalDeclarationInitializerSplitter");
    nb::object ast = import_module("openqasm3.ast");
    state.io_declaration = keep(ast.attr("IODeclaration"));
    state.output = keep(ast.attr("IOKeyword").attr("output"));
    state.classical_declaration = keep(ast.attr("ClassicalDeclaration"));
    state.constant_declaration = keep(ast.attr("ConstantDeclaration"));
    state.qubit_declaration = keep(ast.attr("QubitDeclaration"));
    state.gate_definition = keep(ast.attr("QuantumGateDefinition"));
    state.array_type = keep(ast.attr("ArrayType"));
    state.compound_statement = keep(ast.attr("CompoundStatement"));
    state.switch_statement = keep(ast.attr("SwitchStatement"));
    state.branching_statement = keep(ast.attr("BranchingStatement"));
    state.while_loop = keep(ast.attr("WhileLoop"));
    state.for_in_loop = keep(ast.attr("ForInLoop"));
    state.box = keep(ast.attr("Box"));
    state.declaration_placement = keep_attr("corvane.passes.parsing.validators", "DeclarationPlacementException");
    state.redeclaration = keep_attr("corvane.passes.parsing.validators", "RedeclarationException");
    state.qasm_program = keep(ast.attr("Program"));
    state.logger = Logger::create(m, "corvane.passes.parsing.source_canonicalizer");

    state.io_variables_transformer =
        keep(ClassBuilder(m, "IOVariablesTransformer", {splitter})
                 .doc("Makes every classical declaration of the program's own scope an output when the program "
                      "declares no output.")
                 .def_handler("visit_Program(self, node: ast.Program) -> ast.Program", visit_program,
                              "Applies the input/output rule to the program.")
                 .def_static("_get_new_declaration_node(node: ast.ClassicalDeclaration) -> ast.IODeclaration",
                             new_output_declaration, "The output declaration of the variable.", "node"_arg)
                 .build());

    nb::object target_version = nb::make_tuple(3, 0);
    nb::list version_parts;
    for (nb::handle part : target_version) version_parts.append(text_of(part));
    nb::object version_text = nb::str(".").attr("join")(version_parts);
    ClassBuilder(m, "SourceCanonicalizer", {step})
        .doc("Refuses declarations outside the program's own scope that OpenQASM keeps there, applies the "
             "input/output rule and raises a version below the target.")
        .attr("TARGET_VERSION", target_version)
        .attr("target_version_str", version_text)
        .def("__call__(self, program: Program) -> OpenQasmProgram", canonicalizer_call,
             "Canonicalises the program's tree in place.", "program"_arg)
        .build();
}
