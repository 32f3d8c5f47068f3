// Add Card of a 100,000-row CSV file and of a 65,535-row .xlsx workbook into
// an empty list through the main window, end to end, each next to the bare
// loop of the same cards inserted one committed row at a time through a
// connection with the engine's settings (write-ahead log, normal
// synchronisation). Arguments other than the defaults set the row counts.
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
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/card_files.h"
#include "datasrc.h"
#include "dbengine.h"
#include "export.h"
#include "file_backend.h"
#include "mainwindow.h"
#include "settings.h"
#include "support/fake_prompts.h"
#include "xlswriter.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

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

void WriteXlsx(const std::string& path, int n) {
    const std::string connection = BuildExcelConnectionString(path);
    CreateExcelTable(connection, CardListTable());
    TExcelTable table;
    table.Open(connection, CardListTable());
    for (int i = 1; i <= n; ++i) {
        const TestCard c = CardOf(i);
        table.Append();
        table.SetInteger("CARD_NO", c.cardno);
        table.SetText("DESCRIPTION", c.descx);
        table.SetText("GROUP", c.grp);
        table.SetBoolean("GRANTED", c.granted);
        table.Post();
    }
    table.Close();
}

// The bare loop: each card its own committed insert, on a connection keyed by
// the engine and set as the engine sets a file it writes.
double BareInserts(const std::string& path, int n) {
    TDbConnection connection;
    connection.SetConnectionString(BuildConnectionString(path));
    connection.Connect();
    sqlite3* db = FileHandle(connection);
    Exec(db, "PRAGMA journal_mode=WAL");
    Exec(db, "PRAGMA synchronous=NORMAL");
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "insert into cardlist (cardno, descx, grp, granted) values (?, ?, ?, ?)",
                       -1, &st, nullptr);
    const auto t0 = Clock::now();
    for (int i = 1; i <= n; ++i) {
        const TestCard c = CardOf(i);
        sqlite3_bind_int(st, 1, c.cardno);
        sqlite3_bind_text(st, 2, c.descx.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 3, c.grp.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(st, 4, c.granted);
        if (sqlite3_step(st) != SQLITE_DONE) {
            std::fprintf(stderr, "insert: %s\n", sqlite3_errmsg(db));
            std::exit(1);
        }
        sqlite3_reset(st);
    }
    const double ms = Ms(Clock::now() - t0);
    sqlite3_finalize(st);
    return ms;
}

struct TRound {
    double import = 0;
    double bare = 0;
};

// One round in a folder of its own: Add Card of the file into an empty list
// through a fresh main window, and the bare loop into another empty list.
TRound Round(const QString& folder, const std::string& file, int n, Tdsrc& data) {
    QDir().mkpath(folder + "/app");
    const std::string appFolder = (folder + "/app/").toStdString();
    const std::string bareDb = (folder + "/bare.mdb").toStdString();
    CreateCardDatabase(appFolder + "cardlist.mdb", kCardDatabasePassword);
    CreateCardDatabase(bareDb, kCardDatabasePassword);

    TRound r;
    r.bare = BareInserts(bareDb, n);
    FakePrompts prompts;
    auto window = std::make_unique<TLorvane>(data, appFolder);
    prompts.fileAnswers = {QString::fromStdString(file)};
    const auto t0 = Clock::now();
    window->bAdd->click();
    r.import = Ms(Clock::now() - t0);
    const QStringList summary = prompts.Messages(PromptKind::Plain);
    if (summary.size() != 1 || !summary[0].contains(QString("New card added = %1").arg(n))) {
        std::fprintf(stderr, "import failed: %s\n", qPrintable(prompts.All().join(" | ")));
        std::exit(1);
    }
    return r;
}

void Measure(const char* what, const QString& base, const std::string& file, int n, Tdsrc& data) {
    // Alternating rounds, best of each: other work on the machine only ever
    // slows a round down.
    TRound best{1e300, 1e300};
    for (int i = 0; i < 3; ++i) {
        const TRound r = Round(base + QString::number(i), file, n, data);
        best.import = std::min(best.import, r.import);
        best.bare = std::min(best.bare, r.bare);
    }
    std::printf(
        "Add Card of a %d-row %s into an empty list (best of 3): %.0f ms; bare committed "
        "inserts: %.0f ms; ratio %.2f\n",
        n, what, best.import, best.bare, best.import / best.bare);
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
    WriteXlsx(xlsx, xlsxRows);
    Measure("CSV file", tmp.filePath("csv"), csv, csvRows, data);
    Measure(".xlsx workbook", tmp.filePath("xlsx"), xlsx, xlsxRows, data);
    return 0;
}
