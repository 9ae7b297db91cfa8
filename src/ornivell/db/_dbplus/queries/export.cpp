#include "queries/export.h"

#include <vector>

#include "access/function_permissions.h"
#include "dbplus.h"
#include "design/domains.h"
#include "host/call.h"
#include "host/module_globals.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "names.h"
#include "result_pair.h"
#include "sql/statement.h"

namespace dbplus {

namespace {

// Rows read per page; the loop ends only on an empty page, so a short
// page is read past.
constexpr long export_page_size = 2000;

// format(value, ""), as an f-string formats it
py::object formatted(py::handle value) {
    return steal_or_throw(PyObject_Format(value.ptr(), names::empty));
}

// Every row from `first_page` on, read without counting.
py::list read_all_pages(py::handle self, py::handle statement, py::handle sql, py::handle first_page,
                        py::handle session) {
    py::list data;
    py::object page = py::reinterpret_borrow<py::object>(first_page);
    py::int_ one(1);
    while (true) {
        py::object rows = attr(Call(attr(handle_of(self), names::query_page))
                                   .keyword(names::page, page)
                                   .keyword(names::limit, py::int_(export_page_size))
                                   .keyword(names::do_count, py::int_(0))
                                   .expand(attr(statement, names::params))
                                   .keyword(names::session, session)
                                   .run({sql}),
                               names::data);
        if (py::len(rows) == 0) break;
        data.attr(names::extend)(rows);
        page = steal_or_throw(PyNumber_Add(page.ptr(), one.ptr()));
    }
    return data;
}

// The lookup tables of the dictionaries that the model's properties name.
py::object dictionary_domains(py::handle self, py::handle info) {
    py::list dict_domains;
    py::object props = attr(info, names::props);
    for (py::handle name : props) {
        py::object domain = get(props[name], names::transDict);
        if (truthy(domain)) dict_domains.append(domain);
    }
    if (py::len(dict_domains) == 0) return py::dict();
    return call_find_dict_domains(self, dict_domains);
}

// Titles, row keys and the lookup table per translated row key, of the
// export properties in the order they are shown.
struct Columns {
    py::list headers;
    py::list props_names;
    py::dict props_name_dict;
};

// The row key of a property: a property shown through a lookup table is
// carried under its object name and first shown column.
py::object row_key(py::handle prop) {
    py::object object_name = attr(prop, names::transObjectName);
    py::object shown = attr(prop, names::transColumns);
    if (!truthy(object_name) || !truthy(shown)) return item(prop, names::name);
    py::object show_column = split(shown, names::comma)[py::int_(0)];
    return to_str(text_of(object_name) + "." + text_of(show_column));
}

Columns columns_in_display_order(py::handle props, py::handle domains) {
    py::cpp_function display_order([](py::handle prop) { return attr(prop, names::displayOrder); });
    props.attr(names::sort)(py::arg("key") = display_order);
    Columns columns;
    for (py::handle prop : props) columns.headers.append(attr(prop, names::displayName));
    for (py::handle prop : props) {
        py::object name = row_key(prop);
        columns.props_names.append(name);
        py::object dict_name = attr(prop, names::transDict);
        if (!truthy(dict_name)) continue;
        py::object lookup = get(domains, dict_name);
        if (truthy(lookup)) columns.props_name_dict[name] = lookup;
    }
    return columns;
}

// Coded values become their labels, looked up by the value's text; rows
// are changed in place.
void translate_labels(py::handle data, py::handle props_name_dict) {
    if (py::len(props_name_dict) == 0) return;
    for (py::handle row : data) {
        for (py::handle col : row) {
            py::object lookup = get(props_name_dict, col);
            if (!truthy(lookup)) continue;
            py::object entry = get(lookup, formatted(row[col]));
            if (truthy(entry)) row[col] = item(entry, names::label);
        }
    }
}

py::object export_(py::handle self, py::handle user, py::handle entity, py::handle args, py::handle extra_conds,
                   py::handle extra_params, py::handle session) {
    py::object check = call_check_perm(self, user, entity, "exportEnabled", "导出");
    py::object status = attr(check, names::status);
    if (!is_ok(status)) return result_pair(attr(check, names::message), status);
    std::vector<py::object> built = unpack(call_build_sql(self, user, entity, args, extra_conds, extra_params), 2);
    if (!is_ok(built[1])) return result_pair(built[0], built[1]);
    py::object statement = built[0];
    // without an exported property the workbook would have no titled column
    // (the id alone is selected but never exported)
    if (py::len(attr(statement, names::export_columns)) == 0 || py::len(attr(statement, names::export_props)) == 0) {
        return result_pair(message_payload("No column to export"), 600);
    }
    py::object sql = attr(statement, names::to_sql)(py::arg("export") = true);
    py::object page = get(args, names::page);
    py::list data = read_all_pages(self, statement, sql, truthy(page) ? page : py::int_(1), session);

    py::object info = attr(statement, names::metadata);
    py::object domains = dictionary_domains(self, info);
    py::object model = item(attr(info, names::model), names::displayName);
    Columns columns = columns_in_display_order(attr(statement, names::export_props), domains);
    translate_labels(data, columns.props_name_dict);

    py::object create_sheet = module_global(names::create_sheet);
    std::vector<py::object> written =
        unpack(create_sheet(info, model, columns.headers, columns.props_names, data), 2);
    py::object payload = Call(module_global(names::Dict))
                             .keyword(names::path, written[0])
                             .keyword(names::filename, written[1])
                             .run();
    return result_pair(payload, 200);
}

}  // namespace

void bind_export(ClassBuilder& dbplus) {
    // default containers of its own, made once and shared by its calls
    dbplus.method("export", &export_, py::arg("user"), py::arg("entity"), py::arg("args") = py::dict(),
                  py::arg("extra_conds") = py::list(), py::arg("extra_params") = py::dict(),
                  py::arg("session") = py::none());
}

}  // namespace dbplus
