#include "jetsource.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <numeric>
#include <string_view>
#include <system_error>
#include <utility>

#include "helperrun.h"
#include "jetframe.h"
#include "jetheader.h"

namespace {

std::mutex& OptionsMutex() {
    static std::mutex m;
    return m;
}
TJetReaderOptions& Options() {
    static TJetReaderOptions options;
    return options;
}

EDatabaseError CannotOpen(const std::string& path, const std::string& why) {
    return EDatabaseError("The file '" + path + "' cannot be opened: " + why);
}
const char* const kDamaged = "it is damaged or no card database.";

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

// ---------------------------------------------------------------- statement

struct TJetStatement {
    std::string table;
    std::string orderBy;  // empty: in the file's order
    bool descending = false;
};

std::string Unbracket(std::string_view w) {
    if (w.size() >= 2 &&
        ((w.front() == '[' && w.back() == ']') || (w.front() == '"' && w.back() == '"') ||
         (w.front() == '`' && w.back() == '`')))
        w = w.substr(1, w.size() - 2);
    return std::string(w);
}

TJetStatement ParseStatement(const std::string& sql) {
    std::vector<std::string> words;
    std::string word;
    for (char c : sql) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ';') {
            if (!word.empty()) words.push_back(std::move(word));
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty()) words.push_back(std::move(word));
    auto is = [&](size_t k, const char* w) {
        return k < words.size() && EqualsNoCase(words[k], w);
    };
    TJetStatement st;
    size_t k = 4;
    bool ok = words.size() >= 4 && is(0, "select") && is(1, "*") && is(2, "from");
    if (ok) st.table = Unbracket(words[3]);
    if (ok && k < words.size()) {
        ok = is(k, "order") && is(k + 1, "by") && k + 2 < words.size();
        if (ok) {
            st.orderBy = Unbracket(words[k + 2]);
            k += 3;
            if (is(k, "asc") || is(k, "desc")) st.descending = is(k++, "desc");
            ok = k == words.size();
        }
    }
    if (!ok || st.table.empty())
        throw EDatabaseError("This statement cannot be run on a Jet database file: " + sql);
    return st;
}

// ---------------------------------------------------------------- frames

struct TReader {
    std::string_view data;
    size_t at = 0;
    bool ok = true;
    bool Need(size_t n) {
        if (!ok || data.size() - at < n) ok = false;
        return ok;
    }
    unsigned U8() { return Need(1) ? static_cast<unsigned char>(data[at++]) : 0; }
    unsigned U16() {
        const unsigned lo = U8();
        return lo | (U8() << 8);
    }
    std::uint32_t U32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(U8()) << (8 * i);
        return v;
    }
    std::string_view Bytes(size_t n) {
        if (!Need(n)) return {};
        const std::string_view s = data.substr(at, n);
        at += n;
        return s;
    }
};

TFieldDef FieldDefOf(unsigned type, unsigned size, std::string name) {
    TFieldDef def;
    def.name = std::move(name);
    switch (type) {
        case jetframe::TypeBool:
            def.type = TFieldType::Boolean;
            break;
        case jetframe::TypeByte:
        case jetframe::TypeInt:
        case jetframe::TypeLong:
            def.type = TFieldType::Integer;
            break;
        case jetframe::TypeFloat:
        case jetframe::TypeDouble:
            def.type = TFieldType::Float;
            break;
        case jetframe::TypeText:
            def.type = TFieldType::Text;
            def.size = static_cast<int>(size / 2);  // UTF-16 units
            break;
        case jetframe::TypeMemo:
            def.type = TFieldType::Text;
            break;
        default:
            def.type = TFieldType::Other;
    }
    return def;
}

// libmdb's text of a value, as the engine holds it. An empty text of a
// number column is its null; of a text column it stays the empty text, as
// libmdb cannot tell the two apart.
TValue ValueOf(TFieldType type, std::string_view s) {
    switch (type) {
        case TFieldType::Integer:
        case TFieldType::Boolean: {
            std::int64_t n = 0;
            const auto r = std::from_chars(s.data(), s.data() + s.size(), n);
            if (s.empty() || r.ec != std::errc() || r.ptr != s.data() + s.size()) return TValue();
            return TValue(std::in_place_type<std::int64_t>, n);
        }
        case TFieldType::Float: {
            double d = 0;
            const auto r = std::from_chars(s.data(), s.data() + s.size(), d);
            if (s.empty() || r.ec != std::errc()) return TValue();
            return TValue(std::in_place_type<double>, d);
        }
        case TFieldType::Text:
            return TValue(std::in_place_type<std::string>, s);
        case TFieldType::Other:
            break;
    }
    if (s.empty()) return TValue();
    return TValue(std::in_place_type<std::string>, s);
}

bool ParseFrames(const std::string& out, TJetSnapshot& snap) {
    TReader r{out};
    if (r.Bytes(4) != std::string_view(jetframe::kMagic, 4) || r.U8() != jetframe::kColumns)
        return false;
    const unsigned cols = r.U16();
    for (unsigned c = 0; c < cols && r.ok; ++c) {
        const unsigned type = r.U8(), size = r.U16(), nameLen = r.U16();
        snap.defs.push_back(FieldDefOf(type, size, std::string(r.Bytes(nameLen))));
    }
    for (;;) {
        const unsigned kind = r.U8();
        if (!r.ok) return false;
        if (kind == jetframe::kEnd) break;
        if (kind != jetframe::kRow) return false;
        for (unsigned c = 0; c < cols; ++c) {
            const std::string_view v = r.Bytes(r.U32());
            if (!r.ok) return false;
            snap.cells.push_back(ValueOf(snap.defs[c].type, v));
        }
        ++snap.rows;
    }
    return r.ok && r.U32() == static_cast<std::uint32_t>(snap.rows) && r.at == out.size();
}

// Jet's order: nulls first, numbers by value, text without regard to case.
int CompareValues(const TValue& a, const TValue& b) {
    if (a.index() != b.index()) return a.index() < b.index() ? -1 : 1;
    if (auto x = std::get_if<std::int64_t>(&a)) {
        const auto y = std::get<std::int64_t>(b);
        return *x < y ? -1 : (*x > y ? 1 : 0);
    }
    if (auto x = std::get_if<double>(&a)) {
        const auto y = std::get<double>(b);
        return *x < y ? -1 : (*x > y ? 1 : 0);
    }
    if (auto x = std::get_if<std::string>(&a)) {
        const std::string& y = std::get<std::string>(b);
        const size_t n = std::min(x->size(), y.size());
        for (size_t i = 0; i < n; ++i)
            if (Lower((*x)[i]) != Lower(y[i])) return Lower((*x)[i]) < Lower(y[i]) ? -1 : 1;
        return x->size() < y.size() ? -1 : (x->size() > y.size() ? 1 : 0);
    }
    return 0;
}

void SortRows(TJetSnapshot& snap, int col, bool descending) {
    const size_t cols = snap.defs.size();
    std::vector<int> order(static_cast<size_t>(snap.rows));
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        const int c = CompareValues(snap.cells[a * cols + col], snap.cells[b * cols + col]);
        return descending ? c > 0 : c < 0;
    });
    std::vector<TValue> sorted;
    sorted.reserve(snap.cells.size());
    for (int r : order)
        for (size_t c = 0; c < cols; ++c) sorted.push_back(std::move(snap.cells[r * cols + c]));
    snap.cells = std::move(sorted);
}

// libmdb reads a null number as the empty text: either one in the card
// number column is a damaged row, never a card 0.
bool HasCardWithoutNumber(const TJetSnapshot& snap) {
    const size_t cols = snap.defs.size();
    for (size_t c = 0; c < cols; ++c) {
        if (!EqualsNoCase(snap.defs[c].name, "cardno")) continue;
        for (size_t at = c; at < snap.cells.size(); at += cols) {
            const TValue& v = snap.cells[at];
            const auto* text = std::get_if<std::string>(&v);
            if (std::holds_alternative<std::monostate>(v) || (text && text->empty())) return true;
        }
    }
    return false;
}

std::string AbsolutePath(const std::string& path) {
    if (!path.empty() && path.front() == '/') return path;
    std::string cwd(4096, '\0');
    if (!::getcwd(cwd.data(), cwd.size())) throw EDatabaseError(std::strerror(errno));
    cwd.resize(std::strlen(cwd.c_str()));
    return cwd + "/" + path;
}

}  // namespace

void SetJetReaderOptions(const TJetReaderOptions& options) {
    std::lock_guard lock(OptionsMutex());
    Options() = options;
}

TJetReaderOptions JetReaderOptions() {
    std::lock_guard lock(OptionsMutex());
    return Options();
}

void CheckJetFile(const std::string& path, const std::string& password) {
    std::vector<unsigned char> page;
    if (const int error = ReadJetFirstPage(path.c_str(), page))
        throw CannotOpen(path, std::strerror(error));
    switch (CheckJetHeader(page.data(), page.size(), password)) {
        case TJetHeaderCheck::Ok:
            return;
        case TJetHeaderCheck::NotJet:
            throw CannotOpen(path, kDamaged);
        case TJetHeaderCheck::NotJet4:
            throw CannotOpen(path, "it is not a Jet 4 database.");
        case TJetHeaderCheck::WrongPassword:
            throw CannotOpen(path, "not a valid password.");
    }
}

TJetSnapshot ReadJetStatement(const std::string& path, const std::string& password,
                              const std::string& statement) {
    const TJetStatement st = ParseStatement(statement);
    const TJetReaderOptions o = JetReaderOptions();
    const std::string helper =
        o.helperPath.empty() ? HelperProgramPath("lorvane-jetread") : o.helperPath;
    const std::string file = AbsolutePath(path);
    // The password goes on the helper's standard input, never on its command line.
    const std::string line = password + "\n";
    if (line.size() > 4096)
        throw EDatabaseError("The database password cannot be handed to the Jet reader.");
    THelperLimits limits;
    limits.timeoutMs = o.timeoutMs;
    limits.maxOutput = o.maxOutput;
    limits.cpuSeconds = std::max(1, o.cpuSeconds);
    limits.addressSpace = o.addressSpace;
    limits.openFiles = 32;
    std::string out;
    THelperRun run;
    try {
        run = RunHelper({helper, file, st.table}, line, limits, [&](std::string_view chunk) {
            try {
                out.append(chunk);
            } catch (const std::bad_alloc&) {
                return false;  // the helper must not outlive a failed read
            }
            return true;
        });
    } catch (const std::system_error& e) {
        throw EDatabaseError(e.code().message());
    }
    if (run.execFailed) throw CannotOpen(path, "the Jet reader " + helper + " cannot be started.");
    if (run.killed || !WIFEXITED(run.status)) throw CannotOpen(path, kDamaged);
    switch (WEXITSTATUS(run.status)) {
        case jetframe::ExitOk:
            break;
        case jetframe::ExitNotJet4:
            throw CannotOpen(path, "it is not a Jet 4 database.");
        case jetframe::ExitWrongPassword:
            throw CannotOpen(path, "not a valid password.");
        case jetframe::ExitNoTable:
            throw CannotOpen(path, "it has no table '" + st.table + "'.");
        case jetframe::ExitTooLong:
            throw CannotOpen(path, "it holds a text too long to be read.");
        default:
            throw CannotOpen(path, kDamaged);
    }
    TJetSnapshot snap;
    if (!ParseFrames(out, snap)) throw CannotOpen(path, kDamaged);
    if (HasCardWithoutNumber(snap)) throw CannotOpen(path, "a card in it has no number.");
    if (!st.orderBy.empty()) {
        int col = -1;
        for (size_t c = 0; c < snap.defs.size() && col < 0; ++c)
            if (EqualsNoCase(snap.defs[c].name, st.orderBy)) col = static_cast<int>(c);
        if (col < 0) throw CannotOpen(path, "it has no column '" + st.orderBy + "'.");
        SortRows(snap, col, st.descending);
    }
    return snap;
}
