// The keys that single-record operations bind (ids, the key columns of an
// update, the values of link rows), checked against their column's type as
// filter values are and converted the same way, before any statement runs:
// a value the column cannot take is the runtime's ValueError naming where
// it stood, the same on every database, instead of a driver's error or a
// match that the database makes up (`1abc` read as 1).
#pragma once

#include <pybind11/pybind11.h>

namespace dbplus {

namespace py = pybind11;

// The id that query_one binds for the model's `id` column, `column` (id_column's answer).
py::object read_record_id(py::handle self, py::handle info, py::handle column, py::handle id);

// ValueError unless the model has a table to write (a model defined by SQL has none).
void refuse_unwritable(py::handle info, py::handle model);
// refuse_unwritable, then the id that delete binds.
py::object written_record_id(py::handle self, py::handle info, py::handle model, py::handle id);
// refuse_unwritable, then the key entries of `data` (the main table's primary
// key and `id`) converted in place.
void convert_entity_keys(py::handle self, py::handle info, py::handle model, py::handle data);
// refuse_unwritable, then the `id` of every entity of the batch converted in place.
void convert_batch_ids(py::handle self, py::handle info, py::handle model, py::handle entities);
// The entries of each link row that name columns of the link table,
// converted in place; `what` names the batch in messages (add_data).
void convert_link_rows(py::handle self, py::handle table, py::handle rows, const char* what);

}  // namespace dbplus
