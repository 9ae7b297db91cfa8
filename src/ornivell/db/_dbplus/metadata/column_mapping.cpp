#include "metadata/column_mapping.h"

#include <string>
#include <string_view>

#include "dbplus.h"
#include "host/module_globals.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "names.h"

namespace dbplus {

namespace {

OwnMethod table_column_method("table_column");
OwnMethod guess_column_type_method("guess_column_type");

py::object table_column(py::handle self, py::handle reference) {
    py::object parts = split(reference, names::dot);
    py::tuple nothing = py::make_tuple(py::none(), py::none());
    if (py::len(parts) != 2) return nothing;
    py::object table = parts[py::int_(0)];
    py::object column = parts[py::int_(1)];
    py::object t = get(attr(handle_of(self), names::tables), table);
    if (t.is_none()) return nothing;
    return py::make_tuple(t, column);
}

bool is_class(py::handle type, PyObject* global_name) { return type.is(module_global(global_name)); }

bool names_a_flag(py::handle column) {
    py::object name = attr(column, names::name);
    return truthy(name.attr("startswith")("is")) || truthy(name.attr("endswith")("Enabled"));
}

const char* guess_column_type(py::handle column) {
    if (column.is_none()) return "string";
    py::object type = attr(column, names::type);
    std::string type_name = text_of(call_method(py::str(type), names::lower));
    if (is_class(type, names::String)) return "string";
    if (is_class(type, names::Integer) || std::string_view(type_name).substr(0, 7) == "tinyint") {
        return names_a_flag(column) ? "bool" : "integer";
    }
    if (is_class(type, names::DateTime)) return "datetime";
    if (is_class(type, names::Time)) return "time";
    if (is_class(type, names::Boolean)) return "bool";
    return "string";
}

}  // namespace

py::object call_table_column(py::handle self, py::handle reference) {
    return table_column_method.call(self, [&] { return table_column(self, reference); }, reference);
}

py::object call_guess_column_type(py::handle self, py::handle column) {
    return guess_column_type_method.call(self, [&] { return py::object(py::str(guess_column_type(column))); },
                                         column);
}

void bind_column_mapping(ClassBuilder& dbplus) {
    dbplus.method(table_column_method, &table_column, py::arg("table_column"));
    dbplus.static_method(guess_column_type_method,
                         [](py::handle column) { return py::str(guess_column_type(column)); }, py::arg("c"));
}

}  // namespace dbplus
