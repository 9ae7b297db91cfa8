#include "metadata/bad_metadata.h"

#include "host/pyaccess.h"
#include "host/text.h"
#include "names.h"

namespace dbplus {

namespace {

PyObject* metadata_error_type = nullptr;  // kept for the life of the process

std::string property_row(py::handle model, py::handle prop) {
    return "model " + repr_of(model) + ", _prop row " + text_of(optional_attr(prop, names::id));
}

}  // namespace

void bind_metadata_error(py::module_& module) {
    std::string qualified = text_of(module.attr("__name__")) + ".MetadataError";
    metadata_error_type = PyErr_NewException(qualified.c_str(), PyExc_RuntimeError, nullptr);
    if (!metadata_error_type) throw py::error_already_set();
    module.attr("MetadataError") = py::reinterpret_borrow<py::object>(metadata_error_type);
}

void metadata_error(const std::string& message) {
    PyErr_SetObject(metadata_error_type, to_str(message).ptr());
    throw py::error_already_set();
}

void check_property_name(py::handle model, py::handle prop) {
    py::object name = attr(prop, names::name);
    if (!PyUnicode_Check(name.ptr())) {
        metadata_error(property_row(model, prop) + ": the property name is not a text but " + repr_of(name));
    }
    if (contains(name, to_str("\""))) {
        metadata_error(property_row(model, prop) + ": the property name " + repr_of(name) +
                       " holds a double quote");
    }
}

void check_property_column(py::handle model, py::handle prop, py::handle column) {
    if (PyUnicode_Check(column.ptr())) return;
    std::string row = property_row(model, prop) + " (property " + repr_of(optional_attr(prop, names::name)) +
                      " on table " + repr_of(optional_attr(prop, names::table)) + ")";
    if (column.is_none()) metadata_error(row + ": the column is NULL");
    metadata_error(row + ": the column is not a text but " + repr_of(column));
}

void check_order_number(const std::string& row, py::handle order) {
    if (!PyNumber_Check(order.ptr())) metadata_error(row + ": the order " + repr_of(order) + " is not a number");
}

}  // namespace dbplus
