#include "host/weak_memo.h"

namespace dbplus::weak_memo_detail {

namespace {

struct Watcher {
    void* memo;
    PyObject* key;  // only compared, never used: the object is being freed
    void (*forget)(void* memo, PyObject* key);
};

void free_watcher(PyObject* capsule) { delete static_cast<Watcher*>(PyCapsule_GetPointer(capsule, nullptr)); }

PyObject* on_freed(PyObject* capsule, PyObject* /* the weak reference */) {
    auto* watcher = static_cast<Watcher*>(PyCapsule_GetPointer(capsule, nullptr));
    if (!watcher) return nullptr;
    try {
        watcher->forget(watcher->memo, watcher->key);
    } catch (py::error_already_set& error) {
        error.restore();
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef on_freed_definition{"forget_memo_entry", &on_freed, METH_O, nullptr};

}  // namespace

py::object watch(py::handle key, void* memo, void (*forget)(void* memo, PyObject* key)) {
    if (!PyType_SUPPORTS_WEAKREFS(Py_TYPE(key.ptr()))) return py::object();
    auto* watcher = new Watcher{memo, key.ptr(), forget};
    PyObject* capsule = PyCapsule_New(watcher, nullptr, &free_watcher);
    if (!capsule) {
        delete watcher;
        throw py::error_already_set();
    }
    py::object owned_capsule = py::reinterpret_steal<py::object>(capsule);
    py::object callback = py::reinterpret_steal<py::object>(PyCFunction_New(&on_freed_definition, capsule));
    if (!callback) throw py::error_already_set();
    PyObject* reference = PyWeakref_NewRef(key.ptr(), callback.ptr());
    if (!reference) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(reference);
}

}  // namespace dbplus::weak_memo_detail
