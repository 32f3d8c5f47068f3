// Card database engine over SQLCipher. A connection is described by the same
// connection string the program has always used; a query holds a static,
// updatable snapshot of its statement's rows in memory. No Qt here.
//
// Commits and whole-file copies. The first post or delete of a connection
// puts a writable file in write-ahead-log mode (it stays so), and every
// connection to a file in that mode commits with normal synchronisation, so
// each post is one cheap commit. Files that are only read are not changed.
// A post that returned survives a kill of the program, and every connection
// (in this or another process) sees it at its next statement. A
// committed page may live in "<file>-wal" (with its index "<file>-shm") until
// a checkpoint copies it into the file itself. Therefore, whoever copies or
// replaces a card database file as a whole:
// - Copy a closed file: when the last connection to a file closes, SQLite
//   checkpoints the log into the file and removes "-wal" and "-shm", so the
//   file alone holds every commit. Disconnect (and close every query with a
//   connection of its own) before copying.
// - Copy a file another connection may hold (another copy of the program):
//   never copy its bytes, which may miss what sits in the log; take a
//   consistent snapshot with SQLite's backup interface (sqlite3_backup_init,
//   _step(-1), _finish) from a keyed connection into a keyed destination.
// - Replace a file: remove a "-wal" and "-shm" left beside the target (after a
//   kill of the program) before the new file takes its place; SQLite would
//   apply a stale log to the new file and corrupt it. Only do this while no
//   connection holds the target.
// A page-by-page copy of a file in log mode is in log mode too. SQLite of
// this version cannot open such a file on read-only media (it needs to create
// "-shm" beside it); a copy meant for such media should be set back with
// "PRAGMA journal_mode=DELETE" on its own connection before it is placed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

struct sqlite3;

// Every engine failure; what() is the engine's message.
class EDatabaseError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The file path ("Data Source", quotes removed) and password
// ("Jet OLEDB:Database Password") of a connection string. Keys are matched
// without regard to case; a missing "Data Source" raises EDatabaseError.
struct TConnectionParams {
    std::string dataSource;
    std::string password;
};
TConnectionParams ParseConnectionString(const std::string& connectionString);

// The one password of every card database file.
inline constexpr const char* kCardDatabasePassword = "Kx7mQ2vRp9LwTz";

// Creates a new card database file (table cardlist) or card batch database file
// (table card), keyed with the password. Refuses to overwrite anything: an
// existing path raises EDatabaseError and is left untouched. For tools and tests;
// the program itself never creates a database.
void CreateCardDatabase(const std::string& path, const std::string& password);
void CreateCardBatchDatabase(const std::string& path, const std::string& password);

// ---------------------------------------------------------------- servers

// True for a connection string that names a PostgreSQL server: a connection
// URI, "postgresql://..." or "postgres://...". The working card list is then
// on that server (engine/server_backend.h); any other connection string names
// a file.
bool IsServerConnection(const std::string& connectionString);

// Where a server connection string points, for the operator's eyes: user,
// host, port and database, never the password. Raises EDatabaseError for a
// URI that libpq cannot read.
std::string ServerLocation(const std::string& connectionString);

// A connect that failed because the server wants a password that none of
// libpq's sources (the URI, ~/.pgpass, PGPASSWORD, a service file) gave.
class EPasswordNeeded : public EDatabaseError {
  public:
    using EDatabaseError::EDatabaseError;
};

// Creates the card list on the server (the table cardlist with the card
// file's columns and rules, and what the live list needs), all or nothing.
// Refuses, touching nothing, when the database holds a card list already.
// For lorvane-newdb and tests. Raises EDatabaseError.
void CreateServerCardList(const std::string& connectionString);

// The server connection string with the password added, for connecting with
// a password the operator typed. The result holds the password: keep it in
// memory only.
std::string WithServerPassword(const std::string& connectionString, const std::string& password);

class TDbQuery;

class TDbConnection {
  public:
    TDbConnection();
    ~TDbConnection();
    TDbConnection(const TDbConnection&) = delete;
    TDbConnection& operator=(const TDbConnection&) = delete;

    void SetConnectionString(const std::string& text);
    const std::string& ConnectionString() const;
    void SetLoginPrompt(bool on);  // there is no login prompt; kept for the callers' sake

    // Opens the file named by the connection string with its password and checks
    // the key at once. Never creates a file. Raises EDatabaseError. A Jet file
    // (told by its header) is checked for its password; its queries are
    // read-only.
    void Connect();
    // Closes every query bound to this connection, then the file.
    void Disconnect();
    bool Connected() const;

    sqlite3* Handle() const;

  private:
    friend class TDbQuery;
    void Attach(TDbQuery* query);
    void Detach(TDbQuery* query);
    // The handle for a post or delete; the first one of a connection puts the
    // file into write-ahead-log mode.
    sqlite3* WriteHandle();

    std::string FConnectionString;
    sqlite3* FDb = nullptr;
    bool FJetFile = false;  // a Jet file: read through cards/jetsource, no handle
    bool FWritten = false;  // a post or delete ran since the connect
    std::vector<TDbQuery*> FQueries;
};

// Column type, from the declared type of the column.
enum class TFieldType { Integer, Boolean, Text, Float, Other };

struct TFieldDef {
    std::string name;
    TFieldType type = TFieldType::Other;
    int size = 0;  // VARCHAR(n): n; 0 when unlimited
};

// A cell value: null, integer (booleans are 0 and 1), float or UTF-8 text.
using TValue = std::variant<std::monostate, std::int64_t, double, std::string>;

class TField {
  public:
    bool IsNull() const;
    int AsInteger() const;         // null reads as 0; text that is no number raises
    bool AsBoolean() const;        // any nonzero value is true
    std::string AsString() const;  // null reads as ""; a Boolean field reads "True"/"False"
    const TValue& Value() const;

    // Only while the query is in edit or insert state.
    void SetAsInteger(int value);
    void SetAsBoolean(bool value);
    void SetAsString(const std::string& value);
    void SetNull();

  private:
    friend class TDbQuery;
    TField(TDbQuery& query, int index) : FQuery(query), FIndex(index) {}
    TDbQuery& FQuery;
    int FIndex;
};

class TDbQuery {
  public:
    enum class TState { Inactive, Browse, Edit, Insert };
    enum LocateOption : unsigned { loPartialKey = 1, loCaseInsensitive = 2 };

    // The name appears in the "closed dataset" message, e.g. "dbcard".
    explicit TDbQuery(std::string name = {});
    ~TDbQuery();
    TDbQuery(const TDbQuery&) = delete;
    TDbQuery& operator=(const TDbQuery&) = delete;

    const std::string& Name() const;

    // Either a shared connection (not owned) or a connection string of its own,
    // connected on Open and closed on Close.
    void SetConnection(TDbConnection* connection);
    void SetConnectionString(const std::string& text);

    // The statement as a list of lines, joined with a line break after each.
    void SQLClear();
    void SQLAdd(const std::string& line);
    const std::vector<std::string>& SQLLines() const;
    std::string SQLText() const;

    void Open();   // runs the statement and takes the snapshot
    void Close();  // cancels a pending edit
    bool Active() const;
    TState State() const;
    bool ReadOnly() const;  // true when the statement's rows cannot be written back

    // Raise "<name>: Cannot perform this operation on a closed dataset" while closed.
    int RecordCount() const;
    int RecNo() const;     // 1-based; 0 when empty
    void SetRecNo(int n);  // raises EDatabaseError when there is no such row
    void First();
    void Next();
    bool Eof() const;

    // Exact match, or prefix match with loPartialKey; the found row becomes
    // current. When several rows match, the one whose value comes first in
    // ascending order is taken (the earlier row on a tie). An exact locate on an
    // integer column uses a hash index kept with the snapshot. Not found: false,
    // the current row stays. A pending edit is posted first, as by every move.
    bool Locate(const std::string& field, const TValue& value, unsigned options = 0);

    int FieldCount() const;
    const TFieldDef& FieldDef(int index) const;
    int FieldIndex(const std::string& name) const;  // case-insensitive; -1 when absent
    TField FieldByName(const std::string& name);    // raises when absent

    // Cell of the snapshot, 0-based row, without moving the cursor (grid models).
    const TValue& Cell(int row, int column) const;

    // Editing: each Post is one committed transaction; text longer than its
    // VARCHAR(n) size is cut to n characters. Append adds a pending row at the
    // end, which Cancel removes again. A failed Post raises and keeps the edit or
    // insert state. Statements with distinct, grouping or joins are read-only.
    void Append();
    void Edit();
    void Post();
    void Cancel();
    void Delete();  // the next row becomes current

    // Observers for views. Reset: the whole snapshot changed (open, close, append,
    // delete). RowChanged: one row's values changed (0-based). CurrentChanged: the
    // cursor moved (0-based row, -1 when none).
    std::function<void()> OnReset;
    std::function<void(int)> OnRowChanged;
    std::function<void(int)> OnCurrentChanged;

  private:
    friend class TField;
    friend class TDbConnection;
    void Opened();
    struct Impl;
    std::unique_ptr<Impl> FImpl;
};
