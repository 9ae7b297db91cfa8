#include "sql/filter_columns.h"

#include "host/jsql_module.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "names.h"

namespace dbplus {

namespace {

struct PropertyFields {
    py::object table, column, name, as_enabled;
};

// prop["table"], ... as a mapping, else as attributes (a row that lacks a key)
PropertyFields property_fields(py::handle prop) {
    try {
        return {item(prop, names::table), item(prop, names::column), item(prop, names::name),
                item(prop, names::asEnabled)};
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_KeyError) && !error.matches(PyExc_TypeError)) throw;
    }
    return {attr(prop, names::table), attr(prop, names::column), attr(prop, names::name),
            attr(prop, names::asEnabled)};
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

}  // namespace

bool FilterColumns::find(py::handle name, FilterColumn& column) {
    PyObject* known = PyDict_GetItemWithError(found_.ptr(), name.ptr());
    if (!known && PyErr_Occurred()) throw py::error_already_set();
    if (known) {
        column = {py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(known, 0)),
                  py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(known, 1))};
        return true;
    }
    if (!resolve(name, column)) return false;
    found_[name] = py::make_tuple(column.reference, column.rule);
    return true;
}

bool FilterColumns::resolve(py::handle name, FilterColumn& column) {
    py::object prop = get(attr(info_, names::props), name);
    if (prop.is_none()) return false;
    PropertyFields fields = property_fields(prop);
    py::object found = reference(fields.table, fields.column, fields.name, fields.as_enabled);
    if (found.is_none()) return false;
    column = {found, rule(fields.table, fields.column)};
    return true;
}

py::object FilterColumns::reference(py::handle table, py::handle column, py::handle name, py::handle as_enabled) {
    if (!truthy(table)) return py::none();
    py::object sql = get(attr(info_, names::model), names::sql);
    py::object prop_t = get(attr(info_, names::tables), table);
    if (!truthy(sql) && (prop_t.is_none() || (!truthy(as_enabled) && !table_has_column(prop_t, column)))) {
        return py::none();
    }
    if (contains(name, names::dot)) return escape(name);
    bool renamed = truthy(as_enabled) || (truthy(column) && not_equal(column, name));
    if (!truthy(column) || (renamed && !prop_t.is_none() && !table_has_column(prop_t, column))) return py::none();
    std::string text = text_of(qualifier(table, sql));
    text += ".";
    append_text(text, escape(column));
    return to_str(text);
}

py::object FilterColumns::qualifier(py::handle table, py::handle sql) {
    PyObject* known = PyDict_GetItemWithError(qualifiers_.ptr(), table.ptr());
    if (!known && PyErr_Occurred()) throw py::error_already_set();
    if (known) return py::reinterpret_borrow<py::object>(known);
    py::object table_name = truthy(sql) ? item(attr(info_, names::model), names::table)
                                        : steal_or_throw(PyObject_CallMethodOneArg(
                                              info_.ptr(), names::table_name, table.ptr()));
    py::object escaped = escape(table_name);
    qualifiers_[table] = escaped;
    return escaped;
}

py::object FilterColumns::rule(py::handle table, py::handle column) {
    if (truthy(get(attr(info_, names::model), names::sql))) {
        return result_rule(jsql::result_rules(info_, db_), column);
    }
    py::object prop_t = get(attr(info_, names::tables), table);
    if (prop_t.is_none()) return py::reinterpret_borrow<py::object>(jsql::untyped());
    return jsql::value_rule(prop_t, column, attr(attr(db_, names::engine), names::dialect));
}

py::object FilterColumns::escape(py::handle name) const {
    return steal_or_throw(PyObject_CallMethodOneArg(db_.ptr(), names::escape, name.ptr()));
}

}  // namespace dbplus
