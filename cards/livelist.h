// The live card list: changes that other programs commit to the working card
// list (other operators on the same server) appear in this window on their
// own. The connection's notices are watched on its descriptor; a notice asks
// for an update, which runs as soon as no command runs, no dialog is open and
// no refresh is under way: the changed cards alone when the notices named
// them (few enough), else the whole list. A refresh that runs for any other
// reason takes the pending update with it.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QSocketNotifier;
class TDbConnection;

class TLiveList : public QObject {
    Q_OBJECT
  public:
    // idle: whether an update may run now; update: runs one, for the cards
    // given, or for the whole list when none are.
    using TUpdate = std::function<void(const std::vector<std::int64_t>& cards)>;
    TLiveList(TDbConnection& connection, std::function<bool()> idle, TUpdate update);
    ~TLiveList() override;

    // Follows the connection's notice descriptor (it changes with every
    // connect); call after each connect. Watching stops while it is -1.
    void Watch();
    // A refresh has read the list: nothing is pending any more.
    void Refreshed();
    bool Pending() const { return FPending; }

  private:
    void ReadNotices();
    void RunWhenIdle();

    TDbConnection& FConnection;
    std::function<bool()> FIdle;
    TUpdate FUpdate;
    std::unique_ptr<QSocketNotifier> FNotifier;
    int FDescriptor = -1;
    bool FPending = false;
    bool FWhole = false;               // the whole list is to be read again
    std::vector<std::int64_t> FCards;  // else these cards
    // Follows reconnects made by posts, reads notices that came in with
    // answers, and runs an update that had to wait.
    QTimer FTick;
    QElapsedTimer FSinceUpdate;
};
