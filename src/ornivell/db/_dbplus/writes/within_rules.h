// A write that must leave its rows where the user's rules can see them, as
// a policy's WITH CHECK does: it runs in a savepoint of its session, and is
// undone when a row it wrote falls outside the rules.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>

#include "writes/guarded_read.h"

namespace dbplus {

namespace py = pybind11;

// Runs the write, which returns the ids of the rows it made or changed;
// whether it was kept.
using IdsWrite = std::function<py::object(py::handle session)>;

bool write_within_rules(py::handle session, const GuardedRead& read, const IdsWrite& write);

// The same in the caller's session, or in one of its own when it has none.
bool write_within_rules(py::handle self, py::handle session, const GuardedRead& read, const IdsWrite& write);

}  // namespace dbplus
