#include "corvane/native/class_builder.h"

#include "shared_state.h"

namespace corvane::native {

using namespace corvane::native::literals;

namespace {

// The library's generic walk as one shared function object per kind.
nb::handle shared_generic_visit(PyObject*& slot, TreeWalk walk) {
    if (!slot) {
        nb::object function = nb::cpp_function(
            recursion_guarded(walk), nb::is_method(), nb::name("generic_visit"),
            nb::sig("def generic_visit(self, node: openqasm3.ast.QASMNode, context: typing.Any = None)"
                    " -> typing.Any"),
            "Walks the children of a node that no handler of its own class takes.", "node"_arg,
            "context"_arg = nb::none());
        // Making the function may run a collection, and with it another thread
        // that made one too: the first one stays, so every class shares it.
        if (!slot) {
            tree::register_generic_visit(function, walk);
            slot = keep(function).ptr();
        }
    }
    return nb::handle(slot);
}

}  // namespace

ClassBuilder::ClassBuilder(nb::handle module, const char* name, std::initializer_list<nb::handle> bases)
    : module_(module), name_(name) {
    nb::list base_list;
    for (nb::handle base : bases) base_list.append(base);
    bases_ = nb::tuple(base_list);
    // A class statement sets these first.
    namespace_["__module__"] = nb::getattr(module, "__name__");
    namespace_["__qualname__"] = name_;
}

ClassBuilder& ClassBuilder::attr(const char* name, nb::handle value) {
    namespace_[name] = value;
    return *this;
}

ClassBuilder& ClassBuilder::def_handler(const char* definition, TreeHandler handler, const char* doc) {
    detail::Definition d = detail::definition(definition, true, "node"_arg);
    nb::object function = doc ? method(d, handler, doc, "node"_arg) : method(d, handler, "node"_arg);
    tree::register_handler(function, handler);
    return attr(d.name.c_str(), function);
}

ClassBuilder& ClassBuilder::def_generic_visit(TreeWalk walk, const char* definition, const char* doc) {
    detail::Definition d = detail::definition(definition, true, "node"_arg, "context"_arg = nb::none());
    nb::object function = doc ? method(d, walk, doc, "node"_arg, "context"_arg = nb::none())
                              : method(d, walk, "node"_arg, "context"_arg = nb::none());
    tree::register_generic_visit(function, walk);
    return attr("generic_visit", function);
}

ClassBuilder& ClassBuilder::visitor_walk() {
    detail::SharedState& state = detail::shared_state();
    attr("visit", tree::visit_function());
    return attr("generic_visit",
                shared_generic_visit(state.visitor_generic_visit_function, tree::visitor_generic_visit));
}

ClassBuilder& ClassBuilder::transformer_walk() {
    detail::SharedState& state = detail::shared_state();
    attr("visit", tree::visit_function());
    return attr("generic_visit",
                shared_generic_visit(state.transformer_generic_visit_function, tree::transformer_generic_visit));
}

ClassBuilder& ClassBuilder::field(const char* name, const char* annotation) {
    annotations_[name] = nb::str(annotation);
    return *this;
}

ClassBuilder& ClassBuilder::field(const char* name, const char* annotation, nb::handle default_value) {
    field(name, annotation);
    return attr(name, default_value);
}

nb::object ClassBuilder::build() {
    // What `types.new_class` does, with the namespace filled in place of a class body.
    nb::object types = import_module("types");
    nb::object resolved = types.attr("resolve_bases")(bases_);
    nb::tuple prepared = nb::borrow<nb::tuple>(types.attr("prepare_class")(name_, resolved));
    nb::object metaclass = prepared[0];
    nb::object ns = prepared[1];
    nb::object keywords = prepared[2];

    ns.attr("update")(namespace_);
    if (PyDict_GET_SIZE(annotations_.ptr()) > 0) ns["__annotations__"] = annotations_;
    if (!resolved.is(bases_)) ns["__orig_bases__"] = bases_;

    nb::object cls = steal_or_throw(PyObject_Call(
        metaclass.ptr(), nb::make_tuple(name_, resolved, ns).ptr(), keywords.ptr()));
    nb::setattr(module_, name_, cls);
    return cls;
}

nb::object ClassBuilder::build_dataclass(bool frozen) {
    nb::object cls = build();
    nb::object record = import_attr("dataclasses", "dataclass")(cls, "frozen"_arg = frozen);
    nb::setattr(module_, name_, record);
    return record;
}

nb::object ClassBuilder::abstract(nb::handle function) {
    return import_attr("abc", "abstractmethod")(function);
}

nb::object ClassBuilder::wrap_static(nb::handle function) {
    return steal_or_throw(PyStaticMethod_New(function.ptr()));
}

nb::object ClassBuilder::wrap_classmethod(nb::handle function) {
    return steal_or_throw(PyClassMethod_New(function.ptr()));
}

nb::object ClassBuilder::wrap_property(nb::handle getter, const char* doc) {
    // `property(getter, None, None, doc)`: without a text of its own, the
    // property's documentation is the getter's, signature line included.
    nb::object arguments = nb::make_tuple(getter, nb::none(), nb::none(), doc ? nb::object(nb::str(doc)) : nb::none());
    return steal_or_throw(PyObject_Call(reinterpret_cast<PyObject*>(&PyProperty_Type), arguments.ptr(), nullptr));
}

}  // namespace corvane::native
