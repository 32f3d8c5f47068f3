#include "cardread.h"

#include <QString>
#include <chrono>

#include "linkwait.h"
#include "prompts.h"
#include "reader.h"

std::optional<int> ReadPresentedCard(IMainWindow& host, const std::function<bool()>& stop,
                                     const std::function<void(int)>& secondsLeft) {
    using linkwait::Clock;
    // Outlives the reader: a delivery while the port closes may still report.
    std::optional<int> code;
    try {
        auto reader = linkwait::MakeReader(host);
        reader->OnCardCode = [&code](int /*port*/, int /*flag*/, int /*maker*/, int value) {
            if (!code) code = value;
        };
        reader->SetConnected(true);
        linkwait::TEventWaiter waiter;
        const auto deadline = Clock::now() + std::chrono::seconds(kPresentSeconds);
        int shown = -1;
        while (!code) {
            if (stop && stop()) return std::nullopt;  // the reader closes the port
            const auto now = Clock::now();
            if (now >= deadline) break;
            const auto left = deadline - now;
            const int seconds =
                static_cast<int>(std::chrono::ceil<std::chrono::seconds>(left).count());
            if (seconds != shown) {
                shown = seconds;
                if (secondsLeft) secondsLeft(seconds);
            }
            // Wakes when the shown number is due to change, or at an event.
            waiter.WaitUntil(now + (left - std::chrono::seconds(seconds - 1)));
        }
        reader->SetConnected(false);
    } catch (...) {
        linkwait::ReportPortUnusable(host);
        return std::nullopt;
    }
    if (!code)
        ShowError(QStringLiteral("No card was read: the controller sent no card code within %1 "
                                 "seconds.")
                      .arg(kPresentSeconds));
    return code;
}
