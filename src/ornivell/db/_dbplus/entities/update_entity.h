// Request data completed for update: column copies, last modifier and
// last modification time.
#pragma once

#include <pybind11/pybind11.h>

#include "plain_class.h"

namespace dbplus {

namespace py = pybind11;

void bind_update_entity(ClassBuilder& dbplus);

// self.normalize_update_entity(user, data, info)
void call_normalize_update_entity(py::handle self, py::handle user, py::handle data, py::handle info);
// self.normalize_update_entity_list(user, data, info)
void call_normalize_update_entity_list(py::handle self, py::handle user, py::handle data, py::handle info);

}  // namespace dbplus
