// Metadata rows that would break every statement of a model, or run as SQL,
// are refused with a MetadataError that names the model, the metadata table
// and the row, instead of surfacing later as an unrelated runtime error.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace dbplus {

namespace py = pybind11;

// Binds the module global MetadataError, a RuntimeError: bad metadata is
// the server's fault, not the client's.
void bind_metadata_error(py::module_& module);

[[noreturn]] void metadata_error(const std::string& message);

// A `_prop` row's name is a text without double quotes: it becomes a quoted
// select alias.
void check_property_name(py::handle model, py::handle prop);
// A `_prop` row's column, where it is used as a column name, is a text.
void check_property_column(py::handle model, py::handle prop, py::handle column);
// An `order` entry of a join is a number; `row` says which row holds it.
void check_order_number(const std::string& row, py::handle order);

}  // namespace dbplus
