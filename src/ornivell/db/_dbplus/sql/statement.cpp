#include "sql/statement.h"

#include <string>
#include <vector>

#include "dbplus.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "metadata/model_info.h"
#include "model_info_record.h"
#include "names.h"
#include "result_pair.h"
#include "sql/blocks.h"
#include "sql/client_conditions.h"
#include "sql/key_order.h"
#include "sql/normalize.h"
#include "sql/request_values.h"
#include "sql/row_rules.h"
#include "sql_records.h"
#include "trim_get.h"

namespace dbplus {

namespace {

OwnMethod build_sql_method("build_sql");

// The property keys the request selects, or None for all of them.
py::object selected_properties(py::handle args) {
    py::object columns = get(args, names::columns);
    bool sequence = PyList_Check(columns.ptr()) || PyTuple_Check(columns.ptr());
    if (!truthy(columns) || !sequence || py::len(columns) == 0) return py::none();
    PyObject* selected = PySet_New(columns.ptr());
    if (!selected) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(selected);
}

// "<column> like :key" for the search columns, "<column> = :key_raw" for the match columns.
std::vector<std::string> keyword_conditions(py::handle block, py::handle args, py::dict& params) {
    std::vector<std::string> conds;
    py::object key = get(args, names::key);
    if (!truthy(key)) return conds;
    py::str text = keyword_text(key);
    py::object search_columns = attr(block, names::search_columns);
    if (truthy(search_columns)) {
        for (py::handle column : search_columns) conds.push_back(std::string(utf8(column)) + " like :key");
        params[names::key] = to_str("%" + utf8(text) + "%");
    }
    py::object match_columns = attr(block, names::match_columns);
    if (truthy(match_columns)) {
        for (py::handle column : match_columns) conds.push_back(std::string(utf8(column)) + " = :key_raw");
        params[names::key_raw] = text;
    }
    return conds;
}

std::string joined(const std::vector<std::string>& parts, const char* separator) {
    std::string text;
    for (const std::string& part : parts) {
        if (!text.empty()) text += separator;
        text += part;
    }
    return text;
}

// The model's own where, grouping, ordering and distinct settings.
void apply_model_settings(py::handle self, py::handle info, py::handle block, py::handle ctx, py::dict& params) {
    py::object model = attr(info, names::model);
    py::object where = trim_get(model, names::where);
    py::object groupby = trim_get(model, names::groupBy);
    py::object orderby = trim_get(model, names::orderBy);
    py::object distinct = get(model, names::distinctEnabled);
    if (truthy(where)) {
        py::object normalized = call_normalize_sql(self, where, ctx);
        py::object where_params = normalized[py::int_(1)];
        if (truthy(where_params)) update(params, where_params);
        std::string group = "(" + std::string(utf8(normalized[py::int_(0)])) + ")";
        append(attr(block, names::conds), to_str(group));
    }
    if (truthy(groupby)) append(attr(block, names::groupby_columns), groupby);
    if (truthy(orderby)) append(attr(block, names::orderby_columns), orderby);
    if (truthy(distinct)) set_attr(block, names::distinct_enabled, py::bool_(true));
}

// Without any ordering: none when the id is selected, else the last plain
// column descending. The id is qualified as the FROM clause names the main
// table (its alias when it has one).
void apply_default_order(py::handle self, py::handle info, py::handle result) {
    py::object columns = attr(result, names::columns);
    if (truthy(attr(result, names::orderby))) return;
    Escaper escape(self);
    std::string fallback =
        escape.text(from_clause_name(info, call_main_table_name(info))) + "." + escape.text(names::id);
    if (!truthy(columns) || contains(columns, to_str(fallback))) return;
    py::handle as_clause = literal_str(" as ");
    for (py::handle column : columns) {
        py::object lower = call_method(column, names::lower);
        if (!contains(lower, as_clause)) fallback = utf8(column);
    }
    py::list orderby;
    orderby.append(to_str(fallback + " desc"));
    set_attr(result, names::orderby, orderby);
}

py::object finish_result(py::handle self, py::handle info, py::handle block, py::dict& params) {
    py::object result = new_sql_result();
    set_attr(result, names::distinct, py::str(truthy(attr(block, names::distinct_enabled)) ? "distinct" : ""));
    set_attr(result, names::columns, attr(block, names::select_columns));
    set_attr(result, names::export_columns, attr(block, names::export_columns));
    set_attr(result, names::tables, sorted_join_tables(attr(block, names::join_tables)));
    set_attr(result, names::groupby, attr(block, names::groupby_columns));
    set_attr(result, names::orderby, attr(block, names::orderby_columns));
    apply_default_order(self, info, result);
    end_order_with_key(self, info, result);
    set_attr(result, names::conds, attr(block, names::conds));
    set_attr(result, names::params, params);
    set_attr(result, names::metadata, attr(block, names::metadata));
    set_attr(result, names::export_props, attr(block, names::export_props));
    return result;
}

py::object build_sql(py::handle self, py::handle user, py::handle model, py::handle args, py::handle extra_conds,
                     py::handle extra_params) {
    py::dict ctx;
    ctx[names::user] = user;
    py::object info = call_model_info(self, model, user);
    if (info.is_none()) return result_pair(message_payload("业务模型（" + text_of(model) + "）不存在"), 404);
    py::object filter_props = selected_properties(args);
    std::vector<py::object> join = unpack(call_parse_join_cond(self, args, info), 2);
    py::object block = call_build_sql_blocks(self, info, filter_props, join[0], ctx);
    std::vector<py::object> acl = unpack(call_build_acl_cond_sql(self, ctx, model), 3);
    attr(block, names::join_tables).attr(names::extend)(acl[2]);

    py::dict params;
    update(params, attr(block, names::params));
    update(params, join[1]);
    update(params, acl[1]);
    std::vector<std::string> key_conds = keyword_conditions(block, args, params);
    std::vector<py::object> where = unpack(call_parse_where_cond(self, args, info), 2);
    check_filter_values(join[1], where[1]);

    py::object conds = attr(block, names::conds);
    if (truthy(acl[0])) call_add_cond(self, conds, bracketed_rules(acl[0]));
    if (!key_conds.empty()) append(conds, to_str("(" + joined(key_conds, " or ") + ")"));
    if (truthy(where[0])) {
        call_add_cond(self, conds, where[0]);
        update(params, where[1]);
    }
    if (truthy(extra_conds)) {
        call_add_cond(self, conds, extra_conds);
        update(params, extra_params);
    }
    py::object orderby = call_parse_orderby(self, args, info);
    if (truthy(orderby) && py::len(orderby) > 0) {
        set_attr(block, names::orderby_columns, orderby + attr(block, names::orderby_columns));
    }
    apply_model_settings(self, info, block, ctx, params);
    return result_pair(finish_result(self, info, block, params), 200);
}

}  // namespace

py::object call_build_sql(py::handle self, py::handle user, py::handle model, py::handle args,
                          py::handle extra_conds, py::handle extra_params) {
    return build_sql_method.call(
        self, [&] { return build_sql(self, user, model, args, extra_conds, extra_params); }, user, model,
        py::arg("args") = args, py::arg("extra_conds") = extra_conds, py::arg("extra_params") = extra_params);
}

void bind_statement(ClassBuilder& dbplus) {
    dbplus.method(build_sql_method, &build_sql, py::arg("user"), py::arg("model"), py::arg("args") = py::dict(),
                  py::arg("extra_conds") = py::list(), py::arg("extra_params") = py::dict());
}

}  // namespace dbplus
