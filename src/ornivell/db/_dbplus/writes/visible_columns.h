// What of a model's main table a user may write and see: the properties
// left visible to them whose column lives on the main table, by property
// name or column.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <unordered_set>

namespace dbplus {

namespace py = pybind11;

class VisibleColumns {
public:
    explicit VisibleColumns(py::handle info);

    // The submitted keys a request may not write, in their order: columns of
    // the main table that no visible property of it shows (its key columns
    // excepted when `keys_allowed`, as an update names its row by them), and
    // visible properties of joined tables. Keys that name no column at all
    // are left for the handle to ignore.
    py::list refused_keys(py::handle data, bool keys_allowed) const;
    // the same over a batch, each key named once
    py::list refused_keys_in(py::handle entities, bool keys_allowed) const;

    // Drops from a row that a write answers with every entry the user could
    // not read through query_one.
    void trim_answer(py::handle row) const;

private:
    bool shown(const std::string& key) const { return shown_.count(key) > 0; }

    py::object table_;
    std::unordered_set<std::string> shown_;       // names and columns of the main table's properties
    std::unordered_set<std::string> elsewhere_;   // names of properties of other tables
    std::unordered_set<std::string> key_columns_;
};

// The (message, 403) pair that refuses the keys, or an empty object when
// there are none.
py::object refuse_keys(py::handle info, const py::list& keys);

}  // namespace dbplus
