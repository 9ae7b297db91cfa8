// Function permissions: the operations a user's roles grant on resources
// (business models and host functions), and the checks built on them.
#pragma once

#include <pybind11/pybind11.h>

#include "plain_class.h"

namespace dbplus {

namespace py = pybind11;

void bind_function_permissions(ClassBuilder& dbplus);

// self.check_perm(user, model, op_key, op_name), session left at its default
py::object call_check_perm(py::handle self, py::handle user, py::handle model, const char* op_key,
                           const char* op_name);
// self.check_perm(user, model, op_key, op_name, session=session)
py::object call_check_perm(py::handle self, py::handle user, py::handle model, const char* op_key,
                           const char* op_name, py::handle session);
// self.acl_model(uid, model), session left at its default
py::object call_acl_model(py::handle self, py::handle uid, py::handle model);

}  // namespace dbplus
