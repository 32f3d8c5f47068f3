#include "server_session.h"

#include <libpq-fe.h>
#include <poll.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

// libpq's messages end with a line break; the boxes do not want it.
std::string Trimmed(const char* text) {
    std::string s = text ? text : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

struct FreeOptions {
    void operator()(PQconninfoOption* o) const { PQconninfoFree(o); }
};

}  // namespace

bool IsServerUri(std::string_view text) {
    return text.starts_with("postgresql://") || text.starts_with("postgres://");
}

TServerName DescribeServer(const std::string& uri) {
    char* error = nullptr;
    std::unique_ptr<PQconninfoOption, FreeOptions> options(PQconninfoParse(uri.c_str(), &error));
    if (!options) {
        const std::string why = Trimmed(error ? error : "out of memory");
        PQfreemem(error);
        throw EDatabaseError("Invalid PostgreSQL connection URI: " + why);
    }
    TServerName name;
    for (const PQconninfoOption* o = options.get(); o->keyword; ++o) {
        if (!o->val) continue;
        const std::string_view key = o->keyword;
        if (key == "host")
            name.host = o->val;
        else if (key == "hostaddr" && name.host.empty())
            name.host = o->val;
        else if (key == "port")
            name.port = o->val;
        else if (key == "dbname")
            name.database = o->val;
        else if (key == "user")
            name.user = o->val;
    }
    if (name.host.empty()) name.host = "localhost";
    if (name.port.empty()) name.port = "5432";
    return name;
}

bool IsServerConnection(const std::string& connectionString) {
    return IsServerUri(connectionString);
}

std::string ServerLocation(const std::string& connectionString) {
    return "PostgreSQL server " + ServerDisplayName(DescribeServer(connectionString));
}

std::string WithServerPassword(const std::string& connectionString, const std::string& password) {
    // libpq decodes %XX in a URI's parameters; everything but the unreserved
    // characters is encoded.
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const unsigned char c : password) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += kHex[c >> 4];
            encoded += kHex[c & 0xF];
        }
    }
    std::string uri = connectionString;
    if (uri.find('?') == std::string::npos)
        uri += '?';
    else if (uri.back() != '?' && uri.back() != '&')
        uri += '&';
    return uri + "password=" + encoded;
}

std::string ServerDisplayName(const TServerName& name) {
    std::string text = name.user.empty() ? std::string() : name.user + "@";
    text += name.host + ":" + name.port;
    text += ", database " + (name.database.empty() ? std::string("(default)") : name.database);
    return text;
}

// ---------------------------------------------------------------- results

void TPgResult::Clear::operator()(pg_result* r) const {
    PQclear(r);
}
int TPgResult::Rows() const {
    return FResult ? PQntuples(FResult.get()) : 0;
}
int TPgResult::Columns() const {
    return FResult ? PQnfields(FResult.get()) : 0;
}
bool TPgResult::IsNull(int row, int column) const {
    return PQgetisnull(FResult.get(), row, column) != 0;
}
std::string_view TPgResult::Text(int row, int column) const {
    return {PQgetvalue(FResult.get(), row, column),
            static_cast<size_t>(PQgetlength(FResult.get(), row, column))};
}
const char* TPgResult::Name(int column) const {
    return PQfname(FResult.get(), column);
}
unsigned TPgResult::Type(int column) const {
    return PQftype(FResult.get(), column);
}
int TPgResult::Modifier(int column) const {
    return PQfmod(FResult.get(), column);
}
unsigned TPgResult::Table(int column) const {
    return PQftable(FResult.get(), column);
}
int TPgResult::TableColumn(int column) const {
    return PQftablecol(FResult.get(), column);
}
long TPgResult::Affected() const {
    const char* n = FResult ? PQcmdTuples(FResult.get()) : "";
    return *n ? std::strtol(n, nullptr, 10) : 0;
}

// ---------------------------------------------------------------- session

void TPgSession::Finish::operator()(pg_conn* c) const {
    PQfinish(c);
}

TPgSession::TPgSession(const std::string& uri, const std::string& password) {
    // The program's defaults come before the URI, so that whatever the URI
    // says wins; the encoding comes after it, since every text the program
    // sends and reads is UTF-8.
    std::vector<const char*> keys = {
        "connect_timeout",  "application_name", "options", "keepalives_idle", "keepalives_interval",
        "keepalives_count", "tcp_user_timeout", "dbname",  "client_encoding"};
    std::vector<const char*> values = {"10",    "Lorvane",   "-c synchronous_commit=off",
                                       "30",    "10",        "3",
                                       "40000", uri.c_str(), "UTF8"};
    if (!password.empty()) {
        keys.push_back("password");
        values.push_back(password.c_str());
    }
    keys.push_back(nullptr);
    values.push_back(nullptr);
    FConn.reset(PQconnectdbParams(keys.data(), values.data(), 1));
    if (!FConn) throw EServerError("Out of memory while connecting to the server.", {}, true);
    if (PQstatus(FConn.get()) != CONNECTION_OK) {
        const std::string why = Trimmed(PQerrorMessage(FConn.get()));
        const bool wantsPassword = PQconnectionNeedsPassword(FConn.get()) != 0;
        FConn.reset();
        if (wantsPassword) throw EPasswordNeeded(why);
        throw EServerError(why, {}, true);
    }
}

TPgSession::~TPgSession() = default;

namespace {

struct TParamArrays {
    std::vector<const char*> values;
    std::vector<int> lengths;
    explicit TParamArrays(const std::vector<TPgParam>& params) {
        values.reserve(params.size());
        lengths.reserve(params.size());
        for (const TPgParam& p : params) {
            values.push_back(p ? p->c_str() : nullptr);
            lengths.push_back(p ? static_cast<int>(p->size()) : 0);
        }
    }
    int Count() const { return static_cast<int>(values.size()); }
};

bool Succeeded(pg_result* result) {
    const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

}  // namespace

void TPgSession::Fail(pg_result* result) {
    std::unique_ptr<pg_result, TPgResult::Clear> owned(result);
    const bool lost = !FConn || PQstatus(FConn.get()) != CONNECTION_OK;
    std::string why = Trimmed(result ? PQresultErrorMessage(result) : "");
    if (why.empty() && FConn) why = Trimmed(PQerrorMessage(FConn.get()));
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    throw EServerError(why.empty() ? "The server did not answer." : why, state ? state : "", lost);
}

TPgResult TPgSession::Exec(const std::string& sql, const std::vector<TPgParam>& params) {
    if (!FConn) throw EServerError("The connection to the server is closed.", {}, true);
    const TParamArrays p(params);
    pg_result* raw = PQexecParams(FConn.get(), sql.c_str(), p.Count(), nullptr, p.values.data(),
                                  p.lengths.data(), nullptr, 0);
    if (!Succeeded(raw)) Fail(raw);
    TPgResult result;
    result.FResult.reset(raw);
    return result;
}

TPgResult TPgSession::ExecPrepared(const std::string& sql, const std::vector<TPgParam>& params) {
    if (!FConn) throw EServerError("The connection to the server is closed.", {}, true);
    auto found = FPrepared.find(sql);
    if (found == FPrepared.end()) {
        const std::string name = "lorvane_" + std::to_string(FPrepared.size() + 1);
        pg_result* raw = PQprepare(FConn.get(), name.c_str(), sql.c_str(), 0, nullptr);
        if (!Succeeded(raw)) Fail(raw);
        PQclear(raw);
        found = FPrepared.emplace(sql, name).first;
    }
    const TParamArrays p(params);
    pg_result* raw = PQexecPrepared(FConn.get(), found->second.c_str(), p.Count(), p.values.data(),
                                    p.lengths.data(), nullptr, 0);
    if (!Succeeded(raw)) Fail(raw);
    TPgResult result;
    result.FResult.reset(raw);
    return result;
}

void TPgSession::CopyIn(const std::string& sql,
                        const std::function<bool(std::string& buffer)>& produce) {
    if (!FConn) throw EServerError("The connection to the server is closed.", {}, true);
    pg_result* start = PQexec(FConn.get(), sql.c_str());
    if (!start || PQresultStatus(start) != PGRES_COPY_IN) Fail(start);
    PQclear(start);
    std::string buffer;
    bool more = true;
    while (more) {
        buffer.clear();
        more = produce(buffer);
        if (!buffer.empty() &&
            PQputCopyData(FConn.get(), buffer.data(), static_cast<int>(buffer.size())) != 1)
            break;  // the end below collects the reason
    }
    PQputCopyEnd(FConn.get(), more ? "cancelled" : nullptr);
    pg_result* failure = nullptr;
    while (pg_result* r = PQgetResult(FConn.get())) {
        if (!Succeeded(r) && !failure)
            failure = r;
        else
            PQclear(r);
    }
    if (failure || more) Fail(failure);
}

bool TPgSession::Alive() {
    if (!FConn || PQstatus(FConn.get()) != CONNECTION_OK) return false;
    // A server that ended the session has sent a message or closed the
    // socket; both make the socket readable.
    pollfd fd{PQsocket(FConn.get()), POLLIN, 0};
    if (fd.fd < 0) return false;
    if (::poll(&fd, 1, 0) > 0) PQconsumeInput(FConn.get());
    return PQstatus(FConn.get()) == CONNECTION_OK;
}

bool TPgSession::Usable() const {
    return FConn && PQstatus(FConn.get()) == CONNECTION_OK;
}

bool TPgSession::Idle() const {
    return Usable() && PQtransactionStatus(FConn.get()) == PQTRANS_IDLE;
}

int TPgSession::Socket() const {
    return FConn ? PQsocket(FConn.get()) : -1;
}

std::vector<std::string> TPgSession::TakeNotifications(const std::string& channel) {
    std::vector<std::string> payloads;
    if (!FConn) return payloads;
    PQconsumeInput(FConn.get());
    const int self = PQbackendPID(FConn.get());
    while (PGnotify* n = PQnotifies(FConn.get())) {
        if (channel == n->relname && n->be_pid != self)
            payloads.emplace_back(n->extra ? n->extra : "");
        PQfreemem(n);
    }
    return payloads;
}

std::string PgQuoteIdent(const std::string& name) {
    std::string out = "\"";
    for (char c : name) {
        out += c;
        if (c == '"') out += '"';
    }
    return out + "\"";
}
