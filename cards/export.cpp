#include "export.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <filesystem>
#include <variant>

#include "cardlist.h"
#include "cardmodel.h"
#include "dbengine.h"
#include "filechoice.h"
#include "filemodes.h"
#include "guards.h"
#include "mainhost.h"
#include "pgbar.h"
#include "prompts.h"
#include "settings.h"
#include "xlswriter.h"

namespace {

const char* const kCannotExport = "Cannot export to the Excel file.";

const std::string* TextOf(const TValue& v) {
    return std::get_if<std::string>(&v);
}

// A card number goes into the sheet as it is stored: a whole number, another
// number (a hand-made list may hold one) or a text, never a number made of a
// text.
void SetCardNumber(TExcelTable& table, const TValue& v) {
    if (const auto* i = std::get_if<std::int64_t>(&v))
        table.SetInteger("CARD_NO", *i);
    else if (const auto* d = std::get_if<double>(&v))
        table.SetNumber("CARD_NO", *d);
    else if (const std::string* text = TextOf(v))
        table.SetText("CARD_NO", *text);
}

int NeedField(const TDbQuery& list, const char* name) {
    const int index = list.FieldIndex(name);
    if (index < 0) throw EDatabaseError(std::string("Field '") + name + "' not found");
    return index;
}

// Copies the list from its first row to the end into the open table.
void CopyRows(TDbQuery& list, TExcelTable& table, Tpbar& bar) {
    const int cardno = NeedField(list, "cardno");
    const int descx = NeedField(list, "descx");
    const int grp = NeedField(list, "grp");
    const int granted = NeedField(list, "granted");
    TEventSlice events;
    for (int row = 0; row < list.RecordCount(); ++row) {
        events.Tick();
        // Pending events may have closed the list under the copy.
        if (!list.Active() || row >= list.RecordCount()) throw EDatabaseError("The list changed");
        table.Append();
        SetCardNumber(table, list.Cell(row, cardno));
        if (const std::string* name = TextOf(list.Cell(row, descx)))
            table.SetText("DESCRIPTION", *name);
        if (const std::string* group = TextOf(list.Cell(row, grp))) table.SetText("GROUP", *group);
        // The flag as the grid shows it: any value but 0 (-1, 2) is granted.
        table.SetBoolean("GRANTED", TCardModel::IsGranted(list.Cell(row, granted)));
        table.Post();
        bar.Advance();
    }
}

}  // namespace

const TExcelTableDef& CardListTable() {
    static const TExcelTableDef table{"CARD_LIST",
                                      {{"CARD_NO", TExcelColumnType::Integer, 120},
                                       {"DESCRIPTION", TExcelColumnType::WText, 300},
                                       {"GROUP", TExcelColumnType::WText, 200},
                                       {"GRANTED", TExcelColumnType::Boolean, 100}}};
    return table;
}

std::string BuildExcelConnectionString(const std::string& fileName) {
    return "Provider=Microsoft.Jet.OLEDB.4.0; Data Source=\"" + fileName +
           "\"; Extended Properties=Excel 8.0";
}

bool CreateExcelWorkbook(const std::string& fileName) {
    try {
        SetCurrentFolder(std::filesystem::path(fileName).parent_path().string());
        CreateExcelTable(BuildExcelConnectionString(fileName), CardListTable(), SharedFileMode());
        return true;
    } catch (const std::exception&) {
        ShowError(QStringLiteral("Cannot create the Excel file."));
        return false;
    }
}

void ExportToExcel(IMainWindow& host, const std::string& fileName) {
    const QDateTime start = QDateTime::currentDateTime();
    if (!CreateExcelWorkbook(fileName)) return;

    TLongCommand busy(host);
    TDbQuery& list = host.CardList();
    TExcelTable table;
    Tpbar bar(host.Window(), QStringLiteral("Exporting to Excel"),
              list.Active() ? list.RecordCount() : 0);
    host.SetGridVisible(false);
    TScopeExit done([&] {
        host.SetGridVisible(true);
        bar.Finish();
    });
    // The rows posted so far go into the file before the failure is reported.
    auto fail = [&] {
        try {
            table.Close();
        } catch (const std::exception&) {
            // The workbook keeps its last complete state.
        }
        ShowError(QString::fromLatin1(kCannotExport));
    };

    try {
        table.Open(BuildExcelConnectionString(fileName), CardListTable(), SharedFileMode());
        list.First();
    } catch (const std::exception&) {
        fail();
        return;
    }
    try {
        CopyRows(list, table, bar);
        table.Close();
    } catch (const std::exception&) {
        fail();
        return;
    }
    host.ShowElapsed(start);
    ShowInfo(QStringLiteral("Export completed."));
    host.ShowStatusText(QString());
}

void bExportClick(IMainWindow& host) {
    // The list is refreshed on every way out, also after a failure that goes
    // on to the standard error box.
    ThenRefresh(host, [&] {
        // A workbook is for others to open: the first dialog starts in the
        // documents folder, not in the program's private data folder.
        QString initial =
            QFile::decodeName(QByteArray::fromStdString(ReadSettingString("EXPORT", "")));
        if (initial.isEmpty()) {
            initial = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
            if (initial.isEmpty() || !QFileInfo(initial).isDir()) initial = QDir::homePath();
        }
        QString chosen = PromptSaveFileName(
            QStringLiteral("Export Card List to Excel"), initial,
            QStringLiteral("MS Excel (*.xls)|*.xls|Excel Workbook (*.xlsx)|*.xlsx"),
            QStringLiteral("xls"));
        // The dialog adds the extension to a bare name; a name that still has
        // none is not left to become a workbook without one.
        if (!chosen.isEmpty() && !QFileInfo(chosen).fileName().contains(u'.'))
            chosen += QStringLiteral(".xls");
        if (!chosen.isEmpty()) {
            const std::string path = QFile::encodeName(chosen).toStdString();
            WriteSettingString("EXPORT", path);
            struct stat st {};
            if (lstat(path.c_str(), &st) == 0 &&
                (IsWorkingDatabaseFile(host.WorkDbPath(), path) || unlink(path.c_str()) != 0)) {
                ShowError(QStringLiteral("Cannot delete the file: ") +
                          QFile::decodeName(QByteArray::fromStdString(path)));
            } else {
                ExportToExcel(host, path);
            }
        }
    });
}
