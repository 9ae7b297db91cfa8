// What the module takes from the host's filter parser module (`jsql`) at
// import, so that the client's filters can be parsed in C++ the way
// `jsql.JsonSqlParser` parses them (sql/filter_grammar.h). The C++ parse
// stands in for the parser only while the module global `JsonSqlParser` is
// still the class imported, unchanged; any other parser is used as it is.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace dbplus {

namespace py = pybind11;

// Called once, with the imported `jsql` module.
void remember_jsql(py::handle jsql);

struct JsqlLimits {
    Py_ssize_t max_depth, max_branches, max_values, max_conditions, max_text, max_text_length, max_json_text;
};

namespace jsql {

// Whether the module's `JsonSqlParser` is the class imported, unchanged.
bool own_parser_in_use();
const JsqlLimits& limits();
// What a value must be between to be bound as an integer.
py::handle int_min();
py::handle int_max();
// Written for an empty _or and a negated empty expression.
const std::string& false_condition();

// The parameter prefix that constructing a parser on this thread would
// take now; empty when the thread's state is not what the module keeps.
std::string next_prefix();
// Takes the prefix, as constructing a parser does.
void advance_generation();

// json.loads(text), as jsql decodes a filter or ordering sent as JSON text
py::object decode_json(py::handle text);
// jsql.value_rule(table, column, dialect), jsql._result_rules(info, db) and jsql.UNTYPED
py::object value_rule(py::handle table, py::handle column, py::handle dialect);
py::object result_rules(py::handle info, py::handle db);
py::handle untyped();
// jsql.UnfitValue, what a converter raises for a value its column cannot take
py::handle unfit_value();
// The converter that takes values as given (UNTYPED's): no call is needed.
bool takes_values_as_given(py::handle convert);

}  // namespace jsql

}  // namespace dbplus
