// The Search dialog and command: finds one card of the list by number, name
// or group.
#pragma once

#include <QDialog>

class IMainWindow;
class QLineEdit;
class QPushButton;
class QSpinBox;

class TDlgSearch : public QDialog {
    Q_OBJECT
  public:
    explicit TDlgSearch(QWidget* parent = nullptr);

    // Runs when "Search" is pressed, before the dialog closes: trims the name
    // and the group and keeps their lengths.
    void OKBtnClick();

    // The card number entered; text that is no number reads as 0.
    int CardNumber() const;
    int NameLength() const { return FNameLength; }
    int GroupLength() const { return FGroupLength; }

    QSpinBox* seCardno = nullptr;
    QLineEdit* eName = nullptr;
    QLineEdit* eGroup = nullptr;
    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;

  private:
    int FNameLength = 0;
    int FGroupLength = 0;
};

// Shows the dialog and makes the card found the current row, or says
// "No matched record found.".
void bSearchClick(IMainWindow& host);
