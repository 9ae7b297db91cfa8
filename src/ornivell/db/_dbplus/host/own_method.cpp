#include "host/own_method.h"

#include "host/python_api.h"

namespace dbplus {

void OwnMethod::bind(py::handle function, py::handle class_attribute) {
    if (!interned_name_) {
        interned_name_ = PyUnicode_InternFromString(name_);
        if (!interned_name_) throw py::error_already_set();
    }
    function_ = function.ptr();
    class_attribute_ = class_attribute.ptr();
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

namespace dbplus {

bool OwnMethod::class_holds_own(PyTypeObject* type) const {
    unsigned int version = type_version(type);
    if (type == checked_class_ && version != 0 && version == checked_version_) return true;
    // a class of its own attribute lookup, or another attribute under the name, takes the general path
    if (type->tp_getattro != PyObject_GenericGetAttr || _PyType_Lookup(type, interned_name_) != class_attribute_) {
        return false;
    }
    version = type_version(type);  // the lookup gives the class a tag when it had none
    if (version == 0) return false;
    checked_class_ = type;
    checked_version_ = version;
    return true;
}

bool OwnMethod::own_on(py::handle self) const {
    if (!class_attribute_ || !class_holds_own(Py_TYPE(self.ptr()))) return false;
    PyObject** instance_dict = _PyObject_GetDictPtr(self.ptr());
    if (!instance_dict || !*instance_dict) return true;
    PyObject* shadowing = PyDict_GetItemWithError(*instance_dict, interned_name_);
    if (!shadowing && PyErr_Occurred()) throw py::error_already_set();
    return !shadowing;
}

}  // namespace dbplus
