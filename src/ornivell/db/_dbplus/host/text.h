// Text conversions between Python strings and the std::string buffers that
// SQL is built in.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

namespace dbplus {

namespace py = pybind11;

// The UTF-8 bytes of a str; TypeError for anything else. Lone surrogates,
// which Python text may hold, are carried through.
std::string utf8(py::handle text);
void append_utf8(std::string& out, py::handle text);
// Appends str(obj), as an f-string would format it.
void append_text(std::string& out, py::handle obj);
// str(obj) as UTF-8.
std::string text_of(py::handle obj);
// Whether text.strip() leaves nothing; a str of a class of its own is asked.
bool blank_text(py::handle text);
// repr(obj) as UTF-8, for messages that must show what a value is.
std::string repr_of(py::handle obj);
py::str to_str(std::string_view text);
// A string made once and kept for the life of the process (statement texts).
py::handle permanent_str(const char* text);
// The permanent string of a string literal, made on its first use: the
// literal's address stands for its text.
py::handle literal_str(const char* literal);
// separator.join(items), with the runtime's TypeError for a non-text item.
py::str join(std::string_view separator, py::handle items);
// Appends separator.join(items) to `out`.
void append_joined(std::string& out, std::string_view separator, py::handle items);

}  // namespace dbplus
