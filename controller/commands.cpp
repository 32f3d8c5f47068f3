// Upload, Information and Remove: each builds a reader for the selected port,
// opens it, sends one controller command at a time and waits for its
// acknowledgement while the user interface keeps running, then closes and
// destroys the reader whatever happens. Every long wait can be cancelled.
#include "commands.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "CPort.h"
#include "activity.h"
#include "datasrc.h"
#include "dbengine.h"
#include "guards.h"
#include "linkwait.h"
#include "mainhost.h"
#include "pgbar.h"
#include "prompts.h"
#include "reader.h"
#include "settings.h"

namespace {

using namespace std::chrono_literals;
using namespace rfid;
using linkwait::Clock;

constexpr std::uint8_t kAckStored = 128;
constexpr std::uint8_t kAckCleared = 255;
constexpr int kSends = 8;
// Out-of-range card numbers named in the refusal; the rest are counted.
constexpr int kNamedCards = 5;

// The granted card numbers as stored, 64 bits wide: a number the frame cannot
// carry must be seen as it is, not as the 32 or 24 bits left of it.
struct TGrantedCards {
    std::vector<int> numbers;  // those the controller can take, in query order
    QStringList refused;       // the others, as text, in query order
};

TGrantedCards ReadGrantedCards(TDbQuery& query) {
    TGrantedCards cards;
    TField cardno = query.FieldByName("cardno");
    for (query.First(); !query.Eof(); query.Next()) {
        const TValue& value = cardno.Value();
        if (const auto* n = std::get_if<std::int64_t>(&value);
            n && *n >= 0 && *n <= kMaxControllerCard) {
            cards.numbers.push_back(static_cast<int>(*n));
        } else {
            const std::string text = cardno.AsString();
            cards.refused << (text.empty() ? QStringLiteral("(none)")
                                           : QString::fromStdString(text));
        }
    }
    return cards;
}

void ShowRefusedCards(const QStringList& refused) {
    QString named = QStringList(refused.mid(0, kNamedCards)).join(QStringLiteral(", "));
    if (refused.size() > kNamedCards)
        named += QStringLiteral(" and %1 more").arg(refused.size() - kNamedCards);
    ShowError(QStringLiteral("The controller takes card numbers from 0 to 16,777,215 only; these "
                             "granted cards are outside: %1. Nothing was sent: change or deny "
                             "them, then upload again.")
                  .arg(named));
}

// The operator stopped the upload once the table had been cleared.
void ShowUploadCancelled(int sent) {
    ShowInfo(QStringLiteral("Upload cancelled. %1 card(s) sent: the controller now holds only "
                            "those.")
                 .arg(sent));
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

TLinkResult SendAndWait(IMainWindow& host, TRfidReader& reader, std::uint8_t command,
                        std::uint8_t parameter, std::uint32_t data, bool progress,
                        const Tpbar* stopper) {
    // Declared before the progress window so that the window is finished first
    // and the cursor restored after it.
    TWaitCursor cursor;
    std::optional<Tpbar> bar;
    if (progress) {
        bar.emplace(host.Window(), QStringLiteral("Clear access table"), 25, Tpbar::TCancel::With);
    }
    const auto ownStop = [&] { return bar && bar->Cancelled(); };
    const auto outerStop = [&] { return stopper && stopper->Cancelled(); };

    const int seconds = TRfidReader::CommandTimeoutSeconds(command, parameter);
    linkwait::TEventWaiter waiter;
    auto tick = Clock::now() + 1s;
    for (int send = 0; send < kSends; ++send) {
        if (ownStop() || outerStop()) return TLinkResult::Stopped;
        if (send == 1 && !bar && !stopper) {
            // The first send went unanswered: the rest may take seconds.
            bar.emplace(host.Window(), QStringLiteral("Waiting for the controller"),
                        (kSends - 1) * seconds, Tpbar::TCancel::With);
        }
        // A closed port would silently swallow the frame and leave the flags of
        // the previous command standing; that must not pass for an answer.
        if (!reader.Connected()) throw EComPort(2);
        reader.SendCommand(command, parameter, data);
        // Only if the reader's own timer never fired would this matter.
        const auto backstop = Clock::now() + std::chrono::seconds(seconds) + 2s;
        for (;;) {
            // An acknowledgement that came in counts even if the time-out
            // expired during the same burst of events.
            if (reader.AckRx()) return TLinkResult::Done;
            if (ownStop()) return TLinkResult::Stopped;
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
    return TLinkResult::Failed;
}

TLinkResult SendCard(IMainWindow& host, TRfidReader& reader, int cardNumber, const Tpbar* stopper) {
    const TLinkResult result = SendAndWait(host, reader, kCmdAccess, kParamStore,
                                           static_cast<std::uint32_t>(cardNumber), false, stopper);
    if (result == TLinkResult::Done && reader.AckCmd() != kAckStored) return TLinkResult::Failed;
    return result;
}

TLinkResult ClearAccessTable(IMainWindow& host, TRfidReader& reader) {
    host.ShowStatusText(QStringLiteral("clear access table"));
    // The status text must not outlive a failed command.
    bool done = false;
    TScopeExit clearText([&] {
        if (!done) host.ShowStatusText(QString());
    });
    const QDateTime start = QDateTime::currentDateTime();
    const TLinkResult result = SendAndWait(host, reader, kCmdAccess, kParamClear, kClearData, true);
    if (result == TLinkResult::Stopped) return result;
    host.ShowElapsed(start);
    linkwait::RunEventsFor(1s);
    done = true;
    host.ShowStatusText(QString());
    return result;
}

TLinkResult UploadCards(IMainWindow& host, TRfidReader& reader, TDbQuery& query, int& count,
                        TUploadSteps steps) {
    count = 0;
    // The numbers are taken before the first wait: the window stays usable
    // meanwhile, and a command that refreshes the card list closes every query
    // on the connection, which would otherwise cut the upload short. They are
    // checked before anything is sent: a number the frame cannot carry would
    // reach the controller as another card and open the door for it.
    const TGrantedCards cards = ReadGrantedCards(query);
    if (!cards.refused.isEmpty()) {
        ShowRefusedCards(cards.refused);
        return TLinkResult::Stopped;
    }
    const int records = static_cast<int>(cards.numbers.size());
    if (records == 0 &&
        !AskConfirm(QStringLiteral(
            "No card in the card list is granted access. Uploading now clears the controller's "
            "access table: the controller will then hold no card and open the door for nobody. "
            "Are you sure?")))
        return TLinkResult::Stopped;

    TLinkResult result = SendAndWait(host, reader, kCmdAccess, kParamCapacity, 0, false);
    if (result == TLinkResult::Stopped) {
        ShowInfo(QStringLiteral(
            "Upload cancelled. No card was sent; the controller's access table is unchanged."));
        return result;
    }
    if (result != TLinkResult::Done) return result;
    const int capacity = reader.AckParam();
    if (records > capacity) {
        ShowError(QStringLiteral(
                      "The card list contains too many cards (>%1). Please remove some of them.")
                      .arg(capacity));
        return TLinkResult::Failed;
    }
    result = ClearAccessTable(host, reader);
    if (result == TLinkResult::Stopped) {
        ShowInfo(
            QStringLiteral("Upload cancelled. No card was sent; the controller's access "
                           "table may have been cleared."));
        return result;
    }
    if (result != TLinkResult::Done) return result;
    if (reader.AckCmd() != kAckCleared) {
        ShowError(QStringLiteral("Cannot clear the controller's access table. Operation aborted."));
        return TLinkResult::Failed;
    }

    bool cancelled = false;
    {
        // The grid comes back and the window goes before any box is shown.
        host.SetGridVisible(false);
        TScopeExit showGrid([&] { host.SetGridVisible(true); });
        Tpbar bar(host.Window(), QStringLiteral("Uploading records"), records,
                  Tpbar::TCancel::With);
        for (const int card : cards.numbers) {
            QCoreApplication::processEvents();
            // Stops between cards, and after the send in flight within one.
            if (bar.Cancelled()) {
                cancelled = true;
                break;
            }
            result = SendCard(host, reader, card, &bar);
            if (result == TLinkResult::Stopped) {
                cancelled = true;
                break;
            }
            if (result != TLinkResult::Done) return result;
            ++count;
            bar.Advance();
        }
    }
    if (cancelled) {
        ShowUploadCancelled(count);
        return TLinkResult::Stopped;
    }
    if (steps.cardsSent) steps.cardsSent();
    if (!steps.verifyCount) return TLinkResult::Done;

    // An acknowledged card is not yet a stored one: the controller's own count
    // tells whether it holds what was sent.
    result = SendAndWait(host, reader, kCmdAccess, kParamOccupied, 0, false);
    if (result == TLinkResult::Stopped) {
        ShowUploadCancelled(count);
        return result;
    }
    if (result != TLinkResult::Done) return result;
    const int held = reader.AckParam();
    if (held != count) {
        ShowError(QStringLiteral("The upload could not be verified: %1 card(s) sent, but the "
                                 "controller holds %2. Please upload again.")
                      .arg(count)
                      .arg(held));
        return TLinkResult::Stopped;
    }
    return TLinkResult::Done;
}

void UploadToController(IMainWindow& host, Tdsrc& data, TUploadSteps steps) {
    if (host.CheckListEmpty()) return;
    TControllerActivity activity(host, "Upload");
    try {
        auto reader = linkwait::MakeReader(host);
        const QDateTime start = QDateTime::currentDateTime();
        reader->SetConnected(true);
        // The granted cards as they are now, not as at the last upload; the
        // snapshot is dropped again afterwards.
        TScopeExit closeAccess([&] { data.daccess.Close(); });
        if (data.daccess.Active()) data.daccess.Close();
        data.daccess.Open();
        int count = 0;
        const TLinkResult result = UploadCards(host, *reader, data.daccess, count, steps);
        activity.SetDone(result == TLinkResult::Done);
        activity.SetFigures(QStringLiteral("%1 card(s) sent").arg(count) +
                            (result == TLinkResult::Done && steps.verifyCount
                                 ? QStringLiteral(", %1 held by the controller").arg(count)
                                 : QString()));
        switch (result) {
            case TLinkResult::Done:
                host.ShowElapsed(start);
                ShowInfo(QStringLiteral("Uploading successfully. %1 record(s) sent.").arg(count));
                host.ShowStatusText(QString());
                break;
            case TLinkResult::Failed:
                ShowError(QStringLiteral("Uploading error. Please try."));
                break;
            case TLinkResult::Stopped:
                break;
        }
        reader->SetConnected(false);
    } catch (...) {
        linkwait::ReportPortUnusable(host);
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
        TControllerActivity activity(host, "Information");
        try {
            auto reader = linkwait::MakeReader(host);
            reader->SetConnected(true);
            // A cancelled wait ends the command without a word: nothing changed.
            if (SendAndWait(host, *reader, kCmdAccess, kParamCapacity, 0, false) !=
                TLinkResult::Done)
                return;
            const int capacity = reader->AckParam();
            if (SendAndWait(host, *reader, kCmdAccess, kParamOccupied, 0, false) !=
                TLinkResult::Done)
                return;
            const int occupied = reader->AckParam();
            reader->SetConnected(false);
            activity.SetDone(true);
            ShowInfo(QStringLiteral("The maximum capacity = %1 cards.\r\nOccupied = %2 card(s).")
                         .arg(capacity)
                         .arg(occupied));
        } catch (...) {
            linkwait::ReportPortUnusable(host);
        }
    });
}

void bDenyAllClick(IMainWindow& host) {
    Guarded([&] {
        if (!AskConfirm(
                QStringLiteral("Are you sure to clear the access table inside the controller?")))
            return;
        TLongCommand busy(host);
        TControllerActivity activity(host, "Remove");
        try {
            auto reader = linkwait::MakeReader(host);
            reader->SetConnected(true);
            switch (ClearAccessTable(host, *reader)) {
                case TLinkResult::Done:
                    activity.SetDone(true);
                    ShowInfo(QStringLiteral("Table cleared."));
                    break;
                case TLinkResult::Stopped:
                    ShowInfo(
                        QStringLiteral("Remove cancelled. The controller has not confirmed "
                                       "that its access table is cleared."));
                    break;
                case TLinkResult::Failed:
                    break;
            }
        } catch (...) {
            linkwait::ReportPortUnusable(host);
        }
    });
}
