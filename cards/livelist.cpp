#include "livelist.h"

#include <QSocketNotifier>

#include "dbengine.h"

namespace {

// More changed cards than this are read with the whole list.
constexpr size_t kMostCards = 200;
// Updates come at most this often (ms): a busy site's changes are read in
// batches, not one statement per change.
constexpr int kBatchMs = 50;

}  // namespace

TLiveList::TLiveList(TDbConnection& connection, std::function<bool()> idle, TUpdate update)
    : FConnection(connection), FIdle(std::move(idle)), FUpdate(std::move(update)) {
    FConnection.OnChangedElsewhere = [this](const std::string&,
                                            const std::vector<std::int64_t>& cards) {
        FPending = true;
        FWhole = FWhole || cards.empty() || FCards.size() + cards.size() > kMostCards;
        if (!FWhole) FCards.insert(FCards.end(), cards.begin(), cards.end());
    };
    FTick.setInterval(kBatchMs);
    FSinceUpdate.start();
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
    FWhole = false;
    FCards.clear();
}

void TLiveList::ReadNotices() {
    FConnection.ReadNotices();
    // A connection that ended leaves its descriptor readable for good.
    Watch();
    if (FPending && FSinceUpdate.elapsed() >= kBatchMs) RunWhenIdle();
}

void TLiveList::RunWhenIdle() {
    if (!FIdle()) return;  // the tick tries again
    const std::vector<std::int64_t> cards = FWhole ? std::vector<std::int64_t>() : FCards;
    Refreshed();
    FSinceUpdate.restart();
    FUpdate(cards);
}
