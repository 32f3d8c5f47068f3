// Writes card rows straight into a card database file, in one transaction, so
// that tests and benchmarks can prepare lists of any size quickly.
#pragma once

#include <sqlcipher/sqlite3.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "dbengine.h"

struct TestCard {
    int cardno;
    std::string descx;
    std::string grp;  // empty: null
    bool granted;
};

inline sqlite3* OpenKeyed(const std::string& path, const std::string& password) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        throw std::runtime_error("cannot open " + path);
    }
    sqlite3_key(db, password.data(), static_cast<int>(password.size()));
    sqlite3_exec(db, "PRAGMA cipher_compatibility = 3", nullptr, nullptr, nullptr);
    return db;
}

inline void Exec(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string text = error ? error : "?";
        sqlite3_free(error);
        throw std::runtime_error(text);
    }
}

inline void InsertCards(const std::string& path, const std::vector<TestCard>& cards,
                        const std::string& password = kCardDatabasePassword) {
    sqlite3* db = OpenKeyed(path, password);
    try {
        Exec(db, "begin");
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db,
                               "insert into cardlist (cardno, descx, grp, granted) "
                               "values (?, ?, ?, ?)",
                               -1, &st, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(db));
        for (const TestCard& c : cards) {
            sqlite3_bind_int(st, 1, c.cardno);
            sqlite3_bind_text(st, 2, c.descx.c_str(), -1, SQLITE_TRANSIENT);
            if (c.grp.empty())
                sqlite3_bind_null(st, 3);
            else
                sqlite3_bind_text(st, 3, c.grp.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(st, 4, c.granted ? 1 : 0);
            if (sqlite3_step(st) != SQLITE_DONE) {
                std::string text = sqlite3_errmsg(db);
                sqlite3_finalize(st);
                throw std::runtime_error(text);
            }
            sqlite3_reset(st);
        }
        sqlite3_finalize(st);
        Exec(db, "commit");
    } catch (...) {
        sqlite3_close(db);
        throw;
    }
    sqlite3_close(db);
}

// Number of rows of cardlist, read without the program's engine; -1 when the
// table cannot be read.
// The first column of a statement's first row straight from the file: its
// text, "<null>", or "<none>" when there is no row.
inline std::string StoredText(const std::string& path, const std::string& sql) {
    sqlite3* db = OpenKeyed(path, kCardDatabasePassword);
    sqlite3_stmt* st = nullptr;
    std::string out = "<none>";
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        out = sqlite3_column_type(st, 0) == SQLITE_NULL
                  ? "<null>"
                  : reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
}

inline int CountCards(const std::string& path) {
    sqlite3* db = OpenKeyed(path, kCardDatabasePassword);
    sqlite3_stmt* st = nullptr;
    int count = -1;
    if (sqlite3_prepare_v2(db, "select count(*) from cardlist", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        count = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    sqlite3_close(db);
    return count;
}

// n cards numbered 1..n, inserted in a scrambled order; every third granted.
inline std::vector<TestCard> ManyCards(int n) {
    std::vector<TestCard> cards;
    cards.reserve(n);
    for (int i = 0; i < n; ++i) {
        const int no = static_cast<int>((static_cast<long long>(i) * 7919) % n) + 1;
        cards.push_back(
            {no, "Holder " + std::to_string(no), "Group " + std::to_string(no % 10), no % 3 == 0});
    }
    return cards;
}
