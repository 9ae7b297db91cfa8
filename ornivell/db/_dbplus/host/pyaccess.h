// Reading Python objects the way Python code would, with fast paths where they
// are provably the same: a `dict` (or a subclass whose `get` is `dict.get`)
// answers `get` from its items, and the host's `Dict` answers attribute reads
// from its items.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

namespace dbplus {

namespace py = pybind11;

// obj.<name>
py::object attr(py::handle obj, PyObject* name);
// mapping.get(key): None when absent
py::object get(py::handle mapping, PyObject* key);
py::object get(py::handle mapping, py::handle key);
// obj[key]
py::object item(py::handle obj, PyObject* key);
// obj.<name> = value
void set_attr(py::handle obj, PyObject* name, py::handle value);
// obj[key] = value
void set_item(py::handle obj, PyObject* key, py::handle value);
// bool(obj)
bool truthy(py::handle obj);
// key in container
bool contains(py::handle container, py::handle key);

// `a, b, ... = obj`: exactly `count` values, else the runtime's ValueError.
std::vector<py::object> unpack(py::handle obj, size_t count);

// The host's attribute-dictionary class: instances of exactly this class
// whose `__getattr__` is still the one seen here read attributes as items.
void remember_attribute_dict_type(py::handle dict_type);

}  // namespace dbplus
