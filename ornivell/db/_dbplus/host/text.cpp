#include "host/text.h"

namespace dbplus {

namespace {

std::string with_surrogates(py::handle text) {
    PyObject* encoded = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass");
    if (!encoded) throw py::error_already_set();
    py::object bytes = py::reinterpret_steal<py::object>(encoded);
    return std::string(PyBytes_AS_STRING(encoded), static_cast<size_t>(PyBytes_GET_SIZE(encoded)));
}

}  // namespace

std::string utf8(py::handle text) {
    if (!PyUnicode_Check(text.ptr())) {
        PyErr_Format(PyExc_TypeError, "expected str instance, %.80s found", Py_TYPE(text.ptr())->tp_name);
        throw py::error_already_set();
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data) return std::string(data, static_cast<size_t>(size));
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::error_already_set();
    PyErr_Clear();
    return with_surrogates(text);
}

void append_text(std::string& out, py::handle obj) {
    if (PyUnicode_CheckExact(obj.ptr())) {
        out += utf8(obj);
        return;
    }
    PyObject* text = PyObject_Str(obj.ptr());
    if (!text) throw py::error_already_set();
    py::object owned = py::reinterpret_steal<py::object>(text);
    out += utf8(owned);
}

std::string text_of(py::handle obj) {
    std::string out;
    append_text(out, obj);
    return out;
}

std::string repr_of(py::handle obj) {
    PyObject* text = PyObject_Repr(obj.ptr());
    if (!text) throw py::error_already_set();
    return utf8(py::reinterpret_steal<py::object>(text));
}

py::str to_str(std::string_view text) {
    PyObject* result = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(result);
}

py::handle permanent_str(const char* text) {
    PyObject* result = PyUnicode_FromString(text);
    if (!result) throw py::error_already_set();
    return result;
}

py::str join(std::string_view separator, py::handle items) {
    py::str sep = to_str(separator);
    PyObject* result = PyUnicode_Join(sep.ptr(), items.ptr());
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(result);
}

}  // namespace dbplus
