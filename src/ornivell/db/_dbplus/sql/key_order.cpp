#include "sql/key_order.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>

#include "dbplus.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "model_info_record.h"
#include "names.h"

namespace dbplus {

namespace {

struct Key {
    std::string reference;  // as conditions and ordering name it
    std::string qualified;  // qualifier.column, unquoted, lower case
    std::string column;     // column, unquoted, lower case
};

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// The main table's one-column primary key, for a model without an id property.
py::object primary_key_column(py::handle info) {
    py::object main_table = attr(info, names::main_table);
    if (main_table.is_none()) return py::none();
    // a host's table object need not describe its key
    PyObject* found = PyObject_GetAttr(main_table.ptr(), names::primary_key);
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        return py::none();
    }
    py::list key(py::reinterpret_steal<py::object>(found));
    return py::len(key) == 1 ? attr(key[0], names::name) : py::none();
}

// The model's key: the column of its property "id" when that is a column
// of the main table (or of the model's SQL), else the main table's own key.
std::optional<Key> model_key(py::handle self, py::handle info) {
    py::object prop = get(attr(info, names::props), names::id);
    py::object main_name = call_main_table_name(info);
    py::object table = prop.is_none() ? main_name : attr(prop, names::table);
    py::object column = prop.is_none() ? primary_key_column(info) : attr(prop, names::column);
    if (!truthy(table) || !PyUnicode_Check(column.ptr())) return std::nullopt;
    py::object model = attr(info, names::model);
    py::object qualifier;
    if (truthy(get(model, names::sql))) {
        qualifier = item(model, names::table);
    } else {
        py::object table_object = get(attr(info, names::tables), table);
        if (table_object.is_none() || !contains(attr(table_object, names::c), column)) return std::nullopt;
        if (not_equal(table, main_name)) return std::nullopt;
        qualifier = call_table_name(info, table);
    }
    Escaper escape(self);
    return Key{escape.text(qualifier) + "." + escape.text(column), lower(text_of(qualifier) + "." + text_of(column)),
               lower(text_of(column))};
}

// The item without its direction and surrounding blanks.
std::string sort_expression(std::string item) {
    auto trim = [](std::string& text) {
        size_t start = text.find_first_not_of(" \t\r\n");
        size_t end = text.find_last_not_of(" \t\r\n");
        text = start == std::string::npos ? "" : text.substr(start, end - start + 1);
    };
    trim(item);
    std::string folded = lower(item);
    for (const char* direction : {" asc", " desc"}) {
        size_t size = std::char_traits<char>::length(direction);
        if (folded.size() > size && folded.compare(folded.size() - size, size, direction) == 0) {
            item.resize(item.size() - size);
            break;
        }
    }
    trim(item);
    return item;
}

std::string unquoted(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c != '"' && c != '`' && c != '[' && c != ']') out += c;
    }
    return lower(out);
}

bool sorts_by_key(py::handle item, const Key& key) {
    if (!PyUnicode_Check(item.ptr())) return false;
    std::string expression = sort_expression(utf8(item));
    if (expression == key.reference) return true;
    std::string plain = unquoted(expression);
    return plain == key.qualified || plain == key.column || plain == "id";
}

bool selects_key(py::handle columns, const Key& key) {
    for (py::handle column : columns) {
        if (!PyUnicode_Check(column.ptr())) continue;
        std::string text = utf8(column);
        if (text == key.reference || text.rfind(key.reference + " as ", 0) == 0) return true;
    }
    return false;
}

}  // namespace

void end_order_with_key(py::handle self, py::handle info, py::handle result) {
    if (truthy(attr(result, names::groupby))) return;
    std::optional<Key> key = model_key(self, info);
    if (!key) return;
    py::object orderby = attr(result, names::orderby);
    for (py::handle entry : orderby) {
        if (sorts_by_key(entry, *key)) return;
    }
    if (truthy(attr(result, names::distinct)) && !selects_key(attr(result, names::columns), *key)) return;
    append(orderby, to_str(key->reference));
}

}  // namespace dbplus
