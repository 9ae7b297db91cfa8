#include "metadata/version.h"

#include <chrono>

#include "dbplus.h"
#include "host/call.h"
#include "host/pyaccess.h"
#include "names.h"

namespace dbplus {

namespace {

double monotonic_seconds() {
    using clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

// handle.<name>, or None when the handle does not offer it
py::object handle_method(py::handle self, PyObject* name) {
    py::object db = handle_of(self);
    PyObject* found = PyObject_GetAttr(db.ptr(), name);
    if (found) return py::reinterpret_steal<py::object>(found);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::none();
}

double seconds_of(py::handle number) {
    double value = PyFloat_AsDouble(number.ptr());
    if (value == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return value;
}

// Reads the version now and clears the cache when it differs from the one seen last.
void read_version(py::handle self) {
    py::object reader = handle_method(self, names::metadata_version);
    if (reader.is_none()) return;
    py::object version = reader();
    if (equals(version, attr(self, names::seen_metadata_version))) return;
    call_method(self, names::clear_cache);
    set_attr(self, names::seen_metadata_version, version);
}

// touch_metadata(session=None): what a host that changed metadata tables with
// its own SQL calls; this instance forgets its cache at once, others at their next check.
void touch_metadata(py::handle self, py::handle session) {
    move_metadata_version(self, session);
    call_method(self, names::clear_cache);
}

}  // namespace

void check_metadata_version(py::handle self) {
    py::object interval = attr(self, names::metadata_check_interval);
    if (interval.is_none()) return;
    double now = monotonic_seconds();
    py::object due = attr(self, names::metadata_check_due);
    if (!due.is_none() && now < seconds_of(due)) return;
    // set first: a read that fails is not retried before the next interval
    set_attr(self, names::metadata_check_due, py::float_(now + seconds_of(interval)));
    read_version(self);
}

void move_metadata_version(py::handle self, py::handle session) {
    py::object mover = handle_method(self, names::move_metadata_version);
    if (mover.is_none()) return;
    Call(mover).keyword(names::session, session).run();
}

void bind_metadata_version(ClassBuilder& dbplus) {
    dbplus.cls().attr("metadata_check_interval") = py::float_(default_metadata_check_interval);
    dbplus.cls().attr("_metadata_check_due") = py::none();
    dbplus.cls().attr("_metadata_version") = py::none();
    dbplus.method("touch_metadata", &touch_metadata, py::arg("session") = py::none());
}

}  // namespace dbplus
