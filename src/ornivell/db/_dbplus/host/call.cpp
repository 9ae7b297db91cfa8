#include "host/call.h"

#include <string>

#include "host/text.h"

namespace dbplus {

namespace {

// How the runtime names a callable in its argument errors: "module.qualname()".
std::string function_text(py::handle function) {
    py::object qualname = py::getattr(function, "__qualname__", py::none());
    if (qualname.is_none()) return text_of(function);
    py::object module = py::getattr(function, "__module__", py::none());
    std::string text;
    if (PyUnicode_Check(module.ptr()) && text_of(module) != "builtins") text = text_of(module) + ".";
    return text + text_of(qualname) + "()";
}

}  // namespace

void Call::fail(const std::string& problem) const {
    std::string message = function_text(function_) + " " + problem;
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw py::error_already_set();
}

void Call::add(py::handle name, py::handle value) {
    if (!PyUnicode_Check(name.ptr())) fail("keywords must be strings");
    int present = PyDict_Contains(keywords_.ptr(), name.ptr());
    if (present < 0) throw py::error_already_set();
    if (present) fail("got multiple values for keyword argument '" + text_of(name) + "'");
    if (PyDict_SetItem(keywords_.ptr(), name.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

Call& Call::keyword(PyObject* name, py::handle value) {
    add(name, value);
    return *this;
}

Call& Call::expand(py::handle mapping) {
    if (PyDict_Check(mapping.ptr())) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t position = 0;
        while (PyDict_Next(mapping.ptr(), &position, &key, &value)) add(key, value);
        return *this;
    }
    if (!py::hasattr(mapping, "keys")) {
        fail(std::string("argument after ** must be a mapping, not ") + Py_TYPE(mapping.ptr())->tp_name);
    }
    for (py::handle key : mapping.attr("keys")()) add(key, mapping[key]);
    return *this;
}

py::object Call::run(std::initializer_list<py::handle> positional) const {
    py::tuple args(positional.size());
    size_t index = 0;
    for (py::handle value : positional) args[index++] = value;
    PyObject* result = PyObject_Call(function_.ptr(), args.ptr(), keywords_.ptr());
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

}  // namespace dbplus
