#include "host/text.h"

#include <unordered_map>

#include "host/pyaccess.h"
#include "names.h"

namespace dbplus {

namespace {

std::string with_surrogates(py::handle text) {
    PyObject* encoded = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass");
    if (!encoded) throw py::error_already_set();
    py::object bytes = py::reinterpret_steal<py::object>(encoded);
    return std::string(PyBytes_AS_STRING(encoded), static_cast<size_t>(PyBytes_GET_SIZE(encoded)));
}

}  // namespace

void append_utf8(std::string& out, py::handle text) {
    if (!PyUnicode_Check(text.ptr())) {
        PyErr_Format(PyExc_TypeError, "expected str instance, %.80s found", Py_TYPE(text.ptr())->tp_name);
        throw py::error_already_set();
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data) {
        out.append(data, static_cast<size_t>(size));
        return;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::error_already_set();
    PyErr_Clear();
    out += with_surrogates(text);
}

std::string utf8(py::handle text) {
    std::string out;
    append_utf8(out, text);
    return out;
}

void append_text(std::string& out, py::handle obj) {
    if (PyUnicode_CheckExact(obj.ptr())) {
        append_utf8(out, obj);
        return;
    }
    PyObject* text = PyObject_Str(obj.ptr());
    if (!text) throw py::error_already_set();
    py::object owned = py::reinterpret_steal<py::object>(text);
    out += utf8(owned);
}

bool blank_text(py::handle text) {
    PyObject* str = text.ptr();
    if (!PyUnicode_CheckExact(str)) return !truthy(call_method(text, names::strip));
    int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    for (Py_ssize_t i = 0, size = PyUnicode_GET_LENGTH(str); i < size; ++i) {
        if (!Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) return false;
    }
    return true;
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

void append_joined(std::string& out, std::string_view separator, py::handle items) {
    PyObject* sequence = items.ptr();
    if (!PyList_CheckExact(sequence) && !PyTuple_CheckExact(sequence)) {
        out += utf8(join(separator, items));
        return;
    }
    Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence);
    PyObject** entries = PySequence_Fast_ITEMS(sequence);
    for (Py_ssize_t i = 0; i < count; ++i) {
        // anything but a text: str.join says what is wrong
        if (!PyUnicode_CheckExact(entries[i])) {
            out += utf8(join(separator, items));
            return;
        }
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (i) out += separator;
        append_utf8(out, entries[i]);
    }
}

py::handle literal_str(const char* literal) {
    static auto* made = new std::unordered_map<const char*, py::handle>();  // never freed
    auto found = made->find(literal);
    if (found != made->end()) return found->second;
    py::handle text = permanent_str(literal);
    made->emplace(literal, text);
    return text;
}

py::str join(std::string_view separator, py::handle items) {
    py::str sep = to_str(separator);
    PyObject* result = PyUnicode_Join(sep.ptr(), items.ptr());
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(result);
}

}  // namespace dbplus
