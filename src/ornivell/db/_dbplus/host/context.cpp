#include "host/context.h"

#include "host/pyaccess.h"
#include "names.h"

namespace dbplus {

namespace {

// type(manager).<name>, bound to manager, as the with statement looks it up
py::object special_method(py::handle manager, PyObject* name) {
    PyObject* found = _PyType_Lookup(Py_TYPE(manager.ptr()), name);
    if (!found) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                     Py_TYPE(manager.ptr())->tp_name);
        throw py::error_already_set();
    }
    descrgetfunc bind = Py_TYPE(found)->tp_descr_get;
    if (!bind) return py::reinterpret_borrow<py::object>(found);
    PyObject* bound = bind(found, manager.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(manager.ptr())));
    if (!bound) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(bound);
}

// Hands the block's exception to exit; true when exit swallowed it. An
// exception raised by exit itself goes on with the block's as its context.
bool exit_with(const py::object& exit, py::error_already_set& error) {
    // an error raised in C code has no traceback yet
    py::object trace = error.trace() ? error.trace() : py::none();
    try {
        return truthy(exit(error.type(), error.value(), trace));
    } catch (py::error_already_set& raised) {
        PyObject* context = error.value().ptr();
        Py_INCREF(context);
        PyException_SetContext(raised.value().ptr(), context);
        throw;
    }
}

}  // namespace

py::object with_context(py::handle manager, const std::function<py::object(py::handle entered)>& body) {
    py::object enter = special_method(manager, names::dunder_enter);
    py::object exit = special_method(manager, names::dunder_exit);
    py::object entered = enter();
    py::object result;
    try {
        result = body(entered);
    } catch (py::error_already_set& error) {
        if (exit_with(exit, error)) return py::none();
        throw;
    } catch (py::builtin_exception& failure) {
        failure.set_error();
        py::error_already_set error;
        if (exit_with(exit, error)) return py::none();
        throw error;
    }
    py::none none;
    exit(none, none, none);
    return result;
}

}  // namespace dbplus
