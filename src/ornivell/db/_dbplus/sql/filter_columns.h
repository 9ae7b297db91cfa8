// The properties a client's filter or ordering names, resolved as
// jsql.JsonSqlParser resolves them: the column reference (the one the
// statement builder makes, so a filter names the column it selects) and the
// rule that checks and binds the property's values.
//
// A name's resolution is kept with the ModelInfo and reused while what it
// read of the model still holds (ReadLog), with the same quoting function
// and, for a column's value rule, the same dialect.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "host/read_log.h"

namespace dbplus {

namespace py = pybind11;

struct FilterColumn {
    py::object reference;  // a text
    py::object rule;       // a jsql ValueRule: (convert, patterns)
};

struct KeptColumns;

// The properties of one model for one parse.
class FilterColumns {
public:
    FilterColumns(py::handle info, py::handle db);

    // False when the name resolves to no column: the host parser says why.
    bool find(py::handle name, FilterColumn& column);

private:
    bool kept(py::handle name, FilterColumn& column);
    bool resolve(py::handle name, ReadLog& reads, FilterColumn& column, bool& by_dialect);
    py::object reference(ReadLog& reads, const py::object& fields_table, py::handle column, py::handle name,
                         py::handle as_enabled);
    py::object qualifier(ReadLog& reads, py::handle table, py::handle sql);
    py::object rule(ReadLog& reads, py::handle table, py::handle column, bool& by_dialect);
    const py::object& dialect();

    py::handle info_, db_;
    py::object escape_;   // db.escape
    py::object dialect_;  // db.engine.dialect, read when first needed
    std::shared_ptr<KeptColumns> kept_;  // null when nothing can be kept for the model
    py::dict found_;       // name -> (reference, rule), for this parse
    py::dict qualifiers_;  // table -> its escaped name, from a table_name of the host's
};

}  // namespace dbplus
