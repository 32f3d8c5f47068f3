#include "linkwait.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QString>

#include "CPort.h"
#include "commands.h"
#include "mainhost.h"
#include "prompts.h"
#include "reader.h"

namespace linkwait {

TEventWaiter::TEventWaiter() {
    FWake.setSingleShot(true);
    FWake.setTimerType(Qt::PreciseTimer);
}

void TEventWaiter::WaitUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
        QCoreApplication::processEvents();
        return;
    }
    // Most rounds wait for the same deadline: keep the running timer rather
    // than re-registering it for every delivery.
    if (!FWake.isActive() || deadline != FArmedFor) {
        FWake.start(static_cast<int>(left) + 1);
        FArmedFor = deadline;
    }
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

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

void ReportPortUnusable(IMainWindow& host) {
    QString reason;
    try {
        throw;
    } catch (const EComPort& e) {
        reason = QString::fromLocal8Bit(e.Reason());
    } catch (...) {
    }
    ShowError(QStringLiteral("Communication port cannot be used."));
    if (!reason.isEmpty()) host.ShowStatusText(reason);
}

}  // namespace linkwait
