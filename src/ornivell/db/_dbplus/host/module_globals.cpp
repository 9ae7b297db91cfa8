#include "host/module_globals.h"

namespace dbplus {

namespace {
PyObject* globals = nullptr;  // the module's __dict__, kept for the life of the process
}

void remember_module_globals(py::module_& module) {
    globals = PyModule_GetDict(module.ptr());
    Py_XINCREF(globals);
}

py::object module_global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (value) return py::reinterpret_borrow<py::object>(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw py::error_already_set();
}

}  // namespace dbplus
