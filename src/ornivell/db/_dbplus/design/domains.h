// Value lists ("domains"): code to label and position, read from the `_dict`
// table or from the first rows of linked models, for user interfaces that
// show coded values and offer filters in table headers.
#pragma once

#include <pybind11/pybind11.h>

#include "plain_class.h"

namespace dbplus {

namespace py = pybind11;

void bind_domains(ClassBuilder& dbplus);

// self.find_dict_domains(domains)
py::object call_find_dict_domains(py::handle self, py::handle domains);

}  // namespace dbplus
