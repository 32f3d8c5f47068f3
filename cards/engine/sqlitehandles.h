// Owning handles of SQLite connections and statements, running a plain
// statement, and SQLite's failures as the engine's errors, for the card
// database file back end.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>

#include "dbengine.h"

struct DbCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using DbHandle = std::unique_ptr<sqlite3, DbCloser>;

struct StmtFinalizer {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

// What a SQLite result code is about: one row (a constraint, a value the
// column refuses), or the file as a whole for now (full, failing input or
// output, read-only, held by another program, gone). A damaged file or a
// wrong key is neither.
inline EDatabaseError::TKind SqliteKind(int rc) {
    switch (rc & 0xFF) {
        case SQLITE_CONSTRAINT:
        case SQLITE_MISMATCH:
        case SQLITE_TOOBIG:
            return EDatabaseError::TKind::Row;
        case SQLITE_FULL:
        case SQLITE_IOERR:
        case SQLITE_READONLY:
        case SQLITE_CANTOPEN:
        case SQLITE_PERM:
        case SQLITE_NOMEM:
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
        case SQLITE_PROTOCOL:
        case SQLITE_NOLFS:
            return EDatabaseError::TKind::Storage;
        default:
            return EDatabaseError::TKind::General;
    }
}

// The connection's last failure as the engine's error, with SQLite's message.
inline EDatabaseError SqliteError(sqlite3* db, int rc) {
    return EDatabaseError(db ? sqlite3_errmsg(db) : sqlite3_errstr(rc), SqliteKind(rc));
}

// Runs statements that return nothing the caller needs; raises the engine's
// message.
inline void Exec(sqlite3* db, const char* sql) {
    char* err = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        std::string msg = err ? err : sqlite3_errmsg(db);
        sqlite3_free(err);
        throw EDatabaseError(msg, SqliteKind(rc));
    }
}
