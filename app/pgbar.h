// Progress window shown by long commands: a small tool window with a gauge,
// and a Cancel button for the commands that can stop. Creating it switches the program-wide cursor
// to the wait cursor; Finish (or destruction) restores the cursor in force at creation and destroys
// the window.
#pragma once

#include <QString>
#include <memory>

class QWidget;

class Tpbar {
  public:
    // With Cancel the window has a Cancel button. That button, the window's
    // close button and Esc then ask the command to stop (Cancelled turns
    // true) instead of only hiding the window; the command polls Cancelled.
    enum class TCancel { Without, With };

    Tpbar(QWidget* owner, const QString& caption, int maximum, TCancel cancel = TCancel::Without);
    ~Tpbar();  // calls Finish if it has not run
    Tpbar(const Tpbar&) = delete;
    Tpbar& operator=(const Tpbar&) = delete;

    void SetMaximum(int maximum);  // range 0..maximum, progress 0
    void Advance();                // +1, never beyond the maximum
    void Finish();
    bool Cancelled() const;

    int Maximum() const;
    int Progress() const;
    QString PercentText() const;  // e.g. "42%"; "0%" when the maximum is 0
    QWidget* Window() const;      // nullptr after Finish

  private:
    struct Impl;
    std::unique_ptr<Impl> FImpl;
};
