#include "entities/key_values.h"

#include <cmath>
#include <string>

#include "dbplus.h"
#include "entities/record_key.h"
#include "host/jsql_module.h"
#include "host/kept_memo.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "names.h"
#include "sql/request_values.h"

namespace dbplus {

namespace {

bool is_mapping(py::handle value) {
    return PyDict_Check(value.ptr()) || py::hasattr(value, py::handle(names::keys));
}

bool is_list(py::handle value) {
    return PyList_Check(value.ptr()) || PyTuple_Check(value.ptr()) || PyAnySet_Check(value.ptr());
}

std::string kind_of(py::handle value) {
    if (value.is_none()) return "null";
    if (is_mapping(value)) return "an object";
    if (is_list(value)) return "a list";
    return Py_TYPE(value.ptr())->tp_name;
}

// What a filter value must be whatever its column: no null, no container, a
// text no longer than a filter's, a 64-bit integer, a finite number. Other
// objects (a Decimal, a date) are left to the column's converter.
void check_scalar(const std::string& path, py::handle value) {
    PyObject* v = value.ptr();
    if (PyUnicode_Check(v)) {
        check_text(path, value);
    } else if (PyBool_Check(v)) {
        return;
    } else if (PyLong_Check(v)) {
        int overflow = 0;
        PyLong_AsLongLongAndOverflow(v, &overflow);
        if (PyErr_Occurred()) throw py::error_already_set();
        if (overflow) refuse_value(path, "integer out of range");
    } else if (PyFloat_Check(v)) {
        if (!std::isfinite(PyFloat_AS_DOUBLE(v))) refuse_value(path, "numbers must be finite");
    } else if (value.is_none() || is_list(value) || is_mapping(value)) {
        refuse_value(path, "expected a text or number, got " + kind_of(value));
    }
}

// The value as the rule's converter binds it; the converter's complaint
// becomes a ValueError at `path`.
py::object converted(const std::string& path, py::handle rule, py::handle value) {
    py::object convert = attr(rule, names::convert);
    if (jsql::takes_values_as_given(convert)) return py::reinterpret_borrow<py::object>(value);
    PyObject* result = PyObject_CallOneArg(convert.ptr(), value.ptr());
    if (result) return py::reinterpret_steal<py::object>(result);
    if (!PyErr_ExceptionMatches(jsql::unfit_value().ptr())) throw py::error_already_set();
    py::error_already_set unfit;
    refuse_value(path, text_of(unfit.value()));
}

py::object key_value(const std::string& path, py::handle rule, py::handle value) {
    check_scalar(path, value);
    return converted(path, rule, value);
}

py::object untyped() { return py::reinterpret_borrow<py::object>(jsql::untyped()); }

py::object handle_dialect(py::handle self) { return attr(attr(handle_of(self), names::engine), names::dialect); }

// A rule, and the handle's dialect it was made for (empty when it needed none).
struct BoundRule {
    py::object rule, dialect;
};

// How filters bind values of column `name` of `table`; as given when the
// column or its type is unknown.
BoundRule column_rule(py::handle self, py::handle table, py::handle name, ReadLog& reads) {
    py::object column = reads.get(reads.attr(table, names::c), name);
    if (column.is_none() || reads.attr(column, names::type).is_none()) return {untyped(), {}};
    py::object dialect = handle_dialect(self);
    return {jsql::value_rule(table, name, dialect), dialect};
}

py::object column_rule(py::handle self, py::handle table, py::handle name) {
    ReadLog reads(table, false);
    return column_rule(self, table, name, reads).rule;
}

// The rule of a model's id, for the column it was made for.
struct IdRule {
    py::object column;
    BoundRule bound;
};

// How filters bind values of the model's `id` column: by its main table, or
// by the result of a model defined by SQL.
BoundRule derive_id_rule(py::handle self, py::handle info, py::handle column, ReadLog& reads) {
    py::object table = reads.attr(info, names::main_table);
    if (!table.is_none()) return column_rule(self, table, column, reads);
    reads.give_up();  // the result's rules are the handle's to tell
    if (!truthy(get(attr(info, names::model), names::sql))) return {untyped(), {}};
    py::object rule = get(jsql::result_rules(info, handle_of(self)), column);
    return {rule.is_none() ? untyped() : rule, {}};
}

// Asked by every read and write of a record: kept with the model.
py::object id_rule(py::handle self, py::handle info, py::handle column) {
    static auto* memo = new KeptMemo<IdRule>(4096);  // never freed
    auto same = [&](const IdRule& kept) {
        return kept.column.is(column) && (!kept.bound.dialect || kept.bound.dialect.is(handle_dialect(self)));
    };
    auto derive = [&](ReadLog& reads) {
        return IdRule{py::reinterpret_borrow<py::object>(column), derive_id_rule(self, info, column, reads)};
    };
    return memo->get(info, true, same, derive)->value.bound.rule;
}

// A date or time in a link row is a column's value as Python holds it, not
// a filter's text: the handle's own check of written rows takes it.
bool is_moment(py::handle value) {
    // kept for the life of the process, as the module's names are
    static PyObject* kinds = [] {
        py::module_ datetime = py::module_::import("datetime");
        return py::make_tuple(datetime.attr("date"), datetime.attr("time")).release().ptr();
    }();
    return PyObject_IsInstance(value.ptr(), kinds) == 1;
}

// row[key] converted as `column` takes values (by default the column `key`).
void convert_entry(py::handle self, py::handle table, py::handle row, py::handle key, const std::string& path,
                   py::handle column = py::handle()) {
    py::object value = key_value(path, column_rule(self, table, column ? column : key), row[key]);
    if (PyObject_SetItem(row.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

std::string element_path(const char* what, size_t index) { return std::string(what) + "[" + std::to_string(index) + "]"; }

void require_mapping(const std::string& path, py::handle row) {
    if (!is_mapping(row)) refuse_value(path, "expected an object, got " + kind_of(row));
}

// The id names the record by its key column too, also for a user who does
// not see the property id (whose column the update would otherwise copy).
void copy_id_to_key(py::handle data, py::handle column) {
    if (is_plain_id(column) || !contains(data, names::id) || contains(data, column)) return;
    set_item(data, column.ptr(), item(data, names::id));
}

}  // namespace

py::object read_record_id(py::handle self, py::handle info, py::handle column, py::handle id) {
    return key_value("id", id_rule(self, info, column), id);
}

void refuse_unwritable(py::handle info, py::handle model) {
    if (!attr(info, names::main_table).is_none()) return;
    py::object settings = attr(info, names::model);
    if (truthy(get(settings, names::sql))) refuse_value(text_of(model), "a model defined by SQL cannot be written");
    refuse_value(text_of(model), "its table " + text_of(get(settings, names::table)) + " is not in the database");
}

py::object written_record_id(py::handle self, py::handle info, py::handle model, py::handle id) {
    refuse_unwritable(info, model);
    return read_record_id(self, info, id_column(self, info), id);
}

void convert_entity_keys(py::handle self, py::handle info, py::handle model, py::handle data) {
    refuse_unwritable(info, model);
    py::object table = attr(info, names::main_table);
    py::object column = id_column(self, info);
    copy_id_to_key(data, column);
    py::handle id = names::id;
    bool id_is_key = false;
    for (py::handle column : attr(table, names::primary_key)) {
        py::object name = attr(column, names::name);
        if (!contains(data, name)) continue;
        convert_entry(self, table, data, name, text_of(name));
        id_is_key = id_is_key || equals(name, id);
    }
    // without row rules an update is keyed on its id alone
    if (!id_is_key && contains(data, id)) convert_entry(self, table, data, id, "id", column);
}

void convert_batch_ids(py::handle self, py::handle info, py::handle model, py::handle entities) {
    refuse_unwritable(info, model);
    py::object table = attr(info, names::main_table);
    py::object column = id_column(self, info);
    size_t index = 0;
    for (py::handle entity : entities) {
        std::string path = element_path("data", index++);
        require_mapping(path, entity);
        if (contains(entity, names::id)) convert_entry(self, table, entity, names::id, path + ".id", column);
        copy_id_to_key(entity, column);
    }
}

void convert_link_rows(py::handle self, py::handle table, py::handle rows, const char* what) {
    if (!truthy(rows)) return;
    py::object columns = attr(table, names::c);
    size_t index = 0;
    for (py::handle row : rows) {
        std::string path = element_path(what, index++);
        require_mapping(path, row);
        py::object keys = steal_or_throw(PyMapping_Keys(row.ptr()));
        for (py::handle key : keys) {
            // a key that is no text names no column (the collection also answers to positions)
            if (py::isinstance<py::str>(key) && contains(columns, key) && !is_moment(row[key])) {
                convert_entry(self, table, row, key, path + "." + text_of(key));
            }
        }
    }
}

}  // namespace dbplus
