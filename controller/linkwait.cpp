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
    ShowError(QStringLiteral("Communication port cannot be used."), detail);
}

}  // namespace linkwait
