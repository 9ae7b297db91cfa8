// Module globals read at the moment of use, as Python code reads its
// globals, so a host or a test can replace them.
#pragma once

#include <pybind11/pybind11.h>

namespace dbplus {

namespace py = pybind11;

void remember_module_globals(py::module_& module);

// The global's current value; NameError when it is missing.
py::object module_global(PyObject* name);

}  // namespace dbplus
