#include "sql/normalize.h"

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "access/data_permissions.h"
#include "dbplus.h"
#include "host/module_globals.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "metadata/bad_metadata.h"
#include "names.h"
#include "sql/context_tokens.h"

namespace dbplus {

namespace {

OwnMethod normalize_sql_method("normalize_sql");
OwnMethod build_acl_cond_sql_method("build_acl_cond_sql");

struct Binding {
    std::string parameter;
    py::object value;
};

// value.get(attribute); false when that raises, as the token is then left alone.
bool read_attribute(py::handle value, std::string_view attribute, py::object& result) {
    try {
        result = get(value, to_str(attribute));
        return true;
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return false;
    }
}

// The parameter a token stands for, or false when the token stays in the text.
bool bind_token(std::string_view token, py::handle ctx, Binding& binding) {
    std::string_view name = token.substr(1);
    std::string_view attribute;
    size_t dot = name.find('.');
    if (dot != std::string_view::npos) {
        attribute = name.substr(dot + 1);
        name = name.substr(0, dot);
    }
    py::object value = get(ctx, to_str(name));
    if (!truthy(value)) return false;
    binding.parameter = std::string(name);
    if (!attribute.empty()) {
        binding.parameter += "_";
        binding.parameter += attribute;
        if (!read_attribute(value, attribute, value)) return false;
    }
    binding.value = std::move(value);
    return true;
}

// Whole tokens only: "$ab" never rewrites the start of "$abc".
py::tuple normalize_sql(py::handle self, py::handle sql_object, py::handle ctx) {
    const std::string text_copy = utf8(sql_object);
    std::string_view sql = text_copy;
    py::dict params;
    py::object normalized = py::reinterpret_borrow<py::object>(sql_object);
    std::vector<TokenMatch> tokens = find_context_tokens(sql);
    if (!tokens.empty()) {
        std::unordered_map<std::string_view, std::string> replacements;
        for (const TokenMatch& match : tokens) {
            std::string_view token = sql.substr(match.start, match.end - match.start);
            if (replacements.count(token)) continue;
            Binding binding;
            if (!bind_token(token, ctx, binding)) {
                replacements.emplace(token, std::string(token));
                continue;
            }
            params[to_str(binding.parameter)] = binding.value;
            replacements.emplace(token, ":" + binding.parameter);
        }
        std::string text;
        size_t copied = 0;
        for (const TokenMatch& match : tokens) {
            text.append(sql, copied, match.start - copied);
            text += replacements[sql.substr(match.start, match.end - match.start)];
            copied = match.end;
        }
        text.append(sql, copied, std::string_view::npos);
        normalized = to_str(text);
    }
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
    bool blank = !truthy(cond) || (PyUnicode_Check(cond.ptr()) && !truthy(call_method(cond, names::strip)));
    if (blank) {
        module_global(names::log).attr(names::warning)("row rule %r on %r has no condition and limits no rows",
                                                      get(rule, names::name), get(rule, names::model));
    }
    return !blank;
}

std::string rule_row(py::handle rule) {
    return "_acl_data rule " + repr_of(get(rule, names::name)) + " on " + repr_of(get(rule, names::model));
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
                check_order_number(rule_row(rule), order);  // joins are sorted by it
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
