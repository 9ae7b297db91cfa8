// Translation references resolved to the handle's table objects, and
// property data types guessed from column types.
#pragma once

#include <pybind11/pybind11.h>

#include "plain_class.h"

namespace dbplus {

namespace py = pybind11;

void bind_column_mapping(ClassBuilder& dbplus);

// self.table_column(text) -> (table object or None, column name or None)
py::object call_table_column(py::handle self, py::handle table_column);
// self.guess_column_type(column)
py::object call_guess_column_type(py::handle self, py::handle column);

}  // namespace dbplus
