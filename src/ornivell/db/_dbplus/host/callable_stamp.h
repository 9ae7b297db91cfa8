// Identifies a callable without keeping it alive: what was derived with a
// function (the handle's escape, say) holds only while the same function is
// the one in use. A bound method, made anew on every attribute read, is
// identified by its function and instance.
#pragma once

#include <pybind11/pybind11.h>

namespace dbplus {

namespace py = pybind11;

class CallableStamp {
public:
    // False when the callable takes no weak references: nothing can be kept for it.
    bool make(py::handle callable);
    bool matches(py::handle callable) const;

private:
    py::object function_, instance_;  // weak references
};

}  // namespace dbplus
