#include "writes/delete.h"

#include <string>

#include "entities/key_values.h"
#include "entities/record_key.h"
#include "host/call.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "names.h"
#include "result_pair.h"
#include "writes/guarded_read.h"
#include "writes/permission_gate.h"
#include "writes/sessions.h"
#include "writes/visible_columns.h"

namespace dbplus {

namespace {

OwnMethod delete_record_method("_delete");

py::object read_for_delete(py::handle session, const GuardedRead& read, py::handle id) {
    Call query_one(attr(session, names::query_one));
    std::string sql = read.head() + read.id_condition();
    query_one.keyword(names::id, id);
    if (read.has_rules()) {
        sql += " and (" + read.rule_group() + ")";
        query_one.expand(read.rule_params());
    }
    return query_one.run({to_str(sql)});
}

// session.delete(t.name, id), told the key column when it is not `id`
void remove_row(py::handle session, const GuardedRead& read, py::handle table, py::handle id) {
    Call remove(attr(session, names::delete_));
    if (!is_plain_id(read.id_column())) remove.keyword(names::key, read.id_column());
    remove.run({attr(table, names::name), id});
}

py::object delete_record(py::handle self, py::handle user, py::handle model, py::handle id, py::handle session) {
    Gate gate = pass_gate(self, user, model, "deleteEnabled", "删除", session);
    if (gate.refused()) return gate.refusal;
    py::object bound_id = written_record_id(self, gate.info, model, id);
    id = bound_id;
    std::string model_name = text_of(item(attr(gate.info, names::model), names::displayName));
    py::object table = attr(gate.info, names::main_table);
    GuardedRead read(self, gate.info, table, user);
    py::object row = read_for_delete(session, read, id);
    if (!truthy(row)) {
        std::string record = model_name + "(id=" + text_of(id) + ")";
        if (read.has_rules()) return result_pair(message_payload("无数据权限删除: " + record), 403);
        return result_pair(message_payload(record + "不存在"), 404);
    }
    remove_row(session, read, table, id);
    answer_with_id(row, read.id_column());
    VisibleColumns(gate.info).trim_answer(row);
    return result_pair(row, 200);
}

py::object delete_one(py::handle self, py::handle user, py::handle model, py::handle id, py::handle session) {
    return in_session(self, session, [&](py::handle s) {
        return delete_record_method.call(self, [&] { return delete_record(self, user, model, id, s); }, user, model,
                                         id, py::arg("session") = s);
    });
}

}  // namespace

void bind_delete(ClassBuilder& dbplus) {
    dbplus.method("delete", &delete_one, py::arg("user"), py::arg("model"), py::arg("id"),
                  py::arg("session") = py::none());
    dbplus.method(delete_record_method, &delete_record, py::arg("user"), py::arg("model"), py::arg("id"),
                  py::arg("session"));
}

}  // namespace dbplus
