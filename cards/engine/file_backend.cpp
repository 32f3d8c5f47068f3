// The card database file back end: opening and keying files, statements,
// row changes with the optimistic check, and replacing a file's content.
#include "file_backend.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>
#include <utility>

#include "collation.h"
#include "file_history.h"
#include "file_keys.h"
#include "file_readonly.h"
#include "snapshot.h"
#include "sqlitehandles.h"
#include "values.h"

namespace {

EDatabaseError MissingFile(const std::string& path) {
    return EDatabaseError("Could not find file '" + path + "'.");
}

Stmt Prepare(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* raw = nullptr;
    const int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(raw);
        throw SqliteError(db, rc);
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

// The text a pragma answers, e.g. the journal mode: "wal" or "delete".
std::string PragmaText(sqlite3* db, const char* pragma) {
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
    if (EqualsNoCase(PragmaText(db, "PRAGMA journal_mode"), "wal"))
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
    PragmaText(db, "PRAGMA journal_mode=WAL");
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

// Opens and keys the file; on failure raises, with SQLite's code of the
// failure in `code`.
DbHandle OpenKeyed(const std::string& path, const std::string& password, int flags, const char* vfs,
                   bool plain, int& code) {
    // A connection and its statements are used by one thread at a time, so
    // SQLite's per-call locking is left out: it cost a fifth of reading a list.
    sqlite3* raw = nullptr;
    code = sqlite3_open_v2(path.c_str(), &raw, flags | SQLITE_OPEN_NOMUTEX, vfs);
    DbHandle db(raw);
    if (code != SQLITE_OK) {
        if (!db) throw EDatabaseError(sqlite3_errstr(code));
        if (::access(path.c_str(), F_OK) != 0) throw MissingFile(path);
        throw SqliteError(db.get(), code);
    }
    // Other programs may hold the file for a moment.
    sqlite3_busy_timeout(db.get(), 2000);
    try {
        KeyExisting(db.get(), password);
    } catch (const EDatabaseError&) {
        code = sqlite3_errcode(db.get());
        if (plain)
            throw EDatabaseError("'" + path +
                                 "' is an unencrypted SQLite database, not a card database.");
        throw;
    }
    return db;
}

// Why nothing can be written beside the file.
std::string WhyReadOnly(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    struct statvfs fs {};
    if (::statvfs(folder.c_str(), &fs) == 0) {
        if (fs.f_flag & ST_RDONLY) return "the card database is on read-only media";
        // Less room than the log's index takes is no room.
        const auto blocks = ::geteuid() == 0 ? fs.f_bfree : fs.f_bavail;
        if (static_cast<unsigned long long>(blocks) * fs.f_frsize < 64 * 1024)
            return "the disk is full";
    }
    return "the card database file cannot be written";
}

struct TOpened {
    DbHandle db;
    std::string readOnlyReason;  // empty when the file takes changes
};

TOpened OpenExisting(const std::string& path, const std::string& password) {
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
    TOpened opened;
    int code = SQLITE_OK;
    try {
        opened.db = OpenKeyed(path, password, SQLITE_OPEN_READWRITE, nullptr, plain, code);
    } catch (const EDatabaseError& first) {
        // A file in log mode on read-only media or a full disk: SQLite cannot
        // make the log's index beside it. Read it without one. A file held by
        // another program, or with another key, is no such case.
        const int primary = code & 0xFF;
        if (first.Kind() != EDatabaseError::TKind::Storage || primary == SQLITE_BUSY ||
            primary == SQLITE_LOCKED)
            throw;
        try {
            opened.db = OpenKeyed(path, password, SQLITE_OPEN_READONLY, ReadOnlyVfs(), plain, code);
        } catch (const EDatabaseError& second) {
            if (second.Kind() == EDatabaseError::TKind::Storage) throw first;
            throw;
        }
        opened.readOnlyReason = WhyReadOnly(path);
    }
    sqlite3* db = opened.db.get();
    if (opened.readOnlyReason.empty() && sqlite3_db_readonly(db, "main") == 1)
        opened.readOnlyReason = WhyReadOnly(path);
    SyncForJournal(db);
    // The collation of statements whose order SQLite works out itself; the
    // connection owns it and frees it when it closes.
    auto collator = std::make_unique<TCollator>();
    if (sqlite3_create_collation_v2(
            db, "LORVANE_ICU", SQLITE_UTF8, collator.get(), SqliteCollate,
            [](void* p) { std::unique_ptr<TCollator>(static_cast<TCollator*>(p)); }) == SQLITE_OK)
        collator.release();
    RegisterHistorySearch(db);
    return opened;
}

// A table's columns as SQLite declares them.
struct TColumnInfo {
    std::string name, type;
    int pk;
    bool hasDefault;
};

// Whether SQLite stores the value exactly as given in a column of the
// declared type (its affinity converts nothing): then a change need not be
// read back.
bool StoresAsGiven(const std::string& declared, const TValue& v) {
    if (std::holds_alternative<std::monostate>(v)) return true;
    std::string t;
    for (char c : declared) t += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    auto has = [&](const char* word) { return t.find(word) != std::string::npos; };
    if (has("INT")) return std::holds_alternative<std::int64_t>(v);
    if (has("CHAR") || has("CLOB") || has("TEXT")) return std::holds_alternative<std::string>(v);
    if (t.empty() || has("BLOB")) return true;
    if (has("REAL") || has("FLOA") || has("DOUB")) return std::holds_alternative<double>(v);
    return std::holds_alternative<std::int64_t>(v);  // numeric affinity
}

class TFileBackEnd final : public TBackEnd {
  public:
    explicit TFileBackEnd(TOpened opened)
        : FDb(std::move(opened.db)), FReadOnlyReason(std::move(opened.readOnlyReason)) {
        FHistory.user = OperatingSystemUser();
    }

    sqlite3* Handle() const { return FDb.get(); }

    void Read(const TJetStatement& statement, TSnapshot& into) override;
    bool Update(TRowWrite& row, std::vector<TValue>& stored) override;
    bool Append(TRowWrite& row, std::vector<TValue>& stored) override;
    bool Delete(const TRowWrite& row) override;
    int ReplaceRows(const std::string& table, TSnapshot& source) override;
    std::string ReadOnlyReason() const override { return FReadOnlyReason; }

    void SetCommand(const std::string& command) override { FHistory.command = command; }
    void AddHistoryEntry(const std::string& command, const std::string& detail) override;
    std::vector<THistoryEntry> ReadHistory(const THistoryQuery& query) override;
    std::int64_t ExpireHistory(int days) override;

  private:
    // The statement, prepared once per connection: the bulk commands post
    // every row, and a prepare costs as much as the commit. Reset, ready to
    // bind.
    sqlite3_stmt* Statement(const std::string& sql);
    // Runs a prepared statement that returns no rows; raises on failure.
    void Run(sqlite3_stmt* st);
    // The handle for a change; the first one of a connection puts the file
    // into write-ahead-log mode and installs the history's triggers.
    sqlite3* WriteHandle();
    // Rows the table holds, for ReplaceRows: rowid and values by key.
    struct TStoredRow {
        std::int64_t rowid;
        std::vector<TValue> values;
        bool seen = false;
    };
    const std::vector<TColumnInfo>& TableInfo(const std::string& table);
    // The row as stored now, one value per column; false when it is gone.
    bool ReadBack(const TRowWrite& row, std::vector<TValue>& stored);
    // The row as a change stored it, without reading it when that is certain:
    // every written value stored as given, every other column as read (an
    // update changes only a row that holds them) or, for an append, null or
    // the new rowid.
    void Stored(const TRowWrite& row, bool appended, std::vector<TValue>& stored);

    TFileHistoryContext FHistory;  // read by the connection's triggers: outlives FDb
    DbHandle FDb;
    std::string FReadOnlyReason;
    bool FWritten = false;         // a change ran since the connect
    bool FHistoryChecked = false;  // whether the file has a card list to keep a history of
    std::map<std::string, std::vector<TColumnInfo>> FTables;
    std::vector<std::pair<std::string, Stmt>> FStatements;  // destroyed before FDb
};

sqlite3_stmt* TFileBackEnd::Statement(const std::string& sql) {
    for (auto& [text, st] : FStatements)
        if (text == sql) {
            sqlite3_reset(st.get());
            sqlite3_clear_bindings(st.get());
            return st.get();
        }
    if (FStatements.size() >= 32) FStatements.erase(FStatements.begin());
    FStatements.emplace_back(sql, Prepare(FDb.get(), sql));
    return FStatements.back().second.get();
}

void TFileBackEnd::Run(sqlite3_stmt* st) {
    const int rc = sqlite3_step(st);
    sqlite3_reset(st);  // ends the statement's transaction at once
    if (rc != SQLITE_DONE) throw SqliteError(FDb.get(), rc);
}

sqlite3* TFileBackEnd::WriteHandle() {
    if (!FWritten) {
        FWritten = true;
        UseWriteAheadLog(FDb.get());
    }
    // No change without its entry: a file whose history cannot be set up
    // takes no change.
    if (!FHistoryChecked) {
        InstallFileHistory(FDb.get(), FHistory);
        FHistoryChecked = true;
    }
    return FDb.get();
}

void TFileBackEnd::AddHistoryEntry(const std::string& command, const std::string& detail) {
    sqlite3* db = WriteHandle();
    if (FHistory.installed) AddFileHistoryEntry(db, FHistory, command, detail);
}

std::vector<THistoryEntry> TFileBackEnd::ReadHistory(const THistoryQuery& query) {
    return ReadFileHistory(FDb.get(), query);
}

std::int64_t TFileBackEnd::ExpireHistory(int days) {
    if (days <= 0) return 0;
    sqlite3* db = WriteHandle();
    return FHistory.installed ? ExpireFileHistory(db, FHistory, days) : 0;
}

const std::vector<TColumnInfo>& TFileBackEnd::TableInfo(const std::string& table) {
    auto found = FTables.find(table);
    if (found != FTables.end()) return found->second;
    std::vector<TColumnInfo>& info = FTables[table];
    sqlite3_stmt* raw = nullptr;
    const std::string pragma = "PRAGMA table_info(" + QuoteIdent(table) + ")";
    if (sqlite3_prepare_v2(FDb.get(), pragma.c_str(), -1, &raw, nullptr) == SQLITE_OK) {
        Stmt st(raw);
        while (sqlite3_step(st.get()) == SQLITE_ROW) {
            auto text = [&](int c) {
                auto p = reinterpret_cast<const char*>(sqlite3_column_text(st.get(), c));
                return std::string(p ? p : "");
            };
            info.push_back({text(1), text(2), sqlite3_column_int(st.get(), 5),
                            sqlite3_column_type(st.get(), 4) != SQLITE_NULL});
        }
    } else {
        sqlite3_finalize(raw);
    }
    return info;
}

void TFileBackEnd::Read(const TJetStatement& statement, TSnapshot& into) {
    sqlite3* db = FDb.get();
    // A table read before may have been changed by another program.
    FTables.clear();
    auto typeOf = [&](const std::string& column) {
        for (const TColumnInfo& c : TableInfo(statement.fromTable))
            if (EqualsNoCase(c.name, column)) return MakeFieldDef("", c.type.c_str()).type;
        return TFieldType::Other;
    };
    // When SQLite sorts: text in the program's collation, granted rows first.
    TSqlForm form;
    form.numericBooleans = true;
    form.orderTerm = [&](const std::string& column, const std::string& term) {
        const TFieldType type = typeOf(column);
        if (type == TFieldType::Text) return term + " COLLATE LORVANE_ICU";
        if (type == TFieldType::Boolean) return "(" + term + "=0)";
        return term;
    };
    TSqlForm withRow = form;
    withRow.firstColumn = "rowid";
    const bool writable = !statement.table.empty();

    // With the rowid as first column when the rows can be written back.
    auto prepare = [&](TSqlForm plainForm, TSqlForm rowForm, bool& haveRow) {
        haveRow = false;
        if (writable) {
            const std::string sql = RenderSql(statement, rowForm);
            sqlite3_stmt* raw = nullptr;
            if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) == SQLITE_OK) {
                haveRow = true;
                return Stmt(raw);
            }
            sqlite3_finalize(raw);  // e.g. a view: fall back to reading only
        }
        return Prepare(db, RenderSql(statement, plainForm));
    };
    auto namesOf = [](sqlite3_stmt* st, int first, std::vector<std::string>& names,
                      std::vector<std::string>& origins) {
        for (int k = first; k < sqlite3_column_count(st); ++k) {
            const char* origin = sqlite3_column_origin_name(st, k);
            names.emplace_back(sqlite3_column_name(st, k));
            origins.emplace_back(origin ? origin : "");
        }
    };

    Stmt st;
    bool haveRow = false;
    if (!statement.sortColumns.empty()) {
        // SQLite still checks the whole statement, so an unknown sort column
        // fails with its own message as ever.
        Prepare(db, RenderSql(statement, form));
        TSqlForm unsorted = form, unsortedRow = withRow;
        unsorted.withoutOrderBy = unsortedRow.withoutOrderBy = true;
        st = prepare(unsorted, unsortedRow, haveRow);
        std::vector<std::string> names, origins;
        namesOf(st.get(), haveRow ? 1 : 0, names, origins);
        into.sortPlan = MatchSortPlan(statement.sortColumns, names, origins);
        if (into.sortPlan.empty()) st.reset();  // not a column of the result: SQLite sorts
    }
    if (!st) st = prepare(form, withRow, haveRow);

    const int first = haveRow ? 1 : 0;
    const int cols = sqlite3_column_count(st.get()) - first;
    into.defs.reserve(cols);
    for (int c = 0; c < cols; ++c) {
        into.defs.push_back(MakeFieldDef(sqlite3_column_name(st.get(), c + first),
                                         sqlite3_column_decltype(st.get(), c + first)));
        const char* origin = sqlite3_column_origin_name(st.get(), c + first);
        into.origins.emplace_back(origin ? origin : "");
    }
    if (haveRow) {
        into.table = statement.table;
        // The key: the table's primary key, when every column of it is read.
        std::vector<int> key;
        bool whole = true;
        for (const TColumnInfo& info : TableInfo(statement.table)) {
            if (info.pk == 0) continue;
            int found = -1;
            for (int c = 0; c < cols && found < 0; ++c)
                if (EqualsNoCase(into.origins[c], info.name)) found = c;
            if (found < 0) whole = false;
            key.push_back(found);
        }
        if (whole) into.keyFields = std::move(key);
    }

    int rc;
    while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
        for (int c = 0; c < cols; ++c) into.AddCell(ColumnValue(st.get(), c + first));
        into.EndRow(haveRow ? sqlite3_column_int64(st.get(), 0) : 0);
    }
    if (rc != SQLITE_DONE) throw SqliteError(db, rc);
}

void TFileBackEnd::Stored(const TRowWrite& row, bool appended, std::vector<TValue>& stored) {
    const std::vector<TColumnInfo>& info = TableInfo(row.table);
    std::vector<TValue> values;
    for (size_t k = 0; k < row.columns.size(); ++k) {
        const TColumnInfo* column = nullptr;
        for (const TColumnInfo& c : info)
            if (EqualsNoCase(c.name, row.columns[k])) column = &c;
        if (!column) return void(ReadBack(row, stored));
        if (row.written[k]) {
            if (!StoresAsGiven(column->type, row.values[k])) return void(ReadBack(row, stored));
            values.push_back(row.values[k]);
        } else if (!appended) {
            values.push_back(row.read[k]);
        } else if (column->pk == 1 && EqualsNoCase(column->type, "INTEGER")) {
            values.emplace_back(std::in_place_type<std::int64_t>, row.token);
        } else if (!column->hasDefault) {
            values.emplace_back();
        } else {
            return void(ReadBack(row, stored));
        }
    }
    stored = std::move(values);
}

bool TFileBackEnd::ReadBack(const TRowWrite& row, std::vector<TValue>& stored) {
    std::string sql;
    for (size_t k = 0; k < row.columns.size(); ++k)
        sql += (k ? ", " : "SELECT ") + QuoteIdent(row.columns[k]);
    if (sql.empty()) return true;
    sqlite3_stmt* st = Statement(sql + " FROM " + QuoteIdent(row.table) + " WHERE rowid=?");
    sqlite3_bind_int64(st, 1, row.token);
    const bool found = sqlite3_step(st) == SQLITE_ROW;
    if (found)
        for (size_t k = 0; k < row.columns.size(); ++k)
            stored.push_back(ColumnValue(st, static_cast<int>(k)));
    sqlite3_reset(st);  // releases the read lock
    return found;
}

// The row is found by its rowid and must still hold every value read; a
// column compared with IS matches null with null.
bool TFileBackEnd::Update(TRowWrite& row, std::vector<TValue>& stored) {
    sqlite3* db = WriteHandle();
    std::string sql = "UPDATE " + QuoteIdent(row.table) + " SET ";
    int n = 0;
    for (size_t k = 0; k < row.columns.size(); ++k)
        if (row.written[k]) sql += (n++ ? ", " : "") + QuoteIdent(row.columns[k]) + "=?";
    if (n == 0) return ReadBack(row, stored);
    sql += " WHERE rowid=?";
    for (const std::string& column : row.columns) sql += " AND " + QuoteIdent(column) + " IS ?";
    sqlite3_stmt* st = Statement(sql);
    int index = 0;
    for (size_t k = 0; k < row.columns.size(); ++k)
        if (row.written[k]) BindValue(st, ++index, row.values[k]);
    sqlite3_bind_int64(st, ++index, row.token);
    for (const TValue& v : row.read) BindValue(st, ++index, v);
    Run(st);
    if (sqlite3_changes(db) == 0) return false;
    // The rowid is the INTEGER PRIMARY KEY column, when there is one, so the
    // row moves with it.
    for (size_t k = 0; k < row.columns.size(); ++k) {
        if (!row.written[k]) continue;
        for (const TColumnInfo& c : TableInfo(row.table)) {
            if (c.pk != 1 || !EqualsNoCase(c.type, "INTEGER") ||
                !EqualsNoCase(c.name, row.columns[k]))
                continue;
            std::int64_t key = 0;
            const TValue& v = row.values[k];
            if (auto p = std::get_if<std::int64_t>(&v))
                row.token = *p;
            else if (auto s = std::get_if<std::string>(&v); s && ParseInt64(*s, key))
                row.token = key;
            else if (auto f = std::get_if<double>(&v))
                row.token = static_cast<std::int64_t>(*f);
        }
    }
    Stored(row, false, stored);
    return true;
}

bool TFileBackEnd::Append(TRowWrite& row, std::vector<TValue>& stored) {
    sqlite3* db = WriteHandle();
    std::string sql = "INSERT INTO " + QuoteIdent(row.table);
    std::string names, marks;
    for (size_t k = 0; k < row.columns.size(); ++k)
        if (row.written[k]) {
            names += (names.empty() ? "" : ", ") + QuoteIdent(row.columns[k]);
            marks += marks.empty() ? "?" : ", ?";
        }
    sql += names.empty() ? " DEFAULT VALUES" : " (" + names + ") VALUES (" + marks + ")";
    sqlite3_stmt* st = Statement(sql);
    int index = 0;
    for (size_t k = 0; k < row.columns.size(); ++k)
        if (row.written[k]) BindValue(st, ++index, row.values[k]);
    const int rc = sqlite3_step(st);
    sqlite3_reset(st);
    if (rc != SQLITE_DONE) {
        // The table's primary key refuses a key that is taken.
        if ((rc & 0xFF) == SQLITE_CONSTRAINT && !row.key.empty()) {
            std::string probe = "SELECT 1 FROM " + QuoteIdent(row.table);
            for (size_t k = 0; k < row.key.size(); ++k)
                probe += (k ? " AND " : " WHERE ") + QuoteIdent(row.columns[row.key[k]]) + " IS ?";
            sqlite3_stmt* check = Statement(probe);
            for (size_t k = 0; k < row.key.size(); ++k)
                BindValue(check, static_cast<int>(k + 1), row.values[row.key[k]]);
            const bool taken = sqlite3_step(check) == SQLITE_ROW;
            sqlite3_reset(check);
            if (taken) return false;
        }
        throw SqliteError(db, rc);
    }
    row.token = sqlite3_last_insert_rowid(db);
    Stored(row, true, stored);
    return true;
}

bool TFileBackEnd::Delete(const TRowWrite& row) {
    sqlite3* db = WriteHandle();
    std::string sql = "DELETE FROM " + QuoteIdent(row.table) + " WHERE rowid=?";
    for (const std::string& column : row.columns) sql += " AND " + QuoteIdent(column) + " IS ?";
    sqlite3_stmt* st = Statement(sql);
    int index = 0;
    sqlite3_bind_int64(st, ++index, row.token);
    for (const TValue& v : row.read) BindValue(st, ++index, v);
    Run(st);
    return sqlite3_changes(db) > 0;
}

// Only what differs is written: rows the source does not hold are deleted,
// rows whose values differ are updated and new rows inserted, so that the
// history records each card that changed, with its values before and after.
int TFileBackEnd::ReplaceRows(const std::string& table, TSnapshot& source) {
    sqlite3* db = WriteHandle();
    FTables.clear();
    // The source's columns that the table has, each cut to the table's size.
    std::vector<int> fields;
    std::vector<int> sizes;
    std::vector<std::string> columns;
    std::vector<int> key;  // positions in columns of the table's primary key
    int keyColumns = 0;
    for (const TColumnInfo& c : TableInfo(table)) {
        if (c.pk > 0) ++keyColumns;
        for (int f = 0; f < source.Cols(); ++f) {
            if (!EqualsNoCase(source.defs[f].name, c.name)) continue;
            if (c.pk > 0) key.push_back(static_cast<int>(columns.size()));
            fields.push_back(f);
            sizes.push_back(MakeFieldDef("", c.type.c_str()).size);
            columns.push_back(c.name);
            break;
        }
    }
    if (fields.empty()) throw EDatabaseError("The card list has no column of table " + table + ".");
    const bool keyed = keyColumns > 0 && static_cast<int>(key.size()) == keyColumns;

    std::string names, marks, sets, differs;
    for (size_t k = 0; k < columns.size(); ++k) {
        const std::string q = QuoteIdent(columns[k]);
        const std::string n = "?" + std::to_string(k + 1);
        names += (k ? ", " : "") + q;
        marks += (k ? ", " : "") + n;
        sets += (k ? ", " : "") + q + "=" + n;
        differs += (k ? " OR " : "") + q + " IS NOT " + n;
    }
    const std::string row = std::to_string(columns.size() + 1);
    const std::string quoted = QuoteIdent(table);

    // A key as compared here: card numbers as whole numbers, whatever their
    // form in the source.
    auto keyOf = [&](const std::vector<TValue>& values) {
        std::vector<TValue> k;
        for (int p : key) {
            const auto whole = WholeCardNumber(values[p]);
            k.push_back(whole ? TValue(std::in_place_type<std::int64_t>, *whole) : values[p]);
        }
        return k;
    };

    int changed = 0;
    Exec(db, "BEGIN IMMEDIATE");
    try {
        std::map<std::vector<TValue>, TStoredRow> stored;
        if (keyed) {
            Stmt read = Prepare(db, "SELECT rowid, " + names + " FROM " + quoted);
            int rc;
            while ((rc = sqlite3_step(read.get())) == SQLITE_ROW) {
                TStoredRow r{sqlite3_column_int64(read.get(), 0), {}};
                for (size_t k = 0; k < columns.size(); ++k)
                    r.values.push_back(ColumnValue(read.get(), static_cast<int>(k + 1)));
                auto k = keyOf(r.values);
                stored.emplace(std::move(k), std::move(r));
            }
            if (rc != SQLITE_DONE) throw SqliteError(db, rc);
        } else {
            Exec(db, ("DELETE FROM " + quoted).c_str());
            changed += sqlite3_changes(db);
        }
        Stmt insert =
            Prepare(db, "INSERT INTO " + quoted + " (" + names + ") VALUES (" + marks + ")");
        Stmt update = Prepare(db, "UPDATE " + quoted + " SET " + sets + " WHERE rowid=?" + row +
                                      " AND (" + differs + ")");
        std::vector<TValue> values(fields.size());  // bound as they are, until the step
        for (int r = 0; r < source.Rows(); ++r) {
            for (size_t k = 0; k < fields.size(); ++k) {
                values[k] = source.At(r, fields[k]);
                if (auto s = std::get_if<std::string>(&values[k]); s && sizes[k] > 0)
                    s->resize(Utf8PrefixBytes(*s, sizes[k]));
            }
            // A key met twice in the source goes to the insert, which refuses it.
            auto found = keyed ? stored.find(keyOf(values)) : stored.end();
            sqlite3_stmt* st = insert.get();
            if (found != stored.end() && !found->second.seen) {
                found->second.seen = true;
                st = update.get();
                sqlite3_bind_int64(st, static_cast<int>(columns.size() + 1), found->second.rowid);
            }
            for (size_t k = 0; k < fields.size(); ++k)
                BindValue(st, static_cast<int>(k + 1), values[k]);
            const int rc = sqlite3_step(st);
            sqlite3_reset(st);
            if (rc != SQLITE_DONE) throw SqliteError(db, rc);
            changed += sqlite3_changes(db);
        }
        Stmt remove = Prepare(db, "DELETE FROM " + quoted + " WHERE rowid=?");
        for (const auto& [k, r] : stored) {
            if (r.seen) continue;
            sqlite3_bind_int64(remove.get(), 1, r.rowid);
            const int rc = sqlite3_step(remove.get());
            sqlite3_reset(remove.get());
            if (rc != SQLITE_DONE) throw SqliteError(db, rc);
            changed += sqlite3_changes(db);
        }
        Exec(db, "COMMIT");
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    return changed;
}

}  // namespace

void CreateDatabaseFile(const std::string& path, const std::string& password, const char* ddl) {
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

std::unique_ptr<TBackEnd> OpenCardFile(const std::string& path, const std::string& password) {
    return std::make_unique<TFileBackEnd>(OpenExisting(path, password));
}

// Page by page from one keyed connection into another, in one consistent
// snapshot of the source and one transaction of the target.
void BackUpFile(sqlite3* source, sqlite3* target) {
    sqlite3_backup* backup = sqlite3_backup_init(target, "main", source, "main");
    if (!backup) throw SqliteError(target, sqlite3_errcode(target));
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int rc;
    // Another program writing meanwhile holds the lock for a moment only.
    while ((rc = sqlite3_backup_step(backup, -1)) == SQLITE_BUSY || rc == SQLITE_LOCKED) {
        if (std::chrono::steady_clock::now() > giveUp) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    sqlite3_backup_finish(backup);
    if (rc != SQLITE_DONE) throw EDatabaseError(sqlite3_errstr(rc), SqliteKind(rc));
    if (sqlite3_errcode(target) != SQLITE_OK && sqlite3_errcode(target) != SQLITE_DONE)
        throw SqliteError(target, sqlite3_errcode(target));
}

sqlite3* FileHandle(const TDbConnection& connection) {
    const auto* file = dynamic_cast<const TFileBackEnd*>(connection.BackEnd());
    return file ? file->Handle() : nullptr;
}
