// SqlBlock: the pieces of a SELECT while it is assembled.
// SqlResult: the finished pieces and their parameters, rendered by to_sql.
#pragma once

#include <pybind11/pybind11.h>

namespace dbplus {

namespace py = pybind11;

void bind_sql_records(py::module_& module);

py::object new_sql_block();
py::object new_sql_result();

// The first elements of `pairs`, stably ordered by their second elements.
py::list sorted_join_tables(py::handle pairs);

}  // namespace dbplus
