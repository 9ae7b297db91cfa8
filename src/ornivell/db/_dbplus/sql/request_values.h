// The request values that the module binds itself, the keyword and a
// record's id, checked before any statement runs: a value that some
// database could not take is refused with the runtime's ValueError, the
// same on every database, instead of failing in one of the drivers.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace dbplus {

namespace py = pybind11;

// The longest text a request may bind, in characters. SQLite refuses LIKE
// patterns over 50,000 bytes; this keeps every pattern made of one text
// (escaped, four bytes a character at worst) below that.
constexpr Py_ssize_t max_text_length = 10000;

// What the filters of one request (where and joinCond together) may bind:
// compiling and sending a statement costs time in proportion.
constexpr Py_ssize_t max_filter_values = 500;
constexpr Py_ssize_t max_filter_text = 50000;  // characters of the text values

// ValueError "<what>: <problem>".
[[noreturn]] void refuse_value(const std::string& what, const std::string& problem);
// Refuses a text longer than max_text_length or holding NUL.
void check_text(const std::string& what, py::handle text);

// The keyword as the text a search binds: a text, or a number as its JSON
// text, so that every database compares texts.
py::str keyword_text(py::handle key);
// Refuses an id no database could bind as given: a text holding NUL or
// longer than max_text_length, an integer beyond 64 bits, a number that is
// not finite. Other ids are bound as they are.
void check_record_id(py::handle id);
// Refuses filters whose parameters, together, hold more values or text than allowed.
void check_filter_values(py::handle join_params, py::handle where_params);

}  // namespace dbplus
