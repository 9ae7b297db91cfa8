// A number that every change to a dict replaces with a new one, so that what
// was read from a dict is known to be unchanged without reading it again.
// Up to Python 3.11 it is the dict's own version tag (PEP 509); from 3.12 on,
// which deprecates that tag, it is one kept here and dropped by a dict watcher
// at the dict's first change.
#pragma once

#include <Python.h>

#include <cstdint>

namespace dbplus {

// The dict's tag now; 0 when there is none to go by (not a dict, or no
// watcher to be had).
uint64_t dict_tag(PyObject* obj);

}  // namespace dbplus
