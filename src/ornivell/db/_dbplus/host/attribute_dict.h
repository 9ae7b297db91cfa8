// What the module knows about the host's attribute-dictionary class (`Dict`):
// attribute reads of its instances are item reads, and its `get` is
// `dict.get`. The knowledge is checked against the class and kept while the
// class's version tag stays the same, so patching the class is honoured.
#pragma once

#include <Python.h>

namespace dbplus::attribute_dict {

void remember(PyObject* dict_type);

// True when `obj.<name>` is `obj[name]` if present. `name` must be a string
// kept for the life of the process (one of the module's names).
bool reads_items(PyObject* obj, PyObject* name);

// True when `obj` is an instance of the class and its `get` is `dict.get`.
bool has_dict_get(PyObject* obj);

}  // namespace dbplus::attribute_dict
