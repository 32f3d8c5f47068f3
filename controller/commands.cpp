// Upload, Information and Remove: each builds a reader for the selected port,
// opens it, sends one controller command at a time and waits for its
// acknowledgement while the user interface keeps running, then closes and
// destroys the reader whatever happens.
#include "commands.h"

#include <QCoreApplication>
#include <QCursor>
#include <QEventLoop>
#include <QGuiApplication>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <vector>

#include "CPort.h"
#include "datasrc.h"
#include "dbengine.h"
#include "guards.h"
#include "mainhost.h"
#include "pgbar.h"
#include "prompts.h"
#include "reader.h"
#include "settings.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

using namespace rfid;
constexpr std::uint8_t kAckStored = 128;
constexpr std::uint8_t kAckCleared = 255;
constexpr int kSends = 8;

const char* const kPortUnusable = "Communication port cannot be used.";

// Called from a catch block. Under the fixed text the box tells why the port
// failed ("/dev/ttyUSB0: Permission denied") when the system said so, and what
// to do about it.
void ReportPortUnusable(IMainWindow& host) {
    Q_UNUSED(host);
    QString detail;
    try {
        throw;
    } catch (const EComPort& e) {
        detail = QString::fromLocal8Bit(e.Reason());
        const std::string advice = ComPortAdvice(e);
        if (!detail.isEmpty() && !advice.empty()) detail += QStringLiteral("\n\n");
        if (!detail.isEmpty()) detail += QString::fromLocal8Bit(advice);
    } catch (...) {
    }
    ShowError(QString::fromLatin1(kPortUnusable), detail);
}

// Blocks in the event loop until at least one event has been handled (a
// received byte, a timer, a click) or the deadline has come. The wake-up timer
// keeps the deadline honest even when nothing else happens; nothing spins.
class TEventWaiter {
  public:
    TEventWaiter() {
        FWake.setSingleShot(true);
        FWake.setTimerType(Qt::PreciseTimer);
    }
    void WaitUntil(Clock::time_point deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            QCoreApplication::processEvents();
            return;
        }
        // Most rounds wait for the same deadline: keep the running timer
        // rather than re-registering it for every delivery.
        if (!FWake.isActive() || deadline != FArmedFor) {
            FWake.start(static_cast<int>(left) + 1);
            FArmedFor = deadline;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }

  private:
    QTimer FWake;
    Clock::time_point FArmedFor{};
};

// Lets pending events run until the time has passed, without spinning.
void RunEventsFor(std::chrono::milliseconds span) {
    TEventWaiter waiter;
    const auto until = Clock::now() + span;
    while (Clock::now() < until) waiter.WaitUntil(until);
}

std::unique_ptr<TRfidReader> MakeReader(IMainWindow& host) {
    auto reader = std::make_unique<TRfidReader>();
    ConfigureReader(host, *reader);
    return reader;
}

}  // namespace

void cbPortChange(IMainWindow& host) {
    Guarded([&] {
        // A device path is stored as it is; "COM1" to "COM8" as their index.
        if (const std::string device = host.PortDevice(); !device.empty())
            WriteSettingString("PORT", device);
        else
            WriteSettingInt("PORT", host.PortIndex());
    });
}

void ConfigureReader(IMainWindow& host, TRfidReader& reader) {
    reader.PortNo = host.PortIndex() + 1;
    reader.SetDataBits(dbEight);
    reader.SetStopBits(sbOneStopBit);
    reader.SetupPort();
    // A device path names the port itself.
    if (const std::string device = host.PortDevice(); !device.empty()) reader.SetPort(device);
}

bool SendAndWait(IMainWindow& host, TRfidReader& reader, std::uint8_t command,
                 std::uint8_t parameter, std::uint32_t data, bool progress) {
    // Declared before the progress window so that the window is finished first
    // and the cursor restored after it.
    TWaitCursor cursor;
    std::optional<Tpbar> bar;
    if (progress) bar.emplace(host.Window(), QStringLiteral("Clear access table"), 25);

    const auto timeLimit =
        std::chrono::seconds(TRfidReader::CommandTimeoutSeconds(command, parameter));
    TEventWaiter waiter;
    auto tick = Clock::now() + 1s;
    for (int send = 0; send < kSends; ++send) {
        // A closed port would silently swallow the frame and leave the flags of
        // the previous command standing; that must not pass for an answer.
        if (!reader.Connected()) throw EComPort(2);
        reader.SendCommand(command, parameter, data);
        // Only if the reader's own timer never fired would this matter.
        const auto backstop = Clock::now() + timeLimit + 2s;
        for (;;) {
            // An acknowledgement that came in counts even if the time-out
            // expired during the same burst of events.
            if (reader.AckRx()) return true;
            if (reader.CmdTimeout() || Clock::now() >= backstop) break;
            waiter.WaitUntil(std::min(tick, backstop));
            const auto now = Clock::now();
            if (now >= tick) {
                tick = now + 1s;
                if (bar) bar->Advance();
            }
        }
    }
    ShowError(QStringLiteral("Communication error. Please try."));
    return false;
}

bool SendCard(IMainWindow& host, TRfidReader& reader, int cardNumber) {
    return SendAndWait(host, reader, kCmdAccess, kParamStore,
                       static_cast<std::uint32_t>(cardNumber), false) &&
           reader.AckCmd() == kAckStored;
}

bool ClearAccessTable(IMainWindow& host, TRfidReader& reader) {
    host.ShowStatusText(QStringLiteral("clear access table"));
    // The status text must not outlive a failed command.
    bool done = false;
    TScopeExit clearText([&] {
        if (!done) host.ShowStatusText(QString());
    });
    const QDateTime start = QDateTime::currentDateTime();
    const bool ok = SendAndWait(host, reader, kCmdAccess, kParamClear, kClearData, true);
    host.ShowElapsed(start);
    RunEventsFor(1s);
    done = true;
    host.ShowStatusText(QString());
    return ok;
}

bool UploadCards(IMainWindow& host, TRfidReader& reader, TDbQuery& query, int& count) {
    count = 0;
    // The numbers are taken before the first wait: the window stays usable
    // meanwhile, and a command that refreshes the card list closes every query
    // on the connection, which would otherwise cut the upload short.
    std::vector<int> cards;
    for (query.First(); !query.Eof(); query.Next())
        cards.push_back(query.FieldByName("cardno").AsInteger());
    const int records = static_cast<int>(cards.size());

    if (!SendAndWait(host, reader, kCmdAccess, kParamCapacity, 0, false)) return false;
    const int capacity = reader.AckParam();
    if (records > capacity) {
        ShowError(QStringLiteral(
                      "The card list contains too many cards (>%1). Please remove some of them.")
                      .arg(capacity));
        return false;
    }
    if (!ClearAccessTable(host, reader)) return false;
    if (reader.AckCmd() != kAckCleared) {
        ShowError(QStringLiteral("Cannot clear the controller's access table. Operation aborted."));
        return false;
    }

    host.SetGridVisible(false);
    TScopeExit showGrid([&] { host.SetGridVisible(true); });
    Tpbar bar(host.Window(), QStringLiteral("Uploading records"), records);
    for (const int card : cards) {
        QCoreApplication::processEvents();
        if (!SendCard(host, reader, card)) return false;
        ++count;
        bar.Advance();
    }
    return true;
}

void UploadToController(IMainWindow& host, Tdsrc& data) {
    if (host.CheckListEmpty()) return;
    try {
        auto reader = MakeReader(host);
        const QDateTime start = QDateTime::currentDateTime();
        reader->SetConnected(true);
        // The granted cards as they are now, not as at the last upload; the
        // snapshot is dropped again afterwards.
        TScopeExit closeAccess([&] { data.daccess.Close(); });
        if (data.daccess.Active()) data.daccess.Close();
        data.daccess.Open();
        int count = 0;
        if (UploadCards(host, *reader, data.daccess, count)) {
            host.ShowElapsed(start);
            ShowInfo(QStringLiteral("Uploading successfully. %1 record(s) sent.").arg(count));
            host.ShowStatusText(QString());
        } else {
            ShowError(QStringLiteral("Uploading error. Please try."));
        }
        reader->SetConnected(false);
    } catch (...) {
        ReportPortUnusable(host);
    }
}

void bUploadClick(IMainWindow& host, Tdsrc& data) {
    Guarded([&] {
        if (!AskConfirm(QStringLiteral(
                "This action will clear the existing access table inside the controller and upload "
                "the cards in the card list to the controller. Are you sure?")))
            return;
        // A second Upload clicked while the first waits must not re-enable the
        // selector under the running one: put back the state found.
        const bool wasEnabled = host.PortSelectorEnabled();
        host.SetPortSelectorEnabled(false);
        TLongCommand busy(host);
        TScopeExit enablePort([&] { host.SetPortSelectorEnabled(wasEnabled); });
        UploadToController(host, data);
    });
}

void bInfoClick(IMainWindow& host) {
    Guarded([&] {
        TLongCommand busy(host);
        try {
            auto reader = MakeReader(host);
            reader->SetConnected(true);
            if (!SendAndWait(host, *reader, kCmdAccess, kParamCapacity, 0, false)) return;
            const int capacity = reader->AckParam();
            if (!SendAndWait(host, *reader, kCmdAccess, kParamOccupied, 0, false)) return;
            const int occupied = reader->AckParam();
            reader->SetConnected(false);
            ShowInfo(QStringLiteral("The maximum capacity = %1 cards.\r\nOccupied = %2 card(s).")
                         .arg(capacity)
                         .arg(occupied));
        } catch (...) {
            ReportPortUnusable(host);
        }
    });
}

void bDenyAllClick(IMainWindow& host) {
    Guarded([&] {
        if (!AskConfirm(
                QStringLiteral("Are you sure to clear the access table inside the controller?")))
            return;
        TLongCommand busy(host);
        try {
            auto reader = MakeReader(host);
            reader->SetConnected(true);
            if (ClearAccessTable(host, *reader)) ShowInfo(QStringLiteral("Table cleared."));
        } catch (...) {
            ReportPortUnusable(host);
        }
    });
}
