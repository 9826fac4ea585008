// Method objects: callables with a `__dict__` that bind to instances as
// functions do (see class_builder.h).
#include <structmember.h>

#include "corvane/native/class_builder.h"
#include "shared_state.h"

namespace corvane::native {

namespace {

struct MethodObject {
    PyObject_HEAD
    PyObject* target;
    MethodCall call;
    PyObject* dict;
};

PyObject* method_object_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    auto* object = reinterpret_cast<MethodObject*>(self);
    // The collector clears the target of an object in a garbage cycle, which
    // the cycle's other objects may still call while it is torn down.
    if (!object->target) {
        PyErr_SetString(PyExc_ReferenceError, "the function of this method object was cleared");
        return nullptr;
    }
    if (object->call) return object->call(object->target, args, kwargs);
    return PyObject_Call(object->target, args, kwargs);
}

PyObject* method_object_get(PyObject* self, PyObject* instance, PyObject*) {
    if (!instance || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

int method_object_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* object = reinterpret_cast<MethodObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(object->target);
    Py_VISIT(object->dict);
    return 0;
}

int method_object_clear(PyObject* self) {
    auto* object = reinterpret_cast<MethodObject*>(self);
    Py_CLEAR(object->target);
    Py_CLEAR(object->dict);
    return 0;
}

void method_object_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    method_object_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef method_object_members[] = {
    {"__func__", T_OBJECT, offsetof(MethodObject, target), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(MethodObject, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyObject* doc_name() { return interned<"__doc__">().ptr(); }

// The documentation set on the object (as `functools.wraps` does), else the target's.
PyObject* method_object_get_doc(PyObject* self, void*) {
    auto* object = reinterpret_cast<MethodObject*>(self);
    if (object->dict) {
        PyObject* doc = PyDict_GetItemWithError(object->dict, doc_name());  // borrowed
        if (doc) return Py_NewRef(doc);
        if (PyErr_Occurred()) return nullptr;
    }
    return PyObject_GetAttr(object->target, doc_name());
}

int method_object_set_doc(PyObject* self, PyObject* value, void*) {
    auto* object = reinterpret_cast<MethodObject*>(self);
    if (!object->dict && !(object->dict = PyDict_New())) return -1;
    if (!value) {
        if (PyDict_DelItem(object->dict, doc_name()) < 0 && PyErr_ExceptionMatches(PyExc_KeyError)) {
            PyErr_Clear();
            return 0;
        }
        return PyErr_Occurred() ? -1 : 0;
    }
    return PyDict_SetItem(object->dict, doc_name(), value);
}

PyGetSetDef method_object_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__doc__", method_object_get_doc, method_object_set_doc, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot method_object_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(method_object_call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(method_object_get)},
    {Py_tp_traverse, reinterpret_cast<void*>(method_object_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(method_object_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(method_object_dealloc)},
    {Py_tp_members, method_object_members},
    {Py_tp_getset, method_object_getset},
    {0, nullptr},
};

PyType_Spec method_object_spec = {
    "corvane.native.method",
    sizeof(MethodObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    method_object_slots,
};

}  // namespace

namespace detail {

PyTypeObject* make_method_object_type() {
    PyObject* type = PyType_FromSpec(&method_object_spec);
    if (!type) throw nb::python_error();
    return reinterpret_cast<PyTypeObject*>(type);  // kept for the life of the process
}

}  // namespace detail

nb::object make_method_object(nb::handle target, MethodCall call) {
    PyTypeObject* type = detail::shared_state().method_object_type;
    auto* object = PyObject_GC_New(MethodObject, type);
    if (!object) throw nb::python_error();
    object->target = Py_NewRef(target.ptr());
    object->call = call;
    object->dict = nullptr;
    PyObject_GC_Track(object);
    nb::object result = nb::steal(reinterpret_cast<PyObject*>(object));
    // Named as the function it calls, so that help() lists it as that function.
    nb::object name = nb::getattr(target, "__name__", nb::none());
    if (PyUnicode_Check(name.ptr()) && PyUnicode_GET_LENGTH(name.ptr()) > 0)
        check_status(PyObject_SetAttrString(result.ptr(), "__name__", name.ptr()));
    return result;
}

nb::object make_method_object(nb::handle target) { return make_method_object(target, nullptr); }

}  // namespace corvane::native
