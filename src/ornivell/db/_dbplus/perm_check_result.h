// PermCheckResult: the outcome of a function-permission check.
#pragma once

#include <pybind11/pybind11.h>

namespace dbplus {

namespace py = pybind11;

void bind_perm_check_result(py::module_& module);

py::object new_perm_check_result();

}  // namespace dbplus
