#include "entities/key_conditions.h"

#include <string>
#include <vector>

#include "dbplus.h"
#include "entities/record_key.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "names.h"

namespace dbplus {

namespace {

OwnMethod primary_key_cond_method("primary_key_cond");
OwnMethod primary_key_cond_list_method("primary_key_cond_list");

py::str required(py::handle key) { return to_str(text_of(key) + " is required"); }

py::tuple primary_key_cond(py::handle self, py::handle data, py::handle table) {
    py::list conds;
    py::dict params;
    py::dict error;
    Escaper escape(self);
    for (py::handle column : attr(table, names::primary_key)) {
        py::object key = attr(column, names::name);
        if (!contains(data, key)) {
            error[key] = required(key);
            continue;
        }
        std::string cond = escape.text(attr(table, names::name)) + "." + escape.text(key) + "=:" + utf8(key);
        conds.append(to_str(cond));
        params[key] = data[key];
    }
    return py::make_tuple(conds, params, error);
}

// Keyed on each entity's `id`, whatever the table's primary key; `column` is
// the main-table column that holds it (a model's property `id` may name one
// other than `id`).
py::tuple primary_key_cond_list(py::handle self, py::handle data, py::handle table, py::handle column) {
    py::dict error;
    py::handle key(names::id);
    py::object name = attr(table, names::name);
    Escaper escape(self);
    py::list ids;
    for (py::handle entity : data) {
        if (!contains(entity, key)) {
            error[key] = required(key);
        } else {
            ids.append(entity[key]);
        }
    }
    std::vector<py::object> in = unpack(call_in_clause(self, to_str(text_of(name) + "_ids"), ids), 2);
    std::string key_column = is_plain_id(column) ? std::string("id") : escape.text(column);
    std::string cond = escape.text(name) + "." + key_column + " in " + utf8(in[0]);
    py::list conds;
    conds.append(to_str(cond));
    return py::make_tuple(conds, in[1], error);
}

}  // namespace

py::object call_primary_key_cond(py::handle self, py::handle data, py::handle table) {
    return primary_key_cond_method.call(self, [&] { return py::object(primary_key_cond(self, data, table)); }, data,
                                        table);
}

py::object call_primary_key_cond_list(py::handle self, py::handle data, py::handle table, py::handle column) {
    auto direct = [&] { return py::object(primary_key_cond_list(self, data, table, column)); };
    // called with two arguments where the column is `id`, so that overrides written for that form keep working
    if (is_plain_id(column)) return primary_key_cond_list_method.call(self, direct, data, table);
    return primary_key_cond_list_method.call(self, direct, data, table, py::arg("column") = column);
}

void bind_key_conditions(ClassBuilder& dbplus) {
    dbplus.method(primary_key_cond_method, &primary_key_cond, py::arg("data"), py::arg("t"));
    dbplus.method(primary_key_cond_list_method, &primary_key_cond_list, py::arg("data"), py::arg("t"),
                  py::arg("column") = py::str("id"));
}

}  // namespace dbplus
