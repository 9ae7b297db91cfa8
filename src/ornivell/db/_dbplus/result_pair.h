// The (payload, status) pairs that public operations return; a failure's
// payload is {"message": text}.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace dbplus {

namespace py = pybind11;

py::dict message_payload(const std::string& text);
py::tuple result_pair(py::handle payload, int status);
// a status passed on as the callee gave it
py::tuple result_pair(py::handle payload, py::handle status);
// status == 200
bool is_ok(py::handle status);

}  // namespace dbplus
