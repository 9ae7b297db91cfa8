// Methods of the module's classes call each other through `self`, as Python
// code would, so a subclass or a patched class can replace any of them. When
// the method found is still the module's own function, the call goes straight
// to the C++ function instead of through the Python call machinery.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

namespace dbplus {

namespace py = pybind11;

class OwnMethod {
public:
    explicit OwnMethod(const char* name) : name_(name) {}

    const char* name() const { return name_; }
    // Records the function object that the class holds under this name.
    void bind(py::handle function);

    // Runs `direct()` when `self.<name>` is the module's own method, else
    // calls the method found with `args`, which spell the Python call.
    template <typename Direct, typename... Args>
    py::object call(py::handle self, Direct&& direct, Args&&... args) const {
        py::object found = lookup(self);
        if (is_own(found, self)) return std::forward<Direct>(direct)();
        return found(std::forward<Args>(args)...);
    }

    // self.<name>, and whether that is the module's own method
    py::object lookup(py::handle self) const;
    bool is_own(py::handle found, py::handle self) const;

private:
    const char* name_;
    PyObject* interned_name_ = nullptr;  // made at bind, never released
    PyObject* function_ = nullptr;       // owned by the class dictionary
};

}  // namespace dbplus
