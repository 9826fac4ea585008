// The lowering step: walks the prepared syntax tree inside a vk program scope
// and emits every statement through the vk SDK. Operations become calls of the
// machine profile's implementations between alignments of the elements they
// involve; declarations, assignments and control flow become their vyr forms.
//
// This is the hot path of a compilation (one handler call per statement), so
// the handlers call one another in C++ and reach Python only for the profile's
// resolution, the implementations, the translation of expressions, the SDK and
// the Vyr1Program's operations.
//
// Switch case bodies reach the lowering as the parser built them, so the
// checks that the register mapping makes of operations elsewhere are made
// here as well, in the terms of the qubits the case body names.
#include <cmath>
#include <vector>

#include "corvane/native/source_text.h"
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

struct ModuleState {
    nb::handle open_qasm_program;
    nb::handle vyr1_program;
    nb::handle vyr_declaration;
    nb::handle hardware_qubit;
    nb::handle translate_expression;
    nb::handle scalar_value;
    nb::handle logical_not;
    nb::handle extract_single_index;
    nb::handle is_inside_scope;
    nb::handle is_qasm_literal;
    nb::handle step_init;
    nb::handle visitor_class;
    nb::handle missing_input_exception;
    nb::handle shape_mismatch_exception;
    nb::handle type_mismatch_exception;
    nb::handle negative_duration_exception, switch_case_exception, redeclaration_exception, repeated_qubit_exception;
    nb::handle translate_typed, is_duration, to_int, duration_type_error, out_of_range, invalid_operand;
    nb::handle vyr_duration_slot, vyr_duration_arr, duration_literal;
    nb::handle declaration_placement_exception, gate_without_qubits_exception;
    nb::handle variable_as_gate_exception;
    nb::handle classical_function_mapping;
    nb::handle variable_signature;
    nb::handle vyr_arr, vyr_bit_register;
    nb::handle sequence;
    // openqasm3 classes and the plain assignment operator.
    nb::handle identifier, indexed_identifier, discrete_set, range_definition, expression, classical_assignment,
        measurement_statement, bitstring_literal, function_call;
    nb::handle plain_assignment;
    // The vk SDK.
    nb::handle program, align, if_, else_, while_, for_, for_each_, switch_, case_, default_, declare, assign;
    nb::handle counted_loop;
    nb::handle vyr_variable;
    nb::handle vyr_scalar_expression;
    nb::handle declare_kwnames;  // ("is_input", "is_output", "is_stream"), for declare_variable
    // The operations as this module installs them on the visitor class.
    OwnMethod translate_expression_method, run_operation_method, declare_variable_method, assign_to_target_method,
        run_block_in_context_method;
} state;

// The visitor's operations as its handlers reach them: each runs its C++ body
// directly unless a subclass overrides it, and then calls the override, as a
// handler written in Python would.
nb::object translate(nb::handle self, nb::handle expression);
nb::object run_operation(nb::handle self, nb::handle name, nb::handle qubits, nb::handle params);
nb::object declare_variable(nb::handle self, nb::handle node);
nb::object assign_to_target(nb::handle self, nb::handle target, nb::handle value);
void run_block(nb::handle self, nb::handle context_creator, nb::handle block, nb::handle args);
nb::object call_override(nb::handle self, nb::handle name, std::initializer_list<nb::handle> leading,
                         nb::handle rest = nb::handle());

// `function(*values)`, with the host's unpacking of any iterable.
nb::object call_unpacked(nb::handle function, nb::handle values) {
    nb::object arguments = PyTuple_CheckExact(values.ptr()) ? nb::borrow(values)
                                                              : steal_or_throw(PySequence_Tuple(values.ptr()));
    return steal_or_throw(PyObject_Call(function.ptr(), arguments.ptr(), nullptr));
}

Py_ssize_t size_of(nb::handle value) {
    Py_ssize_t size = PyObject_Size(value.ptr());
    if (size < 0) throw nb::python_error();
    return size;
}

bool is_plain(nb::handle value) { return PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr()); }

// The logical negation of a translated condition, as translation gives "!".
nb::object negation(nb::handle value) { return call(state.logical_not, value); }

// `self.visit(node)`: straight into the C++ dispatch unless the visitor has a
// `visit` of its own.
void visit_child(nb::handle self, nb::handle node) { tree::call_visit(self, node); }

// --- block scope ------------------------------------------------------------
// A name declared in a block (an if or else body, a loop body, a case body, a
// box or a braced block), or a for loop's variable, is a name of that block:
// it hides the outer variable of that name, and it ends with the block, as in
// OpenQASM. The variables database is what expressions and assignments look
// names up in, so while the lowering runs it holds the names in scope only.
// The visitor's `_scopes` holds one frame per open scope, the program's own
// at the bottom: each maps the names declared in that scope to the outer
// wrapper that the declaration replaced in the database (None when it hid
// nothing). When a block ends, the hidden wrappers go back into the database
// and the names that hid nothing leave it. `_every_variable` keeps, by name,
// what the database would hold if no name left it; once the lowering is
// done, the database holds that again, so that it keeps every variable.

nb::object new_frame() { return steal_or_throw(PyDict_New()); }

// The frames of a visitor that has lowered nothing yet: the program's own scope.
nb::object set_fresh_scopes(nb::handle self) {
    nb::object scopes = steal_or_throw(PyList_New(0));
    append_item(scopes, new_frame());
    set_attr(self, "_scopes"_id, scopes);
    return scopes;
}

// The visitor's frames, made afresh for a visitor whose constructor did not set them.
nb::object scopes_of(nb::handle self) {
    nb::object scopes = find_attr(self, "_scopes"_id);
    return scopes.is_valid() ? scopes : set_fresh_scopes(self);
}

// Made with the first declaration.
nb::object every_variable_of(nb::handle self) {
    nb::object every = find_attr(self, "_every_variable"_id);
    if (every.is_valid()) return every;
    every = steal_or_throw(PyDict_New());
    set_attr(self, "_every_variable"_id, every);
    return every;
}

Py_ssize_t frame_count(nb::handle scopes) {
    Py_ssize_t count = PySequence_Size(scopes.ptr());
    if (count < 0) throw nb::python_error();
    return count;
}

nb::object frame_at(nb::handle scopes, Py_ssize_t position) {
    return steal_or_throw(PySequence_GetItem(scopes.ptr(), position));
}

// Whether `name` was declared in one of the open scopes.
bool in_scope(nb::handle scopes, nb::handle name) {
    for (Py_ssize_t i = frame_count(scopes) - 1; i >= 0; --i)
        if (contains(frame_at(scopes, i), name)) return true;
    return false;
}

nb::object database_key(nb::handle name) { return call(state.variable_signature, name); }

nb::object variables_db_of(nb::handle self) { return get_attr(get_attr(self, "_context"_id), "variables_db"_id); }

// Called before the declaration of `name` replaces its database record: the
// innermost scope remembers the wrapper that the declaration hides. Inputs
// are fed and outputs saved by name, outside every block, so they belong to
// the program's own scope.
void enter_name(nb::handle self, nb::handle node, nb::handle name, bool is_input, bool is_output) {
    nb::object scopes = scopes_of(self);
    const Py_ssize_t count = frame_count(scopes);
    if (count == 0) return;
    if (count > 1 && (is_input || is_output))
        raise_error(call(state.declaration_placement_exception, node, name,
                         nb::str(is_input ? "an input" : "an output"), nb::str("a block")));
    nb::object frame = frame_at(scopes, count - 1);
    if (contains(frame, name)) return;
    nb::object hidden = nb::none();
    if (count > 1 && in_scope(scopes, name)) {
        hidden = find_item(variables_db_of(self), database_key(name));
        if (!hidden.is_valid()) hidden = nb::none();
    }
    check_status(PyObject_SetItem(frame.ptr(), name.ptr(), hidden.ptr()));
}

// Ends the innermost block: every wrapper that its declarations hid is put
// back into the database, and every name that hid nothing leaves it.
void leave_block(nb::handle self, nb::handle scopes, bool restore) {
    nb::object frame = call_method(scopes, "pop"_id);
    if (!restore || size_of(frame) == 0) return;
    nb::object entries = steal_or_throw(PySequence_List(steal_or_throw(PyMapping_Items(frame.ptr())).ptr()));
    nb::object database = variables_db_of(self);
    nb::object every = every_variable_of(self);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.ptr()); ++i) {
        auto [name, hidden] = unpack_pair(PyList_GET_ITEM(entries.ptr(), i));
        nb::object key = database_key(name);
        if (hidden.is_none()) {
            if (PyObject_DelItem(database.ptr(), key.ptr()) < 0) {
                if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw nb::python_error();
                PyErr_Clear();
            }
            continue;
        }
        check_status(PyObject_SetItem(database.ptr(), key.ptr(), hidden.ptr()));
        check_status(PyObject_SetItem(every.ptr(), name.ptr(), hidden.ptr()));
    }
}

// After the lowering: the database holds every variable again, in the order
// of their first declarations, as if no name had left it. The step's visitor
// declares through declare_variable_own only, which records each variable in
// `_every_variable`, so that holds all the database has held.
void restore_every_variable(nb::handle self) {
    nb::object every = every_variable_of(self);
    nb::object database = variables_db_of(self);
    if (size_of(database) == size_of(every)) return;
    call_method(database, "clear"_id);
    nb::object entries = steal_or_throw(PySequence_List(steal_or_throw(PyMapping_Items(every.ptr())).ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.ptr()); ++i) {
        auto [name, wrapper] = unpack_pair(PyList_GET_ITEM(entries.ptr(), i));
        check_status(PyObject_SetItem(database.ptr(), database_key(name).ptr(), wrapper.ptr()));
    }
}

// `body()` as the statements of one block: its declarations are visible in
// it and in the blocks it holds, and hide the outer variables of their names
// until it ends. A failing body leaves the block without restoring: the
// lowering has no rollback, and the compilation fails.
template <typename Body>
void in_block(nb::handle self, Body&& body) {
    nb::object scopes = scopes_of(self);
    append_item(scopes, new_frame());
    try {
        body();
    } catch (...) {
        try {
            leave_block(self, scopes, false);
        } catch (...) {
            // The body's error is the one to report.
        }
        throw;
    }
    leave_block(self, scopes, true);
}

// --- module functions -------------------------------------------------------

void align_if_needed(nb::handle elements) {
    if (size_of(elements) < 2) return;
    call_unpacked(state.align, elements);
}

nb::object align_if_needed_function(nb::args elements) {
    align_if_needed(elements);
    return nb::none();
}

// --- MissingInputException ------------------------------------------------------

nb::object missing_input_init(nb::handle self, nb::handle node) {
    nb::setattr(self, "node", node);
    return nb::none();
}

nb::object missing_input_str(nb::handle self) {
    nb::object name = get_attr(get_attr(nb::getattr(self, "node"), "var"_id), "name"_id);
    return compose({nb::str("The input "), name, nb::str(" was not provided to the compiler")});
}

// --- the errors of assignments and gate calls -------------------------------------

nb::object variable_as_gate_init(nb::handle self, nb::handle name) {
    nb::setattr(self, "name", name);
    return nb::none();
}

nb::object variable_as_gate_str(nb::handle self) {
    nb::object name = nb::getattr(self, "name");
    return compose({nb::str("The gate call "), name, nb::str(" names the classical variable "), name,
                    nb::str("; a variable is not a gate.")});
}

nb::object shape_mismatch_init(nb::handle self, nb::handle name, nb::handle message) {
    nb::setattr(self, "name", name);
    nb::setattr(self, "message", message);
    return nb::none();
}

nb::object shape_mismatch_str(nb::handle self) { return nb::getattr(self, "message"); }

[[noreturn]] void refuse_shape(nb::handle name, std::initializer_list<nb::handle> text) {
    raise_error(call(state.shape_mismatch_exception, name, compose(text)));
}

[[noreturn]] void refuse_type(nb::handle name, std::initializer_list<nb::handle> text) {
    raise_error(call(state.type_mismatch_exception, name, compose(text)));
}

// --- the kinds of values ------------------------------------------------------------
// A vyr variable holds booleans, integers or fixed-point numbers (reals); a
// value of the compiler (a number, or a vk expression of its dtype) is of one
// of these kinds, or of none.

enum class Kind { BOOLEAN, INTEGER, REAL, NONE };

Kind kind_of_dtype(nb::handle dtype) {
    if (dtype.ptr() == reinterpret_cast<PyObject*>(&PyBool_Type)) return Kind::BOOLEAN;
    if (dtype.ptr() == reinterpret_cast<PyObject*>(&PyLong_Type)) return Kind::INTEGER;
    return Kind::REAL;
}

Kind kind_of(nb::handle value) {
    if (PyBool_Check(value.ptr())) return Kind::BOOLEAN;
    if (PyLong_Check(value.ptr())) return Kind::INTEGER;
    if (PyFloat_Check(value.ptr())) return Kind::REAL;
    if (is_instance(value, state.vyr_scalar_expression)) return kind_of_dtype(get_attr(value, "dtype"_id));
    // Another library's integer (one that offers `__index__`) is an integer.
    if (PyIndex_Check(value.ptr())) return Kind::INTEGER;
    return Kind::NONE;
}

// Whether a plain integer is 0 or 1.
bool is_bit_value(nb::handle value) {
    int overflow = 0;
    const long number = PyLong_AsLongAndOverflow(value.ptr(), &overflow);
    if (number == -1 && PyErr_Occurred()) throw nb::python_error();
    return overflow == 0 && (number == 0 || number == 1);
}

// The kinds that a variable of the kind `target` takes as they are: an
// integer is a real too and a boolean an integer, and a boolean takes the
// integers 0 and 1, the two values of a bit. Nothing else is converted.
bool takes(Kind target, nb::handle value) {
    const Kind given = kind_of(value);
    switch (target) {
        case Kind::BOOLEAN:
            return given == Kind::BOOLEAN || (given == Kind::INTEGER && PyLong_Check(value.ptr()) && is_bit_value(value));
        case Kind::INTEGER: return given == Kind::BOOLEAN || given == Kind::INTEGER;
        case Kind::REAL: return given != Kind::NONE;
        case Kind::NONE: return false;
    }
    return false;
}

// What a variable of the kind holds, in the words of a refusal.
const char* holding(Kind kind, bool plural) {
    switch (kind) {
        case Kind::BOOLEAN: return plural ? "booleans (bool or bit)" : "a boolean (bool or bit)";
        case Kind::INTEGER: return plural ? "integers (int or uint)" : "an integer (int or uint)";
        default: return plural ? "reals (float, or durations in clock cycles)"
                               : "a real (float, or a duration in clock cycles)";
    }
}

// A number of bits as a refusal says it: "1 bit", "4 bits".
nb::object bits_of(nb::handle count) {
    int one = PyObject_RichCompareBool(count.ptr(), nb::int_(1).ptr(), Py_EQ);
    check_status(one);
    return compose({count, nb::str(one ? " bit" : " bits")});
}

// A value as a refusal shows it: its text form and its class, `2.5 (float)`.
// An integer too long for the host's text of it is shown by its size.
nb::object shown(nb::handle value) {
    PyObject* text = PyObject_Repr(value.ptr());
    if (!text) {
        if (!PyLong_Check(value.ptr()) || !PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();
        PyErr_Clear();
        nb::object bits = steal_or_throw(PyLong_FromSize_t(_PyLong_NumBits(value.ptr())));
        return compose({nb::str("an integer of "), bits, nb::str(" bits (int)")});
    }
    return compose({nb::steal(text), nb::str(" ("), class_name(value.type()), nb::str(")")});
}

// --- a value of its target's type ----------------------------------------------------
// A variable holds values of its declared type, converted as OpenQASM's casts
// convert them: a real given to an integer is truncated toward zero, as
// `int(...)` gives it, and one given to a boolean (a bool or a single bit) is
// true exactly when it is not 0, as `bool(...)` gives it; when the value is
// known only at run time, the SDK's cast converts it. A boolean takes an
// integer as its truth, as a cast to bool gives it; 0 and 1, the two values
// of a bit, stay as they are written. The bits of a register take no real:
// OpenQASM converts no real into bits.

// The truth of an integer value, as a cast to bool gives it.
nb::object truth_of(nb::handle value) {
    if (is_instance(value, state.vyr_scalar_expression)) return typing::converted(value, typing::Conversion::boolean);
    if (PyLong_Check(value.ptr()) && is_bit_value(value)) return nb::borrow(value);
    return nb::bool_(truth(value));
}

// A real given to a target that holds integers or booleans (`kind`),
// converted as the cast to its type converts it. `written()` gives the value
// as the source writes it, named where no integer holds it (an infinity or
// NaN), as a cast of it would be refused.
template <typename Written>
nb::object converted_real(nb::handle name, Kind kind, nb::handle value, Written&& written) {
    try {
        return typing::converted(value, kind == Kind::INTEGER ? typing::Conversion::integer
                                                              : typing::Conversion::boolean);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_OverflowError) && !error.matches(PyExc_ValueError)) throw;
        HandlingError handling(error.value());
        const bool nan = PyFloat_Check(value.ptr()) && std::isnan(PyFloat_AS_DOUBLE(value.ptr()));
        nb::object refusal = call(state.out_of_range,
                                  compose({nb::str("The value "), written(), nb::str(" given to "), name,
                                           nb::str(nan ? " is not a number that can be held"
                                                       : " is too large to be held"),
                                           nb::str("; an integer takes a finite number.")}));
        set_attr(refusal, "name"_id, name);
        raise_in_context(refusal, error.value());
    }
}

// Refuses a real for the bits of a register: `target` opens the text ("The
// bit register c of 2 bits", "The bit c[1] of the bit register c"), `whole`
// tells the whole register from one of its bits, and `written` is the value
// as the source writes it. A cast says which bits the program means.
[[noreturn]] void refuse_real_for_bits(nb::handle name, nb::handle target, bool whole, nb::handle written) {
    refuse_type(name, {target, nb::str(whole ? " takes an integer by its bits" : " holds a boolean (bool or bit)"),
                       nb::str(", but it is given the real value "), written,
                       nb::str(whole ? "; a real becomes the bits of a register only by a cast, as int("
                                     : "; a real becomes a bit of a register only by a cast, as bool("),
                       written, nb::str(").")});
}

// `value` as a scalar holding values of the kind `holds` takes it: a real
// converted as a cast converts it, an integer taken as a boolean's truth.
// `source` is the value's expression.
nb::object of_kind(nb::handle name, Kind holds, nb::handle value, nb::handle source) {
    if (holds != Kind::INTEGER && holds != Kind::BOOLEAN) return nb::borrow(value);
    const Kind given = kind_of(value);
    if (given == Kind::REAL) return converted_real(name, holds, value, [&] { return node_source(source); });
    if (holds == Kind::BOOLEAN && given == Kind::INTEGER) return truth_of(value);
    return nb::borrow(value);
}

// The kinds of the cells of the integer and boolean arrays by name (bit
// registers included), noted where they are declared, so that a value
// assigned to a cell looks up no wrapper where the cells take it as it is.
void note_cells(nb::handle self, nb::handle var, nb::handle name) {
    if (!is_instance(var, state.vyr_arr)) return;
    const Kind cells = kind_of_dtype(get_attr(var, "dtype"_id));
    if (cells != Kind::INTEGER && cells != Kind::BOOLEAN) return;
    nb::object kinds = kept_collection(self, "_cell_kinds"_id, &PyDict_Type);
    check_status(PyDict_SetItem(kinds.ptr(), name.ptr(), nb::bool_(cells == Kind::BOOLEAN).ptr()));
}

// What the cells of the array `name` hold, as noted: an integer, a boolean,
// or NONE for a real and for what was not noted.
Kind noted_cells(nb::handle self, nb::handle name) {
    nb::object kinds = find_attr(self, "_cell_kinds"_id);
    if (!kinds.is_valid() || !PyDict_CheckExact(kinds.ptr())) return Kind::NONE;
    PyObject* found = PyDict_GetItemWithError(kinds.ptr(), name.ptr());
    if (!found) {
        if (PyErr_Occurred()) throw nb::python_error();
        return Kind::NONE;
    }
    return found == Py_True ? Kind::BOOLEAN : Kind::INTEGER;
}

// --- CodeGenerationVisitor: operations -------------------------------------------

nb::object translate_own(nb::handle self, nb::handle expression) {
    nb::object database = get_attr(get_attr(self, "_context"_id), "variables_db"_id);
    return call(state.translate_expression, expression, database);
}

nb::object visitor_init(nb::handle self, nb::handle machine_profile, nb::handle program, nb::handle inputs,
                        nb::handle is_inside_scope) {
    set_attr(self, "_machine_profile"_id, machine_profile);
    set_attr(self, "_context"_id, program);
    set_attr(self, "_inputs"_id, inputs);
    set_attr(self, "_is_inside_scope"_id, nb::bool_(truth(is_inside_scope)));
    set_attr(self, "_underscore_counter"_id, nb::int_(0));
    set_fresh_scopes(self);
    return nb::none();
}

nb::object get_qubit_indices(nb::handle qubits) {
    require_list(qubits, "qubits");
    nb::object indices = steal_or_throw(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(qubits.ptr()); ++i) {
        nb::object qubit = nb::borrow(PyList_GET_ITEM(qubits.ptr(), i));
        // The register mapping refuses every other operand, but it does not
        // enter switch case bodies, so a register used there arrives
        // unmapped. Refused under -O too, where the operand has no index.
        if (!is_instance(qubit, state.hardware_qubit)) {
            nb::object named = is_instance(qubit, state.identifier) ? get_attr(qubit, "name"_id) : nb::object(qubit);
            raise_text(PyExc_AssertionError,
                       compose({nb::str("Only hardware qubits are lowered; qubit registers are not mapped inside "
                                        "switch case bodies: "),
                                named, nb::str(" is no hardware qubit")}));
        }
        check_status(PyList_Append(indices.ptr(), get_attr(qubit, "index"_id).ptr()));
    }
    return steal_or_throw(PyList_AsTuple(indices.ptr()));
}

// One operation: resolved by the profile, called between two alignments of
// its elements. Nothing is caught, so a failing implementation leaves the
// first alignment emitted and the second not.
// `arguments` holds three free places, for the profile, the name and the
// indices, and then the translated parameters.
nb::object run_translated(nb::handle self, nb::handle name, nb::handle qubits, std::vector<nb::object>& arguments) {
    arguments[2] = get_qubit_indices(qubits);
    arguments[0] = get_attr(self, "_machine_profile"_id);
    arguments[1] = nb::borrow(name);
    std::vector<PyObject*> raw_arguments;
    raw_arguments.reserve(arguments.size());
    for (const nb::object& argument : arguments) raw_arguments.push_back(argument.ptr());
    nb::object resolved = steal_or_throw(PyObject_VectorcallMethod(
        "resolve_operation"_id.ptr(), raw_arguments.data(), raw_arguments.size(), nullptr));

    // Read once, as the arguments of both alignments.
    nb::object elements = get_attr(resolved, "elements_to_align"_id);
    if (!PyTuple_CheckExact(elements.ptr())) elements = steal_or_throw(PySequence_Tuple(elements.ptr()));
    align_if_needed(elements);
    nb::object result = call_unpacked(get_attr(resolved, "func"_id), get_attr(resolved, "params"_id));
    align_if_needed(elements);
    return result;
}

nb::object run_operation_own(nb::handle self, nb::handle name, nb::handle qubits, nb::handle params) {
    require_str(name, "name");
    require_list(qubits, "qubits");
    std::vector<nb::object> arguments(3);
    nb::object iterator = steal_or_throw(PyObject_GetIter(params.ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object param = nb::steal(raw);
        arguments.push_back(translate(self, param));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return run_translated(self, name, qubits, arguments);
}

nb::object run_operation_method(nb::handle self, nb::handle name, nb::handle qubits, nb::args params) {
    return run_operation_own(self, name, qubits, params);
}

nb::object translate_method(nb::handle self, nb::handle oq_expression) { return translate_own(self, oq_expression); }

// --- numbers and durations -------------------------------------------------------
// OpenQASM converts no duration into a number nor a number into a duration:
// each place that takes a value says which of the two it takes, and
// translation tells which one it has. A duration is held in clock cycles,
// exactly, and cut to whole cycles only where the machine receives it: by a
// delay, or by an operation of the profile called as a function.

enum class Takes { NUMBER, DURATION, EITHER };

struct Typed {
    nb::object value;
    bool duration = false;
};

// `for_value`: the value is used. The module's translation gives the value
// and whether it is a duration at once. A visitor that translates
// expressions itself gives the value, and whether it is a duration is read
// from the expression; its translation runs only where the value is used, so
// that each expression is translated once. An empty value is one not used.
Typed translate_typed(nb::handle self, nb::handle expression, bool for_value = true) {
    if (state.translate_expression_method.reached_by(self)) {
        // The module's function, kept at import, always gives a pair.
        nb::object pair = call(state.translate_typed, expression, variables_db_of(self));
        return {nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 0)), PyTuple_GET_ITEM(pair.ptr(), 1) == Py_True};
    }
    Typed typed;
    typed.duration = call(state.is_duration, expression, variables_db_of(self)).is(Py_True);
    if (for_value) typed.value = translate(self, expression);
    return typed;
}

// Refuses a value of the other kind than the place takes; `describe()` names
// the place ("gate call rx") and is composed only for the refusal.
template <typename Describe>
void require(const Typed& typed, Takes takes, nb::handle expression, Describe&& describe) {
    if (takes == Takes::EITHER || typed.duration == (takes == Takes::DURATION)) return;
    nb::object source = node_source(expression);
    if (typed.duration)
        raise_text(state.duration_type_error.ptr(),
                   compose({nb::str("The "), describe(), nb::str(" takes a number, but "), source,
                            nb::str(" is a duration; OpenQASM converts no duration into a number (a duration divided "
                                    "by a duration is one).")}));
    raise_text(state.duration_type_error.ptr(),
               compose({nb::str("The "), describe(), nb::str(" takes a duration, but "), source,
                        nb::str(" is a number; a duration is written with a time unit (as 100ns or 1us).")}));
}

bool holds_durations(nb::handle wrapper) {
    return is_instance(wrapper, state.vyr_duration_slot) || is_instance(wrapper, state.vyr_duration_arr);
}

// The visitor's `_duration_names` keeps the names declared as durations or
// stretches, so that an assignment of a number looks its target's wrapper up
// only where the name may hold a duration.
void note_duration(nb::handle self, nb::handle var, nb::handle name) {
    if (!holds_durations(var)) return;
    nb::object names = kept_collection(self, "_duration_names"_id, &PySet_Type);
    check_status(PySet_Add(names.ptr(), name.ptr()));
}

bool may_hold_duration(nb::handle self, nb::handle name) {
    nb::object names = find_attr(self, "_duration_names"_id);
    return names.is_valid() && contains(names, name);
}

// Whether the variable an assignment or a measurement names holds durations.
bool target_holds_durations(nb::handle self, nb::handle name, bool look_up) {
    if (!look_up && !may_hold_duration(self, name)) return false;
    return holds_durations(call_method(get_attr(self, "_context"_id), "_get_var"_id, name));
}

// Whether a duration known now is negative.
bool is_negative(nb::handle value) {
    return is_plain(value) && truth(steal_or_throw(PyObject_RichCompare(value.ptr(), nb::int_(0).ptr(), Py_LT)));
}

// A delay cannot last less than nothing: the machine would be told to wait
// a negative number of clock cycles, or a box's length would be lost.
[[noreturn]] void refuse_negative_duration(nb::handle duration, nb::handle construct) {
    raise_error(call(state.negative_duration_exception,
                     compose({nb::str("The "), construct, nb::str(" has the negative duration "), node_source(duration),
                              nb::str("; a duration there cannot be negative.")})));
}

// A duration as the machine receives it: cut to whole clock cycles toward
// zero, an int when it is known now, the SDK's integer conversion otherwise.
nb::object whole_cycles(nb::handle value, nb::handle expression) {
    if (PyLong_Check(value.ptr())) return nb::borrow(value);
    if (PyFloat_Check(value.ptr())) {
        if (!std::isfinite(PyFloat_AS_DOUBLE(value.ptr())))
            raise_text(state.out_of_range.ptr(), compose({nb::str("The duration "), node_source(expression),
                                                          nb::str(" is too large to be held")}));
        return steal_or_throw(PyNumber_Long(value.ptr()));
    }
    if (!is_instance(value, state.vyr_scalar_expression)) return nb::borrow(value);
    if (get_attr(value, "dtype"_id).is(nb::handle(reinterpret_cast<PyObject*>(&PyLong_Type)))) return nb::borrow(value);
    return call(state.to_int, value);
}

// An operation's parameters as it takes them: a gate numbers, a delay a
// duration, and an operation of the profile called as a function either; a
// duration reaches the machine in whole clock cycles.
// `for_value`: the translations are passed on, else only checked.
template <typename Describe>
std::vector<nb::object> translate_parameters(nb::handle self, nb::handle params, Takes takes, Describe&& describe,
                                             bool for_value) {
    std::vector<nb::object> arguments(3);  // the places that run_translated fills
    nb::object iterator = steal_or_throw(PyObject_GetIter(params.ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object param = nb::steal(raw);
        Typed typed = translate_typed(self, param, for_value);
        require(typed, takes, param, describe);
        if (!typed.value.is_valid()) continue;  // checked for its kind only; the value is the override's
        // A gate's or a delay's parameter is one value: a bit register gives
        // its number, any other array is refused by its name. An operation
        // called as a function is handed what the program names.
        if (takes != Takes::EITHER && !is_plain(typed.value) && !is_instance(typed.value, state.vyr_scalar_expression)) {
            nb::object scalar = call(state.scalar_value, typed.value, param, variables_db_of(self), nb::bool_(false));
            if (for_value) typed.value = std::move(scalar);
        }
        if (typed.duration) {
            if (takes == Takes::DURATION && is_negative(typed.value)) refuse_negative_duration(param, describe());
            if (for_value) typed.value = whole_cycles(typed.value, param);
        }
        arguments.push_back(std::move(typed.value));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return arguments;
}

// One operation of the program's own, its parameters checked for what it
// takes; a visitor's own run_operation is given them as written, to
// translate them itself.
template <typename Describe>
nb::object run_operation_taking(nb::handle self, nb::handle name, nb::handle qubits, nb::handle params, Takes takes,
                                Describe&& describe) {
    const OwnMethod& method = state.run_operation_method;
    const bool own = method.reached_by(self);
    if (own) {
        require_str(name, "name");
        require_list(qubits, "qubits");
    }
    std::vector<nb::object> arguments = translate_parameters(self, params, takes, describe, own);
    if (!own) return call_override(self, method.name, {name, qubits}, params);
    return run_translated(self, name, qubits, arguments);
}

// A translated expression that the SDK takes as a scalar (a condition, a
// switch target, a case value, a loop bound, an index): a bit register reads
// as its value, or for a condition its truth, and any other array is refused.
template <typename Describe>
nb::object translate_scalar(nb::handle self, nb::handle expression, bool as_truth, Takes takes, Describe&& describe) {
    Typed typed = translate_typed(self, expression);
    require(typed, takes, expression, describe);
    if (is_plain(typed.value) || is_instance(typed.value, state.vyr_scalar_expression)) return typed.value;
    return call(state.scalar_value, typed.value, expression, variables_db_of(self), nb::bool_(as_truth));
}

nb::object single_qubit(nb::handle qubit) {
    nb::object qubits = steal_or_throw(PyList_New(1));
    PyList_SET_ITEM(qubits.ptr(), 0, nb::borrow(qubit).release().ptr());
    return qubits;
}

nb::object one_param(nb::handle param) { return nb::make_tuple(param); }

// The caller's value for `name`, or an empty object when the inputs give none.
nb::object input_value(nb::handle inputs, nb::handle name) {
    PyObject* value = nullptr;
    if (PyDict_CheckExact(inputs.ptr())) {
        value = PyDict_GetItemWithError(inputs.ptr(), name.ptr());
        if (!value) {
            if (PyErr_Occurred()) throw nb::python_error();
            return nb::object();
        }
        return value == Py_None ? nb::object() : nb::borrow(value);
    }
    // Any other map: only an entry it holds counts, never a default it would make up.
    int contained = PySequence_Contains(inputs.ptr(), name.ptr());
    check_status(contained);
    if (!contained) return nb::object();
    nb::object found = steal_or_throw(PyObject_GetItem(inputs.ptr(), name.ptr()));
    return found.is_none() ? nb::object() : found;
}

// A sequence given in the inputs for an array fills it cell by cell: one of
// another length would drop values, or leave cells at zero, with no word.
void refuse_values_of_another_length(nb::handle var, nb::handle name, nb::handle value) {
    if (!is_instance(var, state.vyr_arr) || !is_instance(value, state.sequence)) return;
    nb::object size = get_attr(var, "size"_id);
    nb::object length = nb::int_(size_of(value));
    if (truth(steal_or_throw(PyObject_RichCompare(length.ptr(), size.ptr(), Py_EQ)))) return;
    refuse_shape(name, {nb::str("The array "), name, nb::str(" has "), size, nb::str(" cells, but the inputs give it "),
                        length, nb::str(" values.")});
}

// Whether a number given for a real is one that no real holds: an infinity,
// NaN, or an integer beyond the range of a double.
bool beyond_reals(nb::handle value) {
    if (PyFloat_Check(value.ptr())) return !std::isfinite(PyFloat_AS_DOUBLE(value.ptr()));
    if (!PyLong_Check(value.ptr())) return false;
    if (PyLong_AsDouble(value.ptr()) != -1.0 || !PyErr_Occurred()) return false;
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw nb::python_error();
    PyErr_Clear();
    return true;
}

// Refuses a value given for a real that no real holds; `start` names the
// input ("The input f", "The input a, ... its cell 1").
[[noreturn]] void refuse_beyond_reals(nb::handle name, nb::handle start, nb::handle value) {
    const bool nan = PyFloat_Check(value.ptr()) && std::isnan(PyFloat_AS_DOUBLE(value.ptr()));
    nb::object error = call(state.out_of_range,
                            compose({start, nb::str(" the value "), shown(value),
                                     nb::str(nan ? ", which is not a number that can be held"
                                                 : ", which is too large to be held"),
                                     nb::str("; a real takes a finite number within the range of a float.")}));
    set_attr(error, "name"_id, name);
    raise_error(error);
}

// A value given in the inputs is assigned as it is: one of another kind than
// its variable holds would become a value that nobody gave (2.5 in an
// integer, 0.5 in a boolean, the first bits of a number in a register), and a
// text is no number at all. `what` says which kind of declaration it is.
void refuse_values_of_another_type(nb::handle var, nb::handle name, nb::handle value, const char* what) {
    const Kind target = kind_of_dtype(get_attr(var, "dtype"_id));
    const bool text = PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) || PyByteArray_Check(value.ptr());
    const bool sequence = !text && is_instance(value, state.sequence);
    nb::object start = compose({nb::str("The "), nb::str(what), nb::str(" "), name});
    nb::str expected("; a value given in the inputs must be of its variable's declared type.");
    if (!is_instance(var, state.vyr_arr)) {
        if (!sequence && takes(target, value)) {
            if (target == Kind::REAL && beyond_reals(value))
                refuse_beyond_reals(name, compose({start, nb::str(", which holds "), nb::str(holding(target, false)),
                                                   nb::str(", is given")}),
                                    value);
            return;
        }
        refuse_type(name, {start, nb::str(" holds "), nb::str(holding(target, false)),
                           nb::str(", but the inputs give it "), shown(value), expected});
    }
    nb::object size = get_attr(var, "size"_id);
    const bool bits = is_instance(var, state.vyr_bit_register);
    nb::object declared =
        bits ? compose({nb::str(" is a bit register of "), bits_of(size)})
             : compose({nb::str(" is an array of "), size, nb::str(" "), nb::str(holding(target, true))});
    if (!sequence) {
        // A register takes a number by its bits: one that they can hold.
        const Kind given = text ? Kind::NONE : kind_of(value);
        if (bits && (given == Kind::INTEGER || given == Kind::BOOLEAN)) {
            if (is_instance(value, state.vyr_scalar_expression)) return;
            nb::object number = steal_or_throw(PyNumber_Index(value.ptr()));
            const Py_ssize_t width = PyNumber_AsSsize_t(size.ptr(), PyExc_OverflowError);
            if (width == -1 && PyErr_Occurred()) throw nb::python_error();
            nb::object zero = nb::int_(0);
            int negative = PyObject_RichCompareBool(number.ptr(), zero.ptr(), Py_LT);
            check_status(negative);
            int beyond = PyObject_RichCompareBool(number.ptr(), register_mask(width).ptr(), Py_GT);
            check_status(beyond);
            if (!negative && !beyond) return;
            refuse_type(name, {start, declared, nb::str(", but the inputs give it "), shown(value),
                               nb::str(", which its bits cannot hold"), expected});
        }
        if (bits && given == Kind::REAL)
            refuse_type(name, {start, declared, nb::str(", but the inputs give it "), shown(value),
                               nb::str("; a register takes an integer, by its bits"), expected});
        refuse_type(name, {start, declared, nb::str(", but the inputs give it "), shown(value),
                           nb::str(" where a sequence of one value per cell is expected"), expected});
    }
    refuse_values_of_another_length(var, name, value);
    nb::object iterator = steal_or_throw(PyObject_GetIter(value.ptr()));
    Py_ssize_t position = 0;
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object item = nb::steal(raw);
        if (!takes(target, item))
            refuse_type(name, {start, declared, nb::str(", but the inputs give its cell "), nb::int_(position),
                               nb::str(" the value "), shown(item), expected});
        if (target == Kind::REAL && beyond_reals(item))
            refuse_beyond_reals(name, compose({start, declared, nb::str(", and the inputs give its cell "),
                                               nb::int_(position)}),
                                item);
        ++position;
    }
    if (PyErr_Occurred()) throw nb::python_error();
}

// A name declared again in the program's own scope, where inputs and
// outputs stand: the later variable would take the earlier one's place, and
// an output would be left without its stream. Two inputs or outputs of one
// name are the program's to refuse, in its own terms. A block may declare a
// name again, as a loop body may its loop's variable.
void refuse_redeclaration(nb::handle self, nb::handle node, nb::handle name, bool is_input, bool is_output) {
    nb::object scopes = scopes_of(self);
    if (frame_count(scopes) != 1 || !contains(frame_at(scopes, 0), name)) return;
    nb::object context = get_attr(self, "_context"_id);
    const bool earlier_input = contains(get_attr(context, "inputs"_id), name);
    const bool earlier_output = contains(get_attr(context, "outputs"_id), name);
    if ((is_input || is_output) && (earlier_input || earlier_output)) return;
    const char* earlier = earlier_input ? "an input" : earlier_output ? "an output" : "a classical variable";
    const char* later = is_input ? "an input" : is_output ? "an output" : "a classical variable";
    raise_error(call(state.redeclaration_exception, node, name, nb::str(earlier), nb::str(later)));
}

nb::object declare_variable_own(nb::handle self, nb::handle node) {
    nb::object var = get_attr(node, "var"_id);
    nb::object name = get_attr(var, "name"_id);
    nb::object value = input_value(get_attr(self, "_inputs"_id), name);
    const bool inside_scope = truth(get_attr(self, "_is_inside_scope"_id));
    nb::object is_input = get_attr(node, "is_input"_id);
    if (inside_scope && !value.is_valid() && truth(is_input))
        raise_error(call(state.missing_input_exception, node));
    nb::object is_output = get_attr(node, "is_output"_id);
    refuse_redeclaration(self, node, name, truth(is_input), truth(is_output));
    nb::object is_stream = nb::bool_(!value.is_valid() && !inside_scope);
    enter_name(self, node, name, truth(is_input), truth(is_output));

    nb::object context = get_attr(self, "_context"_id);
    PyObject* arguments[] = {context.ptr(), var.ptr(), is_input.ptr(), is_output.ptr(), is_stream.ptr()};
    steal_or_throw(PyObject_VectorcallMethod("declare_variable"_id.ptr(), arguments, 2,
                                             state.declare_kwnames.ptr()));
    note_duration(self, var, name);
    note_cells(self, var, name);
    check_status(PyObject_SetItem(every_variable_of(self).ptr(), name.ptr(), var.ptr()));
    if (value.is_valid()) {
        const char* what = truth(is_input) ? "input" : truth(is_output) ? "output" : "variable";
        refuse_values_of_another_type(var, name, value, what);
        call_method(context, "assign"_id, name, value);
    }
    return name;
}

nb::object assign_to_target_own(nb::handle self, nb::handle target, nb::handle value) {
    nb::object context = get_attr(self, "_context"_id);
    if (is_instance(target, state.identifier)) {
        call_method(context, "assign"_id, get_attr(target, "name"_id), value);
        return nb::none();
    }
    if (is_instance(target, state.indexed_identifier)) {
        nb::object indices = get_attr(target, "indices"_id);
        check_supported(size_of(indices) == 1, "Only 1-dimensional arrays are supported.");
        nb::object group = steal_or_throw(PySequence_GetItem(indices.ptr(), 0));
        nb::object array_name = get_attr(get_attr(target, "name"_id), "name"_id);
        nb::object index = translate_scalar(self, call(state.extract_single_index, group, array_name), false,
                                            Takes::NUMBER, [&] { return compose({nb::str("index of "), array_name}); });
        call_method(context, "assign_at_index"_id, array_name, index, value);
        return nb::none();
    }
    raise_text(PyExc_ValueError, compose({nb::str("Unexpected target type - "), nb::handle(target.type())}));
}

// --- what statements read and write ----------------------------------------------

// The names that an expression reads: every plain identifier in it.
void collect_read_names(nb::handle node, nb::handle names) {
    RecursionLimitGuard guard(" while reading a loop's range");
    if (Py_IS_TYPE(node.ptr(), reinterpret_cast<PyTypeObject*>(state.identifier.ptr()))) {
        check_status(PySet_Add(names.ptr(), get_attr(node, "name"_id).ptr()));
        return;
    }
    if (!tree::is_node(node)) return;
    tree::any_child(node, [&](nb::handle, nb::handle child) {
        collect_read_names(child, names);
        return false;
    });
}

// The variable's name that an assignment's or a measurement's target names.
nb::object target_name(nb::handle target) {
    if (is_instance(target, state.indexed_identifier)) target = get_attr(target, "name"_id);
    if (!is_instance(target, state.identifier)) return nb::object();
    return get_attr(target, "name"_id);
}

// Whether a statement, with every block and case body it holds, assigns or
// measures into a variable named in `names`.
bool writes_any(nb::handle node, nb::handle names) {
    RecursionLimitGuard guard(" while reading a loop's body");
    if (is_instance(node, state.expression)) return false;
    nb::object target;
    if (is_instance(node, state.classical_assignment)) target = get_attr(node, "lvalue"_id);
    else if (is_instance(node, state.measurement_statement)) target = get_attr(node, "target"_id);
    if (target.is_valid() && !target.is_none()) {
        nb::object name = target_name(target);
        if (name.is_valid() && contains(names, name)) return true;
    }
    return tree::any_child(node, [&](nb::handle, nb::handle child) { return writes_any(child, names); });
}

// Whether the body of a loop over `range` assigns the loop variable or a
// variable that the range reads. OpenQASM reads a loop's values once, when
// the loop starts, and an assignment to the loop variable lasts only for the
// rest of its turn; a vyr for loop reads its condition and update at every turn.
bool body_changes_its_range(nb::handle node, nb::handle variable_name, nb::handle range) {
    nb::object names = steal_or_throw(PySet_New(nullptr));
    check_status(PySet_Add(names.ptr(), variable_name.ptr()));
    for (const char* field : {"start", "end", "step"}) collect_read_names(nb::getattr(range, field), names);
    return writes_any(node, names);
}

// A value the loop reads once: a plain value as it is, an expression through a
// variable of the compiler's own, assigned before the loop.
nb::object read_once(nb::handle value) {
    if (is_plain(value)) return nb::borrow(value);
    nb::object variable = call(state.declare, get_attr(value, "dtype"_id));
    call(state.assign, variable, value);
    return variable;
}

// --- CodeGenerationVisitor: statement handlers ------------------------------------

// How many switch case bodies the lowering is in; the register mapping has
// prepared none of their statements.
long case_bodies(nb::handle self) {
    nb::object count = find_attr(self, "_case_bodies"_id);
    if (!count.is_valid()) return 0;
    long value = PyLong_AsLong(count.ptr());
    if (value == -1 && PyErr_Occurred()) throw nb::python_error();
    return value;
}

nb::object visit_quantum_gate(nb::handle self, nb::handle node) {
    nb::object name = get_attr(get_attr(node, "name"_id), "name"_id);
    // A declared variable's name means the variable here too: playing the
    // profile's gate of that name would run something the program does not
    // say. The gate expansion refuses such a call wherever it stands but in a
    // switch case body, which it does not enter; the calls it put in place of
    // a call of the program's own gate come from the gate's body, which sees
    // no variable of the program.
    if (case_bodies(self) > 0 && in_scope(scopes_of(self), name))
        raise_error(call(state.variable_as_gate_exception, name));
    // The register mapping refuses a call that names one qubit twice, but it
    // does not enter switch case bodies. Operands that are no list are
    // refused by the operation's own rules.
    nb::object qubits = get_attr(node, "qubits"_id);
    nb::object operands = PyList_CheckExact(qubits.ptr()) && case_bodies(self) > 0
                              ? steal_or_throw(PyList_AsTuple(qubits.ptr()))
                              : nb::tuple();
    for (Py_ssize_t i = 1; i < PyTuple_GET_SIZE(operands.ptr()); ++i) {
        nb::handle later = PyTuple_GET_ITEM(operands.ptr(), i);
        if (!is_instance(later, state.hardware_qubit)) continue;
        for (Py_ssize_t j = 0; j < i; ++j) {
            nb::handle earlier = PyTuple_GET_ITEM(operands.ptr(), j);
            if (!is_instance(earlier, state.hardware_qubit)) continue;
            int same = PyObject_RichCompareBool(get_attr(earlier, "index"_id).ptr(), get_attr(later, "index"_id).ptr(),
                                                Py_EQ);
            check_status(same);
            if (same) raise_error(call(state.repeated_qubit_exception, name, get_attr(earlier, "name"_id)));
        }
    }
    run_operation_taking(self, name, qubits, get_attr(node, "arguments"_id), Takes::NUMBER,
                         [&] { return compose({nb::str("gate call "), name}); });
    return nb::none();
}

nb::object visit_quantum_phase(nb::handle self, nb::handle node) {
    run_operation_taking(self, "gphase"_id, get_attr(node, "qubits"_id), one_param(get_attr(node, "argument"_id)),
                         Takes::NUMBER, [] { return nb::str("global phase gphase"); });
    return nb::none();
}

// --- durations ------------------------------------------------------------------

nb::object visit_delay_instruction(nb::handle self, nb::handle node) {
    nb::object qubits = get_attr(node, "qubits"_id);
    auto describe = [&] {
        nb::list names;
        if (PyList_Check(qubits.ptr()))
            for (nb::handle qubit : qubits)
                names.append(is_instance(qubit, state.identifier) ? get_attr(qubit, "name"_id)
                                                                  : nb::object(node_source(qubit)));
        nb::object on = size_of(names) == 0 ? nb::object(nb::str(""))
                                            : compose({nb::str(" on "), nb::str(", ").attr("join")(names)});
        return compose({nb::str("delay"), on});
    };
    run_operation_taking(self, "delay"_id, qubits, one_param(get_attr(node, "duration"_id)), Takes::DURATION,
                         describe);
    return nb::none();
}

nb::object visit_quantum_reset(nb::handle self, nb::handle node) {
    run_operation(self, "reset"_id, single_qubit(get_attr(node, "qubits"_id)), nb::tuple());
    return nb::none();
}

nb::object visit_quantum_barrier(nb::handle self, nb::handle node) {
    // A barrier without operands covers every qubit the program uses, which
    // the register mapping puts in its place; inside a case body it would
    // align nothing.
    if (size_of(get_attr(node, "qubits"_id)) == 0 && case_bodies(self) > 0)
        raise_text(PyExc_NotImplementedError,
                   nb::str("A barrier without operands inside a switch case body is not lowered: name the qubits it "
                           "aligns, or place it outside the switch."));
    run_operation(self, "barrier"_id, get_attr(node, "qubits"_id), nb::tuple());
    return nb::none();
}

nb::object visit_function_call(nb::handle self, nb::handle node) {
    nb::object name = get_attr(get_attr(node, "name"_id), "name"_id);
    nb::object arguments = get_attr(node, "arguments"_id);
    PyObject* function = PyDict_GetItemWithError(state.classical_function_mapping.ptr(), name.ptr());
    if (!function && PyErr_Occurred()) throw nb::python_error();
    if (!function)
        return run_operation_taking(self, name, nb::list(), arguments, Takes::EITHER, [&] { return nb::str(name); });
    nb::object held = nb::borrow(function);  // the table may change while the arguments are translated
    nb::object translated = steal_or_throw(PyList_New(0));
    nb::object iterator = steal_or_throw(PyObject_GetIter(arguments.ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object argument = nb::steal(raw);
        // A mathematical function takes one number: a bit register gives its
        // value, another array or a duration is refused by its name.
        nb::object value = translate_scalar(self, argument, false, Takes::NUMBER,
                                            [&] { return compose({nb::str("function "), name}); });
        check_status(PyList_Append(translated.ptr(), value.ptr()));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return call_unpacked(held, translated);
}

// Whether `name` names a gate that the program could call: OpenQASM's own
// `U`, or an operation of the profile that acts on qubits.
bool names_a_gate(nb::handle self, nb::handle name) {
    if (!PyUnicode_Check(name.ptr())) return false;
    if (PyUnicode_CompareWithASCIIString(name.ptr(), "U") == 0) return true;
    nb::object registry = get_attr(get_attr(self, "_machine_profile"_id), "quantum_instruction_registry"_id);
    nb::object keys = steal_or_throw(PyObject_GetIter(get_attr(registry, "available_identifiers"_id).ptr()));
    while (PyObject* raw = PyIter_Next(keys.ptr())) {
        nb::object key = nb::steal(raw);
        int same = PyObject_RichCompareBool(get_attr(key, "name"_id).ptr(), name.ptr(), Py_EQ);
        check_status(same);
        if (same && (truth(get_attr(key, "is_varying_number_of_qubits"_id)) ||
                     size_of(get_attr(key, "qubits_pattern"_id)) > 0))
            return true;
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return false;
}

bool is_call(nb::handle node) { return is_instance(node, state.function_call); }

// An expression whose value is dropped: every call in it runs, left before
// right, through the visitor's visit, and every part that holds no call is
// translated, so that what it names is checked as anywhere else.
void drop_value(nb::handle self, nb::handle node) {
    RecursionLimitGuard guard(" while lowering an expression statement");
    if (is_call(node)) {
        visit_child(self, node);
        return;
    }
    if (!tree::find_first(node, is_call, " while lowering an expression statement").is_valid()) {
        if (is_instance(node, state.expression)) translate(self, node);
        return;
    }
    tree::any_child(node, [&](nb::handle, nb::handle child) {
        drop_value(self, child);
        return false;
    });
}

// An expression standing as a statement. A call is an operation of the
// profile or a mathematical function: the walk reaches visit_FunctionCall,
// which runs it. Any other expression is translated and its value dropped,
// a call among its parts run as one: passing over it would drop the
// statement the program wrote, with an undeclared name, a qubit used as a
// value or an index outside its array in it. A variable in scope standing
// alone reads nothing and does nothing, and a gate named alone lacks the
// qubits it would act on.
nb::object visit_expression_statement(nb::handle self, nb::handle node) {
    nb::object expression = get_attr(node, "expression"_id);
    if (is_call(expression)) return tree::generic_visit(self, node);
    if (is_instance(expression, state.identifier)) {
        nb::object name = get_attr(expression, "name"_id);
        if (contains(variables_db_of(self), database_key(name))) return nb::none();
        if (names_a_gate(self, name)) raise_error(call(state.gate_without_qubits_exception, name));
    }
    drop_value(self, expression);
    return nb::none();
}

nb::object visit_quantum_measurement_statement(nb::handle self, nb::handle node) {
    nb::object qubit = get_attr(get_attr(node, "measure"_id), "qubit"_id);
    nb::object result = run_operation(self, "measure"_id, single_qubit(qubit), nb::tuple());
    // Refused under -O too: the target would be assigned None.
    check_supported(!result.is_none(), "The measure implementation of the machine profile returned no value");
    nb::object target = get_attr(node, "target"_id);
    nb::object target_variable = target.is_none() ? nb::object() : target_name(target);
    if (target_variable.is_valid() && PyUnicode_Check(target_variable.ptr()) &&
        target_holds_durations(self, target_variable, false))
        raise_text(state.duration_type_error.ptr(),
                   compose({nb::str("The measurement of "),
                            is_instance(qubit, state.identifier) ? get_attr(qubit, "name"_id)
                                                                 : nb::object(node_source(qubit)),
                            nb::str(" into "), node_source(target), nb::str(" gives a bit, but "), target_variable,
                            nb::str(" holds a duration; a duration is no number.")}));
    if (!target.is_none() && is_instance(target, state.identifier)) {
        // One qubit into a whole array fills its first cell and clears the
        // others; the register mapping refuses it outside case bodies.
        nb::object name = get_attr(target, "name"_id);
        nb::object wrapper = call_method(get_attr(self, "_context"_id), "_get_var"_id, name);
        if (is_instance(wrapper, state.vyr_arr)) {
            nb::object cells = get_attr(wrapper, "size"_id);
            if (!truth(steal_or_throw(PyObject_RichCompare(cells.ptr(), nb::int_(1).ptr(), Py_EQ))))
                refuse_shape(name, {nb::str("Cannot measure the single qubit '"),
                                    is_instance(qubit, state.identifier) ? get_attr(qubit, "name"_id)
                                                                         : nb::object(node_source(qubit)),
                                    nb::str("' into '"), name, nb::str("', which holds "), cells, nb::str(" bits.")});
        }
    }
    if (!target.is_none()) assign_to_target(self, target, result);
    return nb::none();
}

nb::object visit_vyr_declaration(nb::handle self, nb::handle node) {
    declare_variable(self, node);
    return nb::none();
}

// Every classical declaration the generic walk reaches was bound before the
// lowering; one still standing lies in a switch case body, which that walk
// does not enter. Passing over it would drop the variable, its initialiser
// (a measurement too) and, for an output, its results.
nb::object visit_unbound_declaration(nb::handle, nb::handle node) {
    raise_text(PyExc_NotImplementedError,
               compose({nb::str("Declarations inside switch case bodies are not supported; declare the variable "
                                "before the switch: "),
                        node}));
}

// A bit-string literal has the length of the register it is assigned to, as
// OpenQASM has it: a longer one would lose its upper bits, a shorter one
// leave the register's upper bits cleared with no word. A cell of a register
// or of a bit array, and a single bit, hold one bit.
void refuse_bit_string_of_another_length(nb::handle wrapper, nb::handle name, bool cell, nb::handle literal) {
    nb::handle bool_type(reinterpret_cast<PyObject*>(&PyBool_Type));
    const bool is_register = is_instance(wrapper, state.vyr_bit_register);
    nb::object expected;
    nb::object target_text;
    if (cell && (is_register || get_attr(wrapper, "dtype"_id).is(bool_type))) {
        expected = nb::int_(1);
        target_text = compose({nb::str("a cell of "), name, nb::str(", which holds one bit")});
    } else if (!cell && is_register) {
        expected = get_attr(wrapper, "size"_id);
        target_text = compose({nb::str("the bit register "), name, nb::str(" of "), bits_of(expected)});
    } else if (cell || is_instance(wrapper, state.vyr_arr) || !get_attr(wrapper, "dtype"_id).is(bool_type)) {
        return;  // a number's cell, an array, a number: not a register's bits
    } else {
        expected = nb::int_(1);
        target_text = compose({name, nb::str(", which holds one bit (a bit or a bool)")});
    }
    nb::object width = get_attr(literal, "width"_id);
    if (truth(steal_or_throw(PyObject_RichCompare(width.ptr(), expected.ptr(), Py_EQ)))) return;
    // The bits that a constant stands for carry its name: the program wrote
    // the constant, not these bits.
    nb::object constant = find_attr(literal, "_constant"_id);
    if (constant.is_valid() && PyUnicode_Check(constant.ptr()))
        refuse_shape(name, {nb::str("The constant "), constant, nb::str(" of "), bits_of(width),
                            nb::str(" is assigned to "), target_text,
                            nb::str("; a constant of bits has the length of the register it is assigned to.")});
    refuse_shape(name, {nb::str("The bit-string literal "), node_source(literal), nb::str(" has "), bits_of(width),
                        nb::str(", but it is assigned to "), target_text,
                        nb::str("; a bit-string literal has the length of its register.")});
}

// One value into one cell of an integer or a boolean array, as its kind
// takes it. A boolean and the integers 0 and 1 fit every cell as they are;
// a real is converted, or refused for a bit of a register, which is looked
// up for it.
nb::object fit_to_cell(nb::handle self, nb::handle target, nb::handle source, nb::handle value) {
    if (PyBool_Check(value.ptr()) || (PyLong_CheckExact(value.ptr()) && is_bit_value(value))) return nb::borrow(value);
    if (!is_instance(target, state.indexed_identifier)) return nb::borrow(value);
    nb::object name = get_attr(get_attr(target, "name"_id), "name"_id);
    if (!PyUnicode_Check(name.ptr())) return nb::borrow(value);
    const Kind cells = noted_cells(self, name);
    if (cells == Kind::NONE) return nb::borrow(value);
    if (kind_of(value) == Kind::REAL) {
        // A block's variable may hide the array here; the assignment refuses indexing it.
        nb::object wrapper = call_method(get_attr(self, "_context"_id), "_get_var"_id, name);
        if (!is_instance(wrapper, state.vyr_arr) || kind_of_dtype(get_attr(wrapper, "dtype"_id)) != cells)
            return nb::borrow(value);
        if (is_instance(wrapper, state.vyr_bit_register))
            refuse_real_for_bits(name,
                                 compose({nb::str("The bit "), node_source(target), nb::str(" of the bit register "),
                                          name}),
                                 false, node_source(source));
    }
    return of_kind(name, cells, value, source);
}

// An array literal's values, each as a cell of the array `wrapper` takes it.
nb::object fit_cells(nb::handle wrapper, nb::handle name, nb::handle source, nb::handle values) {
    const Kind cells = kind_of_dtype(get_attr(wrapper, "dtype"_id));
    if (cells != Kind::INTEGER && cells != Kind::BOOLEAN) return nb::borrow(values);
    nb::object items = PyList_CheckExact(values.ptr()) ? nb::borrow(values)
                                                        : steal_or_throw(PySequence_List(values.ptr()));
    // The values as the source writes them, where it is an array literal of as many.
    nb::object written = nb::getattr(source, "values", nb::none());
    if (!PyList_CheckExact(written.ptr()) || PyList_GET_SIZE(written.ptr()) != PyList_GET_SIZE(items.ptr()))
        written = nb::object();
    const bool bits = is_instance(wrapper, state.vyr_bit_register);
    nb::object fitted;  // a copy, made where the first value changes
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        nb::object item = nb::borrow(PyList_GET_ITEM(items.ptr(), i));
        nb::object taken;
        if (kind_of(item) == Kind::REAL) {
            nb::object shown_value = written.is_valid()
                                         ? node_source(steal_or_throw(PySequence_GetItem(written.ptr(), i)))
                                         : nb::object(repr_of(item));
            if (bits)
                refuse_real_for_bits(name,
                                     compose({nb::str("The bit "), name, nb::str("["), nb::int_(i),
                                              nb::str("] of the bit register "), name}),
                                     false, shown_value);
            taken = converted_real(name, cells, item, [&] { return shown_value; });
        } else {
            taken = of_kind(name, cells, item, nb::handle());
        }
        if (taken.is(item)) continue;
        if (!fitted.is_valid()) fitted = steal_or_throw(PySequence_List(items.ptr()));
        check_status(PyList_SetItem(fitted.ptr(), i, taken.release().ptr()));
    }
    return fitted.is_valid() ? fitted : nb::borrow(values);
}

// What a translated right-hand side becomes for its target. Where the source
// names a whole array, translation gives the array (a vk array variable, or a
// list for an array literal): a scalar target, or one cell, takes a bit
// register as its number (its truth for a bool) and refuses any other array;
// an array target takes an array literal or another array of its own size and
// element type, cell by cell, and a bit register also a number, by its bits.
// A scalar, a cell and the cells of a literal take values of their own kind.
nb::object fit_to_target(nb::handle self, nb::handle target, nb::handle source, nb::handle value) {
    const bool single = is_plain(value) || is_instance(value, state.vyr_scalar_expression);
    const bool bit_string = Py_IS_TYPE(source.ptr(), reinterpret_cast<PyTypeObject*>(state.bitstring_literal.ptr()));
    // One value into one cell is the cell's, unless its bits are counted.
    if (single && !bit_string && !is_instance(target, state.identifier)) return fit_to_cell(self, target, source, value);
    nb::object name;
    bool cell = false;
    if (is_instance(target, state.identifier)) {
        name = get_attr(target, "name"_id);
    } else if (is_instance(target, state.indexed_identifier)) {
        name = get_attr(get_attr(target, "name"_id), "name"_id);
        cell = true;
    } else {
        return nb::borrow(value);  // the assignment refuses the target itself
    }
    if (!PyUnicode_Check(name.ptr())) return nb::borrow(value);
    nb::object context = get_attr(self, "_context"_id);
    nb::object wrapper = call_method(context, "_get_var"_id, name);
    if (single) {
        if (bit_string) refuse_bit_string_of_another_length(wrapper, name, cell, source);
        // An array would take the one value in every cell.
        if (!cell && is_instance(wrapper, state.vyr_arr) && !is_instance(wrapper, state.vyr_bit_register))
            refuse_shape(name, {nb::str("The array "), name, nb::str(" of "), get_attr(wrapper, "size"_id),
                                nb::str(" cells cannot be assigned the single value "), node_source(source),
                                nb::str("; an array takes an array literal or another array of its size, and one "
                                        "value goes into one cell.")});
        if (cell) return fit_to_cell(self, target, source, value);
        // A register takes a number by its bits, as an integer.
        if (is_instance(wrapper, state.vyr_bit_register)) {
            if (kind_of(value) == Kind::REAL)
                refuse_real_for_bits(name, compose({nb::str("The bit register "), name, nb::str(" of "),
                                                    bits_of(get_attr(wrapper, "size"_id))}),
                                     true, node_source(source));
            return nb::borrow(value);
        }
        return of_kind(name, kind_of_dtype(get_attr(wrapper, "dtype"_id)), value, source);
    }
    const bool literal = PyList_Check(value.ptr());
    if (cell || !is_instance(wrapper, state.vyr_arr)) {
        nb::object target_text = cell ? compose({nb::str("a cell of the array "), name}) : nb::str(name);
        if (literal)
            refuse_shape(name, {nb::str("An array literal cannot be assigned to "), target_text,
                                nb::str(", which holds one value.")});
        nb::handle bool_type(reinterpret_cast<PyObject*>(&PyBool_Type));
        nb::object as_truth = nb::bool_(get_attr(wrapper, "dtype"_id).is(bool_type));
        return call(state.scalar_value, value, source, variables_db_of(self), as_truth);
    }

    nb::object size = get_attr(wrapper, "size"_id);
    if (literal) {
        nb::object length = nb::int_(PyList_GET_SIZE(value.ptr()));
        if (!truth(steal_or_throw(PyObject_RichCompare(length.ptr(), size.ptr(), Py_EQ))))
            refuse_shape(name, {nb::str("The array "), name, nb::str(" has "), size, nb::str(" cells, but it is given "),
                                length, nb::str(" values; an array literal needs one value per cell.")});
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value.ptr()); ++i)
            if (PyList_Check(PyList_GET_ITEM(value.ptr(), i)))
                refuse_shape(name, {nb::str("The array "), name,
                                    nb::str(" is one-dimensional, but its value holds a nested array literal; "
                                            "multi-dimensional arrays are not lowered.")});
        return fit_cells(wrapper, name, source, value);
    }
    // A whole array: the array that the source names.
    nb::object source_name = is_instance(source, state.identifier) ? get_attr(source, "name"_id) : nb::object();
    nb::object source_wrapper;
    if (source_name.is_valid() && PyUnicode_Check(source_name.ptr()))
        source_wrapper = call_method(context, "_get_var"_id, source_name);
    if (!source_wrapper.is_valid() || !is_instance(source_wrapper, state.vyr_arr))
        refuse_shape(name, {nb::str("The array "), name, nb::str(" can be assigned only an array literal or "
                                                                 "another array, not "), source});
    nb::object source_size = get_attr(source_wrapper, "size"_id);
    if (!truth(steal_or_throw(PyObject_RichCompare(source_size.ptr(), size.ptr(), Py_EQ))))
        refuse_shape(name, {nb::str("The array "), name, nb::str(" of size "), size,
                            nb::str(" cannot be assigned the array "), source_name, nb::str(" of size "), source_size,
                            nb::str("; an array takes an array of its own size.")});
    // Cells of another element type would be converted one by one, 1.5 into 1.
    const Kind cells_hold = kind_of_dtype(get_attr(wrapper, "dtype"_id));
    const Kind source_holds = kind_of_dtype(get_attr(source_wrapper, "dtype"_id));
    if (cells_hold != source_holds)
        refuse_type(name, {nb::str("The array "), name, nb::str(" of "), nb::str(holding(cells_hold, true)),
                           nb::str(" cannot be assigned the array "), source_name, nb::str(" of "),
                           nb::str(holding(source_holds, true)),
                           nb::str("; an array takes only an array of its own element type.")});
    const Py_ssize_t cells = PyNumber_AsSsize_t(size.ptr(), PyExc_OverflowError);
    if (cells == -1 && PyErr_Occurred()) throw nb::python_error();
    nb::object copied = steal_or_throw(PyList_New(0));
    for (Py_ssize_t i = 0; i < cells; ++i)
        check_status(PyList_Append(
            copied.ptr(), call_method(source_wrapper, "get_single_index"_id, nb::int_(i)).ptr()));
    return copied;
}

// Whether `value` is a number that a whole bit register takes bit by bit
// while it reads that register: each bit's assignment would compute it again
// from bits that the assignments before it have already written, so it is
// computed once, before the first.
bool reads_the_register_it_spreads_over(nb::handle self, nb::handle target, nb::handle source, nb::handle value) {
    if (is_plain(value) || !is_instance(value, state.vyr_scalar_expression)) return false;
    if (!Py_IS_TYPE(target.ptr(), reinterpret_cast<PyTypeObject*>(state.identifier.ptr()))) return false;
    nb::object name = get_attr(target, "name"_id);
    if (!PyUnicode_Check(name.ptr())) return false;
    nb::object names = steal_or_throw(PySet_New(nullptr));
    collect_read_names(source, names);
    if (!contains(names, name)) return false;
    nb::object wrapper = call_method(get_attr(self, "_context"_id), "_get_var"_id, name);
    return is_instance(wrapper, state.vyr_bit_register) &&
           truth(steal_or_throw(PyObject_RichCompare(get_attr(wrapper, "size"_id).ptr(), nb::int_(1).ptr(), Py_GT)));
}

nb::object visit_classical_assignment(nb::handle self, nb::handle node) {
    nb::object op = get_attr(node, "op"_id);
    int equal = PyObject_RichCompareBool(op.ptr(), state.plain_assignment.ptr(), Py_EQ);
    check_status(equal);
    check_supported(equal != 0, "Only regular assignment is supported");
    nb::object target = get_attr(node, "lvalue"_id);
    nb::object source = get_attr(node, "rvalue"_id);
    Typed typed = translate_typed(self, source);
    // A duration or stretch variable takes durations, every other variable numbers.
    nb::object name = target_name(target);
    if (name.is_valid() && PyUnicode_Check(name.ptr())) {
        const bool durations = target_holds_durations(self, name, typed.duration);
        require(typed, durations ? Takes::DURATION : Takes::NUMBER, source,
                [&] { return compose({nb::str("assignment to "), node_source(target)}); });
    }
    nb::object value = fit_to_target(self, target, source, typed.value);
    if (reads_the_register_it_spreads_over(self, target, source, value)) value = read_once(value);
    assign_to_target(self, target, value);
    return nb::none();
}

// --- CodeGenerationVisitor: control flow ------------------------------------------

// Lowers `block` inside the vk block that `context_creator(*args)` opens; the
// block is left also when a statement fails.
void run_block_own(nb::handle self, nb::handle context_creator, nb::handle block, nb::handle args) {
    require_list(block, "block");
    nb::object manager = call_unpacked(context_creator, args);
    with_context(manager, [&] {
        // Read live, as a for statement over the list would.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(block.ptr()); ++i)
            visit_child(self, nb::borrow(PyList_GET_ITEM(block.ptr(), i)));
    });
}

nb::object run_block_method(nb::handle self, nb::handle context_creator, nb::handle block, nb::args args) {
    run_block_own(self, context_creator, block, args);
    return nb::none();
}

void visit_all(nb::handle self, nb::handle statements) {
    nb::object iterator = steal_or_throw(PyObject_GetIter(statements.ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) visit_child(self, nb::steal(raw));
    if (PyErr_Occurred()) throw nb::python_error();
}

nb::object visit_branching_statement(nb::handle self, nb::handle node) {
    nb::object if_block = get_attr(node, "if_block"_id);
    nb::object else_block = get_attr(node, "else_block"_id);
    const bool has_if = size_of(if_block) > 0;
    const bool has_else = size_of(else_block) > 0;
    // The condition is read even when both branches are empty: what it names
    // is checked as anywhere else, and nothing is emitted for it.
    nb::object condition = translate_scalar(self, get_attr(node, "condition"_id), true, Takes::NUMBER,
                                            [] { return nb::str("condition of the if statement"); });
    if (!has_if && !has_else) return nb::none();
    if (!has_if) {
        in_block(self, [&] { run_block(self, state.if_, else_block, nb::make_tuple(negation(condition))); });
        return nb::none();
    }
    in_block(self, [&] { run_block(self, state.if_, if_block, nb::make_tuple(condition)); });
    if (has_else) in_block(self, [&] { run_block(self, state.else_, else_block, nb::tuple()); });
    return nb::none();
}

nb::object visit_while_loop(nb::handle self, nb::handle node) {
    nb::object block = get_attr(node, "block"_id);
    nb::object condition = translate_scalar(self, get_attr(node, "while_condition"_id), true, Takes::NUMBER,
                                            [] { return nb::str("condition of the while loop"); });
    // A loop with nothing to run emits nothing, even one whose condition
    // never becomes false; its condition is checked all the same.
    if (size_of(block) == 0) return nb::none();
    in_block(self, [&] { run_block(self, state.while_, block, nb::make_tuple(condition)); });
    return nb::none();
}

// The loop variable's name; an anonymous `_` is numbered by the visitor's counter.
nb::object loop_variable_name(nb::handle self, nb::handle node) {
    nb::object name = get_attr(get_attr(node, "identifier"_id), "name"_id);
    if (!PyUnicode_Check(name.ptr()) || PyUnicode_Compare(name.ptr(), "_"_id.ptr()) != 0) {
        if (PyErr_Occurred()) throw nb::python_error();
        return name;
    }
    nb::object counter = get_attr(self, "_underscore_counter"_id);
    nb::object numbered = compose({"_"_id, counter});
    nb::object one = nb::int_(1);
    set_attr(self, "_underscore_counter"_id, steal_or_throw(PyNumber_Add(counter.ptr(), one.ptr())));
    return numbered;
}

// Whether the loop goes on, the end included, in the direction of the step: a
// step known now picks the comparison (the head's checks refuse the step 0),
// one known only at run time tests its own sign, and a run-time step of zero
// runs no iteration rather than forever.
nb::object range_condition(nb::handle variable, nb::handle end, nb::handle step) {
    auto compare = [](nb::handle a, nb::handle b, int op) {
        return steal_or_throw(PyObject_RichCompare(a.ptr(), b.ptr(), op));
    };
    nb::object zero = nb::int_(0);
    if (is_plain(step)) return compare(variable, end, truth(compare(step, zero, Py_GT)) ? Py_LE : Py_GE);
    nb::object upward = steal_or_throw(
        PyNumber_And(compare(step, zero, Py_GT).ptr(), compare(variable, end, Py_LE).ptr()));
    nb::object downward = steal_or_throw(
        PyNumber_And(compare(step, zero, Py_LT).ptr(), compare(variable, end, Py_GE).ptr()));
    return steal_or_throw(PyNumber_Or(upward.ptr(), downward.ptr()));
}

// --- loops over ranges that their bodies change --------------------------------

// The block of one counted loop: the compiler's counter runs the range, and
// the loop variable takes its value at the start of each turn, so what the
// body assigns to it lasts only for the rest of that turn.
nb::object counted_loop_init(nb::handle self, nb::handle variable, nb::handle counter, nb::handle start,
                             nb::handle condition, nb::handle update) {
    set_attr(self, "_variable"_id, variable);
    set_attr(self, "_counter"_id, counter);
    set_attr(self, "_loop"_id, call(state.for_, counter, start, condition, update));
    return nb::none();
}

nb::object counted_loop_enter(nb::handle self) {
    set_attr(self, "_exit"_id, enter_context(get_attr(self, "_loop"_id)));
    call(state.assign, get_attr(self, "_variable"_id), get_attr(self, "_counter"_id));
    return nb::borrow(self);
}

nb::object counted_loop_exit(nb::handle self, nb::handle type, nb::handle value, nb::handle traceback) {
    return call(get_attr(self, "_exit"_id), type, value, traceback);
}

// What a for loop's head gives, read in the enclosing scope, before the loop
// variable can hide an outer variable of its name (`for int i in [0:i]`):
// what it runs over, and that translated.
struct LoopHead {
    enum { VALUES, ARRAY, RANGE, UNSUPPORTED } kind = UNSUPPORTED;
    nb::object set_declaration, type, source_name;
    bool duration_variable = false;
    nb::object array;                   // ARRAY: the SDK's array
    nb::object first, last, increment;  // RANGE: the translated start, end and step
    nb::object values;                  // VALUES: the set's values, once checked against the loop variable
};

LoopHead read_loop_head(nb::handle self, nb::handle node) {
    LoopHead head;
    head.source_name = get_attr(get_attr(node, "identifier"_id), "name"_id);
    head.set_declaration = get_attr(node, "set_declaration"_id);
    head.type = get_attr(node, "type"_id);
    head.duration_variable = typing::is_duration_type(head.type);
    nb::handle source_name = head.source_name, set_declaration = head.set_declaration, type = head.type;
    nb::object context = get_attr(self, "_context"_id);
    if (is_instance(set_declaration, state.discrete_set)) {
        head.kind = LoopHead::VALUES;
    } else if (is_instance(set_declaration, state.identifier)) {
        head.kind = LoopHead::ARRAY;
        nb::object array_name = get_attr(set_declaration, "name"_id);
        head.array = steal_or_throw(PyObject_GetItem(context.ptr(), array_name.ptr()));
        nb::object wrapper = call_method(context, "_get_var"_id, array_name);
        // A scalar has no cells to run over; the SDK would be handed one value.
        if (!is_instance(wrapper, state.vyr_arr))
            raise_text(state.invalid_operand.ptr(),
                       compose({nb::str("The for loop over "), source_name, nb::str(" runs over "), array_name,
                                nb::str(", which holds one value; a for loop runs over a range, a set or an "
                                        "array.")}));
        // Each turn assigns a cell to the loop variable: durations go into a
        // duration, numbers into a number.
        const bool durations = holds_durations(wrapper);
        if (durations != head.duration_variable)
            raise_text(state.duration_type_error.ptr(),
                       compose({nb::str("The for loop over "), source_name, nb::str(" declares "), source_name,
                                nb::str(" as "), node_source(type), nb::str(", but the array "), array_name,
                                nb::str(durations ? " it runs over holds durations; OpenQASM converts no duration into "
                                                    "a number."
                                                  : " it runs over holds numbers; OpenQASM converts no number into a "
                                                    "duration.")}));
    } else if (is_instance(set_declaration, state.range_definition)) {
        head.kind = LoopHead::RANGE;
        nb::object start = get_attr(set_declaration, "start"_id);
        nb::object end = get_attr(set_declaration, "end"_id);
        if (!is_instance(start, state.expression) || !is_instance(end, state.expression))
            raise_text(PyExc_AssertionError, compose({nb::str("The range of the loop over '"), source_name,
                                                      nb::str("' needs a start and an end.")}));
        // A loop over durations runs over a range of durations, stepping by
        // one: a number would step it by that many clock cycles.
        const Takes takes = head.duration_variable ? Takes::DURATION : Takes::NUMBER;
        auto describe = [&] { return compose({nb::str("range of the loop over "), source_name}); };
        head.first = translate_scalar(self, start, false, takes, describe);
        head.last = translate_scalar(self, end, false, takes, describe);
        nb::object step = get_attr(set_declaration, "step"_id);
        if (head.duration_variable && step.is_none())
            raise_text(state.duration_type_error.ptr(),
                       compose({nb::str("The range of the loop over "), source_name, nb::str(" ["),
                                node_source(start), nb::str(":"), node_source(end),
                                nb::str("] has no step, but its values are durations; a range of durations needs a "
                                        "duration step (as [0ns:4ns:100ns]).")}));
        head.increment =
            step.is_none() ? nb::object(nb::int_(1)) : translate_scalar(self, step, false, takes, describe);
    }
    return head;
}

// The checks of a loop's head against its variable, which holds integers
// when `integer`; a set's values are translated here, into `head.values`.
void check_loop_head(nb::handle self, LoopHead& head, bool integer) {
    nb::handle source_name = head.source_name, set_declaration = head.set_declaration;
    if (head.kind == LoopHead::UNSUPPORTED)
        raise_text(PyExc_TypeError, compose({nb::str("Type of set declaration - "),
                                             nb::handle(set_declaration.type()), nb::str(" is not supported")}));
    // An integer loop variable runs over integers: a real step would count
    // it on in fractions (by 0.5 it never reaches its end), and a real
    // bound or value would be cut to an integer.
    auto refuse_real = [&](std::initializer_list<nb::handle> what) {
        refuse_type(source_name, {nb::str("The for loop over "), source_name, nb::str(" declares "), source_name,
                                  nb::str(" as "), node_source(head.type), nb::str(", but "), compose(what),
                                  nb::str("; an integer loop variable runs over integers.")});
    };
    if (head.kind == LoopHead::RANGE) {
        if (integer) {
            const std::pair<const char*, nb::handle> bounds[] = {
                {"start", head.first}, {"end", head.last}, {"step", head.increment}};
            for (const auto& [field, bound] : bounds)
                if (kind_of(bound) == Kind::REAL)
                    refuse_real({nb::str("the "), nb::str(field), nb::str(" "),
                                 node_source(nb::getattr(set_declaration, field)),
                                 nb::str(" of its range is not an integer")});
        }
        if (is_plain(head.increment) &&
            !truth(steal_or_throw(PyObject_RichCompare(head.increment.ptr(), nb::int_(0).ptr(), Py_NE))))
            raise_text(PyExc_ValueError, compose({nb::str("The range of the loop over '"), source_name,
                                                  nb::str("' has the step 0, so it would never end.")}));
    }
    if (integer && head.kind == LoopHead::ARRAY && kind_of_dtype(get_attr(head.array, "dtype"_id)) == Kind::REAL)
        refuse_real({nb::str("the array "), get_attr(set_declaration, "name"_id), nb::str(" it runs over holds "),
                     nb::str(holding(Kind::REAL, true)), nb::str(", not integers")});
    if (head.kind != LoopHead::VALUES) return;
    head.values = nb::list();
    // The values are known when compiling: literals, durations among them,
    // which a duration variable takes and a number variable does not.
    nb::object iterator = steal_or_throw(PyObject_GetIter(get_attr(set_declaration, "values"_id).ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object item = nb::steal(raw);
        if (!is_instance(item, state.duration_literal) && !truth(call(state.is_qasm_literal, item)))
            raise_text(PyExc_NotImplementedError, nb::str("Non literal values are not supported by VYR."));
        Typed typed = translate_typed(self, item);
        require(typed, head.duration_variable ? Takes::DURATION : Takes::NUMBER, item,
                [&] { return compose({nb::str("for loop over "), source_name}); });
        if (integer && kind_of(typed.value) == Kind::REAL)
            refuse_real({nb::str("its set holds "), node_source(item), nb::str(", which is not an integer")});
        check_status(PyList_Append(head.values.ptr(), typed.value.ptr()));
    }
    if (PyErr_Occurred()) throw nb::python_error();
}

// Refused under -O too: the SDK would be handed an array as the loop variable.
[[noreturn]] void refuse_array_loop_variable(nb::handle name) {
    raise_text(PyExc_AssertionError, compose({nb::str("The variable of a for loop holds one value; "), name,
                                              nb::str(" is declared as an array.")}));
}

nb::object visit_for_in_loop(nb::handle self, nb::handle node) {
    nb::object block = get_attr(node, "block"_id);
    if (size_of(block) == 0) {
        // Nothing to run, so nothing is emitted: the loop variable is not
        // declared and takes no number, but the head is read and checked
        // against the variable the loop would declare.
        LoopHead head = read_loop_head(self, node);
        nb::object var = get_attr(call(state.vyr_declaration, head.source_name, head.type), "var"_id);
        if (is_instance(var, state.vyr_arr)) refuse_array_loop_variable(head.source_name);
        check_loop_head(self, head, kind_of_dtype(get_attr(var, "dtype"_id)) == Kind::INTEGER);
        return nb::none();
    }
    nb::object name = loop_variable_name(self, node);
    nb::object context = get_attr(self, "_context"_id);
    LoopHead head = read_loop_head(self, node);
    const bool counts_apart =
        head.kind == LoopHead::RANGE && body_changes_its_range(node, head.source_name, head.set_declaration);

    in_block(self, [&] {
        nb::object declaration = call(state.vyr_declaration, name, head.type);
        nb::object declared = declare_variable(self, declaration);
        nb::object variable = steal_or_throw(PyObject_GetItem(context.ptr(), declared.ptr()));
        if (!is_instance(variable, state.vyr_variable)) refuse_array_loop_variable(declared);
        check_loop_head(self, head, kind_of_dtype(get_attr(variable, "dtype"_id)) == Kind::INTEGER);
        switch (head.kind) {
            case LoopHead::VALUES:
                run_block(self, state.for_each_, block, nb::make_tuple(variable, head.values));
                break;
            case LoopHead::ARRAY: run_block(self, state.for_each_, block, nb::make_tuple(variable, head.array)); break;
            case LoopHead::RANGE: {
                if (!counts_apart) {
                    nb::object condition = range_condition(variable, head.last, head.increment);
                    nb::object update = steal_or_throw(PyNumber_Add(variable.ptr(), head.increment.ptr()));
                    run_block(self, state.for_, block, nb::make_tuple(variable, head.first, condition, update));
                    break;
                }
                nb::object end = read_once(head.last);
                nb::object step = read_once(head.increment);
                nb::object counter = call(state.declare, get_attr(variable, "dtype"_id));
                nb::object condition = range_condition(counter, end, step);
                nb::object update = steal_or_throw(PyNumber_Add(counter.ptr(), step.ptr()));
                run_block(self, state.counted_loop, block,
                          nb::make_tuple(variable, counter, head.first, condition, update));
                break;
            }
            case LoopHead::UNSUPPORTED: break;  // refused by the checks
        }
    });
    return nb::none();
}

// The number of switch case bodies the lowering is in, one more while `body` runs.
template <typename Body>
void in_case_body(nb::handle self, Body&& body) {
    nb::object outer = steal_or_throw(PyLong_FromLong(case_bodies(self)));
    nb::object inner = steal_or_throw(PyNumber_Add(outer.ptr(), nb::int_(1).ptr()));
    set_attr(self, "_case_bodies"_id, inner);
    try {
        body();
    } catch (...) {
        try {
            set_attr(self, "_case_bodies"_id, outer);
        } catch (...) {
            // The body's error is the one to report.
        }
        throw;
    }
    set_attr(self, "_case_bodies"_id, outer);
}

[[noreturn]] void refuse_switch(nb::handle node, std::initializer_list<nb::handle> why) {
    nb::object text = compose(why);
    raise_error(call(state.switch_case_exception,
                     compose({nb::str("The switch on "), node_source(get_attr(node, "target"_id)), text})));
}

// A switch's target and case values are integers, as OpenQASM has them: a
// real would be compared with the case values as it is, so that 1.5 would
// match no case and `case 1.5` would label a value no integer target takes.
// `written` is the case value as the source writes it, or empty for the target.
void refuse_real_label(nb::handle node, nb::handle label, nb::handle written = nb::handle()) {
    if (kind_of(label) != Kind::REAL) return;
    nb::object target = node_source(get_attr(node, "target"_id));
    nb::object value = written.is_valid() ? node_source(written) : target;
    raise_text(state.invalid_operand.ptr(),
               compose({nb::str("The switch on "), target,
                        nb::str(written.is_valid() ? " has the real case value " : " reads the real value "), value,
                        nb::str("; a switch's target and case values are integers, and only a cast, as int("), value,
                        nb::str("), converts a real.")}));
}

nb::object visit_switch_statement(nb::handle self, nb::handle node) {
    nb::object target = translate_scalar(self, get_attr(node, "target"_id), false, Takes::NUMBER,
                                         [] { return nb::str("target of the switch"); });
    refuse_real_label(node, target);
    nb::object cases = get_attr(node, "cases"_id);
    if (size_of(cases) == 0) refuse_switch(node, {nb::str(" has no case; a switch needs at least one.")});
    // Values known now, with the case value as written that gave each: a
    // value twice would label two cases, of which only the first can run.
    nb::object labels = steal_or_throw(PyList_New(0));
    nb::object default_block = get_attr(node, "default"_id);
    // A switch without default whose every case does something needs no fall-through guard.
    bool unsafe = default_block.is_none();
    nb::object pairs = steal_or_throw(PySequence_List(cases.ptr()));
    for (Py_ssize_t i = 0; unsafe && i < PyList_GET_SIZE(pairs.ptr()); ++i) {
        auto [values, body] = unpack_pair(PyList_GET_ITEM(pairs.ptr(), i));
        if (size_of(get_attr(body, "statements"_id)) == 0) unsafe = false;
    }
    nb::object manager = call(state.switch_, target, nb::bool_(unsafe));
    with_context(manager, [&] {
        nb::object iterator = steal_or_throw(PyObject_GetIter(cases.ptr()));
        while (PyObject* raw = PyIter_Next(iterator.ptr())) {
            nb::object pair = nb::steal(raw);
            auto [values, body] = unpack_pair(pair);
            nb::object translated = steal_or_throw(PyList_New(0));
            nb::object value_iterator = steal_or_throw(PyObject_GetIter(values.ptr()));
            while (PyObject* raw = PyIter_Next(value_iterator.ptr())) {
                nb::object value = nb::steal(raw);
                nb::object label = translate_scalar(self, value, false, Takes::NUMBER, [&] {
                    return compose({nb::str("case value of the switch on "), node_source(get_attr(node, "target"_id))});
                });
                refuse_real_label(node, label, value);
                if (is_plain(label)) {
                    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(labels.ptr()); ++k) {
                        int same = PyObject_RichCompareBool(PyList_GET_ITEM(labels.ptr(), k), label.ptr(), Py_EQ);
                        check_status(same);
                        if (same)
                            refuse_switch(node, {nb::str(" has the case value "), node_source(value),
                                                 nb::str(" twice; a value labels one case only.")});
                    }
                    check_status(PyList_Append(labels.ptr(), label.ptr()));
                }
                check_status(PyList_Append(translated.ptr(), label.ptr()));
            }
            if (PyErr_Occurred()) throw nb::python_error();
            nb::object statements = get_attr(body, "statements"_id);
            for (Py_ssize_t k = 0; k < PyList_GET_SIZE(translated.ptr()); ++k) {
                nb::object value = nb::borrow(PyList_GET_ITEM(translated.ptr(), k));
                in_case_body(self, [&] {
                    in_block(self, [&] { run_block(self, state.case_, statements, nb::make_tuple(value)); });
                });
            }
        }
        if (PyErr_Occurred()) throw nb::python_error();
        if (!default_block.is_none()) {
            nb::object statements = get_attr(default_block, "statements"_id);
            in_block(self, [&] { run_block(self, state.default_, statements, nb::tuple()); });
        }
    });
    return nb::none();
}

nb::object visit_compound_statement(nb::handle self, nb::handle node) {
    nb::object statements = get_attr(node, "statements"_id);
    in_block(self, [&] { visit_all(self, statements); });
    return nb::none();
}

nb::object visit_box(nb::handle self, nb::handle node) {
    // A box's duration has no effect, but it must be one.
    nb::object duration = get_attr(node, "duration"_id);
    if (!duration.is_none()) {
        Typed typed = translate_typed(self, duration);
        require(typed, Takes::DURATION, duration, [] { return nb::str("box"); });
        if (is_negative(typed.value)) refuse_negative_duration(duration, nb::str("box"));
    }
    nb::object body = get_attr(node, "body"_id);
    in_block(self, [&] { visit_all(self, body); });
    return nb::none();
}

// --- Python faces of the operations --------------------------------------------------

nb::object declare_variable_method(nb::handle self, nb::handle node) { return declare_variable_own(self, node); }

nb::object assign_to_target_method(nb::handle self, nb::handle target, nb::handle value) {
    return assign_to_target_own(self, target, value);
}

// --- CodeGeneration ---------------------------------------------------------------

nb::object code_generation_init(nb::handle self, nb::handle machine_profile, nb::handle inputs) {
    call(state.step_init, self);
    set_attr(self, "_machine_profile"_id, machine_profile);
    nb::object held = !inputs.is_none() && truth(inputs) ? nb::borrow(inputs) : nb::object(nb::dict());
    set_attr(self, "_inputs"_id, held);
    return nb::none();
}

nb::object code_generation_call(nb::handle self, nb::handle program) {
    if (assertions_enabled()) check_assertion(is_instance(program, state.open_qasm_program));
    const bool scope_open = truth(call(state.is_inside_scope));
    nb::object scope = scope_open ? nb::none() : call(state.program);
    nb::object result = call(state.vyr1_program, scope);

    nb::object visitor_args = nb::make_tuple(get_attr(self, "_machine_profile"_id), result, get_attr(self, "_inputs"_id));
    nb::dict visitor_kwargs;
    visitor_kwargs["_is_inside_scope"] = nb::bool_(truth(call(state.is_inside_scope)));
    nb::object visitor = steal_or_throw(
        PyObject_Call(state.visitor_class.ptr(), visitor_args.ptr(), visitor_kwargs.ptr()));

    nb::object tree = nb::getattr(program, "ast");
    if (scope.is_none()) {
        visit_child(visitor, tree);
    } else {
        with_context(scope, [&] { visit_child(visitor, tree); });
    }
    restore_every_variable(visitor);
    return result;
}


// --- CodeGenerationVisitor: reaching overridable operations -------------------------

// `self.name(*leading, *rest)` through Python, for an override.
nb::object call_override(nb::handle self, nb::handle name, std::initializer_list<nb::handle> leading,
                         nb::handle rest) {
    std::vector<PyObject*> arguments{self.ptr()};
    for (nb::handle argument : leading) arguments.push_back(argument.ptr());
    if (rest) {
        nb::object items = steal_or_throw(PySequence_Tuple(rest.ptr()));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.ptr()); ++i)
            arguments.push_back(PyTuple_GET_ITEM(items.ptr(), i));
        return steal_or_throw(PyObject_VectorcallMethod(name.ptr(), arguments.data(), arguments.size(), nullptr));
    }
    return steal_or_throw(PyObject_VectorcallMethod(name.ptr(), arguments.data(), arguments.size(), nullptr));
}

nb::object translate(nb::handle self, nb::handle expression) {
    const OwnMethod& method = state.translate_expression_method;
    if (method.reached_by(self)) return translate_own(self, expression);
    return call_override(self, method.name, {expression});
}

nb::object run_operation(nb::handle self, nb::handle name, nb::handle qubits, nb::handle params) {
    const OwnMethod& method = state.run_operation_method;
    if (method.reached_by(self)) return run_operation_own(self, name, qubits, params);
    return call_override(self, method.name, {name, qubits}, params);
}

nb::object declare_variable(nb::handle self, nb::handle node) {
    const OwnMethod& method = state.declare_variable_method;
    if (method.reached_by(self)) return declare_variable_own(self, node);
    return call_override(self, method.name, {node});
}

nb::object assign_to_target(nb::handle self, nb::handle target, nb::handle value) {
    const OwnMethod& method = state.assign_to_target_method;
    if (method.reached_by(self)) return assign_to_target_own(self, target, value);
    return call_override(self, method.name, {target, value});
}

void run_block(nb::handle self, nb::handle context_creator, nb::handle block, nb::handle args) {
    const OwnMethod& method = state.run_block_in_context_method;
    if (method.reached_by(self)) {
        run_block_own(self, context_creator, block, args);
        return;
    }
    call_override(self, method.name, {context_creator, block}, args);
}

}  // namespace

NB_MODULE(target_lowering, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "corvane.vyr_slot", {"VyrArr"});
    import_from(m, "corvane.programs", {"Program", "OpenQasmProgram", "Vyr1Program"});
    import_from(m, "corvane.passes.code_generation.translate_expression",
                {"translate_expression", "extract_single_index"});
    import_from(m, "corvane.passes.pipeline_phase", {"Step"});
    import_from(m, "corvane.passes.code_generation.input_binding", {"VyrDeclaration"});
    import_from(m, "corvane.configurations.machine_profile", {"MachineProfile"});
    import_from(m, "corvane.configurations.hardware_qubit", {"HardwareQubit"});
    import_from(m, "corvane.passes.utils", {"is_inside_scope", "is_qasm_literal"});
    import_from(m, "openqasm3", {"ast"});
    import_from(m, "openqasm3.visitor", {"QASMVisitor"});
    import_from(m, "vk", {"vyr"});
    import_from(m, "vk.vyr.type_hints", {"ScalarOfAnyType", "VyrVariable"});
    import_module("corvane.vyr_slot");
    nb::object programs = import_module("corvane.programs");
    state.translate_expression =
        keep_attr("corvane.passes.code_generation.translate_expression", "translate_expression");
    state.extract_single_index =
        keep_attr("corvane.passes.code_generation.translate_expression", "extract_single_index");
    state.scalar_value = keep_attr("corvane.passes.code_generation.translate_expression", "_scalar_value");
    state.logical_not = keep_attr("corvane.passes.code_generation.translate_expression", "_logical_not");
    state.translate_typed = keep_attr("corvane.passes.code_generation.translate_expression", "_translate_typed");
    state.is_duration = keep_attr("corvane.passes.code_generation.translate_expression", "_is_duration");
    state.duration_type_error =
        keep_attr("corvane.passes.code_generation.translate_expression", "DurationTypeException");
    state.out_of_range = keep_attr("corvane.passes.code_generation.translate_expression", "ValueOutOfRangeException");
    state.invalid_operand = keep_attr("corvane.passes.code_generation.translate_expression", "InvalidOperandException");
    state.vyr_duration_slot = keep_attr("corvane.vyr_slot", "VyrDurationSlot");
    state.vyr_duration_arr = keep_attr("corvane.vyr_slot", "VyrDurationArr");
    nb::object step = import_attr("corvane.passes.pipeline_phase", "Step");
    state.vyr_declaration = keep_attr("corvane.passes.code_generation.input_binding", "VyrDeclaration");
    import_module("corvane.configurations.machine_profile");
    state.hardware_qubit = keep_attr("corvane.configurations.hardware_qubit", "HardwareQubit");
    nb::object utils = import_module("corvane.passes.utils");
    state.is_inside_scope = keep(utils.attr("is_inside_scope"));
    state.is_qasm_literal = keep(utils.attr("is_qasm_literal"));
    state.open_qasm_program = keep(programs.attr("OpenQasmProgram"));
    state.variable_signature = keep(programs.attr("VariableSignature"));
    state.vyr_arr = keep_attr("corvane.vyr_slot", "VyrArr");
    state.vyr_bit_register = keep_attr("corvane.vyr_slot", "VyrBitRegister");
    state.sequence = keep_attr("collections.abc", "Sequence");
    state.vyr1_program = keep(programs.attr("Vyr1Program"));
    state.step_init = keep(step.attr("__init__"));

    nb::object ast = import_module("openqasm3.ast");
    state.identifier = keep(ast.attr("Identifier"));
    state.indexed_identifier = keep(ast.attr("IndexedIdentifier"));
    state.discrete_set = keep(ast.attr("DiscreteSet"));
    state.range_definition = keep(ast.attr("RangeDefinition"));
    state.expression = keep(ast.attr("Expression"));
    state.classical_assignment = keep(ast.attr("ClassicalAssignment"));
    state.measurement_statement = keep(ast.attr("QuantumMeasurementStatement"));
    state.bitstring_literal = keep(ast.attr("BitstringLiteral"));
    state.function_call = keep(ast.attr("FunctionCall"));
    state.plain_assignment = keep(ast.attr("AssignmentOperator")["="]);
    state.duration_literal = keep(ast.attr("DurationLiteral"));
    state.redeclaration_exception = keep_attr("corvane.passes.parsing.validators", "RedeclarationException");
    state.repeated_qubit_exception = keep_attr("corvane.passes.parsing.validators", "RepeatedQubitException");
    state.declaration_placement_exception =
        keep_attr("corvane.passes.parsing.validators", "DeclarationPlacementException");
    state.gate_without_qubits_exception = keep_attr("corvane.passes.parsing.validators", "GateWithoutQubitsException");

    nb::object vyr = import_module("vk.vyr");
    state.program = keep(vyr.attr("program"));
    state.align = keep(vyr.attr("align"));
    state.if_ = keep(vyr.attr("if_"));
    state.else_ = keep(vyr.attr("else_"));
    state.while_ = keep(vyr.attr("while_"));
    state.for_ = keep(vyr.attr("for_"));
    state.for_each_ = keep(vyr.attr("for_each_"));
    state.switch_ = keep(vyr.attr("switch_"));
    state.case_ = keep(vyr.attr("case_"));
    state.default_ = keep(vyr.attr("default_"));
    state.declare = keep(vyr.attr("declare"));
    state.assign = keep(vyr.attr("assign"));
    state.to_int = keep(vyr.attr("Cast").attr("to_int"));
    nb::object type_hints = import_module("vk.vyr.type_hints");
    state.vyr_variable = keep(type_hints.attr("VyrVariable"));
    state.vyr_scalar_expression = keep_attr("vk.vyr._expressions", "VyrScalarExpression");

    state.declare_kwnames = keep(nb::make_tuple(nb::str("is_input"), nb::str("is_output"), nb::str("is_stream")));

    // The caller's values by variable name.
    nb::object mapping = import_attr("collections.abc", "Mapping");
    nb::handle text_type(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    m.attr("Inputs") = mapping[nb::make_tuple(text_type, type_hints.attr("ScalarOfAnyType"))];

    nb::object math = vyr.attr("Math");
    nb::dict table;
    const char* rows[][2] = {{"sqrt", "sqrt"}, {"exp", "exp"}, {"log", "ln"},
                             {"sin", "sin"},   {"cos", "cos"}, {"arctan", "atan"}};
    for (const auto& row : rows) table[row[0]] = math.attr(row[1]);
    m.attr("classical_function_mapping") = table;
    state.classical_function_mapping = keep(table);

    state.missing_input_exception = keep(ClassBuilder(m, "MissingInputException", {nb::handle(PyExc_Exception)})
                                             .doc("An input without a value, while emitting into the caller's scope.")
                                             .def("__init__(self, node: VyrDeclaration) -> None", missing_input_init,
                                                  "Holds the input's declaration node.", "node"_arg)
                                             .def("__str__(self) -> str", missing_input_str, "The error's text.")
                                             .build());

    state.variable_as_gate_exception =
        keep(ClassBuilder(m, "VariableUsedAsGateException", {nb::handle(PyExc_Exception)})
                 .doc("A gate call under the name of a declared classical variable.")
                 .def("__init__(self, name: str) -> None", variable_as_gate_init, "Holds the variable's name.",
                      "name"_arg)
                 .def("__str__(self) -> str", variable_as_gate_str, "The error's text.")
                 .build());
    state.shape_mismatch_exception =
        keep(ClassBuilder(m, "AssignmentShapeException", {nb::handle(PyExc_ValueError)})
                 .doc("A value whose shape does not fit its target: an array where one value is expected, "
                      "one value where an array is, or an array of another size.")
                 .def("__init__(self, name: str, message: str) -> None", shape_mismatch_init,
                      "Holds the target variable's name and the finished text.", "name"_arg, "message"_arg)
                 .def("__str__(self) -> str", shape_mismatch_str, "The error's text.")
                 .build());

    state.type_mismatch_exception =
        keep(ClassBuilder(m, "AssignmentTypeException", {nb::handle(PyExc_TypeError)})
                 .doc("A value of another type than its target holds: a real assigned to the bits of a register, "
                      "an array of another element type, a value given in the inputs of another type than its "
                      "variable, real values for an integer loop variable.")
                 .def("__init__(self, name: str, message: str) -> None", shape_mismatch_init,
                      "Holds the target variable's name and the finished text.", "name"_arg, "message"_arg)
                 .def("__str__(self) -> str", shape_mismatch_str, "The error's text.")
                 .build());
    state.counted_loop =
        keep(ClassBuilder(m, "_CountedLoop")
                 .doc("The vk for block of a loop whose body changes its range or its variable: a counter of the "
                      "compiler's own runs the range, and the loop variable takes its value at each turn.")
                 .def("__init__(self, variable: VyrVariable, counter: VyrVariable, start: typing.Any,"
                      " condition: typing.Any, update: typing.Any) -> None",
                      counted_loop_init, "The for block of the counter, for the loop variable.", "variable"_arg,
                      "counter"_arg, "start"_arg, "condition"_arg, "update"_arg)
                 .def("__enter__(self) -> _CountedLoop", counted_loop_enter,
                      "Opens the for block and gives the loop variable the counter's value.")
                 .def("__exit__(self, type: typing.Any, value: typing.Any, traceback: typing.Any) -> typing.Any",
                      counted_loop_exit, "Leaves the for block.", "type"_arg, "value"_arg, "traceback"_arg)
                 .build());
    state.negative_duration_exception =
        keep(ClassBuilder(m, "NegativeDurationException", {nb::handle(PyExc_ValueError)})
                 .doc("A delay or a box whose duration, as the source fixes it, is negative.")
                 .build());
    state.switch_case_exception =
        keep(ClassBuilder(m, "SwitchCaseException", {nb::handle(PyExc_ValueError)})
                 .doc("A switch without a case, or one whose case values give one value twice.")
                 .build());

    def_function(m, "_align_if_needed(*elements: str) -> None", align_if_needed_function,
                 "Aligns the machine elements when there are two or more.", "elements"_arg);

    ClassBuilder(m, "CodeGeneration", {step})
        .doc("The generation step that lowers the prepared tree into a vyr program.")
        .def("__init__(self, machine_profile: MachineProfile, inputs: Inputs | None = None) -> None",
             code_generation_init, "Lowers for the profile, with the caller's input values.", "machine_profile"_arg,
             "inputs"_arg = nb::none())
        .def("__call__(self, program: Program) -> Vyr1Program", code_generation_call,
             "Lowers the program's tree inside a vk program scope.", "program"_arg)
        .build();

    nb::object visitor = import_attr("openqasm3.visitor", "QASMVisitor")[nb::none()];
    state.visitor_class =
        keep(ClassBuilder(m, "CodeGenerationVisitor", {visitor})
                 .doc("Lowers each statement of the tree into vk calls, inside the open program scope.")
                 .visitor_walk()
                 .def("__init__(self, machine_profile: MachineProfile, program: Vyr1Program, inputs: Inputs,"
                      " _is_inside_scope: bool) -> None",
                      visitor_init, "Lowers into the program, for the profile, with the input values.",
                      "machine_profile"_arg, "program"_arg, "inputs"_arg, "_is_inside_scope"_arg)
                 .def("_translate_expression(self, oq_expression: ast.Expression) -> typing.Any", translate_method,
                      "An expression translated against the variables declared so far.", "oq_expression"_arg)
                 .def_static("get_qubit_indices(qubits: list[HardwareQubit]) -> tuple[int, ...]", get_qubit_indices,
                             "The numbers of the hardware-qubit operands, in order.", "qubits"_arg)
                 .def("run_operation(self, name: str, qubits: list[HardwareQubit], *params: ast.Expression)"
                      " -> typing.Any",
                      run_operation_method, "Calls the operation's implementation between alignments.", "name"_arg,
                      "qubits"_arg, "params"_arg)
                 .def_handler("visit_QuantumGate(self, node: ast.QuantumGate) -> None", visit_quantum_gate,
                              "Lowers a gate call.")
                 .def_handler("visit_QuantumPhase(self, node: ast.QuantumPhase) -> None", visit_quantum_phase,
                              "Lowers a global phase.")
                 .def_handler("visit_DelayInstruction(self, node: ast.DelayInstruction) -> None",
                              visit_delay_instruction, "Lowers a delay.")
                 .def_handler("visit_QuantumReset(self, node: ast.QuantumReset) -> None", visit_quantum_reset,
                              "Lowers a reset.")
                 .def_handler("visit_QuantumBarrier(self, node: ast.QuantumBarrier) -> None", visit_quantum_barrier,
                              "Lowers a barrier.")
                 .def_handler("visit_FunctionCall(self, node: ast.FunctionCall) -> typing.Any", visit_function_call,
                              "Lowers a function call that stands as a statement.")
                 .def_handler("visit_ExpressionStatement(self, node: ast.ExpressionStatement) -> typing.Any",
                              visit_expression_statement,
                              "Lowers an expression statement; refuses a gate or an undeclared name standing alone.")
                 .def_handler("visit_QuantumMeasurementStatement(self, node: ast.QuantumMeasurementStatement)"
                              " -> None",
                              visit_quantum_measurement_statement,
                              "Lowers a measurement and assigns its result to the target.")
                 .def_handler("visit_VyrDeclaration(self, node: VyrDeclaration) -> None", visit_vyr_declaration,
                              "Declares a variable, with the caller's value when one is given.")
                 .def_handler("visit_BranchingStatement(self, node: ast.BranchingStatement) -> None",
                              visit_branching_statement, "Lowers an if statement.")
                 .def_handler("visit_WhileLoop(self, node: ast.WhileLoop) -> None", visit_while_loop,
                              "Lowers a while loop.")
                 .def_handler("visit_ForInLoop(self, node: ast.ForInLoop) -> None", visit_for_in_loop,
                              "Lowers a for-in loop.")
                 .def_handler("visit_SwitchStatement(self, node: ast.SwitchStatement) -> None",
                              visit_switch_statement, "Lowers a switch statement.")
                 .def_handler("visit_CompoundStatement(self, node: ast.CompoundStatement) -> None",
                              visit_compound_statement, "Lowers a braced block.")
                 .def_handler("visit_Box(self, node: ast.Box) -> None", visit_box, "Lowers a box.")
                 .def("_run_block_in_context(self, context_creator: collections.abc.Callable[..., typing.Any],"
                      " block: list[ast.Statement], context_creator_args: tuple[typing.Any, ...]) -> None",
                      run_block_method, "Lowers the statements of a block inside one vk block.",
                      "context_creator"_arg, "block"_arg, "context_creator_args"_arg)
                 .def("_declare_variable(self, node: VyrDeclaration) -> str", declare_variable_method,
                      "Declares the node's variable and returns its name.", "node"_arg)
                 .def_handler("visit_ClassicalAssignment(self, node: ast.ClassicalAssignment) -> None",
                              visit_classical_assignment, "Lowers a plain assignment.")
                 .def_handler("visit_ClassicalDeclaration(self, node: ast.ClassicalDeclaration) -> typing.NoReturn",
                              visit_unbound_declaration, "Refuses a declaration that was not bound before the lowering.")
                 .def("_assign_to_target(self, target: ast.Identifier | ast.IndexedIdentifier, value: typing.Any)"
                      " -> None",
                      assign_to_target_method, "Assigns a translated value to a variable or an array cell.",
                      "target"_arg, "value"_arg)
                 .build());
    state.translate_expression_method = OwnMethod::of(state.visitor_class, "_translate_expression");
    state.run_operation_method = OwnMethod::of(state.visitor_class, "run_operation");
    state.declare_variable_method = OwnMethod::of(state.visitor_class, "_declare_variable");
    state.assign_to_target_method = OwnMethod::of(state.visitor_class, "_assign_to_target");
    state.run_block_in_context_method = OwnMethod::of(state.visitor_class, "_run_block_in_context");
}
