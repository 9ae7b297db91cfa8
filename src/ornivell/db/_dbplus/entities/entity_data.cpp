#include "entities/entity_data.h"

#include "host/module_globals.h"
#include "host/pyaccess.h"
#include "names.h"

namespace dbplus {

py::object entity_list(py::handle data) {
    if (PyList_Check(data.ptr()) || PyTuple_Check(data.ptr())) return py::reinterpret_borrow<py::object>(data);
    py::list wrapped;
    wrapped.append(data);
    return std::move(wrapped);
}

void copy_to_column(py::handle prop, py::handle data) {
    py::object name = attr(prop, names::name);
    py::object column = attr(prop, names::column);
    if (!name.not_equal(column)) return;
    if (truthy(get(data, column))) return;
    py::object value = get(data, name);
    if (!value.is_none()) set_item(data, column.ptr(), value);
}

py::object local_now() { return call_method(module_global(names::datetime), names::now); }

}  // namespace dbplus
