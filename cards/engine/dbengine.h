// The card engine's public face, the only engine header the rest of the
// program includes: connections, queries holding a snapshot of their rows,
// fields, and the whole-list operations of Save and Open. A connection is
// described by the connection string the program has always used; behind it
// runs one back end (engine/backend.h): the encrypted card database file, a
// Jet file read through a helper process, or a database server. No Qt here.
//
// Every posted change is written at once, each post its own committed
// transaction, and only if the row still holds the values the query read
// (optimistic locking): a change another program (another copy of this one)
// made meanwhile is never overwritten; the post fails instead.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

class TBackEnd;

// Every engine failure; what() is the engine's message. Its kind says what
// the failure is about: Row, one row only (its values changed since it was
// read, its key is taken, the table refuses a value); Storage, the store as
// a whole (disk full, input/output error, read-only media, the database
// gone); General, anything else (a wrong statement, a missing table).
class EDatabaseError : public std::runtime_error {
  public:
    enum class TKind { General, Row, Storage };
    explicit EDatabaseError(const std::string& what, TKind kind = TKind::General)
        : std::runtime_error(what), FKind(kind) {}
    TKind Kind() const { return FKind; }

  private:
    TKind FKind;
};

// The message of a post or delete whose row no longer holds the values read.
inline constexpr const char* kRowChangedMessage =
    "Row cannot be located for updating. Some values may have been changed since it was last "
    "read.";

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

// ------------------------------------------------------------ activity history
//
// A store that holds a working card list keeps the history of what was done
// with it. The store itself writes an entry for every card change, whatever
// made it, in the same transaction as the change: the card's number and its
// values before and after (none before: the card was added; none after: it
// was deleted), with the time (UTC), the user (the operating-system user on a
// card database file, the role on a server) and the command the connection
// was running (TActivityScope). Commands add entries of their own (a bulk
// command's count and outcome, the controller commands). Entries are never
// changed; only the retention removes old ones, at start-up.
//
// A card's values read "name='Anna'; group='HR'; granted=1": each value in
// SQL literal form (text quoted, a quote doubled; NULL for none).

struct THistoryEntry {
    std::int64_t id = 0;  // a later entry has a greater id
    std::string time;     // UTC, "YYYY-MM-DDTHH:MM:SS.mmmZ"
    std::string user;
    std::string command;                       // "Edit", "Grant All", "Upload", ...
    std::optional<std::int64_t> card;          // none for a command's own entry
    std::optional<std::string> before, after;  // the card's values
    std::string detail;                        // a command's own figures and outcome
};

// Which entries to read: newest first, only those with an id below beforeId
// (0: from the newest), at most limit; only the card's when one is given, and
// only those whose user, command, values or detail contain text (case
// ignored; accents too on a card database file) when it is not empty.
struct THistoryQuery {
    std::optional<std::int64_t> card;
    std::string text;
    std::int64_t beforeId = 0;
    int limit = 500;
};

class TDbConnection {
  public:
    TDbConnection();
    ~TDbConnection();
    TDbConnection(const TDbConnection&) = delete;
    TDbConnection& operator=(const TDbConnection&) = delete;

    void SetConnectionString(const std::string& text);
    const std::string& ConnectionString() const;
    void SetLoginPrompt(bool on);  // there is no login prompt; kept for the callers' sake

    // Opens the store named by the connection string: the file with its
    // password, the key checked at once. Never creates a file. Raises
    // EDatabaseError. A Jet file (told by its header) is checked for its
    // password; its queries are read-only.
    void Connect();
    // Closes every query bound to this connection, then the store.
    void Disconnect();
    // Disconnect and Connect in one, for a store whose connection can be
    // started over without being opened again (a server session): false,
    // disconnected, when it cannot.
    bool Reconnect();
    bool Connected() const;

    // Why the store takes no changes (e.g. "the disk is full"), empty when it
    // takes them. Queries on a read-only store are read-only.
    std::string ReadOnlyReason() const;

    // Changes that other programs commit: a descriptor to watch (-1 when the
    // store sends no notices), and the reading of what arrived, which calls
    // OnChangedElsewhere with the table and the card numbers (the table's
    // integer key) of the changed rows, or no numbers when any row may have
    // changed. Read now and then as well: a notice that came in with the
    // answer to a statement leaves the descriptor quiet.
    int NoticeDescriptor() const;
    void ReadNotices();
    std::function<void(const std::string& table, const std::vector<std::int64_t>& keys)>
        OnChangedElsewhere;

    // The back end while connected, else null. For the engine and its tests.
    TBackEnd* BackEnd() const { return FBackEnd.get(); }

    // The activity history of the store (see above). The command that card
    // changes through this connection are recorded under, kept across
    // reconnects; empty outside every TActivityScope.
    const std::string& Command() const { return FActivity.command; }
    // Adds a command's own entry (no card), connecting first when needed.
    // Nothing is added on a store that keeps no history (a Jet file). Raises
    // EDatabaseError.
    void AddHistoryEntry(const std::string& command, const std::string& detail);
    // Reads entries (THistoryQuery), connecting first when needed; none when
    // the store keeps no history. Raises EDatabaseError.
    std::vector<THistoryEntry> ReadHistory(const THistoryQuery& query);
    // The retention, for start-up only: removes the entries older than days
    // (0 keeps every entry) and records that as an entry of its own. A server
    // applies the retention its administrator set instead, whatever days
    // says. Returns the number of entries removed. Raises EDatabaseError.
    std::int64_t ExpireHistory(int days);

  private:
    friend class TDbQuery;
    friend class TActivityScope;
    // What the running command did through this connection.
    struct TActivity {
        std::string command;
        int changes = 0;   // cards changed (posted or deleted)
        int failures = 0;  // posts and deletes that failed
        std::string lastFailure;
    };
    void SetCommand(const std::string& command);
    void Attach(TDbQuery* query);
    void Detach(TDbQuery* query);

    std::string FConnectionString;
    std::unique_ptr<TBackEnd> FBackEnd;
    std::vector<TDbQuery*> FQueries;
    TActivity FActivity;
};

// Names the command that the card changes made through a connection during
// its lifetime are recorded under, and puts the previous name back at its
// end. A bulk command's scope also adds the command's own entry at its end:
// how many cards it changed, the note (e.g. "from /media/cd/cards.mdb") and
// its outcome ("completed"; the failed posts
// with the last failure's message; "failed" when an exception ends it). The
// entry is best effort: a store that cannot take it does not stop the
// command.
class TActivityScope {
  public:
    enum TKind { Single, Bulk };
    TActivityScope(TDbConnection& connection, const std::string& command, TKind kind = Single,
                   std::string note = {});
    // On the query's connection; does nothing for a query without one.
    TActivityScope(TDbQuery& query, const std::string& command, TKind kind = Single,
                   std::string note = {});
    ~TActivityScope();
    TActivityScope(const TActivityScope&) = delete;
    TActivityScope& operator=(const TActivityScope&) = delete;

  private:
    TDbConnection* FConnection;
    TKind FKind;
    std::string FNote;
    TDbConnection::TActivity FOuter;
    int FExceptions;
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
    // The connection the query reads and writes through, when it has one.
    TDbConnection* Connection() const;

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
    // insert state. Statements with distinct, grouping or joins are read-only,
    // and so is every statement on a read-only store.
    // A post of an edit, and a delete, change the row only if it still holds
    // every value this query read for it; otherwise they raise kRowChangedMessage
    // (kind Row) and change nothing. A post of an append adds the row only if
    // no row holds its key (the card number); otherwise it raises (kind Row).
    void Append();
    void Edit();
    void Post();
    void Cancel();
    void Delete();  // the next row becomes current

    // Brings the rows whose key (a single integer column) holds one of keys
    // up to date with the store after other programs changed them: a changed
    // row keeps its place, as after a post; a row the statement now selects
    // and the snapshot lacks comes at the end; one it no longer selects (or
    // that is gone) leaves the snapshot. The cursor stays on its row, or on
    // the row that took its place. False, changing nothing, when the query
    // cannot (no single integer key, a pending edit, a store that does not
    // read rows by key): reopen it instead.
    bool RefreshRows(const std::vector<std::int64_t>& keys);

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
    void ConnectionGone();  // the shared connection is being destroyed
    struct Impl;
    std::unique_ptr<Impl> FImpl;
};

// ---------------------------------------------------------------- whole lists

// Save: writes the card list named by sourceConnection (a card database
// file, a Jet card list, or a server) into a new card database file at
// destination, replacing a file that is there. The destination is at every
// moment the old file or the complete new one, also after a kill of the
// program, and is created 0600. The copy is one consistent snapshot, with
// every committed change, also while other programs hold the source. Keyed
// with the connection string's password (a server's list: with the card
// database password). Raises EDatabaseError (or
// std::system_error) on failure.
void CopyCardDatabase(const std::string& sourceConnection, const std::string& destination);

// Open: replaces the card list of the working store by the card list of
// sourceConnection, in one transaction: other programs that hold the working
// store see the old list or the new one, never a mixture, and their later
// posts go into the new one (or fail, when their rows changed). A failure or
// a kill leaves the old list. A working file that cannot be opened at all is
// replaced by a new file (as CopyCardDatabase writes it). Nothing of this
// process may hold the working store meanwhile.
// The cards it adds, changes and removes are recorded in the working store's
// history under command, with one entry of the command's own (the cards
// changed, the source and the outcome, also of a failure); the source's
// history stays where it is.
void ReplaceCardList(const std::string& workingConnection, const std::string& sourceConnection,
                     const std::string& command = "Open");

// The card number of a cell when it is a whole number within 32 bits (an
// integer, a whole float, or such a decimal text); none otherwise.
std::optional<std::int32_t> WholeCardNumber(const TValue& value);

// Raises EDatabaseError naming the first few card numbers of the card list
// in sourceConnection that are not whole numbers within 32 bits (or null).
void CheckCardNumbers(const std::string& sourceConnection);
