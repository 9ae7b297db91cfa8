// Data permissions (row rules) and property permissions (hidden properties)
// of one user for one model or table.
#pragma once

#include <pybind11/pybind11.h>

#include "plain_class.h"

namespace dbplus {

namespace py = pybind11;

void bind_data_permissions(ClassBuilder& dbplus);

// self.acl_data(uid, model) and self.acl_prop(uid, model), without a session
py::object call_acl_data(py::handle self, py::handle uid, py::handle model);
py::object call_acl_prop(py::handle self, py::handle uid, py::handle model);

}  // namespace dbplus
