#include "writes/create.h"

#include "dbplus.h"
#include "entities/create_entity.h"
#include "entities/entity_data.h"
#include "entities/key_values.h"
#include "entities/record_key.h"
#include "host/call.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "names.h"
#include "result_pair.h"
#include "writes/guarded_read.h"
#include "writes/permission_gate.h"
#include "writes/visible_columns.h"
#include "writes/within_rules.h"

namespace dbplus {

namespace {

// A single insert or a batch: which handle operation, and the rows it answers with.
struct Insert {
    PyObject* operation;
    bool batch;

    py::list rows(py::handle inserted) const {
        if (batch) return py::list(py::reinterpret_borrow<py::object>(inserted));
        py::list one;
        one.append(inserted);
        return one;
    }
};

// self.db.<operation>(main_table, data, session=session)
py::object insert(py::handle self, const Insert& kind, py::handle main_table, py::handle data, py::handle session) {
    return Call(attr(handle_of(self), kind.operation)).keyword(names::session, session).run({main_table, data});
}

py::list ids_of(const GuardedRead& read, const py::list& rows) {
    py::list ids;
    for (py::handle row : rows) ids.append(read.row_id(row));
    return ids;
}

// Inserts the completed data; a user with rules on the model must be able to
// see every row made, or nothing is kept. The rows answer with what the user
// may read.
py::object insert_checked(py::handle self, py::handle user, py::handle info, const VisibleColumns& visible,
                          const Insert& kind, py::handle data, py::handle session) {
    py::object table = attr(info, names::main_table);
    py::object main_table = attr(table, names::name);
    GuardedRead read(self, info, table, user);
    py::object inserted;
    if (!read.has_rules()) {
        inserted = insert(self, kind, main_table, data, session);
    } else if (!write_within_rules(self, session, read, [&](py::handle s) {
                   inserted = insert(self, kind, main_table, data, s);
                   return py::object(ids_of(read, kind.rows(inserted)));
               })) {
        std::string model_name = text_of(item(attr(info, names::model), names::displayName));
        return result_pair(message_payload("无数据权限创建: " + model_name), 403);
    }
    for (py::handle row : kind.rows(inserted)) {
        answer_with_id(row, read.id_column());
        visible.trim_answer(row);
    }
    return result_pair(inserted, 200);
}

py::object create(py::handle self, py::handle user, py::handle model, py::handle data, py::handle session) {
    if (py::len(data) == 0) return result_pair(message_payload("不能创建空表单"), 400);
    Gate gate = pass_gate(self, user, model, "createEnabled", "创建", session);
    if (gate.refused()) return gate.refusal;
    refuse_unwritable(gate.info, model);
    VisibleColumns visible(gate.info);
    py::object refusal = refuse_keys(gate.info, visible.refused_keys(data, false));
    if (refusal) return refusal;
    py::object errors = call_normalize_create_entity(self, user, data, gate.info);
    if (truthy(errors)) return result_pair(errors, 400);
    return insert_checked(self, user, gate.info, visible, Insert{names::add, false}, data, session);
}

// No check for an empty batch, and the permission lookup in the handle's own session.
py::object create_many(py::handle self, py::handle user, py::handle model, py::handle data, py::handle session) {
    Gate gate = pass_gate(self, user, model, "createEnabled", "创建");
    if (gate.refused()) return gate.refusal;
    refuse_unwritable(gate.info, model);
    py::object entities = entity_list(data);
    VisibleColumns visible(gate.info);
    py::object refusal = refuse_keys(gate.info, visible.refused_keys_in(entities, false));
    if (refusal) return refusal;
    py::object errors = call_normalize_create_entity_list(self, user, entities, gate.info);
    if (truthy(errors)) return result_pair(errors, 400);
    return insert_checked(self, user, gate.info, visible, Insert{names::add_many, true}, entities, session);
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
