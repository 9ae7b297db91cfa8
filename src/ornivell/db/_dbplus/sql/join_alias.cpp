#include "sql/join_alias.h"

#include <cctype>

namespace dbplus {

namespace {

struct SqlToken {
    enum Kind { end, word, quoted, symbol } kind = end;
    std::string_view text;  // a quoted identifier without its quotes (a doubled quote left doubled)
    char quote = '\0';
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

// Reads a join text word by word: blanks, comments and literals are
// skipped; quoted identifiers come without their quotes.
class Scanner {
public:
    explicit Scanner(std::string_view sql) : sql_(sql) {}

    SqlToken next() {
        skip_gaps();
        if (pos_ >= sql_.size()) return {};
        char c = sql_[pos_];
        if (c == '"' || c == '`' || c == '[') return quoted(c == '[' ? ']' : c);
        if (is_word_byte(c)) {
            size_t start = pos_;
            while (pos_ < sql_.size() && is_word_byte(sql_[pos_])) ++pos_;
            return {SqlToken::word, sql_.substr(start, pos_ - start)};
        }
        return {SqlToken::symbol, sql_.substr(pos_++, 1)};
    }

private:
    bool at(std::string_view text) const { return sql_.substr(pos_, text.size()) == text; }

    void skip_to_after(std::string_view text) {
        size_t found = sql_.find(text, pos_);
        pos_ = found == std::string_view::npos ? sql_.size() : found + text.size();
    }

    void skip_literal() {
        for (++pos_; pos_ < sql_.size(); ++pos_) {
            if (sql_[pos_] == '\\') {
                ++pos_;  // MySQL's backslash escape
            } else if (sql_[pos_] == '\'') {
                if (pos_ + 1 >= sql_.size() || sql_[pos_ + 1] != '\'') break;
                ++pos_;  // a doubled quote
            }
        }
        ++pos_;
    }

    void skip_gaps() {
        while (pos_ < sql_.size()) {
            if (std::isspace(static_cast<unsigned char>(sql_[pos_]))) {
                ++pos_;
            } else if (at("--")) {
                skip_to_after("\n");
            } else if (at("/*")) {
                skip_to_after("*/");
            } else if (sql_[pos_] == '\'') {
                skip_literal();
            } else {
                return;
            }
        }
    }

    SqlToken quoted(char close) {
        size_t start = ++pos_;
        while (pos_ < sql_.size()) {
            if (sql_[pos_] != close) {
                ++pos_;
            } else if (close != ']' && pos_ + 1 < sql_.size() && sql_[pos_ + 1] == close) {
                pos_ += 2;  // a doubled quote
            } else {
                break;
            }
        }
        SqlToken token{SqlToken::quoted, sql_.substr(start, pos_ - start), close};
        if (pos_ < sql_.size()) ++pos_;
        return token;
    }

    std::string_view sql_;
    size_t pos_ = 0;
};

bool is_keyword(const SqlToken& token, std::string_view keyword) {
    return token.kind == SqlToken::word && same_name(token.text, keyword);
}

bool is_name(const SqlToken& token) { return token.kind == SqlToken::word || token.kind == SqlToken::quoted; }

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

std::string unquoted(const SqlToken& token) {
    std::string text;
    for (size_t i = 0; i < token.text.size(); ++i) {
        text.push_back(token.text[i]);
        if (token.kind == SqlToken::quoted && token.text[i] == token.quote) ++i;  // a doubled quote is one
    }
    return text;
}

// Reads the (possibly qualified) table name that starts with `first`; true
// when its last part is the last part of `table`. `after` gets the token
// that follows the name.
bool names_table(Scanner& scanner, const SqlToken& first, std::string_view table, SqlToken& after) {
    if (!is_name(first)) {
        after = first;
        return false;
    }
    SqlToken last = first;
    after = scanner.next();
    while (after.kind == SqlToken::symbol && after.text == ".") {
        SqlToken part = scanner.next();
        if (!is_name(part)) {
            after = part;
            return false;
        }
        last = part;
        after = scanner.next();
    }
    return same_name(unquoted(last), table.substr(table.rfind('.') + 1));
}

}  // namespace

JoinIntroduction introduction_of(std::string_view join_text, std::string_view table) {
    Scanner scanner(join_text);
    SqlToken token = scanner.next();
    while (token.kind != SqlToken::end) {
        if (!is_keyword(token, "join") && !is_keyword(token, "straight_join")) {
            token = scanner.next();
            continue;
        }
        SqlToken after;
        if (names_table(scanner, scanner.next(), table, after)) {
            bool after_as = is_keyword(after, "as");
            if (after_as) after = scanner.next();
            if (!is_name(after) || (!after_as && ends_table_reference(after))) return {true, std::nullopt};
            return {true, unquoted(after)};
        }
        token = after;
    }
    return {};
}

}  // namespace dbplus
