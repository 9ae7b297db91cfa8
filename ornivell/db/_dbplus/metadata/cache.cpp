#include "metadata/cache.h"

#include "host/module_globals.h"
#include "host/pyaccess.h"
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

py::object read_cache(py::handle self, py::handle key) {
    if (!enabled(self)) return py::none();
    return get(attr(self, names::cache), key);
}

void write_cache(py::handle self, py::handle key, py::handle value) {
    if (!enabled(self)) return;
    set_item(attr(self, names::cache), key.ptr(), value);
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

void bind_cache(ClassBuilder& dbplus) {
    dbplus.method("clear_cache", &clear_cache);
    dbplus.method("evict_cache", &evict_cache, py::arg("model"));
    dbplus.method(read_cache_method, &read_cache, py::arg("cache_key"));
    dbplus.method(write_cache_method, &write_cache, py::arg("cache_key"), py::arg("val"));
}

}  // namespace dbplus
