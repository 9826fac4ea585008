// Takes every `const` declaration out of the tree and puts its value in place
// of every identifier that names the constant, predefined ones included. A
// constant is a value of its block: it is seen from its declaration to the end
// of the block that declares it, and a name declared in an inner block (a
// constant too) hides it there. Folding needs literal operands and code
// generation literal sizes, so this runs before both. A constant whose value
// reads anything but constants, a constant where the program needs a variable
// to assign, a qubit, a gate or a function, and a declaration that takes a
// name already declared in its block, are refused here: the substitution
// would leave a literal in their place, or a value the program does not mean.
//
// A constant stands for its value as its declared type makes it, computed
// once where it is declared: a real constant for a real literal (so that it
// divides truly), an unsigned or bit-register constant of width n for the
// bit-string literal of its n low bits (so that `~` and `<<` keep to its
// width), a bool constant for a boolean. A constant whose value is of
// another type is refused where it is declared: an integer or a bool whose
// value is real, since its fraction would be lost or kept unseen, a number
// whose value is a duration and a duration whose value is a number.
#include "corvane/native/source_text.h"
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

struct ModuleState {
    nb::handle open_qasm_program;
    nb::handle constants;               // corvane.passes.constants.CONSTANTS
    nb::handle redeclaration_exception;
    nb::handle constant_misuse_exception;
    nb::handle unknown_value_exception;
    nb::handle identifier_class, indexed_identifier_class, function_call_class;
    nb::handle bit_type_class, integer_literal_class, boolean_literal_class, bitstring_literal_class;
    nb::handle float_literal_class, int_type_class, uint_type_class, float_type_class, bool_type_class, cast_class;
    nb::handle constant_type_exception, constant_range_exception;
    nb::handle folder;  // the folding step's transformer of constant expressions
    nb::handle gatherer;
    nb::handle resolver;
    nb::handle transformer_base;
    nb::handle constants_field;  // "_constants"
    nb::handle blocks_field;     // "_blocks"
    nb::handle constant_mark;    // "_constant", on the bit strings that stand for a constant
    nb::handle identifier, init_expression, name, ast, qubit, qubits, type, set_declaration, block, arguments,
        lvalue, target, collection, cases, io_identifier, size;
    // What a declaration other than a constant's makes of its name, as errors tell it.
    nb::handle variable_kind, qubit_kind, loop_variable_kind, gate_parameter_kind, gate_qubit_kind;
} state;

// The base constructor, as `super().__init__()` in the class `cls` would run it.
void init_base(nb::handle cls, nb::handle self) {
    nb::handle super_type(reinterpret_cast<PyObject*>(&PySuper_Type));
    super_type(cls, self).attr("__init__")();
}

nb::object table_of(nb::handle self) { return get_attr(self, state.constants_field); }

// `name in table`, for the dict the constructors store or any other map put there.
bool table_holds(nb::handle table, nb::handle name) {
    int found = PyDict_CheckExact(table.ptr()) ? PyDict_Contains(table.ptr(), name.ptr())
                                               : PySequence_Contains(table.ptr(), name.ptr());
    check_status(found);
    return found != 0;
}

// --- the value of a constant, as its type makes it ---

bool is_exactly(nb::handle node, nb::handle cls) {
    return Py_IS_TYPE(node.ptr(), reinterpret_cast<PyTypeObject*>(cls.ptr()));
}

bool is_plain_literal(nb::handle node) {
    return is_exactly(node, state.integer_literal_class) || is_exactly(node, state.boolean_literal_class) ||
           is_exactly(node, state.bitstring_literal_class) || is_exactly(node, state.float_literal_class);
}

// A new literal of class `cls` holding `value`, where `like` stood in the source.
nb::object literal_like(nb::handle cls, nb::handle value, nb::handle like) {
    nb::object literal = cls(value);
    set_attr(literal, interned<"span">(), nb::getattr(like, interned<"span">(), nb::none()));
    return literal;
}

// The width n of a type sized by a literal (`bit[n]`, `uint[n]`), or 0.
Py_ssize_t literal_width(nb::handle type) {
    nb::object size = nb::getattr(type, interned<"size">(), nb::none());
    if (!is_exactly(size, state.integer_literal_class)) return 0;
    nb::object value = get_attr(size, interned<"value">());
    if (!PyLong_CheckExact(value.ptr())) return 0;
    const Py_ssize_t width = PyLong_AsSsize_t(value.ptr());
    if (width == -1 && PyErr_Occurred()) PyErr_Clear();
    return width > 0 ? width : 0;
}

// What a declared type makes of a constant's value.
enum class Shape {
    kept,     // durations, arrays, types the program cannot compute with
    real,     // float: a real number
    integer,  // int, int[n], uint, bit: an integer, as computed
    bits,     // uint[n], bit[n]: the n low bits of an integer
    boolean,  // bool: a truth value
};

Shape shape_of(nb::handle type, Py_ssize_t& width) {
    width = 0;
    if (is_exactly(type, state.float_type_class)) return Shape::real;
    if (is_exactly(type, state.int_type_class)) return Shape::integer;
    if (is_exactly(type, state.bool_type_class)) return Shape::boolean;
    if (is_exactly(type, state.uint_type_class) || is_exactly(type, state.bit_type_class)) {
        width = literal_width(type);
        return width > 0 ? Shape::bits : Shape::integer;
    }
    return Shape::kept;
}

nb::object visible_constant(nb::handle self, nb::handle name);

// Whether an expression is a duration, or real, as OpenQASM types it by its
// form (see typing.h). A name is a constant that the resolver `self` sees,
// whose value has its type already; without a resolver, constants are
// substituted and a name is none.
bool is_duration_valued(nb::handle self, nb::handle expression) {
    if (!self.is_valid()) return typing::is_duration_valued(expression, {});
    return typing::is_duration_valued(expression, [self](nb::handle name) {
        nb::object constant = visible_constant(self, name);
        return constant.is_valid() && typing::is_duration_valued(constant, {});
    });
}

bool is_real_valued(nb::handle self, nb::handle expression) {
    if (!self.is_valid()) return typing::is_real_valued(expression, {}, {}, typing::Calls::typed);
    return typing::is_real_valued(
        expression,
        [self](nb::handle name) {
            nb::object constant = visible_constant(self, name);
            return constant.is_valid() && typing::is_real_valued(constant, {}, {}, typing::Calls::typed);
        },
        [self](nb::handle name) {
            nb::object constant = visible_constant(self, name);
            return constant.is_valid() && typing::is_duration_valued(constant, {});
        },
        typing::Calls::typed);
}

// `type(literal)` for the cast targets that convert: integers truncate toward
// zero, as a cast does when the program runs. Empty where the cast fails
// (an infinite value), which translation then reports.
nb::object cast_literal(nb::handle cast) {
    nb::object argument = get_attr(cast, interned<"argument">());
    if (!is_plain_literal(argument)) return nb::object();
    nb::object value = get_attr(argument, interned<"value">());
    nb::object target = get_attr(cast, state.type);
    PyObject* result = nullptr;
    nb::handle cls;
    if (is_exactly(target, state.int_type_class) || is_exactly(target, state.uint_type_class)) {
        result = PyNumber_Long(value.ptr());
        cls = state.integer_literal_class;
    } else if (is_exactly(target, state.float_type_class)) {
        result = PyNumber_Float(value.ptr());
        cls = state.float_literal_class;
    } else if (is_exactly(target, state.bool_type_class)) {
        result = nb::bool_(truth(value)).release().ptr();
        cls = state.boolean_literal_class;
    } else {
        return nb::object();
    }
    if (!result) {
        // Only a value that the cast cannot convert (an infinite or undefined
        // real) is left to translation; any other error passes on.
        if (!PyErr_ExceptionMatches(PyExc_OverflowError) && !PyErr_ExceptionMatches(PyExc_ValueError))
            throw nb::python_error();
        PyErr_Clear();
        return nb::object();
    }
    return literal_like(cls, nb::steal(result), cast);
}

// The constant's value computed now, as folding would compute it, so that
// every use reads one literal. A value that does not fold (a division by
// zero, a function outside its domain) stays as written: folding and
// translation report it where the constant is used.
nb::object computed(nb::handle value) {
    if (is_plain_literal(value) || !tree::is_node(value)) return nb::borrow(value);
    nb::object result;
    try {
        result = tree::visit(state.folder(), value);
    } catch (nb::python_error& error) {
        if (!is_ordinary(error)) throw;
        return nb::borrow(value);
    }
    if (is_exactly(result, state.cast_class)) {
        nb::object literal = cast_literal(result);
        if (literal.is_valid()) return literal;
    }
    return result;
}

bool is_integral(Shape shape) { return shape == Shape::integer || shape == Shape::bits; }

// A constant takes a value of its declared type, as a variable does: a number
// (int, uint, bit, float, bool) takes no duration and a duration or stretch
// no number, since OpenQASM converts neither into the other, and an integer
// or a bool takes no real as written (`2.5`, `sqrt(4)`, a real constant)
// unless the program casts it. The refusal shows the value as the program
// wrote it.
void refuse_value_of_another_type(nb::handle self, nb::handle node, nb::handle name, nb::handle value) {
    if (!tree::is_node(value)) return;
    nb::object type = nb::getattr(node, state.type, nb::none());
    auto refuse = [&](const char* kind) {
        raise_error(state.constant_type_exception(node, name, node_source(type), node_source(value), nb::str(kind)));
    };
    if (typing::is_duration_type(type)) {
        if (!is_duration_valued(self, value)) refuse("number");
        return;
    }
    Py_ssize_t width = 0;
    const Shape shape = shape_of(type, width);
    if (shape == Shape::kept) return;
    if (is_duration_valued(self, value)) refuse("duration");
    if ((is_integral(shape) || shape == Shape::boolean) && is_real_valued(self, value)) refuse("real");
}

// The value that the constant declared by `node` stands for: its
// initialiser `value` (constants substituted) computed and made a value of
// the declared type. An integer or a bool constant whose value computes to
// a real (`2 ** -1`) is refused.
nb::object value_of_its_type(nb::handle node, nb::handle name, nb::handle value) {
    nb::object type = nb::getattr(node, state.type, nb::none());
    Py_ssize_t width = 0;
    const Shape shape = shape_of(type, width);
    if (shape == Shape::kept || !tree::is_node(value)) return nb::borrow(value);
    nb::object result = computed(value);
    if ((is_integral(shape) || shape == Shape::boolean) && is_exactly(result, state.float_literal_class))
        raise_error(state.constant_type_exception(node, name, node_source(type), node_source(value)));
    const bool literal = is_plain_literal(result);
    switch (shape) {
        case Shape::real: {
            if (literal && !is_exactly(result, state.float_literal_class)) {
                PyObject* real = PyNumber_Float(get_attr(result, interned<"value">()).ptr());
                if (real) return literal_like(state.float_literal_class, nb::steal(real), result);
                if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw nb::python_error();
                PyErr_Clear();
                raise_error(state.constant_range_exception(node, name, node_source(type), node_source(value)));
            }
            if (literal ? is_exactly(result, state.float_literal_class) : is_real_valued(nb::handle(), result))
                return result;
            // Not computed now, but real wherever it is used.
            return state.cast_class("type"_arg = state.float_type_class(nb::none()), "argument"_arg = result);
        }
        case Shape::integer:
            if (is_exactly(result, state.boolean_literal_class) || is_exactly(result, state.bitstring_literal_class)) {
                if (is_exactly(type, state.bit_type_class)) return result;  // a single bit stays as written
                nb::object number = steal_or_throw(PyNumber_Index(get_attr(result, interned<"value">()).ptr()));
                return literal_like(state.integer_literal_class, number, result);
            }
            return result;
        case Shape::bits: {
            if (!literal) return result;
            nb::object number = steal_or_throw(PyNumber_Index(get_attr(result, interned<"value">()).ptr()));
            nb::object bits = steal_or_throw(PyNumber_And(number.ptr(), register_mask(width).ptr()));
            nb::object literal_bits = state.bitstring_literal_class(bits, nb::int_(width));
            set_attr(literal_bits, interned<"span">(), nb::getattr(result, interned<"span">(), nb::none()));
            return literal_bits;
        }
        case Shape::boolean:
            if (!literal || is_exactly(result, state.boolean_literal_class)) return result;
            return literal_like(state.boolean_literal_class,
                                nb::bool_(truth(get_attr(result, interned<"value">()))), result);
        case Shape::kept: break;
    }
    return result;
}

// A bit string that a constant stands for is marked with the constant's
// name, so that a refusal of it names what the program wrote: the constant,
// not bits it never wrote (`const uint[4] k = 5;` stands for "0101"). A
// literal that another constant's name marks already is copied, not renamed.
nb::object marked_bits(nb::handle name, nb::object value) {
    if (!is_exactly(value, state.bitstring_literal_class)) return value;
    if (find_attr(value, state.constant_mark).is_valid()) {
        nb::object copy = state.bitstring_literal_class(get_attr(value, interned<"value">()),
                                                        get_attr(value, interned<"width">()));
        set_attr(copy, interned<"span">(), nb::getattr(value, interned<"span">(), nb::none()));
        value = std::move(copy);
    }
    set_attr(value, state.constant_mark, name);
    return value;
}

void store_constant(nb::handle table, nb::handle node, nb::handle name, nb::handle value) {
    nb::object stored = marked_bits(name, value_of_its_type(node, name, value));
    check_status(PyObject_SetItem(table.ptr(), name.ptr(), stored.ptr()));
}

// Where a number is read when the program is compiled (a size, an index), a
// bit-string literal, which an unsigned or bit-register constant stands for,
// is the integer it holds. A size written as an expression is computed now.
nb::object integer_read(nb::handle value, bool compute) {
    if (is_exactly(value, state.integer_literal_class) || !tree::is_node(value)) return nb::borrow(value);
    nb::object result = compute ? computed(value) : nb::borrow(value);
    if (!is_exactly(result, state.bitstring_literal_class)) return result;
    return literal_like(state.integer_literal_class, get_attr(result, interned<"value">()), result);
}

// `node.field`, read as an integer (see integer_read).
void read_as_integer(nb::handle node, nb::handle field) {
    nb::object value = nb::getattr(node, field, nb::none());
    nb::object read = integer_read(value, true);
    if (!read.is(value)) set_attr(node, field, read);
}

// Each item of a list read as an integer.
void read_items_as_integers(nb::handle values, bool compute) {
    if (!PyList_CheckExact(values.ptr())) return;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.ptr()); ++i) {
        nb::handle item = PyList_GET_ITEM(values.ptr(), i);
        nb::object read = integer_read(item, compute);
        if (!read.is(item)) check_status(PyList_SetItem(values.ptr(), i, read.release().ptr()));
    }
}

// --- ConstantsGatherer ----------------------------------------------------
//
// Gathers every constant declaration of a tree into one table, blocks not
// regarded. The step itself does not use it: it resolves constants block by
// block in one walk (ConstantsResolver).

nb::object gatherer_init(nb::handle self) {
    init_base(state.gatherer, self);
    // A new map holding the very nodes of CONSTANTS: declared constants never enter CONSTANTS.
    nb::object table = steal_or_throw(
        PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), state.constants.ptr()));
    check_status(PyObject_SetAttr(self.ptr(), state.constants_field.ptr(), table.ptr()));
    return nb::none();
}

nb::object gather_constant_declaration(nb::handle self, nb::handle node) {
    nb::object name = get_attr(get_attr(node, state.identifier), state.name);
    nb::object table = table_of(self);
    if (table_holds(table, name)) raise_error(state.redeclaration_exception(node, name));
    // Resolved against the constants gathered before it, so that a constant
    // defined from another (`const float t = 2 * pi;`) stands for its value
    // wherever it is used, where the other's declaration is gone.
    nb::object value = get_attr(node, state.init_expression);
    if (PyDict_CheckExact(table.ptr())) value = tree::visit(state.resolver(table), value);
    refuse_value_of_another_type(nb::handle(), node, name, value);
    store_constant(table, node, name, value);
    return nb::none();
}

nb::object gatherer_constants(nb::handle self) { return get_attr(self, state.constants_field); }

// --- ConstantsResolver ----------------------------------------------------
//
// `_blocks` holds one map per open block, the program's top level first: the
// names declared in it so far, each to the constant's value, or for any other
// declaration to the text of what it declared ("variable", "qubit", ...). A
// name means what the innermost block that declared it made of it; one that
// no open block declared is a constant of `_constants` (the predefined ones,
// for the step) or nothing. A gate's body sees the top level and its own
// parameters and qubits only.

nb::object blocks_of(nb::handle self) { return get_attr(self, state.blocks_field); }

nb::object new_scope() { return steal_or_throw(PyDict_New()); }

// The declaration that a block recorded for a name: a constant's value, or
// what another declaration made of it.
bool is_constant_entry(nb::handle entry) { return !PyUnicode_Check(entry.ptr()); }

// The nearest declaration of `name` seen from here, or empty.
nb::object visible_entry(nb::handle self, nb::handle name) {
    nb::object blocks = blocks_of(self);
    nb::object sequence = steal_or_throw(PySequence_Fast(blocks.ptr(), "_blocks"));
    for (Py_ssize_t i = PySequence_Fast_GET_SIZE(sequence.ptr()); i-- > 0;) {
        nb::object entry = find_item(PySequence_Fast_GET_ITEM(sequence.ptr(), i), name);
        if (entry.is_valid()) return entry;
    }
    return find_item(table_of(self), name);
}

// The value of the constant that `name` names here, or empty.
nb::object visible_constant(nb::handle self, nb::handle name) {
    if (!name.is_valid()) return nb::object();
    nb::object entry = visible_entry(self, name);
    if (!entry.is_valid() || !is_constant_entry(entry)) return nb::object();
    return entry;
}

Py_ssize_t depth(nb::handle self) {
    Py_ssize_t size = PyObject_Size(blocks_of(self).ptr());
    if (size < 0) throw nb::python_error();
    return size;
}

// What an earlier declaration of the innermost open block made of `name`, or
// empty; at the top level the constants the resolver was given count as
// declared there.
nb::object declared_here(nb::handle self, nb::handle name) {
    nb::object blocks = blocks_of(self);
    Py_ssize_t size = depth(self);
    if (size > 0) {
        nb::object innermost = steal_or_throw(PySequence_GetItem(blocks.ptr(), size - 1));
        nb::object entry = find_item(innermost, name);
        if (entry.is_valid()) return entry;
    }
    if (size <= 1) return find_item(table_of(self), name);
    return nb::object();
}

// Records a declaration in the innermost open block.
void record(nb::handle self, nb::handle name, nb::handle entry) {
    nb::object blocks = blocks_of(self);
    nb::object innermost = steal_or_throw(PySequence_GetItem(blocks.ptr(), -1));
    check_status(PyObject_SetItem(innermost.ptr(), name.ptr(), entry.ptr()));
}

// Puts back the value of an attribute when it goes out of scope, keeping an
// error that may be on its way out.
class RestoredOnExit {
public:
    RestoredOnExit(nb::handle self, nb::handle field, nb::object saved)
        : self_(nb::borrow(self)), field_(field), saved_(std::move(saved)) {}
    ~RestoredOnExit() {
        PyObject* pending = PyErr_GetRaisedException();
        if (PyObject_SetAttr(self_.ptr(), field_.ptr(), saved_.ptr()) < 0) PyErr_WriteUnraisable(self_.ptr());
        PyErr_SetRaisedException(pending);
    }
    RestoredOnExit(const RestoredOnExit&) = delete;
    RestoredOnExit& operator=(const RestoredOnExit&) = delete;

private:
    nb::object self_;
    nb::handle field_;
    nb::object saved_;
};

// One open block, for as long as it lives.
class Block {
public:
    explicit Block(nb::handle self) : names_(new_scope()), frame_(blocks_of(self), names_) {}

    void declare(nb::handle name, nb::handle kind) {
        check_status(PyObject_SetItem(names_.ptr(), name.ptr(), kind.ptr()));
    }

private:
    nb::object names_;
    PushedFrame frame_;
};

// The name of a plain identifier, else empty: hardware qubits and other
// derived nodes never stand for constants.
nb::object plain_name(nb::handle node) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(node.ptr())) != state.identifier_class.ptr()) return nb::object();
    return get_attr(node, state.name);
}

// The name that an operand or a target refers to: `c` of `c` and of `c[0]`.
nb::object referred_name(nb::handle node) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(node.ptr())) == state.indexed_identifier_class.ptr())
        return plain_name(get_attr(node, state.name));
    return plain_name(node);
}

bool names_visible_constant(nb::handle self, nb::handle name) { return visible_constant(self, name).is_valid(); }

[[noreturn]] void misuse(nb::handle node, nb::handle name, const char* use) {
    raise_error(state.constant_misuse_exception(node, name, nb::str(use)));
}

// --- the walk's own steps, as the library's transformer takes them ---

// A single-node field: visited and put back, or deleted for an absent result.
void transform_field(nb::handle self, nb::handle node, nb::handle field, nb::handle value) {
    if (!tree::is_node(value)) return;
    nb::object result = tree::call_visit(self, value);
    if (result.is_none()) check_status(PyObject_DelAttr(node.ptr(), field.ptr()));
    else if (!result.is(value)) check_status(PyObject_SetAttr(node.ptr(), field.ptr(), result.ptr()));
}

bool is_field(nb::handle field, nb::handle name) {
    if (!name.is_valid()) return false;
    int equal = PyObject_RichCompareBool(field.ptr(), name.ptr(), Py_EQ);
    check_status(equal);
    return equal != 0;
}

// The node's fields in order, but `skip` and `also_skip`; with `own_blocks`,
// each list field is a block of its own (the two branches of an if statement).
void walk_fields(nb::handle self, nb::handle node, nb::handle skip, bool own_blocks,
                 nb::handle also_skip = nb::handle()) {
    nb::object fields = get_attr(node, interned<"__dict__">());
    nb::object items = steal_or_throw(PySequence_List(
        steal_or_throw(PyObject_CallMethodNoArgs(fields.ptr(), interned<"items">().ptr())).ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        auto [field, value] = unpack_pair(PyList_GET_ITEM(items.ptr(), i));
        if (is_field(field, skip) || is_field(field, also_skip)) continue;
        if (PyList_Check(value.ptr())) {
            if (own_blocks) {
                Block block(self);
                tree::transform_list(self, value);
            } else {
                tree::transform_list(self, value);
            }
        } else {
            transform_field(self, node, field, value);
        }
    }
}

nb::object resolver_init(nb::handle self, nb::handle constants) {
    require_dict(constants, "constants");
    init_base(state.resolver, self);
    check_status(PyObject_SetAttr(self.ptr(), state.constants_field.ptr(), constants.ptr()));
    nb::object blocks = steal_or_throw(PyList_New(0));
    append_item(blocks, new_scope());  // the top level
    check_status(PyObject_SetAttr(self.ptr(), state.blocks_field.ptr(), blocks.ptr()));
    return nb::none();
}

nb::object visit_identifier(nb::handle self, nb::handle node) {
    nb::object constant = visible_constant(self, get_attr(node, state.name));
    return constant.is_valid() ? constant : nb::borrow(node);
}

// --- constants ---

// The first name that `expression` reads which is no constant seen from
// here, or empty, with what a declaration seen from here made of it (empty
// when none did): a constant's value must be known when the program is
// compiled. A called function's name is no value read.
nb::object first_unknown_name(nb::handle self, nb::handle expression, nb::object& what) {
    RecursionLimitGuard guard(" while substituting constants");
    if (is_instance(expression, state.identifier_class)) {
        nb::object name = plain_name(expression);
        if (!name.is_valid()) {  // a hardware qubit
            what = nb::borrow(state.qubit_kind);
            return get_attr(expression, state.name);
        }
        nb::object entry = visible_entry(self, name);
        if (entry.is_valid() && is_constant_entry(entry)) return nb::object();
        what = entry;
        return name;
    }
    const bool call = is_instance(expression, state.function_call_class);
    nb::object found;
    tree::any_child(expression, [&](nb::handle field, nb::handle child) {
        if (call && is_field(field, state.name)) return false;
        found = first_unknown_name(self, child, what);
        return found.is_valid();
    });
    return found;
}

// A constant is declared once in its block and hides what an outer block
// declared under its name; its value is read where it is declared, from the
// constants seen there, and the declaration leaves the tree.
nb::object visit_constant_declaration(nb::handle self, nb::handle node) {
    RecursionLimitGuard guard(" while substituting constants");
    nb::object name = get_attr(get_attr(node, state.identifier), state.name);
    if (contains(state.constants, name)) raise_error(state.redeclaration_exception(node, name));
    nb::object earlier = declared_here(self, name);
    if (earlier.is_valid()) {
        if (is_constant_entry(earlier)) raise_error(state.redeclaration_exception(node, name));
        raise_error(state.redeclaration_exception(node, name, earlier));
    }
    nb::object value = get_attr(node, state.init_expression);
    if (tree::is_node(value)) {
        nb::object what;
        nb::object unknown = first_unknown_name(self, value, what);
        if (unknown.is_valid())
            raise_error(state.unknown_value_exception(node, name, unknown, what.is_valid() ? what : nb::none()));
        refuse_value_of_another_type(self, node, name, value);
        value = tree::call_visit(self, value);
    }
    // The type's width may be written with constants too.
    transform_field(self, node, state.type, get_attr(node, state.type));
    nb::object blocks = blocks_of(self);
    store_constant(steal_or_throw(PySequence_GetItem(blocks.ptr(), -1)), node, name, value);
    return nb::none();
}

// --- declarations ---

// A declaration under a predefined constant's name, anywhere, or under the
// name of a constant of its own block takes a name that is not free; one in
// an inner block hides the outer constant from the declaration on. Its other
// fields are resolved first, so an initialiser still reads the constant.
nb::object declare(nb::handle self, nb::handle node, nb::handle field, nb::handle kind) {
    RecursionLimitGuard guard(" while substituting constants");
    nb::object name = plain_name(get_attr(node, field));
    if (!name.is_valid()) return tree::generic_visit(self, node);
    if (contains(state.constants, name)) raise_error(state.redeclaration_exception(node, name));
    nb::object earlier = declared_here(self, name);
    if (earlier.is_valid() && is_constant_entry(earlier)) raise_error(state.redeclaration_exception(node, name));
    walk_fields(self, node, field, false);
    record(self, name, kind);
    return nb::borrow(node);
}

nb::object visit_classical_declaration(nb::handle self, nb::handle node) {
    return declare(self, node, state.identifier, state.variable_kind);
}

// "input" or "output", as the keyword of the declaration says.
nb::object io_kind(nb::handle node) {
    nb::object keyword = nb::getattr(node, state.io_identifier, nb::none());
    nb::object kind = nb::getattr(keyword, state.name, nb::none());
    return PyUnicode_Check(kind.ptr()) ? kind : nb::borrow(state.variable_kind);
}

nb::object visit_io_declaration(nb::handle self, nb::handle node) {
    return declare(self, node, state.identifier, io_kind(node));
}

nb::object visit_qubit_declaration(nb::handle self, nb::handle node) {
    nb::object result = declare(self, node, state.qubit, state.qubit_kind);
    read_as_integer(node, state.size);
    return result;
}

// `bit[N]`, `uint[N]`, `array[int, N]`: a size is a number read now.
nb::object visit_sized_type(nb::handle self, nb::handle node) {
    RecursionLimitGuard guard(" while substituting constants");
    nb::object result = tree::generic_visit(self, node);
    read_as_integer(node, state.size);
    return result;
}

nb::object visit_array_type(nb::handle self, nb::handle node) {
    RecursionLimitGuard guard(" while substituting constants");
    nb::object result = tree::generic_visit(self, node);
    read_items_as_integers(get_attr(node, interned<"dimensions">()), true);
    return result;
}

// --- blocks ---

nb::object visit_block_statement(nb::handle self, nb::handle node) {
    RecursionLimitGuard guard(" while substituting constants");
    Block block(self);
    return tree::generic_visit(self, node);
}

nb::object visit_branching_statement(nb::handle self, nb::handle node) {
    RecursionLimitGuard guard(" while substituting constants");
    walk_fields(self, node, nb::handle(), true);
    return nb::borrow(node);
}

// The loop's type and value set are read outside the loop, its variable and
// body inside it. A loop variable cannot take a predefined constant's name.
nb::object visit_for_in_loop(nb::handle self, nb::handle node) {
    RecursionLimitGuard guard(" while substituting constants");
    transform_field(self, node, state.type, get_attr(node, state.type));
    transform_field(self, node, state.set_declaration, get_attr(node, state.set_declaration));
    nb::object variable = get_attr(node, state.identifier);
    nb::object name = plain_name(variable);
    if (name.is_valid() && contains(state.constants, name))
        raise_error(state.redeclaration_exception(node, name));
    Block block(self);
    if (name.is_valid()) block.declare(name, state.loop_variable_kind);
    else transform_field(self, node, state.identifier, variable);
    nb::object body = get_attr(node, state.block);
    if (PyList_Check(body.ptr())) tree::transform_list(self, body);
    else transform_field(self, node, state.block, body);
    return nb::borrow(node);
}

// A gate's body sees the constants of the top level declared before the gate,
// and its parameters and qubits, which are its own names there whatever
// constant shares them. The gate's name is no use of a constant, but it
// cannot be a constant's: a call of it would read as the constant.
nb::object visit_quantum_gate_definition(nb::handle self, nb::handle node) {
    RecursionLimitGuard guard(" while substituting constants");
    nb::object gate = plain_name(get_attr(node, state.name));
    if (names_visible_constant(self, gate)) raise_error(state.redeclaration_exception(node, gate));
    nb::object blocks = blocks_of(self);
    nb::object body_blocks = steal_or_throw(PyList_New(0));
    if (depth(self) > 0) append_item(body_blocks, steal_or_throw(PySequence_GetItem(blocks.ptr(), 0)));
    nb::object formals_scope = new_scope();
    append_item(body_blocks, formals_scope);
    for (auto [field, kind] : {std::pair{state.arguments, state.gate_parameter_kind},
                               std::pair{state.qubits, state.gate_qubit_kind}}) {
        nb::object formals = steal_or_throw(PySequence_Fast(get_attr(node, field).ptr(), "formals"));
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(formals.ptr()); ++i) {
            nb::object name = plain_name(PySequence_Fast_GET_ITEM(formals.ptr(), i));
            if (name.is_valid()) check_status(PyObject_SetItem(formals_scope.ptr(), name.ptr(), kind.ptr()));
        }
    }
    check_status(PyObject_SetAttr(self.ptr(), state.blocks_field.ptr(), body_blocks.ptr()));
    RestoredOnExit restore(self, state.blocks_field, blocks);
    walk_fields(self, node, state.name, false);
    return nb::borrow(node);
}

// The target and the values of the cases are read where the switch stands,
// constants included; each case body and the default block is a block.
nb::object visit_switch_statement(nb::handle self, nb::handle node) {
    RecursionLimitGuard guard(" while substituting constants");
    transform_field(self, node, state.target, get_attr(node, state.target));
    nb::object cases = get_attr(node, state.cases);
    tree::for_each_case(node, [&](Py_ssize_t position, nb::handle values, nb::handle body) {
        if (PyList_Check(values.ptr())) tree::transform_list(self, values);
        // The body, a braced block, is a block of its own.
        if (!tree::is_node(body)) return false;
        nb::object result = tree::call_visit(self, body);
        if (result.is(body) || !tree::is_node(result)) return false;
        // A handler that replaced the body: the pair holds the new one.
        nb::object replaced = steal_or_throw(PyTuple_Pack(2, values.ptr(), result.ptr()));
        check_status(PySequence_SetItem(cases.ptr(), position, replaced.ptr()));
        return false;
    });
    walk_fields(self, node, state.target, false, state.cases);
    return nb::borrow(node);
}

// --- uses of a name that a constant cannot stand in ---

void refuse_assigned_constant(nb::handle self, nb::handle node, nb::handle target) {
    if (!target.is_valid() || target.is_none()) return;
    nb::object name = referred_name(target);
    if (names_visible_constant(self, name)) misuse(node, name, "assigned");
}

nb::object visit_classical_assignment(nb::handle self, nb::handle node) {
    refuse_assigned_constant(self, node, get_attr(node, state.lvalue));
    return tree::generic_visit(self, node);
}

nb::object visit_quantum_measurement_statement(nb::handle self, nb::handle node) {
    refuse_assigned_constant(self, node, get_attr(node, state.target));
    return tree::generic_visit(self, node);
}

// Qubit operands: one operand or a list of them.
void refuse_constant_qubits(nb::handle self, nb::handle node, nb::handle field) {
    nb::object operands = get_attr(node, field);
    auto check = [&](nb::handle operand) {
        nb::object name = referred_name(operand);
        if (names_visible_constant(self, name)) misuse(node, name, "qubit");
    };
    if (!PyList_Check(operands.ptr()) && !PyTuple_Check(operands.ptr())) {
        check(operands);
        return;
    }
    nb::object sequence = steal_or_throw(PySequence_Fast(operands.ptr(), "qubits"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.ptr()); ++i)
        check(PySequence_Fast_GET_ITEM(sequence.ptr(), i));
}

nb::object visit_quantum_gate(nb::handle self, nb::handle node) {
    nb::object name = plain_name(get_attr(node, state.name));
    if (names_visible_constant(self, name)) misuse(node, name, "gate");
    refuse_constant_qubits(self, node, state.qubits);
    return tree::generic_visit(self, node);
}

nb::object visit_quantum_operation(nb::handle self, nb::handle node) {
    refuse_constant_qubits(self, node, state.qubits);
    return tree::generic_visit(self, node);
}

nb::object visit_quantum_measurement(nb::handle self, nb::handle node) {
    refuse_constant_qubits(self, node, state.qubit);
    return tree::generic_visit(self, node);
}

nb::object visit_function_call(nb::handle self, nb::handle node) {
    nb::object name = plain_name(get_attr(node, state.name));
    if (names_visible_constant(self, name)) misuse(node, name, "function");
    return tree::generic_visit(self, node);
}

// `b[i]`: the index groups are lists inside a list, which the generic walk
// does not enter; a constant index is substituted there too, so that a
// register or array index written with a constant is as good as a literal.
nb::object visit_indexed_identifier(nb::handle self, nb::handle node) {
    RecursionLimitGuard guard(" while substituting constants");
    nb::object result = tree::generic_visit(self, node);
    tree::transform_index_groups(self, node);
    // An index is a number (`q[N]` for a constant `uint[n] N`).
    nb::object groups = get_attr(node, interned<"indices">());
    if (PyList_CheckExact(groups.ptr()))
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(groups.ptr()); ++i)
            read_items_as_integers(PyList_GET_ITEM(groups.ptr(), i), false);
    return result;
}

// `c[0]` of an integer constant is one of its bits, which nothing lowers.
nb::object visit_index_expression(nb::handle self, nb::handle node) {
    nb::object name = plain_name(get_attr(node, state.collection));
    if (names_visible_constant(self, name)) {
        raise_text(PyExc_NotImplementedError, compose({nb::str("Indexing the constant "), name,
                                                       nb::str(" is not supported: "), node_source(node)}));
    }
    return tree::generic_visit(self, node);
}

// --- ConstantSubstitutionStage -------------------------------------------

nb::object stage_call(nb::handle, nb::handle program) {
    if (assertions_enabled()) check_assertion(is_instance(program, state.open_qasm_program));
    // A new map holding the very nodes of CONSTANTS, so that no run changes it.
    nb::object predefined = steal_or_throw(
        PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), state.constants.ptr()));
    nb::object resolver = state.resolver(predefined);
    nb::object result = tree::visit(resolver, get_attr(program, state.ast));
    return state.open_qasm_program(result);
}

}  // namespace

NB_MODULE(constant_substitution_stage, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "corvane.programs", {"Program", "OpenQasmProgram"});
    import_from(m, "corvane.passes.pipeline_phase", {"Step"});
    import_from(m, "corvane.passes.constants", {"CONSTANTS"});
    import_from(m, "corvane.passes.parsing.validators", {"RedeclarationException"});
    import_from(m, "corvane.passes.code_resolving.folding_stage", {"ConstantExpressionsTransformer"});
    import_from(m, "openqasm3", {"ast"});
    import_from(m, "openqasm3.visitor", {"QASMTransformer"});
    state.open_qasm_program = keep_attr("corvane.programs", "OpenQasmProgram");
    nb::handle step = keep_attr("corvane.passes.pipeline_phase", "Step");
    state.constants = keep_attr("corvane.passes.constants", "CONSTANTS");
    state.redeclaration_exception = keep_attr("corvane.passes.parsing.validators", "RedeclarationException");
    state.constant_misuse_exception = keep_attr("corvane.passes.parsing.validators", "ConstantMisuseException");
    state.unknown_value_exception =
        keep_attr("corvane.passes.parsing.validators", "UnknownConstantValueException");
    state.identifier_class = keep_attr("openqasm3.ast", "Identifier");
    state.indexed_identifier_class = keep_attr("openqasm3.ast", "IndexedIdentifier");
    state.function_call_class = keep_attr("openqasm3.ast", "FunctionCall");
    state.bit_type_class = keep_attr("openqasm3.ast", "BitType");
    state.integer_literal_class = keep_attr("openqasm3.ast", "IntegerLiteral");
    state.boolean_literal_class = keep_attr("openqasm3.ast", "BooleanLiteral");
    state.bitstring_literal_class = keep_attr("openqasm3.ast", "BitstringLiteral");
    state.float_literal_class = keep_attr("openqasm3.ast", "FloatLiteral");
    state.int_type_class = keep_attr("openqasm3.ast", "IntType");
    state.uint_type_class = keep_attr("openqasm3.ast", "UintType");
    state.float_type_class = keep_attr("openqasm3.ast", "FloatType");
    state.bool_type_class = keep_attr("openqasm3.ast", "BoolType");
    state.cast_class = keep_attr("openqasm3.ast", "Cast");
    state.constant_type_exception = keep_attr("corvane.passes.parsing.validators", "ConstantTypeException");
    state.constant_range_exception = keep_attr("corvane.passes.parsing.validators", "ConstantRangeException");
    state.folder = keep_attr("corvane.passes.code_resolving.folding_stage", "ConstantExpressionsTransformer");

    state.constants_field = intern("_constants");
    state.blocks_field = intern("_blocks");
    state.constant_mark = intern("_constant");
    state.qubit = intern("qubit");
    state.qubits = intern("qubits");
    state.type = intern("type");
    state.size = intern("size");
    state.set_declaration = intern("set_declaration");
    state.block = intern("block");
    state.arguments = intern("arguments");
    state.lvalue = intern("lvalue");
    state.target = intern("target");
    state.collection = intern("collection");
    state.identifier = intern("identifier");
    state.init_expression = intern("init_expression");
    state.name = intern("name");
    state.ast = intern("ast");
    state.cases = intern("cases");
    state.io_identifier = intern("io_identifier");
    state.variable_kind = intern("variable");
    state.qubit_kind = intern("qubit");
    state.loop_variable_kind = intern("loop variable");
    state.gate_parameter_kind = intern("gate parameter");
    state.gate_qubit_kind = intern("gate qubit");

    state.transformer_base = keep(import_attr("openqasm3.visitor", "QASMTransformer")[nb::none()]);
    state.resolver = keep(ClassBuilder(m, "ConstantsResolver", {state.transformer_base})
                              .doc("Takes the constant declarations out of the tree and puts the value of a "
                                   "constant in place of every identifier that names it, each constant a value "
                                   "of its block.")
                              .def("__init__(self, constants: dict[str, ast.Expression]) -> None", resolver_init,
                                   "Substitutes the constants of the map.", "constants"_arg)
                              .transformer_walk()
                              .def_handler("visit_Identifier(self, node: ast.Identifier) -> ast.Expression",
                                           visit_identifier,
                                           "The constant's expression, or the identifier where no visible "
                                           "constant has its name.")
                              .def_handler("visit_ConstantDeclaration(self, node: ast.ConstantDeclaration) -> None",
                                           visit_constant_declaration,
                                           "Records the constant in its block and removes its declaration.")
                              .def_handler("visit_ClassicalDeclaration(self, node: ast.ClassicalDeclaration)"
                                           " -> ast.ClassicalDeclaration",
                                           visit_classical_declaration,
                                           "Resolves the declaration; in a block its name hides a constant.")
                              .def_handler("visit_IODeclaration(self, node: ast.IODeclaration) -> ast.IODeclaration",
                                           visit_io_declaration,
                                           "Resolves the declaration; in a block its name hides a constant.")
                              .def_handler("visit_QubitDeclaration(self, node: ast.QubitDeclaration)"
                                           " -> ast.QubitDeclaration",
                                           visit_qubit_declaration,
                                           "Resolves the declaration; in a block its name hides a constant.")
                              .def_handler("visit_BitType(self, node: ast.BitType) -> ast.BitType", visit_sized_type,
                                           "Resolves the type; its size is a number.")
                              .def_handler("visit_IntType(self, node: ast.IntType) -> ast.IntType", visit_sized_type,
                                           "Resolves the type; its size is a number.")
                              .def_handler("visit_UintType(self, node: ast.UintType) -> ast.UintType",
                                           visit_sized_type, "Resolves the type; its size is a number.")
                              .def_handler("visit_FloatType(self, node: ast.FloatType) -> ast.FloatType",
                                           visit_sized_type, "Resolves the type; its size is a number.")
                              .def_handler("visit_ArrayType(self, node: ast.ArrayType) -> ast.ArrayType",
                                           visit_array_type, "Resolves the type; its dimensions are numbers.")
                              .def_handler("visit_BranchingStatement(self, node: ast.BranchingStatement)"
                                           " -> ast.BranchingStatement",
                                           visit_branching_statement, "Resolves the condition and each branch as a block.")
                              .def_handler("visit_WhileLoop(self, node: ast.WhileLoop) -> ast.WhileLoop",
                                           visit_block_statement, "Resolves the loop, its body as a block.")
                              .def_handler("visit_ForInLoop(self, node: ast.ForInLoop) -> ast.ForInLoop",
                                           visit_for_in_loop,
                                           "Resolves the loop; its variable hides a constant within the body.")
                              .def_handler("visit_Box(self, node: ast.Box) -> ast.Box", visit_block_statement,
                                           "Resolves the box, its body as a block.")
                              .def_handler("visit_CompoundStatement(self, node: ast.CompoundStatement)"
                                           " -> ast.CompoundStatement",
                                           visit_block_statement, "Resolves the braced block as a block.")
                              .def_handler("visit_QuantumGateDefinition(self, node: ast.QuantumGateDefinition)"
                                           " -> ast.QuantumGateDefinition",
                                           visit_quantum_gate_definition,
                                           "Resolves the gate's body, where its parameters and qubits hide constants.")
                              .def_handler("visit_SwitchStatement(self, node: ast.SwitchStatement)"
                                           " -> ast.SwitchStatement",
                                           visit_switch_statement,
                                           "Resolves the target and the case values, and each case body and the "
                                           "default block as a block.")
                              .def_handler("visit_ClassicalAssignment(self, node: ast.ClassicalAssignment)"
                                           " -> ast.ClassicalAssignment",
                                           visit_classical_assignment,
                                           "Resolves the assignment, whose target cannot be a constant.")
                              .def_handler("visit_QuantumMeasurementStatement(self, node:"
                                           " ast.QuantumMeasurementStatement) -> ast.QuantumMeasurementStatement",
                                           visit_quantum_measurement_statement,
                                           "Resolves the measurement, whose target cannot be a constant.")
                              .def_handler("visit_QuantumGate(self, node: ast.QuantumGate) -> ast.QuantumGate",
                                           visit_quantum_gate,
                                           "Resolves the call, whose gate and qubits cannot be constants.")
                              .def_handler("visit_QuantumMeasurement(self, node: ast.QuantumMeasurement)"
                                           " -> ast.QuantumMeasurement",
                                           visit_quantum_measurement, "Resolves the measurement of a qubit.")
                              .def_handler("visit_QuantumReset(self, node: ast.QuantumReset) -> ast.QuantumReset",
                                           visit_quantum_operation, "Resolves the reset of qubits.")
                              .def_handler("visit_QuantumBarrier(self, node: ast.QuantumBarrier) -> ast.QuantumBarrier",
                                           visit_quantum_operation, "Resolves the barrier over qubits.")
                              .def_handler("visit_DelayInstruction(self, node: ast.DelayInstruction)"
                                           " -> ast.DelayInstruction",
                                           visit_quantum_operation, "Resolves the delay of qubits.")
                              .def_handler("visit_QuantumPhase(self, node: ast.QuantumPhase) -> ast.QuantumPhase",
                                           visit_quantum_operation, "Resolves the global phase on qubits.")
                              .def_handler("visit_FunctionCall(self, node: ast.FunctionCall) -> ast.FunctionCall",
                                           visit_function_call, "Resolves the call, whose function cannot be a constant.")
                              .def_handler("visit_IndexedIdentifier(self, node: ast.IndexedIdentifier)"
                                           " -> ast.IndexedIdentifier",
                                           visit_indexed_identifier,
                                           "Resolves the indexed name and the expressions of its indices.")
                              .def_handler("visit_IndexExpression(self, node: ast.IndexExpression)"
                                           " -> ast.IndexExpression",
                                           visit_index_expression, "Resolves the index expression of a variable.")
                              .build());
    state.gatherer = keep(ClassBuilder(m, "ConstantsGatherer", {state.transformer_base})
                              .doc("Collects the constant declarations of a tree into one table, blocks not regarded, "
                                   "and takes them out of the tree.")
                              .def("__init__(self) -> None", gatherer_init,
                                   "Starts from a copy of the predefined constants.")
                              .transformer_walk()
                              .def_handler("visit_ConstantDeclaration(self, node: ast.ConstantDeclaration) -> None",
                                           gather_constant_declaration,
                                           "Records the constant and removes its declaration.")
                              .def_property("constants(self) -> dict[str, ast.Expression]", gatherer_constants,
                                            "The constants by name.")
                              .build());
    ClassBuilder(m, "ConstantSubstitutionStage", {step})
        .doc("The code-resolving step that substitutes the program's and the predefined constants.")
        .def("__call__(self, program: Program) -> OpenQasmProgram", stage_call,
             "Substitutes the constants of the program's tree.", "program"_arg)
        .build();
}
