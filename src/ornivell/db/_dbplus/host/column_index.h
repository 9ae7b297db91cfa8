// The dict behind a SQLAlchemy column collection (`table.c`), whose
// membership test and `get` are lookups in it. A log of reads can then tell
// that the answer for a column still holds by the dict's stamp, where asking
// the collection again is a call into Python per column.
#pragma once

#include <pybind11/pybind11.h>

namespace dbplus {

namespace py = pybind11;

// The dict that answers `key in collection` and `collection.get(key)`; empty
// when `collection` is no such collection (or SQLAlchemy is not loaded) or
// `key` is not a str.
py::object column_index(py::handle collection, py::handle key);

}  // namespace dbplus
