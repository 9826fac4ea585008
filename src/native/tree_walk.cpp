#include "corvane/native/tree_walk.h"

#include <optional>
#include <utility>

#include "corvane/native/python.h"
#include "shared_state.h"

namespace corvane::native::tree {

namespace {

using detail::NativeKind;
using detail::NativeMethod;
using detail::NodeClass;
using detail::SharedState;
using detail::shared_state;

// --- the handler name of a node ------------------------------------------------

// "visit_" + node.__class__.__name__, computed as the library computes it.
nb::object computed_handler_name(SharedState& state, nb::handle node) {
    nb::object cls = get_attr(node, nb::handle(state.class_attribute));
    nb::object name = get_attr(cls, nb::handle(state.name_attribute));
    return steal_or_throw(PyNumber_Add(state.handler_prefix, name.ptr()));
}

// The name a class gives itself (`type.__name__`): what a heap class holds,
// or the last part of a static class's dotted name.
PyObject* own_name(PyTypeObject* type) {
    return type->tp_flags & Py_TPFLAGS_HEAPTYPE ? reinterpret_cast<PyHeapTypeObject*>(type)->ht_name : nullptr;
}

// Whether the entry still describes `type`: nothing was assigned on the
// class or its bases since (the type version changes then), and its name is
// the one the handler name was made from.
bool current(const NodeClass& entry, PyTypeObject* type) {
    return entry.version != 0 && entry.version == type->tp_version_tag && own_name(type) == entry.class_name;
}

// Drops the entry of a class that is being freed; the callback of its weak reference.
PyObject* forget_class(PyObject* key, PyObject* watch) {
    auto* type = static_cast<PyTypeObject*>(PyLong_AsVoidPtr(key));
    if (!type && PyErr_Occurred()) return nullptr;
    SharedState& state = shared_state();
    auto found = state.node_classes.find(type);
    if (found != state.node_classes.end() && found->second.watch == watch) {
        NodeClass entry = found->second;
        if (state.last_node_type == type) {
            state.last_node_type = nullptr;
            state.last_node_class = nullptr;
        }
        state.node_classes.erase(found);
        Py_DECREF(entry.watch);
        Py_XDECREF(entry.class_name);
        Py_DECREF(entry.handler);
    }
    Py_RETURN_NONE;
}

PyMethodDef forget_class_def = {"forget_class", forget_class, METH_O, nullptr};

// Whether `node.__dict__` reads the instance's own dict as the generic
// lookup does: the class's lookup is the generic one and its `__dict__` is
// the descriptor that a class statement adds, which reads the dict itself
// unless a built-in base keeps it (what that descriptor checks first).
bool has_own_dict(SharedState& state, PyTypeObject* type) {
    if (type->tp_getattro != PyObject_GenericGetAttr || !state.class_dict_getter) return false;
    PyObject* descriptor = _PyType_Lookup(type, state.dict_attribute);
    if (!descriptor || !Py_IS_TYPE(descriptor, &PyGetSetDescr_Type) ||
        reinterpret_cast<PyGetSetDescrObject*>(descriptor)->d_getset->get != state.class_dict_getter)
        return false;
    for (PyTypeObject* base = type; base; base = base->tp_base)
        if (base->tp_dictoffset != 0 && !(base->tp_flags & Py_TPFLAGS_HEAPTYPE)) return false;
    return true;
}

// Looks at `type` afresh and records what the dispatch needs of it. All the
// Python objects are made first; the map is then read and written with no
// call into Python in between, so a thread switch (or a collection that runs
// the callback above) never meets an entry half made.
void refresh(SharedState& state, PyTypeObject* type) {
    // `node.__class__` is the class itself when the class's lookup is the
    // generic one and `__class__` is object's own descriptor (whether
    // `cls.__name__` is its own name depends on the metaclass, which
    // `handler_name` looks at). The lookup also gives the class the type
    // version that the entry is checked against.
    PyObject* class_descriptor = _PyType_Lookup(type, state.class_attribute);
    const unsigned int version = type->tp_version_tag;
    const bool plain_class = type->tp_getattro == PyObject_GenericGetAttr && class_descriptor == state.object_class;
    const bool own_dict = has_own_dict(state, type);
    nb::object class_name = nb::borrow(own_name(type));
    nb::object name = steal_or_throw(PyType_GetName(type));
    const bool plain = plain_class && PyUnicode_CheckExact(name.ptr());
    nb::object handler = nb::borrow(state.handler_prefix);  // unused unless plain: such a class is read per node
    if (plain) {
        PyObject* interned = PyUnicode_Concat(state.handler_prefix, name.ptr());
        if (!interned) throw nb::python_error();
        PyUnicode_InternInPlace(&interned);
        handler = nb::steal(interned);
    }
    nb::object watch;
    if (state.node_classes.find(type) == state.node_classes.end()) {
        nb::object key = steal_or_throw(PyLong_FromVoidPtr(type));
        nb::object callback = steal_or_throw(PyCFunction_New(&forget_class_def, key.ptr()));
        watch = steal_or_throw(PyWeakref_NewRef(reinterpret_cast<PyObject*>(type), callback.ptr()));
    }

    // From here on, no call into Python until the entry is complete.
    auto [found, inserted] = state.node_classes.try_emplace(type);
    if (inserted && !watch) {
        // Only a freed class loses its entry, and this one is alive; should it
        // happen all the same, the class goes without an entry.
        state.node_classes.erase(found);
        return;
    }
    NodeClass& entry = found->second;
    NodeClass old = entry;
    if (inserted) entry.watch = watch.release().ptr();
    entry.class_name = class_name.release().ptr();
    entry.handler = handler.release().ptr();
    entry.version = version;
    entry.plain = plain;
    entry.own_dict = own_dict;
    if (!inserted) {
        Py_XDECREF(old.class_name);
        Py_DECREF(old.handler);
    }
}

// The entry of `type`, made or renewed when it does not describe the class
// as it is; null when the class cannot have one (it has no type version).
// `quiet`: found as it was, with no call into Python. The entry is to be read
// before anything runs that could drop it.
const NodeClass* node_class(SharedState& state, PyTypeObject* type, bool& quiet) {
    quiet = true;
    if (state.last_node_type == type && current(*state.last_node_class, type)) return state.last_node_class;
    auto found = state.node_classes.find(type);
    if (found == state.node_classes.end() || !current(found->second, type)) {
        quiet = false;
        refresh(state, type);
        found = state.node_classes.find(type);
        if (found == state.node_classes.end() || !current(found->second, type)) return nullptr;
    }
    state.last_node_type = type;
    state.last_node_class = &found->second;
    return &found->second;
}

// "visit_" + node.__class__.__name__. For a class that gives its own name
// without running code, the interned name is kept in the cache; `quiet`
// tells whether it came from there, with no call into Python.
nb::object handler_name(SharedState& state, nb::handle node, bool& quiet) {
    PyTypeObject* type = Py_TYPE(node.ptr());
    if (Py_IS_TYPE(type, &PyType_Type)) {
        const NodeClass* entry = node_class(state, type, quiet);
        if (entry && entry->plain) return nb::borrow(entry->handler);
    }
    quiet = false;
    return computed_handler_name(state, node);
}

// --- what `getattr(self, name)` finds on a visitor ---------------------------

// A data descriptor on the class decides the attribute before the instance dict.
bool is_data_descriptor(PyObject* descriptor) {
    PyTypeObject* type = Py_TYPE(descriptor);
    return type->tp_descr_get && type->tp_descr_set;
}

// The dict that the generic attribute lookup of `self` reads, or null.
nb::object instance_dict(PyObject* self) {
    if (Py_TYPE(self)->tp_dictoffset == 0) return nb::object();
    nb::object dict = steal_or_throw(PyObject_GenericGetDict(self, nullptr));
    return dict;
}

bool has_key(PyObject* dict, PyObject* name) {
    if (!PyDict_Check(dict)) return true;  // unknown ground: let the host look
    int found = PyDict_Contains(dict, name);
    check_status(found);
    return found != 0;
}

// Whether a key of an instance dict may stand for a name that the dispatch
// reads ("visit", "generic_visit", "visit_" + a class name): a text that
// begins so, or anything but an exact text, whose comparison is its own.
bool may_be_dispatch_name(SharedState& state, PyObject* key) {
    if (!PyUnicode_CheckExact(key)) return true;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
    if (length < 5) return false;
    const Py_UCS4 first = PyUnicode_READ_CHAR(key, 0);
    if (first == 'v') return PyUnicode_Tailmatch(key, state.visit_name, 0, PY_SSIZE_T_MAX, -1) != 0;
    if (first == 'g') return length == 13 && PyUnicode_Compare(key, state.generic_visit_name) == 0;
    return false;
}

// What settles the visitor's attributes without running code of its own:
// the class's lookup is the generic one, and then the instance dict and the
// class attribute decide. `owns` is asked first for every name involved, as
// it may run a key's comparison; the class attributes read after it are used
// before anything else runs.
//
// A plain instance dict is scanned once: when none of its keys may stand for
// a dispatch name, it owns none of them and is not asked again.
class VisitorView {
public:
    VisitorView(SharedState& state, nb::handle self) : self_(self.ptr()) {
        generic_ = Py_TYPE(self_)->tp_getattro == PyObject_GenericGetAttr;
        if (!generic_) return;
        dict_ = instance_dict(self_);
        if (!dict_ || !PyDict_CheckExact(dict_.ptr())) return;
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(dict_.ptr(), &position, &key, &value))
            if (may_be_dispatch_name(state, key)) return;
        clean_ = true;
    }

    // False when only the host's own lookup can tell what `getattr(self, name)` is.
    bool generic() const { return generic_; }

    // Whether the instance dict holds `name` (or cannot be read here).
    // `dispatch_name`: the name is one of those the scan looks for.
    bool owns(PyObject* name, bool dispatch_name = true) const {
        if (!dict_ || (clean_ && dispatch_name)) return false;
        return has_key(dict_.ptr(), name);
    }

    // What the class holds under `name`, or null; `settled` false for a data
    // descriptor, which decides the attribute by running its own code.
    PyObject* class_attribute(PyObject* name, bool& settled) const {
        PyObject* descriptor = class_attribute(name);
        settled = !(descriptor && is_data_descriptor(descriptor));
        return descriptor;
    }
    PyObject* class_attribute(PyObject* name) const { return _PyType_Lookup(Py_TYPE(self_), name); }

private:
    PyObject* self_;
    bool generic_ = false;
    bool clean_ = false;
    nb::object dict_;
};

// The native face of a function object, if it is one.
const NativeMethod* native_method(SharedState& state, PyObject* function) {
    auto found = state.native_methods.find(function);
    return found == state.native_methods.end() ? nullptr : &found->second;
}

// Whether reading `descriptor` through an instance runs no code of the user's:
// a plain value, a Python function or one of the package's own functions.
bool binds_quietly(SharedState& state, PyObject* descriptor) {
    PyTypeObject* type = Py_TYPE(descriptor);
    if (!type->tp_descr_get || type == &PyFunction_Type || type == state.method_object_type) return true;
    if (state.visit_function && type == Py_TYPE(state.visit_function)) return true;  // nanobind's methods
    return native_method(state, descriptor) != nullptr;
}

// What `type` holds under `visit` and `generic_visit`, read again only when
// the class is another one or was changed since (its type version moved on).
const detail::VisitorClass& visitor_class(SharedState& state, PyTypeObject* type) {
    detail::VisitorClass& last = state.last_visitor;
    if (last.type == type && last.version != 0 && last.version == type->tp_version_tag) return last;
    detail::VisitorClass found;
    found.type = type;
    found.visit = _PyType_Lookup(type, state.visit_name);
    found.generic_visit = _PyType_Lookup(type, state.generic_visit_name);
    found.version = type->tp_version_tag;  // given by the lookups
    if (found.generic_visit) {
        found.generic_visit_settled = !is_data_descriptor(found.generic_visit);
        found.generic_visit_quiet = found.generic_visit_settled && binds_quietly(state, found.generic_visit);
        found.generic_visit_native = native_method(state, found.generic_visit);
    } else {
        found.generic_visit_settled = true;
    }
    last = found;
    return last;
}

// `getattr(self, name)(node)` or `(node, context)`, through Python.
nb::object call_attribute(nb::handle self, PyObject* name, nb::handle node, nb::handle context) {
    nb::object bound = steal_or_throw(PyObject_GetAttr(self.ptr(), name));
    if (context) {
        PyObject* args[] = {node.ptr(), context.ptr()};
        return steal_or_throw(PyObject_Vectorcall(bound.ptr(), args, 2, nullptr));
    }
    return steal_or_throw(PyObject_CallOneArg(bound.ptr(), node.ptr()));
}

nb::object call(nb::handle function, nb::handle node, nb::handle context) {
    if (context) {
        PyObject* args[] = {node.ptr(), context.ptr()};
        return steal_or_throw(PyObject_Vectorcall(function.ptr(), args, 2, nullptr));
    }
    return steal_or_throw(PyObject_CallOneArg(function.ptr(), node.ptr()));
}

// `self.generic_visit(node[, context])`, settled by the class, whose class
// attribute has the native face `native` (or none); `context` is already
// known true or empty.
nb::object call_generic(SharedState& state, nb::handle self, const NativeMethod* native, nb::handle node,
                        nb::handle context) {
    if (native && native->kind == NativeKind::generic_visit) return native->walk(self, node, context);
    return call_attribute(self, state.generic_visit_name, node, context);
}

// `self.generic_visit(node[, context])`; `context` is already known true or empty.
nb::object dispatch_generic(SharedState& state, nb::handle self, nb::handle node, nb::handle context) {
    VisitorView view(state, self);
    if (view.generic() && !view.owns(state.generic_visit_name)) {
        const detail::VisitorClass& cls = visitor_class(state, Py_TYPE(self.ptr()));
        if (cls.generic_visit_settled) return call_generic(state, self, cls.generic_visit_native, node, context);
    }
    return call_attribute(self, state.generic_visit_name, node, context);
}

// The library's `visit` step by step, for visitors whose attributes only the
// host's lookup can tell: `getattr(self, name, self.generic_visit)`, the
// default read first.
nb::object visit_through_python(SharedState& state, nb::handle self, nb::handle name, nb::handle node,
                                nb::handle context) {
    nb::object fallback = get_attr(self, nb::handle(state.generic_visit_name));
    PyObject* found = PyObject_GetAttr(self.ptr(), name.ptr());
    if (found) return call(nb::steal(found), node, context);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return call(fallback, node, context);
}

// The dispatch of `visit`, with `context` already known true or empty.
//
// The library reads `self.generic_visit` and then `getattr(self, name)`. When
// the class settles both (no instance attribute of either name, no data
// descriptor, the generic lookup) and reading the default runs no code, the
// class attributes are what those reads would bind, and the package's own
// handlers and walks are called straight from C++.
//
// `seen` is a view of the visitor made by the caller just before, with no
// call into Python since; it is made afresh when working out the name called
// into Python.
nb::object dispatch(SharedState& state, nb::handle self, nb::handle node, nb::handle context,
                    const VisitorView* seen = nullptr) {
    RecursionLimitGuard guard(" while walking the syntax tree");
    bool quiet;
    nb::object name = handler_name(state, node, quiet);
    std::optional<VisitorView> fresh;
    if (!seen || !quiet) seen = &fresh.emplace(state, self);
    const VisitorView& view = *seen;
    if (view.generic() && PyUnicode_CheckExact(name.ptr()) && !view.owns(state.generic_visit_name) &&
        !view.owns(name.ptr(), quiet)) {
        const detail::VisitorClass& cls = visitor_class(state, Py_TYPE(self.ptr()));
        bool handler_settled;
        PyObject* handler = view.class_attribute(name.ptr(), handler_settled);
        if (handler_settled && cls.generic_visit && cls.generic_visit_quiet) {
            if (!handler) return call_generic(state, self, cls.generic_visit_native, node, context);
            const NativeMethod* native = native_method(state, handler);
            if (native && native->kind == NativeKind::handler && !context) return native->handler(self, node);
            return call_attribute(self, name.ptr(), node, context);
        }
    }
    return visit_through_python(state, self, name, node, context);
}

nb::handle true_or_empty(nb::handle context) {
    return context && !context.is_none() && truth(context) ? context : nb::handle();
}

// How the generic walks visit a child, `self.visit(child)` or with the
// context when it is true at that moment: straight into the C++ dispatch when
// that attribute is the shared `visit`, else through Python.
class ChildVisitor {
public:
    ChildVisitor(SharedState& state, nb::handle self, nb::handle context)
        : state_(state), self_(self), context_(context) {}

    nb::object operator()(nb::handle child) const {
        nb::handle context = context_ ? true_or_empty(context_) : nb::handle();
        VisitorView view(state_, self_);
        if (view.generic() && !view.owns(state_.visit_name)) {
            // The shared `visit` is no data descriptor.
            PyObject* visit = visitor_class(state_, Py_TYPE(self_.ptr())).visit;
            if (visit && visit == state_.visit_function) return dispatch(state_, self_, child, context, &view);
        }
        return call_attribute(self_, state_.visit_name, child, context);
    }

private:
    SharedState& state_;
    nb::handle self_;
    nb::handle context_;
};

bool is_node_of(SharedState& state, PyObject* value) {
    return PyObject_TypeCheck(value, state.qasm_node);
}

// `node.__dict__`: read through the class's own `__dict__` descriptor when the
// class's lookup is the generic one, else through the host.
nb::object fields_of(SharedState& state, nb::handle node) {
    PyTypeObject* type = Py_TYPE(node.ptr());
    if (type->tp_getattro == PyObject_GenericGetAttr) {
        PyObject* descriptor = _PyType_Lookup(type, state.dict_attribute);
        if (descriptor && Py_IS_TYPE(descriptor, &PyGetSetDescr_Type)) {
            PyGetSetDef* getset = reinterpret_cast<PyGetSetDescrObject*>(descriptor)->d_getset;
            if (getset->get) return steal_or_throw(getset->get(node.ptr(), getset->closure));
        }
    }
    return get_attr(node, nb::handle(state.dict_attribute));
}

enum class Fields { values, items };

// Iterates `node.__dict__.values()` or `.items()` as a for loop does. A plain
// dict is read in place, with the host's refusal to go on once it changed
// size or its keys changed; any other mapping through its own method.
template <Fields Kind, typename Body>
void for_each_field(SharedState& state, nb::handle node, Body&& body) {
    bool quiet;
    const NodeClass* entry = node_class(state, Py_TYPE(node.ptr()), quiet);
    nb::object fields = entry && entry->own_dict ? steal_or_throw(PyObject_GenericGetDict(node.ptr(), nullptr))
                                                 : fields_of(state, node);
    if (!PyDict_CheckExact(fields.ptr())) {
        nb::object view = call_method(fields, nb::handle(Kind == Fields::items ? state.items_name : state.values_name));
        nb::object iterator = steal_or_throw(PyObject_GetIter(view.ptr()));
        while (PyObject* raw = PyIter_Next(iterator.ptr())) {
            nb::object item = nb::steal(raw);
            if constexpr (Kind == Fields::items) {
                auto [key, value] = unpack_pair(item);
                body(key, value);
            } else {
                body(nb::handle(), item);
            }
        }
        if (PyErr_Occurred()) throw nb::python_error();
        return;
    }
    const Py_ssize_t size = PyDict_GET_SIZE(fields.ptr());
    Py_ssize_t left = size;
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (true) {
        if (PyDict_GET_SIZE(fields.ptr()) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            throw nb::python_error();
        }
        if (!PyDict_Next(fields.ptr(), &position, &key, &value)) break;
        if (left == 0) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            throw nb::python_error();
        }
        --left;
        body(nb::borrow(key), nb::borrow(value));
    }
}

// Iterates a list as `for item in values` does: live, so items that a handler
// appends are visited too. Exact lists are read by index, which is what their
// iterator does; a subclass is iterated through its own `__iter__`.
template <typename Body>
void for_each_item(nb::handle values, Body&& body) {
    PyObject* list = values.ptr();
    if (PyList_CheckExact(list)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) body(i, nb::borrow(PyList_GET_ITEM(list, i)));
        return;
    }
    nb::object iterator = steal_or_throw(PyObject_GetIter(list));
    for (Py_ssize_t i = 0;; ++i) {
        PyObject* item = PyIter_Next(iterator.ptr());
        if (!item) break;
        body(i, nb::steal(item));
    }
    if (PyErr_Occurred()) throw nb::python_error();
}

void append(nb::handle list, nb::handle item) { check_status(PyList_Append(list.ptr(), item.ptr())); }

// `old[:] = new`.
void replace_contents(nb::handle old_values, nb::handle new_values) {
    if (PyList_CheckExact(old_values.ptr())) {
        check_status(PyList_SetSlice(old_values.ptr(), 0, PY_SSIZE_T_MAX, new_values.ptr()));
        return;
    }
    nb::object all = steal_or_throw(PySlice_New(nullptr, nullptr, nullptr));
    check_status(PyObject_SetItem(old_values.ptr(), all.ptr(), new_values.ptr()));
}

// The new contents of a list field, as they are collected: the first few
// items in place, the rest in a list, so that the short lists of a tree cost
// no allocation when they come back unchanged.
class Collected {
public:
    Collected() = default;
    Collected(const Collected&) = delete;
    Collected& operator=(const Collected&) = delete;
    ~Collected() {
        for (Py_ssize_t i = 0; i < count_; ++i) Py_DECREF(first_[i]);
    }

    void add(nb::handle item) {
        if (!rest_ && count_ < kFirst) {
            first_[count_++] = Py_NewRef(item.ptr());
            return;
        }
        if (!rest_) rest_ = steal_or_throw(PyList_New(0));
        append(rest_, item);
    }

    // `items.extend(values)`.
    void extend(nb::handle values) {
        nb::object iterator = steal_or_throw(PyObject_GetIter(values.ptr()));
        while (PyObject* item = PyIter_Next(iterator.ptr())) add(nb::steal(item));
        if (PyErr_Occurred()) throw nb::python_error();
    }

    // Whether the plain list `list` holds exactly these items, in this order.
    bool held_by(PyObject* list) const {
        const Py_ssize_t extra = rest_ ? PyList_GET_SIZE(rest_.ptr()) : 0;
        if (PyList_GET_SIZE(list) != count_ + extra) return false;
        for (Py_ssize_t i = 0; i < count_; ++i)
            if (PyList_GET_ITEM(list, i) != first_[i]) return false;
        for (Py_ssize_t i = 0; i < extra; ++i)
            if (PyList_GET_ITEM(list, count_ + i) != PyList_GET_ITEM(rest_.ptr(), i)) return false;
        return true;
    }

    nb::object as_list() const {
        nb::object list = steal_or_throw(PyList_New(0));
        for (Py_ssize_t i = 0; i < count_; ++i) append(list, nb::handle(first_[i]));
        if (rest_) check_status(PyList_SetSlice(list.ptr(), count_, count_, rest_.ptr()));
        return list;
    }

private:
    static constexpr Py_ssize_t kFirst = 8;
    PyObject* first_[kFirst];
    Py_ssize_t count_ = 0;
    nb::object rest_;
};

// The transformer's rewrite of one list field: the new contents are
// collected as the items are met, and written back with `old[:] = new`. A
// plain list that already holds exactly those items is left as it is, which
// is all that writing them back would do to it; any other list is written.
void transform_list(SharedState& state, const ChildVisitor& visit_child, nb::handle values) {
    const bool plain = PyList_CheckExact(values.ptr());
    if (plain && PyList_GET_SIZE(values.ptr()) == 0) return;
    Collected new_values;
    for_each_item(values, [&](Py_ssize_t, nb::handle item) {
        if (!is_node_of(state, item.ptr())) {
            new_values.add(item);
            return;
        }
        nb::object result = visit_child(item);
        if (result.is_none()) return;
        if (is_node_of(state, result.ptr())) new_values.add(result);
        else new_values.extend(result);
    });
    if (plain && new_values.held_by(values.ptr())) return;
    replace_contents(values, new_values.as_list());
}

// Whether `setattr(node, field, value)` with the value the field already holds
// in the node's dict changes nothing: the generic setter, a text field name
// and no data descriptor of that name on the class.
bool rewrite_is_silent(PyObject* node, PyObject* field) {
    PyTypeObject* type = Py_TYPE(node);
    if (type->tp_setattro != PyObject_GenericSetAttr || !PyUnicode_CheckExact(field)) return false;
    PyObject* descriptor = _PyType_Lookup(type, field);
    return !descriptor || !Py_TYPE(descriptor)->tp_descr_set;
}

}  // namespace

bool is_node(nb::handle value) { return is_node_of(shared_state(), value.ptr()); }

void transform_list(nb::handle self, nb::handle values) {
    SharedState& state = shared_state();
    transform_list(state, ChildVisitor(state, self, nb::handle()), values);
}

void transform_index_groups(nb::handle self, nb::handle indexed_identifier) {
    nb::object indices = steal_or_throw(PyObject_GetAttr(indexed_identifier.ptr(), interned<"indices">().ptr()));
    if (!PyList_Check(indices.ptr())) return;
    SharedState& state = shared_state();
    ChildVisitor visit_child(state, self, nb::handle());
    // A copy of the outer list: visiting may change it.
    nb::object groups = steal_or_throw(PySequence_List(indices.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(groups.ptr()); ++i) {
        nb::handle group = PyList_GET_ITEM(groups.ptr(), i);
        if (PyList_Check(group.ptr())) transform_list(state, visit_child, group);
    }
}

void register_handler(nb::handle function, TreeHandler handler) {
    shared_state().native_methods[keep(nb::borrow(function)).ptr()] =
        NativeMethod{NativeKind::handler, handler, nullptr};
}

void register_generic_visit(nb::handle function, TreeWalk walk) {
    shared_state().native_methods[keep(nb::borrow(function)).ptr()] =
        NativeMethod{NativeKind::generic_visit, nullptr, walk};
}

nb::handle visit_function() {
    SharedState& state = shared_state();
    if (!state.visit_function) {
        nb::object function = nb::cpp_function(
            [](nb::handle self, nb::handle node, nb::handle context) { return visit(self, node, context); },
            nb::is_method(), nb::name("visit"),
            nb::sig("def visit(self, node: openqasm3.ast.QASMNode, context: typing.Any = None) -> typing.Any"),
            "Visits a node through the handler named after its class, or the generic walk.",
            nb::arg("node").none(), nb::arg("context").none() = nb::none());
        // Making the function may run a collection, and with it another
        // thread that made one too: the first one stays.
        if (!state.visit_function) {
            state.visit_function = keep(function).ptr();
            state.native_methods[state.visit_function] = NativeMethod{NativeKind::visit, nullptr, nullptr};
        }
    }
    return nb::handle(state.visit_function);
}

nb::object visit(nb::handle self, nb::handle node, nb::handle context) {
    return dispatch(shared_state(), self, node, true_or_empty(context));
}

nb::object generic_visit(nb::handle self, nb::handle node, nb::handle context) {
    return dispatch_generic(shared_state(), self, node, true_or_empty(context));
}

nb::object call_visit(nb::handle self, nb::handle node, nb::handle context) {
    SharedState& state = shared_state();
    return ChildVisitor(state, self, context)(node);
}

// The nodes of a list or tuple field, and of the lists and tuples inside it.
bool any_item(SharedState& state, nb::handle field, nb::handle values,
              const std::function<bool(nb::handle, nb::handle)>& visit) {
    RecursionLimitGuard guard(" while reading a syntax tree");
    nb::object items = steal_or_throw(PySequence_Fast(values.ptr(), "items"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.ptr()); ++i) {
        nb::handle item = PySequence_Fast_GET_ITEM(items.ptr(), i);
        if (PyList_Check(item.ptr()) || PyTuple_Check(item.ptr())) {
            if (any_item(state, field, item, visit)) return true;
        } else if (is_node_of(state, item.ptr()) && visit(field, item)) {
            return true;
        }
    }
    return false;
}

bool any_child(nb::handle node, const std::function<bool(nb::handle field, nb::handle child)>& visit) {
    SharedState& state = shared_state();
    bool found = false;
    for_each_field<Fields::items>(state, node, [&](nb::handle field, nb::handle value) {
        if (found) return;
        if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) found = any_item(state, field, value, visit);
        else if (is_node_of(state, value.ptr())) found = visit(field, value);
    });
    return found;
}

nb::object find_first(nb::handle node, const std::function<bool(nb::handle)>& matches, const char* where) {
    RecursionLimitGuard guard(where);
    if (matches(node)) return nb::borrow(node);
    nb::object found;
    any_child(node, [&](nb::handle, nb::handle child) {
        found = find_first(child, matches, where);
        return found.is_valid();
    });
    return found;
}

bool for_each_case(nb::handle switch_node,
                   const std::function<bool(Py_ssize_t, nb::handle, nb::handle)>& visit, CaseItems items) {
    nb::object cases = steal_or_throw(PyObject_GetAttr(switch_node.ptr(), interned<"cases">().ptr()));
    if (items == CaseItems::unpacked) {
        nb::object iterator = steal_or_throw(PyObject_GetIter(cases.ptr()));
        for (Py_ssize_t position = 0;; ++position) {
            PyObject* raw = PyIter_Next(iterator.ptr());
            if (!raw) break;
            nb::object pair = nb::steal(raw);
            auto [values, body] = unpack_pair(pair);
            if (visit(position, values, body)) return true;
        }
        if (PyErr_Occurred()) throw nb::python_error();
        return false;
    }
    if (!PyList_Check(cases.ptr())) return false;
    nb::object pairs = steal_or_throw(PySequence_List(cases.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.ptr()); ++i) {
        nb::handle pair = PyList_GET_ITEM(pairs.ptr(), i);
        if (!PyTuple_CheckExact(pair.ptr()) || PyTuple_GET_SIZE(pair.ptr()) != 2) continue;
        if (visit(i, PyTuple_GET_ITEM(pair.ptr(), 0), PyTuple_GET_ITEM(pair.ptr(), 1))) return true;
    }
    return false;
}

nb::object visitor_generic_visit(nb::handle self, nb::handle node, nb::handle context) {
    SharedState& state = shared_state();
    ChildVisitor visit_child(state, self, context);
    for_each_field<Fields::values>(state, node, [&](nb::handle, nb::handle value) {
        if (PyList_Check(value.ptr())) {
            for_each_item(value, [&](Py_ssize_t, nb::handle item) {
                if (is_node_of(state, item.ptr())) visit_child(item);
            });
        } else if (is_node_of(state, value.ptr())) {
            visit_child(value);
        }
    });
    return nb::none();
}

nb::object transformer_generic_visit(nb::handle self, nb::handle node, nb::handle context) {
    SharedState& state = shared_state();
    ChildVisitor visit_child(state, self, context);
    for_each_field<Fields::items>(state, node, [&](nb::handle field, nb::handle old_value) {
        if (PyList_Check(old_value.ptr())) {
            transform_list(state, visit_child, old_value);
        } else if (is_node_of(state, old_value.ptr())) {
            nb::object new_node = visit_child(old_value);
            if (new_node.is_none()) {
                check_status(PyObject_DelAttr(node.ptr(), field.ptr()));
            } else if (!(new_node.is(old_value) && rewrite_is_silent(node.ptr(), field.ptr()))) {
                check_status(PyObject_SetAttr(node.ptr(), field.ptr(), new_node.ptr()));
            }
        }
    });
    return nb::borrow(node);
}

}  // namespace corvane::native::tree
