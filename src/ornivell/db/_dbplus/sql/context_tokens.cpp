#include "sql/context_tokens.h"

#include <Python.h>

namespace dbplus {

namespace {

// Decodes the code point at `pos` of valid UTF-8 and its length in bytes.
Py_UCS4 code_point(std::string_view text, size_t pos, size_t& length) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[pos + i]); };
    unsigned char lead = byte(0);
    if (lead < 0x80) {
        length = 1;
        return lead;
    }
    if (lead < 0xE0) {
        length = 2;
        return ((lead & 0x1Fu) << 6) | (byte(1) & 0x3Fu);
    }
    if (lead < 0xF0) {
        length = 3;
        return ((lead & 0x0Fu) << 12) | ((byte(1) & 0x3Fu) << 6) | (byte(2) & 0x3Fu);
    }
    length = 4;
    return ((lead & 0x07u) << 18) | ((byte(1) & 0x3Fu) << 12) | ((byte(2) & 0x3Fu) << 6) | (byte(3) & 0x3Fu);
}

bool is_word(Py_UCS4 ch) { return ch == '_' || Py_UNICODE_ISALNUM(ch); }

struct WordRun {
    size_t end;    // byte offset after the run
    size_t count;  // characters in the run
};

WordRun word_run(std::string_view text, size_t pos) {
    WordRun run{pos, 0};
    while (run.end < text.size()) {
        size_t length = 0;
        if (!is_word(code_point(text, run.end, length))) break;
        run.end += length;
        ++run.count;
    }
    return run;
}

// End of the token whose dollar sign is at `dollar`, or 0 when none starts there.
size_t token_end(std::string_view text, size_t dollar) {
    WordRun name = word_run(text, dollar + 1);
    if (name.count == 0) return 0;
    if (name.end < text.size() && text[name.end] == '.') {
        WordRun attribute = word_run(text, name.end + 1);
        if (attribute.count > 0) return attribute.end;
    }
    // without an attribute the pattern still needs two word characters
    return name.count >= 2 ? name.end : 0;
}

}  // namespace

std::vector<TokenMatch> find_context_tokens(std::string_view text) {
    std::vector<TokenMatch> tokens;
    size_t pos = text.find('$');
    while (pos != std::string_view::npos) {
        size_t end = token_end(text, pos);
        if (end) {
            tokens.push_back({pos, end});
            pos = text.find('$', end);
        } else {
            pos = text.find('$', pos + 1);
        }
    }
    return tokens;
}

}  // namespace dbplus
