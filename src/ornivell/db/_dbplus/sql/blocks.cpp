#include "sql/blocks.h"

#include <optional>
#include <string>
#include <unordered_set>

#include "access/data_permissions.h"
#include "dbplus.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "metadata/bad_metadata.h"
#include "model_info_record.h"
#include "names.h"
#include "sql/normalize.h"
#include "sql/property_part.h"
#include "sql_records.h"
#include "trim_get.h"

namespace dbplus {

namespace {

OwnMethod build_sql_blocks_method("build_sql_blocks");

// The block under assembly. Its lists are held here directly: the block is
// new and nothing else sees it until it is returned.
struct Assembly {
    Assembly(py::handle self, py::handle info)
        : self(self), info(info), model(attr(info, names::model)), escape(self), block(new_sql_block()) {
        set_attr(block, names::metadata, info);
        select_columns = attr(block, names::select_columns);
        export_columns = attr(block, names::export_columns);
        search_columns = attr(block, names::search_columns);
        match_columns = attr(block, names::match_columns);
        filter_columns = attr(block, names::filter_columns);
        filter_params = attr(block, names::filter_params);
        orderby_columns = attr(block, names::orderby_columns);
        export_props = attr(block, names::export_props);
        params = attr(block, names::params);
    }

    void select(const std::string& text) {
        selected.insert(text);
        append(select_columns, to_str(text));
    }

    void export_column(const std::string& text) {
        exported.insert(text);
        append(export_columns, to_str(text));
    }

    py::handle self;
    py::handle info;
    py::object model;
    Escaper escape;
    py::object block;
    py::object select_columns, export_columns, join_tables, search_columns, match_columns, filter_columns,
        filter_params, orderby_columns, export_props, params;
    py::list default_export_props;
    std::unordered_set<std::string> selected;  // texts in select_columns
    std::unordered_set<std::string> exported;  // texts in export_columns
};

// The walk over the properties. Its reads of the model go through `reads`,
// so that what it adds to the block can be kept and reused (PropertyPart).
struct PropertyPass {
    PropertyPass(Assembly& a, bool recording)
        : a(a),
          reads(a.info, recording),
          model(reads.attr(a.info, names::model)),
          tables(reads.attr(a.info, names::tables)),
          table_name(a.info, reads) {}

    // info.model["sql"], read when the first property needs it
    const py::object& model_sql() {
        if (!sql) sql = reads.item(model, names::sql);
        return *sql;
    }

    // info.model.get("model"), for messages about bad rows
    const py::object& model_name() {
        if (!name) name = reads.get(model, names::model);
        return *name;
    }

    // info.table_name(table); the module's own method answers the same for the same table
    py::object qualifier(py::handle table) {
        if (table_name.replaced()) return table_name(table);
        PyObject* known = PyDict_GetItemWithError(qualifiers.ptr(), table.ptr());
        if (known) return py::reinterpret_borrow<py::object>(known);
        if (PyErr_Occurred()) throw py::error_already_set();
        py::object found = table_name(table);
        qualifiers[table] = found;
        return found;
    }

    // self.db.tables, read when the first translated property needs it
    const py::object& handle_tables() {
        if (!db_tables) db_tables = attr(handle_of(a.self), names::tables);
        return db_tables;
    }

    Assembly& a;
    ReadLog reads;
    py::object model;
    py::object tables;  // info.tables
    TableNamer table_name;
    py::dict qualifiers;  // table_name results by table
    std::optional<py::object> sql, name;
    py::object db_tables;
};

// A property's two text forms: the column reference used by conditions and
// ordering (none for an expression column) and the select item.
struct PropertyText {
    std::optional<std::string> column_ref;
    std::string select_item;

    // The column reference as one Python string, made on first use; an
    // empty object for an expression column.
    const py::object& reference() {
        if (column_ref && !reference_object) reference_object = to_str(*column_ref);
        return reference_object;
    }

private:
    py::object reference_object;
};

// What one property adds to the block's column lists; empty objects add nothing.
struct Contributions {
    py::object search, match, filter;
    bool exported = false;
    py::object filter_pair;
};

py::object hidden_properties(py::handle self, py::handle info, py::handle ctx) {
    if (!truthy(ctx) || !contains(ctx, names::user)) return py::set();
    py::object uid = attr(item(ctx, names::user), names::id);
    return call_acl_prop(self, uid, item(attr(info, names::model), names::model));
}

void append_alias_clause(std::string& out, py::handle alias_text) {
    out += " as \"";
    append_text(out, alias_text);
    out += "\"";
}

void add_main_table(Assembly& a, py::handle ctx) {
    py::object main_table = call_main_table_name(a.info);
    py::object alias = item(a.model, names::alias);
    py::handle main_alias = truthy(alias) ? alias : main_table;
    std::string from = a.escape.text(main_table) + " " + a.escape.text(main_alias);
    py::object sql = trim_get(a.model, names::sql);
    if (truthy(sql)) {
        // a model defined by a SELECT: its result stands in for the main table
        py::object normalized = call_normalize_sql(a.self, sql, ctx);
        a.params = normalized[py::int_(1)];
        set_attr(a.block, names::params, a.params);
        from = "(" + std::string(utf8(normalized[py::int_(0)])) + ") as " + std::string(utf8(main_table));
    }
    py::list join_tables;
    join_tables.append(py::make_tuple(to_str(from), -1));
    a.join_tables = join_tables;
    set_attr(a.block, names::join_tables, join_tables);
}

void add_join_tables(Assembly& a, py::handle join_cond, py::handle ctx) {
    for (py::handle entry : attr(a.info, names::join_tables)) {
        py::object table = item(entry, names::table);
        const char* word = "and";
        py::object stored = get(entry, names::join);
        std::string join;
        if (!truthy(stored)) {
            join = "left join " + a.escape.text(table);
            word = "on";  // a request condition completes the generated join
        } else {
            py::object normalized = call_normalize_sql(a.self, stored, ctx);
            join = utf8(normalized[py::int_(0)]);
            update(a.params, normalized[py::int_(1)]);
        }
        py::object alias = item(entry, names::alias);
        py::object cond = get(join_cond, truthy(alias) ? alias : table);
        if (truthy(cond)) {
            join += " ";
            join += word;
            join += " ";
            join += utf8(cond);
        }
        append(a.join_tables, py::make_tuple(to_str(join), item(entry, names::order)));
    }
}

// Wherever the property's column is used as a column name, it must be one.
void require_column_name(PropertyPass& pass, py::handle prop, py::handle column) {
    check_property_column(pass.model_name(), prop, column);
}

PropertyText property_text(PropertyPass& pass, py::handle prop, py::handle name, py::handle column,
                           py::handle table_name, py::handle prop_t, bool as_enabled) {
    Assembly& a = pass.a;
    PropertyText text;
    if (contains(name, names::dot)) {  // already qualified: a joined table's alias and column
        text.column_ref = a.escape.text(name);
        text.select_item = *text.column_ref;
        append_alias_clause(text.select_item, name);
        return text;
    }
    require_column_name(pass, prop, column);
    text.column_ref = a.escape.text(table_name) + "." + a.escape.text(column);
    text.select_item = *text.column_ref;
    if (as_enabled || (truthy(column) && not_equal(column, name))) {
        bool table_column = !prop_t.is_none() && pass.reads.contains(pass.reads.attr(prop_t, names::c), column);
        // a renamed table column stays qualified: another table of the
        // statement may have a column of the same name
        if (as_enabled || !table_column) text.select_item = a.escape.text(column);
        append_alias_clause(text.select_item, name);
        if (!prop_t.is_none() && !table_column) text.column_ref.reset();
    }
    return text;
}

void add_default_order(PropertyPass& pass, py::handle prop, py::handle name, const PropertyText& text) {
    Assembly& a = pass.a;
    ReadLog& reads = pass.reads;
    if (!truthy(reads.get(prop, names::orderEnabled)) || !truthy(reads.get(prop, names::orderAsDefault))) return;
    std::string order_item;
    if (text.column_ref) {
        order_item = *text.column_ref;
    } else if (a.selected.count(text.select_item)) {
        order_item = a.escape.text(name);  // an expression column sorts by its select alias
    } else {
        return;
    }
    order_item += truthy(reads.get(prop, names::orderDir)) ? " desc" : " asc";
    append(a.orderby_columns, to_str(order_item));
}

// A translated property shows columns of a lookup table joined on its value.
// False when the translation is unusable: the property then adds no columns.
bool add_translation(PropertyPass& pass, py::handle prop, const PropertyText& text, Contributions& out) {
    Assembly& a = pass.a;
    ReadLog& reads = pass.reads;
    py::object parts = split(reads.get(prop, names::transTable), names::dot);
    if (py::len(parts) != 2) return false;
    py::object lookup_name = parts[py::int_(0)];
    py::object key_column = parts[py::int_(1)];
    py::object lookup_t = reads.get(pass.handle_tables(), lookup_name);
    if (lookup_t.is_none() || !text.column_ref) return false;
    py::object object_name = reads.get(prop, names::transObjectName);
    py::handle lookup_alias = truthy(object_name) ? object_name : lookup_name;
    py::object show_columns = split(reads.get(prop, names::transColumns), names::comma);
    py::object display_column = show_columns[py::int_(0)];

    py::object last_order = a.join_tables[py::int_(-1)][py::int_(1)];
    py::object order = last_order + py::int_(1);
    std::string escaped_alias = a.escape.text(lookup_alias);
    // joined on the property's own column, named as the FROM clause names it
    std::string join = "left join " + a.escape.text(lookup_name) + " " + escaped_alias + " on " + *text.column_ref +
                       "=" + escaped_alias + "." + a.escape.text(key_column);
    append(a.join_tables, py::make_tuple(to_str(join), order));

    py::str lookup_ref = to_str(text_of(lookup_alias) + "." + text_of(display_column));
    if (truthy(reads.get(prop, names::searchEnabled))) out.search = lookup_ref;
    if (truthy(reads.get(prop, names::matchEnabled))) out.match = lookup_ref;
    if (truthy(reads.get(prop, names::filterEnabled)) || truthy(reads.get(prop, names::transDict))) {
        out.filter = lookup_ref;
        out.filter_pair = py::make_tuple(lookup_alias, display_column);
    }
    bool export_enabled = truthy(reads.get(prop, names::exportEnabled));
    py::object lookup_columns = reads.attr(lookup_t, names::c);
    for (py::handle column : show_columns) {
        if (!reads.contains(lookup_columns, column)) continue;
        std::string select_item = escaped_alias + "." + a.escape.text(column);
        append_alias_clause(select_item, to_str(text_of(lookup_alias) + "." + text_of(column)));
        if (!a.selected.count(select_item)) a.select(select_item);
        if (export_enabled && !a.exported.count(select_item)) a.export_column(select_item);
    }
    return true;
}

void append_contributions(Assembly& a, py::handle prop, const Contributions& out, const PropertyText& text) {
    if (out.search) append(a.search_columns, out.search);
    if (out.exported) {
        a.export_column(text.select_item);
        append(a.export_props, prop);
    }
    if (out.match) append(a.match_columns, out.match);
    if (out.filter) {
        append(a.filter_columns, out.filter);
        append(a.filter_params, out.filter_pair);
    }
}

void add_property(PropertyPass& pass, py::handle key, py::handle prop, py::handle filter_props, py::handle hidden) {
    Assembly& a = pass.a;
    ReadLog& reads = pass.reads;
    if (truthy(filter_props) && !contains(filter_props, key)) return;
    py::object prop_table = reads.attr(prop, names::table);
    if (!truthy(prop_table)) return;
    py::object name = reads.attr(prop, names::name);
    if (contains(hidden, name)) return;
    bool sql_model = truthy(pass.model_sql());
    py::object prop_t = reads.get(pass.tables, prop_table);
    py::object table_name = sql_model ? reads.item(pass.model, names::table) : pass.qualifier(prop_table);
    py::object column = reads.attr(prop, names::column);
    bool as_enabled = truthy(reads.attr(prop, names::asEnabled));
    if (!sql_model) {
        if (prop_t.is_none()) return;
        if (!as_enabled) {
            if (column.is_none()) return;  // a column never in the table: passed over, as a missing one
            require_column_name(pass, prop, column);
            if (!reads.contains(reads.attr(prop_t, names::c), column)) return;
        }
    }
    PropertyText text = property_text(pass, prop, name, column, table_name, prop_t, as_enabled);

    if (truthy(reads.get(prop, names::selectEnabled)) && !a.selected.count(text.select_item)) {
        a.select(text.select_item);
        a.default_export_props.append(prop);
    }
    Contributions out;
    if (truthy(reads.get(prop, names::searchEnabled))) out.search = text.reference();
    out.exported = truthy(reads.get(prop, names::exportEnabled));
    if (truthy(reads.get(prop, names::matchEnabled))) out.match = text.reference();
    if (truthy(reads.get(prop, names::filterEnabled))) {
        out.filter = text.reference();
        out.filter_pair = py::make_tuple(table_name, column);
    }
    add_default_order(pass, prop, name, text);
    if (truthy(reads.get(prop, names::transTable)) && truthy(reads.get(prop, names::transColumns))) {
        if (!add_translation(pass, prop, text, out)) return;
    }
    append_contributions(a, prop, out, text);
}

// Without an explicitly exported property the export mirrors the selection.
void finish_export(PropertyPass& pass) {
    Assembly& a = pass.a;
    if (truthy(a.export_props)) return;
    a.export_columns = steal_or_throw(PySequence_List(a.select_columns.ptr()));
    set_attr(a.block, names::export_columns, a.export_columns);
    py::list props;
    for (py::handle prop : a.default_export_props) {
        if (not_equal(pass.reads.attr(prop, names::name), names::id)) props.append(prop);
    }
    a.export_props = props;
    set_attr(a.block, names::export_props, props);
}

py::list list_copy(py::handle list) { return steal_or_throw(PySequence_List(list.ptr())); }

// What the walk added to the block, copied: the block's own lists go to the caller.
PropertyPart part_of(const Assembly& a, Py_ssize_t model_joins) {
    PyObject* lookup_joins = PyList_GetSlice(a.join_tables.ptr(), model_joins, PY_SSIZE_T_MAX);
    return PropertyPart{list_copy(a.select_columns), list_copy(a.export_columns), list_copy(a.export_props),
                        list_copy(a.search_columns), list_copy(a.match_columns), list_copy(a.filter_columns),
                        list_copy(a.filter_params), list_copy(a.orderby_columns),
                        steal_or_throw(lookup_joins)};
}

// Adds what the walk added to the block: its lists get the part's entries.
void use_part(Assembly& a, const PropertyPart& part) {
    const std::pair<const py::object*, const py::list*> lists[] = {
        {&a.select_columns, &part.select_columns}, {&a.export_columns, &part.export_columns},
        {&a.export_props, &part.export_props},     {&a.search_columns, &part.search_columns},
        {&a.match_columns, &part.match_columns},   {&a.filter_columns, &part.filter_columns},
        {&a.filter_params, &part.filter_params},   {&a.orderby_columns, &part.orderby_columns},
        {&a.join_tables, &part.lookup_joins}};
    for (const auto& [list, items] : lists) {
        if (!PyList_CheckExact(list->ptr())) {
            for (py::handle entry : *items) append(*list, entry);
            continue;
        }
        Py_ssize_t end = PyList_GET_SIZE(list->ptr());
        if (PyList_SetSlice(list->ptr(), end, end, items->ptr()) < 0) throw py::error_already_set();
    }
}

void add_properties(Assembly& a, py::handle filter_props, py::handle hidden) {
    py::object base_order = a.join_tables[py::int_(-1)][py::int_(1)];
    PartInputs inputs{a.escape.handle_escape(), hidden, filter_props, base_order};
    if (auto kept = kept_property_part(a.self, a.info, inputs)) return use_part(a, *kept);

    Py_ssize_t model_joins = py::len(a.join_tables);
    PropertyPass pass(a, part_keepable(inputs));
    if (pass.table_name.replaced()) pass.reads.give_up();
    py::object props = pass.reads.attr(a.info, names::props);
    for (auto& [key, prop] : pass.reads.entries(props)) add_property(pass, key, prop, filter_props, hidden);
    finish_export(pass);
    keep_property_part(a.info, inputs, std::move(pass.reads), std::move(pass.db_tables), part_of(a, model_joins));
}

py::object build_sql_blocks(py::handle self, py::handle info, py::handle filter_props, py::handle join_cond,
                            py::handle ctx) {
    py::object hidden = hidden_properties(self, info, ctx);
    Assembly a(self, info);
    add_main_table(a, ctx);
    add_join_tables(a, join_cond, ctx);
    add_properties(a, filter_props, hidden);
    return a.block;
}

py::dict& shared_empty_join_cond() {
    static py::dict* join_cond = new py::dict();  // the one default, never freed
    return *join_cond;
}

}  // namespace

py::object call_build_sql_blocks(py::handle self, py::handle info, py::handle filter_props, py::handle join_cond,
                                 py::handle ctx) {
    return build_sql_blocks_method.call(
        self, [&] { return build_sql_blocks(self, info, filter_props, join_cond, ctx); }, info,
        py::arg("filter_props") = filter_props, py::arg("join_cond") = join_cond, py::arg("ctx") = ctx);
}

py::object call_build_sql_blocks(py::handle self, py::handle info, py::handle ctx) {
    return build_sql_blocks_method.call(
        self, [&] { return build_sql_blocks(self, info, py::none(), shared_empty_join_cond(), ctx); }, info,
        py::arg("ctx") = ctx);
}

void bind_blocks(ClassBuilder& dbplus) {
    dbplus.method(build_sql_blocks_method, &build_sql_blocks, py::arg("info"), py::arg("filter_props") = py::none(),
                  py::arg("join_cond") = shared_empty_join_cond(), py::arg("ctx") = py::none());
}

}  // namespace dbplus
