#include "sql/join_alias.h"

#include <cctype>
#include <vector>

namespace dbplus {

namespace {

struct SqlToken {
    enum Kind { word, quoted, symbol } kind;
    std::string text;  // a quoted identifier without its quotes
};

bool is_word_byte(char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte >= 0x80 || std::isalnum(byte) || c == '_' || c == '$';
}

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// Position after a literal or quoted identifier opened at `pos`, whose quote
// character doubles inside it; `content` gets the text between the quotes.
size_t skip_quoted(std::string_view sql, size_t pos, char close, std::string* content) {
    for (size_t i = pos + 1; i < sql.size(); ++i) {
        if (sql[i] == '\\' && close == '\'') {
            ++i;  // MySQL's backslash escape inside a literal
        } else if (sql[i] == close) {
            if (i + 1 < sql.size() && sql[i + 1] == close && close != ']') {
                if (content) content->push_back(close);
                ++i;
            } else {
                return i + 1;
            }
        } else if (content) {
            content->push_back(sql[i]);
        }
    }
    return sql.size();
}

size_t skip_comment(std::string_view sql, size_t pos) {
    if (sql[pos + 1] == '-') {
        size_t end = sql.find('\n', pos);
        return end == std::string_view::npos ? sql.size() : end + 1;
    }
    size_t end = sql.find("*/", pos + 2);
    return end == std::string_view::npos ? sql.size() : end + 2;
}

// Words, quoted identifiers and single symbols; blanks, comments and literals dropped.
std::vector<SqlToken> tokenize(std::string_view sql) {
    std::vector<SqlToken> tokens;
    size_t pos = 0;
    while (pos < sql.size()) {
        char c = sql[pos];
        char next = pos + 1 < sql.size() ? sql[pos + 1] : '\0';
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++pos;
        } else if ((c == '-' && next == '-') || (c == '/' && next == '*')) {
            pos = skip_comment(sql, pos);
        } else if (c == '\'') {
            pos = skip_quoted(sql, pos, '\'', nullptr);
        } else if (c == '"' || c == '`' || c == '[') {
            SqlToken token{SqlToken::quoted, {}};
            pos = skip_quoted(sql, pos, c == '[' ? ']' : c, &token.text);
            tokens.push_back(std::move(token));
        } else if (is_word_byte(c)) {
            size_t end = pos;
            while (end < sql.size() && is_word_byte(sql[end])) ++end;
            tokens.push_back({SqlToken::word, std::string(sql.substr(pos, end - pos))});
            pos = end;
        } else {
            tokens.push_back({SqlToken::symbol, std::string(1, c)});
            ++pos;
        }
    }
    return tokens;
}

bool is_keyword(const SqlToken& token, std::string_view keyword) {
    return token.kind == SqlToken::word && same_name(token.text, keyword);
}

bool is_name(const SqlToken& token) { return token.kind != SqlToken::symbol; }

// Words that may follow a joined table in place of an alias.
bool ends_table_reference(const SqlToken& token) {
    static const char* const words[] = {
        "on", "using", "left", "right", "inner", "outer", "full", "cross", "natural", "join", "straight_join",
        "where", "group", "order", "having", "limit", "union", "use", "force", "ignore", "partition",
        "tablesample", "window", "for", "with", "lateral",
    };
    for (const char* word : words) {
        if (is_keyword(token, word)) return true;
    }
    return false;
}

// Whether the (possibly qualified) name starting at `pos` is `table`; `pos`
// moves past the name.
bool names_table(const std::vector<SqlToken>& tokens, size_t& pos, std::string_view table) {
    if (pos >= tokens.size() || !is_name(tokens[pos])) return false;
    std::string whole = tokens[pos].text;
    const std::string* last = &tokens[pos].text;
    ++pos;
    while (pos + 1 < tokens.size() && tokens[pos].text == "." && tokens[pos].kind == SqlToken::symbol &&
           is_name(tokens[pos + 1])) {
        whole += "." + tokens[pos + 1].text;
        last = &tokens[pos + 1].text;
        pos += 2;
    }
    return same_name(whole, table) || same_name(*last, table);
}

std::optional<std::string> alias_at(const std::vector<SqlToken>& tokens, size_t pos) {
    bool after_as = pos < tokens.size() && is_keyword(tokens[pos], "as");
    if (after_as) ++pos;
    if (pos >= tokens.size() || !is_name(tokens[pos])) return std::nullopt;
    if (!after_as && tokens[pos].kind == SqlToken::word && ends_table_reference(tokens[pos])) return std::nullopt;
    return tokens[pos].text;
}

}  // namespace

JoinIntroduction introduction_of(std::string_view join_text, std::string_view table) {
    std::vector<SqlToken> tokens = tokenize(join_text);
    for (size_t i = 0; i < tokens.size(); ++i) {
        if (!is_keyword(tokens[i], "join") && !is_keyword(tokens[i], "straight_join")) continue;
        size_t pos = i + 1;
        if (names_table(tokens, pos, table)) return {true, alias_at(tokens, pos)};
    }
    return {};
}

}  // namespace dbplus
