#include "record_class.h"

#include "host/pyaccess.h"
#include "plain_class.h"

namespace dbplus {

namespace {

py::object initial_value(FieldDefault initial) {
    switch (initial) {
        case FieldDefault::empty_list: return py::list();
        case FieldDefault::empty_dict: return py::dict();
        case FieldDefault::empty_text: return py::str("");
        case FieldDefault::false_value: return py::bool_(false);
        case FieldDefault::none: break;
    }
    return py::none();
}

// __init__(self): sets every field to a fresh default
PyObject* init_record(PyObject* fields_capsule, PyObject* args, PyObject* kwargs) {
    PyObject* self = nullptr;
    static const char* keywords[] = {"self", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:__init__", const_cast<char**>(keywords), &self)) {
        return nullptr;
    }
    auto* fields = static_cast<const std::vector<Field>*>(PyCapsule_GetPointer(fields_capsule, nullptr));
    if (!fields) return nullptr;
    try {
        for (const Field& field : *fields) set_attr(self, *field.name, initial_value(field.initial));
    } catch (py::error_already_set& error) {
        error.restore();
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

py::object make_record_class(py::module_& module, const char* name, std::vector<Field> fields) {
    ClassBuilder builder(make_plain_class(module, name));
    // the field list lives as long as the class: never freed
    auto* kept_fields = new std::vector<Field>(std::move(fields));
    builder.c_method("__init__", &init_record, py::capsule(kept_fields));
    builder.install({"__init__"});
    return builder.cls();
}

py::object new_record(py::handle cls) {
    PyObject* instance = PyObject_CallNoArgs(cls.ptr());
    if (!instance) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(instance);
}

}  // namespace dbplus
