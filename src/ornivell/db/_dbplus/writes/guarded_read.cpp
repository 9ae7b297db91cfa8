#include "writes/guarded_read.h"

#include "dbplus.h"
#include "entities/record_key.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "model_info_record.h"
#include "names.h"
#include "sql/blocks.h"
#include "sql/normalize.h"
#include "sql/row_rules.h"
#include "sql_records.h"

namespace dbplus {

GuardedRead::GuardedRead(py::handle self, py::handle info, py::handle table, py::handle user)
    : self_(py::reinterpret_borrow<py::object>(self)), info_(py::reinterpret_borrow<py::object>(info)) {
    py::object name = attr(table, names::name);
    py::dict ctx;
    ctx[names::user] = user;
    ctx_ = ctx;
    acl_ = unpack(call_build_acl_cond_sql(self, ctx, name), 3);
    Escaper escape(self);
    table_prefix_ = escape.text(name) + ".";
    // a model with an alias cannot name its main table by the table's name
    main_prefix_ = escape.text(from_clause_name(info, name)) + ".";
    id_column_ = dbplus::id_column(self, info);
    escaped_id_ = escape.text(id_column_);
}

py::object GuardedRead::row_id(py::handle row) const { return item(row, id_column_.ptr()); }

bool GuardedRead::has_rules() const { return truthy(acl_[0]); }

py::handle GuardedRead::tables() const {
    if (!block_) {
        block_ = call_build_sql_blocks(self_, info_, ctx_);
        if (has_rules()) {
            py::object joins = attr(block_, names::join_tables);
            for (py::handle join : acl_[2]) append(joins, join);
        }
    }
    return block_;
}

std::string GuardedRead::head() const {
    py::list tables = sorted_join_tables(attr(this->tables(), names::join_tables));
    return "select " + main_prefix_ + "* from " + utf8(join(" ", tables)) + " where ";
}

std::string GuardedRead::rule_group() const { return utf8(join(" and ", bracketed_rules(acl_[0]))); }

std::string GuardedRead::id_condition() const { return main_prefix_ + escaped_id_ + "=:id"; }

std::string GuardedRead::key_conditions(py::handle conds) const {
    std::string text;
    for (py::handle cond : conds) {
        std::string one = utf8(cond);
        if (one.compare(0, table_prefix_.size(), table_prefix_) == 0) {
            one.replace(0, table_prefix_.size(), main_prefix_);
        }
        if (!text.empty()) text += " and ";
        text += one;
    }
    return text;
}

std::pair<std::string, py::object> GuardedRead::ids_admitted(py::handle ids) const {
    static py::handle param_name = permanent_str("dbplus_written_ids");
    std::vector<py::object> in = unpack(call_in_clause(self_, param_name, ids), 2);
    py::dict params;
    update(params, in[1]);
    update(params, rule_params());
    return {head() + main_prefix_ + escaped_id_ + " in " + utf8(in[0]) + " and (" + rule_group() + ")", params};
}

}  // namespace dbplus
