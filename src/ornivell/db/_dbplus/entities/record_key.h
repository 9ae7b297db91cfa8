// Which column of a model's main table holds the record's `id`: a table
// whose key is not named id describes it as a property `id` whose column
// is that key (selected as `table.key as "id"`).
#pragma once

#include <pybind11/pybind11.h>

namespace dbplus {

namespace py = pybind11;

// The column of the model's property `id` when it names another column of
// the main table, else `id`. A user's hidden properties do not change it.
py::object id_column(py::handle self, py::handle info);

// Whether `column` is `id` itself: statements then keep their usual text.
bool is_plain_id(py::handle column);

// A main-table row that a write answers with carries its id under `id`, as
// query_one reads it, also when the column holding it is named otherwise.
void answer_with_id(py::handle row, py::handle column);

}  // namespace dbplus
