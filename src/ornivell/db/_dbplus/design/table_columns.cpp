#include "design/table_columns.h"

#include "design/display_name.h"
#include "host/call.h"
#include "host/module_globals.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "metadata/column_mapping.h"
#include "names.h"

namespace dbplus {

namespace {

OwnMethod generate_table_columns_method("generate_table_columns");

// The texts of this file, made once.
struct Texts {
    py::handle props_of_model = permanent_str("select * from _prop where model=:model");
    py::handle delete_by_id = permanent_str("delete from _prop where id=:id");
    py::handle prop_by_name = permanent_str("select * from _prop where model=:model and name=:name");
    py::handle delete_by_name = permanent_str("delete from _prop where model=:model and name=:name");
    py::handle as_pattern = permanent_str("[\\s]+as[\\s]+");
};

const Texts& texts() {
    static const Texts made;
    return made;
}

py::object concatenated(py::handle a, py::handle b) {
    PyObject* result = PyNumber_Add(a.ptr(), b.ptr());
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// alias + "." + column_name
py::object prefixed(py::handle alias, py::handle column_name) {
    return concatenated(concatenated(alias, names::dot), column_name);
}

// One call's session, model and the table's column map.
struct Generation {
    py::handle s;
    py::handle model;
    py::object meta;        // column name -> column description
    py::object table_name;  // what the rows' `table` holds

    py::object run(PyObject* operation, py::handle sql, std::initializer_list<std::pair<PyObject*, py::handle>> params) {
        Call call(attr(s, operation));
        for (const auto& [name, value] : params) call.keyword(name, value);
        return call.run({sql});
    }

    bool has_property(py::handle name) {
        return truthy(run(names::query_one, texts().prop_by_name, {{names::model, model}, {names::name, name}}));
    }

    void add(const py::dict& prop) { attr(s, names::add)("_prop", prop); }
};

// Phase 1: the table's columns by name, or for a model defined by SQL the
// columns its text yields; None when there is nothing to read.
bool read_column_map(Generation& g, py::handle t, py::handle info) {
    if (!t.is_none()) {
        py::dict meta;
        for (py::handle column : attr(t, names::c)) meta[attr(column, names::name)] = column;
        g.meta = meta;
        g.table_name = attr(t, names::name);
        return true;
    }
    py::object model = attr(info, names::model);
    py::object sql = item(model, names::sql);
    g.meta = py::none();
    if (truthy(sql)) g.meta = attr(g.s, names::query_meta)(sql);
    if (g.meta.is_none()) return false;
    g.table_name = item(model, names::table);
    return true;
}

// Phase 2: rows of this table whose column is gone; expression columns stay.
void remove_stale_rows(Generation& g) {
    py::object rows = g.run(names::query, texts().props_of_model, {{names::model, g.model}});
    for (py::handle p : rows) {
        if (!equals(attr(p, names::table), g.table_name)) continue;
        py::object column = attr(p, names::column);
        if (!truthy(attr(p, names::table)) || !truthy(column) || contains(g.meta, column)) continue;
        if (truthy(attr(p, names::asEnabled))) continue;
        g.run(names::execute, texts().delete_by_id, {{names::id, attr(p, names::id)}});
    }
}

py::object display_name(py::handle comment, py::handle name) {
    if (truthy(comment)) return py::reinterpret_borrow<py::object>(comment);
    return call_beautify_display_name(name);
}

py::object data_type(py::handle column) { return call_guess_column_type(module_global(names::DbPlus), column); }

// Where a listed text names its column: "expression as alias" or a bare name.
struct ListedColumn {
    py::object name;
    py::object column_text;
    py::object column = py::none();  // the description, for a bare name
    int as_enabled = 0;
};

// False for a bare name that is not a column of the table.
bool read_listed_column(Generation& g, py::handle text, py::handle alias, bool is_main, ListedColumn& out) {
    py::object re = module_global(names::re);
    py::object match = attr(re, names::search)(texts().as_pattern, text, attr(re, names::I));
    if (!match.is_none()) {
        out.name = call_method(text[py::slice(attr(match, names::end)(), py::none(), py::none())], names::strip);
        out.column_text = call_method(text[py::slice(py::none(), attr(match, names::start)(), py::none())],
                                      names::strip);
        out.as_enabled = 1;
        return true;
    }
    if (!contains(g.meta, text)) return false;
    out.name = py::reinterpret_borrow<py::object>(text);
    if (truthy(alias) && !is_main) out.name = prefixed(alias, text);
    out.column_text = py::reinterpret_borrow<py::object>(text);
    out.column = item(g.meta, text.ptr());
    return true;
}

// Phase 3: a row for each listed column that has none; returns the aliases of the expressions.
py::list add_listed_columns(Generation& g, py::handle columns, py::handle alias, bool is_main) {
    py::list as_columns;
    for (py::handle text : columns) {
        ListedColumn listed;
        if (!read_listed_column(g, text, alias, is_main, listed)) continue;
        if (listed.as_enabled) as_columns.append(listed.name);
        if (g.has_property(listed.name)) continue;
        py::object comment = listed.column.is_none() ? py::str("") : attr(listed.column, names::comment);
        py::dict prop;
        prop[names::model] = g.model;
        prop[names::name] = listed.name;
        prop[names::table] = g.table_name;
        prop[names::column] = listed.column_text;
        prop[names::asEnabled] = py::int_(listed.as_enabled);
        prop[names::dataType] = data_type(listed.column);
        prop[names::displayName] = display_name(comment, listed.name);
        g.add(prop);
    }
    return as_columns;
}

// Phase 4: every column of the main table; with a column list, only the listed ones keep a row.
void add_main_table_columns(Generation& g, bool listed, py::handle columns, py::handle alias,
                            py::handle as_columns) {
    for (py::handle key : g.meta) {
        py::object column = item(g.meta, key.ptr());
        py::object column_name = attr(column, names::name);
        py::object name = truthy(alias) ? prefixed(alias, column_name) : column_name;
        if (listed && !contains(columns, column_name) && !contains(as_columns, column_name)) {
            g.run(names::execute, texts().delete_by_name, {{names::model, g.model}, {names::name, name}});
            continue;
        }
        if (g.has_property(name)) continue;
        py::dict prop;
        prop[names::model] = g.model;
        prop[names::name] = name;
        prop[names::table] = g.table_name;
        prop[names::column] = column_name;
        prop[names::dataType] = data_type(column);
        prop[names::displayName] = display_name(attr(column, names::comment), name);
        g.add(prop);
    }
}

// The listed texts without surrounding blanks: a columns text written
// "id, name" must not make " name" a stranger whose row phase 4 deletes.
py::list stripped(py::handle columns) {
    py::list texts;
    for (py::handle text : columns) texts.append(call_method(text, names::strip));
    return texts;
}

py::object generate_table_columns(py::handle /*self*/, py::handle s, py::handle model, py::handle t, py::handle columns,
                                  py::handle alias, py::handle is_main, py::handle info) {
    Generation g{s, model, py::none(), py::none()};
    if (!read_column_map(g, t, info)) return py::none();
    remove_stale_rows(g);
    bool main_table = truthy(is_main);
    bool listed = truthy(columns);
    py::list texts = listed ? stripped(columns) : py::list();
    py::list as_columns;
    if (listed) as_columns = add_listed_columns(g, texts, alias, main_table);
    if (main_table) add_main_table_columns(g, listed, texts, alias, as_columns);
    return py::none();
}

}  // namespace

void call_generate_table_columns(py::handle self, py::handle s, py::handle model, py::handle t, py::handle columns,
                                 py::handle alias, bool is_main, py::handle info) {
    py::bool_ main_flag(is_main);
    generate_table_columns_method.call(
        self, [&] { return generate_table_columns(self, s, model, t, columns, alias, main_flag, info); }, s, model,
        t, py::arg("columns") = columns, py::arg("alias") = alias, py::arg("is_main") = main_flag,
        py::arg("info") = info);
}

void bind_table_columns(ClassBuilder& dbplus) {
    dbplus.method(generate_table_columns_method, &generate_table_columns, py::arg("s"), py::arg("model"),
                  py::arg("t"), py::arg("columns") = py::none(), py::arg("alias") = py::none(),
                  py::arg("is_main") = true, py::arg("info") = py::none());
}

}  // namespace dbplus
