#include "writes/permission_gate.h"

#include "access/function_permissions.h"
#include "host/pyaccess.h"
#include "names.h"
#include "result_pair.h"

namespace dbplus {

namespace {

Gate gate_of(const py::object& check) {
    Gate gate;
    py::object status = attr(check, names::status);
    if (py::int_(200).equal(status)) {
        gate.info = attr(check, names::info);
    } else {
        gate.refusal = result_pair(attr(check, names::message), status);
    }
    return gate;
}

}  // namespace

Gate pass_gate(py::handle self, py::handle user, py::handle model, const char* op_key, const char* op_name) {
    return gate_of(call_check_perm(self, user, model, op_key, op_name));
}

Gate pass_gate(py::handle self, py::handle user, py::handle model, const char* op_key, const char* op_name,
               py::handle session) {
    return gate_of(call_check_perm(self, user, model, op_key, op_name, session));
}

}  // namespace dbplus
