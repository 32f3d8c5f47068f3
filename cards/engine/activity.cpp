// The activity history as the connection offers it: the running command, a
// command's own entries, reading and the retention. The entries themselves
// are the back ends' (file_history.cpp, the server's trigger).
#include <exception>
#include <utility>

#include "backend.h"
#include "dbengine.h"

void TDbConnection::SetCommand(const std::string& command) {
    FActivity.command = command;
    if (FBackEnd) FBackEnd->SetCommand(command);
}

void TDbConnection::AddHistoryEntry(const std::string& command, const std::string& detail) {
    Connect();
    FBackEnd->AddHistoryEntry(command, detail);
}

std::vector<THistoryEntry> TDbConnection::ReadHistory(const THistoryQuery& query) {
    Connect();
    return FBackEnd->ReadHistory(query);
}

std::int64_t TDbConnection::ExpireHistory(int days) {
    Connect();
    return FBackEnd->ExpireHistory(days);
}

TActivityScope::TActivityScope(TDbConnection& connection, const std::string& command, TKind kind,
                               std::string note)
    : FConnection(&connection),
      FKind(kind),
      FNote(std::move(note)),
      FExceptions(std::uncaught_exceptions()) {
    FOuter = std::exchange(connection.FActivity, {});
    connection.SetCommand(command);
}

TActivityScope::TActivityScope(TDbQuery& query, const std::string& command, TKind kind,
                               std::string note)
    : FConnection(query.Connection()),
      FKind(kind),
      FNote(std::move(note)),
      FExceptions(std::uncaught_exceptions()) {
    if (!FConnection) return;
    FOuter = std::exchange(FConnection->FActivity, {});
    FConnection->SetCommand(command);
}

TActivityScope::~TActivityScope() {
    if (!FConnection) return;
    TDbConnection::TActivity done = std::exchange(FConnection->FActivity, std::move(FOuter));
    FConnection->SetCommand(FConnection->FActivity.command);
    if (FKind != Bulk) return;
    std::string detail = std::to_string(done.changes) + " card(s) changed";
    if (!FNote.empty()) detail += " " + FNote;
    detail += "; ";
    if (std::uncaught_exceptions() > FExceptions)
        detail += "failed";
    else if (done.failures > 0)
        detail += std::to_string(done.failures) + " failed: " + done.lastFailure;
    else
        detail += "completed";
    try {
        FConnection->AddHistoryEntry(done.command, detail);
    } catch (const std::exception&) {
        // The cards' own entries are in the store already; a lost summary
        // must not turn a finished command into a failure.
    }
}
