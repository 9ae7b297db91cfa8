// The module's classes are plain classes, as a `class` statement in this
// module would make them: their only base is `object`, their instances keep
// their fields in `__dict__`, and their methods are C++ functions.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "host/own_method.h"

namespace dbplus {

namespace py = pybind11;

// Creates the class and binds it in the module under `name`.
py::object make_plain_class(py::module_& module, const char* name);

// Collects a class's methods from the files that implement them, then puts
// them into the class in one stated order.
class ClassBuilder {
public:
    explicit ClassBuilder(py::object cls) : cls_(std::move(cls)) {}

    const py::object& cls() const { return cls_; }

    template <typename F, typename... Extra>
    void method(const char* name, F&& f, const Extra&... extra) {
        py::cpp_function fn(std::forward<F>(f), py::name(name), py::is_method(cls_), extra...);
        add(name, fn, nullptr);
    }

    // A method that the module's own code also calls through `self`.
    template <typename F, typename... Extra>
    void method(OwnMethod& own, F&& f, const Extra&... extra) {
        py::cpp_function fn(std::forward<F>(f), py::name(own.name()), py::is_method(cls_), extra...);
        add(own.name(), fn, &own);
    }

    template <typename F, typename... Extra>
    void static_method(OwnMethod& own, F&& f, const Extra&... extra) {
        py::cpp_function fn(std::forward<F>(f), py::name(own.name()), py::scope(cls_), extra...);
        py::staticmethod held(fn);
        own.bind(fn, held);
        pending_.emplace_back(own.name(), held);
    }

    // A method written against the C API: pybind11 treats any function named
    // __init__ as a constructor of its own classes, which ours are not.
    // `data` is handed to `function` as its first argument; the instance
    // comes first in `args`.
    void c_method(const char* name, PyCFunctionWithKeywords function, py::object data);

    // Installs every collected method in `order`, which must name each of
    // them exactly once.
    void install(std::initializer_list<const char*> order);

private:
    void add(const char* name, const py::cpp_function& fn, OwnMethod* own);

    py::object cls_;
    std::vector<std::pair<std::string, py::object>> pending_;
};

}  // namespace dbplus
