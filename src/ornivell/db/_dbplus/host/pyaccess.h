// Reading Python objects the way Python code would, with fast paths where they
// are provably the same: a `dict` (or a subclass whose `get` is `dict.get`)
// answers `get` from its items, and the host's `Dict` answers attribute reads
// from its items.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

// the calls its users make on older Pythons too
#include "host/python_api.h"

namespace dbplus {

namespace py = pybind11;

// The new reference a C API call returned, or its error raised.
py::object steal_or_throw(PyObject* value);

// Whether mapping.get is dict.get: `get` reads the mapping's items.
bool get_is_dict_get(PyObject* mapping);
// Whether obj[key] is the dict's own lookup: a dict whose class has dict's
// __getitem__ (whatever its C slot) and no __missing__.
bool subscript_is_dict_lookup(PyObject* obj);

// obj.<name>; `name` is one of the module's names
py::object attr(py::handle obj, PyObject* name);
// getattr(obj, name, None)
py::object optional_attr(py::handle obj, PyObject* name);
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
// a == b, a != b, as Python compares them
bool equals(py::handle a, py::handle b);
bool not_equal(py::handle a, py::handle b);

// container.append(value)
void append(py::handle container, py::handle value);
// obj.<name>()
py::object call_method(py::handle obj, PyObject* name);
// target.update(source)
void update(py::handle target, py::handle source);
// text.split(separator)
py::object split(py::handle text, PyObject* separator);

// `a, b, ... = obj`: exactly `count` values, else the runtime's ValueError.
std::vector<py::object> unpack(py::handle obj, size_t count);

}  // namespace dbplus
