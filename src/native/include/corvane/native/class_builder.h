// Python classes whose methods are C++ functions.
//
// The system's classes must behave as classes written in Python: they derive
// from Python classes (abc.ABC, the openqasm3 node dataclasses and visitors,
// Exception), raise the host's abstract-class and frozen-record errors and use
// the host's record text forms. So a class is made by the host's own class
// machinery, as a class statement would make it, with C++ functions in its
// namespace:
//
//     nb::object Step = ClassBuilder(m, "Step", {abc.ABC})
//         .def("__init__", &step_init, "name"_a = nb::none())
//         .def_abstract("__call__", &step_call, "program"_a)
//         .build();
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <utility>

#include "corvane/native/python.h"
#include "corvane/native/tree_walk.h"

namespace corvane::native {

// A callable with a `__dict__` that binds to instances as a function does.
// It lets C++ functions carry attributes (`__isabstractmethod__`, the
// attributes `functools.wraps` copies) that nanobind's functions cannot hold.
// Calling it calls `target`.
nb::object make_method_object(nb::handle target);

// The same, with a call of its own: `call(target, args, kwargs)`, where `args`
// begins with the bound instance when the object is called as a method.
using MethodCall = PyObject* (*)(PyObject* target, PyObject* args, PyObject* kwargs);
nb::object make_method_object(nb::handle target, MethodCall call);

// `f` as a function that counts one level of the host's recursion limit while
// it runs, as a Python function does. Calls between the module's functions
// through Python attributes (an attribute set to another of them, a tree that
// holds itself) then end with RecursionError, never with an overrun C stack.
template <typename Return, typename... Args>
auto recursion_guarded(Return (*f)(Args...)) {
    return [f](Args... args) -> Return {
        RecursionLimitGuard guard;
        return f(std::forward<Args>(args)...);
    };
}

// A function or a lambda without captures.
template <typename Func>
auto recursion_guarded(Func&& f) {
    return recursion_guarded(+f);
}

class ClassBuilder {
public:
    ClassBuilder(nb::handle module, const char* name, std::initializer_list<nb::handle> bases = {});

    // An instance method; `f` takes `self` first.
    template <typename Func, typename... Extra>
    ClassBuilder& def(const char* name, Func&& f, const Extra&... extra) {
        return attr(name, method(name, std::forward<Func>(f), extra...));
    }

    // An abstract method (`abc.abstractmethod`): the class cannot be
    // instantiated until a subclass provides it.
    template <typename Func, typename... Extra>
    ClassBuilder& def_abstract(const char* name, Func&& f, const Extra&... extra) {
        return attr(name, abstract(make_method_object(method(name, std::forward<Func>(f), extra...))));
    }

    // A static method; `f` takes no `self`.
    template <typename Func, typename... Extra>
    ClassBuilder& def_static(const char* name, Func&& f, const Extra&... extra) {
        return attr(name, wrap_static(nb::cpp_function(recursion_guarded(std::forward<Func>(f)), nb::name(name),
                                                       extra...)));
    }

    // A class method; `f` takes the class first.
    template <typename Func, typename... Extra>
    ClassBuilder& def_classmethod(const char* name, Func&& f, const Extra&... extra) {
        return attr(name, wrap_classmethod(nb::cpp_function(recursion_guarded(std::forward<Func>(f)),
                                                            nb::name(name), extra...)));
    }

    // A read-only property; `getter` takes `self`.
    template <typename Func>
    ClassBuilder& def_property(const char* name, Func&& getter) {
        return attr(name, wrap_property(method(name, std::forward<Func>(getter))));
    }

    // A syntax-tree handler (`visit_<NodeClass>`) that the C++ walk calls directly.
    ClassBuilder& def_handler(const char* name, TreeHandler handler);

    // The C++ `visit` and `generic_visit` of the library's visitor or
    // transformer, for classes derived from QASMVisitor or QASMTransformer.
    ClassBuilder& visitor_walk();
    ClassBuilder& transformer_walk();

    // A `generic_visit(node, context=None)` of the class's own, called
    // directly by the C++ walk. Put it after `visitor_walk`/`transformer_walk`.
    ClassBuilder& def_generic_visit(TreeWalk walk);

    // A class attribute.
    ClassBuilder& attr(const char* name, nb::handle value);
    ClassBuilder& doc(const char* text) { return attr("__doc__", nb::str(text)); }

    // A record field for `build_dataclass`, with its annotation kept as text
    // and, optionally, its default (a value or a `dataclasses.field(...)`).
    ClassBuilder& field(const char* name, const char* annotation);
    ClassBuilder& field(const char* name, const char* annotation, nb::handle default_value);

    // Makes the class, stores it as a module attribute and returns it.
    nb::object build();

    // Makes the class as a record: `dataclasses.dataclass(frozen=...)` applied
    // to it, so that its constructor, equality, hashing, text form and
    // frozen-record errors are the host's own.
    nb::object build_dataclass(bool frozen = false);

private:
    template <typename Func, typename... Extra>
    static nb::object method(const char* name, Func&& f, const Extra&... extra) {
        return nb::cpp_function(recursion_guarded(std::forward<Func>(f)), nb::is_method(), nb::name(name),
                                extra...);
    }
    static nb::object abstract(nb::handle function);
    static nb::object wrap_static(nb::handle function);
    static nb::object wrap_classmethod(nb::handle function);
    static nb::object wrap_property(nb::handle getter);

    nb::handle module_;
    nb::str name_;
    nb::tuple bases_;
    nb::dict namespace_;
    nb::dict annotations_;
};

// A module-level function.
template <typename Func, typename... Extra>
nb::object def_function(nb::handle module, const char* name, Func&& f, const Extra&... extra) {
    nb::object function = nb::cpp_function(recursion_guarded(std::forward<Func>(f)), nb::name(name),
                                           nb::scope(module), extra...);
    nb::setattr(module, name, function);
    return function;
}

}  // namespace corvane::native
