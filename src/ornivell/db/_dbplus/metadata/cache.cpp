#include "metadata/cache.h"

#include "host/module_globals.h"
#include "host/pyaccess.h"
#include "metadata/version.h"
#include "names.h"

namespace dbplus {

namespace {

OwnMethod read_cache_method("_read_cache");
OwnMethod write_cache_method("_write_cache");

bool enabled(py::handle self) { return truthy(attr(self, names::cache_enabled)); }

// The cache is replaced, never emptied in place: callers may still hold the old one.
void clear_cache(py::handle self) { set_attr(self, names::cache, py::dict()); }

void evict_cache(py::handle self, py::handle model) {
    if (!enabled(self)) return;
    if (contains(module_global(names::cached_models), model)) clear_cache(self);
}

// Moves `key` to the end of the order of use. Only a plain dict keeps that
// order; a mapping a host put in its place is used as it is.
void mark_used(py::handle cache, py::handle key, py::handle value) {
    if (!PyDict_Check(cache.ptr())) return;
    if (PyDict_DelItem(cache.ptr(), key.ptr()) < 0 || PyDict_SetItem(cache.ptr(), key.ptr(), value.ptr()) < 0) {
        throw py::error_already_set();
    }
}

// The bound as a count of entries; none when the limit is None.
bool entry_limit(py::handle self, Py_ssize_t& limit) {
    py::object setting = attr(self, names::cache_limit);
    if (setting.is_none()) return false;
    limit = PyNumber_AsSsize_t(setting.ptr(), PyExc_OverflowError);
    if (limit == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (limit < 0) limit = 0;
    return true;
}

// Drops the least recently used entries beyond the limit.
void drop_least_used(py::handle self, py::handle cache) {
    Py_ssize_t limit = 0;
    if (!PyDict_Check(cache.ptr()) || !entry_limit(self, limit)) return;
    while (PyDict_GET_SIZE(cache.ptr()) > limit) {
        Py_ssize_t position = 0;
        PyObject* oldest = nullptr;
        PyObject* value = nullptr;
        PyDict_Next(cache.ptr(), &position, &oldest, &value);
        py::object key = py::reinterpret_borrow<py::object>(oldest);  // kept while it is deleted
        if (PyDict_DelItem(cache.ptr(), key.ptr()) < 0) throw py::error_already_set();
    }
}

py::object read_cache(py::handle self, py::handle key) {
    if (!enabled(self)) return py::none();
    py::object cache = attr(self, names::cache);
    py::object value = get(cache, key);
    if (!value.is_none()) mark_used(cache, key, value);
    return value;
}

void write_cache(py::handle self, py::handle key, py::handle value) {
    if (!enabled(self)) return;
    py::object cache = attr(self, names::cache);
    // a replaced entry counts as used now, so it goes to the end
    if (PyDict_Check(cache.ptr()) && PyDict_Contains(cache.ptr(), key.ptr()) == 1) {
        if (PyDict_DelItem(cache.ptr(), key.ptr()) < 0) throw py::error_already_set();
    }
    set_item(cache, key.ptr(), value);
    drop_least_used(self, cache);
}

}  // namespace

py::object call_read_cache(py::handle self, py::handle key) {
    return read_cache_method.call(self, [&] { return read_cache(self, key); }, key);
}

void call_write_cache(py::handle self, py::handle key, py::handle value) {
    write_cache_method.call(
        self,
        [&] {
            write_cache(self, key, value);
            return py::object(py::none());
        },
        key, value);
}

// The version check comes first: a cache it clears is not the one looked up.
CachedLoad::CachedLoad(py::handle self, py::handle key) : self_(self), key_(key) {
    check_metadata_version(self);
    cache_at_lookup_ = attr(self, names::cache);
    cached_ = call_read_cache(self, key);
}

void CachedLoad::store(py::handle value) const {
    if (!attr(self_, names::cache).is(cache_at_lookup_)) return;  // cleared or evicted meanwhile
    call_write_cache(self_, key_, value);
}

void bind_cache(ClassBuilder& dbplus) {
    dbplus.cls().attr("cache_limit") = py::int_(default_cache_limit);
    dbplus.method("clear_cache", &clear_cache);
    dbplus.method("evict_cache", &evict_cache, py::arg("model"));
    dbplus.method(read_cache_method, &read_cache, py::arg("cache_key"));
    dbplus.method(write_cache_method, &write_cache, py::arg("cache_key"), py::arg("val"));
}

}  // namespace dbplus
