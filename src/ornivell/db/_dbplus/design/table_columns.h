// Keeping a model's property rows in step with the columns of one of its
// tables: stale rows go, every used column without a row gets one.
#pragma once

#include <pybind11/pybind11.h>

#include "plain_class.h"

namespace dbplus {

namespace py = pybind11;

void bind_table_columns(ClassBuilder& dbplus);

// self.generate_table_columns(s, model, t, columns=..., alias=..., is_main=..., info=...)
void call_generate_table_columns(py::handle self, py::handle s, py::handle model, py::handle t, py::handle columns,
                                 py::handle alias, bool is_main, py::handle info);

}  // namespace dbplus
