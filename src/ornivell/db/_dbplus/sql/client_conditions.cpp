#include "sql/client_conditions.h"

#include <string>
#include <vector>

#include "dbplus.h"
#include "host/module_globals.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "names.h"
#include "sql/filter_grammar.h"

namespace dbplus {

namespace {

OwnMethod add_cond_method("add_cond");
OwnMethod parse_where_cond_method("parse_where_cond");
OwnMethod parse_join_cond_method("parse_join_cond");
OwnMethod parse_orderby_method("parse_orderby");

// A fresh parser per call: DbPlus keeps none between requests.
py::object new_parser(py::handle self, py::handle info) {
    return module_global(names::JsonSqlParser)(info, handle_of(self));
}

void add_cond(py::handle conds, py::handle new_conds, py::handle rel) {
    std::string separator = " ";
    append_text(separator, rel);
    separator += " ";
    std::string group = "(";
    append_joined(group, separator, new_conds);
    group += ")";
    append(conds, to_str(group));
}

py::tuple parse_where_cond(py::handle self, py::handle args, py::handle info) {
    py::object filter = get(args, names::where);
    py::list conds;
    py::dict params;
    if (truthy(filter)) {
        std::vector<py::object> parsed;
        py::object cond = parse_filters_in_cpp(info, handle_of(self), {filter}, parsed, params)
                              ? parsed[0]
                              : new_parser(self, info).attr(names::parse_cond)(params, filter);
        if (truthy(cond)) conds.append(cond);
    }
    return py::make_tuple(conds, params);
}

[[noreturn]] void refuse_join_filters(const std::string& problem) {
    PyErr_SetObject(PyExc_ValueError, to_str("joinCond: " + problem).ptr());
    throw py::error_already_set();
}

// The join filters as a mapping from joined table to filter; sent as text,
// they are JSON like the other parts of a request.
py::object join_filters(py::handle args) {
    py::object filters = get(args, names::joinCond);
    if (PyUnicode_Check(filters.ptr())) {
        try {
            filters = py::module_::import("json").attr("loads")(filters);
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_ValueError) && !error.matches(PyExc_RecursionError)) throw;
            refuse_join_filters("not valid JSON (" + text_of(error.value()) + ")");
        }
    }
    if (truthy(filters) && !PyDict_Check(filters.ptr()) &&
        !py::isinstance(filters, py::module_::import("collections.abc").attr("Mapping"))) {
        refuse_join_filters(std::string("expected an object of filters by joined table, got ") +
                            Py_TYPE(filters.ptr())->tp_name);
    }
    return filters;
}

py::tuple parse_join_cond(py::handle self, py::handle args, py::handle info) {
    py::object filters = join_filters(args);
    py::dict conds;
    py::dict params;
    if (!truthy(filters)) return py::make_tuple(conds, params);
    std::vector<py::object> keys, values, parsed;
    for (py::handle key : filters) {
        keys.push_back(py::reinterpret_borrow<py::object>(key));
        values.push_back(filters[key]);
    }
    if (parse_filters_in_cpp(info, handle_of(self), values, parsed, params)) {
        for (size_t i = 0; i < keys.size(); ++i) {
            if (truthy(parsed[i])) conds[keys[i]] = parsed[i];
        }
        return py::make_tuple(conds, params);
    }
    py::object parse_cond = new_parser(self, info).attr(names::parse_cond);
    for (py::handle key : filters) {
        py::object cond = parse_cond(params, filters[key]);
        if (truthy(cond)) conds[key] = cond;
    }
    return py::make_tuple(conds, params);
}

py::object parse_orderby(py::handle self, py::handle args, py::handle info) {
    py::object order = get(args, names::order);
    if (!truthy(order)) return py::none();
    py::object items;
    if (parse_order_in_cpp(info, handle_of(self), order, items)) return items;
    return new_parser(self, info).attr(names::parse_orderby)(order);
}

}  // namespace

void call_add_cond(py::handle self, py::handle conds, py::handle new_conds) {
    py::handle rel = literal_str("and");
    add_cond_method.call(
        self,
        [&] {
            add_cond(conds, new_conds, rel);
            return py::object(py::none());
        },
        conds, new_conds, rel);
}

py::object call_parse_where_cond(py::handle self, py::handle args, py::handle info) {
    return parse_where_cond_method.call(self, [&] { return py::object(parse_where_cond(self, args, info)); }, args,
                                        info);
}

py::object call_parse_join_cond(py::handle self, py::handle args, py::handle info) {
    return parse_join_cond_method.call(self, [&] { return py::object(parse_join_cond(self, args, info)); }, args,
                                       info);
}

py::object call_parse_orderby(py::handle self, py::handle args, py::handle info) {
    return parse_orderby_method.call(self, [&] { return parse_orderby(self, args, info); }, args, info);
}

void bind_client_conditions(ClassBuilder& dbplus) {
    dbplus.method(add_cond_method,
                  [](py::handle, py::handle conds, py::handle new_conds, py::handle rel) {
                      add_cond(conds, new_conds, rel);
                  },
                  py::arg("conds"), py::arg("new_conds"), py::arg("rel") = "and");
    dbplus.method(parse_where_cond_method, &parse_where_cond, py::arg("args"), py::arg("info"));
    dbplus.method(parse_join_cond_method, &parse_join_cond, py::arg("args"), py::arg("info"));
    dbplus.method(parse_orderby_method, &parse_orderby, py::arg("args"), py::arg("info"));
}

}  // namespace dbplus
