#include "sql/sql_template.h"

#include <memory>
#include <string_view>
#include <unordered_map>

#include "host/text.h"

namespace dbplus {

namespace {

// The texts seen, up to a bound: a host with more distinct texts than that makes them again.
constexpr Py_ssize_t kept_templates = 4096;

PyObject* templates = nullptr;  // str -> capsule of SqlTemplate; made once, never freed

void free_template(PyObject* capsule) { delete static_cast<SqlTemplate*>(PyCapsule_GetPointer(capsule, nullptr)); }

}  // namespace

SqlTemplate::SqlTemplate(py::handle sql)
    : original_(py::reinterpret_borrow<py::object>(sql)),
      utf8_(dbplus::utf8(sql)),
      matches_(find_context_tokens(utf8_)) {
    std::unordered_map<std::string_view, size_t> seen;
    std::string_view whole = utf8_;
    for (const TokenMatch& match : matches_) {
        std::string_view token = whole.substr(match.start + 1, match.end - match.start - 1);
        auto [found, added] = seen.emplace(token, tokens_.size());
        token_of_match_.push_back(found->second);
        if (!added) continue;
        size_t dot = token.find('.');
        ContextToken made{to_str(token.substr(0, dot)), {}, std::string(token.substr(0, dot)), {}};
        if (dot != std::string_view::npos) {
            made.attribute = to_str(token.substr(dot + 1));
            made.parameter += "_";
            made.parameter += token.substr(dot + 1);
        }
        made.parameter_name = to_str(made.parameter);
        tokens_.push_back(std::move(made));
    }
    all_bound_ = matches_.empty() ? original_ : text(std::vector<bool>(tokens_.size(), true));
}

const SqlTemplate& SqlTemplate::of(py::handle sql) {
    if (!templates) templates = PyDict_New();
    if (!templates) throw py::error_already_set();
    PyObject* kept = PyDict_GetItemWithError(templates, sql.ptr());
    if (kept) return *static_cast<SqlTemplate*>(PyCapsule_GetPointer(kept, nullptr));
    if (PyErr_Occurred()) throw py::error_already_set();
    auto made = std::make_unique<SqlTemplate>(sql);
    py::object capsule = py::reinterpret_steal<py::object>(PyCapsule_New(made.get(), nullptr, &free_template));
    if (!capsule) throw py::error_already_set();
    SqlTemplate* result = made.release();
    if (PyDict_GET_SIZE(templates) >= kept_templates) PyDict_Clear(templates);
    if (PyDict_SetItem(templates, sql.ptr(), capsule.ptr()) < 0) throw py::error_already_set();
    return *result;
}

py::object SqlTemplate::text(const std::vector<bool>& bound) const {
    if (matches_.empty()) return original_;
    std::string text;
    size_t copied = 0;
    for (size_t i = 0; i < matches_.size(); ++i) {
        const TokenMatch& match = matches_[i];
        text.append(utf8_, copied, match.start - copied);
        size_t token = token_of_match_[i];
        if (bound[token]) {
            text += ":";
            text += tokens_[token].parameter;
        } else {
            text.append(utf8_, match.start, match.end - match.start);
        }
        copied = match.end;
    }
    text.append(utf8_, copied, std::string::npos);
    return to_str(text);
}

}  // namespace dbplus
