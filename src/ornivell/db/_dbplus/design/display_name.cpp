#include "design/display_name.h"

#include "host/module_globals.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "names.h"

namespace dbplus {

namespace {

OwnMethod beautify_display_name_method("beautify_display_name");

// part[0].upper() + part[1:]: only the first character changes
py::object first_upper(py::handle part) {
    py::object first = call_method(steal_or_throw(PySequence_GetItem(part.ptr(), 0)), names::upper);
    py::object rest = steal_or_throw(PySequence_GetSlice(part.ptr(), 1, PY_SSIZE_T_MAX));
    return steal_or_throw(PyNumber_Add(first.ptr(), rest.ptr()));
}

py::object beautify_display_name(py::handle name) {
    py::list parts;
    for (py::handle part : split(name, names::underscore)) {
        parts.append(truthy(part) ? first_upper(part) : py::reinterpret_borrow<py::object>(part));
    }
    return join("", parts);
}

}  // namespace

py::object call_beautify_display_name(py::handle name) {
    py::object dbplus_class = module_global(names::DbPlus);
    return beautify_display_name_method.call(dbplus_class, [&] { return beautify_display_name(name); }, name);
}

void bind_display_name(ClassBuilder& dbplus) {
    dbplus.static_method(beautify_display_name_method, &beautify_display_name, py::arg("name"));
}

}  // namespace dbplus
