// Pages of a search are slices of one order only when the order is total:
// the statement's ordering ends with the model's key.
#pragma once

#include <pybind11/pybind11.h>

namespace dbplus {

namespace py = pybind11;

// Appends the model's key (its property "id", referenced as the block
// references it, else the main table's one-column primary key) to the result's ordering unless an item already sorts by
// it. Grouped results, and distinct ones that do not select the key, keep
// their ordering: the key cannot be sorted by there.
void end_order_with_key(py::handle self, py::handle info, py::handle result);

}  // namespace dbplus
