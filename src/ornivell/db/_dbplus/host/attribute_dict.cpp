#include "host/attribute_dict.h"

#include <unordered_map>

#include "host/python_api.h"
#include "names.h"

namespace dbplus::attribute_dict {

namespace {

struct Known {
    PyTypeObject* type = nullptr;
    PyObject* getattr_function = nullptr;  // the class's __getattr__ as remembered
    getattrofunc getattro = nullptr;
    unsigned int verified_version = 0;  // 0: not verified at the current version
    bool get_is_dict_get = false;
    std::unordered_map<PyObject*, bool> shadowed;  // name -> a class attribute of that name exists
};

Known known;

bool version_is(PyTypeObject* type, unsigned int version) { return version != 0 && type_version(type) == version; }

// Checks the class again after it changed; false when it no longer reads attributes as items.
bool verify(PyTypeObject* type) {
    known.shadowed.clear();
    known.verified_version = 0;
    if (type->tp_getattro != known.getattro) return false;
    if (_PyType_Lookup(type, names::dunder_getattr) != known.getattr_function) return false;
    known.get_is_dict_get = _PyType_Lookup(type, names::get) == _PyType_Lookup(&PyDict_Type, names::get);
    known.verified_version = type_version(type);
    return true;
}

bool verified(PyTypeObject* type) {
    if (type != known.type) return false;
    return version_is(type, known.verified_version) || verify(type);
}

bool shadowed(PyTypeObject* type, PyObject* name) {
    auto found = known.shadowed.find(name);
    if (found != known.shadowed.end()) return found->second;
    bool result = _PyType_Lookup(type, name) != nullptr;
    if (known.verified_version) known.shadowed.emplace(name, result);
    return result;
}

}  // namespace

void remember(PyObject* dict_type) {
    if (!PyType_Check(dict_type)) return;
    auto* type = reinterpret_cast<PyTypeObject*>(dict_type);
    // instances without a __dict__ of their own: items are the only per-instance state
    if (!PyType_IsSubtype(type, &PyDict_Type) || type->tp_dictoffset != 0) return;
    PyObject* getattr_function = _PyType_Lookup(type, names::dunder_getattr);
    if (!getattr_function) return;
    // kept for the life of the process
    Py_INCREF(type);
    Py_INCREF(getattr_function);
    known.type = type;
    known.getattr_function = getattr_function;
    known.getattro = type->tp_getattro;
}

bool reads_items(PyObject* obj, PyObject* name) {
    PyTypeObject* type = Py_TYPE(obj);
    return verified(type) && !shadowed(type, name);
}

bool has_dict_get(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    return verified(type) && known.get_is_dict_get;
}

}  // namespace dbplus::attribute_dict
