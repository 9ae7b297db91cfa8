// Calls into host objects with keyword arguments in a stated order, including
// `**mapping` expansions, raising the runtime's own TypeErrors for a keyword
// given twice or an expansion that is not a mapping.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>

namespace dbplus {

namespace py = pybind11;

class Call {
public:
    explicit Call(py::object function) : function_(std::move(function)) {}

    // name=value
    Call& keyword(PyObject* name, py::handle value);
    // **mapping
    Call& expand(py::handle mapping);
    // function(*positional, **keywords)
    py::object run(std::initializer_list<py::handle> positional = {}) const;

private:
    void add(py::handle name, py::handle value);
    [[noreturn]] void fail(const std::string& problem) const;

    py::object function_;
    py::dict keywords_;
};

}  // namespace dbplus
