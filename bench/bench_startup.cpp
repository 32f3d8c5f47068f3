// Start-up costs of the main window: the card list refresh on a large working
// database next to the bare SQLCipher query, the resident memory of the process
// holding that list, and the time from start to the first painted window.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QTableView>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "app/card_files.h"
#include "cardlist.h"
#include "datasrc.h"
#include "mainwindow.h"
#include "settings.h"

namespace {

double Ms(const QElapsedTimer& t) {
    return t.nsecsElapsed() / 1e6;
}

// Peak resident set size of this process, in MB.
double PeakResidentMb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    return -1;
}

std::string MakeAppFolder(const QTemporaryDir& tmp, const char* name, int cards) {
    const std::string folder = tmp.filePath(name).toStdString() + "/";
    QDir().mkpath(QString::fromStdString(folder));
    CreateCardDatabase(folder + "cardlist.mdb", kCardDatabasePassword);
    InsertCards(folder + "cardlist.mdb", ManyCards(cards));
    return folder;
}

// The whole list read with the bare engine on an already keyed connection.
double BareQueryMs(const std::string& path) {
    sqlite3* db = OpenKeyed(path, kCardDatabasePassword);
    Exec(db, "select count(*) from sqlite_master");  // key derivation outside the timing
    QElapsedTimer t;
    t.start();
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "select * from cardlist order by cardno", -1, &st, nullptr);
    long long sum = 0;
    while (sqlite3_step(st) == SQLITE_ROW) {
        sum += sqlite3_column_int(st, 0);
        sum += sqlite3_column_bytes(st, 1) + sqlite3_column_bytes(st, 2);
        sum += sqlite3_column_int(st, 3);
    }
    sqlite3_finalize(st);
    const double ms = Ms(t);
    sqlite3_close(db);
    if (sum == 0) std::printf("(empty list)\n");
    return ms;
}

// Opening and keying a connection plus the bare query: what any start-up pays.
double BareOpenAndQueryMs(const std::string& path) {
    QElapsedTimer t;
    t.start();
    sqlite3* db = OpenKeyed(path, kCardDatabasePassword);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "select * from cardlist order by cardno", -1, &st, nullptr);
    long long sum = 0;
    while (sqlite3_step(st) == SQLITE_ROW) sum += sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    sqlite3_close(db);
    return Ms(t) + (sum == 0 ? 0 : 0);
}

// The engine's share of a refresh: reconnect (with its key derivation) and open
// the list into a snapshot, with no window around it.
double EngineRefreshMs(const std::string& path) {
    TDbConnection connection;
    TDbQuery query("dbcard");
    query.SetConnection(&connection);
    query.SQLAdd("select * from cardlist");
    query.SQLAdd("order by cardno asc");
    connection.SetConnectionString(BuildConnectionString(path));
    QElapsedTimer t;
    t.start();
    connection.Connect();
    query.Open();
    return Ms(t);
}

class PaintWatch : public QObject {
  public:
    bool painted = false;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) painted = true;
        return QObject::eventFilter(watched, event);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir tmp;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(tmp.filePath("config")));
    const double baseMb = PeakResidentMb();

    constexpr int Large = 100000;
    constexpr int Small = 10000;
    const std::string large = MakeAppFolder(tmp, "large", Large);
    const std::string small = MakeAppFolder(tmp, "small", Small);

    // (1) Refresh of the 100,000-card list against the bare query.
    double refresh = 1e300;
    {
        Tdsrc data;
        TLorvane window(data, large);
        window.show();
        QCoreApplication::processEvents();
        double bare = 1e300;
        for (int i = 0; i < 5; ++i) {
            QElapsedTimer t;
            t.start();
            window.RefreshCardList();
            refresh = std::min(refresh, Ms(t));
            bare = std::min(bare, BareQueryMs(large + "cardlist.mdb"));
        }
        std::printf(
            "refresh %d cards: %.1f ms, bare keyed query %.1f ms, ratio %.2f (target <= 2)\n",
            Large, refresh, bare, refresh / bare);
        // Scroll through the list once, as an operator would with the end key.
        window.dbcard.SetRecNo(Large);
        QCoreApplication::processEvents();
        const double peak = PeakResidentMb();
        std::printf(
            "peak resident with %d cards shown: %.1f MB, process before the list %.1f MB, "
            "ratio %.2f (target < 60 MB)\n",
            window.dbgList->model()->rowCount(), peak, baseMb, peak / baseMb);
        // Long commands walk the whole list with the grid hidden, which follows
        // every move.
        {
            window.SetGridVisible(false);
            QElapsedTimer t;
            t.start();
            for (window.dbcard.First(); !window.dbcard.Eof(); window.dbcard.Next()) {
            }
            const double withGrid = Ms(t);
            window.SetGridVisible(true);
            TDbQuery& list = window.dbcard;
            TDbQuery alone("alone");
            alone.SetConnection(&data.adosrc);
            alone.SQLAdd(list.SQLText());
            alone.Open();
            t.restart();
            for (alone.First(); !alone.Eof(); alone.Next()) {
            }
            const double bareWalk = Ms(t);
            std::printf(
                "walk %d rows through dbcard, grid hidden: %.1f ms, same walk without a "
                "grid %.1f ms, ratio %.2f\n",
                Large, withGrid, bareWalk, withGrid / bareWalk);
        }
    }
    // The engine's share, once the window and its list are gone.
    {
        double engine = 1e300;
        for (int i = 0; i < 5; ++i)
            engine = std::min(engine, EngineRefreshMs(large + "cardlist.mdb"));
        std::printf(
            "refresh %d cards: %.1f ms, engine reconnect and open alone %.1f ms, ratio %.2f "
            "(the window's share)\n",
            Large, refresh, engine, refresh / engine);
    }

    // (2) From start to the first painted window with 10,000 cards.
    {
        double best = 1e300;
        for (int i = 0; i < 3; ++i) {
            Tdsrc data;
            QElapsedTimer t;
            t.start();
            TLorvane window(data, small);
            PaintWatch watch;
            window.dbgList->viewport()->installEventFilter(&watch);
            window.show();
            QElapsedTimer limit;
            limit.start();
            while (!watch.painted && limit.elapsed() < 10000)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            best = std::min(best, Ms(t));
        }
        double bare = 1e300;
        for (int i = 0; i < 3; ++i)
            bare = std::min(bare, BareOpenAndQueryMs(small + "cardlist.mdb"));
        std::printf(
            "start to first painted window, %d cards: %.1f ms, bare keyed open and query %.1f ms, "
            "ratio %.2f\n",
            Small, best, bare, best / bare);
    }
    SetSettingsApplication("General");
    return 0;
}
