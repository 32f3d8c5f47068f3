// Card database engine over SQLCipher: connection string parsing, keyed
// connections that never create files, and queries holding an updatable
// in-memory snapshot of their rows.
#include "dbengine.h"

#include "collation.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "jetheader.h"
#include "jetsource.h"
#include "sqlitehandles.h"

namespace {

// ---------------------------------------------------------------- small helpers

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

Stmt Prepare(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr) !=
        SQLITE_OK) {
        sqlite3_finalize(raw);
        throw EDatabaseError(sqlite3_errmsg(db));
    }
    return Stmt(raw);
}

std::string QuoteIdent(const std::string& name) {
    std::string out = "\"";
    for (char c : name) {
        out += c;
        if (c == '"') out += '"';
    }
    return out + "\"";
}

// Cuts text to at most n characters, never in the middle of a character.
void TruncateChars(std::string& s, int n) {
    s.resize(Utf8PrefixBytes(s, n));
}

// ---------------------------------------------------------------- values

std::string ValueText(const TValue& v) {
    if (auto p = std::get_if<std::int64_t>(&v)) return std::to_string(*p);
    if (auto p = std::get_if<double>(&v)) {
        char buf[32];
        auto r = std::to_chars(buf, buf + sizeof buf, *p);
        return std::string(buf, r.ptr);
    }
    if (auto p = std::get_if<std::string>(&v)) return *p;
    return {};
}

bool ParseInt64(std::string_view s, std::int64_t& out) {
    s = Trim(s);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    auto r = std::from_chars(s.data(), s.data() + s.size(), out);
    return !s.empty() && r.ec == std::errc() && r.ptr == s.data() + s.size();
}

void BindValue(sqlite3_stmt* st, int index, const TValue& v) {
    if (auto p = std::get_if<std::int64_t>(&v))
        sqlite3_bind_int64(st, index, *p);
    else if (auto p = std::get_if<double>(&v))
        sqlite3_bind_double(st, index, *p);
    else if (auto p = std::get_if<std::string>(&v))
        sqlite3_bind_text(st, index, p->data(), static_cast<int>(p->size()), SQLITE_STATIC);
    else
        sqlite3_bind_null(st, index);
}

TValue ColumnValue(sqlite3_stmt* st, int col) {
    switch (sqlite3_column_type(st, col)) {
        case SQLITE_INTEGER:
            return TValue(std::in_place_type<std::int64_t>, sqlite3_column_int64(st, col));
        case SQLITE_FLOAT:
            return TValue(std::in_place_type<double>, sqlite3_column_double(st, col));
        case SQLITE_TEXT:
        case SQLITE_BLOB: {
            auto text = reinterpret_cast<const char*>(sqlite3_column_text(st, col));
            return TValue(std::in_place_type<std::string>, text ? text : "",
                          static_cast<size_t>(sqlite3_column_bytes(st, col)));
        }
        default:
            return TValue();
    }
}

TFieldDef MakeFieldDef(const char* name, const char* decl) {
    TFieldDef def;
    def.name = name ? name : "";
    std::string t;
    for (const char* p = decl ? decl : ""; *p; ++p) t += static_cast<char>(std::toupper(*p));
    auto has = [&](const char* word) { return t.find(word) != std::string::npos; };
    if (has("BOOL") || t == "BIT" || has("YESNO"))
        def.type = TFieldType::Boolean;
    else if (has("INT") || has("COUNTER"))
        def.type = TFieldType::Integer;
    else if (has("CHAR") || has("TEXT") || has("CLOB") || has("MEMO"))
        def.type = TFieldType::Text;
    else if (has("REAL") || has("FLOA") || has("DOUB") || has("NUMERIC") || has("DECIMAL"))
        def.type = TFieldType::Float;
    if (def.type == TFieldType::Text) {
        auto open = t.find('(');
        if (open != std::string::npos) {
            int n = 0;
            auto r = std::from_chars(t.data() + open + 1, t.data() + t.size(), n);
            if (r.ec == std::errc() && n > 0) def.size = n;
        }
    }
    return def;
}

// ---------------------------------------------------------------- statements

struct Token {
    enum Kind { Space, Word, Ident, String, Number, Op };
    Kind kind;
    std::string text;
};

std::vector<Token> Tokenize(const std::string& sql) {
    std::vector<Token> out;
    size_t i = 0;
    const size_t n = sql.size();
    auto isWordChar = [](unsigned char c) { return std::isalnum(c) || c == '_' || c >= 0x80; };
    while (i < n) {
        const auto c = static_cast<unsigned char>(sql[i]);
        size_t j = i + 1;
        Token::Kind kind = Token::Op;
        if (std::isspace(c)) {
            while (j < n && std::isspace(static_cast<unsigned char>(sql[j]))) ++j;
            kind = Token::Space;
        } else if (std::isalpha(c) || c == '_' || c >= 0x80) {
            while (j < n && (isWordChar(sql[j]) || sql[j] == '$')) ++j;
            kind = Token::Word;
        } else if (std::isdigit(c)) {
            while (j < n && (isWordChar(sql[j]) || sql[j] == '.')) ++j;
            kind = Token::Number;
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
            kind = c == '\'' ? Token::String : Token::Ident;
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

// One column of an order by list, by name.
struct TSortColumn {
    std::string name;
    bool descending = false;
};

// What a statement becomes for SQLite, and whether its rows can be written back.
struct TranslatedSql {
    std::string plain;    // Jet literals rewritten
    std::string withRow;  // plain plus the rowid as first column; empty when read-only
    std::string table;    // the one table, as written in the statement
    // When the order by list names only columns: the statements without it,
    // and the list, for a sort in memory. Empty otherwise.
    std::string unsortedPlain, unsortedWithRow;
    std::vector<TSortColumn> sortColumns;
};

// Jet's true/false literals: SQLite 3.15 has none, and a Jet boolean is true
// for any nonzero value, so "x=true" becomes "x<>0".
void TranslateBooleans(std::vector<Token>& tokens) {
    int prev = -1;
    for (int i = 0; i < static_cast<int>(tokens.size()); ++i) {
        Token& t = tokens[i];
        if (t.kind == Token::Space) continue;
        const bool isTrue = t.kind == Token::Word && EqualsNoCase(t.text, "true");
        const bool isFalse = t.kind == Token::Word && EqualsNoCase(t.text, "false");
        if (isTrue || isFalse) {
            Token* op = prev >= 0 && tokens[prev].kind == Token::Op ? &tokens[prev] : nullptr;
            if (op && (op->text == "=" || op->text == "==")) {
                op->text = isTrue ? "<>" : "=";
                t.text = "0";
            } else if (op && (op->text == "<>" || op->text == "!=")) {
                op->text = isTrue ? "=" : "<>";
                t.text = "0";
            } else {
                t.text = isTrue ? "1" : "0";
            }
            t.kind = Token::Number;
        }
        prev = i;
    }
}

std::string Unquote(const std::string& ident) {
    if (ident.size() >= 2 && (ident[0] == '"' || ident[0] == '[' || ident[0] == '`'))
        return ident.substr(1, ident.size() - 2);
    return ident;
}

// The type of a column of a table; decides how the order by list sorts it.
using ColumnTypeOf = std::function<TFieldType(const std::string& table, const std::string& column)>;

TranslatedSql TranslateSql(const std::string& sql, const ColumnTypeOf& typeOf) {
    std::vector<Token> tokens = Tokenize(sql);
    TranslateBooleans(tokens);
    std::vector<int> sig;
    for (int i = 0; i < static_cast<int>(tokens.size()); ++i)
        if (tokens[i].kind != Token::Space) sig.push_back(i);
    auto word = [&](size_t k, const char* w) {
        return k < sig.size() && tokens[sig[k]].kind == Token::Word &&
               EqualsNoCase(tokens[sig[k]].text, w);
    };
    size_t from = 0;
    for (size_t k = 1; k < sig.size() && !from; ++k)
        if (word(k, "from")) from = k;
    const bool haveTable =
        from && from + 1 < sig.size() &&
        (tokens[sig[from + 1]].kind == Token::Word || tokens[sig[from + 1]].kind == Token::Ident);
    const std::string tableName = haveTable ? Unquote(tokens[sig[from + 1]].text) : std::string();

    TranslatedSql out;
    // An order by list of bare column names, at the end of the statement, is
    // sorted in memory (see SortSnapshot). Otherwise SQLite sorts, with the
    // same collation for text and granted rows before the others.
    int orderStart = -1;
    bool bareList = false;
    for (size_t k = 0; haveTable && k + 1 < sig.size(); ++k) {
        if (!word(k, "order") || !word(k + 1, "by")) continue;
        orderStart = sig[k];
        bareList = true;
        std::vector<TSortColumn> terms;
        for (size_t m = k + 2; m < sig.size(); ++m) {
            Token& t = tokens[sig[m]];
            const bool name = t.kind == Token::Word || t.kind == Token::Ident;
            const bool single = m + 1 >= sig.size() || tokens[sig[m + 1]].kind != Token::Op ||
                                tokens[sig[m + 1]].text == "," || tokens[sig[m + 1]].text == ";";
            if (name && single && typeOf) {
                const TFieldType type = typeOf(tableName, Unquote(t.text));
                terms.push_back({Unquote(t.text), false});
                if (type == TFieldType::Text)
                    t.text += " COLLATE LORVANE_ICU";
                else if (type == TFieldType::Boolean)
                    t.text = "(" + t.text + "=0)";
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
        if (bareList) out.sortColumns = std::move(terms);
        break;
    }
    if (!bareList) orderStart = -1;
    auto join = [&](size_t first, size_t last) {
        std::string text;
        for (size_t i = first; i < last; ++i) text += tokens[i].text;
        return text;
    };
    const size_t cut = orderStart >= 0 ? static_cast<size_t>(orderStart) : tokens.size();
    out.unsortedPlain = orderStart >= 0 ? join(0, cut) : std::string();

    out.plain = join(0, tokens.size());

    // Rows can be written back only for "select <columns> from <one table>
    // [where ...] [order by ...]": then the rowid identifies each row.
    if (sig.size() < 4 || !word(0, "select") || word(1, "distinct") || word(1, "all")) return out;
    for (size_t k = 1; k < sig.size(); ++k) {
        const Token& t = tokens[sig[k]];
        if (t.kind == Token::Op && t.text == "(") return out;
        for (const char* w : {"group", "having", "union", "join", "intersect", "except"})
            if (word(k, w)) return out;
    }
    if (!haveTable) return out;
    const Token& table = tokens[sig[from + 1]];
    const size_t after = from + 2;
    if (after < sig.size() && !word(after, "where") && !word(after, "order") &&
        tokens[sig[after]].text != ";")
        return out;
    out.table = table.text;
    out.withRow = tokens[sig[0]].text + " rowid," + join(sig[0] + 1, tokens.size());
    if (orderStart >= 0)
        out.unsortedWithRow = tokens[sig[0]].text + " rowid," + join(sig[0] + 1, cut);
    return out;
}

// ---------------------------------------------------------------- files

EDatabaseError MissingFile(const std::string& path) {
    return EDatabaseError("Could not find file '" + path + "'.");
}

// Keys the connection with key bytes as given (a passphrase, or a raw key in
// SQLCipher's x'...' form) and checks the key at once.
void KeyAndCheck(sqlite3* db, const void* key, int size) {
    if (size > 0 && sqlite3_key(db, key, size) != SQLITE_OK)
        throw EDatabaseError(sqlite3_errmsg(db));
    // Keeps the files readable by SQLCipher 4; older versions ignore it.
    sqlite3_exec(db, "PRAGMA cipher_compatibility = 3", nullptr, nullptr, nullptr);
    // A wrong key or a foreign file shows only at the first read.
    Exec(db, "SELECT count(*) FROM sqlite_master");
}

void KeyAndCheck(sqlite3* db, const std::string& password) {
    KeyAndCheck(db, password.data(), static_cast<int>(password.size()));
}

// ---------------------------------------------------------------- derived keys

// SQLCipher 3 turns the passphrase into the page key with PBKDF2-HMAC-SHA1 over
// the 16 salt bytes at the start of the file. Deriving that key ourselves and
// handing it over as a raw key decrypts exactly what the passphrase does (the
// page HMAC key is derived from the key and the salt either way), and lets a
// reconnect skip the 64,000 rounds.
constexpr int kKdfIterations = 64000;
constexpr size_t kSaltSize = 16;
constexpr size_t kKeySize = 32;
using TSalt = std::array<unsigned char, kSaltSize>;
using TDigest = std::array<unsigned char, 32>;

// Key bytes that are wiped when they go.
struct TRawKey {
    std::array<unsigned char, kKeySize> bytes{};
    TRawKey() = default;
    TRawKey(const TRawKey& other) : bytes(other.bytes) {}
    TRawKey& operator=(const TRawKey& other) {
        bytes = other.bytes;
        return *this;
    }
    ~TRawKey() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

// The salt of the file the connection has actually opened, read through its
// own descriptor, so that a file replaced meanwhile cannot mismatch. Raises
// for a file shorter than a salt, which cannot be a keyed database (SQLCipher
// would take a one-byte file for an empty one). None when it cannot be read:
// keying with the passphrase then reports what is wrong.
std::optional<TSalt> FileSalt(sqlite3* db) {
    sqlite3_file* file = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || !file ||
        !file->pMethods)
        return std::nullopt;
    TSalt salt{};
    const int rc = file->pMethods->xRead(file, salt.data(), static_cast<int>(salt.size()), 0);
    if (rc == SQLITE_IOERR_SHORT_READ)
        throw EDatabaseError("file is encrypted or is not a database");
    if (rc != SQLITE_OK) return std::nullopt;
    return salt;
}

// Cache lookups are by a digest of salt and password; the password itself is
// not kept.
TDigest LookupTag(const std::string& password, const TSalt& salt) {
    TDigest tag{};
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    bool ok = md && EVP_DigestInit_ex(md, EVP_sha256(), nullptr) == 1 &&
              EVP_DigestUpdate(md, salt.data(), salt.size()) == 1 &&
              EVP_DigestUpdate(md, password.data(), password.size()) == 1 &&
              EVP_DigestFinal_ex(md, tag.data(), nullptr) == 1;
    EVP_MD_CTX_free(md);
    if (!ok) throw EDatabaseError("Cannot compute a digest (OpenSSL).");
    return tag;
}

TRawKey DeriveKey(const std::string& password, const TSalt& salt) {
    TRawKey key;
    if (PKCS5_PBKDF2_HMAC_SHA1(password.data(), static_cast<int>(password.size()), salt.data(),
                               static_cast<int>(salt.size()), kKdfIterations,
                               static_cast<int>(key.bytes.size()), key.bytes.data()) != 1)
        throw EDatabaseError("Cannot derive the database key (OpenSSL).");
    return key;
}

// Keys the connection with a raw key, x'<64 hex digits>', and checks it.
void KeyRawAndCheck(sqlite3* db, const TRawKey& key) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::array<char, 2 * kKeySize + 3> text{};
    text[0] = 'x';
    text[1] = '\'';
    for (size_t i = 0; i < kKeySize; ++i) {
        text[2 + 2 * i] = kHex[key.bytes[i] >> 4];
        text[3 + 2 * i] = kHex[key.bytes[i] & 0xF];
    }
    text.back() = '\'';
    try {
        KeyAndCheck(db, text.data(), static_cast<int>(text.size()));
    } catch (...) {
        OPENSSL_cleanse(text.data(), text.size());
        throw;
    }
    OPENSSL_cleanse(text.data(), text.size());
}

// Process-wide cache of derived keys by (password, file salt), most recently
// used first. It holds key material of files this process has already opened
// with their right password, and nothing else: a key is stored only after it
// read the file. A derived key is a pure function of password and salt, so an
// entry never goes stale; a file replaced by another has another salt.
class TDerivedKeyCache {
  public:
    static TDerivedKeyCache& Instance() {
        static TDerivedKeyCache cache;
        return cache;
    }
    std::optional<TRawKey> Find(const TDigest& tag) {
        std::lock_guard lock(FMutex);
        for (size_t i = 0; i < FCount; ++i)
            if (FEntries[i].tag == tag) {
                std::rotate(FEntries.begin(), FEntries.begin() + i, FEntries.begin() + i + 1);
                return FEntries[0].key;
            }
        return std::nullopt;
    }
    void Store(const TDigest& tag, const TRawKey& key) {
        std::lock_guard lock(FMutex);
        for (size_t i = 0; i < FCount; ++i)
            if (FEntries[i].tag == tag) return;  // another connection was quicker
        if (FCount < FEntries.size()) ++FCount;
        // The least recently used entry, if the cache was full, is overwritten.
        std::rotate(FEntries.begin(), FEntries.begin() + FCount - 1, FEntries.begin() + FCount);
        FEntries[0] = {tag, key};
    }

  private:
    struct Entry {
        TDigest tag{};
        TRawKey key;
    };
    std::mutex FMutex;
    std::array<Entry, 16> FEntries;  // fixed storage: no key bytes left in freed memory
    size_t FCount = 0;
};

// Keys a connection to an existing file: with a cached key when this process
// has opened a file with the same salt and password before, else with a key
// derived here and cached once it has read the file. Without a password, or
// when the salt cannot be read, the passphrase path as ever.
void KeyExisting(sqlite3* db, const std::string& password) {
    const std::optional<TSalt> salt = password.empty() ? std::nullopt : FileSalt(db);
    if (!salt) {
        KeyAndCheck(db, password);
        return;
    }
    TDerivedKeyCache& cache = TDerivedKeyCache::Instance();
    const TDigest tag = LookupTag(password, *salt);
    if (const std::optional<TRawKey> cached = cache.Find(tag)) {
        KeyRawAndCheck(db, *cached);
        return;
    }
    const TRawKey key = DeriveKey(password, *salt);
    KeyRawAndCheck(db, key);
    cache.Store(tag, key);
}

// The journal mode the file is in, e.g. "wal" or "delete".
std::string JournalMode(sqlite3* db, const char* pragma) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, pragma, -1, &raw, nullptr) != SQLITE_OK) {
        sqlite3_finalize(raw);
        return {};
    }
    const Stmt st(raw);
    if (sqlite3_step(st.get()) != SQLITE_ROW) return {};
    const auto text = reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 0));
    return text ? text : "";
}

// A file in write-ahead-log mode commits with normal synchronisation: see
// UseWriteAheadLog. A file in rollback mode keeps full synchronisation, which
// that mode needs to stay consistent.
void SyncForJournal(sqlite3* db) {
    if (EqualsNoCase(JournalMode(db, "PRAGMA journal_mode"), "wal"))
        Exec(db, "PRAGMA synchronous=NORMAL");
}

// Every post is a transaction of its own. With the rollback journal and full
// synchronisation each one costs several disk flushes (about 9 ms); with a
// write-ahead log and normal synchronisation a commit is an append to the log
// without a flush (well under a millisecond). A commit that returned is in
// the operating system's hands and survives a kill of the program; only a
// system crash or a power cut can lose the last commits, and never corrupts
// the file. Only a file the program writes to is switched, at its first
// write: files that are only read (a card batch, a file under test, a merge
// source) are left as they are. A file that cannot take a log (read-only, or
// held by a program in rollback mode) keeps its journal.
void UseWriteAheadLog(sqlite3* db) {
    if (sqlite3_db_readonly(db, "main") != 0) return;
    JournalMode(db, "PRAGMA journal_mode=WAL");
    SyncForJournal(db);
}

// Whether the file starts as an unencrypted SQLite database does; raises, with
// the file and the system's reason, when it cannot be read.
bool IsPlainSqlite(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw EDatabaseError("Cannot open file '" + path + "': " + std::strerror(errno));
    static constexpr char kHeader[] = "SQLite format 3";  // and its NUL: 16 bytes
    char head[sizeof kHeader] = {};
    const ssize_t got = ::read(fd, head, sizeof head);
    ::close(fd);
    return got == static_cast<ssize_t>(sizeof head) && std::memcmp(head, kHeader, sizeof head) == 0;
}

DbHandle OpenExisting(const std::string& path, const std::string& password) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) throw MissingFile(path);
        throw EDatabaseError("Cannot open file '" + path + "': " + std::strerror(errno));
    }
    if (S_ISDIR(st.st_mode)) throw EDatabaseError("'" + path + "' is a folder, not a file.");
    // SQLite would take an empty file for an empty database and write into it.
    if (st.st_size == 0) throw EDatabaseError("file is encrypted or is not a database");
    // SQLite opens lazily and then says only "unable to open database file".
    const bool plain = IsPlainSqlite(path);
    // A connection and its statements are used by one thread at a time, so
    // SQLite's per-call locking is left out: it cost a fifth of reading a list.
    sqlite3* raw = nullptr;
    const int rc =
        sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    DbHandle db(raw);
    if (rc != SQLITE_OK) {
        if (!db) throw EDatabaseError(sqlite3_errstr(rc));
        if (::access(path.c_str(), F_OK) != 0) throw MissingFile(path);
        throw EDatabaseError(sqlite3_errmsg(db.get()));
    }
    // Other programs may hold the file for a moment.
    sqlite3_busy_timeout(db.get(), 2000);
    try {
        KeyExisting(db.get(), password);
    } catch (const EDatabaseError&) {
        if (plain)
            throw EDatabaseError("'" + path +
                                 "' is an unencrypted SQLite database, not a card database.");
        throw;
    }
    SyncForJournal(db.get());
    // The collation of statements whose order SQLite works out itself; the
    // connection owns it and frees it when it closes.
    auto collator = std::make_unique<TCollator>();
    if (sqlite3_create_collation_v2(
            db.get(), "LORVANE_ICU", SQLITE_UTF8, collator.get(), SqliteCollate,
            [](void* p) { std::unique_ptr<TCollator>(static_cast<TCollator*>(p)); }) == SQLITE_OK)
        collator.release();
    return db;
}

void CreateDatabase(const std::string& path, const std::string& password, const char* ddl) {
    // O_EXCL: refusing to overwrite must not race with another creator.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == EEXIST) throw EDatabaseError("File '" + path + "' already exists.");
        throw EDatabaseError("Cannot create file '" + path + "': " + std::strerror(errno));
    }
    ::close(fd);
    try {
        sqlite3* raw = nullptr;
        const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
        DbHandle db(raw);
        if (rc != SQLITE_OK) throw EDatabaseError(db ? sqlite3_errmsg(db.get()) : "out of memory");
        KeyAndCheck(db.get(), password);
        Exec(db.get(), ddl);
    } catch (...) {
        ::unlink(path.c_str());
        throw;
    }
}

// ---------------------------------------------------------------- integer index

// Open-addressing hash from an integer column's value to its first row; holds
// only row numbers, the keys are read from the snapshot.
class TIntIndex {
  public:
    template <class KeyOf>
    void Build(int rows, KeyOf keyOf) {
        size_t cap = 16;
        while (cap < static_cast<size_t>(rows) * 2) cap *= 2;
        FSlots.assign(cap, -1);
        FCount = 0;
        for (int r = 0; r < rows; ++r)
            if (auto k = keyOf(r)) Insert(*k, r, keyOf);
        FDirty = false;
    }
    template <class KeyOf>
    void Insert(std::int64_t key, int row, KeyOf keyOf) {
        if ((FCount + 1) * 2 > FSlots.size()) {
            std::vector<int> old = std::move(FSlots);
            FSlots.assign(old.size() * 2, -1);
            FCount = 0;
            std::sort(old.begin(), old.end());  // keeps the first row of equal keys
            for (int r : old)
                if (r >= 0) Insert(*keyOf(r), r, keyOf);
        }
        for (size_t i = Hash(key);; i = (i + 1) & (FSlots.size() - 1)) {
            int& slot = FSlots[i];
            if (slot < 0) {
                slot = row;
                ++FCount;
                return;
            }
            if (*keyOf(slot) == key) {
                slot = std::min(slot, row);
                return;
            }
        }
    }
    template <class KeyOf>
    int Find(std::int64_t key, KeyOf keyOf) const {
        for (size_t i = Hash(key);; i = (i + 1) & (FSlots.size() - 1)) {
            const int slot = FSlots[i];
            if (slot < 0) return -1;
            if (*keyOf(slot) == key) return slot;
        }
    }
    bool FDirty = true;

  private:
    size_t Hash(std::int64_t key) const {
        auto h = static_cast<std::uint64_t>(key) * 0x9E3779B97F4A7C15ull;
        return static_cast<size_t>(h >> 20) & (FSlots.size() - 1);
    }
    std::vector<int> FSlots;
    size_t FCount = 0;
};

// Cells of a snapshot in large fixed chunks: grows without copying (no peak
// of twice the size), with few allocations, and constructs a cell only when
// it is stored.
class TCellStore {
  public:
    TCellStore() = default;
    TCellStore(const TCellStore&) = delete;
    TCellStore& operator=(const TCellStore&) = delete;
    ~TCellStore() { clear(); }  // the chunks go with FChunks

    size_t size() const { return FSize; }
    TValue& operator[](size_t i) { return Slot(FStart + i); }
    const TValue& operator[](size_t i) const {
        const size_t k = FStart + i;
        return FChunks[k / kChunk].get()[k % kChunk];
    }
    void push_back(TValue&& v) {
        if (FStart + FSize == FChunks.size() * kChunk)
            FChunks.emplace_back(static_cast<TValue*>(::operator new(kChunk * sizeof(TValue))));
        new (&(*this)[FSize]) TValue(std::move(v));
        ++FSize;
    }
    // Removes n cells from pos on, moving the later ones down. Cells at the
    // front go without moving the rest, so that deleting a whole list from
    // its first row on costs the same per row at any length.
    void erase(size_t pos, size_t n) {
        if (pos == 0 && n <= FSize) {
            for (size_t i = 0; i < n; ++i) (*this)[i].~TValue();
            FStart += n;
            FSize -= n;
            while (FStart >= kChunk) {
                FChunks.erase(FChunks.begin());
                FStart -= kChunk;
            }
            return;
        }
        for (size_t i = pos; i + n < FSize; ++i) (*this)[i] = std::move((*this)[i + n]);
        shrink(FSize - n);
    }
    void shrink(size_t newSize) {
        while (FSize > newSize) (*this)[--FSize].~TValue();
        while (FChunks.size() * kChunk >= FStart + FSize + kChunk) FChunks.pop_back();
    }
    // Drops every cell but keeps the chunks for the next open: a list is
    // typically closed only to be opened again, and fresh memory costs a page
    // fault per 4 KB, which would double the time of a large open.
    void clear() {
        while (FSize > 0) (*this)[--FSize].~TValue();
        FStart = 0;
    }

  private:
    struct RawDelete {
        void operator()(TValue* p) const { ::operator delete(p); }
    };
    TValue& Slot(size_t k) { return FChunks[k / kChunk].get()[k % kChunk]; }

    static constexpr size_t kChunk = 8192;
    std::vector<std::unique_ptr<TValue, RawDelete>> FChunks;  // raw storage; FSize cells live
    size_t FStart = 0;  // cells before it in the first chunk were erased
    size_t FSize = 0;
};

const TValue kNull;

// One column of a sort in memory: the field and the direction.
struct TSortKey {
    int column;
    bool descending;
};

// Appends the byte string by which a cell sorts in its column: nulls first,
// then numbers by value, then text in the collation's order. Booleans sort
// true first, as Jet files sort them (true is -1 there).
void AppendOrderKey(const TValue& v, TFieldType type, TCollator& collator, std::string& out) {
    if (std::holds_alternative<std::monostate>(v)) {
        out += '\0';
        return;
    }
    if (type == TFieldType::Boolean && !std::holds_alternative<std::string>(v)) {
        const bool on = std::holds_alternative<std::int64_t>(v) ? std::get<std::int64_t>(v) != 0
                                                                : std::get<double>(v) != 0;
        out += '\1';
        out += on ? '\0' : '\1';
        return;
    }
    if (const auto* s = std::get_if<std::string>(&v)) {
        out += '\2';
        collator.AppendSortKey(*s, out);
        return;
    }
    // Numbers as doubles (exact for every 32-bit card number), in bytes that
    // compare like the values: the sign bit flipped, negatives inverted.
    const double d = std::holds_alternative<std::int64_t>(v)
                         ? static_cast<double>(std::get<std::int64_t>(v))
                         : std::get<double>(v);
    std::uint64_t bits = std::bit_cast<std::uint64_t>(d == 0 ? 0.0 : d);
    bits = (bits >> 63) ? ~bits : bits | (std::uint64_t{1} << 63);
    out += '\1';
    for (int shift = 56; shift >= 0; shift -= 8) out += static_cast<char>((bits >> shift) & 0xFF);
}

}  // namespace

// ==================================================================== query state

struct TDbQuery::Impl {
    std::string name;
    std::vector<std::string> sql;
    TDbConnection* shared = nullptr;
    std::unique_ptr<TDbConnection> own;

    TState state = TState::Inactive;
    bool updatable = false;
    std::string table;
    std::vector<TFieldDef> defs;
    std::vector<std::string> origins;  // table column of each field; empty for expressions
    int rowidAlias = -1;               // field that is the table's INTEGER PRIMARY KEY

    // The snapshot: rows * defs.size() cells, row-major, with the rowid of each
    // row.
    TCellStore cells;
    std::deque<std::int64_t> rowids;  // a deque: deleting from the front moves nothing
    int rows = 0;
    int cur = -1;
    bool eof = true;

    std::vector<TValue> buffer;  // values of the row being edited or inserted
    std::vector<bool> modified;
    int rowBeforeInsert = -1;
    std::vector<std::unique_ptr<TIntIndex>> indexes;  // per field, built on demand
    // Row statements of Post and Delete, prepared once per open: the bulk
    // commands post every row, and a prepare costs as much as the commit.
    std::vector<std::pair<std::string, Stmt>> statements;

    sqlite3_stmt* Statement(sqlite3* db, const std::string& sql) {
        for (auto& [text, st] : statements)
            if (text == sql) {
                sqlite3_reset(st.get());
                sqlite3_clear_bindings(st.get());
                return st.get();
            }
        statements.emplace_back(sql, Prepare(db, sql));
        return statements.back().second.get();
    }

    TDbConnection* Connection() const { return own ? own.get() : shared; }
    int Cols() const { return static_cast<int>(defs.size()); }
    const TValue& At(int row, int col) const {
        return cells[static_cast<size_t>(row) * defs.size() + col];
    }
    TValue& At(int row, int col) { return cells[static_cast<size_t>(row) * defs.size() + col]; }

    [[noreturn]] void Fail(const std::string& what) const {
        throw EDatabaseError(name + ": " + what);
    }
    void CheckActive() const {
        if (state == TState::Inactive) Fail("Cannot perform this operation on a closed dataset");
    }
    void CheckWritable() const {
        if (!updatable) Fail("Cannot modify a read-only dataset");
    }
    const TValue& FieldValue(int col) const {
        CheckActive();
        if (state == TState::Edit || state == TState::Insert) return buffer[col];
        return cur >= 0 ? At(cur, col) : kNull;
    }
    void SetFieldValue(int col, TValue value) {
        CheckActive();
        if (state != TState::Edit && state != TState::Insert)
            Fail("Dataset not in edit or insert mode");
        buffer[col] = std::move(value);
        modified[col] = true;
    }
    // Puts the rows in the order of the sort columns. Sort keys are computed
    // once per cell: comparing them is a byte comparison, much cheaper than a
    // collation call per comparison. Equal rows keep the statement's order.
    void Sort(const std::vector<TSortKey>& plan) {
        if (rows < 2) return;
        TCollator collator;
        std::vector<std::string> keys(plan.size());
        std::vector<std::vector<std::uint32_t>> starts(plan.size());
        for (size_t t = 0; t < plan.size(); ++t) {
            starts[t].reserve(static_cast<size_t>(rows) + 1);
            keys[t].reserve(static_cast<size_t>(rows) * 24);
            // Groups, and many names, repeat: their key is worked out once.
            std::unordered_map<std::string_view, std::pair<std::uint32_t, std::uint32_t>> seen;
            for (int r = 0; r < rows; ++r) {
                const auto start = static_cast<std::uint32_t>(keys[t].size());
                starts[t].push_back(start);
                const TValue& cell = At(r, plan[t].column);
                const auto* text = std::get_if<std::string>(&cell);
                if (text) {
                    if (auto hit = seen.find(*text); hit != seen.end()) {
                        keys[t].append(keys[t], hit->second.first, hit->second.second);
                        continue;
                    }
                }
                AppendOrderKey(cell, defs[plan[t].column].type, collator, keys[t]);
                if (text)
                    seen.emplace(*text, std::pair(start, static_cast<std::uint32_t>(keys[t].size() -
                                                                                    start)));
            }
            starts[t].push_back(static_cast<std::uint32_t>(keys[t].size()));
        }
        auto key = [&](size_t t, int r) {
            return std::string_view(keys[t]).substr(starts[t][r], starts[t][r + 1] - starts[t][r]);
        };
        // The first eight bytes of the first key as a number decide most
        // comparisons without touching the keys; the row number breaks ties,
        // so equal rows keep their order.
        struct TEntry {
            std::uint64_t head;
            int row;
        };
        std::vector<TEntry> entries(static_cast<size_t>(rows));
        for (int r = 0; r < rows; ++r) {
            const std::string_view k = key(0, r);
            std::uint64_t head = 0;
            for (size_t i = 0; i < 8; ++i)
                head = (head << 8) | (i < k.size() ? static_cast<unsigned char>(k[i]) : 0u);
            entries[r] = {plan[0].descending ? ~head : head, r};
        }
        std::sort(entries.begin(), entries.end(), [&](const TEntry& a, const TEntry& b) {
            if (a.head != b.head) return a.head < b.head;
            for (size_t t = 0; t < plan.size(); ++t) {
                const int c = key(t, a.row).compare(key(t, b.row));
                if (c != 0) return plan[t].descending ? c > 0 : c < 0;
            }
            return a.row < b.row;
        });
        std::vector<int> order(static_cast<size_t>(rows));
        for (int r = 0; r < rows; ++r) order[r] = entries[r].row;
        // Row order[i] goes to position i, one cycle of the permutation at a time.
        const int n = Cols();
        std::vector<bool> placed(static_cast<size_t>(rows), false);
        std::vector<TValue> held(static_cast<size_t>(n));
        for (int start = 0; start < rows; ++start) {
            if (placed[start] || order[start] == start) continue;
            for (int c = 0; c < n; ++c) held[c] = std::move(At(start, c));
            const std::int64_t heldRowid = rowids[start];
            int pos = start;
            for (;;) {
                placed[pos] = true;
                const int from = order[pos];
                if (from == start) {
                    for (int c = 0; c < n; ++c) At(pos, c) = std::move(held[c]);
                    rowids[pos] = heldRowid;
                    break;
                }
                for (int c = 0; c < n; ++c) At(pos, c) = std::move(At(from, c));
                rowids[pos] = rowids[from];
                pos = from;
            }
        }
    }
    void MarkIndexesDirty() {
        for (auto& ix : indexes)
            if (ix) ix->FDirty = true;
    }
    void Clear() {
        cells.clear();
        std::deque<std::int64_t>().swap(rowids);
        rows = 0;
        cur = -1;
        eof = true;
        buffer.clear();
        modified.clear();
        indexes.clear();
        statements.clear();
        defs.clear();
        origins.clear();
    }
};

// ==================================================================== connection

TConnectionParams ParseConnectionString(const std::string& text) {
    TConnectionParams params;
    bool haveSource = false;
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        const size_t eq = text.find('=', i);
        if (eq == std::string::npos) break;
        const std::string_view key = Trim(std::string_view(text).substr(i, eq - i));
        size_t v = eq + 1;
        while (v < n && text[v] == ' ') ++v;
        std::string value;
        if (v < n && (text[v] == '"' || text[v] == '\'')) {
            // The value is not escaped: it ends at the quote that is followed by
            // ';' or the end of the text, so quotes, ';' and '=' may occur inside.
            const char q = text[v];
            size_t close = v + 1;
            for (;; ++close) {
                close = text.find(q, close);
                if (close == std::string::npos) break;
                size_t after = close + 1;
                while (after < n && text[after] == ' ') ++after;
                if (after >= n || text[after] == ';') break;
            }
            if (close == std::string::npos) {
                value = text.substr(v + 1);
                i = n;
            } else {
                value = text.substr(v + 1, close - v - 1);
                const size_t semi = text.find(';', close + 1);
                i = semi == std::string::npos ? n : semi + 1;
            }
        } else {
            const size_t semi = text.find(';', v);
            const size_t end = semi == std::string::npos ? n : semi;
            value = std::string(Trim(std::string_view(text).substr(v, end - v)));
            i = semi == std::string::npos ? n : semi + 1;
        }
        if (EqualsNoCase(key, "Data Source")) {
            params.dataSource = value;
            haveSource = true;
        } else if (EqualsNoCase(key, "Jet OLEDB:Database Password")) {
            params.password = value;
        }
    }
    if (!haveSource) throw EDatabaseError("The connection string names no \"Data Source\".");
    return params;
}

void CreateCardDatabase(const std::string& path, const std::string& password) {
    CreateDatabase(path, password,
                   "CREATE TABLE cardlist (cardno INTEGER NOT NULL PRIMARY KEY, "
                   "descx VARCHAR(50), grp VARCHAR(50), granted BOOLEAN NOT NULL DEFAULT 0)");
}

void CreateCardBatchDatabase(const std::string& path, const std::string& password) {
    CreateDatabase(path, password, "CREATE TABLE card (cardno INTEGER NOT NULL PRIMARY KEY)");
}

TDbConnection::TDbConnection() = default;

TDbConnection::~TDbConnection() {
    Disconnect();
    for (TDbQuery* q : FQueries) q->FImpl->shared = nullptr;
}

void TDbConnection::SetConnectionString(const std::string& text) {
    FConnectionString = text;
}
const std::string& TDbConnection::ConnectionString() const {
    return FConnectionString;
}
void TDbConnection::SetLoginPrompt(bool) {}

void TDbConnection::Connect() {
    if (FDb || FJetFile) return;
    const TConnectionParams params = ParseConnectionString(FConnectionString);
    if (IsJetFile(params.dataSource)) {
        CheckJetFile(params.dataSource, params.password);
        FJetFile = true;
        return;
    }
    FDb = OpenExisting(params.dataSource, params.password).release();
}

void TDbConnection::Disconnect() {
    const std::vector<TDbQuery*> queries = FQueries;  // Close may not detach, but be safe
    for (TDbQuery* q : queries) q->Close();
    if (FDb) sqlite3_close_v2(std::exchange(FDb, nullptr));
    FJetFile = false;
    FWritten = false;
}

sqlite3* TDbConnection::WriteHandle() {
    if (FDb && !FWritten) {
        FWritten = true;
        UseWriteAheadLog(FDb);
    }
    return FDb;
}

bool TDbConnection::Connected() const {
    return FDb != nullptr || FJetFile;
}
sqlite3* TDbConnection::Handle() const {
    return FDb;
}

void TDbConnection::Attach(TDbQuery* query) {
    FQueries.push_back(query);
}
void TDbConnection::Detach(TDbQuery* query) {
    std::erase(FQueries, query);
}

// ==================================================================== query

TDbQuery::TDbQuery(std::string name) : FImpl(std::make_unique<Impl>()) {
    FImpl->name = std::move(name);
}

TDbQuery::~TDbQuery() {
    // Views may already be gone; they need no news of the end.
    OnReset = nullptr;
    OnRowChanged = nullptr;
    OnCurrentChanged = nullptr;
    Close();
    if (FImpl->shared) FImpl->shared->Detach(this);
}

const std::string& TDbQuery::Name() const {
    return FImpl->name;
}

void TDbQuery::SetConnection(TDbConnection* connection) {
    Close();
    if (FImpl->shared) FImpl->shared->Detach(this);
    FImpl->own.reset();
    FImpl->shared = connection;
    if (connection) connection->Attach(this);
}

void TDbQuery::SetConnectionString(const std::string& text) {
    Close();
    if (FImpl->shared) FImpl->shared->Detach(this);
    FImpl->shared = nullptr;
    FImpl->own = std::make_unique<TDbConnection>();
    FImpl->own->SetConnectionString(text);
}

void TDbQuery::SQLClear() {
    FImpl->sql.clear();
}
void TDbQuery::SQLAdd(const std::string& line) {
    FImpl->sql.push_back(line);
}
const std::vector<std::string>& TDbQuery::SQLLines() const {
    return FImpl->sql;
}
std::string TDbQuery::SQLText() const {
    std::string text;
    for (const auto& line : FImpl->sql) text += line + "\n";
    return text;
}

void TDbQuery::Open() {
    Impl& d = *FImpl;
    if (d.state != TState::Inactive) return;
    TDbConnection* conn = d.Connection();
    if (!conn) d.Fail("Missing Connection or ConnectionString");
    conn->Connect();
    if (conn->FJetFile) {
        try {
            const TConnectionParams params = ParseConnectionString(conn->ConnectionString());
            TJetSnapshot snap = ReadJetStatement(params.dataSource, params.password, SQLText());
            d.Clear();
            d.defs = std::move(snap.defs);
            d.origins.assign(d.defs.size(), std::string());
            d.indexes.resize(d.defs.size());
            for (TValue& v : snap.cells) d.cells.push_back(std::move(v));
            d.rowids.assign(static_cast<size_t>(snap.rows), 0);
            d.rows = snap.rows;
            d.updatable = false;
            d.table.clear();
            d.rowidAlias = -1;
        } catch (...) {
            d.Clear();
            if (d.own) d.own->Disconnect();
            throw;
        }
        Opened();
        return;
    }
    try {
        sqlite3* db = conn->Handle();
        // The table's columns: name, declared type, primary key position.
        struct ColumnInfo {
            std::string name, type;
            int pk;
        };
        std::vector<ColumnInfo> info;
        std::string infoTable;
        bool infoRead = false;
        auto tableInfo = [&](const std::string& table) -> const std::vector<ColumnInfo>& {
            if (!infoRead || infoTable != table) {
                info.clear();
                infoRead = true;
                infoTable = table;
                sqlite3_stmt* raw = nullptr;
                const std::string pragma = "PRAGMA table_info(" + QuoteIdent(table) + ")";
                if (sqlite3_prepare_v2(db, pragma.c_str(), -1, &raw, nullptr) == SQLITE_OK) {
                    Stmt st(raw);
                    while (sqlite3_step(st.get()) == SQLITE_ROW) {
                        auto text = [&](int c) {
                            auto p =
                                reinterpret_cast<const char*>(sqlite3_column_text(st.get(), c));
                            return std::string(p ? p : "");
                        };
                        info.push_back({text(1), text(2), sqlite3_column_int(st.get(), 5)});
                    }
                } else {
                    sqlite3_finalize(raw);
                }
            }
            return info;
        };
        const TranslatedSql sql =
            TranslateSql(SQLText(), [&](const std::string& table, const std::string& column) {
                for (const ColumnInfo& c : tableInfo(table))
                    if (EqualsNoCase(c.name, column)) return MakeFieldDef("", c.type.c_str()).type;
                return TFieldType::Other;
            });
        // With the rowid as first column when the rows can be written back.
        auto prepare = [db](const std::string& withRowSql, const std::string& plainSql,
                            bool& withRow) {
            withRow = false;
            if (!withRowSql.empty()) {
                sqlite3_stmt* raw = nullptr;
                if (sqlite3_prepare_v2(db, withRowSql.c_str(), -1, &raw, nullptr) == SQLITE_OK) {
                    withRow = true;
                    return Stmt(raw);
                }
                sqlite3_finalize(raw);  // e.g. a view: fall back to reading only
            }
            return Prepare(db, plainSql);
        };
        Stmt st;
        bool withRow = false;
        std::vector<TSortKey> sortPlan;
        if (!sql.sortColumns.empty()) {
            // SQLite still checks the whole statement, so an unknown sort
            // column fails with its own message as ever.
            Prepare(db, sql.plain);
            st = prepare(sql.unsortedWithRow, sql.unsortedPlain, withRow);
            const int first = withRow ? 1 : 0;
            const int n = sqlite3_column_count(st.get()) - first;
            for (const TSortColumn& c : sql.sortColumns) {
                int found = -1;
                for (int k = 0; k < n && found < 0; ++k) {
                    const char* origin = sqlite3_column_origin_name(st.get(), k + first);
                    if (EqualsNoCase(sqlite3_column_name(st.get(), k + first), c.name) ||
                        (origin && EqualsNoCase(origin, c.name)))
                        found = k;
                }
                if (found < 0) {  // not a column of the result: SQLite sorts
                    sortPlan.clear();
                    st.reset();
                    break;
                }
                sortPlan.push_back({found, c.descending});
            }
        }
        if (!st) st = prepare(sql.withRow, sql.plain, withRow);

        const int first = withRow ? 1 : 0;
        const int cols = sqlite3_column_count(st.get()) - first;
        d.Clear();
        d.defs.reserve(cols);
        for (int c = 0; c < cols; ++c) {
            d.defs.push_back(MakeFieldDef(sqlite3_column_name(st.get(), c + first),
                                          sqlite3_column_decltype(st.get(), c + first)));
            const char* origin = sqlite3_column_origin_name(st.get(), c + first);
            d.origins.emplace_back(origin ? origin : "");
        }
        d.indexes.resize(cols);
        d.updatable = withRow;
        d.table = withRow ? sql.table : std::string();

        int rc;
        while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
            d.rowids.push_back(withRow ? sqlite3_column_int64(st.get(), 0) : 0);
            for (int c = 0; c < cols; ++c) d.cells.push_back(ColumnValue(st.get(), c + first));
            ++d.rows;
        }
        if (rc != SQLITE_DONE) throw EDatabaseError(sqlite3_errmsg(db));
        if (!sortPlan.empty()) d.Sort(sortPlan);

        d.rowidAlias = -1;
        if (withRow) {
            // The rowid changes with the INTEGER PRIMARY KEY column it aliases.
            std::string pkName;
            int pkCount = 0;
            for (const ColumnInfo& c : tableInfo(Unquote(d.table))) {
                if (c.pk == 0) continue;
                ++pkCount;
                if (EqualsNoCase(c.type, "INTEGER")) pkName = c.name;
            }
            if (pkCount == 1 && !pkName.empty())
                for (int c = 0; c < cols; ++c)
                    if (EqualsNoCase(d.origins[c], pkName)) d.rowidAlias = c;
        }
    } catch (...) {
        d.Clear();
        if (d.own) d.own->Disconnect();
        throw;
    }
    Opened();
}

// The snapshot is taken: browse it from its first row.
void TDbQuery::Opened() {
    Impl& d = *FImpl;
    d.state = TState::Browse;
    d.cur = d.rows > 0 ? 0 : -1;
    d.eof = d.rows == 0;
    if (OnReset) OnReset();
    if (OnCurrentChanged) OnCurrentChanged(d.cur);
}

void TDbQuery::Close() {
    Impl& d = *FImpl;
    const bool wasActive = d.state != TState::Inactive;
    d.state = TState::Inactive;
    d.Clear();
    if (d.own) d.own->Disconnect();
    if (wasActive) {
        if (OnReset) OnReset();
        if (OnCurrentChanged) OnCurrentChanged(-1);
    }
}

bool TDbQuery::Active() const {
    return FImpl->state != TState::Inactive;
}
TDbQuery::TState TDbQuery::State() const {
    return FImpl->state;
}
bool TDbQuery::ReadOnly() const {
    return !FImpl->updatable;
}

int TDbQuery::RecordCount() const {
    FImpl->CheckActive();
    return FImpl->rows;
}

int TDbQuery::RecNo() const {
    FImpl->CheckActive();
    return FImpl->cur + 1;
}

void TDbQuery::SetRecNo(int n) {
    Impl& d = *FImpl;
    d.CheckActive();
    if (n < 1 || n > d.rows) d.Fail("Row " + std::to_string(n) + " does not exist");
    if (d.state != TState::Browse) Post();
    d.eof = false;
    if (d.cur != n - 1) {
        d.cur = n - 1;
        if (OnCurrentChanged) OnCurrentChanged(d.cur);
    }
}

void TDbQuery::First() {
    Impl& d = *FImpl;
    d.CheckActive();
    if (d.state != TState::Browse) Post();
    d.eof = d.rows == 0;
    const int target = d.rows > 0 ? 0 : -1;
    if (d.cur != target) {
        d.cur = target;
        if (OnCurrentChanged) OnCurrentChanged(d.cur);
    }
}

void TDbQuery::Next() {
    Impl& d = *FImpl;
    d.CheckActive();
    if (d.state != TState::Browse) Post();
    if (d.cur + 1 < d.rows) {
        ++d.cur;
        if (OnCurrentChanged) OnCurrentChanged(d.cur);
    } else {
        d.eof = true;
    }
}

bool TDbQuery::Eof() const {
    FImpl->CheckActive();
    return FImpl->eof;
}

bool TDbQuery::Locate(const std::string& field, const TValue& value, unsigned options) {
    Impl& d = *FImpl;
    d.CheckActive();
    const int col = FieldIndex(field);
    if (col < 0) d.Fail("Field '" + field + "' not found");
    if (d.state != TState::Browse) Post();
    const bool partial = options & loPartialKey;
    const bool nocase = options & loCaseInsensitive;

    int found = -1;
    std::int64_t key = 0;
    const bool intKey = std::holds_alternative<std::int64_t>(value) ||
                        (std::holds_alternative<std::string>(value) &&
                         ParseInt64(std::get<std::string>(value), key));
    if (intKey && std::holds_alternative<std::int64_t>(value)) key = std::get<std::int64_t>(value);
    if (!partial && intKey && d.defs[col].type == TFieldType::Integer) {
        auto keyOf = [&d, col](int row) -> std::optional<std::int64_t> {
            if (auto p = std::get_if<std::int64_t>(&d.At(row, col))) return *p;
            return std::nullopt;
        };
        auto& ix = d.indexes[col];
        if (!ix) ix = std::make_unique<TIntIndex>();
        if (ix->FDirty) ix->Build(d.rows, keyOf);
        found = ix->Find(key, keyOf);
    } else {
        const bool wantNull = std::holds_alternative<std::monostate>(value);
        const std::string text = ValueText(value);
        // Without regard to case, accents are ignored as well and the text is
        // compared in its search form; with regard to case, in one normal form.
        const std::u16string form = nocase ? SearchForm(text) : std::u16string();
        const std::string composed = nocase ? std::string() : ToNfc(text);
        auto matches = [&](std::string_view s) {
            if (nocase) return MatchesSearchForm(s, form, !partial);
            const bool ascii = std::all_of(
                s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
            const std::string other = ascii ? std::string() : ToNfc(s);
            const std::string_view cell = ascii ? s : std::string_view(other);
            return partial ? cell.starts_with(composed) : cell == composed;
        };
        std::unique_ptr<TCollator> collator;  // only when a second row matches
        std::string best;
        for (int r = 0; r < d.rows; ++r) {
            const TValue& cell = d.At(r, col);
            const bool isNull = std::holds_alternative<std::monostate>(cell);
            if (wantNull || isNull) {
                if (wantNull && isNull && found < 0) found = r;
                continue;
            }
            const auto* num = std::get_if<std::int64_t>(&cell);
            if (!partial && num && intKey) {
                if (*num == key && found < 0) found = r;
                continue;
            }
            std::string converted;
            std::string_view s;
            if (auto p = std::get_if<std::string>(&cell)) {
                s = *p;
            } else {
                converted = ValueText(cell);
                s = converted;
            }
            if (!matches(s)) continue;
            // Several matches: the first in the order the list sorts the
            // column in; the earlier row on a tie.
            if (found >= 0) {
                if (!collator) collator = std::make_unique<TCollator>();
                if (collator->Compare(s, best) >= 0) continue;
            }
            found = r;
            best = std::string(s);
        }
    }
    if (found < 0) return false;
    d.eof = false;
    if (d.cur != found) {
        d.cur = found;
        if (OnCurrentChanged) OnCurrentChanged(d.cur);
    }
    return true;
}

int TDbQuery::FieldCount() const {
    return FImpl->Cols();
}
const TFieldDef& TDbQuery::FieldDef(int index) const {
    return FImpl->defs.at(index);
}

int TDbQuery::FieldIndex(const std::string& name) const {
    for (int c = 0; c < FImpl->Cols(); ++c)
        if (EqualsNoCase(FImpl->defs[c].name, name)) return c;
    return -1;
}

TField TDbQuery::FieldByName(const std::string& name) {
    FImpl->CheckActive();
    const int col = FieldIndex(name);
    if (col < 0) FImpl->Fail("Field '" + name + "' not found");
    return TField(*this, col);
}

const TValue& TDbQuery::Cell(int row, int column) const {
    const Impl& d = *FImpl;
    if (row < 0 || row >= d.rows || column < 0 || column >= d.Cols()) return kNull;
    return d.At(row, column);
}

void TDbQuery::Append() {
    Impl& d = *FImpl;
    d.CheckActive();
    d.CheckWritable();
    if (d.state != TState::Browse) Post();
    const int cols = d.Cols();
    for (int c = 0; c < cols; ++c) d.cells.push_back(TValue());
    d.rowids.push_back(0);
    d.rowBeforeInsert = d.cur;
    d.cur = d.rows++;
    d.eof = false;
    d.buffer.assign(cols, TValue());
    d.modified.assign(cols, false);
    d.state = TState::Insert;
    if (OnReset) OnReset();
    if (OnCurrentChanged) OnCurrentChanged(d.cur);
}

void TDbQuery::Edit() {
    Impl& d = *FImpl;
    d.CheckActive();
    if (d.state != TState::Browse) return;
    d.CheckWritable();
    if (d.cur < 0) d.Fail("Cannot perform this operation on an empty dataset");
    d.buffer.clear();
    for (int c = 0; c < d.Cols(); ++c) d.buffer.push_back(d.At(d.cur, c));
    d.modified.assign(d.Cols(), false);
    d.state = TState::Edit;
}

void TDbQuery::Post() {
    Impl& d = *FImpl;
    d.CheckActive();
    if (d.state == TState::Browse) return;
    sqlite3* db = d.Connection()->WriteHandle();
    const int cols = d.Cols();

    // Text longer than its column is cut silently, counted in characters.
    for (int c = 0; c < cols; ++c)
        if (auto s = std::get_if<std::string>(&d.buffer[c]);
            s && d.defs[c].type == TFieldType::Text && d.defs[c].size > 0)
            TruncateChars(*s, d.defs[c].size);

    std::vector<int> changed;
    for (int c = 0; c < cols; ++c)
        if (d.modified[c]) {
            if (d.origins[c].empty()) d.Fail("Field '" + d.defs[c].name + "' cannot be modified");
            changed.push_back(c);
        }

    std::int64_t rowid = d.rowids[d.cur];
    if (d.state == TState::Edit) {
        if (!changed.empty()) {
            std::string sql = "UPDATE " + d.table + " SET ";
            for (size_t k = 0; k < changed.size(); ++k)
                sql += (k ? ", " : "") + QuoteIdent(d.origins[changed[k]]) + "=?";
            sql += " WHERE rowid=?";
            sqlite3_stmt* st = d.Statement(db, sql);
            for (size_t k = 0; k < changed.size(); ++k)
                BindValue(st, static_cast<int>(k + 1), d.buffer[changed[k]]);
            sqlite3_bind_int64(st, static_cast<int>(changed.size() + 1), rowid);
            const int rc = sqlite3_step(st);
            sqlite3_reset(st);  // ends the statement's transaction at once
            if (rc != SQLITE_DONE) throw EDatabaseError(sqlite3_errmsg(db));
            if (sqlite3_changes(db) == 0)
                throw EDatabaseError(
                    "Row cannot be located for updating. Some values may have been changed since "
                    "it was last read.");
            if (d.rowidAlias >= 0 && d.modified[d.rowidAlias]) {
                // The rowid is the key column itself, so the row moved with it.
                const TValue& v = d.buffer[d.rowidAlias];
                std::int64_t k = 0;
                if (auto p = std::get_if<std::int64_t>(&v))
                    rowid = *p;
                else if (auto s = std::get_if<std::string>(&v); s && ParseInt64(*s, k))
                    rowid = k;
                else if (auto f = std::get_if<double>(&v))
                    rowid = static_cast<std::int64_t>(*f);
            }
        }
    } else {
        std::string sql = "INSERT INTO " + d.table;
        if (changed.empty()) {
            sql += " DEFAULT VALUES";
        } else {
            std::string names, marks;
            for (size_t k = 0; k < changed.size(); ++k) {
                names += (k ? ", " : "") + QuoteIdent(d.origins[changed[k]]);
                marks += k ? ", ?" : "?";
            }
            sql += " (" + names + ") VALUES (" + marks + ")";
        }
        Stmt st = Prepare(db, sql);
        for (size_t k = 0; k < changed.size(); ++k)
            BindValue(st.get(), static_cast<int>(k + 1), d.buffer[changed[k]]);
        if (sqlite3_step(st.get()) != SQLITE_DONE) throw EDatabaseError(sqlite3_errmsg(db));
        rowid = sqlite3_last_insert_rowid(db);
    }

    // Read the row back so that the snapshot holds what the file holds
    // (defaults, type conversions).
    std::vector<TValue> values = d.buffer;
    std::string sql;
    std::vector<int> stored;
    for (int c = 0; c < cols; ++c)
        if (!d.origins[c].empty()) {
            sql += (stored.empty() ? "SELECT " : ", ") + QuoteIdent(d.origins[c]);
            stored.push_back(c);
        }
    if (!stored.empty()) {
        sqlite3_stmt* st = d.Statement(db, sql + " FROM " + d.table + " WHERE rowid=?");
        sqlite3_bind_int64(st, 1, rowid);
        if (sqlite3_step(st) == SQLITE_ROW)
            for (size_t k = 0; k < stored.size(); ++k)
                values[stored[k]] = ColumnValue(st, static_cast<int>(k));
        sqlite3_reset(st);  // releases the read lock
    }

    const bool inserted = d.state == TState::Insert;
    for (int c = 0; c < cols; ++c) {
        if (d.indexes[c] && !(d.At(d.cur, c) == values[c])) {
            if (inserted && !d.indexes[c]->FDirty) {
                auto keyOf = [&d, c](int row) -> std::optional<std::int64_t> {
                    if (auto p = std::get_if<std::int64_t>(&d.At(row, c))) return *p;
                    return std::nullopt;
                };
                d.At(d.cur, c) = values[c];
                if (auto p = std::get_if<std::int64_t>(&values[c]))
                    d.indexes[c]->Insert(*p, d.cur, keyOf);
            } else {
                d.indexes[c]->FDirty = true;
            }
        }
        d.At(d.cur, c) = std::move(values[c]);
    }
    d.rowids[d.cur] = rowid;
    d.buffer.clear();
    d.modified.clear();
    d.state = TState::Browse;
    if (OnRowChanged) OnRowChanged(d.cur);
}

void TDbQuery::Cancel() {
    Impl& d = *FImpl;
    d.CheckActive();
    if (d.state == TState::Browse) return;
    const bool inserted = d.state == TState::Insert;
    d.state = TState::Browse;
    d.buffer.clear();
    d.modified.clear();
    if (inserted) {
        // The pending row is always the last one.
        d.cells.shrink(d.cells.size() - d.Cols());
        d.rowids.pop_back();
        --d.rows;
        d.cur = std::min(d.rowBeforeInsert, d.rows - 1);
        if (d.cur < 0 && d.rows > 0) d.cur = 0;
        d.eof = d.rows == 0;
        if (OnReset) OnReset();
        if (OnCurrentChanged) OnCurrentChanged(d.cur);
    }
}

void TDbQuery::Delete() {
    Impl& d = *FImpl;
    d.CheckActive();
    if (d.state == TState::Insert) {
        Cancel();  // the pending row is not in the file yet
        return;
    }
    if (d.state == TState::Edit) Cancel();
    d.CheckWritable();
    if (d.cur < 0) d.Fail("Cannot perform this operation on an empty dataset");
    sqlite3* db = d.Connection()->WriteHandle();
    sqlite3_stmt* st = d.Statement(db, "DELETE FROM " + d.table + " WHERE rowid=?");
    sqlite3_bind_int64(st, 1, d.rowids[d.cur]);
    const int rc = sqlite3_step(st);
    sqlite3_reset(st);
    if (rc != SQLITE_DONE) throw EDatabaseError(sqlite3_errmsg(db));

    d.cells.erase(static_cast<size_t>(d.cur) * d.Cols(), d.Cols());
    d.rowids.erase(d.rowids.begin() + d.cur);
    --d.rows;
    d.MarkIndexesDirty();
    // The next row becomes current; after the last row the list is at its end.
    if (d.cur >= d.rows) {
        d.cur = d.rows - 1;
        d.eof = true;
    }
    if (OnReset) OnReset();
    if (OnCurrentChanged) OnCurrentChanged(d.cur);
}

// ==================================================================== field

bool TField::IsNull() const {
    return std::holds_alternative<std::monostate>(Value());
}

const TValue& TField::Value() const {
    return FQuery.FImpl->FieldValue(FIndex);
}

int TField::AsInteger() const {
    const TValue& v = Value();
    if (auto p = std::get_if<std::int64_t>(&v)) return static_cast<int>(*p);
    if (auto p = std::get_if<double>(&v)) return static_cast<int>(*p);
    if (auto p = std::get_if<std::string>(&v)) {
        std::int64_t n = 0;
        if (!ParseInt64(*p, n)) throw EDatabaseError("'" + *p + "' is not a valid integer value");
        return static_cast<int>(n);
    }
    return 0;
}

bool TField::AsBoolean() const {
    const TValue& v = Value();
    if (auto p = std::get_if<std::int64_t>(&v)) return *p != 0;
    if (auto p = std::get_if<double>(&v)) return *p != 0;
    if (auto p = std::get_if<std::string>(&v)) {
        std::int64_t n = 0;
        if (ParseInt64(*p, n)) return n != 0;
        return EqualsNoCase(Trim(*p), "true") || EqualsNoCase(Trim(*p), "yes");
    }
    return false;
}

std::string TField::AsString() const {
    const TValue& v = Value();
    if (FQuery.FImpl->defs[FIndex].type == TFieldType::Boolean &&
        !std::holds_alternative<std::monostate>(v))
        return AsBoolean() ? "True" : "False";
    return ValueText(v);
}

void TField::SetAsInteger(int value) {
    FQuery.FImpl->SetFieldValue(FIndex, TValue(std::in_place_type<std::int64_t>, value));
}
void TField::SetAsBoolean(bool value) {
    FQuery.FImpl->SetFieldValue(FIndex, TValue(std::in_place_type<std::int64_t>, value ? 1 : 0));
}
void TField::SetAsString(const std::string& value) {
    FQuery.FImpl->SetFieldValue(FIndex, TValue(std::in_place_type<std::string>, value));
}
void TField::SetNull() {
    FQuery.FImpl->SetFieldValue(FIndex, TValue());
}
