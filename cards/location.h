// Where the working card list lives: the working database file on this
// computer, or a PostgreSQL server named by the setting "DATABASE" (a
// connection URI). The dialog "Card List Location" shows it and changes it;
// Options opens it.
#pragma once

#include <QDialog>

class IMainWindow;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

class TDlgLocation : public QDialog {
    Q_OBJECT
  public:
    // now: where the list lives at present; setting: the stored "DATABASE".
    TDlgLocation(QWidget* parent, const QString& now, const QString& setting);

    // The value for "DATABASE": empty for the file, else the URI as typed
    // (blanks around it removed).
    QString Setting() const;

    QLabel* lNow = nullptr;
    QRadioButton* rbFile = nullptr;
    QRadioButton* rbServer = nullptr;
    QLineEdit* eServer = nullptr;
    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;

  private:
    // A server URI that libpq cannot read keeps the dialog open with a
    // message; an empty one means the file.
    void OKBtnClick();
};

// Shows the dialog; on OK with another setting writes "DATABASE" and
// refreshes the list from the new place (a failure there goes up to the
// caller, which shows it).
void ChangeCardListLocation(IMainWindow& host);
