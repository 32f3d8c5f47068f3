// Add Card of a 10,000-card batch into a list of 10,000 cards through the main
// window, end to end, next to the bare loop of 10,000 committed single-row
// inserts through a connection with the engine's settings; and LocateCard on
// lists of two sizes. An argument other than the default sets the card count.
#include <sqlite3.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "add_card_bench.h"
#include "app/card_files.h"
#include "datasrc.h"
#include "dbengine.h"
#include "file_backend.h"
#include "import.h"
#include "mainwindow.h"
#include "settings.h"
#include "support/fake_prompts.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

std::vector<TestCard> Numbered(int first, int count) {
    std::vector<TestCard> cards;
    for (int i = 0; i < count; ++i)
        cards.push_back({first + i, "Holder " + std::to_string(first + i), "", i % 3 == 0});
    return cards;
}

void MakeList(const std::string& path, int first, int count) {
    CreateCardDatabase(path, kCardDatabasePassword);
    InsertCards(path, Numbered(first, count));
}

// Mean time of one LocateCard over the whole list, in nanoseconds.
double LocateNs(TLorvane& window, int first, int count) {
    LocateCard(window, first);  // builds the index
    const int rounds = 200000;
    const auto t0 = Clock::now();
    int found = 0;
    for (int i = 0; i < rounds; ++i) found += LocateCard(window, first + (i * 7919) % count);
    const double ns = Ms(Clock::now() - t0) * 1e6 / rounds;
    if (found != rounds) std::fprintf(stderr, "locate missed %d cards\n", rounds - found);
    return ns;
}

// One round in a folder of its own: the import end to end through a fresh
// main window, and the bare loop on a copy of the same list.
TAddCardRound Round(const QString& folder, int n, std::unique_ptr<TLorvane>& keep, Tdsrc& data) {
    QDir().mkpath(folder + "/app");
    const std::string appFolder = (folder + "/app/").toStdString();
    const std::string workDb = appFolder + "cardlist.mdb";
    const std::string bareDb = (folder + "/bare.mdb").toStdString();
    const std::string bareHistoryDb = (folder + "/bare_history.mdb").toStdString();
    const std::string batch = (folder + "/batch.mdb").toStdString();
    MakeList(workDb, 1, n);
    MakeList(bareDb, 1, n);
    MakeList(bareHistoryDb, 1, n);
    CreateCardBatchDatabase(batch, kCardDatabasePassword);
    {
        sqlite3* db = OpenKeyed(batch, kCardDatabasePassword);
        Exec(db, "begin");
        for (int i = 0; i < n; ++i)
            Exec(db, ("insert into card values (" + std::to_string(n + 1 + i) + ")").c_str());
        Exec(db, "commit");
        sqlite3_close(db);
    }

    TAddCardRound r;
    r.bare =
        BareInsertsMs(bareDb, "insert into cardlist (cardno, descx, granted) values (?, '', 0)", n,
                      [&](sqlite3_stmt* st, int i) { sqlite3_bind_int(st, 1, n + 1 + i); });
    r.bareWithHistory = BareInsertsWithHistoryMs(
        bareHistoryDb, "insert into cardlist (cardno, descx, granted) values (?, '', 0)", n,
        [&](sqlite3_stmt* st, int i) { sqlite3_bind_int(st, 1, n + 1 + i); },
        [](int) { return std::string("name=''; group=NULL; granted=0"); });
    FakePrompts prompts;
    keep.reset();
    keep = std::make_unique<TLorvane>(data, appFolder);
    r.import = AddCardMs(*keep, prompts, batch, n);
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int n = argc > 1 ? std::atoi(argv[1]) : 10000;
    QTemporaryDir tmp;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(tmp.filePath("config")));
    SetSettingsApplication("Lorvane");

    Tdsrc data;
    std::unique_ptr<TLorvane> window;
    const TAddCardRound best = BestOfThreeRounds(
        [&](int i) { return Round(tmp.filePath(QString("round%1").arg(i)), n, window, data); });
    std::printf(
        "Add Card of %d cards into %d (best of 3): %.0f ms; bare committed inserts: %.0f ms; "
        "ratio %.2f\n",
        n, n, best.import, best.bare, best.import / best.bare);
    // Every card added carries its history row in the same transaction.
    std::printf("bare committed inserts with their history rows: %.0f ms; ratio %.2f\n",
                best.bareWithHistory, best.import / best.bareWithHistory);
    // The import opens the batch file, whose key is derived once (64,000
    // PBKDF2 rounds): the bare loop has no file to open.
    const std::string fresh = tmp.filePath("fresh.mdb").toStdString();
    CreateCardBatchDatabase(fresh, kCardDatabasePassword);
    TDbConnection connection;
    connection.SetConnectionString(BuildConnectionString(fresh));
    const auto k0 = Clock::now();
    connection.Connect();
    const double kdf = Ms(Clock::now() - k0);
    std::printf(
        "of which opening the batch file (key derivation): %.0f ms; without it ratio %.2f\n", kdf,
        (best.import - kdf) / best.bare);

    // Constant time: the same per-call cost on a list ten times as long; the
    // grid is hidden, as during an import.
    window->SetGridVisible(false);
    const std::string workDb = window->WorkDbPath();
    const double small = LocateNs(*window, 1, 2 * n);
    InsertCards(workDb, Numbered(2 * n + 1, 18 * n));
    window->RefreshCardList();
    window->SetGridVisible(false);
    const double large = LocateNs(*window, 1, 20 * n);
    std::printf("LocateCard: %.0f ns per call on %d cards, %.0f ns on %d cards; ratio %.2f\n",
                small, 2 * n, large, 20 * n, large / small);
    return 0;
}
