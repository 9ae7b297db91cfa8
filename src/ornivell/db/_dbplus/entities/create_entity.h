// Request data completed for insert: column copies, creator, organisation,
// creation time, defaults, generated keys and sequence numbers, and the
// required properties still missing.
#pragma once

#include <pybind11/pybind11.h>

#include "plain_class.h"

namespace dbplus {

namespace py = pybind11;

void bind_create_entity(ClassBuilder& dbplus);

// self.normalize_create_entity(user, data, info) -> errors
py::object call_normalize_create_entity(py::handle self, py::handle user, py::handle data, py::handle info);
// self.normalize_create_entity_list(user, data, info) -> list of errors
py::object call_normalize_create_entity_list(py::handle self, py::handle user, py::handle data, py::handle info);

}  // namespace dbplus
