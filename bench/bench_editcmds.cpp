// Grant All, Deny All and Delete All end to end through the main window (the
// question answered), next to the bare loop of committed single-row updates
// through SQLCipher with the engine's own connection settings, and one bare
// update of every row in one transaction. Also the cost of one committed post
// with the rollback journal and full synchronisation against the engine's
// settings. Every post carries the optimistic check (the row must still hold
// the values read). 100,000 cards in 2 rounds by default; --cards N and
// --rounds R for others.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/card_files.h"
#include "datasrc.h"
#include "file_backend.h"
#include "mainwindow.h"
#include "settings.h"
#include "support/fake_prompts.h"

namespace {

double Ms(const QElapsedTimer& t) {
    return t.nsecsElapsed() / 1e6;
}

std::string NewWorkDb(const QTemporaryDir& tmp, const char* name, int cards) {
    const std::string folder = tmp.filePath(name).toStdString() + "/";
    QDir().mkpath(QString::fromStdString(folder));
    CreateCardDatabase(folder + "cardlist.mdb", kCardDatabasePassword);
    InsertCards(folder + "cardlist.mdb", ManyCards(cards));
    return folder;
}

void Step(sqlite3* db, sqlite3_stmt* st) {
    const int rc = sqlite3_step(st);
    if (rc != SQLITE_DONE) {
        std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
        std::exit(1);
    }
    sqlite3_reset(st);
}

// Committed single-row updates of the first `rows` cards, one transaction each.
double BareUpdatesMs(sqlite3* db, int rows) {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "update cardlist set granted=? where cardno=?", -1, &st, nullptr);
    QElapsedTimer t;
    t.start();
    for (int i = 1; i <= rows; ++i) {
        sqlite3_bind_int(st, 1, i & 1);
        sqlite3_bind_int(st, 2, i);
        Step(db, st);
    }
    const double ms = Ms(t);
    sqlite3_finalize(st);
    return ms;
}

// (a): through a connection the engine opened and has written with (its first
// post sets the journal and sync it writes with).
double EngineBareLoopMs(const std::string& path, int rows) {
    TDbConnection connection;
    connection.SetConnectionString(BuildConnectionString(path));
    TDbQuery list("list");
    list.SetConnection(&connection);
    list.SQLAdd("select * from cardlist");
    list.Open();
    list.Edit();
    list.FieldByName("granted").SetAsBoolean(true);
    list.Post();
    list.Close();
    return BareUpdatesMs(FileHandle(connection), rows);
}

// (b): one statement, one transaction.
double OneUpdateMs(const std::string& path) {
    TDbConnection connection;
    connection.SetConnectionString(BuildConnectionString(path));
    connection.Connect();
    QElapsedTimer t;
    t.start();
    Exec(FileHandle(connection), "begin");
    Exec(FileHandle(connection), "update cardlist set granted=1");
    Exec(FileHandle(connection), "commit");
    return Ms(t);
}

// One committed post with the rollback journal and full synchronisation, as
// the engine used to commit: a plain keyed connection on a fresh file.
double RollbackPostMs(const QTemporaryDir& tmp, int rows) {
    const std::string folder = NewWorkDb(tmp, "rollback", rows);
    sqlite3* db = OpenKeyed(folder + "cardlist.mdb", kCardDatabasePassword);
    Exec(db, "PRAGMA journal_mode=DELETE");
    Exec(db, "PRAGMA synchronous=FULL");
    const double ms = BareUpdatesMs(db, rows);
    sqlite3_close(db);
    return ms / rows;
}

struct TRun {
    double grantMs, denyMs, deleteMs;
};

TRun RunCommands(const std::string& folder, int cards) {
    FakePrompts prompts;  // every question answered Yes
    Tdsrc data;
    TLorvane window(data, folder);
    TRun run{};
    QElapsedTimer t;
    t.start();
    window.bAllGranted->click();
    run.grantMs = Ms(t);
    t.restart();
    window.bAllDeny->click();
    run.denyMs = Ms(t);
    t.restart();
    window.bClear->click();
    run.deleteMs = Ms(t);
    if (CountCards(folder + "cardlist.mdb") != 0 || window.dbcard.RecordCount() != 0 ||
        prompts.Messages(PromptKind::Error).size() != 0)
        std::printf("(a command did not finish: %d cards left)\n",
                    CountCards(folder + "cardlist.mdb"));
    (void)cards;
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    int cards = 100000;
    int rounds = 2;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--cards") == 0) cards = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    QApplication app(argc, argv);
    QTemporaryDir tmp;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(tmp.filePath("config")));
    SetSettingsApplication("Lorvane");

    constexpr int kSampleRows = 300;  // the old commit is slow: a sample does
    const double before = RollbackPostMs(tmp, kSampleRows);

    // Rounds alternate the baselines and the commands, each on fresh files; the
    // best of each is kept, so that a busy moment of the machine does not
    // count against one side only.
    double bareMs = 1e300, oneMs = 1e300;
    TRun best{1e300, 1e300, 1e300};
    for (int round = 0; round < rounds; ++round) {
        const std::string name = std::to_string(round);
        const std::string bareFolder = NewWorkDb(tmp, ("bare" + name).c_str(), cards);
        bareMs = std::min(bareMs, EngineBareLoopMs(bareFolder + "cardlist.mdb", cards));
        oneMs = std::min(oneMs, OneUpdateMs(bareFolder + "cardlist.mdb"));
        const TRun run = RunCommands(NewWorkDb(tmp, ("work" + name).c_str(), cards), cards);
        best = {std::min(best.grantMs, run.grantMs), std::min(best.denyMs, run.denyMs),
                std::min(best.deleteMs, run.deleteMs)};
    }
    const double after = bareMs / cards;
    std::printf(
        "committed post, per row: rollback journal + full sync %.3f ms, engine (WAL + "
        "normal sync) %.3f ms, ratio %.1fx faster\n",
        before, after, before / after);
    std::printf(
        "%d cards, best of %d: (a) bare committed updates %.0f ms, (b) one update %.0f ms\n", cards,
        rounds, bareMs, oneMs);
    auto line = [&](const char* name, double ms) {
        std::printf("  %-10s %8.0f ms  %.3f ms/row  %.2fx (a)  %.0fx (b)\n", name, ms, ms / cards,
                    ms / bareMs, ms / oneMs);
    };
    line("Grant All", best.grantMs);
    line("Deny All", best.denyMs);
    line("Delete All", best.deleteMs);
    return 0;
}
