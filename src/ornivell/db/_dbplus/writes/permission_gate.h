// The function-permission check every write starts with.
#pragma once

#include <pybind11/pybind11.h>

namespace dbplus {

namespace py = pybind11;

// The outcome of self.check_perm: the model's ModelInfo when it passed,
// else the pair to return.
struct Gate {
    py::object info;
    py::object refusal;  // (message, status), or empty when the check passed

    bool refused() const { return static_cast<bool>(refusal); }
};

// check_perm(user, model, op_key, op_name), with session=session when one is given
Gate pass_gate(py::handle self, py::handle user, py::handle model, const char* op_key, const char* op_name);
Gate pass_gate(py::handle self, py::handle user, py::handle model, const char* op_key, const char* op_name,
               py::handle session);

}  // namespace dbplus
