// `with manager as entered: ...`, run as Python runs it: the manager's exit
// sees the exception that ends the block, and may swallow it.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>

namespace dbplus {

namespace py = pybind11;

// The body's result, or None when the manager swallowed the body's exception.
py::object with_context(py::handle manager, const std::function<py::object(py::handle entered)>& body);

}  // namespace dbplus
