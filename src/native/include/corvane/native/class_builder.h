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
//         .doc("A named transformation of a program.")
//         .def("__init__(self, name: str | None = None) -> None", &step_init,
//              "Names the step, after its class when no name is given.", "name"_arg = nb::none())
//         .def_abstract("__call__(self, program: Program) -> Program", &step_call,
//                       "Runs the step on one program.", "program"_arg)
//         .build();
//
// An operation is given by its definition text: its name alone, or its name
// followed by its parameters and result as Python writes them
// ("compile(self, code: str) -> CompilationResult"). That text is what
// help(), editors and the generated type stubs show. What the function
// accepts stays what its "name"_arg declarations say: they must be the
// parameters that the text names, in its order and with its defaults, which
// is checked when the module is loaded. A text argument after the function is
// its one-line documentation.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "corvane/native/python.h"
#include "corvane/native/tree_walk.h"

namespace corvane::native {

// A callable with a `__dict__` that binds to instances as a function does.
// It lets C++ functions carry attributes (`__isabstractmethod__`, the
// attributes `functools.wraps` copies) that nanobind's functions cannot hold.
// Calling it calls `target`; its documentation is the target's.
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

namespace detail {

// A parameter declared with "name"_arg, with its default value (null for none).
struct DeclaredParameter {
    const char* name;
    PyObject* default_value;
};

template <typename Extra>
void declare_parameter(std::vector<DeclaredParameter>& parameters, const Extra& extra) {
    using traits = nb::detail::arg_traits<std::decay_t<Extra>>;
    if constexpr (traits::has_default) parameters.push_back({extra.name_, extra.value.ptr()});
    else if constexpr (traits::is_arg) parameters.push_back({extra.name_, nullptr});
}

// A definition text taken apart: the operation's name and, when the text
// gives its parameters, nanobind's signature ("def " + the text).
struct Definition {
    std::string name;
    std::string signature;  // empty for a bare name

    // `bound`: the text's first parameter is the instance or class that the
    // call binds, which no "name"_arg declares. Raises RuntimeError when the
    // text and the declared parameters disagree.
    Definition(const char* text, const std::vector<DeclaredParameter>& declared, bool bound);
};

template <typename... Extra>
Definition definition(const char* text, bool bound, const Extra&... extra) {
    std::vector<DeclaredParameter> declared;
    (declare_parameter(declared, extra), ...);
    return Definition(text, declared, bound);
}

// nanobind's function object, named by the definition and given its signature;
// it counts against the recursion limit (see `recursion_guarded`).
template <typename Func, typename... Extra>
nb::object make_function(const Definition& definition, Func&& f, const Extra&... extra) {
    if (definition.signature.empty())
        return nb::cpp_function(recursion_guarded(std::forward<Func>(f)), nb::name(definition.name.c_str()),
                                extra...);
    // The name first: with a signature alone, nanobind's function has no `__name__`.
    return nb::cpp_function(recursion_guarded(std::forward<Func>(f)), nb::name(definition.name.c_str()),
                            nb::sig(definition.signature.c_str()), extra...);
}

}  // namespace detail

class ClassBuilder {
public:
    ClassBuilder(nb::handle module, const char* name, std::initializer_list<nb::handle> bases = {});

    // An instance method; `f` takes `self` first.
    template <typename Func, typename... Extra>
    ClassBuilder& def(const char* definition, Func&& f, const Extra&... extra) {
        detail::Definition d = detail::definition(definition, true, extra...);
        return attr(d.name.c_str(), method(d, std::forward<Func>(f), extra...));
    }

    // An abstract method (`abc.abstractmethod`): the class cannot be
    // instantiated until a subclass provides it.
    template <typename Func, typename... Extra>
    ClassBuilder& def_abstract(const char* definition, Func&& f, const Extra&... extra) {
        detail::Definition d = detail::definition(definition, true, extra...);
        return attr(d.name.c_str(), abstract(make_method_object(method(d, std::forward<Func>(f), extra...))));
    }

    // A static method; `f` takes no `self`.
    template <typename Func, typename... Extra>
    ClassBuilder& def_static(const char* definition, Func&& f, const Extra&... extra) {
        detail::Definition d = detail::definition(definition, false, extra...);
        return attr(d.name.c_str(), wrap_static(detail::make_function(d, std::forward<Func>(f), extra...)));
    }

    // A class method; `f` takes the class first, declared as "cls"_arg.
    template <typename Func, typename... Extra>
    ClassBuilder& def_classmethod(const char* definition, Func&& f, const Extra&... extra) {
        detail::Definition d = detail::definition(definition, false, extra...);
        return attr(d.name.c_str(), wrap_classmethod(detail::make_function(d, std::forward<Func>(f), extra...)));
    }

    // A read-only property; `getter` takes `self`; `doc` says what it is.
    template <typename Func>
    ClassBuilder& def_property(const char* definition, Func&& getter, const char* doc = nullptr) {
        detail::Definition d = detail::definition(definition, true);
        nb::object function = doc ? method(d, std::forward<Func>(getter), doc) : method(d, std::forward<Func>(getter));
        return attr(d.name.c_str(), wrap_property(function, doc));
    }

    // A syntax-tree handler (`visit_<NodeClass>`) that the C++ walk calls directly.
    ClassBuilder& def_handler(const char* definition, TreeHandler handler, const char* doc = nullptr);

    // The C++ `visit` and `generic_visit` of the library's visitor or
    // transformer, for classes derived from QASMVisitor or QASMTransformer.
    ClassBuilder& visitor_walk();
    ClassBuilder& transformer_walk();

    // A `generic_visit(node, context=None)` of the class's own, called
    // directly by the C++ walk. Put it after `visitor_walk`/`transformer_walk`.
    ClassBuilder& def_generic_visit(TreeWalk walk, const char* definition = "generic_visit",
                                    const char* doc = nullptr);

    // A class attribute.
    ClassBuilder& attr(const char* name, nb::handle value);
    // The class's documentation: one line saying what it is.
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
    static nb::object method(const detail::Definition& definition, Func&& f, const Extra&... extra) {
        return detail::make_function(definition, std::forward<Func>(f), nb::is_method(), extra...);
    }
    static nb::object abstract(nb::handle function);
    static nb::object wrap_static(nb::handle function);
    static nb::object wrap_classmethod(nb::handle function);
    static nb::object wrap_property(nb::handle getter, const char* doc);

    nb::handle module_;
    nb::str name_;
    nb::tuple bases_;
    nb::dict namespace_;
    nb::dict annotations_;
};

// A method's function object, by its definition text (see above), for a
// class that wraps it before installing it.
template <typename Func, typename... Extra>
nb::object method_function(const char* definition, Func&& f, const Extra&... extra) {
    detail::Definition d = detail::definition(definition, true, extra...);
    return detail::make_function(d, std::forward<Func>(f), nb::is_method(), extra...);
}

// A module-level function, by its definition text (see above).
template <typename Func, typename... Extra>
nb::object def_function(nb::handle module, const char* definition, Func&& f, const Extra&... extra) {
    detail::Definition d = detail::definition(definition, false, extra...);
    nb::object function = detail::make_function(d, std::forward<Func>(f), nb::scope(module), extra...);
    nb::setattr(module, d.name.c_str(), function);
    return function;
}

}  // namespace corvane::native
