#include "host/jsql_module.h"

#include "host/module_globals.h"
#include "host/pyaccess.h"
#include "host/python_api.h"
#include "host/text.h"
#include "names.h"

namespace dbplus {

namespace {

// Taken at import and kept for the life of the process.
struct Jsql {
    PyTypeObject* parser_class = nullptr;
    PyObject* parser_attributes = nullptr;  // a copy of the class's namespace at import
    PyObject* parser_bases = nullptr;
    unsigned int parser_version = 0;        // the version tag at which the class was last found unchanged
    PyObject* thread_state = nullptr;
    PyObject* generations = nullptr;
    PyObject* next_generation = nullptr;
    PyObject* value_rule = nullptr;
    PyObject* result_rules = nullptr;
    PyObject* untyped = nullptr;
    PyObject* untyped_convert = nullptr;
    PyObject* unfit_value = nullptr;
    PyObject* json_loads = nullptr;
    PyObject* int_min = nullptr;
    PyObject* int_max = nullptr;
    PyObject* turn = nullptr;
    JsqlLimits limits{};
    std::string false_condition;
};

Jsql* known = nullptr;

PyObject* kept(py::handle jsql, const char* name) { return py::getattr(jsql, name).release().ptr(); }

Py_ssize_t size_of(py::handle jsql, const char* name) { return py::getattr(jsql, name).cast<Py_ssize_t>(); }

}  // namespace

void remember_jsql(py::handle jsql) {
    PyObject* parser_class = kept(jsql, "JsonSqlParser");
    if (!PyType_Check(parser_class)) return;  // not a class: there is nothing to stand in for
    auto* taken = new Jsql();
    taken->parser_class = reinterpret_cast<PyTypeObject*>(parser_class);
    taken->parser_attributes = PyDict_Copy(taken->parser_class->tp_dict);
    taken->parser_bases = taken->parser_class->tp_bases;
    Py_XINCREF(taken->parser_bases);
    if (!taken->parser_attributes) throw py::error_already_set();
    taken->thread_state = kept(jsql, "_thread_state");
    taken->generations = kept(jsql, "_GENERATIONS");
    taken->next_generation = kept(jsql, "_next_generation");
    taken->value_rule = kept(jsql, "value_rule");
    taken->result_rules = kept(jsql, "_result_rules");
    taken->untyped = kept(jsql, "UNTYPED");
    taken->unfit_value = kept(jsql, "UnfitValue");
    taken->untyped_convert = PySequence_GetItem(taken->untyped, 0);  // UNTYPED.convert
    if (!taken->untyped_convert) throw py::error_already_set();
    taken->int_min = kept(jsql, "INT_MIN");
    taken->int_max = kept(jsql, "INT_MAX");
    taken->turn = PyUnicode_InternFromString("turn");
    taken->json_loads = py::getattr(py::getattr(jsql, "json"), "loads").release().ptr();
    taken->limits = {size_of(jsql, "MAX_DEPTH"),      size_of(jsql, "MAX_BRANCHES"),    size_of(jsql, "MAX_VALUES"),
                     size_of(jsql, "MAX_CONDITIONS"), size_of(jsql, "MAX_TEXT"),        size_of(jsql, "MAX_TEXT_LENGTH"),
                     size_of(jsql, "MAX_JSON_TEXT")};
    taken->false_condition = text_of(py::getattr(jsql, "FALSE_CONDITION"));
    known = taken;
}

namespace jsql {

// The class has the attributes and bases it was imported with; checked again
// only when its version tag changed (a patch, or a patch undone).
bool parser_class_unchanged(PyTypeObject* type) {
    unsigned int version = type_version(type);
    if (version != 0 && version == known->parser_version) return true;
    if (type->tp_bases != known->parser_bases) return false;
    int same = PyObject_RichCompareBool(type->tp_dict, known->parser_attributes, Py_EQ);
    if (same < 0) throw py::error_already_set();
    _PyType_Lookup(type, names::dunder_init);  // gives the class a version tag again
    version = type_version(type);
    if (!same || version == 0) return false;
    known->parser_version = version;
    return true;
}

bool own_parser_in_use() {
    if (!known) return false;
    py::object current = module_global(names::JsonSqlParser);
    PyTypeObject* type = known->parser_class;
    return current.ptr() == reinterpret_cast<PyObject*>(type) && parser_class_unchanged(type);
}

const JsqlLimits& limits() { return known->limits; }
py::handle int_min() { return known->int_min; }
py::handle int_max() { return known->int_max; }
const std::string& false_condition() { return known->false_condition; }

std::string next_prefix() {
    PyObject* turn = PyObject_GetAttr(known->thread_state, known->turn);
    py::object owned;
    if (turn) {
        owned = py::reinterpret_steal<py::object>(turn);
    } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        owned = py::int_(1);  // the first parser of a thread
    } else {
        throw py::error_already_set();
    }
    if (!PyLong_CheckExact(owned.ptr())) return "";
    long value = PyLong_AsLong(owned.ptr());
    if (value != 0 && value != 1) {
        PyErr_Clear();
        return "";
    }
    py::handle prefix = PyTuple_GetItem(known->generations, 1 - value);
    if (!prefix || !PyUnicode_CheckExact(prefix.ptr())) {
        PyErr_Clear();
        return "";
    }
    return utf8(prefix);
}

void advance_generation() { steal_or_throw(PyObject_CallNoArgs(known->next_generation)); }

py::object decode_json(py::handle text) { return steal_or_throw(PyObject_CallOneArg(known->json_loads, text.ptr())); }

py::object value_rule(py::handle table, py::handle column, py::handle dialect) {
    PyObject* args[] = {table.ptr(), column.ptr(), dialect.ptr()};
    return steal_or_throw(PyObject_Vectorcall(known->value_rule, args, 3, nullptr));
}

py::object result_rules(py::handle info, py::handle db) {
    PyObject* args[] = {info.ptr(), db.ptr()};
    return steal_or_throw(PyObject_Vectorcall(known->result_rules, args, 2, nullptr));
}

py::handle untyped() { return known->untyped; }

py::handle unfit_value() { return known->unfit_value; }

bool takes_values_as_given(py::handle convert) { return convert.ptr() == known->untyped_convert; }

}  // namespace jsql

}  // namespace dbplus
