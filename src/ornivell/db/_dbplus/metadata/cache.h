// The per-instance cache of loaded metadata and permissions.
//
// `self.cache` is a dict from key to value, kept in order of use (least
// recently used first) and bounded by `self.cache_limit` entries. Clearing
// and evicting replace the dict instead of emptying it; code that drops only
// some entries must do the same (build a new dict), because a load in flight
// stores its value only into the dict it started with (see CachedLoad).
#pragma once

#include <pybind11/pybind11.h>

#include "plain_class.h"

namespace dbplus {

namespace py = pybind11;

// The number of entries a cache keeps unless the instance or class sets
// `cache_limit`; None there means no bound.
constexpr Py_ssize_t default_cache_limit = 10000;

void bind_cache(ClassBuilder& dbplus);

// self._read_cache(key) and self._write_cache(key, value)
py::object call_read_cache(py::handle self, py::handle key);
void call_write_cache(py::handle self, py::handle key, py::handle value);

// One lookup of a value that is loaded from the database on a miss:
//
//     CachedLoad load(self, key);
//     if (!load.cached().is_none()) return load.cached();
//     ... read the rows ...
//     load.store(value);
//
// The cache the lookup saw is taken before anything is read, so a value
// read before a clear or eviction is never stored after it: a revoked grant
// cannot come back through a request that was still running.
class CachedLoad {
public:
    CachedLoad(py::handle self, py::handle key);

    // the cached value; None on a miss
    const py::object& cached() const { return cached_; }
    // Stores `value` unless the cache was replaced since the lookup.
    void store(py::handle value) const;

private:
    py::handle self_;
    py::handle key_;
    py::object cache_at_lookup_;
    py::object cached_;
};

}  // namespace dbplus
