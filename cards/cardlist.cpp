#include "cardlist.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <optional>

#include "datasrc.h"
#include "dbengine.h"
#include "prompts.h"
#include "settings.h"

namespace {

const char* const CardPassword = "Kx7mQ2vRp9LwTz";

bool IsPlainIdentifier(const std::string& text) {
    if (text.empty()) return false;
    auto letter = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    };
    if (!letter(text.front())) return false;
    for (char c : text)
        if (!letter(c) && !(c >= '0' && c <= '9')) return false;
    return true;
}

bool IsDirection(const std::string& text) {
    const QString d = QString::fromStdString(text);
    return d.compare(QLatin1String("asc"), Qt::CaseInsensitive) == 0 ||
           d.compare(QLatin1String("desc"), Qt::CaseInsensitive) == 0;
}

}  // namespace

std::string BuildConnectionString(const std::string& path) {
    return "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=\"" + path +
           "\";Persist Security Info=False;Jet OLEDB:Database Password=" + CardPassword;
}

std::string WorkingConnectionString(const std::string& workDbPath) {
    const QString server = QString::fromStdString(ReadSettingString("DATABASE", "")).trimmed();
    if (server.isEmpty()) return BuildConnectionString(workDbPath);
    const std::string uri = server.toStdString();
    if (!IsServerConnection(uri))
        throw std::runtime_error(
            "The setting DATABASE names no PostgreSQL server (a URI beginning with "
            "postgresql:// or postgres://): " +
            uri);
    return uri;
}

QString CardListLocation(const std::string& workDbPath) {
    try {
        const std::string connection = WorkingConnectionString(workDbPath);
        if (IsServerConnection(connection))
            return QStringLiteral("Card list: ") +
                   QString::fromStdString(ServerLocation(connection));
    } catch (const std::exception& e) {
        return QStringLiteral("Card list: ") + QString::fromUtf8(e.what());
    }
    return QStringLiteral("Card list: file ") + QFile::decodeName(workDbPath.c_str());
}

void SetCurrentFolder(const std::string& folder) {
    if (!QDir::setCurrent(QString::fromStdString(folder)))
        throw EInOutError("I/O error: cannot change the current directory to " + folder);
}

std::string CheckedSortClause(const std::string& column, const std::string& direction) {
    // These settings are plain text anyone can edit; they are pasted into the
    // statement, so only a bare column name and a direction may pass.
    if (!IsPlainIdentifier(column) || !IsDirection(direction))
        throw std::runtime_error("Invalid sort order in the settings: " + column + " " + direction);
    return column + " " + direction;
}

void BuildListStatement(TDbQuery& query, bool grantedOnly, const std::string& sortClause) {
    query.SQLClear();
    query.SQLAdd("select * from cardlist");
    if (grantedOnly) query.SQLAdd("where granted=true");
    query.SQLAdd("order by " + sortClause);
}

bool IsValidCardDatabase(const std::string& path) {
    TDbQuery query("dbtest");
    const QFileInfo file(QString::fromStdString(path));
    SetCurrentFolder(file.absolutePath().toStdString());
    // The folder change must not move a relative path away from its file.
    query.SetConnectionString(BuildConnectionString(file.absoluteFilePath().toStdString()));
    query.SQLAdd("select * from cardlist");
    try {
        query.Open();
    } catch (const std::exception&) {
        ShowError(QStringLiteral("Invalid Database"));
        return false;
    }
    return true;
}

TCardList::TCardList(Tdsrc& data, TDbQuery& dbcard, ICardListView& view)
    : FData(data), FList(dbcard), FView(view) {}

void TCardList::Refresh(const std::string& appFolder, const std::string& workDbPath,
                        bool grantedOnly) {
    ++FRefreshCount;
    SetCurrentFolder(appFolder);
    FList.Close();

    TDbConnection& connection = FData.adosrc;
    if (!KeepConnection(workDbPath)) {
        connection.Disconnect();
        connection.SetLoginPrompt(false);
        ConnectWorking(workDbPath);
    }
    FList.SetConnection(&connection);

    FList.SQLClear();
    FView.SetGrantedColumnVisible(!grantedOnly);
    FView.ShowStatusText(grantedOnly ? QStringLiteral("Show granted card only") : QString());
    const std::string sort =
        CheckedSortClause(ReadSettingString("SORT", "cardno"), ReadSettingString("ORDER", "asc"));
    BuildListStatement(FList, grantedOnly, sort);
    FList.Open();

    Position();
    FView.SetGridVisible(true);
    FView.ShowRecordCount();
    // A server role that may only read is the site's choice: the first change
    // tells (CheckListWritable), not every start.
    const std::string readOnly = connection.ReadOnlyReason();
    if (!readOnly.empty() && readOnly != FReadOnlyShown &&
        !IsServerConnection(connection.ConnectionString()))
        ShowError(
            QStringLiteral("The card list is shown read-only: %1, so changes cannot be saved.")
                .arg(QString::fromStdString(readOnly)));
    FReadOnlyShown = readOnly;
}

std::string TCardList::WorkingConnection(const std::string& workDbPath) const {
    const std::string connection = WorkingConnectionString(workDbPath);
    if (FPassword.empty() || connection != FPasswordServer) return connection;
    return WithServerPassword(connection, FPassword);
}

bool TCardList::KeepConnection(const std::string& workDbPath) {
    TDbConnection& connection = FData.adosrc;
    if (!connection.Connected()) return false;
    try {
        if (connection.ConnectionString() != WorkingConnection(workDbPath)) return false;
    } catch (const std::exception&) {
        return false;
    }
    return connection.Reconnect();
}

void TCardList::ConnectWorking(const std::string& workDbPath) {
    TDbConnection& connection = FData.adosrc;
    const std::string working = WorkingConnectionString(workDbPath);
    if (working != FPasswordServer) FPassword.clear();
    const bool typed = !FPassword.empty();
    connection.SetConnectionString(WorkingConnection(workDbPath));
    try {
        connection.Connect();
        return;
    } catch (const EPasswordNeeded&) {
        if (typed) FPassword.clear();
        const std::optional<QString> answer =
            PromptPassword(QStringLiteral("The server of the card list asks for a password.\n\n") +
                           QString::fromStdString(ServerLocation(working)));
        if (!answer) throw;
        FPassword = answer->toStdString();
        FPasswordServer = working;
    } catch (...) {
        // A password that no longer opens the server is asked for again.
        if (typed) FPassword.clear();
        throw;
    }
    connection.SetConnectionString(WorkingConnection(workDbPath));
    try {
        connection.Connect();
    } catch (...) {
        FPassword.clear();
        connection.SetConnectionString(working);
        throw;
    }
}

void TCardList::Position() {
    const int count = FList.RecordCount();
    if (count == 0) return;
    const int pos = ReadSettingInt("POS", -1);
    if (pos == -1) return;
    // A row that is no longer there falls back to the first one, silently.
    if (pos >= 1 && pos <= count) {
        try {
            FList.SetRecNo(pos);
            return;
        } catch (const EDatabaseError&) {
        }
    }
    FList.First();
}

bool TCardList::CheckListEmpty() {
    if (FList.RecordCount() > 0) return false;
    ShowError(QStringLiteral("No record."));
    return true;
}

bool TCardList::CheckListWritable() {
    const std::string why = FData.adosrc.ReadOnlyReason();
    if (why.empty()) return true;
    ShowError(QStringLiteral("The card list cannot be changed: ") + QString::fromStdString(why) +
              QStringLiteral("."));
    return false;
}
