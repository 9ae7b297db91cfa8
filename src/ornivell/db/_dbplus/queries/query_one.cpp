#include "queries/query_one.h"

#include <string>
#include <vector>

#include "dbplus.h"
#include "entities/key_values.h"
#include "entities/record_key.h"
#include "host/call.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "metadata/model_info.h"
#include "model_info_record.h"
#include "names.h"
#include "result_pair.h"
#include "sql/blocks.h"
#include "sql/normalize.h"
#include "sql/request_values.h"
#include "sql/row_rules.h"
#include "sql_records.h"

namespace dbplus {

namespace {

// The main table's name: its table object's, or the model's own entry for
// a model defined by SQL, which has no table object.
py::object permission_table_name(py::handle info) {
    py::object table = attr(info, names::main_table);
    if (!table.is_none()) return attr(table, names::name);
    return call_main_table_name(info);
}

py::object query_one(py::handle self, py::handle user, py::handle entity, py::handle id, py::handle session) {
    check_record_id(id);
    py::dict ctx;
    ctx[names::user] = user;
    py::object info = call_model_info(self, entity, user);
    if (info.is_none()) return result_pair(message_payload(text_of(entity) + "不存在"), 404);
    py::object key = id_column(self, info);
    py::object bound_id = read_record_id(self, info, key, id);
    py::object main_table = permission_table_name(info);
    py::object block = call_build_sql_blocks(self, info, ctx);
    std::vector<py::object> acl = unpack(call_build_acl_cond_sql(self, ctx, main_table), 3);
    py::object join_tables = attr(block, names::join_tables);
    for (py::handle join : acl[2]) append(join_tables, join);
    py::object columns = attr(block, names::select_columns);
    if (py::len(columns) == 0) {
        return result_pair(message_payload(text_of(entity) + "无任何模型属性列可查询"), 404);
    }
    std::string sql = "select ";
    sql += utf8(join(",", columns));
    sql += " from ";
    sql += utf8(join(" ", sorted_join_tables(join_tables)));
    sql += " where ";
    Escaper escape(self);
    sql += escape.text(from_clause_name(info, main_table));
    sql += "." + (is_plain_id(key) ? std::string("id") : escape.text(key)) + "=:id";
    if (truthy(acl[0])) {
        // every rule must hold, as in a search: a rule only ever narrows
        sql += " and (";
        sql += utf8(join(" and ", bracketed_rules(acl[0])));
        sql += ")";
    }
    py::object row = Call(attr(handle_of(self), names::query_one))
                         .keyword(names::id, bound_id)
                         .expand(acl[1])
                         .keyword(names::session, session)
                         .run({to_str(sql)});
    return result_pair(row, 200);
}

}  // namespace

void bind_query_one(ClassBuilder& dbplus) {
    dbplus.method("query_one", &query_one, py::arg("user"), py::arg("entity"), py::arg("id"),
                  py::arg("session") = py::none());
}

}  // namespace dbplus
