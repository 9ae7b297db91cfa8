#include "host/pyaccess.h"

#include "host/attribute_dict.h"
#include "names.h"

namespace dbplus {

namespace {

// kept for the life of the process
PyObject* dict_get_method = nullptr;  // dict.get as found on the dict type
PyObject* dict_getitem_method = nullptr;  // dict.__getitem__
PyObject* getitem_name = nullptr;
PyObject* missing_name = nullptr;

py::object borrowed_or_none(PyObject* value) {
    if (value) return py::reinterpret_borrow<py::object>(value);
    if (PyErr_Occurred()) throw py::error_already_set();
    return py::none();
}

}  // namespace

bool get_is_dict_get(PyObject* mapping) {
    if (PyDict_CheckExact(mapping)) return true;
    if (!PyDict_Check(mapping)) return false;
    if (attribute_dict::has_dict_get(mapping)) return true;
    if (!dict_get_method) dict_get_method = _PyType_Lookup(&PyDict_Type, names::get);
    return _PyType_Lookup(Py_TYPE(mapping), names::get) == dict_get_method;
}

bool subscript_is_dict_lookup(PyObject* obj) {
    if (PyDict_CheckExact(obj)) return true;
    if (!PyDict_Check(obj)) return false;
    if (!dict_getitem_method) {
        getitem_name = PyUnicode_InternFromString("__getitem__");
        missing_name = PyUnicode_InternFromString("__missing__");
        if (!getitem_name || !missing_name) throw py::error_already_set();
        dict_getitem_method = _PyType_Lookup(&PyDict_Type, getitem_name);
    }
    PyTypeObject* type = Py_TYPE(obj);
    return _PyType_Lookup(type, getitem_name) == dict_getitem_method && !_PyType_Lookup(type, missing_name);
}

namespace {

// The item behind an attribute read of a host Dict, or null to take the general path.
PyObject* attribute_as_item(PyObject* obj, PyObject* name) {
    if (!attribute_dict::reads_items(obj, name)) return nullptr;
    return PyDict_GetItemWithError(obj, name);
}

}  // namespace

py::object attr(py::handle obj, PyObject* name) {
    if (PyObject* value = attribute_as_item(obj.ptr(), name)) {
        return py::reinterpret_borrow<py::object>(value);
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return steal_or_throw(PyObject_GetAttr(obj.ptr(), name));
}

py::object optional_attr(py::handle obj, PyObject* name) {
    PyObject* value = PyObject_GetAttr(obj.ptr(), name);
    if (value) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::none();
}

py::object get(py::handle mapping, py::handle key) {
    if (get_is_dict_get(mapping.ptr())) {
        return borrowed_or_none(PyDict_GetItemWithError(mapping.ptr(), key.ptr()));
    }
    py::object method = steal_or_throw(PyObject_GetAttr(mapping.ptr(), names::get));
    return steal_or_throw(PyObject_CallOneArg(method.ptr(), key.ptr()));
}

py::object get(py::handle mapping, PyObject* key) { return get(mapping, py::handle(key)); }

py::object item(py::handle obj, PyObject* key) {
    if (subscript_is_dict_lookup(obj.ptr())) {
        if (PyObject* value = PyDict_GetItemWithError(obj.ptr(), key)) return py::reinterpret_borrow<py::object>(value);
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    // a missing key raises as the object raises it
    return steal_or_throw(PyObject_GetItem(obj.ptr(), key));
}

void set_attr(py::handle obj, PyObject* name, py::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name, value.ptr()) < 0) throw py::error_already_set();
}

void set_item(py::handle obj, PyObject* key, py::handle value) {
    if (PyObject_SetItem(obj.ptr(), key, value.ptr()) < 0) throw py::error_already_set();
}

bool truthy(py::handle obj) {
    int result = PyObject_IsTrue(obj.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

bool contains(py::handle container, py::handle key) {
    int result = PySequence_Contains(container.ptr(), key.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

void append(py::handle container, py::handle value) {
    if (PyList_CheckExact(container.ptr())) {
        if (PyList_Append(container.ptr(), value.ptr()) < 0) throw py::error_already_set();
        return;
    }
    steal_or_throw(PyObject_CallMethodOneArg(container.ptr(), names::append, value.ptr()));
}

py::object call_method(py::handle obj, PyObject* name) {
    return steal_or_throw(PyObject_CallMethodNoArgs(obj.ptr(), name));
}

void update(py::handle target, py::handle source) {
    if (PyDict_CheckExact(target.ptr()) && PyDict_CheckExact(source.ptr())) {
        if (PyDict_Update(target.ptr(), source.ptr()) < 0) throw py::error_already_set();
        return;
    }
    steal_or_throw(PyObject_CallMethodOneArg(target.ptr(), names::update, source.ptr()));
}

py::object split(py::handle text, PyObject* separator) {
    return steal_or_throw(PyObject_CallMethodOneArg(text.ptr(), names::split, separator));
}

std::vector<py::object> unpack(py::handle obj, size_t count) {
    std::vector<py::object> values;
    if (PyTuple_CheckExact(obj.ptr()) && static_cast<size_t>(PyTuple_GET_SIZE(obj.ptr())) == count) {
        for (size_t i = 0; i < count; ++i) {
            values.push_back(py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(obj.ptr(), i)));
        }
        return values;
    }
    py::iterator it = py::iter(obj);
    for (; it != py::iterator::sentinel(); ++it) {
        if (values.size() == count) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", count);
            throw py::error_already_set();
        }
        values.push_back(py::reinterpret_borrow<py::object>(*it));
    }
    if (values.size() < count) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", count, values.size());
        throw py::error_already_set();
    }
    return values;
}

namespace {

bool compared(py::handle a, py::handle b, int op) {
    PyObject* result = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (!result) throw py::error_already_set();
    return truthy(py::reinterpret_steal<py::object>(result));
}

}  // namespace

bool equals(py::handle a, py::handle b) { return compared(a, b, Py_EQ); }

bool not_equal(py::handle a, py::handle b) { return compared(a, b, Py_NE); }

py::object steal_or_throw(PyObject* value) {
    if (!value) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(value);
}

}  // namespace dbplus
