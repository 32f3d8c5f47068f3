// The bare baselines' connection to a card database file.
#pragma once

#include <sqlcipher/sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cardlist.h"
#include "dbengine.h"
#include "file_backend.h"
#include "file_history.h"

// Connects `connection` to the file keyed as the engine keys it and with the
// settings the engine writes with (a write-ahead log, normal
// synchronisation); with `history`, the history table the program keeps is
// made too. Returns the SQLite handle of the connection.
inline sqlite3* ConnectBare(TDbConnection& connection, const std::string& path, bool history) {
    connection.SetConnectionString(BuildConnectionString(path));
    connection.Connect();
    sqlite3* db = FileHandle(connection);
    Exec(db, "PRAGMA journal_mode=WAL");
    Exec(db, "PRAGMA synchronous=NORMAL");
    if (history) Exec(db, kHistoryDdl);
    return db;
}

// A statement of a bare loop; a baseline that cannot run ends the benchmark.
inline sqlite3_stmt* PrepareBare(sqlite3* db, const char* text) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, text, -1, &st, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "prepare: %s\n", sqlite3_errmsg(db));
        std::exit(1);
    }
    return st;
}

inline void StepBare(sqlite3* db, sqlite3_stmt* st) {
    if (sqlite3_step(st) != SQLITE_DONE) {
        std::fprintf(stderr, "bare loop: %s\n", sqlite3_errmsg(db));
        std::exit(1);
    }
    sqlite3_reset(st);
}
