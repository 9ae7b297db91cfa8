#include "sql/request_values.h"

#include <cmath>
#include <string>

#include "host/text.h"

namespace dbplus {

void refuse_value(const std::string& what, const std::string& problem) {
    PyErr_SetObject(PyExc_ValueError, to_str(what + ": " + problem).ptr());
    throw py::error_already_set();
}

void check_text(const std::string& what, py::handle text) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    if (length > max_text_length) refuse_value(what, "longer than " + std::to_string(max_text_length) + " characters");
    Py_ssize_t nul = PyUnicode_FindChar(text.ptr(), 0, 0, length, 1);
    if (nul == -2) throw py::error_already_set();
    if (nul >= 0) refuse_value(what, "NUL characters are not allowed");
}

namespace {

bool is_integer(py::handle value) { return PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr()); }

void check_number(const char* what, py::handle number) {
    if (PyFloat_Check(number.ptr())) {
        if (!std::isfinite(PyFloat_AS_DOUBLE(number.ptr()))) refuse_value(what, "numbers must be finite");
        return;
    }
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (PyErr_Occurred()) throw py::error_already_set();
    if (overflow) refuse_value(what, "integer out of range");
}

Py_ssize_t length_if_text(PyObject* value) { return PyUnicode_Check(value) ? PyUnicode_GET_LENGTH(value) : 0; }

// The characters of the text values of a parameter mapping.
Py_ssize_t text_length(py::handle params) {
    Py_ssize_t length = 0;
    if (PyDict_Check(params.ptr())) {
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(params.ptr(), &position, &key, &value)) length += length_if_text(value);
        return length;
    }
    py::object values = params.attr("values")();
    for (py::handle value : values) length += length_if_text(value.ptr());
    return length;
}

}  // namespace

py::str keyword_text(py::handle key) {
    if (PyUnicode_Check(key.ptr())) {
        check_text("key", key);
        return py::reinterpret_borrow<py::str>(key);
    }
    if (!is_integer(key) && !PyFloat_Check(key.ptr())) {
        refuse_value("key", std::string("expected a text or a number, got ") + Py_TYPE(key.ptr())->tp_name);
    }
    if (PyFloat_Check(key.ptr())) check_number("key", key);
    py::str text = to_str(text_of(key));
    check_text("key", text);
    return text;
}

void check_record_id(py::handle id) {
    if (PyUnicode_Check(id.ptr())) {
        check_text("id", id);
    } else if (is_integer(id) || PyFloat_Check(id.ptr())) {
        check_number("id", id);
    }
}

void check_filter_values(py::handle join_params, py::handle where_params) {
    const char* what = "where and joinCond";
    if (py::len(join_params) + py::len(where_params) > max_filter_values) {
        refuse_value(what, "more than " + std::to_string(max_filter_values) + " values in all");
    }
    if (text_length(join_params) + text_length(where_params) > max_filter_text) {
        refuse_value(what, "more than " + std::to_string(max_filter_text) + " characters of text in all");
    }
}

}  // namespace dbplus
