// Readable display names made from column names: user_name gives UserName.
#pragma once

#include <pybind11/pybind11.h>

#include "plain_class.h"

namespace dbplus {

namespace py = pybind11;

void bind_display_name(ClassBuilder& dbplus);

// DbPlus.beautify_display_name(name), called on the class `DbPlus` of the module's globals
py::object call_beautify_display_name(py::handle name);

}  // namespace dbplus
