// The live card list: changes that other programs commit to the working card
// list (other operators on the same server) appear in this window on their
// own. The connection's notices are watched on its descriptor; a notice asks
// for a refresh, which runs as soon as no command runs, no dialog is open and
// no refresh is under way. A refresh that runs for any other reason takes the
// pending one with it.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>

class QSocketNotifier;
class TDbConnection;

class TLiveList : public QObject {
    Q_OBJECT
  public:
    // idle: whether a refresh may run now; refresh: runs one.
    TLiveList(TDbConnection& connection, std::function<bool()> idle, std::function<void()> refresh);
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
    std::function<void()> FRefresh;
    std::unique_ptr<QSocketNotifier> FNotifier;
    int FDescriptor = -1;
    bool FPending = false;
    // Follows reconnects made by posts and runs a refresh that had to wait.
    QTimer FTick;
};
