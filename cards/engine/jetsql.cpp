// The Jet SQL dialect: tokens, the shape of a statement, and its text for a
// back end.
#include "jetsql.h"

#include <cctype>
#include <string_view>

#include "values.h"

namespace {

std::string Unquote(const std::string& ident) {
    if (ident.size() >= 2 && (ident[0] == '"' || ident[0] == '[' || ident[0] == '`'))
        return ident.substr(1, ident.size() - 2);
    return ident;
}

bool IsName(const TSqlToken& t) {
    return t.kind == TSqlToken::Word || t.kind == TSqlToken::Ident;
}

}  // namespace

std::vector<TSqlToken> TokenizeSql(const std::string& sql) {
    std::vector<TSqlToken> out;
    size_t i = 0;
    const size_t n = sql.size();
    auto isWordChar = [](unsigned char c) { return std::isalnum(c) || c == '_' || c >= 0x80; };
    while (i < n) {
        const auto c = static_cast<unsigned char>(sql[i]);
        size_t j = i + 1;
        TSqlToken::Kind kind = TSqlToken::Op;
        if (std::isspace(c)) {
            while (j < n && std::isspace(static_cast<unsigned char>(sql[j]))) ++j;
            kind = TSqlToken::Space;
        } else if (std::isalpha(c) || c == '_' || c >= 0x80) {
            while (j < n && (isWordChar(sql[j]) || sql[j] == '$')) ++j;
            kind = TSqlToken::Word;
        } else if (std::isdigit(c)) {
            while (j < n && (isWordChar(sql[j]) || sql[j] == '.')) ++j;
            kind = TSqlToken::Number;
        } else if (c == '\'' || c == '"' || c == '`' || c == '[') {
            const char close = c == '[' ? ']' : static_cast<char>(c);
            for (;;) {
                if (j >= n) break;
                if (sql[j] == close) {
                    if (close != ']' && j + 1 < n && sql[j + 1] == close) {
                        j += 2;  // doubled quote inside the literal
                        continue;
                    }
                    ++j;
                    break;
                }
                ++j;
            }
            kind = c == '\'' ? TSqlToken::String : TSqlToken::Ident;
        } else if (j < n) {
            const std::string_view two(sql.data() + i, 2);
            if (two == "<>" || two == "!=" || two == "<=" || two == ">=" || two == "==" ||
                two == "||")
                j = i + 2;
        }
        out.push_back({kind, sql.substr(i, j - i)});
        i = j;
    }
    return out;
}

TJetStatement ParseJetStatement(const std::string& sql) {
    TJetStatement out;
    out.tokens = TokenizeSql(sql);
    const std::vector<TSqlToken>& tokens = out.tokens;
    out.orderStart = tokens.size();
    std::vector<size_t> sig;  // the tokens that are not blanks
    for (size_t i = 0; i < tokens.size(); ++i)
        if (tokens[i].kind != TSqlToken::Space) sig.push_back(i);
    auto word = [&](size_t k, const char* w) {
        return k < sig.size() && tokens[sig[k]].kind == TSqlToken::Word &&
               EqualsNoCase(tokens[sig[k]].text, w);
    };
    size_t from = 0;
    for (size_t k = 1; k < sig.size() && !from; ++k)
        if (word(k, "from")) from = k;
    const bool haveTable = from && from + 1 < sig.size() && IsName(tokens[sig[from + 1]]);
    if (haveTable) out.fromTable = Unquote(tokens[sig[from + 1]].text);

    // The order by list: its bare column terms, and whether it is made of
    // nothing else (then the engine sorts in memory).
    for (size_t k = 0; haveTable && k + 1 < sig.size(); ++k) {
        if (!word(k, "order") || !word(k + 1, "by")) continue;
        bool bareList = true;
        std::vector<TSortColumn> terms;
        for (size_t m = k + 2; m < sig.size(); ++m) {
            const TSqlToken& t = tokens[sig[m]];
            const bool single = m + 1 >= sig.size() || tokens[sig[m + 1]].kind != TSqlToken::Op ||
                                tokens[sig[m + 1]].text == "," || tokens[sig[m + 1]].text == ";";
            if (IsName(t) && single) {
                terms.push_back({Unquote(t.text), false});
                out.orderNames.emplace_back(sig[m], Unquote(t.text));
            } else {
                bareList = false;
            }
            size_t end = m;
            while (end + 1 < sig.size() && tokens[sig[end + 1]].text != ",") ++end;
            // What may follow the name: a direction, and a closing ';'.
            size_t n = m + 1;
            if (n <= end && (word(n, "asc") || word(n, "desc"))) {
                if (!terms.empty()) terms.back().descending = word(n, "desc");
                ++n;
            }
            if (n <= end && tokens[sig[n]].text == ";" && n == sig.size() - 1) ++n;
            if (n <= end) bareList = false;
            m = end + 1;  // the comma
        }
        if (bareList) {
            out.sortColumns = std::move(terms);
            out.orderStart = sig[k];
        }
        break;
    }

    // Rows can be written back only for "select <columns> from <one table>
    // [where ...] [order by ...]".
    if (sig.size() < 4 || !word(0, "select") || word(1, "distinct") || word(1, "all")) return out;
    for (size_t k = 1; k < sig.size(); ++k) {
        const TSqlToken& t = tokens[sig[k]];
        if (t.kind == TSqlToken::Op && t.text == "(") return out;
        for (const char* w : {"group", "having", "union", "join", "intersect", "except"})
            if (word(k, w)) return out;
    }
    if (!haveTable) return out;
    const size_t after = from + 2;
    if (after < sig.size() && !word(after, "where") && !word(after, "order") &&
        tokens[sig[after]].text != ";")
        return out;
    out.table = out.fromTable;
    return out;
}

std::string RenderSql(const TJetStatement& statement, const TSqlForm& form) {
    std::vector<TSqlToken> tokens = statement.tokens;
    if (form.numericBooleans) {
        int prev = -1;
        for (int i = 0; i < static_cast<int>(tokens.size()); ++i) {
            TSqlToken& t = tokens[i];
            if (t.kind == TSqlToken::Space) continue;
            const bool isTrue = t.kind == TSqlToken::Word && EqualsNoCase(t.text, "true");
            const bool isFalse = t.kind == TSqlToken::Word && EqualsNoCase(t.text, "false");
            if (isTrue || isFalse) {
                TSqlToken* op =
                    prev >= 0 && tokens[prev].kind == TSqlToken::Op ? &tokens[prev] : nullptr;
                if (op && (op->text == "=" || op->text == "==")) {
                    op->text = std::string(isTrue ? "<>" : "=");
                    t.text = std::string("0");
                } else if (op && (op->text == "<>" || op->text == "!=")) {
                    op->text = std::string(isTrue ? "=" : "<>");
                    t.text = std::string("0");
                } else {
                    t.text = std::string(isTrue ? "1" : "0");
                }
                t.kind = TSqlToken::Number;
            }
            prev = i;
        }
    }
    const size_t end = form.withoutOrderBy ? statement.orderStart : tokens.size();
    if (form.orderTerm)
        for (const auto& [index, name] : statement.orderNames)
            if (index < end) {
                std::string term = form.orderTerm(name, tokens[index].text);
                tokens[index].text.swap(term);
            }
    std::string text;
    bool first = true;
    for (size_t i = 0; i < end; ++i) {
        text += tokens[i].text;
        if (first && tokens[i].kind != TSqlToken::Space) {
            first = false;  // the select keyword
            if (!form.firstColumn.empty()) {
                text.append(1, ' ');
                text.append(form.firstColumn);
                text.append(1, ',');
            }
        }
    }
    return text;
}
