// The complete search statement of one model for one user and request.
#pragma once

#include <pybind11/pybind11.h>

#include "plain_class.h"

namespace dbplus {

namespace py = pybind11;

void bind_statement(ClassBuilder& dbplus);

// self.build_sql(user, model, args=args, extra_conds=extra_conds, extra_params=extra_params)
py::object call_build_sql(py::handle self, py::handle user, py::handle model, py::handle args,
                          py::handle extra_conds, py::handle extra_params);

}  // namespace dbplus
