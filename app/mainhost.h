// What the card and controller commands need of the main window. The main window
// implements it; commands never see its class.
#pragma once

#include <QDateTime>
#include <QString>
#include <exception>
#include <functional>
#include <string>

class QWidget;
class TDbQuery;

class IMainWindow {
  public:
    virtual ~IMainWindow() = default;

    // Owner for progress windows and dialogs.
    virtual QWidget* Window() = 0;

    // Status bar helpers; each lets pending events run.
    virtual void ShowStatusText(const QString& text) = 0;
    virtual void ShowElapsed(const QDateTime& start) = 0;
    virtual void ShowRecordCount() = 0;

    // The working database file, full path.
    virtual const std::string& WorkDbPath() const = 0;
    // The working card list's connection string: the server's when the
    // setting "DATABASE" names one (with a password typed during this run),
    // else the working database file's. Raises for an unusable setting.
    virtual std::string WorkingConnection() const = 0;

    // Card list: the list query dbcard (its current row is the grid's row).
    virtual TDbQuery& CardList() = 0;
    virtual void RefreshCardList() = 0;
    virtual bool CheckListEmpty() = 0;
    virtual void SetGridVisible(bool visible) = 0;
    // Gives the card grid the keyboard focus.
    virtual void FocusCardGrid() = 0;

    // Commands held by hidden controls, run as the program runs them: setting
    // the granted-only filter (a change runs its click handler, whose failures
    // go up to the caller), and a click on the Grant All / Deny All buttons.
    virtual void SetGrantedFilter(bool on) = 0;
    virtual void ClickAllGranted() = 0;
    virtual void ClickAllDeny() = 0;

    // Port selector: item index of "COM1" to "COM8" (-1 when none), the
    // device path it names instead (empty when none), and enabling it.
    virtual int PortIndex() const = 0;
    virtual std::string PortDevice() const = 0;
    virtual void SetPortSelectorEnabled(bool enabled) = 0;
    virtual bool PortSelectorEnabled() const = 0;

    // Long commands (row loops, import, export, controller commands) let pending
    // events run while they work on the card list. While one runs, the commands
    // that change, reopen or refresh the list are ignored and closing the window
    // waits until the last one has ended. Hold a TLongCommand for the duration.
    virtual void BeginLongCommand() = 0;
    virtual void EndLongCommand() = 0;
    virtual bool LongCommandRunning() const = 0;
};

class TLongCommand {
  public:
    explicit TLongCommand(IMainWindow& host) : FHost(host) { FHost.BeginLongCommand(); }
    ~TLongCommand() { FHost.EndLongCommand(); }
    TLongCommand(const TLongCommand&) = delete;
    TLongCommand& operator=(const TLongCommand&) = delete;

  private:
    IMainWindow& FHost;
};

// Runs a command's body and then the refresh that ends it whatever happened;
// a failure of the body goes up after the refresh.
inline void ThenRefresh(IMainWindow& host, const std::function<void()>& body) {
    std::exception_ptr failure;
    try {
        body();
    } catch (...) {
        failure = std::current_exception();
    }
    host.RefreshCardList();
    if (failure) std::rethrow_exception(failure);
}
