// What the preparation of entities for create and update shares.
#pragma once

#include <pybind11/pybind11.h>

namespace dbplus {

namespace py = pybind11;

// `data` when it is a list or tuple (subclasses included), else [data].
py::object entity_list(py::handle data);

// A value submitted under a property's name is also written under its
// column's name, unless the column already holds a true value.
void copy_to_column(py::handle prop, py::handle data);

// datetime.now(), through the module's global of that name
py::object local_now();

}  // namespace dbplus
