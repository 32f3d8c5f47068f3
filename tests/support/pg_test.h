// The private PostgreSQL server of the CTest fixture pg_server (started by
// tests/support/pg_server.sh) and a database of one test's own on it. Talks
// to the server with plain libpq, not through the engine under test.
#pragma once

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <QProcess>
#include <atomic>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/card_files.h"
#include "support/pg_client.h"

#ifndef LORVANE_PG_RECORD
#error "a test that uses the server is declared with PGSERVER in its .cmake"
#endif

// Skips the test when PostgreSQL is not installed; a missing server with the
// binaries there is a failure (run the test through CTest, which starts it).
#define LORVANE_NEED_PG_SERVER()                                                    \
    do {                                                                            \
        if (!PgInstalled()) GTEST_SKIP() << "PostgreSQL binaries not installed";    \
        ASSERT_TRUE(PgSocketFolder("").has_value())                                 \
            << "no private server: run through ctest (fixture pg_server) or start " \
               "tests/support/pg_server.sh start " LORVANE_PG_RECORD;               \
    } while (0)

inline bool PgInstalled() {
    return ::access(LORVANE_PG_BIN "/pg_ctl", X_OK) == 0;
}

inline const char* PgServerScript() {
    return LORVANE_SOURCE_DIR "/tests/support/pg_server.sh";
}

// The socket folder of the fixture's server (suffix empty), or of a test's
// own one (RECORD.suffix).
inline std::optional<std::string> PgSocketFolder(const std::string& suffix) {
    std::ifstream record(std::string(LORVANE_PG_RECORD) + (suffix.empty() ? "" : "." + suffix));
    std::string folder;
    if (!std::getline(record, folder) || folder.empty()) return std::nullopt;
    return folder;
}

// A database of the test's own with an empty card list made the program's
// way, dropped at the end (the fixture removes the whole server anyway).
// Roles made through it are dropped with it.
class TPgTestDatabase {
  public:
    explicit TPgTestDatabase(const std::string& serverSuffix = "") {
        const std::optional<std::string> folder = PgSocketFolder(serverSuffix);
        if (!folder) throw std::runtime_error("no private PostgreSQL server");
        FFolder = *folder;
        static std::atomic<int> counter{0};
        FName = "lorvane_t" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
        PgRun(Admin("postgres").get(), "CREATE DATABASE " + FName);
        CreateServerCardList(Uri());
    }
    ~TPgTestDatabase() {
        try {
            PgConn admin = Admin("postgres");
            PgRun(admin.get(), "DROP DATABASE IF EXISTS " + FName + " WITH (FORCE)");
            for (const std::string& role : FRoles)
                PgRun(admin.get(), "DROP ROLE IF EXISTS " + role);
        } catch (const std::exception&) {
            // The server may be gone on purpose; the fixture removes it.
        }
    }
    TPgTestDatabase(const TPgTestDatabase&) = delete;
    TPgTestDatabase& operator=(const TPgTestDatabase&) = delete;

    // The connection URI for a role (the superuser by default).
    std::string Uri(const std::string& user = "postgres") const {
        return "postgresql://" + user + "@/" + FName + "?host=" + FFolder;
    }
    const std::string& Name() const { return FName; }
    const std::string& Folder() const { return FFolder; }

    // A session of the superuser on the test's database.
    PgConn Admin(const std::string& database = {}) const {
        return PgConnect("postgresql://postgres@/" + (database.empty() ? FName : database) +
                         "?host=" + FFolder);
    }
    std::vector<std::vector<std::string>> Run(const std::string& sql,
                                              const std::vector<std::string>& params = {}) const {
        return PgRun(Admin().get(), sql, params);
    }

    // A login role of the test's own: reader (may only read the card list),
    // or writer (may change it). withPassword: it must give that password.
    std::string MakeRole(const std::string& kind, const std::string& password = {}) {
        const std::string role = FName + "_" + kind;
        std::string sql = "CREATE ROLE " + role + " LOGIN";
        if (!password.empty()) sql += " PASSWORD '" + password + "' IN ROLE lorvane_password_users";
        Run(sql);
        FRoles.push_back(role);
        Run("GRANT " + std::string(kind == "writer" ? "SELECT, INSERT, UPDATE, DELETE" : "SELECT") +
            " ON cardlist TO " + role);
        return role;
    }

    void Insert(const std::vector<TestCard>& cards) const {
        PgConn admin = Admin();
        PgRun(admin.get(), "BEGIN");
        for (const TestCard& c : cards) {
            const char* values[4] = {nullptr, c.descx.c_str(),
                                     c.grp.empty() ? nullptr : c.grp.c_str(),
                                     c.granted ? "true" : "false"};
            const std::string number = std::to_string(c.cardno);
            values[0] = number.c_str();
            PGresult* r = PQexecParams(admin.get(),
                                       "INSERT INTO cardlist (cardno, descx, grp, granted) "
                                       "VALUES ($1, $2, $3, $4)",
                                       4, nullptr, values, nullptr, nullptr, 0);
            const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
            PQclear(r);
            if (!ok) throw std::runtime_error(PQerrorMessage(admin.get()));
        }
        PgRun(admin.get(), "COMMIT");
    }

    // One stored column of a card as text: "<null>" or "<none>" when absent.
    std::string Stored(const std::string& column, int cardno) const {
        const auto rows = Run(
            "SELECT " + column + " IS NULL, " + column + "::text FROM cardlist WHERE cardno = $1",
            {std::to_string(cardno)});
        if (rows.empty()) return "<none>";
        return rows[0][0] == "t" ? "<null>" : rows[0][1];
    }
    int Count() const { return std::stoi(Run("SELECT count(*) FROM cardlist")[0][0]); }

  private:
    std::string FFolder, FName;
    std::vector<std::string> FRoles;
};

// A server of one test's own, which it may stop and start (RECORD.suffix).
class TPgOwnServer {
  public:
    explicit TPgOwnServer(std::string suffix) : FSuffix(std::move(suffix)) { Script("start"); }
    ~TPgOwnServer() { Script("stop"); }
    TPgOwnServer(const TPgOwnServer&) = delete;
    TPgOwnServer& operator=(const TPgOwnServer&) = delete;
    const std::string& Suffix() const { return FSuffix; }

    void Stop() {
        const std::string folder = *PgSocketFolder(FSuffix);
        QProcess::execute(
            QStringLiteral("sh"),
            {QStringLiteral("-c"),
             QString::fromStdString((::getuid() == 0 ? "runuser -u postgres -- " : "") +
                                    std::string(LORVANE_PG_BIN "/pg_ctl -D ") + folder +
                                    "/data -m fast -w stop >/dev/null")});
    }
    void Restart() { Script("restart"); }

  private:
    void Script(const char* action) {
        QProcess::execute(
            QStringLiteral("sh"),
            {QString::fromLatin1(PgServerScript()), QString::fromLatin1(action),
             QStringLiteral(LORVANE_PG_RECORD ".") + QString::fromStdString(FSuffix)});
    }
    std::string FSuffix;
};
