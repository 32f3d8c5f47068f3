// The working card list on a PostgreSQL server on this machine (a private
// server with PostgreSQL's durable defaults, started for the run), each
// figure next to its baseline from the same run:
//  - the main window's refresh of 100,000 cards next to a bare libpq select of
//    the same rows, and of 1,000,000 cards with the resident memory;
//  - Grant All on 100,000 cards next to a bare loop of committed single-row
//    UPDATEs over libpq with the same session settings;
//  - eight operators at once, each a main window in a process of its own,
//    posting single-card edits on a 100,000-card list (some on the same
//    cards): edits per second, conflicts detected, lost updates, and the time
//    until a change is seen in another window's list.
// bench_server [--full] [--only refresh|grant|operators|million]: the
// operators run 30 s with --full, 5 s otherwise.
#include <libpq-fe.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/card_files.h"
#include "datasrc.h"
#include "mainwindow.h"
#include "settings.h"
#include "support/fake_prompts.h"
#include "support/pg_client.h"

namespace {

double Ms(const QElapsedTimer& t) {
    return t.nsecsElapsed() / 1e6;
}

double StatusMb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::stod(line.substr(std::strlen(field))) / 1024.0;
    return -1;
}

long long NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The private server of this run, stopped and removed at the end.
class TBenchServer {
  public:
    TBenchServer() {
        QProcess start;
        start.start("sh", {kScript, "start", kRecord, "durable"});
        start.waitForFinished(120000);
        std::ifstream record(kRecord);
        std::getline(record, FFolder);
        if (FFolder.empty())
            throw std::runtime_error("the private PostgreSQL server did not start");
    }
    ~TBenchServer() {
        QProcess stop;
        stop.start("sh", {kScript, "stop", kRecord});
        stop.waitForFinished(120000);
    }
    std::string Uri(const std::string& database) const {
        return "postgresql://postgres@/" + database + "?host=" + FFolder;
    }
    // A database holding the card list and the cards.
    std::string Database(const std::string& name, const std::vector<TestCard>& cards) const {
        PgConn admin = PgConnect(Uri("postgres"));
        PgRun(admin.get(), "SET client_min_messages = warning");
        PgRun(admin.get(), "DROP DATABASE IF EXISTS " + name);
        PgRun(admin.get(), "CREATE DATABASE " + name);
        CreateServerCardList(Uri(name));
        PgConn conn = PgConnect(Uri(name));
        PgCopyCards(conn.get(), cards);
        PgRun(conn.get(), "VACUUM ANALYZE cardlist");
        return Uri(name);
    }

  private:
    static constexpr const char* kScript = LORVANE_SOURCE_DIR "/tests/support/pg_server.sh";
    static constexpr const char* kRecord = LORVANE_BENCH_PG_RECORD;
    std::string FFolder;
};

// The rows read as the bare client reads them: values touched, not kept.
double BareSelectMs(PGconn* conn) {
    QElapsedTimer t;
    t.start();
    PGresult* r = PQexec(conn, "select * from cardlist order by cardno");
    long long sum = 0;
    for (int i = 0; i < PQntuples(r); ++i)
        for (int c = 0; c < PQnfields(r); ++c) sum += PQgetlength(r, i, c);
    PQclear(r);
    const double ms = Ms(t);
    if (sum == 0) std::printf("(empty list)\n");
    return ms;
}

struct TWindowOn {
    QTemporaryDir folder;
    Tdsrc data;
    std::unique_ptr<TLorvane> window;
    explicit TWindowOn(const std::string& uri) {
        WriteSettingString("DATABASE", uri);
        window = std::make_unique<TLorvane>(data, folder.path().toStdString());
        window->show();
        QCoreApplication::processEvents();
    }
};

// Best of `runs`: the window's refresh and a bare select of the same rows.
std::pair<double, double> BestRefreshAndSelect(TWindowOn& on, PGconn* bare, int runs) {
    double refresh = 1e300, select = 1e300;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        on.window->RefreshCardList();
        refresh = std::min(refresh, Ms(t));
        select = std::min(select, BareSelectMs(bare));
    }
    return {refresh, select};
}

void Refresh(const TBenchServer& server) {
    constexpr int Cards = 100000;
    const std::string uri = server.Database("bench_refresh", ManyCards(Cards));
    PgConn bare = PgConnect(uri);
    TWindowOn on(uri);
    const auto [refresh, select] = BestRefreshAndSelect(on, bare.get(), 5);
    std::printf(
        "refresh %d cards from the server: %.1f ms, bare libpq select %.1f ms, ratio %.2f "
        "(target <= 1.5)\n",
        on.window->dbcard.RecordCount(), refresh, select, refresh / select);
}

void RefreshMillion(const TBenchServer& server) {
    constexpr int Cards = 1000000;
    const std::string uri = server.Database("bench_million", ManyCards(Cards));
    PgConn bare = PgConnect(uri);
    const double before = StatusMb("VmRSS:");
    TWindowOn on(uri);
    const auto [refresh, select] = BestRefreshAndSelect(on, bare.get(), 3);
    std::printf(
        "refresh %d cards from the server: %.0f ms (target < 3000), bare libpq select %.0f ms, "
        "ratio %.2f\n",
        on.window->dbcard.RecordCount(), refresh, select, refresh / select);
    std::printf(
        "resident memory with %d cards shown: %.0f MB (%.0f MB before the window), peak %.0f MB\n",
        on.window->dbcard.RecordCount(), StatusMb("VmRSS:"), before, StatusMb("VmHWM:"));
}

void GrantAll(const TBenchServer& server) {
    constexpr int Cards = 100000;
    std::vector<TestCard> cards = ManyCards(Cards);
    for (TestCard& c : cards) c.granted = false;
    const std::string uri = server.Database("bench_grant", cards);

    // The bare loop: one committed UPDATE per card, prepared once, with the
    // session settings the program's sessions have.
    PgConn bare = PgConnect(uri);
    PgRun(bare.get(), "SET synchronous_commit = off");
    PGresult* prepared = PQprepare(
        bare.get(), "grant", "UPDATE cardlist SET granted = $1 WHERE cardno = $2", 2, nullptr);
    PQclear(prepared);
    QElapsedTimer t;
    t.start();
    for (int no = 1; no <= Cards; ++no) {
        const std::string number = std::to_string(no);
        const char* values[2] = {"true", number.c_str()};
        PQclear(PQexecPrepared(bare.get(), "grant", 2, values, nullptr, nullptr, 0));
    }
    const double loop = Ms(t);
    PgRun(bare.get(), "UPDATE cardlist SET granted = false");
    PgRun(bare.get(), "VACUUM cardlist");

    FakePrompts yes;
    TWindowOn on(uri);
    t.restart();
    on.window->ClickAllGranted();
    const double command = Ms(t);
    const std::string granted =
        PgRun(bare.get(), "SELECT count(*) FROM cardlist WHERE granted")[0][0];

    // The same command with the server's history triggers switched off.
    PgRun(bare.get(), "UPDATE cardlist SET granted = false");
    PgRun(bare.get(), "ALTER TABLE cardlist DISABLE TRIGGER cardlist_history_update");
    PgRun(bare.get(), "VACUUM cardlist");
    on.window->RefreshCardList();
    t.restart();
    on.window->ClickAllGranted();
    const double withoutHistory = Ms(t);
    PgRun(bare.get(), "ALTER TABLE cardlist ENABLE TRIGGER cardlist_history_update");
    std::printf(
        "Grant All on %d cards with the server's history %.0f ms, without it %.0f ms: %.2fx "
        "(target <= 1.5)\n",
        Cards, command, withoutHistory, command / withoutHistory);
    std::printf(
        "Grant All on %d cards: %.0f ms (target < 60000), bare committed UPDATE loop %.0f ms, "
        "ratio %.2f (target <= 1.5); %s granted; commits do not wait for the disk "
        "(synchronous_commit off)\n",
        Cards, command, loop, command / loop, granted.c_str());
}

// ---------------------------------------------------------------- operators

constexpr int kOperators = 8;
constexpr int kHotCards = 20;

// One operator: a main window on the server, posting edits as fast as it
// can once told "go", and noting when other operators' changes show up.
int Operator(int id, const std::string& uri, int seconds, int cards, const std::string& out) {
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    SetSettingsApplication("Lorvane");
    TWindowOn on(uri);
    TLorvane& window = *on.window;
    TDbQuery& list = window.dbcard;
    std::mt19937 random(static_cast<unsigned>(id) * 7919u + 1);

    // What this window showed last of the cards everybody edits, to tell
    // which changes are new. Changes keep their rows in place, so each card's
    // row is found once.
    std::vector<std::string> shown(kHotCards + 1);
    std::vector<int> rowOf(kHotCards + 1, -1);
    std::vector<long long> latencies;
    auto look = [&] {
        if (!list.Active()) return;
        const int no = list.FieldIndex("cardno"), name = list.FieldIndex("descx");
        const long long now = NowUs();
        for (int card = 1; card <= kHotCards; ++card) {
            int& row = rowOf[card];
            if (row < 0 || row >= list.RecordCount() ||
                list.Cell(row, no) != TValue(std::int64_t{card})) {
                row = -1;
                for (int r = 0; r < list.RecordCount() && row < 0; ++r)
                    if (list.Cell(r, no) == TValue(std::int64_t{card})) row = r;
                if (row < 0) continue;
            }
            const std::string* text = std::get_if<std::string>(&list.Cell(row, name));
            if (!text || shown[card] == *text) continue;
            // "o<operator>:<microseconds of the commit>"
            if (!shown[card].empty() && text->size() > 1 && (*text)[0] == 'o') {
                const size_t colon = text->find(':');
                if (std::stoi(text->substr(1, colon - 1)) != id)
                    latencies.push_back(now - std::stoll(text->substr(colon + 1)));
            }
            shown[card] = *text;
        }
    };
    look();

    long long edits = 0, conflicts = 0, failures = 0;
    std::map<int, int> posts;
    QElapsedTimer clock;
    bool running = false;
    QTimer step;
    QObject::connect(&step, &QTimer::timeout, [&] {
        look();
        if (clock.elapsed() > seconds * 1000) {
            step.stop();
            QCoreApplication::quit();
            return;
        }
        const bool hot = random() % 10 < 3;
        const int card = hot ? 1 + static_cast<int>(random() % kHotCards)
                             : 1 + static_cast<int>(random() % cards);
        if (!list.Locate("cardno", TValue(std::int64_t{card}))) return;
        try {
            const std::string counter = list.FieldByName("grp").AsString();
            const int n = counter.empty() ? 0 : std::stoi(counter);
            list.Edit();
            std::string mark = "o";
            mark.append(std::to_string(id)).append(":").append(std::to_string(NowUs()));
            list.FieldByName("descx").SetAsString(mark);
            list.FieldByName("grp").SetAsString(std::to_string(n + 1));
            list.FieldByName("granted").SetAsBoolean(!list.FieldByName("granted").AsBoolean());
            list.Post();
            if (card <= kHotCards) shown[card] = mark;
            ++edits;
            ++posts[card];
        } catch (const EDatabaseError& e) {
            list.Cancel();
            if (e.Kind() == EDatabaseError::TKind::Row)
                ++conflicts;
            else
                ++failures;
        }
    });
    QSocketNotifier go(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&go, &QSocketNotifier::activated, [&] {
        go.setEnabled(false);
        if (running) return;
        running = true;
        clock.start();
        step.start(0);
    });
    std::cout << "ready" << std::endl;
    QApplication::exec();

    std::ofstream file(out);
    file << edits << ' ' << conflicts << ' ' << failures << '\n' << latencies.size();
    for (long long l : latencies) file << ' ' << l;
    file << '\n' << posts.size();
    for (const auto& [card, n] : posts) file << ' ' << card << ' ' << n;
    file << '\n';
    return 0;
}

void Operators(const TBenchServer& server, int seconds) {
    constexpr int Cards = 100000;
    const std::string uri = server.Database("bench_operators", ManyCards(Cards));
    PgConn admin = PgConnect(uri);
    PgRun(admin.get(), "UPDATE cardlist SET grp = NULL");
    QTemporaryDir tmp;
    std::vector<std::unique_ptr<QProcess>> operators;
    for (int i = 0; i < kOperators; ++i) {
        auto p = std::make_unique<QProcess>();
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start(
            QCoreApplication::applicationFilePath(),
            {"--operator", QString::number(i), QString::fromStdString(uri),
             QString::number(seconds), QString::number(Cards), tmp.filePath(QString::number(i))});
        operators.push_back(std::move(p));
    }
    for (auto& p : operators) p->waitForReadyRead(120000);
    for (auto& p : operators) p->write("go\n");
    for (auto& p : operators) p->waitForBytesWritten(10000);
    for (auto& p : operators) p->waitForFinished(seconds * 1000 + 120000);

    long long edits = 0, conflicts = 0, failures = 0;
    std::vector<long long> latencies;
    std::map<int, long long> posts;
    for (int i = 0; i < kOperators; ++i) {
        std::ifstream in(tmp.filePath(QString::number(i)).toStdString());
        long long e = 0, c = 0, f = 0;
        size_t n = 0;
        in >> e >> c >> f >> n;
        edits += e;
        conflicts += c;
        failures += f;
        for (size_t k = 0; k < n; ++k) {
            long long l = 0;
            in >> l;
            latencies.push_back(l);
        }
        in >> n;
        for (size_t k = 0; k < n; ++k) {
            int card = 0, count = 0;
            in >> card >> count;
            posts[card] += count;
        }
    }
    // Each post raised its card's counter by one from the value it read: a
    // counter below the number of posts that succeeded is an update lost.
    long long lost = 0;
    for (const auto& row :
         PgRun(admin.get(), "SELECT cardno, grp FROM cardlist WHERE grp IS NOT NULL")) {
        const auto found = posts.find(std::stoi(row[0]));
        if (found != posts.end()) lost += found->second - std::stoll(row[1]);
    }
    std::sort(latencies.begin(), latencies.end());
    auto percentile = [&](double p) {
        if (latencies.empty()) return 0.0;
        return latencies[static_cast<size_t>(p * (latencies.size() - 1))] / 1000.0;
    };
    std::printf(
        "%d operators (processes) for %d s on %d cards: %.0f edits/s, %lld conflicts detected, "
        "%lld other failures, %lld lost updates (target 0)\n",
        kOperators, seconds, Cards, edits / static_cast<double>(seconds), conflicts, failures,
        lost);
    std::printf(
        "time until another window's list shows a change: median %.0f ms, p99 %.0f ms (target "
        "< 1000), %zu changes seen\n",
        percentile(0.5), percentile(0.99), latencies.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.value(1) == "--operator")
        return Operator(args.value(2).toInt(), args.value(3).toStdString(), args.value(4).toInt(),
                        args.value(5).toInt(), args.value(6).toStdString());
    if (::access(LORVANE_PG_BIN "/pg_ctl", X_OK) != 0) {
        std::printf("skipped: PostgreSQL is not installed\n");
        return 0;
    }
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    SetSettingsApplication("Lorvane");
    const bool full = args.contains("--full");
    // --only NAME runs one part: refresh, grant, operators or million.
    const QString only = args.value(args.indexOf("--only") + 1);
    auto part = [&](const char* name) { return !args.contains("--only") || only == name; };
    TBenchServer server;
    if (part("refresh")) Refresh(server);
    if (part("grant")) GrantAll(server);
    if (part("operators")) Operators(server, full ? 30 : 5);
    if (part("million")) RefreshMillion(server);
    return 0;
}
