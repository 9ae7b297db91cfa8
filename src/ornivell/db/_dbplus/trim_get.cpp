#include "trim_get.h"

#include "host/pyaccess.h"
#include "names.h"

namespace dbplus {

py::object trim_get(py::handle mapping, py::handle key) {
    py::object value = get(mapping, key);
    if (!truthy(value)) return py::none();
    PyObject* stripped = PyObject_CallMethodNoArgs(value.ptr(), names::strip);
    if (!stripped) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(stripped);
}

void bind_trim_get(py::module_& module) {
    module.def("trim_get", &trim_get, py::arg("d"), py::arg("key"));
}

}  // namespace dbplus
