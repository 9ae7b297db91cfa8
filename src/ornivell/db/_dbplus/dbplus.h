// DbPlus construction and the utilities that hand SQL-dialect questions
// straight to the database handle.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "plain_class.h"

namespace dbplus {

namespace py = pybind11;

void bind_dbplus_utilities(ClassBuilder& dbplus);

// self.db
py::object handle_of(py::handle self);

// self.in_clause(key, values) -> (text, params)
py::object call_in_clause(py::handle self, py::handle key, py::handle values);

// `_t = self.escape`, bound once for the run of a method.
class Escaper {
public:
    explicit Escaper(py::handle self);
    py::object operator()(py::handle name) const;
    // The escaped name, formatted as text.
    std::string text(py::handle name) const;
    // The handle's escape function when `self.escape` is the module's own
    // method, which hands names to it; else empty.
    py::handle handle_escape() const { return own_ ? py::handle(escape_) : py::handle(); }

private:
    py::object escape_;
    bool own_;
};

}  // namespace dbplus
