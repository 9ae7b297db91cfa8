#include "sql/key_order.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <optional>
#include <string>

#include "dbplus.h"
#include "host/callable_stamp.h"
#include "host/kept_memo.h"
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
std::optional<Key> derive_key(const Escaper& escape, py::handle info, ReadLog& reads) {
    TableNamer table_name(info, reads);
    if (table_name.replaced()) reads.give_up();
    py::object prop = reads.get(reads.attr(info, names::props), names::id);
    py::object main_name = call_main_table_name(info, reads);
    py::object table = prop.is_none() ? main_name : reads.attr(prop, names::table);
    if (prop.is_none()) reads.give_up();  // the table object's key is not logged
    py::object column = prop.is_none() ? primary_key_column(info) : reads.attr(prop, names::column);
    if (!truthy(table) || !PyUnicode_Check(column.ptr())) return std::nullopt;
    py::object model = reads.attr(info, names::model);
    py::object qualifier;
    if (truthy(reads.get(model, names::sql))) {
        qualifier = reads.item(model, names::table);
    } else {
        py::object table_object = reads.get(reads.attr(info, names::tables), table);
        if (table_object.is_none() || !reads.contains(reads.attr(table_object, names::c), column)) return std::nullopt;
        if (not_equal(table, main_name)) return std::nullopt;
        qualifier = table_name(table);
    }
    return Key{escape.text(qualifier) + "." + escape.text(column), lower(text_of(qualifier) + "." + text_of(column)),
               lower(text_of(column))};
}

// A model's key and the quoting it was written with.
struct QuotedKey {
    std::optional<Key> key;
    CallableStamp escape;
};

// Needed on every search of a model: kept with the reads it was derived from.
std::shared_ptr<const Kept<QuotedKey>> model_key(py::handle self, py::handle info) {
    static auto* memo = new KeptMemo<QuotedKey>(4096);  // never freed
    Escaper escape(self);
    py::handle escape_function = escape.handle_escape();
    return memo->get(
        info, escape_function && own_table_names(info),
        [&](const QuotedKey& kept) { return kept.escape.matches(escape_function); },
        [&](ReadLog& reads) {
            QuotedKey made{derive_key(escape, info, reads), {}};
            if (!escape_function || !made.escape.make(escape_function)) reads.give_up();
            return made;
        });
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
    std::shared_ptr<const Kept<QuotedKey>> kept = model_key(self, info);
    const std::optional<Key>& key = kept->value.key;
    if (!key) return;
    py::object orderby = attr(result, names::orderby);
    for (py::handle entry : orderby) {
        if (sorts_by_key(entry, *key)) return;
    }
    if (truthy(attr(result, names::distinct)) && !selects_key(attr(result, names::columns), *key)) return;
    append(orderby, to_str(key->reference));
}

}  // namespace dbplus
