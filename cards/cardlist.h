// The card list: the main window's list query and its refresh against the
// working database, the empty-list guard and the card database test.
#pragma once

#include <QString>
#include <stdexcept>
#include <string>

class Tdsrc;
class TDbQuery;

// A failure to change the process's current directory.
class EInOutError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The connection string of a card database file; the path goes in unchanged.
std::string BuildConnectionString(const std::string& path);

// The working card list's connection string: the server named by the
// setting "DATABASE" when it is set, else the working database file's.
// Raises std::runtime_error for a setting that names no server.
std::string WorkingConnectionString(const std::string& workDbPath);

// Where the working card list lives, for the operator: "Card list: " and the
// file's path, or the server and database (never a password).
QString CardListLocation(const std::string& workDbPath);

// Makes folder the process's current directory; raises EInOutError.
void SetCurrentFolder(const std::string& folder);

// The stored sort column and direction, as the lines of the list statement
// need them. Only a plain identifier and "asc"/"desc" (any case) are accepted:
// anything else raises std::runtime_error and never reaches the engine.
std::string CheckedSortClause(const std::string& column, const std::string& direction);

// The statement lines of the list: the filter line only when grantedOnly.
void BuildListStatement(TDbQuery& query, bool grantedOnly, const std::string& sortClause);

// True when the file opens as a card database (table cardlist, the card
// password); otherwise shows "Invalid Database" and returns false. Leaves the
// file's folder as the current directory and the file closed.
bool IsValidCardDatabase(const std::string& path);

// What a refresh needs of the window that shows the list.
class ICardListView {
  public:
    virtual ~ICardListView() = default;
    virtual void SetGrantedColumnVisible(bool visible) = 0;
    virtual void SetGridVisible(bool visible) = 0;
    virtual void ShowStatusText(const QString& text) = 0;
    virtual void ShowRecordCount() = 0;
};

// The refresh of the list query and the empty-list guard. The query and the
// data module belong to others; this only works on them.
class TCardList {
  public:
    TCardList(Tdsrc& data, TDbQuery& dbcard, ICardListView& view);

    // Reconnects the working database and reopens the list in the stored sort
    // order, positioned at the stored row. Failures go up to the caller. A
    // working database that takes no changes (read-only media, a full disk)
    // is shown read-only, and the operator is told why, once until it takes
    // changes again.
    void Refresh(const std::string& appFolder, const std::string& workDbPath, bool grantedOnly);

    // True (after "No record.") when the list holds no rows.
    bool CheckListEmpty();

    // False, after a box saying why, when the working card list takes no
    // changes (a server role that may only read it, read-only media). The
    // commands that change cards ask this first, so nothing else happens.
    bool CheckListWritable();

    // Refreshes run so far (start-up runs one or two).
    int RefreshCount() const { return FRefreshCount; }

    // The working card list's connection string as the refresh connects it:
    // with the password the operator typed during this run, when the server
    // asked for one.
    std::string WorkingConnection(const std::string& workDbPath) const;

  private:
    void Position();
    // Connects the shared connection to the working card list. When the
    // server wants a password that nothing else gives, asks the operator
    // once and keeps the answer in memory for this run (only while it
    // works, and only for that server).
    void ConnectWorking(const std::string& workDbPath);
    // Starts the open server connection over when it is still the working
    // one; false when it must be opened anew.
    bool KeepConnection(const std::string& workDbPath);

    Tdsrc& FData;
    TDbQuery& FList;
    ICardListView& FView;
    int FRefreshCount = 0;
    std::string FPasswordServer;  // the server connection string FPassword is for
    std::string FPassword;        // typed by the operator; never written anywhere
    std::string FReadOnlyShown;   // the reason last told, while it holds
};
