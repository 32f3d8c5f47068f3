// Plain libpq for tests and benchmarks: sessions, statements with text
// parameters, and cards written in bulk. Not the engine under test.
#pragma once

#include <libpq-fe.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/card_files.h"

struct PgConnCloser {
    void operator()(PGconn* c) const { PQfinish(c); }
};
using PgConn = std::unique_ptr<PGconn, PgConnCloser>;

// Runs a statement with text parameters; the rows as text ("" for null).
inline std::vector<std::vector<std::string>> PgRun(PGconn* conn, const std::string& sql,
                                                   const std::vector<std::string>& params = {}) {
    std::vector<const char*> values;
    for (const std::string& p : params) values.push_back(p.c_str());
    PGresult* r = PQexecParams(conn, sql.c_str(), static_cast<int>(values.size()), nullptr,
                               values.data(), nullptr, nullptr, 0);
    const ExecStatusType status = PQresultStatus(r);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        const std::string why = PQresultErrorMessage(r);
        PQclear(r);
        throw std::runtime_error(sql + ": " + why);
    }
    std::vector<std::vector<std::string>> rows(static_cast<size_t>(PQntuples(r)));
    for (int i = 0; i < PQntuples(r); ++i)
        for (int c = 0; c < PQnfields(r); ++c) rows[i].emplace_back(PQgetvalue(r, i, c));
    PQclear(r);
    return rows;
}

inline PgConn PgConnect(const std::string& uri) {
    PgConn conn(PQconnectdb(uri.c_str()));
    if (PQstatus(conn.get()) != CONNECTION_OK)
        throw std::runtime_error("cannot connect to " + uri + ": " + PQerrorMessage(conn.get()));
    return conn;
}

// Writes the cards with one COPY (names and groups must hold no tab, line
// break or backslash), in the session's transaction.
inline void PgCopyCards(PGconn* conn, const std::vector<TestCard>& cards) {
    PGresult* start = PQexec(conn, "COPY cardlist (cardno, descx, grp, granted) FROM STDIN");
    const bool copying = PQresultStatus(start) == PGRES_COPY_IN;
    PQclear(start);
    if (!copying) throw std::runtime_error(PQerrorMessage(conn));
    std::string buffer;
    for (size_t i = 0; i < cards.size(); ++i) {
        const TestCard& c = cards[i];
        buffer += std::to_string(c.cardno) + "\t" + c.descx + "\t" +
                  (c.grp.empty() ? std::string("\\N") : c.grp) + "\t" + (c.granted ? "t" : "f") +
                  "\n";
        if (buffer.size() > (1u << 20) || i + 1 == cards.size()) {
            PQputCopyData(conn, buffer.data(), static_cast<int>(buffer.size()));
            buffer.clear();
        }
    }
    PQputCopyEnd(conn, nullptr);
    bool ok = true;
    while (PGresult* r = PQgetResult(conn)) {
        ok = ok && PQresultStatus(r) == PGRES_COMMAND_OK;
        PQclear(r);
    }
    if (!ok) throw std::runtime_error(PQerrorMessage(conn));
}
