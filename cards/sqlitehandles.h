// Owning handles of SQLite connections and statements, and running a plain
// statement, for the engine's own files.
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

// Runs statements that return nothing the caller needs; raises the engine's
// message.
inline void Exec(sqlite3* db, const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        std::string msg = err ? err : sqlite3_errmsg(db);
        sqlite3_free(err);
        throw EDatabaseError(msg);
    }
}
