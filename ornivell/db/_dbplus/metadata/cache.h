// The per-instance cache of loaded metadata and permissions.
#pragma once

#include <pybind11/pybind11.h>

#include "plain_class.h"

namespace dbplus {

namespace py = pybind11;

void bind_cache(ClassBuilder& dbplus);

// self._read_cache(key) and self._write_cache(key, value)
py::object call_read_cache(py::handle self, py::handle key);
void call_write_cache(py::handle self, py::handle key, py::handle value);

}  // namespace dbplus
