// Modal prompts and file dialogs. Everything goes through one seam so that tests
// can answer the prompts; the default seam shows real Qt dialogs.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

class QWidget;

enum class PromptKind {
    Confirm,   // "Confirm", question icon, Yes (default) / No (Esc)
    Error,     // "Error", error icon, OK
    Info,      // "Information", information icon, OK
    AppError,  // the application's standard error box: title "Lorvane", error icon, OK
    Plain,     // title "Lorvane", no icon, OK
    Proceed,   // "Confirm", question icon, OK only: Enter and Esc press OK; its close
               // button turns it down; true when OK was pressed
};

class IPromptSeam {
  public:
    virtual ~IPromptSeam() = default;
    // Shows one modal box; the result matters only for Confirm (true = Yes) and
    // Proceed (true = OK).
    virtual bool Prompt(PromptKind kind, const QString& title, const QString& message) = 0;
    // The same box with a second text under the message: a failure's reason
    // and what to do about it. A seam that has no place for it shows the
    // message alone.
    virtual bool PromptWithDetail(PromptKind kind, const QString& title, const QString& message,
                                  const QString& detail) {
        Q_UNUSED(detail);
        return Prompt(kind, title, message);
    }
    // File dialogs; an empty result means cancelled. The filter is Qt's
    // "Name (*.x)" form, or pairs of description and pattern joined by '|'
    // ("Card Database|*.mdb"). defaultExt (without the dot), when given, is
    // added to a typed name that has no extension. Open dialogs accept only an
    // existing file; save dialogs ask before replacing one.
    virtual QString OpenFileName(const QString& caption, const QString& initial,
                                 const QString& filter, const QString& defaultExt) = 0;
    virtual QString SaveFileName(const QString& caption, const QString& initial,
                                 const QString& filter, const QString& defaultExt) = 0;
    // A box asking for a password, its entry showing no text; none when
    // cancelled.
    virtual std::optional<QString> Password(const QString& title, const QString& message) = 0;
};

// Keeps a copy of every message box shown while it lives (questions aside),
// as shown, for the records of what the operator was told. Any number may
// live at once; each sees the messages of its own lifetime.
class TPromptLog {
  public:
    TPromptLog();
    ~TPromptLog();
    TPromptLog(const TPromptLog&) = delete;
    TPromptLog& operator=(const TPromptLog&) = delete;
    const QStringList& Messages() const { return FMessages; }
    // Gives a message being shown to every log alive (the prompts call it).
    static void Note(const QString& message);

  private:
    QStringList FMessages;
};

// Installs a seam (nullptr restores the real dialogs); returns the previous one.
// The caller keeps ownership.
IPromptSeam* SetPromptSeam(IPromptSeam* seam);

bool AskConfirm(const QString& message);
void ShowError(const QString& message);
// The error box with a detail under the message (selectable, so that a
// command in it can be copied); an empty detail shows the message alone.
void ShowError(const QString& message, const QString& detail);
void ShowInfo(const QString& message);
// A plain box titled "Lorvane", without icon, with one OK button.
void ShowPlainMessage(const QString& message);
// "Confirm" box with a question icon and the single button OK; true when it
// closed through OK (Enter or Esc), false when its close button closed it.
bool AskProceed(const QString& message);

// Asks for a password ("Password" box, OK and Cancel); none when cancelled.
// The caller keeps the answer in memory only.
std::optional<QString> PromptPassword(const QString& message);

// The standard error box for failures that no command handles: the failure's own
// text with a full stop added when its last character sorts after ".".
void ShowApplicationError(const QString& failureText);
QString WithFullStop(const QString& text);

// Runs a command handler; a failure it does not catch goes to the standard
// error box instead of escaping into the event loop.
void Guarded(const std::function<void()>& handler);

QString PromptOpenFileName(const QString& caption, const QString& initial, const QString& filter,
                           const QString& defaultExt = {});
QString PromptSaveFileName(const QString& caption, const QString& initial, const QString& filter,
                           const QString& defaultExt = {});

// Qt's filter form of a '|'-joined filter ("Card Database|*.mdb" gives
// "Card Database (*.mdb)"); a filter without '|' is returned as it is.
QString QtFileFilter(const QString& filter);
