// Numbered sequences per organisation: prefix, date-time part and a counter
// kept in _seq and _seq_value.
#pragma once

#include <pybind11/pybind11.h>

#include "plain_class.h"

namespace dbplus {

namespace py = pybind11;

void bind_sequence(ClassBuilder& dbplus);

// self.generate_seq(name, user)
py::object call_generate_seq(py::handle self, py::handle name, py::handle user);

}  // namespace dbplus
