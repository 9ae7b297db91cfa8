// The user's row rules on a link table, looked up as single-record writes
// look them up (under the main table's name): which stored link rows a
// removal reaches, and whether a row that was added is one the user may see.
// A user without rules is not limited.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "writes/guarded_read.h"

namespace dbplus {

namespace py = pybind11;

class LinkRules {
public:
    LinkRules(py::handle self, py::handle info, py::handle table, py::handle user);

    bool limit() const { return read_.has_rules(); }
    // The stored rows holding the values of `row` in the columns `keys` that
    // the rules admit. Read before any of them is deleted: MariaDB cannot
    // delete from a table that the DELETE's own subquery reads.
    py::object admitted(py::handle session, py::handle keys, py::handle row) const;
    // whether the rules admit the stored row
    bool admits(py::handle session, py::handle stored) const;
    // deletes the stored row alone
    void remove(py::handle session, py::handle stored) const;

private:
    // "<table>.<column>=:<column>" conditions and their parameters that
    // single out the stored row: its primary key, or in a table without one
    // every column value it holds
    std::pair<py::object, py::object> identity(py::handle stored) const;
    std::string guarded(py::handle conds) const;

    py::handle self_;
    py::object table_;
    GuardedRead read_;
    std::string escaped_table_;
    std::string table_prefix_;  // the escaped table name and a dot
};

}  // namespace dbplus
