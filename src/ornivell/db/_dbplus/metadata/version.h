// The version of the metadata kept in the database, which tells a process
// that another one changed models or permissions.
//
// A handle that offers `metadata_version()` (the version, or None without
// one) and `move_metadata_version(session=None)` takes part; any other
// handle is used as before. An instance reads the version at most once per
// `metadata_check_interval` seconds (None: never), before a cache lookup,
// and clears its cache when the version moved.
#pragma once

#include <pybind11/pybind11.h>

#include "plain_class.h"

namespace dbplus {

namespace py = pybind11;

constexpr double default_metadata_check_interval = 1.0;

void bind_metadata_version(ClassBuilder& dbplus);

// Clears the cache when the interval is over and the version moved.
void check_metadata_version(py::handle self);

// Moves the version in `session` (None: the handle's own), when the handle keeps one.
void move_metadata_version(py::handle self, py::handle session);

}  // namespace dbplus
