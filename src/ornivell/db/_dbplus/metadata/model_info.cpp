#include "metadata/model_info.h"

#include <string>

#include "access/data_permissions.h"
#include "dbplus.h"
#include "host/call.h"
#include "host/module_globals.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "metadata/bad_metadata.h"
#include "metadata/cache.h"
#include "metadata/column_mapping.h"
#include "model_info_record.h"
#include "names.h"

namespace dbplus {

namespace {

OwnMethod model_info_method("model_info");

constexpr const char* model_sql =
    "\n        select"
    "\n            _model.*,"
    "\n            mt.table as \"mt.table\","
    "\n            mt.columns as \"mt.columns\","
    "\n            mt.join as \"mt.join\","
    "\n            mt.alias as \"mt.alias\","
    "\n            mt.order as \"mt.order\""
    "\n        from"
    "\n            _model"
    "\n        left join _model_table mt on _model.model = mt.model"
    "\n        where _model.model=:model order by mt.order asc"
    "\n        ";
constexpr const char* prop_sql = "select * from _prop where model=:model";

py::handle model_statement() {
    static py::handle statement = permanent_str(model_sql);
    return statement;
}

py::handle prop_statement() {
    static py::handle statement = permanent_str(prop_sql);
    return statement;
}

// self.db.query(sql, model=entity, session=session)
py::object query_by_model(py::handle self, py::handle sql, py::handle entity, py::handle session) {
    return Call(attr(handle_of(self), names::query))
        .keyword(names::model, entity)
        .keyword(names::session, session)
        .run({sql});
}

// Every row repeats the model's own settings; the last one read stays.
void copy_model_settings(py::handle model, py::handle row) {
    set_item(model, names::id, item(row, names::id));
    for (PyObject* name : {names::model, names::table, names::alias, names::where, names::groupBy, names::orderBy,
                           names::sql, names::spName, names::spParams, names::distinctEnabled, names::uiData}) {
        set_item(model, name, get(row, name));
    }
    py::object columns = get(row, names::columns);
    if (truthy(columns)) columns = split(columns, names::comma);
    set_item(model, names::columns, columns);
    set_item(model, names::displayName, item(row, names::displayName));
}

py::dict join_entry(py::handle row) {
    py::object columns = item(row, names::mt_columns);
    if (!columns.is_none()) columns = split(columns, names::comma);
    py::dict entry;
    entry[names::table] = item(row, names::mt_table);
    entry[names::columns] = columns;
    entry[names::alias] = item(row, names::mt_alias);
    entry[names::join] = item(row, names::mt_join);
    entry[names::order] = item(row, names::mt_order);
    return entry;
}

// Stores `table` under its own name and, when there is one, under `alias`.
void register_table(py::dict& tables, py::handle table, py::handle alias) {
    tables[attr(table, names::name)] = table;
    if (truthy(alias)) tables[alias] = table;
}

void add_join_tables(py::handle self, py::handle info, py::handle rows, py::handle model,
                     py::dict& tables) {
    py::object db_tables = attr(handle_of(self), names::tables);
    py::object join_tables = attr(info, names::join_tables);
    for (py::handle row : rows) {
        copy_model_settings(model, row);
        py::dict entry = join_entry(row);
        if (!truthy(entry[names::table])) continue;  // a model without joined tables
        py::object table = get(db_tables, entry[names::table]);
        if (table.is_none()) continue;  // a table the handle does not know is dropped
        register_table(tables, table, entry[names::alias]);
        append(join_tables, entry);
    }
}

// Registers a property's translation table; false when the reference does not resolve.
bool register_translation(py::handle self, py::handle prop, py::dict& tables) {
    py::object object_name = attr(prop, names::transObjectName);
    if (!truthy(object_name)) return true;
    py::object reference = attr(prop, names::transTable);
    if (!truthy(reference)) return true;
    py::object resolved = call_table_column(self, reference);
    py::object trans_table = resolved[py::int_(0)];
    if (trans_table.is_none()) return false;
    tables[object_name] = trans_table;
    return true;
}

void complete_property(py::handle self, py::handle prop, py::handle db_tables, py::dict& tables) {
    py::object table_name = attr(prop, names::table);
    if (!truthy(table_name)) return;
    py::object table = get(db_tables, table_name);
    if (table.is_none()) return;
    if (!register_translation(self, prop, tables)) return;
    if (truthy(attr(prop, names::dataType))) return;
    py::object column = get(attr(table, names::c), attr(prop, names::column));
    if (column.is_none()) return;
    set_attr(prop, names::dataType, call_guess_column_type(self, column));
}

py::dict visible_properties(py::handle self, py::handle entity, py::handle rows, py::handle hidden,
                            py::dict& tables) {
    py::object db_tables = attr(handle_of(self), names::tables);
    py::dict props;
    for (py::handle prop : rows) {
        check_property_name(entity, prop);
        py::object name = attr(prop, names::name);
        if (contains(hidden, name)) continue;
        props[name] = prop;
        complete_property(self, prop, db_tables, tables);
    }
    return props;
}

py::object model_info(py::handle self, py::handle entity, py::handle user, py::handle session) {
    std::string key_text = "/model/";
    append_text(key_text, entity);
    key_text += "/";
    if (truthy(user)) append_text(key_text, attr(user, names::id));
    py::str key = to_str(key_text);
    CachedLoad load(self, key);
    if (!load.cached().is_none()) return load.cached();

    py::object info = new_model_info();
    py::object rows = query_by_model(self, model_statement(), entity, session);
    if (!truthy(rows)) return py::none();
    py::object model = module_global(names::Dict)();
    set_attr(info, names::model, model);
    py::dict tables;
    add_join_tables(self, info, rows, model, tables);

    set_attr(info, names::model, model);
    py::object main_table = get(attr(handle_of(self), names::tables), item(model, names::table));
    set_attr(info, names::main_table, main_table);
    if (!main_table.is_none()) register_table(tables, main_table, item(model, names::alias));

    py::object prop_rows = query_by_model(self, prop_statement(), entity, session);
    py::object hidden = truthy(user) ? call_acl_prop(self, attr(user, names::id), entity) : py::set();
    set_attr(info, names::props, visible_properties(self, entity, prop_rows, hidden, tables));
    set_attr(info, names::tables, tables);
    load.store(info);
    return info;
}

}  // namespace

py::object call_model_info(py::handle self, py::handle entity, py::handle user) {
    return model_info_method.call(self, [&] { return model_info(self, entity, user, py::none()); }, entity, user);
}

py::object call_model_info(py::handle self, py::handle entity, py::handle user, py::handle session) {
    return model_info_method.call(self, [&] { return model_info(self, entity, user, session); }, entity, user,
                                  py::arg("session") = session);
}

void bind_model_info(ClassBuilder& dbplus) {
    dbplus.method(model_info_method, &model_info, py::arg("entity"), py::arg("user") = py::none(),
                  py::arg("session") = py::none());
}

}  // namespace dbplus
