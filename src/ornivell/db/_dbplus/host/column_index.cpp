#include "host/column_index.h"

#include "names.h"

namespace dbplus {

namespace {

// ColumnCollection.__contains__ of the SQLAlchemy in the process, once it is
// loaded; kept for the life of the process. Nothing is imported here.
PyObject* collection_contains() {
    static PyObject* found = nullptr;
    if (found) return found;
    PyObject* module = PyImport_GetModule(py::str("sqlalchemy.sql.base").ptr());
    if (!module) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* collection_class = PyObject_GetAttrString(module, "ColumnCollection");
    Py_DECREF(module);
    if (!collection_class || !PyType_Check(collection_class)) {
        PyErr_Clear();
        Py_XDECREF(collection_class);
        return nullptr;
    }
    found = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(collection_class), names::dunder_contains);
    Py_XINCREF(found);
    Py_DECREF(collection_class);
    return found;
}

}  // namespace

py::object column_index(py::handle collection, py::handle key) {
    if (!PyUnicode_CheckExact(key.ptr())) return {};
    PyObject* contains = collection_contains();
    // the class's own test, not one a subclass put in its place
    if (!contains || _PyType_Lookup(Py_TYPE(collection.ptr()), names::dunder_contains) != contains) return {};
    PyObject* index = PyObject_GetAttr(collection.ptr(), names::column_index);
    if (!index) {
        PyErr_Clear();
        return {};
    }
    py::object owned = py::reinterpret_steal<py::object>(index);
    if (!PyDict_CheckExact(index)) return {};
    return owned;
}

}  // namespace dbplus
