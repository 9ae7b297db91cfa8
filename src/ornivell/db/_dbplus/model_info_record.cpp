#include "model_info_record.h"

#include "host/pyaccess.h"
#include "host/text.h"
#include "names.h"
#include "plain_class.h"
#include "record_class.h"
#include "sql/join_alias.h"
#include "trim_get.h"

namespace dbplus {

namespace {

py::handle model_info_class;  // kept for the life of the process
OwnMethod main_table_name_method("main_table_name");
OwnMethod table_name_method("table_name");

py::object logged_main_table_name(py::handle self, ReadLog& reads) {
    py::object model = reads.attr(self, names::model);
    if (!truthy(model)) return py::none();
    return reads.item(model, names::table);
}

py::object main_table_name(py::handle self) {
    ReadLog reads(self, false);
    return logged_main_table_name(self, reads);
}

// The name a joined table goes by in the FROM clause: the alias its stored
// join text gives it, else its own name. A generated join ("left join
// <table>") gives no alias; a text that does not join the table by name (a
// subquery, say) is taken to give it the entry's alias.
py::object joined_table_name(py::handle entry, py::handle table, ReadLog& reads) {
    py::object join = reads.get(entry, names::join);
    if (truthy(join)) {
        JoinIntroduction introduction = introduction_of(text_of(join), text_of(table));
        if (introduction.alias) return to_str(*introduction.alias);
        py::object alias = reads.get(entry, names::alias);
        if (!introduction.found && truthy(alias)) return alias;
    }
    return py::reinterpret_borrow<py::object>(table);
}

// The name that qualifies the columns of `table` in a statement: the main
// table's alias, a joined table's name in the FROM clause, else `table`.
py::object table_name(py::handle self, py::handle table, ReadLog& reads) {
    py::object model = reads.attr(self, names::model);
    if (equals(table, reads.item(model, names::table))) {
        py::object alias = reads.item(model, names::alias);
        if (truthy(alias)) return alias;
        return py::reinterpret_borrow<py::object>(table);
    }
    for (const py::object& entry : reads.elements(reads.attr(self, names::join_tables))) {
        if (equals(table, reads.item(entry, names::table))) return joined_table_name(entry, table, reads);
    }
    return py::reinterpret_borrow<py::object>(table);
}

py::object unlogged_table_name(py::handle self, py::handle table) {
    ReadLog reads(self, false);
    return table_name(self, table, reads);
}

bool names_entry(py::handle alias, py::handle entry) {
    return equals(alias, item(entry, names::table)) || equals(alias, item(entry, names::alias));
}

py::object db_table(py::handle self, py::handle alias) {
    py::object tables = attr(self, names::tables);
    py::object model = attr(self, names::model);
    if (names_entry(alias, model)) return get(tables, item(model, names::table));
    for (py::handle entry : attr(self, names::join_tables)) {
        if (names_entry(alias, entry)) return get(tables, item(entry, names::table));
    }
    return py::none();
}

}  // namespace

py::object new_model_info() { return new_record(model_info_class); }

py::object call_main_table_name(py::handle info) {
    return main_table_name_method.call(info, [&] { return main_table_name(info); });
}

py::object call_table_name(py::handle info, py::handle table) {
    return table_name_method.call(info, [&] { return unlogged_table_name(info, table); }, table);
}

py::object from_clause_name(py::handle info, py::handle main_table) {
    if (truthy(trim_get(attr(info, names::model), names::sql))) return py::reinterpret_borrow<py::object>(main_table);
    return call_table_name(info, main_table);
}

bool own_table_names(py::handle info) {
    return main_table_name_method.own_on(info) && table_name_method.own_on(info);
}

py::object call_main_table_name(py::handle info, ReadLog& reads) {
    return main_table_name_method.call(info, [&] { return logged_main_table_name(info, reads); });
}

TableNamer::TableNamer(py::handle info, ReadLog& reads) : info_(info), reads_(reads) {
    if (table_name_method.own_on(info)) return;
    py::object found = table_name_method.lookup(info);
    if (!table_name_method.is_own(found, info)) replaced_ = std::move(found);
}

py::object TableNamer::operator()(py::handle table) const {
    if (replaced_) return replaced_(table);
    return table_name(info_, table, reads_);
}

void bind_model_info_record(py::module_& module) {
    model_info_class = make_record_class(module, "ModelInfo",
                                         {{&names::model, FieldDefault::none},
                                          {&names::main_table, FieldDefault::none},
                                          {&names::tables, FieldDefault::empty_dict},
                                          {&names::props, FieldDefault::empty_dict},
                                          {&names::join_tables, FieldDefault::empty_list}})
                           .release();
    ClassBuilder builder(py::reinterpret_borrow<py::object>(model_info_class));
    builder.method(main_table_name_method, &main_table_name);
    builder.method(table_name_method, &unlogged_table_name, py::arg("table"));
    builder.method("db_table", &db_table, py::arg("alias"));
    builder.install({"main_table_name", "table_name", "db_table"});
}

}  // namespace dbplus
