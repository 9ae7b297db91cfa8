#include "host/column_index.h"

#include "names.h"

namespace dbplus {

namespace {

struct CollectionMethods {
    PyObject* contains = nullptr;
    PyObject* get = nullptr;
};

// ColumnCollection's __contains__ and get of the SQLAlchemy in the process,
// once it is loaded; kept for the life of the process. Nothing is imported here.
const CollectionMethods* collection_methods() {
    static CollectionMethods found;
    if (found.contains) return &found;
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
    auto* type = reinterpret_cast<PyTypeObject*>(collection_class);
    PyObject* contains = _PyType_Lookup(type, names::dunder_contains);
    PyObject* get = _PyType_Lookup(type, names::get);
    if (contains && get) {
        Py_INCREF(contains);
        Py_INCREF(get);
        found = {contains, get};
    }
    Py_DECREF(collection_class);
    return found.contains ? &found : nullptr;
}

}  // namespace

py::object column_index(py::handle collection, py::handle key) {
    if (!PyUnicode_CheckExact(key.ptr())) return {};
    const CollectionMethods* methods = collection_methods();
    if (!methods) return {};
    // the class's own methods, not ones a subclass put in their place
    PyTypeObject* type = Py_TYPE(collection.ptr());
    if (_PyType_Lookup(type, names::dunder_contains) != methods->contains ||
        _PyType_Lookup(type, names::get) != methods->get) {
        return {};
    }
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
