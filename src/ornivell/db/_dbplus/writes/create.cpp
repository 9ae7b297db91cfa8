#include "writes/create.h"

#include "dbplus.h"
#include "entities/create_entity.h"
#include "entities/entity_data.h"
#include "entities/key_values.h"
#include "host/call.h"
#include "host/pyaccess.h"
#include "names.h"
#include "result_pair.h"
#include "writes/permission_gate.h"

namespace dbplus {

namespace {

py::object main_table_of(py::handle info) { return attr(attr(info, names::main_table), names::name); }

// self.db.<operation>(main_table, data, session=session)
py::object insert(py::handle self, PyObject* operation, py::handle main_table, py::handle data,
                  py::handle session) {
    return Call(attr(handle_of(self), operation)).keyword(names::session, session).run({main_table, data});
}

py::object create(py::handle self, py::handle user, py::handle model, py::handle data, py::handle session) {
    if (py::len(data) == 0) return result_pair(message_payload("不能创建空表单"), 400);
    Gate gate = pass_gate(self, user, model, "createEnabled", "创建", session);
    if (gate.refused()) return gate.refusal;
    refuse_unwritable(gate.info, model);
    py::object main_table = main_table_of(gate.info);
    py::object errors = call_normalize_create_entity(self, user, data, gate.info);
    if (truthy(errors)) return result_pair(errors, 400);
    return result_pair(insert(self, names::add, main_table, data, session), 200);
}

// No check for an empty batch, and the permission lookup in the handle's own session.
py::object create_many(py::handle self, py::handle user, py::handle model, py::handle data, py::handle session) {
    Gate gate = pass_gate(self, user, model, "createEnabled", "创建");
    if (gate.refused()) return gate.refusal;
    refuse_unwritable(gate.info, model);
    py::object entities = entity_list(data);
    py::object main_table = main_table_of(gate.info);
    py::object errors = call_normalize_create_entity_list(self, user, entities, gate.info);
    if (truthy(errors)) return result_pair(errors, 400);
    return result_pair(insert(self, names::add_many, main_table, entities, session), 200);
}

}  // namespace

void bind_create(ClassBuilder& dbplus) {
    dbplus.method("create", &create, py::arg("user"), py::arg("model"), py::arg("data"),
                  py::arg("session") = py::none());
    dbplus.method("create_many", &create_many, py::arg("user"), py::arg("model"), py::arg("data"),
                  py::arg("session") = py::none(),
                  py::doc("批量增加，验证创建功能权限\n"
                          ":param user: 登录用户\n"
                          ":param model: 业务模型\n"
                          ":param data: 数据列表"));
}

}  // namespace dbplus
