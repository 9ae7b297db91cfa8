#include "sql/filter_grammar.h"

#include <cctype>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>

#include "host/jsql_module.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "names.h"
#include "sql/filter_columns.h"

namespace dbplus {

namespace {

// Thrown where the host parser must decide.
struct LeftToHostParser {};

[[noreturn]] void leave_to_host_parser() { throw LeftToHostParser(); }

using Condition = std::optional<std::string>;  // none: an empty expression, which holds for every row

enum class Operator { compare, membership, between, like, null };

struct OperatorText {
    std::string_view name;
    Operator kind;
    std::string_view text;  // what follows the column, or the pattern around the value
};

constexpr OperatorText operator_texts[] = {
    {"_eq", Operator::compare, " = "},        {"_neq", Operator::compare, " <> "},
    {"_gt", Operator::compare, " > "},        {"_gte", Operator::compare, " >= "},
    {"_lt", Operator::compare, " < "},        {"_lte", Operator::compare, " <= "},
    {"_in", Operator::membership, " in ("},   {"_nin", Operator::membership, " not in ("},
    {"_between", Operator::between, ""},      {"_like", Operator::like, ""},
    {"_contains", Operator::like, "%{}%"},    {"_starts_with", Operator::like, "{}%"},
    {"_ends_with", Operator::like, "%{}"},    {"_null", Operator::null, ""},
};

constexpr char like_escape = '!';
constexpr std::string_view like_tail = " escape '!'";

std::string_view text_view(py::handle text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) throw py::error_already_set();
    return {data, static_cast<size_t>(size)};
}

const OperatorText* operator_named(py::handle op) {
    if (!PyUnicode_CheckExact(op.ptr())) leave_to_host_parser();
    std::string_view name = text_view(op);
    for (const OperatorText& known : operator_texts) {
        if (known.name == name) return &known;
    }
    leave_to_host_parser();  // unknown operator
}

bool is_text(py::handle key, PyObject* name) {
    return PyUnicode_CheckExact(key.ptr()) && PyUnicode_Compare(key.ptr(), name) == 0;
}

bool list_or_tuple(py::handle value) { return PyList_Check(value.ptr()) || PyTuple_Check(value.ptr()); }

// The elements of a list or tuple of the built-in classes; others go to the host parser.
py::object plain_sequence(py::handle value) {
    if (!PyList_CheckExact(value.ptr()) && !PyTuple_CheckExact(value.ptr())) leave_to_host_parser();
    return py::reinterpret_borrow<py::object>(value);
}

Condition all_of(const std::vector<std::string>& conditions, const char* word) {
    if (conditions.empty()) return std::nullopt;
    if (conditions.size() == 1) return conditions[0];
    std::string text = "(";
    for (size_t i = 0; i < conditions.size(); ++i) {
        if (i) text += word;
        text += conditions[i];
    }
    return text + ")";
}

std::string escaped_like(std::string_view text) {
    std::string escaped;
    for (char c : text) {
        if (c == like_escape || c == '%' || c == '_') escaped += like_escape;
        escaped += c;
    }
    return escaped;
}

bool ends_in_escape(std::string_view pattern) {
    size_t trailing = 0;
    while (trailing < pattern.size() && pattern[pattern.size() - 1 - trailing] == like_escape) ++trailing;
    return trailing % 2 == 1;
}

// One parser's state: its columns, parameter numbers and budget.
class FilterGrammar {
public:
    FilterGrammar(py::handle info, py::handle db, std::string prefix)
        : columns_(info, db), prefix_(std::move(prefix)), limits_(jsql::limits()) {}

    // parse_cond: the condition, or None
    py::object condition(py::handle filter) {
        py::object structure = decoded(filter);
        if (structure.is_none()) return py::none();
        Condition found = expression(structure, 1);
        return found ? py::object(to_str(*found)) : py::object(py::none());
    }

    py::list order(py::handle order) {
        py::object ordering = decoded(order);
        py::list items;
        if (ordering.is_none()) return items;
        if (!list_or_tuple(ordering)) {
            items.append(to_str(order_item(ordering)));
            return items;
        }
        py::object sequence = plain_sequence(ordering);
        if (py::len(sequence) > static_cast<size_t>(limits_.max_branches)) leave_to_host_parser();
        for (py::handle item : sequence) items.append(to_str(order_item(item)));
        return items;
    }

    py::dict& values() { return values_; }

private:
    // A structure sent as JSON text, decoded; anything else as it is.
    py::object decoded(py::handle structure) const {
        if (!PyUnicode_Check(structure.ptr())) return py::reinterpret_borrow<py::object>(structure);
        if (PyUnicode_GET_LENGTH(structure.ptr()) > limits_.max_json_text) leave_to_host_parser();
        return jsql::decode_json(structure);  // a text that is no JSON raises: the host parser reports it
    }

    Condition expression(py::handle node, Py_ssize_t depth) {
        if (depth > limits_.max_depth || !PyDict_CheckExact(node.ptr())) leave_to_host_parser();
        std::vector<std::string> conditions;
        PyObject *key, *value;
        Py_ssize_t position = 0;
        while (PyDict_Next(node.ptr(), &position, &key, &value)) {
            Condition found;
            if (is_text(key, names::and_) || is_text(key, names::or_)) {
                count_condition();
                found = junction(is_text(key, names::and_), value, depth + 1);
            } else if (is_text(key, names::not_)) {
                count_condition();
                Condition negated = expression(value, depth + 1);
                found = negated ? "not (" + *negated + ")" : jsql::false_condition();
            } else {
                found = property(key, value);
            }
            if (found) conditions.push_back(std::move(*found));
        }
        return all_of(conditions, " and ");
    }

    Condition junction(bool all, py::handle branches, Py_ssize_t depth) {
        py::object sequence = plain_sequence(branches);
        if (py::len(sequence) > static_cast<size_t>(limits_.max_branches)) leave_to_host_parser();
        std::vector<std::string> conditions;
        for (py::handle branch : sequence) {
            Condition found = expression(branch, depth);
            // an _or with a branch that always holds drops the values of the others: the host parser binds those
            if (!found && !all) leave_to_host_parser();
            if (found) conditions.push_back(std::move(*found));
        }
        if (all) return all_of(conditions, " and ");
        if (conditions.empty()) return jsql::false_condition();
        return all_of(conditions, " or ");
    }

    Condition property(py::handle name, py::handle value) {
        FilterColumn column = column_named(name);
        std::string reference = utf8(column.reference);
        if (!PyDict_Check(value.ptr())) {
            if (list_or_tuple(value)) leave_to_host_parser();  // a list needs an operator
            count_condition();
            return compare(reference, column, operator_texts[0], value);
        }
        if (!PyDict_CheckExact(value.ptr())) leave_to_host_parser();
        std::vector<std::string> conditions;
        PyObject *op, *operand;
        Py_ssize_t position = 0;
        while (PyDict_Next(value.ptr(), &position, &op, &operand)) {
            const OperatorText& known = *operator_named(op);
            count_condition();
            conditions.push_back(operation(reference, column, known, operand));
        }
        return all_of(conditions, " and ");
    }

    std::string operation(const std::string& reference, const FilterColumn& column, const OperatorText& op,
                          py::handle operand) {
        switch (op.kind) {
            case Operator::compare: return compare(reference, column, op, operand);
            case Operator::membership: return membership(reference, column, op, operand);
            case Operator::between: return between(reference, column, operand);
            case Operator::like: return like(reference, column, op, operand);
            case Operator::null: return null_test(reference, operand);
        }
        leave_to_host_parser();
    }

    std::string compare(const std::string& reference, const FilterColumn& column, const OperatorText& op,
                        py::handle value) {
        if (value.is_none() && (op.name == "_eq" || op.name == "_neq")) {
            return reference + (op.name == "_eq" ? " is null" : " is not null");
        }
        return reference + std::string(op.text) + placeholder(bound_value(value, column));
    }

    std::string membership(const std::string& reference, const FilterColumn& column, const OperatorText& op,
                           py::handle value) {
        std::vector<py::object> values = bound_values(value, column);
        if (values.empty()) leave_to_host_parser();
        std::string text = reference + std::string(op.text);
        for (size_t i = 0; i < values.size(); ++i) {
            if (i) text += ", ";
            text += placeholder(values[i]);
        }
        return text + ")";
    }

    std::string between(const std::string& reference, const FilterColumn& column, py::handle value) {
        std::vector<py::object> values = bound_values(value, column);
        if (values.size() != 2) leave_to_host_parser();
        std::string low = placeholder(values[0]);
        return reference + " between " + low + " and " + placeholder(values[1]);
    }

    std::string like(const std::string& reference, const FilterColumn& column, const OperatorText& op,
                     py::handle value) {
        if (!PyUnicode_CheckExact(value.ptr())) leave_to_host_parser();
        check_text(value);
        // patterns apply to text columns only
        if (!truthy(attr(column.rule, names::patterns))) leave_to_host_parser();
        py::object pattern;
        if (op.text.empty()) {
            if (ends_in_escape(text_view(value))) leave_to_host_parser();
            pattern = py::reinterpret_borrow<py::object>(value);
        } else {
            std::string_view around = op.text;
            size_t slot = around.find("{}");
            std::string text(around.substr(0, slot));
            text += escaped_like(text_view(value));
            text += around.substr(slot + 2);
            pattern = to_str(text);
        }
        return reference + " like " + placeholder(pattern) + std::string(like_tail);
    }

    std::string null_test(const std::string& reference, py::handle value) {
        if (!PyBool_Check(value.ptr())) leave_to_host_parser();
        return reference + (value.ptr() == Py_True ? " is null" : " is not null");
    }

    std::string order_item(py::handle item) {
        py::object name, direction;
        if (PyUnicode_CheckExact(item.ptr())) {
            name = py::reinterpret_borrow<py::object>(item);
            direction = py::reinterpret_borrow<py::object>(names::asc);
        } else if (PyDict_CheckExact(item.ptr()) && PyDict_GET_SIZE(item.ptr()) == 1) {
            PyObject *key, *value;
            Py_ssize_t position = 0;
            PyDict_Next(item.ptr(), &position, &key, &value);
            name = py::reinterpret_borrow<py::object>(key);
            direction = py::reinterpret_borrow<py::object>(value);
        } else {
            leave_to_host_parser();
        }
        std::string lowered = ascii_lower(direction);
        if (lowered != "asc" && lowered != "desc") leave_to_host_parser();
        return utf8(column_named(name).reference) + " " + lowered;
    }

    static std::string ascii_lower(py::handle direction) {
        if (!PyUnicode_CheckExact(direction.ptr()) || !PyUnicode_IS_ASCII(direction.ptr())) leave_to_host_parser();
        std::string text(text_view(direction));
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    }

    FilterColumn column_named(py::handle name) {
        FilterColumn column;
        if (!columns_.find(name, column)) leave_to_host_parser();  // unknown, or not a column
        return column;
    }

    void count_condition() {
        if (++conditions_ > limits_.max_conditions) leave_to_host_parser();
    }

    void check_text(py::handle text) const {
        Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
        if (length > limits_.max_text_length) leave_to_host_parser();
        Py_ssize_t nul = PyUnicode_FindChar(text.ptr(), 0, 0, length, 1);
        if (nul == -2) throw py::error_already_set();
        if (nul >= 0) leave_to_host_parser();
    }

    // A text, number or boolean as the column takes it.
    py::object bound_value(py::handle value, const FilterColumn& column) {
        if (PyUnicode_Check(value.ptr())) {
            check_text(value);
        } else if (PyLong_Check(value.ptr())) {
            if (!within(value)) leave_to_host_parser();
        } else if (!PyFloat_Check(value.ptr()) || !std::isfinite(PyFloat_AS_DOUBLE(value.ptr()))) {
            leave_to_host_parser();
        }
        py::object convert = attr(column.rule, names::convert);
        if (jsql::takes_values_as_given(convert)) return py::reinterpret_borrow<py::object>(value);
        return steal_or_throw(PyObject_CallOneArg(convert.ptr(), value.ptr()));
    }

    std::vector<py::object> bound_values(py::handle value, const FilterColumn& column) {
        if (!list_or_tuple(value)) leave_to_host_parser();
        py::object sequence = plain_sequence(value);
        if (py::len(sequence) > static_cast<size_t>(limits_.max_values)) leave_to_host_parser();
        std::vector<py::object> values;
        for (py::handle item : sequence) values.push_back(bound_value(item, column));
        return values;
    }

    static bool within(py::handle number) {
        int low = PyObject_RichCompareBool(number.ptr(), jsql::int_min().ptr(), Py_GE);
        int high = PyObject_RichCompareBool(number.ptr(), jsql::int_max().ptr(), Py_LE);
        if (low < 0 || high < 0) throw py::error_already_set();
        return low && high;
    }

    // ":<name>" for a value, under the next number the parser's own names leave free
    std::string placeholder(py::handle value) {
        if (++values_count_ > limits_.max_values) leave_to_host_parser();
        if (PyUnicode_Check(value.ptr())) {
            text_length_ += PyUnicode_GET_LENGTH(value.ptr());
            if (text_length_ > limits_.max_text) leave_to_host_parser();
        }
        std::string name;
        do {
            name = prefix_ + std::to_string(++number_);
        } while (contains(values_, to_str(name)));
        values_[to_str(name)] = value;
        return ":" + name;
    }

    FilterColumns columns_;
    std::string prefix_;
    const JsqlLimits& limits_;
    long long number_ = 0;
    Py_ssize_t conditions_ = 0, values_count_ = 0, text_length_ = 0;
    py::dict values_;
};

// Runs `parse` on a new grammar. False, with nothing changed, when the host parser must decide.
template <typename Parse>
bool parsed_in_cpp(py::handle info, py::handle db, Parse&& parse) {
    if (!jsql::own_parser_in_use()) return false;
    std::string prefix = jsql::next_prefix();
    if (prefix.empty()) return false;
    try {
        FilterGrammar grammar(info, db, prefix);
        parse(grammar);
    } catch (LeftToHostParser&) {
        return false;
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return false;  // the host parser meets the same error, and reports it its own way
    }
    jsql::advance_generation();  // as making the parser does
    return true;
}

}  // namespace

bool parse_filters_in_cpp(py::handle info, py::handle db, const std::vector<py::object>& filters,
                          std::vector<py::object>& conds, py::dict& params) {
    std::vector<py::object> found;
    py::dict values;
    bool done = parsed_in_cpp(info, db, [&](FilterGrammar& grammar) {
        for (const py::object& filter : filters) found.push_back(grammar.condition(filter));
        values = grammar.values();
    });
    if (!done) return false;
    conds = std::move(found);
    update(params, values);
    return true;
}

bool parse_order_in_cpp(py::handle info, py::handle db, py::handle order, py::object& items) {
    py::list found;
    bool done = parsed_in_cpp(info, db, [&](FilterGrammar& grammar) { found = grammar.order(order); });
    if (done) items = std::move(found);
    return done;
}

}  // namespace dbplus
