// ModelInfo: the loaded description of one business model.
#pragma once

#include <pybind11/pybind11.h>

#include "host/own_method.h"

namespace dbplus {

namespace py = pybind11;

void bind_model_info_record(py::module_& module);

py::object new_model_info();

// info.main_table_name() and info.table_name(table), through the object's own methods.
py::object call_main_table_name(py::handle info);
py::object call_table_name(py::handle info, py::handle table);

}  // namespace dbplus
