// Upload of 2,000 granted cards to the controller simulator through the main
// window, each figure printed next to its baseline from the same run:
// - without pacing: time per card against the simulator's bare round trip
//   (a raw client writing a store frame and blocking in read for the reply);
// - at 19200 baud: cards per second against the wire limit of 96 a second;
// - at 19200 baud: the upload with its check of the controller's count next to
//   the same upload without it, each timed from the last card's
//   acknowledgement to its end; the check may add one command's round trip;
// - process CPU time per wall time while uploading and while waiting on a
//   controller that never answers.
#include <fcntl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "CPort.h"
#include "app/card_files.h"
#include "bare_client.h"
#include "commands.h"
#include "datasrc.h"
#include "mainwindow.h"
#include "reader.h"
#include "settings.h"
#include "support/controller_sim.h"
#include "support/fake_prompts.h"

namespace {

using lorvane_test::ControllerSim;

constexpr int kCards = 2000;

struct Usage {
    double cpu = 0;        // seconds of process CPU time
    long voluntary = 0;    // context switches: the process blocked (a wake-up later)
    long involuntary = 0;  // context switches: the process was preempted
};

Usage ProcessUsage() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return {static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6,
            u.ru_nvcsw, u.ru_nivcsw};
}

struct Run {
    double wall = 0;  // seconds
    double cpu = 0;   // seconds of process CPU time
    long voluntary = 0;
    long involuntary = 0;
    double tail = 0;  // seconds from the last card's acknowledgement to the end
};

template <typename F>
Run Measure(F&& body) {
    const Usage u0 = ProcessUsage();
    QElapsedTimer clock;
    clock.start();
    body();
    const Usage u1 = ProcessUsage();
    return {static_cast<double>(clock.nsecsElapsed()) / 1e9, u1.cpu - u0.cpu,
            u1.voluntary - u0.voluntary, u1.involuntary - u0.involuntary};
}

void SetGranted(const std::string& db, const std::string& sql) {
    sqlite3* h = OpenKeyed(db, kCardDatabasePassword);
    try {
        Exec(h, sql.c_str());
    } catch (...) {
        sqlite3_close(h);
        throw;
    }
    sqlite3_close(h);
}

void SetAllGranted(const std::string& db, bool granted) {
    SetGranted(db, granted ? "update cardlist set granted=1" : "update cardlist set granted=0");
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

class Bench {
  public:
    Bench() {
        if (!FConfig.isValid() || !FFolder.isValid()) throw std::runtime_error("no temporary dir");
        qputenv("XDG_CONFIG_HOME", FConfig.path().toLocal8Bit());
        SetSettingsApplication("Lorvane");
        FDb = (FFolder.path() + "/cardlist.mdb").toStdString();
        CreateCardDatabase(FDb, kCardDatabasePassword);
        std::vector<TestCard> cards;
        for (int i = 0; i < kCards; ++i) cards.push_back({100000 + i, "Holder", "", false});
        InsertCards(FDb, cards);
        FWindow = std::make_unique<TLorvane>(FData, FFolder.path().toStdString());
        FWindow->show();
    }

    const std::string& DbPath() const { return FDb; }

    void UseDevice(const std::string& device) { WriteSettingString("COM1", device); }

    // One whole upload; fails loudly when it did not report success. An
    // upload of no card asks once more, and the fake answers Yes.
    Run Upload(int expected, TUploadSteps steps = {}) {
        FPrompts.Clear();
        QElapsedTimer sinceSent;
        steps.cardsSent = [&] { sinceSent.start(); };
        double tail = 0;
        Run r = Measure([&] {
            UploadToController(*FWindow, FData, steps);
            if (sinceSent.isValid()) tail = static_cast<double>(sinceSent.nsecsElapsed()) / 1e9;
        });
        r.tail = tail;
        const QString want =
            QStringLiteral("Uploading successfully. %1 record(s) sent.").arg(expected);
        const QStringList shown = FPrompts.All();
        if (shown.isEmpty() || shown.back() != want ||
            !FPrompts.Messages(PromptKind::Error).isEmpty())
            throw std::runtime_error("upload failed: " + shown.join(" | ").toStdString());
        return r;
    }

    Run Information() {
        FPrompts.Clear();
        return Measure([&] { bInfoClick(*FWindow); });
    }

  private:
    QTemporaryDir FConfig;
    QTemporaryDir FFolder;
    std::string FDb;
    FakePrompts FPrompts;
    Tdsrc FData;
    std::unique_ptr<TLorvane> FWindow;
};

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Lorvane"));
    SetComDeviceResolver(ComDeviceFromSettings);
    try {
        Bench bench;

        // Without pacing: the upload's own cost per card.
        {
            ControllerSim sim({"--capacity", "100000"});
            bench.UseDevice(sim.DevicePath());
            const Run fixed = bench.Upload(0);  // capacity, clear and its one-second pause
            SetAllGranted(bench.DbPath(), true);
            const Run full = bench.Upload(kCards);
            SetAllGranted(bench.DbPath(), false);
            const double perCardMs = (full.wall - fixed.wall) * 1000.0 / kCards;
            const double bareMs =
                1000.0 * BareRoundTripSeconds(sim.DevicePath(), kCards, [](int i) {
                    return TRfidReader::BuildFrame(0x40, 0x20, static_cast<std::uint32_t>(i + 1));
                });
            std::printf(
                "upload of %d cards, no pacing: %.3f ms per card (whole upload %.2f s; an upload "
                "of no card, i.e. capacity read, clear and its 1 s pause: %.2f s)\n"
                "  baseline, simulator bare round trip (raw client, same run): %.3f ms; "
                "overhead %.3f ms per card (x%.1f)\n",
                kCards, perCardMs, full.wall, fixed.wall, bareMs, perCardMs - bareMs,
                perCardMs / bareMs);
        }

        // At 19200 baud: 11 + 9 bytes of 10 bits per card.
        {
            ControllerSim sim({"--capacity", "100000", "--baud", "19200"});
            bench.UseDevice(sim.DevicePath());
            const Run fixed = bench.Upload(0);
            SetAllGranted(bench.DbPath(), true);
            const Run full = bench.Upload(kCards);
            SetAllGranted(bench.DbPath(), false);
            const double cardsPerSecond = kCards / (full.wall - fixed.wall);
            const double wireLimit = 19200.0 / ((11 + 9) * 10);
            std::printf(
                "upload of %d cards at 19200 baud: %.1f cards/s\n"
                "  baseline, wire limit: %.1f cards/s; ratio %.3f (target 0.90 or better)\n",
                kCards, cardsPerSecond, wireLimit, cardsPerSecond / wireLimit);
            std::printf(
                "CPU while uploading at 19200 baud: %.1f%% of one core (%.2f s CPU in %.2f s)\n"
                "  baseline: one core = 100%%; target a few percent\n",
                100.0 * full.cpu / full.wall, full.cpu, full.wall);
            // Each voluntary switch is a thread going to sleep and being woken again.
            std::printf(
                "  context switches per card at 19200 baud: %.1f voluntary, %.2f involuntary "
                "(all threads of the process)\n",
                static_cast<double>(full.voluntary - fixed.voluntary) / kCards,
                static_cast<double>(full.involuntary - fixed.involuntary) / kCards);
        }

        // The count check at 19200 baud: verified and unverified uploads of the
        // same cards in alternating rounds, the arm that goes first swapped
        // every round. The check can only act after the last card, so each
        // upload is also timed from the last card's acknowledgement to its
        // end: the 200 cards before it vary by tens of milliseconds from
        // upload to upload and would drown the difference. One command's
        // round trip is the upload's own time per card, measured alongside.
        {
            constexpr int kChecked = 200;
            constexpr int kRounds = 7;
            ControllerSim sim({"--capacity", "100000", "--baud", "19200"});
            bench.UseDevice(sim.DevicePath());
            SetGranted(bench.DbPath(), "update cardlist set granted=(cardno<" +
                                           std::to_string(100000 + kChecked) + ")");
            std::vector<double> verified, unverified, verifiedTail, unverifiedTail;
            for (int round = 0; round < kRounds; ++round) {
                for (int arm = 0; arm < 2; ++arm) {
                    const bool verify = (round + arm) % 2 == 0;
                    const Run r = bench.Upload(kChecked, {.verifyCount = verify});
                    (verify ? verified : unverified).push_back(r.wall);
                    (verify ? verifiedTail : unverifiedTail).push_back(r.tail);
                }
            }
            SetAllGranted(bench.DbPath(), false);
            const double fixed = bench.Upload(0, {.verifyCount = false}).wall;
            const double added = Median(verifiedTail) - Median(unverifiedTail);
            const double roundTrip = (Median(unverified) - fixed) / kChecked;
            const double bare = BareRoundTripSeconds(
                sim.DevicePath(), 50, [](int) { return TRfidReader::BuildFrame(0x40, 0x08, 0); });
            std::printf(
                "count check after an upload of %d cards at 19200 baud: adds %.1f ms (median of "
                "%d rounds, from the last card's acknowledgement to the end: %.1f ms verified, "
                "%.1f ms without the check; whole uploads %.3f s and %.3f s)\n"
                "  baseline, one command's round trip in the same upload: %.1f ms; ratio %.2f "
                "(target 1.00 or less); bare round trip of the count read: %.1f ms\n",
                kChecked, added * 1000.0, kRounds, Median(verifiedTail) * 1000.0,
                Median(unverifiedTail) * 1000.0, Median(verified), Median(unverified),
                roundTrip * 1000.0, added / roundTrip, bare * 1000.0);
        }

        // A controller that never answers: eight one-second waits.
        {
            ControllerSim sim({"--silent"});
            bench.UseDevice(sim.DevicePath());
            const Run wait = bench.Information();
            std::printf(
                "CPU while waiting on a silent controller: %.2f%% of one core (%.3f s CPU in "
                "%.2f s)\n"
                "  baseline: one core = 100%%; target a few percent\n",
                100.0 * wait.cpu / wait.wall, wait.cpu, wait.wall);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_upload: %s\n", e.what());
        return 1;
    }
    return 0;
}
