// ModelInfo: the loaded description of one business model.
#pragma once

#include <pybind11/pybind11.h>

#include "host/own_method.h"
#include "host/read_log.h"

namespace dbplus {

namespace py = pybind11;

void bind_model_info_record(py::module_& module);

py::object new_model_info();

// info.main_table_name() and info.table_name(table), through the object's own methods.
py::object call_main_table_name(py::handle info);
py::object call_table_name(py::handle info, py::handle table);

// Whether both are the module's own methods, told without reading them: what
// was derived through them with a ReadLog holds only while they are.
bool own_table_names(py::handle info);
// info.main_table_name(), read through `reads` when it is the module's own.
py::object call_main_table_name(py::handle info, ReadLog& reads);

// How a statement's FROM clause names the main table: by the model's alias
// when it has one, and by its name for a model defined by SQL.
py::object from_clause_name(py::handle info, py::handle main_table);

// info.table_name, looked up once for a loop over many properties; the
// module's own method reads the model through `reads`.
class TableNamer {
public:
    TableNamer(py::handle info, ReadLog& reads);
    py::object operator()(py::handle table) const;
    // whether info.table_name is another function than the module's
    bool replaced() const { return static_cast<bool>(replaced_); }

private:
    py::handle info_;
    ReadLog& reads_;
    py::object replaced_;  // the method found when it is not the module's own
};

}  // namespace dbplus
