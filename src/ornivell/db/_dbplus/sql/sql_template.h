// A metadata SQL text split at its context-variable tokens, found once per
// text: the same rule, join and model texts come back on every statement.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "sql/context_tokens.h"

namespace dbplus {

namespace py = pybind11;

struct ContextToken {
    py::object key;        // the context key: "user" of $user.orgId
    py::object attribute;  // "orgId" of $user.orgId; empty when the token has none
    std::string parameter;  // "user_orgId"
    py::object parameter_name;  // the same, as a str
};

class SqlTemplate {
public:
    explicit SqlTemplate(py::handle sql);

    // The template of `sql`, a str, made once and kept.
    static const SqlTemplate& of(py::handle sql);

    // Distinct tokens, in the order they first appear.
    const std::vector<ContextToken>& tokens() const { return tokens_; }
    // The text with the tokens whose entry in `bound` is true replaced by
    // their placeholders, the others left as they stand.
    py::object text(const std::vector<bool>& bound) const;
    // The text with every token replaced.
    const py::object& all_bound() const { return all_bound_; }

private:
    py::object original_;
    std::string utf8_;
    std::vector<TokenMatch> matches_;
    std::vector<size_t> token_of_match_;  // index into tokens_
    std::vector<ContextToken> tokens_;
    py::object all_bound_;  // the text with every token replaced
};

}  // namespace dbplus
