// The activity history's costs, each next to its baseline in the same run:
// - Grant All on 100,000 cards through the main window with the history
//   written, next to the same command with the history's triggers removed
//   from the connection (at most 1.5x), and the floor: the bare committed
//   update loop with each card's history row next to it without;
// - the History window on 1,000,000 entries: from the command to the first
//   rows painted (under 300 ms), and a card number typed in the filter to its
//   rows painted (under 100 ms), next to the bare select of the same page.
// --cards N, --entries N and --rounds R for other sizes.
#include <sys/resource.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/card_files.h"
#include "bare_file.h"
#include "datasrc.h"
#include "file_backend.h"
#include "file_history.h"
#include "history.h"
#include "historymodel.h"
#include "mainwindow.h"
#include "settings.h"
#include "support/fake_prompts.h"

namespace {

double Ms(const QElapsedTimer& t) {
    return t.nsecsElapsed() / 1e6;
}

// Processor time of this process so far (user and system), in ms.
double CpuMs() {
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    return (use.ru_utime.tv_sec + use.ru_stime.tv_sec) * 1e3 +
           (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e3;
}

struct TTimes {
    double wall, cpu;
};

std::string NewWorkDb(const QTemporaryDir& tmp, const std::string& name, int cards) {
    const std::string folder = tmp.filePath(QString::fromStdString(name)).toStdString() + "/";
    QDir().mkpath(QString::fromStdString(folder));
    CreateCardDatabase(folder + "cardlist.mdb", kCardDatabasePassword);
    std::vector<TestCard> list = ManyCards(cards);
    for (TestCard& c : list) c.granted = false;  // every card changes
    InsertCards(folder + "cardlist.mdb", list);
    return folder;
}

// Grant All through the window; without the history, the connection's
// triggers are put in place by a first entry and then dropped.
TTimes GrantAll(const std::string& folder, bool withHistory) {
    FakePrompts prompts;
    Tdsrc data;
    TLorvane window(data, folder);
    data.adosrc.AddHistoryEntry("Bench", "start");
    if (!withHistory)
        for (const char* name : {"insert", "update", "delete"})
            Exec(FileHandle(data.adosrc),
                 (std::string("DROP TRIGGER temp.lorvane_history_") + name).c_str());
    QElapsedTimer t;
    t.start();
    const double cpu = CpuMs();
    window.bAllGranted->click();
    const TTimes times{Ms(t), CpuMs() - cpu};
    if (!prompts.Messages(PromptKind::Error).isEmpty()) std::printf("(Grant All failed)\n");
    return times;
}

// The floor of the history's cost: committed single-row updates of every
// card (granted set) on a connection with the engine's settings, each alone,
// or each with its history row in the same transaction.
double BareUpdatesMs(const std::string& path, int cards, bool withHistory) {
    TDbConnection connection;
    sqlite3* db = ConnectBare(connection, path, true);
    auto prepare = [db](const char* text) { return PrepareBare(db, text); };
    sqlite3_stmt* begin = prepare("BEGIN IMMEDIATE");
    sqlite3_stmt* commit = prepare("COMMIT");
    sqlite3_stmt* update = prepare("UPDATE cardlist SET granted=1 WHERE cardno=?");
    sqlite3_stmt* entry = prepare(
        "INSERT INTO history (at, who, command, cardno, before, after) VALUES "
        "(strftime('%Y-%m-%dT%H:%M:%fZ','now'), 'operator', 'Grant All', ?, 'granted=0', "
        "'granted=1')");
    auto run = [db](sqlite3_stmt* st) { StepBare(db, st); };
    QElapsedTimer t;
    t.start();
    for (int no = 1; no <= cards; ++no) {
        if (withHistory) run(begin);
        sqlite3_bind_int(update, 1, no);
        run(update);
        if (withHistory) {
            sqlite3_bind_int(entry, 1, no);
            run(entry);
            run(commit);
        }
    }
    const double ms = Ms(t);
    for (sqlite3_stmt* st : {begin, commit, update, entry}) sqlite3_finalize(st);
    return ms;
}

// Waits until the widget has been painted once more.
class TPainted : public QObject {
  public:
    explicit TPainted(QWidget* widget) { widget->installEventFilter(this); }
    bool painted = false;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) painted = true;
        return false;
    }
    void Wait() {
        QElapsedTimer limit;
        limit.start();
        while (!painted && limit.elapsed() < 10000) QApplication::processEvents();
    }
};

// The bare first page of a filter straight from the file.
double BareFirstPageMs(const std::string& path, const char* where) {
    sqlite3* db = OpenKeyed(path, kCardDatabasePassword);
    Exec(db, "select count(*) from sqlite_master");  // the key, derived before the clock runs
    QElapsedTimer t;
    t.start();
    sqlite3_stmt* st = nullptr;
    const std::string sql = std::string(
                                "select h.id, h.at, h.who, h.command, h.cardno, h.before, "
                                "h.after, h.detail from ") +
                            where + " order by h.id desc limit 200";
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
        std::printf("(%s)\n", sqlite3_errmsg(db));
    int rows = 0;
    while (sqlite3_step(st) == SQLITE_ROW) ++rows;
    sqlite3_finalize(st);
    const double ms = Ms(t);
    sqlite3_close(db);
    if (rows == 0) std::printf("(no rows: %s)\n", where);
    return ms;
}

void WindowFigures(const QTemporaryDir& tmp, int entries, int cards) {
    const std::string folder = NewWorkDb(tmp, "window", cards);
    const std::string path = folder + "cardlist.mdb";
    {
        TDbConnection connection;
        connection.SetConnectionString(BuildConnectionString(path));
        connection.AddHistoryEntry("Bench", "start");
    }
    {
        sqlite3* db = OpenKeyed(path, kCardDatabasePassword);
        const std::string sql =
            "with recursive n(i) as (select 1 union all select i+1 from n where i<" +
            std::to_string(entries) +
            ") insert into history (at, who, command, cardno, before, after) select "
            "strftime('%Y-%m-%dT%H:%M:%fZ','now'), 'operator', 'Edit', 1 + (i * 7919) % " +
            std::to_string(cards) +
            ", 'name=''Holder ' || i || '''; group=NULL; granted=0', "
            "'name=''Holder ' || i || '''; group=NULL; granted=1' from n";
        Exec(db, sql.c_str());
        sqlite3_close(db);
    }
    {
        // As a bulk command's end would: the card index catches up.
        TDbConnection connection;
        connection.SetConnectionString(BuildConnectionString(path));
        connection.AddHistoryEntry("Bench", "indexed");
    }
    FakePrompts prompts;
    Tdsrc data;
    TLorvane window(data, folder);
    window.show();
    QApplication::processEvents();

    const double bareOpen = BareFirstPageMs(path, "history h");
    QElapsedTimer t;
    t.start();
    TdlgHistory dialog(&window, data.adosrc.ConnectionString(), std::nullopt);
    TPainted first(dialog.dbgHistory->viewport());
    dialog.show();
    first.Wait();
    const double openMs = Ms(t);
    const int shown = dialog.Model().rowCount();

    const int card = cards / 2;
    const std::string where =
        "history_card c join history h on h.id = c.id where c.cardno = " + std::to_string(card);
    const double bareFilter = BareFirstPageMs(path, where.c_str());
    TPainted again(dialog.dbgHistory->viewport());
    t.restart();
    dialog.eCard->setText(QString::number(card));
    dialog.ApplyFilter();
    again.Wait();
    const double filterMs = Ms(t);
    std::printf("History window on %d entries (%d rows in memory):\n", entries, shown);
    std::printf(
        "  open to first rows painted   %7.1f ms  (limit 300 ms)  bare first page %6.1f ms\n",
        openMs, bareOpen);
    std::printf(
        "  card filter to rows painted  %7.1f ms  (limit 100 ms)  bare first page %6.1f ms, "
        "%d rows\n",
        filterMs, bareFilter, dialog.Model().rowCount());
}

}  // namespace

int main(int argc, char** argv) {
    int cards = 100000;
    int entries = 1000000;
    int rounds = 2;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--cards") == 0) cards = std::max(1, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--entries") == 0) entries = std::max(1, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    QApplication app(argc, argv);
    QTemporaryDir tmp;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(tmp.filePath("config")));
    SetSettingsApplication("Lorvane");

    // Rounds alternate the two sides on fresh files; the best of each counts.
    TTimes with{1e300, 1e300}, without{1e300, 1e300};
    double bare = 1e300, bareWithHistory = 1e300;
    for (int round = 0; round < rounds; ++round) {
        const std::string n = std::to_string(round);
        bare = std::min(
            bare, BareUpdatesMs(NewWorkDb(tmp, "bare" + n, cards) + "cardlist.mdb", cards, false));
        bareWithHistory = std::min(
            bareWithHistory,
            BareUpdatesMs(NewWorkDb(tmp, "barehistory" + n, cards) + "cardlist.mdb", cards, true));
        const TTimes a = GrantAll(NewWorkDb(tmp, "without" + n, cards), false);
        const TTimes b = GrantAll(NewWorkDb(tmp, "with" + n, cards), true);
        without = {std::min(without.wall, a.wall), std::min(without.cpu, a.cpu)};
        with = {std::min(with.wall, b.wall), std::min(with.cpu, b.cpu)};
    }
    std::printf("Grant All on %d cards, card database file, best of %d:\n", cards, rounds);
    std::printf("  with the history %8.0f ms, without %8.0f ms: %.2fx (limit 1.5x)\n", with.wall,
                without.wall, with.wall / without.wall);
    std::printf("  processor time   %8.0f ms, without %8.0f ms: %.2fx\n", with.cpu, without.cpu,
                with.cpu / without.cpu);
    // What the history's rows cost by themselves, without the program.
    std::printf(
        "  bare committed updates with their history rows %8.0f ms, without %8.0f ms: %.2fx\n",
        bareWithHistory, bare, bareWithHistory / bare);

    WindowFigures(tmp, entries, cards);
    return 0;
}
