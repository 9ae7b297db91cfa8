#include "entities/record_key.h"

#include "host/pyaccess.h"
#include "metadata/model_info.h"
#include "model_info_record.h"
#include "names.h"

namespace dbplus {

namespace {

py::object plain_id() { return py::reinterpret_borrow<py::object>(names::id); }

bool names_main_table(py::handle info, py::handle table) {
    if (!truthy(table)) return false;
    if (equals(table, call_main_table_name(info))) return true;
    py::object alias = get(attr(info, names::model), names::alias);
    return truthy(alias) && equals(table, alias);
}

// The key column the property `id` shows, or `id` when it shows none.
py::object column_of(py::handle info, py::handle prop) {
    if (prop.is_none() || truthy(get(prop, names::asEnabled))) return plain_id();
    py::object column = get(prop, names::column);
    if (!truthy(column) || !names_main_table(info, get(prop, names::table))) return plain_id();
    py::object table = attr(info, names::main_table);
    if (!table.is_none() && !contains(attr(table, names::c), column)) return plain_id();
    return column;
}

bool lacks_id_column(py::handle info) {
    py::object table = attr(info, names::main_table);
    return !table.is_none() && !contains(attr(table, names::c), names::id);
}

}  // namespace

py::object id_column(py::handle self, py::handle info) {
    py::object prop = get(attr(info, names::props), names::id);
    if (prop.is_none() && lacks_id_column(info)) {
        // hidden from this user: the model's own description still names it
        py::object all = call_model_info(self, item(attr(info, names::model), names::model), py::none());
        if (!all.is_none()) prop = get(attr(all, names::props), names::id);
    }
    return column_of(info, prop);
}

bool is_plain_id(py::handle column) { return equals(column, names::id); }

void answer_with_id(py::handle row, py::handle column) {
    if (is_plain_id(column) || !py::isinstance<py::dict>(row)) return;
    if (contains(row, names::id) || !contains(row, column)) return;
    set_item(row, names::id, item(row, column.ptr()));
}

}  // namespace dbplus
