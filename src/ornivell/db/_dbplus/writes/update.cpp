#include "writes/update.h"

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "dbplus.h"
#include "entities/entity_data.h"
#include "entities/key_conditions.h"
#include "entities/key_values.h"
#include "entities/record_key.h"
#include "entities/update_entity.h"
#include "host/call.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "names.h"
#include "result_pair.h"
#include "writes/guarded_read.h"
#include "writes/permission_gate.h"
#include "writes/filled_values.h"
#include "writes/sessions.h"
#include "writes/visible_columns.h"
#include "writes/within_rules.h"

namespace dbplus {

namespace {

OwnMethod update_record_method("_update");

py::object display_name(py::handle info) { return item(attr(info, names::model), names::displayName); }

// The stored row the user may change, or None.
py::object read_for_update(py::handle session, const GuardedRead& read, py::handle data, py::handle p_conds,
                           py::handle p_params) {
    Call query_one(attr(session, names::query_one));
    std::string sql = read.head();
    if (read.has_rules()) {
        sql += "(" + read.key_conditions(p_conds) + ") and (" + read.rule_group() + ")";
        query_one.expand(p_params).expand(read.rule_params());
    } else {
        // without rules the row is keyed on its id alone, as the write is
        sql += read.id_condition();
        query_one.keyword(names::id, read.row_id(data));
    }
    return query_one.run({to_str(sql)});
}

py::object key_error(const std::string& message) {
    py::dict error;
    error[names::id] = to_str(message);
    return result_pair(error, 400);
}

// A 400 pair when the data cannot name the row its write keys on: no id
// at all, or an id and a key column that name different rows.
py::object refuse_unkeyed(const GuardedRead& read, py::handle data) {
    const py::object& column = read.id_column();
    if (!contains(data, column)) return read.has_rules() ? py::object() : key_error("id is required");
    if (is_plain_id(column) || !contains(data, names::id)) return py::object();
    if (text_of(item(data, names::id)) == text_of(item(data, column.ptr()))) return py::object();
    return key_error("id and " + text_of(column) + " name different records");
}

py::object refuse_updating(py::handle model_name, py::handle key_params) {
    return result_pair(message_payload("无数据权限更新: " + text_of(model_name) + ", " + text_of(key_params)), 403);
}

py::list one_id(const GuardedRead& read, py::handle row) {
    py::list ids;
    ids.append(read.row_id(row));
    return ids;
}

// session.merge(t.name, data), told the key column when it is not `id`
void merge_row(py::handle session, const GuardedRead& read, py::handle table, py::handle data) {
    Call merge(attr(session, names::merge));
    if (!is_plain_id(read.id_column())) merge.keyword(names::key, read.id_column());
    merge.run({attr(table, names::name), data});
}

py::object update_record(py::handle self, py::handle user, py::handle model, py::handle data, py::handle session) {
    Gate gate = pass_gate(self, user, model, "updateEnabled", "更新", session);
    if (gate.refused()) return gate.refusal;
    convert_entity_keys(self, gate.info, model, data);
    VisibleColumns visible(gate.info);
    py::object refusal = refuse_keys(gate.info, visible.refused_keys(data, true));
    if (refusal) return refusal;
    py::object model_name = display_name(gate.info);
    call_normalize_update_entity(self, user, data, gate.info);
    py::object table = attr(gate.info, names::main_table);
    std::vector<py::object> keys = unpack(call_primary_key_cond(self, data, table), 3);
    if (truthy(keys[2])) return result_pair(keys[2], 400);
    GuardedRead read(self, gate.info, table, user);
    refusal = refuse_unkeyed(read, data);
    if (refusal) return refusal;
    py::object row = read_for_update(session, read, data, keys[0], keys[1]);
    if (!truthy(row)) {
        if (read.has_rules()) return refuse_updating(model_name, keys[1]);
        // the id as the statement read it: a plain dict has no attribute `id`
        return result_pair(message_payload(text_of(model_name) + "(id=" + text_of(read.row_id(data)) + ")不存在"),
                           404);
    }
    refusal = refuse_keys(gate.info, changed_filled_values(gate.info, data, row));
    if (refusal) return refusal;
    auto merge = [&](py::handle s) {
        merge_row(s, read, table, data);
        return py::object(one_id(read, row));
    };
    if (!read.has_rules()) {
        merge(session);
    } else if (!write_within_rules(session, read, merge)) {
        return refuse_updating(model_name, keys[1]);
    }
    update(row, data);
    answer_with_id(row, read.id_column());
    visible.trim_answer(row);
    return result_pair(row, 200);
}

py::object update_one(py::handle self, py::handle user, py::handle model, py::handle data, py::handle session) {
    return in_session(self, session, [&](py::handle s) {
        return update_record_method.call(self, [&] { return update_record(self, user, model, data, s); }, user,
                                         model, data, py::arg("session") = s);
    });
}

// The ids of the batch that no visible row carries, compared as texts so
// that an id sent as "7" matches the stored 7.
py::list invisible_ids(const GuardedRead& read, py::handle entities, py::handle visible_rows) {
    std::unordered_set<std::string> visible;
    for (py::handle row : visible_rows) visible.insert(text_of(read.row_id(row)));
    py::list missing;
    for (py::handle entity : entities) {
        py::object id = item(entity, names::id);
        if (!visible.count(text_of(id))) missing.append(id);
    }
    return missing;
}

py::object refuse_batch(py::handle info, py::handle ids) {
    py::dict keys;
    keys[names::id] = ids;
    return refuse_updating(display_name(info), keys);
}

py::list batch_ids(py::handle entities) {
    py::list ids;
    for (py::handle entity : entities) ids.append(item(entity, names::id));
    return ids;
}

// The stored rows of the batch, under the user's rules when they have any.
py::object stored_rows(py::handle self, const GuardedRead& read, py::handle p_conds, py::handle p_params) {
    std::string sql = read.head() + "(" + read.key_conditions(p_conds) + ")";
    Call query(attr(handle_of(self), names::query));
    query.expand(p_params);
    if (read.has_rules()) {
        sql += " and (" + read.rule_group() + ")";
        query.expand(read.rule_params());
    }
    return query.run({to_str(sql)});
}

// A batch changes only rows the user's rules let them see, and sends the
// module's own values back unchanged: otherwise it is refused as a whole.
py::object refuse_stored(py::handle self, py::handle info, const GuardedRead& read, py::handle entities,
                         py::handle p_conds, py::handle p_params) {
    bool filled = false;
    for (py::handle entity : entities) filled = filled || names_filled_values(info, entity);
    if (!read.has_rules() && !filled) return py::object();
    py::object rows = stored_rows(self, read, p_conds, p_params);
    if (read.has_rules()) {
        py::list missing = invisible_ids(read, entities, rows);
        if (py::len(missing) > 0) return refuse_batch(info, missing);
    }
    if (!filled) return py::object();
    std::unordered_map<std::string, py::object> by_id;
    for (py::handle row : rows) by_id[text_of(read.row_id(row))] = py::reinterpret_borrow<py::object>(row);
    py::list changed;
    for (py::handle entity : entities) {
        auto stored = by_id.find(text_of(item(entity, names::id)));
        if (stored == by_id.end()) continue;
        for (py::handle key : changed_filled_values(info, entity, stored->second)) {
            if (!contains(changed, key)) changed.append(key);
        }
    }
    return refuse_keys(info, changed);
}

// The handle matches rows on `id` unless told otherwise: a batch whose ids
// live in another column is matched on that column.
py::object batch_keys(const GuardedRead& read, py::handle keys) {
    if (!keys.is_none() || is_plain_id(read.id_column())) return py::reinterpret_borrow<py::object>(keys);
    py::list columns;
    columns.append(read.id_column());
    return columns;
}

// self.db.update_many(t.name, entities, keys=keys), in `session` when one is given
void write_batch(py::handle self, py::handle table, py::handle entities, py::handle keys, py::handle session) {
    Call call(attr(handle_of(self), names::update_many));
    call.keyword(names::keys, keys);
    if (session) call.keyword(names::session, session);
    call.run({attr(table, names::name), entities});
}

py::object update_many(py::handle self, py::handle user, py::handle model, py::handle data, py::handle keys,
                       py::handle session) {
    Gate gate = pass_gate(self, user, model, "updateEnabled", "更新");
    if (gate.refused()) return gate.refusal;
    py::object entities = entity_list(data);
    convert_batch_ids(self, gate.info, model, entities);
    py::object refusal = refuse_keys(gate.info, VisibleColumns(gate.info).refused_keys_in(entities, true));
    if (refusal) return refusal;
    call_normalize_update_entity_list(self, user, entities, gate.info);
    py::object table = attr(gate.info, names::main_table);
    py::object column = id_column(self, gate.info);
    std::vector<py::object> conds = unpack(call_primary_key_cond_list(self, entities, table, column), 3);
    if (truthy(conds[2])) return result_pair(conds[2], 400);
    GuardedRead read(self, gate.info, table, user);
    refusal = refuse_stored(self, gate.info, read, entities, conds[0], conds[1]);
    if (refusal) return refusal;
    py::object matched_on = batch_keys(read, keys);
    auto write = [&](py::handle s) {
        write_batch(self, table, entities, matched_on, s);
        return py::object(batch_ids(entities));
    };
    if (!read.has_rules()) {
        // the batch write runs in the handle's own session, as the permission check
        write_batch(self, table, entities, matched_on, py::handle());
    } else if (!write_within_rules(self, session, read, write)) {
        return refuse_batch(gate.info, batch_ids(entities));
    }
    return result_pair(message_payload("批量更新成功！"), 200);
}

}  // namespace

void bind_update(ClassBuilder& dbplus) {
    dbplus.method("update", &update_one, py::arg("user"), py::arg("model"), py::arg("data"),
                  py::arg("session") = py::none());
    dbplus.method(update_record_method, &update_record, py::arg("user"), py::arg("model"), py::arg("data"),
                  py::arg("session"));
    dbplus.method("update_many", &update_many, py::arg("user"), py::arg("model"), py::arg("data"),
                  py::arg("keys") = py::none(), py::arg("session") = py::none(),
                  py::doc("批量更新，验证更新功能权限，批量数据各个对应的数据权限\n"
                          ":param user: 登录用户\n"
                          ":param model: 业务模型\n"
                          ":param data: 数据列表"));
}

}  // namespace dbplus
