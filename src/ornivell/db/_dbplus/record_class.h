// Record classes: plain classes whose constructor takes no arguments and sets
// fresh default values for their fields, in a stated order.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

namespace dbplus {

namespace py = pybind11;

enum class FieldDefault { none, empty_list, empty_dict, empty_text, false_value };

struct Field {
    PyObject* const* name;  // one of the interned names
    FieldDefault initial;
};

// Makes the class with its `__init__` and binds it in the module.
py::object make_record_class(py::module_& module, const char* name, std::vector<Field> fields);

// A new instance, made by calling the class as Python code would.
py::object new_record(py::handle cls);

}  // namespace dbplus
