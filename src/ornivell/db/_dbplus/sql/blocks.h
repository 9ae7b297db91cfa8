// Assembly of a model's SELECT pieces (SqlBlock): FROM pieces with their
// order numbers, select items, and the column lists used for keyword search,
// exact match, filters, export and default ordering.
#pragma once

#include <pybind11/pybind11.h>

#include "plain_class.h"

namespace dbplus {

namespace py = pybind11;

void bind_blocks(ClassBuilder& dbplus);

// self.build_sql_blocks(info, filter_props=..., join_cond=..., ctx=...)
py::object call_build_sql_blocks(py::handle self, py::handle info, py::handle filter_props, py::handle join_cond,
                                 py::handle ctx);
// self.build_sql_blocks(info, ctx=ctx)
py::object call_build_sql_blocks(py::handle self, py::handle info, py::handle ctx);

}  // namespace dbplus
