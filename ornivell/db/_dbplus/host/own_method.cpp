#include "host/own_method.h"

namespace dbplus {

void OwnMethod::bind(py::handle function) {
    if (!interned_name_) {
        interned_name_ = PyUnicode_InternFromString(name_);
        if (!interned_name_) throw py::error_already_set();
    }
    function_ = function.ptr();
}

py::object OwnMethod::lookup(py::handle self) const {
    PyObject* found = PyObject_GetAttr(self.ptr(), interned_name_);
    if (!found) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(found);
}

bool OwnMethod::is_own(py::handle found, py::handle self) const {
    PyObject* obj = found.ptr();
    if (PyMethod_Check(obj)) {
        return PyMethod_GET_FUNCTION(obj) == function_ && PyMethod_GET_SELF(obj) == self.ptr();
    }
    return obj == function_;  // a static method
}

}  // namespace dbplus
