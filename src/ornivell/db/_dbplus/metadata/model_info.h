// Loading a business model's description (ModelInfo) for one user.
#pragma once

#include <pybind11/pybind11.h>

#include "plain_class.h"

namespace dbplus {

namespace py = pybind11;

void bind_model_info(ClassBuilder& dbplus);

// self.model_info(entity, user) and self.model_info(entity, user, session=session)
py::object call_model_info(py::handle self, py::handle entity, py::handle user);
py::object call_model_info(py::handle self, py::handle entity, py::handle user, py::handle session);

}  // namespace dbplus
