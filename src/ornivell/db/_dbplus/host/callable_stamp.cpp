#include "host/callable_stamp.h"

#include "host/pyaccess.h"

namespace dbplus {

namespace {

bool weak_reference_to(PyObject* obj, py::object& reference) {
    if (!PyType_SUPPORTS_WEAKREFS(Py_TYPE(obj))) return false;
    reference = steal_or_throw(PyWeakref_NewRef(obj, nullptr));
    return true;
}

bool refers_to(const py::object& reference, PyObject* obj) { return PyWeakref_GET_OBJECT(reference.ptr()) == obj; }

}  // namespace

bool CallableStamp::make(py::handle callable) {
    if (PyMethod_Check(callable.ptr())) {
        return weak_reference_to(PyMethod_GET_FUNCTION(callable.ptr()), function_) &&
               weak_reference_to(PyMethod_GET_SELF(callable.ptr()), instance_);
    }
    return weak_reference_to(callable.ptr(), function_);
}

bool CallableStamp::matches(py::handle callable) const {
    if (!function_) return false;
    if (PyMethod_Check(callable.ptr())) {
        return instance_ && refers_to(function_, PyMethod_GET_FUNCTION(callable.ptr())) &&
               refers_to(instance_, PyMethod_GET_SELF(callable.ptr()));
    }
    return !instance_ && refers_to(function_, callable.ptr());
}

}  // namespace dbplus
