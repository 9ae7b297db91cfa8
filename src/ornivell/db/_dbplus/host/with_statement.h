// Running a block inside a host context manager, as Python's `with`
// statement does: the manager's `__exit__` sees the block's exception and
// may suppress it.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>

namespace dbplus {

namespace py = pybind11;

// `with manager as entered: return block(entered)`; None when `__exit__`
// suppresses an exception of the block.
py::object with_statement(py::handle manager, const std::function<py::object(py::handle)>& block);

}  // namespace dbplus
