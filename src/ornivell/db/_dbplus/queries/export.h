// Export: every page of a model search, coded values replaced by their
// dictionary labels, written to a spreadsheet by the host's create_sheet.
#pragma once

#include <pybind11/pybind11.h>

#include "plain_class.h"

namespace dbplus {

namespace py = pybind11;

// The class of the rows handed to a writer that takes them as they come.
void bind_export_rows(py::module_& module);
void bind_export(ClassBuilder& dbplus);

}  // namespace dbplus
