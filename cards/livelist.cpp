#include "livelist.h"

#include <QSocketNotifier>

#include "dbengine.h"

TLiveList::TLiveList(TDbConnection& connection, std::function<bool()> idle,
                     std::function<void()> refresh)
    : FConnection(connection), FIdle(std::move(idle)), FRefresh(std::move(refresh)) {
    FConnection.OnChangedElsewhere = [this](const std::string&) { FPending = true; };
    FTick.setInterval(100);
    connect(&FTick, &QTimer::timeout, this, [this] {
        Watch();
        // A notice that came in with the answer to a statement is already
        // read from the socket: only asking finds it.
        if (FDescriptor >= 0) FConnection.ReadNotices();
        if (FPending) RunWhenIdle();
    });
    FTick.start();
}

TLiveList::~TLiveList() {
    FConnection.OnChangedElsewhere = nullptr;
}

void TLiveList::Watch() {
    const int descriptor = FConnection.NoticeDescriptor();
    if (descriptor == FDescriptor) return;
    FNotifier.reset();
    FDescriptor = descriptor;
    if (descriptor < 0) return;
    FNotifier = std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Read);
    connect(FNotifier.get(), &QSocketNotifier::activated, this, [this] { ReadNotices(); });
}

void TLiveList::Refreshed() {
    FPending = false;
}

void TLiveList::ReadNotices() {
    FConnection.ReadNotices();
    // A connection that ended leaves its descriptor readable for good.
    Watch();
    if (FPending) RunWhenIdle();
}

void TLiveList::RunWhenIdle() {
    if (!FIdle()) return;  // the tick tries again
    FPending = false;
    FRefresh();
}
