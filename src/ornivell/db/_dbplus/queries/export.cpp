#include "queries/export.h"

#include <utility>
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

// The pages of one statement from a first page on, read without counting.
class PageReader {
public:
    PageReader(py::handle self, py::handle statement, py::handle sql, py::handle first_page, py::handle session)
        : self_(py::reinterpret_borrow<py::object>(self)),
          params_(attr(statement, names::params)),
          sql_(py::reinterpret_borrow<py::object>(sql)),
          page_(py::reinterpret_borrow<py::object>(first_page)),
          session_(py::reinterpret_borrow<py::object>(session)) {}

    // The rows of the next page; empty past the last one.
    py::object next_page() {
        py::object rows = attr(Call(attr(handle_of(self_), names::query_page))
                                   .keyword(names::page, page_)
                                   .keyword(names::limit, py::int_(export_page_size))
                                   .keyword(names::do_count, py::int_(0))
                                   .expand(params_)
                                   .keyword(names::session, session_)
                                   .run({sql_}),
                               names::data);
        if (py::len(rows) != 0) page_ = steal_or_throw(PyNumber_Add(page_.ptr(), one_.ptr()));
        return rows;
    }

private:
    py::object self_;
    py::object params_;
    py::object sql_;
    py::object page_;
    py::object session_;
    py::int_ one_{1};
};

py::list read_all_pages(PageReader& reader) {
    py::list data;
    while (true) {
        py::object rows = reader.next_page();
        if (py::len(rows) == 0) return data;
        data.attr(names::extend)(rows);
    }
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

// Coded values become their labels, looked up by the value's text; the row
// is changed in place.
void translate_row(py::handle row, py::handle props_name_dict) {
    for (py::handle col : row) {
        py::object lookup = get(props_name_dict, col);
        if (!truthy(lookup)) continue;
        py::object entry = get(lookup, formatted(row[col]));
        if (truthy(entry)) row[col] = item(entry, names::label);
    }
}

void translate_labels(py::handle data, py::handle props_name_dict) {
    if (py::len(props_name_dict) == 0) return;
    for (py::handle row : data) translate_row(row, props_name_dict);
}

// The rows of an export as the writer takes them: a page is read when the
// one before is used up, so memory holds one page rather than the result.
class ExportRows {
public:
    ExportRows(PageReader reader, py::dict props_name_dict)
        : reader_(std::move(reader)),
          props_name_dict_(std::move(props_name_dict)),
          translating_(py::len(props_name_dict_) != 0) {}

    py::object next() {
        while (true) {
            if (rows_) {
                PyObject* row = PyIter_Next(rows_.ptr());
                if (row) return translated(py::reinterpret_steal<py::object>(row));
                if (PyErr_Occurred()) throw py::error_already_set();
                rows_ = py::object();
            }
            if (ended_) throw py::stop_iteration();
            py::object page = reader_.next_page();
            // only an empty page ends the rows, as in the list the writer is otherwise given
            if (py::len(page) == 0) {
                ended_ = true;
                throw py::stop_iteration();
            }
            rows_ = py::iter(page);
        }
    }

private:
    py::object translated(py::object row) {
        if (translating_) translate_row(row, props_name_dict_);
        return row;
    }

    PageReader reader_;
    py::dict props_name_dict_;
    bool translating_;
    py::object rows_;  // an iterator over the page being handed out
    bool ended_ = false;
};

// Whether the writer declares that it takes the rows as they come rather
// than a list: a host's own create_sheet is given the list of all rows.
bool takes_row_stream(py::handle create_sheet) {
    return truthy(optional_attr(create_sheet, names::takes_row_stream));
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
    PageReader pages(self, statement, sql, truthy(page) ? page : py::int_(1), session);
    py::object create_sheet = module_global(names::create_sheet);
    bool streamed = takes_row_stream(create_sheet);
    py::object data = streamed ? py::object() : read_all_pages(pages);

    py::object info = attr(statement, names::metadata);
    py::object domains = dictionary_domains(self, info);
    py::object model = item(attr(info, names::model), names::displayName);
    Columns columns = columns_in_display_order(attr(statement, names::export_props), domains);
    if (streamed) {
        data = py::cast(ExportRows(std::move(pages), columns.props_name_dict));
    } else {
        translate_labels(data, columns.props_name_dict);
    }

    std::vector<py::object> written =
        unpack(create_sheet(info, model, columns.headers, columns.props_names, data), 2);
    py::object payload = Call(module_global(names::Dict))
                             .keyword(names::path, written[0])
                             .keyword(names::filename, written[1])
                             .run();
    return result_pair(payload, 200);
}

}  // namespace

void bind_export_rows(py::module_& module) {
    py::class_<ExportRows> rows_class(module, "ExportRows");
    rows_class.def("__iter__", [](py::object rows) { return rows; }).def("__next__", &ExportRows::next);
    // known to the writers it is handed to, not a name of the module; the
    // class is kept for the life of the process, as its registration needs
    rows_class.inc_ref();
    if (PyObject_DelAttrString(module.ptr(), "ExportRows") != 0) throw py::error_already_set();
}

void bind_export(ClassBuilder& dbplus) {
    // default containers of its own, made once and shared by its calls
    dbplus.method("export", &export_, py::arg("user"), py::arg("entity"), py::arg("args") = py::dict(),
                  py::arg("extra_conds") = py::list(), py::arg("extra_params") = py::dict(),
                  py::arg("session") = py::none());
}

}  // namespace dbplus
