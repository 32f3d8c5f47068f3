// What the Add Card benchmarks share: the baseline of bare committed inserts,
// Add Card timed through the main window, and the best of alternating rounds.
#pragma once

#include <sqlcipher/sqlite3.h>

#include <QPushButton>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/card_files.h"
#include "bare_file.h"
#include "dbengine.h"
#include "file_backend.h"
#include "file_history.h"
#include "mainwindow.h"
#include "support/fake_prompts.h"

// The bare loop, in milliseconds: count inserts of sql, each its own
// committed transaction, on a connection keyed by the engine and with the
// settings the engine writes with (a write-ahead log, normal
// synchronisation), as the import's list has them. bind(st, i) binds the
// i-th row (from 0).
template <typename Bind>
double BareInsertsMs(const std::string& path, const char* sql, int count, Bind bind) {
    TDbConnection connection;
    sqlite3* db = ConnectBare(connection, path, false);
    if (StoredText(path, "PRAGMA journal_mode") != "wal") {
        std::fprintf(stderr, "the bare list is not in write-ahead-log mode\n");
        std::exit(1);
    }
    sqlite3_stmt* st = PrepareBare(db, sql);
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        bind(st, i);
        StepBare(db, st);
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    sqlite3_finalize(st);
    return ms;
}

// The bare loop with what every card change must carry: each insert and the
// card's history row (as the program's entry: time, user, command, the
// card's values) in one committed transaction of their own, on the same
// settings. after(i) is the i-th card's values as the entry shows them.
template <typename Bind, typename After>
double BareInsertsWithHistoryMs(const std::string& path, const char* sql, int count, Bind bind,
                                After after) {
    TDbConnection connection;
    sqlite3* db = ConnectBare(connection, path, true);
    auto prepare = [db](const char* text) { return PrepareBare(db, text); };
    sqlite3_stmt* begin = prepare("BEGIN IMMEDIATE");
    sqlite3_stmt* commit = prepare("COMMIT");
    sqlite3_stmt* st = prepare(sql);
    sqlite3_stmt* entry = prepare(
        "INSERT INTO history (at, who, command, cardno, before, after) VALUES "
        "(strftime('%Y-%m-%dT%H:%M:%fZ','now'), 'operator', 'Add Card', ?, NULL, ?)");
    auto run = [db](sqlite3_stmt* st) { StepBare(db, st); };
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        run(begin);
        bind(st, i);
        run(st);
        const std::string text = after(i);
        sqlite3_bind_int64(entry, 1, sqlite3_last_insert_rowid(db));
        sqlite3_bind_text(entry, 2, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
        run(entry);
        run(commit);
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    for (sqlite3_stmt* s : {begin, commit, st, entry}) sqlite3_finalize(s);
    return ms;
}

// Add Card of file through the window's button, in milliseconds; the run
// ends when the summary does not tell of `added` new cards.
inline double AddCardMs(TLorvane& window, FakePrompts& prompts, const std::string& file,
                        int added) {
    prompts.fileAnswers = {QString::fromStdString(file)};
    const auto t0 = std::chrono::steady_clock::now();
    window.bAdd->click();
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    const QStringList summary = prompts.Messages(PromptKind::Plain);
    if (summary.size() != 1 || !summary[0].contains(QString("New card added = %1").arg(added))) {
        std::fprintf(stderr, "import failed: %s\n", qPrintable(prompts.All().join(" | ")));
        std::exit(1);
    }
    return ms;
}

struct TAddCardRound {
    double import = 0;
    double bare = 0;
    double bareWithHistory = 0;  // the bare loop with each card's history row
};

// Alternating rounds, best of each: other work on the machine only ever
// slows a round down. round(i) runs the i-th.
template <typename Round>
TAddCardRound BestOfThreeRounds(Round round) {
    TAddCardRound best{1e300, 1e300, 1e300};
    for (int i = 0; i < 3; ++i) {
        const TAddCardRound r = round(i);
        best.import = std::min(best.import, r.import);
        best.bare = std::min(best.bare, r.bare);
        best.bareWithHistory = std::min(best.bareWithHistory, r.bareWithHistory);
    }
    return best;
}
