// Add Card of a 100,000-row CSV file and of a 65,535-row .xlsx workbook into
// an empty list through the main window, end to end, each next to the bare
// loop of the same cards inserted one committed row at a time through a
// connection with the engine's settings (write-ahead log, normal
// synchronisation). Arguments other than the defaults set the row counts.
#include <sqlite3.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "add_card_bench.h"
#include "app/card_files.h"
#include "card_workbook.h"
#include "datasrc.h"
#include "mainwindow.h"
#include "settings.h"
#include "support/fake_prompts.h"

namespace {

TestCard CardOf(int i) {
    return {i, "Holder " + std::to_string(i) + " Müller", "Group " + std::to_string(i % 10),
            i % 3 != 0};
}

void WriteCsv(const std::string& path, int n) {
    std::ofstream out(path, std::ios::binary);
    out << "CARD_NO,DESCRIPTION,GROUP,GRANTED\r\n";
    for (int i = 1; i <= n; ++i) {
        const TestCard c = CardOf(i);
        out << c.cardno << ',' << c.descx << ',' << c.grp << ',' << (c.granted ? "yes" : "no")
            << "\r\n";
    }
}

// One round in a folder of its own: Add Card of the file into an empty list
// through a fresh main window, and the bare loop into another empty list.
TAddCardRound Round(const QString& folder, const std::string& file, int n, Tdsrc& data) {
    QDir().mkpath(folder + "/app");
    const std::string appFolder = (folder + "/app/").toStdString();
    const std::string bareDb = (folder + "/bare.mdb").toStdString();
    const std::string bareHistoryDb = (folder + "/bare_history.mdb").toStdString();
    CreateCardDatabase(appFolder + "cardlist.mdb", kCardDatabasePassword);
    CreateCardDatabase(bareDb, kCardDatabasePassword);
    CreateCardDatabase(bareHistoryDb, kCardDatabasePassword);

    const char* const insert =
        "insert into cardlist (cardno, descx, grp, granted) values (?, ?, ?, ?)";
    auto bind = [](sqlite3_stmt* st, int i) {
        const TestCard c = CardOf(i + 1);
        sqlite3_bind_int(st, 1, c.cardno);
        sqlite3_bind_text(st, 2, c.descx.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 3, c.grp.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(st, 4, c.granted);
    };
    TAddCardRound r;
    r.bare = BareInsertsMs(bareDb, insert, n, bind);
    r.bareWithHistory = BareInsertsWithHistoryMs(bareHistoryDb, insert, n, bind, [](int i) {
        const TestCard c = CardOf(i + 1);
        return "name='" + c.descx + "'; group='" + c.grp + "'; granted=" + (c.granted ? "1" : "0");
    });
    FakePrompts prompts;
    auto window = std::make_unique<TLorvane>(data, appFolder);
    r.import = AddCardMs(*window, prompts, file, n);
    return r;
}

void Measure(const char* what, const QString& base, const std::string& file, int n, Tdsrc& data) {
    const TAddCardRound best =
        BestOfThreeRounds([&](int i) { return Round(base + QString::number(i), file, n, data); });
    std::printf(
        "Add Card of a %d-row %s into an empty list (best of 3): %.0f ms; bare committed "
        "inserts: %.0f ms; ratio %.2f\n",
        n, what, best.import, best.bare, best.import / best.bare);
    // Every card added carries its history row in the same transaction.
    std::printf("  bare committed inserts with their history rows: %.0f ms; ratio %.2f\n",
                best.bareWithHistory, best.import / best.bareWithHistory);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int csvRows = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int xlsxRows = argc > 2 ? std::atoi(argv[2]) : 65535;
    QTemporaryDir tmp;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(tmp.filePath("config")));
    SetSettingsApplication("Lorvane");

    Tdsrc data;
    const std::string csv = tmp.filePath("cards.csv").toStdString();
    const std::string xlsx = tmp.filePath("cards.xlsx").toStdString();
    WriteCsv(csv, csvRows);
    std::vector<TestCard> xlsxCards;
    for (int i = 1; i <= xlsxRows; ++i) xlsxCards.push_back(CardOf(i));
    WriteCardWorkbook(xlsx, xlsxCards);
    Measure("CSV file", tmp.filePath("csv"), csv, csvRows, data);
    Measure(".xlsx workbook", tmp.filePath("xlsx"), xlsx, xlsxRows, data);
    return 0;
}
