#include "writes/relations.h"

#include <optional>
#include <string>
#include <vector>

#include "access/function_permissions.h"
#include "dbplus.h"
#include "entities/key_values.h"
#include "entities/update_entity.h"
#include "host/call.h"
#include "host/context.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "metadata/model_info.h"
#include "model_info_record.h"
#include "names.h"
#include "queries/search.h"
#include "result_pair.h"
#include "writes/link_rules.h"

namespace dbplus {

namespace {

OwnMethod update_rel_method("_update_rel");
OwnMethod del_rel_method("_del_rel");

// Whether `key` names a column of the link table. A table's column
// collection also answers to positions, and refuses other non-texts.
bool names_link_column(py::handle table, py::handle key) {
    return PyUnicode_Check(key.ptr()) && contains(attr(table, names::c), key);
}

// `<FROM name>.<column>` for a key that names a column of the link table;
// anything else would go into the statement as written.
std::string key_column(const Escaper& escape, py::handle info, py::handle table, py::handle key, const char* what) {
    if (table.is_none() || !names_link_column(table, key)) {
        std::string where = table.is_none() ? "the link model" : text_of(attr(table, names::name));
        PyErr_SetObject(PyExc_ValueError,
                        to_str(std::string(what) + ": " + repr_of(key) + " is not a column of " + where).ptr());
        throw py::error_already_set();
    }
    return escape.text(from_clause_name(info, attr(table, names::name))) + "." + escape.text(key);
}

py::object relation(py::handle self, py::handle user, py::handle link_model, py::handle from_key,
                    py::handle from_data, py::handle to_key, py::handle to_data, py::handle session) {
    py::object info = call_model_info(self, link_model, user);
    // an unknown model: the search answers that it does not exist
    if (info.is_none()) return call_search(self, user, link_model, py::dict(), py::list(), py::dict(), session);
    Escaper escape(self);
    py::object table = attr(info, names::main_table);
    std::string from_column = key_column(escape, info, table, from_key, "from_key");
    std::string to_column = key_column(escape, info, table, to_key, "to_key");
    std::vector<py::object> from = unpack(call_in_clause(self, py::str("from_keys"), from_data), 2);
    std::vector<py::object> to = unpack(call_in_clause(self, py::str("to_keys"), to_data), 2);
    py::list conds;
    conds.append(to_str(from_column + " in " + text_of(from[0])));
    conds.append(to_str(to_column + " in " + text_of(to[0])));
    py::dict params;
    update(params, from[1]);
    update(params, to[1]);
    // empty request arguments: the first page of the search, 10 rows
    std::vector<py::object> found = unpack(call_search(self, user, link_model, py::dict(), conds, params, session), 2);
    if (!is_ok(found[1])) return result_pair(found[0], found[1]);
    return result_pair(attr(found[0], names::data), found[1]);
}

// The keys of a link row when they all name columns of the link table;
// nothing for any other row, which is skipped.
std::optional<py::list> link_columns(py::handle row, py::handle table) {
    py::list keys;
    for (py::handle key : row) {
        if (!names_link_column(table, key)) return std::nullopt;
        keys.append(key);
    }
    if (keys.empty()) return std::nullopt;
    return keys;
}

// "col=:col and ..."
std::string link_condition(const Escaper& escape, py::handle keys) {
    std::string cond;
    for (py::handle key : keys) {
        if (!cond.empty()) cond += " and ";
        cond += escape.text(key) + "=:" + text_of(key);
    }
    return cond;
}

// session.<operation>(sql, **row)
py::object run_with_row(py::handle session, PyObject* operation, const std::string& sql, py::handle row) {
    return Call(attr(session, operation)).expand(row).run({to_str(sql)});
}

// The row as the session stored it, or as given when the session answers nothing.
py::object add_link(py::handle sess, py::handle table, py::handle row) {
    py::object added = attr(sess, names::add)(attr(table, names::name), row);
    return truthy(added) ? added : py::reinterpret_borrow<py::object>(row);
}

// Each row is written unless an identical one exists already; with rules,
// the row stored must be one that the user may see. The refusal of the
// first that is not, or None.
py::object add_absent(py::handle self, py::handle sess, py::handle user, py::handle add_data, py::handle table,
                      py::handle info, const LinkRules& rules) {
    Escaper escape(self);
    std::string select = "select * from " + escape.text(attr(table, names::name)) + " where ";
    for (py::handle row : add_data) {
        call_normalize_update_entity(self, user, row, info);
        std::optional<py::list> keys = link_columns(row, table);
        if (!keys) continue;
        py::object stored = run_with_row(sess, names::query_one, select + link_condition(escape, *keys), row);
        if (!truthy(stored)) stored = add_link(sess, table, row);
        if (rules.limit() && !rules.admits(sess, stored)) {
            std::string model_name = text_of(item(attr(info, names::model), names::displayName));
            return result_pair(message_payload("无数据权限增加: " + model_name), 403);
        }
    }
    return py::none();
}

// With rules the rows are added inside a savepoint, undone whole when one
// of them is refused.
py::object update_rel_within(py::handle self, py::handle sess, py::handle user, py::handle add_data,
                             py::handle table, py::handle info, const LinkRules& rules) {
    if (!rules.limit()) return add_absent(self, sess, user, add_data, table, info, rules);
    return with_context(call_method(sess, literal_str("savepoint").ptr()), [&](py::handle savepoint) {
        py::object refused = add_absent(self, sess, user, add_data, table, info, rules);
        if (!refused.is_none()) call_method(savepoint, literal_str("rollback").ptr());
        return refused;
    });
}

py::object update_rel(py::handle self, py::handle sess, py::handle user, py::handle add_data, py::handle table,
                      py::handle info) {
    return update_rel_within(self, sess, user, add_data, table, info, LinkRules(self, info, table, user));
}

// A row deletes every link row that holds all of its values and that the
// rules, when given and limiting, admit.
void del_rel_within(py::handle self, py::handle sess, py::handle del_data, py::handle table,
                    const LinkRules* rules) {
    Escaper escape(self);
    std::string remove = "delete from " + escape.text(attr(table, names::name)) + " where ";
    for (py::handle row : del_data) {
        std::optional<py::list> keys = link_columns(row, table);
        if (!keys) continue;
        if (!rules || !rules->limit()) {
            run_with_row(sess, names::execute, remove + link_condition(escape, *keys), row);
            continue;
        }
        for (py::handle stored : rules->admitted(sess, *keys, row)) rules->remove(sess, stored);
    }
}

// Called by itself it has no user, so no rules to keep.
void del_rel(py::handle self, py::handle sess, py::handle del_data, py::handle table) {
    del_rel_within(self, sess, del_data, table, nullptr);
}

// Refused when rows to add (or to delete) come without the grant to create (or delete).
py::object refusal(py::handle acl, py::handle rows, PyObject* op_key, const char* op_name, py::handle model_name) {
    if (!truthy(rows)) return py::object();
    if (truthy(acl) && truthy(get(acl, op_key))) return py::object();
    return result_pair(message_payload(std::string("无权限") + op_name + ": " + text_of(model_name)), 403);
}

// Adding is insert-if-absent: concurrent requests adding to one link
// table take turns, each seeing what the one before committed.
py::object link_transaction(py::handle self, py::handle add_data, py::handle table) {
    py::object db = handle_of(self);
    if (!truthy(add_data)) return call_method(db, names::session);
    std::string key = "_link/";
    append_text(key, attr(table, names::name));
    return attr(db, names::serialized)(to_str(key));
}

// Writes always in a transaction of its own; the caller's session is not used.
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
    std::optional<LinkRules> rules;
    if (truthy(add_data) || truthy(del_data)) rules.emplace(self, info, table, user);
    py::object refused = with_context(link_transaction(self, add_data, table), [&](py::handle s) {
        if (truthy(add_data)) {
            py::object answer = update_rel_method.call(
                self, [&] { return update_rel_within(self, s, user, add_data, table, info, *rules); }, s, user,
                add_data, table, info);
            if (truthy(answer)) return answer;
        }
        if (truthy(del_data)) {
            del_rel_method.call(self, [&] { del_rel_within(self, s, del_data, table, &*rules); return py::object(); },
                                s, del_data, table);
        }
        return py::object(py::none());
    });
    if (truthy(refused)) return refused;
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
