#include "sql/normalize.h"

#include <memory>
#include <string>
#include <vector>

#include "access/data_permissions.h"
#include "dbplus.h"
#include "host/module_globals.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "names.h"
#include "sql/sql_template.h"

namespace dbplus {

namespace {

OwnMethod normalize_sql_method("normalize_sql");
OwnMethod build_acl_cond_sql_method("build_acl_cond_sql");

// value.get(attribute); false when that raises, as the token is then left alone.
bool read_attribute(py::handle value, py::handle attribute, py::object& result) {
    try {
        result = get(value, attribute);
        return true;
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return false;
    }
}

// The value a token stands for, or false when the token stays in the text.
bool bind_token(const ContextToken& token, py::handle ctx, py::object& value) {
    value = get(ctx, token.key);
    if (!truthy(value)) return false;
    return !token.attribute || read_attribute(value, token.attribute, value);
}

// Whole tokens only: "$ab" never rewrites the start of "$abc".
py::tuple normalize_sql(py::handle self, py::handle sql, py::handle ctx) {
    std::unique_ptr<SqlTemplate> transient;  // for a text of a class of its own, which is not kept
    const SqlTemplate& split = PyUnicode_CheckExact(sql.ptr())
                                   ? SqlTemplate::of(sql)
                                   : *(transient = std::make_unique<SqlTemplate>(sql));
    const std::vector<ContextToken>& tokens = split.tokens();
    py::dict params;
    std::vector<bool> bound(tokens.size());
    bool all_bound = true;
    for (size_t i = 0; i < tokens.size(); ++i) {
        py::object value;
        bound[i] = bind_token(tokens[i], ctx, value);
        if (bound[i]) params[tokens[i].parameter_name] = value;
        all_bound = all_bound && bound[i];
    }
    py::object normalized = all_bound ? split.all_bound() : split.text(bound);
    py::object db = handle_of(self);
    if (truthy(attr(db, names::force_escape_sql))) normalized = attr(db, names::escape_sql)(normalized);
    return py::make_tuple(normalized, params);
}

bool contains_join(const py::list& joins, py::handle text) {
    for (py::handle entry : joins) {
        if (py::reinterpret_borrow<py::object>(entry[py::int_(0)]).equal(text)) return true;
    }
    return false;
}

// A rule without a condition limits no rows: it is dropped, and because
// that widens what the user sees, the drop is logged.
bool has_condition(py::handle rule, py::handle cond) {
    bool blank = !truthy(cond) || (PyUnicode_Check(cond.ptr()) && blank_text(cond));
    if (blank) {
        module_global(names::log).attr(names::warning)("row rule %r on %r has no condition and limits no rows",
                                                      get(rule, names::name), get(rule, names::model));
    }
    return !blank;
}

py::tuple build_acl_cond_sql(py::handle self, py::handle ctx, py::handle model) {
    py::object user = get(ctx, names::user);
    if (!truthy(user)) {
        PyErr_SetString(PyExc_Exception, "user object must included in ctx");
        throw py::error_already_set();
    }
    py::object rules = call_acl_data(self, item(user, names::id), model);
    py::dict params;
    py::list conds;
    py::list joins;
    for (py::handle rule : rules) {
        py::object cond = item(rule, names::cond);
        if (has_condition(rule, cond)) {
            py::object normalized = call_normalize_sql(self, cond, ctx);
            update(params, normalized[py::int_(1)]);
            conds.append(normalized[py::int_(0)]);
        }
        py::object join = item(rule, names::join);
        if (truthy(join)) {
            py::object normalized = call_normalize_sql(self, join, ctx);
            py::object join_text = normalized[py::int_(0)];
            if (!contains_join(joins, join_text)) {
                py::object order = item(rule, names::order);
                joins.append(py::make_tuple(join_text, order));
                update(params, normalized[py::int_(1)]);
            }
        }
    }
    return py::make_tuple(conds, params, joins);
}

}  // namespace

py::object call_normalize_sql(py::handle self, py::handle sql, py::handle ctx) {
    return normalize_sql_method.call(self, [&] { return py::object(normalize_sql(self, sql, ctx)); }, sql, ctx);
}

py::object call_build_acl_cond_sql(py::handle self, py::handle ctx, py::handle model) {
    return build_acl_cond_sql_method.call(
        self, [&] { return py::object(build_acl_cond_sql(self, ctx, model)); }, ctx, model);
}

void bind_normalize(ClassBuilder& dbplus) {
    dbplus.method(normalize_sql_method, &normalize_sql, py::arg("sql"), py::arg("ctx"));
    dbplus.method(build_acl_cond_sql_method, &build_acl_cond_sql, py::arg("ctx"), py::arg("model"));
}

}  // namespace dbplus
