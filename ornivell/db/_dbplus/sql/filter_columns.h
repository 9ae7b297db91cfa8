// The properties a client's filter or ordering names, resolved as
// jsql.JsonSqlParser resolves them: the column reference (the one the
// statement builder makes, so a filter names the column it selects) and the
// rule that checks and binds the property's values.
#pragma once

#include <pybind11/pybind11.h>

namespace dbplus {

namespace py = pybind11;

struct FilterColumn {
    py::object reference;  // a text
    py::object rule;       // a jsql ValueRule: (convert, patterns)
};

// The properties of one model for one parse; each name is resolved once.
class FilterColumns {
public:
    FilterColumns(py::handle info, py::handle db) : info_(info), db_(db) {}

    // False when the name resolves to no column: the host parser says why.
    bool find(py::handle name, FilterColumn& column);

private:
    bool resolve(py::handle name, FilterColumn& column);
    py::object reference(py::handle table, py::handle column, py::handle name, py::handle as_enabled);
    py::object qualifier(py::handle table, py::handle sql);
    py::object rule(py::handle table, py::handle column);
    py::object escape(py::handle name) const;

    py::handle info_, db_;
    py::dict found_;       // name -> (reference, rule)
    py::dict qualifiers_;  // table -> its escaped name in the statement
};

}  // namespace dbplus
