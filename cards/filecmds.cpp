// Save copies the working card list into a file and Open puts a file's card
// list in its place, with the program's own list closed; Merge and Add Card
// import through the list.
#include "filecmds.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <exception>
#include <functional>

#include "cardlist.h"
#include "cardsheet.h"
#include "datasrc.h"
#include "dbengine.h"
#include "filechoice.h"
#include "import.h"
#include "mainhost.h"
#include "prompts.h"
#include "settings.h"
#include "sheetimport.h"

namespace {

const QString kFilter = QStringLiteral("Card Database (*.mdb)|*.mdb");
// Add Card also takes card lists in workbooks and CSV files.
const QString kBatchFilter = QStringLiteral(
    "Card Database|*.mdb|Spreadsheet or CSV (*.xlsx *.xls *.csv)|*.xlsx;*.xls;*.csv");
const QString kExtension = QStringLiteral("mdb");

// Paths go to the database layer and the settings as narrow strings.
std::string Narrow(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

QString Wide(const std::string& path) {
    return QFile::decodeName(path.c_str());
}

// The working database must not be held open while it is copied.
void ReleaseWorkingDatabase(IMainWindow& host, Tdsrc& data) {
    host.SetGridVisible(false);
    host.CardList().Close();
    data.adosrc.Disconnect();
}

bool IsMountPoint(const QString& folder) {
    struct stat self {
    }, parent{};
    return ::stat(QFile::encodeName(folder).constData(), &self) == 0 &&
           ::stat(QFile::encodeName(folder + "/..").constData(), &parent) == 0 &&
           S_ISDIR(self.st_mode) && self.st_dev != parent.st_dev;
}

}  // namespace

QString RemovableMediaFolder() {
    const passwd* user = ::getpwuid(::geteuid());
    if (user && user->pw_name) {
        const QString name = QString::fromLocal8Bit(user->pw_name);
        for (const QString& base : {"/media/" + name, "/run/media/" + name}) {
            const QDir media(base);
            for (const QString& entry :
                 media.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
                if (IsMountPoint(media.filePath(entry))) return media.filePath(entry);
        }
    }
    return QDir::homePath();
}

void bSaveClick(IMainWindow& host, Tdsrc& data) {
    ThenRefresh(host, [&] {
        const QString file =
            PromptSaveFileName(QStringLiteral("Save Card Database"),
                               Wide(ReadSettingString("SAVED", "")), kFilter, kExtension);
        if (file.isEmpty()) return;
        ReleaseWorkingDatabase(host, data);
        const std::string path = Narrow(file);
        WriteSettingString("SAVED", path);
        // A copy in the place of the working database or of a file the engine
        // keeps beside it would be lost to the engine (or take the list with it).
        if (IsWorkingDatabaseFile(host.WorkDbPath(), path)) {
            ShowError(QStringLiteral("The card database cannot be saved. Please try."));
            return;
        }
        try {
            CopyCardDatabase(host.WorkingConnection(), path);
        } catch (const std::exception&) {
            ShowError(QStringLiteral("The card database cannot be saved. Please try."));
            return;
        }
        ShowInfo(QStringLiteral("The card database is saved."));
    });
}

void bOpenClick(IMainWindow& host, Tdsrc& data) {
    ThenRefresh(host, [&] {
        const QString file =
            PromptOpenFileName(QStringLiteral("Open Card Database"),
                               Wide(ReadSettingString("SAVED", "")), kFilter, kExtension);
        if (file.isEmpty()) return;
        ReleaseWorkingDatabase(host, data);
        const std::string path = Narrow(file);
        WriteSettingString("SAVED", path);
        if (!IsFileChoice(file) || !IsValidCardDatabase(path)) return;
        // Cards that would reach the controller as other cards (a number out
        // of range, a fraction, text) are refused, as Merge refuses them.
        try {
            CheckCardNumbers(BuildConnectionString(path));
        } catch (const EDatabaseError& e) {
            ShowError(QString::fromStdString(e.what()));
            return;
        }
        if (!AskConfirm(
                QStringLiteral("The current card list will be lost. Are you sure to proceed?")))
            return;
        try {
            // The chosen file's cards go into the working database in one
            // transaction, so that other copies of the program holding it go
            // on working on the one list (a Jet card list is converted).
            ReplaceCardList(host.WorkingConnection(), BuildConnectionString(path));
        } catch (const std::exception&) {
            ShowError(QStringLiteral("The card database cannot be opened. Please try."));
            return;
        }
        ShowInfo(QStringLiteral("The card database is opened."));
    });
}

void bMergeClick(IMainWindow& host) {
    ThenRefresh(host, [&] {
        const QString file =
            PromptOpenFileName(QStringLiteral("Merge Card Database"),
                               Wide(ReadSettingString("SAVED", "")), kFilter, kExtension);
        if (file.isEmpty()) return;
        host.SetGridVisible(false);
        const std::string path = Narrow(file);
        WriteSettingString("SAVED", path);
        if (!IsFileChoice(file) || !IsValidCardDatabase(path)) return;
        const TActivityScope activity(host.CardList(), "Merge", TActivityScope::Bulk,
                                      "from " + path);
        ImportCards(host, path);
    });
}

void bAddClick(IMainWindow& host) {
    if (!AskProceed(QStringLiteral("Please insert the ID card CDROM."))) return;
    const std::string last = ReadSettingString("ADD", "");
    const QString file = PromptOpenFileName(QStringLiteral("Select Card Database"),
                                            last.empty() ? RemovableMediaFolder() : Wide(last),
                                            kBatchFilter, kExtension);
    if (file.isEmpty()) return;
    const std::string path = Narrow(file);
    WriteSettingString("ADD", path);
    if (!IsFileChoice(file)) return;
    const TActivityScope activity(host.CardList(), "Add Card", TActivityScope::Bulk,
                                  "from " + path);
    if (IsCardSheetPath(path))
        ImportCardSheet(host, path);
    else
        ImportCards(host, path);
}
