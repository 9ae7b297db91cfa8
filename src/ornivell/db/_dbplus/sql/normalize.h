// Context variables of metadata SQL become named parameters; a user's data
// permissions become conditions, parameters and joins.
#pragma once

#include <pybind11/pybind11.h>

#include "plain_class.h"

namespace dbplus {

namespace py = pybind11;

void bind_normalize(ClassBuilder& dbplus);

// self.normalize_sql(sql, ctx) -> (sql, params)
py::object call_normalize_sql(py::handle self, py::handle sql, py::handle ctx);
// self.build_acl_cond_sql(ctx, model) -> (conds, params, joins)
py::object call_build_acl_cond_sql(py::handle self, py::handle ctx, py::handle model);

}  // namespace dbplus
