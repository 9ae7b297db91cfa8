// The client's filter and ordering structures turned into SQL in C++, the
// way jsql.JsonSqlParser turns them, for the usual case: a structure the host
// parser accepts. What it would refuse, and what it reads its own way (a
// dict or list of a class of its own, an _or that always holds), is left to
// the host parser: the C++ parse then reports false and has changed nothing,
// not even the thread's parameter prefix, so the host parser's statement,
// parameters and messages are exactly its own.
//
// Used only while the module's JsonSqlParser is the class it imported
// (host/jsql_module.h). The grammar follows jsql.py; a change there needs
// the same change here (tests/module/test_filter_grammar.py compares both).
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

namespace dbplus {

namespace py = pybind11;

// What one parser, JsonSqlParser(info, db), makes of `filters` with
// parse_cond: a condition text or None for each, and the values of all of
// them in `params`. False when the host parser must parse them.
bool parse_filters_in_cpp(py::handle info, py::handle db, const std::vector<py::object>& filters,
                          std::vector<py::object>& conds, py::dict& params);

// What JsonSqlParser(info, db).parse_orderby(order) returns; false when the
// host parser must parse it.
bool parse_order_in_cpp(py::handle info, py::handle db, py::handle order, py::object& items);

}  // namespace dbplus
