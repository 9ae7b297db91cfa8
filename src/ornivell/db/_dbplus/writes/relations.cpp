#include "writes/relations.h"

#include <optional>
#include <string>
#include <vector>

#include "access/function_permissions.h"
#include "dbplus.h"
#include "entities/key_values.h"
#include "entities/update_entity.h"
#include "host/call.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "metadata/model_info.h"
#include "names.h"
#include "queries/search.h"
#include "result_pair.h"
#include "writes/sessions.h"

namespace dbplus {

namespace {

OwnMethod update_rel_method("_update_rel");
OwnMethod del_rel_method("_del_rel");

py::object relation(py::handle self, py::handle user, py::handle link_model, py::handle from_key,
                    py::handle from_data, py::handle to_key, py::handle to_data, py::handle session) {
    std::vector<py::object> from = unpack(call_in_clause(self, py::str("from_keys"), from_data), 2);
    std::vector<py::object> to = unpack(call_in_clause(self, py::str("to_keys"), to_data), 2);
    Escaper escape(self);
    py::list conds;
    conds.append(to_str(escape.text(from_key) + " in " + text_of(from[0])));
    conds.append(to_str(escape.text(to_key) + " in " + text_of(to[0])));
    py::dict params;
    update(params, from[1]);
    update(params, to[1]);
    // empty request arguments: the first page of the search, 10 rows
    std::vector<py::object> found = unpack(call_search(self, user, link_model, py::dict(), conds, params, session), 2);
    if (!is_ok(found[1])) return result_pair(found[0], found[1]);
    return result_pair(attr(found[0], names::data), found[1]);
}

// "col=:col and ..." for a link row whose keys all name columns of the link
// table; nothing for any other row, which is skipped.
std::optional<std::string> row_condition(const Escaper& escape, py::handle row, py::handle table) {
    py::object columns = attr(table, names::c);
    std::string cond;
    for (py::handle key : row) {
        if (!contains(columns, key)) return std::nullopt;
        if (!cond.empty()) cond += " and ";
        cond += escape.text(key) + "=:" + text_of(key);
    }
    if (cond.empty()) return std::nullopt;
    return cond;
}

// session.<operation>(sql, **row)
py::object run_with_row(py::handle session, PyObject* operation, const std::string& sql, py::handle row) {
    return Call(attr(session, operation)).expand(row).run({to_str(sql)});
}

// Each row is written unless an identical one exists already.
void update_rel(py::handle self, py::handle sess, py::handle user, py::handle add_data, py::handle table,
                py::handle info) {
    Escaper escape(self);
    std::string select = "select * from " + escape.text(attr(table, names::name)) + " where ";
    for (py::handle row : add_data) {
        call_normalize_update_entity(self, user, row, info);
        std::optional<std::string> cond = row_condition(escape, row, table);
        if (!cond) continue;
        if (truthy(run_with_row(sess, names::query_one, select + *cond, row))) continue;
        attr(sess, names::add)(attr(table, names::name), row);
    }
}

// A row deletes every link row that holds all of its values.
void del_rel(py::handle self, py::handle sess, py::handle del_data, py::handle table) {
    Escaper escape(self);
    std::string remove = "delete from " + escape.text(attr(table, names::name)) + " where ";
    for (py::handle row : del_data) {
        std::optional<std::string> cond = row_condition(escape, row, table);
        if (cond) run_with_row(sess, names::execute, remove + *cond, row);
    }
}

// Refused when rows to add (or to delete) come without the grant to create (or delete).
py::object refusal(py::handle acl, py::handle rows, PyObject* op_key, const char* op_name, py::handle model_name) {
    if (!truthy(rows)) return py::object();
    if (truthy(acl) && truthy(get(acl, op_key))) return py::object();
    return result_pair(message_payload(std::string("无权限") + op_name + ": " + text_of(model_name)), 403);
}

// Writes always in a session of its own; the caller's is not used.
py::object relation_update(py::handle self, py::handle user, py::handle relation_model, py::handle add_data,
                           py::handle del_data, py::handle) {
    py::object info = call_model_info(self, relation_model, user);
    if (info.is_none()) {
        return result_pair(message_payload("业务模型（" + text_of(relation_model) + "）不存在"), 404);
    }
    py::object table = attr(info, names::main_table);
    if (table.is_none()) {
        return result_pair(message_payload("关联表" + text_of(item(attr(info, names::model), names::table)) + "不存在"),
                           404);
    }
    py::object model_name = item(attr(info, names::model), names::displayName);
    py::object acl = call_acl_model(self, attr(user, names::id), relation_model);
    if (py::object refused = refusal(acl, add_data, names::createEnabled, "增加", model_name)) return refused;
    if (py::object refused = refusal(acl, del_data, names::deleteEnabled, "删除", model_name)) return refused;
    convert_link_rows(self, table, add_data, "add_data");
    convert_link_rows(self, table, del_data, "del_data");
    in_new_session(self, [&](py::handle s) {
        if (truthy(add_data)) {
            update_rel_method.call(self, [&] { update_rel(self, s, user, add_data, table, info); return py::object(); },
                                   s, user, add_data, table, info);
        }
        if (truthy(del_data)) {
            del_rel_method.call(self, [&] { del_rel(self, s, del_data, table); return py::object(); }, s, del_data,
                                table);
        }
        return py::object(py::none());
    });
    return result_pair(message_payload("success"), 200);
}

}  // namespace

void bind_relations(ClassBuilder& dbplus) {
    py::arg_v no_session = py::arg("session") = py::none();
    dbplus.method("relation", &relation, py::arg("user"), py::arg("link_model"), py::arg("from_key") = py::none(),
                  py::arg("from_data") = py::none(), py::arg("to_key") = py::none(), py::arg("to_data") = py::none(),
                  no_session);
    dbplus.method("relation_update", &relation_update, py::arg("user"), py::arg("relation_model"),
                  py::arg("add_data") = py::none(), py::arg("del_data") = py::none(), no_session);
    dbplus.method(update_rel_method, &update_rel, py::arg("sess"), py::arg("user"), py::arg("add_data"),
                  py::arg("t"), py::arg("info"));
    dbplus.method(del_rel_method, &del_rel, py::arg("sess"), py::arg("del_data"), py::arg("t"));
}

}  // namespace dbplus
