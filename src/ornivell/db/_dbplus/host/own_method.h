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
    // Records the function object of the method and what the class holds
    // under its name (the function wrapped as a method or static method).
    void bind(py::handle function, py::handle class_attribute);

    // Runs `direct()` when `self.<name>` is the module's own method, else
    // calls the method found with `args`, which spell the Python call.
    template <typename Direct, typename... Args>
    py::object call(py::handle self, Direct&& direct, Args&&... args) const {
        if (own_on(self)) return std::forward<Direct>(direct)();
        py::object found = lookup(self);
        if (is_own(found, self)) return std::forward<Direct>(direct)();
        return found(std::forward<Args>(args)...);
    }

    // self.<name>, and whether that is the module's own method
    py::object lookup(py::handle self) const;
    bool is_own(py::handle found, py::handle self) const;
    // Whether self.<name> is the module's own method, told without reading
    // it: the class (as last checked, at the same version tag) holds the
    // module's method, and the instance has no attribute of that name.
    bool own_on(py::handle self) const;

private:
    bool class_holds_own(PyTypeObject* type) const;

    const char* name_;
    PyObject* interned_name_ = nullptr;    // made at bind, never released
    PyObject* function_ = nullptr;         // owned by the class dictionary
    PyObject* class_attribute_ = nullptr;  // owned by the class dictionary
    // the class last found to hold the module's method, and its version tag then
    mutable PyTypeObject* checked_class_ = nullptr;
    mutable unsigned int checked_version_ = 0;
};

}  // namespace dbplus
