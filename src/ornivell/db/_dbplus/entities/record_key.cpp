#include "entities/record_key.h"

#include "host/kept_memo.h"
#include "host/pyaccess.h"
#include "metadata/model_info.h"
#include "model_info_record.h"
#include "names.h"

namespace dbplus {

namespace {

py::object plain_id() { return py::reinterpret_borrow<py::object>(names::id); }

bool names_main_table(py::handle info, py::handle table, ReadLog& reads) {
    if (!truthy(table)) return false;
    if (equals(table, call_main_table_name(info, reads))) return true;
    py::object alias = reads.get(reads.attr(info, names::model), names::alias);
    return truthy(alias) && equals(table, alias);
}

// The key column the property `id` shows, or `id` when it shows none.
py::object column_of(py::handle info, py::handle prop, ReadLog& reads) {
    if (prop.is_none() || truthy(reads.get(prop, names::asEnabled))) return plain_id();
    py::object column = reads.get(prop, names::column);
    if (!truthy(column) || !names_main_table(info, reads.get(prop, names::table), reads)) return plain_id();
    py::object table = reads.attr(info, names::main_table);
    if (!table.is_none() && !reads.contains(reads.attr(table, names::c), column)) return plain_id();
    return column;
}

bool lacks_id_column(py::handle info, ReadLog& reads) {
    py::object table = reads.attr(info, names::main_table);
    return !table.is_none() && !reads.contains(reads.attr(table, names::c), names::id);
}

py::object derive_id_column(py::handle self, py::handle info, ReadLog& reads) {
    py::object prop = reads.get(reads.attr(info, names::props), names::id);
    if (prop.is_none() && lacks_id_column(info, reads)) {
        // hidden from this user: the model's own description still names it
        reads.give_up();
        py::object all = call_model_info(self, item(attr(info, names::model), names::model), py::none());
        if (!all.is_none()) prop = get(attr(all, names::props), names::id);
    }
    return column_of(info, prop, reads);
}

}  // namespace

py::object id_column(py::handle self, py::handle info) {
    // asked by every read and write of a record: kept with the model
    static auto* memo = new KeptMemo<py::object>(4096);  // never freed
    return memo->get(
        info, own_table_names(info), [](const py::object&) { return true; },
        [&](ReadLog& reads) { return derive_id_column(self, info, reads); })->value;
}

bool is_plain_id(py::handle column) { return equals(column, names::id); }

void answer_with_id(py::handle row, py::handle column) {
    if (is_plain_id(column) || !py::isinstance<py::dict>(row)) return;
    if (contains(row, names::id) || !contains(row, column)) return;
    set_item(row, names::id, item(row, column.ptr()));
}

}  // namespace dbplus
