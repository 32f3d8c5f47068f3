#include "sheetimport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QStringList>
#include <chrono>
#include <exception>
#include <future>
#include <memory>
#include <optional>

#include "cardlist.h"
#include "cardsheet.h"
#include "dbengine.h"
#include "guards.h"
#include "import.h"
#include "mainhost.h"
#include "pgbar.h"
#include "prompts.h"

namespace {

// The read runs on a thread of its own while pending events run here: a
// large workbook takes seconds to unpack, and the window keeps painting.
TCardSheet ReadWhileEventsRun(const std::string& path) {
    auto reading = std::async(std::launch::async, [path] { return ReadCardSheet(path); });
    while (reading.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready)
        QCoreApplication::processEvents();
    return reading.get();
}

// Appends the card with its name, group and access flag.
bool StoreCard(TDbQuery& list, const TSheetCard& card) {
    return AppendCard(list, card.number, [&] {
        list.FieldByName("descx").SetAsString(card.name);
        // Such lists carry the group on purpose: it is copied too.
        if (!card.group.empty()) list.FieldByName("grp").SetAsString(card.group);
        list.FieldByName("granted").SetAsBoolean(card.granted);
    });
}

}  // namespace

QString SkippedRowsLine(const TCardSheet& sheet) {
    QString line = QStringLiteral("Rows skipped = ") + QString::number(sheet.skipped);
    if (sheet.skipped == 0) return line;
    QStringList rows;
    for (const int row : sheet.skippedRows) rows << QString::number(row);
    if (static_cast<std::size_t>(sheet.skipped) > sheet.skippedRows.size())
        rows << QString(QChar(0x2026));
    return line + (sheet.skipped == 1 ? " (row " : " (rows ") + rows.join(", ") + ")";
}

void ImportCardSheet(IMainWindow& host, const std::string& path) {
    // Pending events run while the file is read and the cards are stored: the
    // list commands must wait.
    TLongCommand busy(host);
    const QDateTime start = QDateTime::currentDateTime();
    std::optional<TWaitCursor> cursor(std::in_place);
    host.SetGridVisible(false);

    TDbQuery& list = host.CardList();
    std::optional<TCardSheet> sheet;
    QString unreadable;
    int before = 0;
    int added = 0;
    std::unique_ptr<Tpbar> progress;
    std::exception_ptr failure;
    try {
        before = list.RecordCount();
        // Nothing is imported before the whole file has been read and checked.
        try {
            sheet = ReadWhileEventsRun(path);
        } catch (const ESheetError& e) {
            unreadable = QString::fromUtf8(e.what());
        }
        if (sheet) {
            progress =
                std::make_unique<Tpbar>(host.Window(), QStringLiteral("Loading Card Database"),
                                        static_cast<int>(sheet->cards.size()));
            TEventSlice events;
            for (const TSheetCard& card : sheet->cards) {
                events.Tick();
                if (!LocateCard(host, card.number) && StoreCard(list, card)) ++added;
                progress->Advance();
            }
        }
    } catch (...) {
        failure = std::current_exception();
    }

    // The closing steps of every import, however it ended.
    if (progress) progress->Finish();
    host.RefreshCardList();
    cursor.reset();
    host.ShowElapsed(start);
    if (!unreadable.isEmpty())
        ShowError("Error opening input file: " + QFile::decodeName(path.c_str()) + "\r\n" +
                  unreadable);
    if (sheet)
        ShowPlainMessage(ImportSummary(ImportKind::CardList, static_cast<int>(sheet->cards.size()),
                                       before, added, list.RecordCount()) +
                         "\r\n" + SkippedRowsLine(*sheet));
    host.SetGridVisible(true);
    host.ShowStatusText(QString());
    if (failure) std::rethrow_exception(failure);
}
