#include "writes/visible_columns.h"

#include <string>
#include <vector>

#include "host/pyaccess.h"
#include "host/text.h"
#include "names.h"
#include "result_pair.h"

namespace dbplus {

namespace {

std::string text_or_empty(py::handle value) { return truthy(value) ? text_of(value) : std::string(); }

// The names a property's table entry may give the main table: its own and the model's alias.
std::unordered_set<std::string> main_table_names(py::handle info, py::handle table) {
    std::unordered_set<std::string> result{text_of(attr(table, names::name))};
    std::string alias = text_or_empty(get(attr(info, names::model), names::alias));
    if (!alias.empty()) result.insert(alias);
    return result;
}

}  // namespace

VisibleColumns::VisibleColumns(py::handle info) : table_(attr(info, names::main_table)) {
    if (table_.is_none()) return;  // a model defined by SQL: no column of it can be written
    std::unordered_set<std::string> main_names = main_table_names(info, table_);
    py::object props = attr(info, names::props);
    for (py::handle key : props) {
        py::object prop = props[key];
        if (main_names.count(text_or_empty(get(prop, names::table)))) {
            shown_.insert(text_of(key));
            shown_.insert(text_or_empty(get(prop, names::column)));
        } else {
            elsewhere_.insert(text_of(key));
        }
    }
    for (py::handle column : attr(table_, names::primary_key)) key_columns_.insert(text_of(attr(column, names::name)));
}

py::list VisibleColumns::refused_keys(py::handle data, bool keys_allowed) const {
    py::list refused;
    py::object columns = table_.is_none() ? py::object() : attr(table_, names::c);
    for (py::handle key : data) {
        if (!py::isinstance<py::str>(key)) continue;
        std::string name = utf8(key);
        if (shown(name) || (keys_allowed && key_columns_.count(name))) continue;
        if (elsewhere_.count(name) || (columns && contains(columns, key))) refused.append(key);
    }
    return refused;
}

py::list VisibleColumns::refused_keys_in(py::handle entities, bool keys_allowed) const {
    py::list refused;
    for (py::handle entity : entities) {
        for (py::handle key : refused_keys(entity, keys_allowed)) {
            if (!contains(refused, key)) refused.append(key);
        }
    }
    return refused;
}

void VisibleColumns::trim_answer(py::handle row) const {
    if (!py::isinstance<py::dict>(row)) return;
    std::vector<py::object> hidden;
    for (py::handle key : row) {
        if (!py::isinstance<py::str>(key) || !shown(utf8(key))) hidden.push_back(py::reinterpret_borrow<py::object>(key));
    }
    for (const py::object& key : hidden) {
        if (PyObject_DelItem(row.ptr(), key.ptr()) < 0) throw py::error_already_set();
    }
}

py::object refuse_keys(py::handle info, const py::list& keys) {
    if (py::len(keys) == 0) return py::object();
    std::string model_name = text_of(item(attr(info, names::model), names::displayName));
    return result_pair(message_payload("无权限写入: " + model_name + "(" + utf8(join(", ", keys)) + ")"), 403);
}

}  // namespace dbplus
