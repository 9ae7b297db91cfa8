#include "sql/filter_columns.h"

#include <vector>

#include "host/callable_stamp.h"
#include "host/jsql_module.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "host/weak_memo.h"
#include "model_info_record.h"
#include "names.h"

namespace dbplus {

struct KeptColumn {
    ReadLog reads;
    FilterColumn column;
    py::object dialect;  // the dialect its rule was made for; empty when the rule is not the dialect's
};

// The resolutions kept for one model, made with one quoting function.
struct KeptColumns {
    CallableStamp escape;
    py::dict positions;  // name -> position in `columns`
    std::vector<KeptColumn> columns;
};

namespace {

struct PropertyFields {
    py::object table, column, name, as_enabled;
};

// prop["table"], ... as a mapping, else as attributes (a row that lacks a key)
PropertyFields property_fields(ReadLog& reads, py::handle prop) {
    try {
        return {reads.item(prop, names::table), reads.item(prop, names::column), reads.item(prop, names::name),
                reads.item(prop, names::asEnabled)};
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_KeyError) && !error.matches(PyExc_TypeError)) throw;
    }
    return {reads.attr(prop, names::table), reads.attr(prop, names::column), reads.attr(prop, names::name),
            reads.attr(prop, names::asEnabled)};
}

// Table column collections refuse non-text keys instead of answering False.
bool table_has_column(py::handle table, py::handle column) {
    return PyUnicode_Check(column.ptr()) && contains(attr(table, names::c), column);
}

// rules.get(column, UNTYPED): the rules of the result columns of a model defined by SQL
py::object result_rule(py::handle rules, py::handle column) {
    if (!PyDict_CheckExact(rules.ptr())) {
        return steal_or_throw(PyObject_CallMethod(rules.ptr(), "get", "OO", column.ptr(), jsql::untyped().ptr()));
    }
    PyObject* rule = PyDict_GetItemWithError(rules.ptr(), column.ptr());
    if (!rule && PyErr_Occurred()) throw py::error_already_set();
    return py::reinterpret_borrow<py::object>(rule ? rule : jsql::untyped().ptr());
}

py::object escaped(py::handle escape, py::handle name) {
    return steal_or_throw(PyObject_CallOneArg(escape.ptr(), name.ptr()));
}

// Enough for the models a busy host keeps in its caches; resolutions pushed out are made again.
WeakMemo<KeptColumns>& kept_columns() {
    static auto* memo = new WeakMemo<KeptColumns>(4096);  // never freed
    return *memo;
}

// What is kept for `info` with `escape`: the earlier resolutions, or a new
// record of them; null when nothing can be kept.
std::shared_ptr<KeptColumns> kept_for(py::handle info, py::handle escape) {
    std::shared_ptr<KeptColumns> kept = kept_columns().find(info);
    if (kept && kept->escape.matches(escape)) return kept;
    kept = std::make_shared<KeptColumns>();
    if (!kept->escape.make(escape)) return nullptr;
    kept_columns().keep(info, kept);
    return kept;
}

}  // namespace

FilterColumns::FilterColumns(py::handle info, py::handle db)
    : info_(info), db_(db), escape_(attr(db, names::escape)), kept_(kept_for(info, escape_)) {}

bool FilterColumns::find(py::handle name, FilterColumn& column) {
    PyObject* known = PyDict_GetItemWithError(found_.ptr(), name.ptr());
    if (!known && PyErr_Occurred()) throw py::error_already_set();
    if (known) {
        column = {py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(known, 0)),
                  py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(known, 1))};
        return true;
    }
    if (!kept(name, column)) {
        ReadLog reads(info_, static_cast<bool>(kept_));
        bool by_dialect = false;
        if (!resolve(name, reads, column, by_dialect)) return false;
        if (kept_ && reads.usable()) {
            kept_->positions[name] = py::int_(kept_->columns.size());
            kept_->columns.push_back({std::move(reads), column, by_dialect ? dialect() : py::object()});
        }
    }
    found_[name] = py::make_tuple(column.reference, column.rule);
    return true;
}

// The kept resolution of `name`, when what it read still holds.
bool FilterColumns::kept(py::handle name, FilterColumn& column) {
    if (!kept_) return false;
    PyObject* position = PyDict_GetItemWithError(kept_->positions.ptr(), name.ptr());
    if (!position) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return false;
    }
    KeptColumn& found = kept_->columns[PyLong_AsSize_t(position)];
    if (found.dialect && !dialect().is(found.dialect)) return false;
    if (!found.reads.holds(info_)) return false;
    column = found.column;
    return true;
}

bool FilterColumns::resolve(py::handle name, ReadLog& reads, FilterColumn& column, bool& by_dialect) {
    py::object prop = reads.get(reads.attr(info_, names::props), name);
    if (prop.is_none()) return false;
    PropertyFields fields = property_fields(reads, prop);
    py::object found = reference(reads, fields.table, fields.column, fields.name, fields.as_enabled);
    if (found.is_none()) return false;
    column = {found, rule(reads, fields.table, fields.column, by_dialect)};
    return true;
}

py::object FilterColumns::reference(ReadLog& reads, const py::object& table, py::handle column, py::handle name,
                                    py::handle as_enabled) {
    if (!truthy(table)) return py::none();
    py::object sql = reads.get(reads.attr(info_, names::model), names::sql);
    py::object prop_t = reads.get(reads.attr(info_, names::tables), table);
    if (!truthy(sql) && (prop_t.is_none() || (!truthy(as_enabled) && !table_has_column(prop_t, column)))) {
        return py::none();
    }
    if (contains(name, names::dot)) return escaped(escape_, name);
    bool renamed = truthy(as_enabled) || (truthy(column) && not_equal(column, name));
    if (!truthy(column) || (renamed && !prop_t.is_none() && !table_has_column(prop_t, column))) return py::none();
    std::string text = text_of(qualifier(reads, table, sql));
    text += ".";
    append_text(text, escaped(escape_, column));
    return to_str(text);
}

py::object FilterColumns::qualifier(ReadLog& reads, py::handle table, py::handle sql) {
    if (truthy(sql)) return escaped(escape_, reads.item(reads.attr(info_, names::model), names::table));
    TableNamer table_name(info_, reads);
    if (!table_name.replaced()) return escaped(escape_, table_name(table));
    // another table_name is asked once a table in each parse, as jsql asks it; nothing is kept then
    reads.give_up();
    PyObject* known = PyDict_GetItemWithError(qualifiers_.ptr(), table.ptr());
    if (known) return py::reinterpret_borrow<py::object>(known);
    if (PyErr_Occurred()) throw py::error_already_set();
    py::object found = escaped(escape_, table_name(table));
    qualifiers_[table] = found;
    return found;
}

py::object FilterColumns::rule(ReadLog& reads, py::handle table, py::handle column, bool& by_dialect) {
    if (truthy(reads.get(reads.attr(info_, names::model), names::sql))) {
        return result_rule(jsql::result_rules(info_, db_), column);
    }
    py::object prop_t = reads.get(reads.attr(info_, names::tables), table);
    if (prop_t.is_none()) return py::reinterpret_borrow<py::object>(jsql::untyped());
    by_dialect = true;
    return jsql::value_rule(prop_t, column, dialect());
}

const py::object& FilterColumns::dialect() {
    if (!dialect_) dialect_ = attr(attr(db_, names::engine), names::dialect);
    return dialect_;
}

}  // namespace dbplus
