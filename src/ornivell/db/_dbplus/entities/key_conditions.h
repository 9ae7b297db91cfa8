// Conditions that identify the records of an update: one record by the
// main table's primary key, a batch by its ids. Missing keys are reported,
// never raised.
#pragma once

#include <pybind11/pybind11.h>

#include "plain_class.h"

namespace dbplus {

namespace py = pybind11;

void bind_key_conditions(ClassBuilder& dbplus);

// self.primary_key_cond(data, t) -> (conds, params, error)
py::object call_primary_key_cond(py::handle self, py::handle data, py::handle table);
// self.primary_key_cond_list(data, t) -> ([cond], params, error), with
// column=<column> when the ids live in a column other than `id`
py::object call_primary_key_cond_list(py::handle self, py::handle data, py::handle table, py::handle column);

}  // namespace dbplus
