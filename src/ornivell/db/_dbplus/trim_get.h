// trim_get(d, key): d.get(key) stripped of surrounding white space, or None
// when that value is false.
#pragma once

#include <pybind11/pybind11.h>

namespace dbplus {

namespace py = pybind11;

py::object trim_get(py::handle mapping, py::handle key);

void bind_trim_get(py::module_& module);

}  // namespace dbplus
