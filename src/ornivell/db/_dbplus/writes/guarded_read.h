// The read of main-table rows under the user's row rules that writes make
// before and after they write: the model's tables (and, with rules, the
// joins the rules need), the rules as one group that must all hold, as in a
// search, and the main table named as the FROM clause names it.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>
#include <vector>

namespace dbplus {

namespace py = pybind11;

class GuardedRead {
public:
    // self.build_acl_cond_sql(ctx, t.name) with ctx = {"user": user}; the
    // model's block, self.build_sql_blocks(info, ctx=ctx), is built when a
    // statement first needs it
    GuardedRead(py::handle self, py::handle info, py::handle table, py::handle user);

    bool has_rules() const;
    const py::object& rule_params() const { return acl_[1]; }

    // "select <main>.* from <tables> where "
    std::string head() const;
    // the rules joined by " and ", each bracketed when there are several
    std::string rule_group() const;
    // <main>.<id column>=:id
    std::string id_condition() const;
    // the main-table column that holds the record's id (see record_key.h)
    const py::object& id_column() const { return id_column_; }
    // row[id column]: a main-table row's id
    py::object row_id(py::handle row) const;
    // the key conditions joined by " and ", naming the main table as the FROM clause does
    std::string key_conditions(py::handle conds) const;
    // <main>.<id column> in (...) and (rules), with its parameters
    std::pair<std::string, py::object> ids_admitted(py::handle ids) const;

private:
    py::handle tables() const;

    py::object self_;
    py::object info_;
    py::object ctx_;
    std::vector<py::object> acl_;  // conditions, parameters, joins
    mutable py::object block_;
    std::string table_prefix_;  // the escaped table name and a dot
    std::string main_prefix_;   // the escaped name the FROM clause uses and a dot
    py::object id_column_;
    std::string escaped_id_;
};

}  // namespace dbplus
