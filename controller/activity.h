// The history entry of one controller command: what went to (or came from)
// the controller, on which port, and how it ended, in the working store's
// history, whatever way the command ends.
#pragma once

#include <QString>
#include <string>

#include "prompts.h"

class IMainWindow;

class TControllerActivity {
  public:
    // Starts the entry of a command ("Upload", "Information", "Remove") on
    // the port the window has selected.
    TControllerActivity(IMainWindow& host, std::string command);
    // Adds the entry: the port, the figures, then "completed" or "failed"
    // and every message the operator was shown meanwhile (the error texts,
    // the figures read). Never raises: a store that cannot take it does not
    // turn the command into a failure.
    ~TControllerActivity();
    TControllerActivity(const TControllerActivity&) = delete;
    TControllerActivity& operator=(const TControllerActivity&) = delete;

    // The command's own figures, e.g. "12 card(s) sent", and whether it did
    // what it was asked to.
    void SetFigures(const QString& figures) { FFigures = figures; }
    void SetDone(bool done) { FDone = done; }

  private:
    IMainWindow& FHost;
    std::string FCommand;
    QString FPort;
    QString FFigures;
    bool FDone = false;
    TPromptLog FShown;
};
