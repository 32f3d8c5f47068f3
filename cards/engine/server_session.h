// A thin owning layer over libpq for the server back end: one session to a
// PostgreSQL server, statement results, and the server's notifications. No Qt.
//
// Statements are fixed texts of the program; every value travels as a
// parameter ($1, $2, ...), so no operator's text ever becomes part of a
// statement. Values go and come in PostgreSQL's text form.
//
// Sessions commit each statement on its own unless the caller opens a
// transaction. Per session, commits return before the server has flushed them
// to disk (synchronous_commit off, unless the connection URI's "options" say
// otherwise): a commit that returned is visible to every other session at
// once and survives a crash of this program; a crash of the server itself
// can lose the commits of its last fraction of a second, never corrupt the
// database.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dbengine.h"

struct pg_conn;
struct pg_result;

// A failure reported by the server or by libpq; what() is the server's
// message. sqlState is the five-character SQLSTATE when the server sent one.
class EServerError : public EDatabaseError {
  public:
    EServerError(const std::string& message, std::string sqlState, bool connectionLost)
        : EDatabaseError(message, connectionLost ? TKind::Storage : TKind::General),
          FSqlState(std::move(sqlState)),
          FLost(connectionLost) {}
    const std::string& SqlState() const { return FSqlState; }
    // The session is gone (server stopped, network cut): the statement may or
    // may not have run; a new session is needed.
    bool ConnectionLost() const { return FLost; }
    // The server refused for want of a privilege (a read-only role).
    bool PermissionDenied() const { return FSqlState == "42501"; }
    // Another session holds the key already (an append that came too late).
    bool UniqueViolation() const { return FSqlState == "23505"; }

  private:
    std::string FSqlState;
    bool FLost;
};

// True for the connection URIs that name a server: "postgresql://..." and
// "postgres://...", case as written.
bool IsServerUri(std::string_view text);

// Where a URI points, for the operator's eyes: never the password.
struct TServerName {
    std::string host;  // host name, address or socket folder; "localhost" when absent
    std::string port;  // "5432" when absent
    std::string database;
    std::string user;
};
// Parses the URI as libpq does; raises EDatabaseError naming the fault.
TServerName DescribeServer(const std::string& uri);
// "host:port, database db" (user@ in front when the URI names one).
std::string ServerDisplayName(const TServerName& name);

// A statement parameter in text form; nullopt is NULL.
using TPgParam = std::optional<std::string>;

class TPgResult {
  public:
    TPgResult() = default;
    int Rows() const;
    int Columns() const;
    bool IsNull(int row, int column) const;
    std::string_view Text(int row, int column) const;
    const char* Name(int column) const;
    unsigned Type(int column) const;    // the column's type OID
    int Modifier(int column) const;     // its type modifier (varchar(n): n + 4)
    unsigned Table(int column) const;   // OID of the table it comes from; 0 for none
    int TableColumn(int column) const;  // its column number in that table; 0 for none
    long Affected() const;              // rows an insert, update or delete touched

  private:
    friend class TPgSession;
    struct Clear {
        void operator()(pg_result* r) const;
    };
    std::unique_ptr<pg_result, Clear> FResult;
};

// Type OIDs the engine reads.
inline constexpr unsigned kPgBool = 16;
inline constexpr unsigned kPgInt8 = 20;
inline constexpr unsigned kPgInt2 = 21;
inline constexpr unsigned kPgInt4 = 23;
inline constexpr unsigned kPgText = 25;
inline constexpr unsigned kPgFloat4 = 700;
inline constexpr unsigned kPgFloat8 = 701;
inline constexpr unsigned kPgBpchar = 1042;
inline constexpr unsigned kPgVarchar = 1043;
inline constexpr unsigned kPgNumeric = 1700;

class TPgSession {
  public:
    // Connects with what the URI and libpq's own sources (~/.pgpass,
    // PGPASSWORD, a service file) give; password, when not empty, is used as
    // well and is not kept by the session. Raises EPasswordNeeded when the
    // server asked for a password that nothing gave, EServerError otherwise.
    explicit TPgSession(const std::string& uri, const std::string& password = {});
    ~TPgSession();
    TPgSession(const TPgSession&) = delete;
    TPgSession& operator=(const TPgSession&) = delete;

    // Runs one statement with its parameters; raises EServerError.
    TPgResult Exec(const std::string& sql, const std::vector<TPgParam>& params = {});
    // The same, through a statement the session prepares once and keeps:
    // for the statements that run once per card.
    TPgResult ExecPrepared(const std::string& sql, const std::vector<TPgParam>& params);
    // Runs a COPY ... FROM STDIN statement, sending what `produce` appends to
    // its buffer (COPY's text format) until it returns false.
    void CopyIn(const std::string& sql, const std::function<bool(std::string& buffer)>& produce);

    // False once the session is known to be gone. Reads what the server sent
    // meanwhile without waiting, so a server that ended the session (a
    // restart, an administrator) is noticed before the next statement.
    bool Alive();

    // False when the session is known to be broken; never waits.
    bool Usable() const;
    // Usable and outside any transaction.
    bool Idle() const;

    // The socket to watch for notifications (-1 when gone).
    int Socket() const;
    // Reads what arrived without waiting and returns the payloads of the
    // notifications on channel that other sessions sent, oldest first.
    std::vector<std::string> TakeNotifications(const std::string& channel);

    pg_conn* Handle() const { return FConn.get(); }

  private:
    [[noreturn]] void Fail(pg_result* result);

    struct Finish {
        void operator()(pg_conn* c) const;
    };
    std::unique_ptr<pg_conn, Finish> FConn;
    std::map<std::string, std::string> FPrepared;  // statement text -> its name here
};

// Quotes an identifier for the few statements that name one from the
// program's own constants (LISTEN has no parameters).
std::string PgQuoteIdent(const std::string& name);
