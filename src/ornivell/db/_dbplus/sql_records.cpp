#include "sql_records.h"

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "host/pyaccess.h"
#include "host/text.h"
#include "metadata/bad_metadata.h"
#include "names.h"
#include "plain_class.h"
#include "record_class.h"

namespace dbplus {

namespace {

// kept for the life of the process
py::handle sql_block_class;
py::handle sql_result_class;

struct JoinEntry {
    long long order;
    py::object table;
};

py::object element(py::handle pair, Py_ssize_t index) {
    PyObject* value = PySequence_GetItem(pair.ptr(), index);
    if (!value) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(value);
}

// Integer order numbers, the usual case, sort in C++; anything else goes
// through Python's own sort so that comparisons behave exactly as there.
bool integer_orders(py::handle pairs, std::vector<JoinEntry>& entries) {
    for (py::handle pair : pairs) {
        py::object order = element(pair, 1);
        if (!PyLong_CheckExact(order.ptr())) return false;
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(order.ptr(), &overflow);
        if (overflow) return false;
        entries.push_back({value, element(pair, 0)});
    }
    return true;
}

// Orders that are not numbers cannot be compared: refused once there is
// something to sort, naming the join.
void check_orders(py::handle pairs) {
    if (py::len(pairs) < 2) return;
    for (py::handle pair : pairs) {
        check_order_number("model join " + repr_of(element(pair, 0)) + " (a _model_table row or a row rule's join)",
                           element(pair, 1));
    }
}

py::list sorted_by_python(py::handle pairs) {
    check_orders(pairs);
    py::object item_getter = py::module_::import("operator").attr("itemgetter")(1);
    py::object ordered = py::module_::import("builtins").attr("sorted")(pairs, py::arg("key") = item_getter);
    py::list result;
    for (py::handle pair : ordered) result.append(element(pair, 0));
    return result;
}

// Repeated ORDER BY entries are dropped; the first occurrence keeps its place.
py::list without_repeats(py::handle items) {
    py::list unique;
    for (py::handle entry : items) {
        if (!contains(unique, entry)) unique.append(entry);
    }
    return unique;
}

py::str to_sql(py::handle self, bool export_columns) {
    py::object columns = attr(self, export_columns ? names::export_columns : names::columns);
    std::string sql = "select ";
    sql += utf8(attr(self, names::distinct));
    sql += " ";
    append_joined(sql, ",", columns);
    sql += " from ";
    append_joined(sql, " ", attr(self, names::tables));
    py::object conds = attr(self, names::conds);
    if (truthy(conds)) {
        sql += " where ";
        append_joined(sql, " and ", conds);
    }
    py::object groupby = attr(self, names::groupby);
    if (truthy(groupby)) {
        sql += " group by ";
        append_joined(sql, " , ", groupby);
    }
    py::object orderby = attr(self, names::orderby);
    if (truthy(orderby)) {
        sql += " order by ";
        append_joined(sql, " , ", without_repeats(orderby));
    }
    return to_str(sql);
}

}  // namespace

py::list sorted_join_tables(py::handle pairs) {
    std::vector<JoinEntry> entries;
    if (!integer_orders(pairs, entries)) return sorted_by_python(pairs);
    std::stable_sort(entries.begin(), entries.end(),
                     [](const JoinEntry& a, const JoinEntry& b) { return a.order < b.order; });
    py::list result(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) result[i] = entries[i].table;
    return result;
}

py::object new_sql_block() { return new_record(sql_block_class); }
py::object new_sql_result() { return new_record(sql_result_class); }

void bind_sql_records(py::module_& module) {
    sql_block_class = make_record_class(module, "SqlBlock",
                                        {{&names::select_columns, FieldDefault::empty_list},
                                         {&names::export_columns, FieldDefault::empty_list},
                                         {&names::join_tables, FieldDefault::empty_list},
                                         {&names::search_columns, FieldDefault::empty_list},
                                         {&names::match_columns, FieldDefault::empty_list},
                                         {&names::filter_columns, FieldDefault::empty_list},
                                         {&names::filter_params, FieldDefault::empty_list},
                                         {&names::orderby_columns, FieldDefault::empty_list},
                                         {&names::groupby_columns, FieldDefault::empty_list},
                                         {&names::conds, FieldDefault::empty_list},
                                         {&names::params, FieldDefault::empty_dict},
                                         {&names::metadata, FieldDefault::none},
                                         {&names::export_props, FieldDefault::empty_list},
                                         {&names::distinct_enabled, FieldDefault::false_value}})
                          .release();
    ClassBuilder block(py::reinterpret_borrow<py::object>(sql_block_class));
    block.method("sorted_join_tables",
                 [](py::handle self) { return sorted_join_tables(attr(self, names::join_tables)); });
    block.install({"sorted_join_tables"});

    sql_result_class = make_record_class(module, "SqlResult",
                                         {{&names::distinct, FieldDefault::empty_text},
                                          {&names::columns, FieldDefault::empty_list},
                                          {&names::export_columns, FieldDefault::empty_list},
                                          {&names::tables, FieldDefault::empty_list},
                                          {&names::conds, FieldDefault::empty_list},
                                          {&names::orderby, FieldDefault::empty_list},
                                          {&names::params, FieldDefault::empty_dict},
                                          {&names::groupby, FieldDefault::empty_list},
                                          {&names::metadata, FieldDefault::none},
                                          {&names::export_props, FieldDefault::empty_list}})
                           .release();
    ClassBuilder result(py::reinterpret_borrow<py::object>(sql_result_class));
    result.method("to_sql", [](py::handle self, py::handle export_columns) { return to_sql(self, truthy(export_columns)); },
                  py::arg("export") = false);
    result.install({"to_sql"});
}

}  // namespace dbplus
