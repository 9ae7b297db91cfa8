// The values a record gets from the module rather than from its writer: its
// creator, its creation time and its generated values. A create sets them
// whatever the request says; an update may only send them back unchanged.
#pragma once

#include <pybind11/pybind11.h>

namespace dbplus {

namespace py = pybind11;

// Whether the entity names any such property, by name or column.
bool names_filled_values(py::handle info, py::handle entity);

// The keys of `entity` whose value differs from the one `stored` holds, in
// the order of the model's properties.
py::list changed_filled_values(py::handle info, py::handle entity, py::handle stored);

}  // namespace dbplus
