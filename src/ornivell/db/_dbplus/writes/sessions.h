// Writes that need one session for their reads and writes run in the
// caller's, or in one the handle opens for them and ends when they return.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>

namespace dbplus {

namespace py = pybind11;

using SessionWork = std::function<py::object(py::handle session)>;

// work(session) when `session` is true, else `with self.db.session() as s: work(s)`
py::object in_session(py::handle self, py::handle session, const SessionWork& work);
// with self.db.session() as s: work(s)
py::object in_new_session(py::handle self, const SessionWork& work);

}  // namespace dbplus
