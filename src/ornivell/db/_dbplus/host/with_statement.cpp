#include "host/with_statement.h"

#include "host/pyaccess.h"

namespace dbplus {

namespace {

// type(manager).<name>, looked up on the type as the statement does
py::object special_method(py::handle manager, const char* name) {
    py::handle type(reinterpret_cast<PyObject*>(Py_TYPE(manager.ptr())));
    if (!py::hasattr(type, name)) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                     Py_TYPE(manager.ptr())->tp_name);
        throw py::error_already_set();
    }
    return type.attr(name);
}

py::handle or_none(const py::object& part) { return part ? py::handle(part) : py::handle(Py_None); }

// Hands the block's exception to __exit__; true when __exit__ suppresses it.
bool exit_suppresses(const py::object& exit, py::handle manager, py::error_already_set& error) {
    return truthy(exit(manager, or_none(error.type()), or_none(error.value()), or_none(error.trace())));
}

}  // namespace

py::object with_statement(py::handle manager, const std::function<py::object(py::handle)>& block) {
    py::object enter = special_method(manager, "__enter__");
    py::object exit = special_method(manager, "__exit__");
    py::object entered = enter(manager);
    py::object result;
    try {
        result = block(entered);
    } catch (py::error_already_set& error) {
        if (exit_suppresses(exit, manager, error)) return py::none();
        throw;
    } catch (const py::builtin_exception& failure) {
        failure.set_error();
        py::error_already_set error;
        if (exit_suppresses(exit, manager, error)) return py::none();
        throw error;
    }
    exit(manager, py::none(), py::none(), py::none());
    return result;
}

}  // namespace dbplus
