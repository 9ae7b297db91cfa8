// Context-variable tokens in metadata SQL: a dollar sign, word characters,
// at most one dot, word characters ("$user", "$user.orgId"). Word characters
// are those of Python's `\w` on text.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace dbplus {

struct TokenMatch {
    size_t start;  // byte offsets into the UTF-8 text
    size_t end;
};

// Every token of `text`, left to right, not overlapping.
std::vector<TokenMatch> find_context_tokens(std::string_view text);

}  // namespace dbplus
