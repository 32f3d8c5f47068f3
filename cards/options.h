// The Options dialog and command: the granted-only filter and the access
// rights of all cards at once.
#pragma once

#include <QDialog>

class IMainWindow;
class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QPushButton;

class TDlgOptions : public QDialog {
    Q_OBJECT
  public:
    enum TAccess { RemainUnchanged, GrantToAll, DenyFromAll };

    explicit TDlgOptions(QWidget* parent = nullptr);

    // The selected item of rgAccess.
    int AccessIndex() const;
    void SetAccessIndex(int index);

    QGroupBox* rgAccess = nullptr;
    QCheckBox* cbShowGrant = nullptr;
    QPushButton* bLocation = nullptr;  // "Card List Location..." (where the list lives)
    QPushButton* bProceed = nullptr;
    QPushButton* bCancel = nullptr;

  private:
    QButtonGroup* FAccess = nullptr;
};

// Shows the dialog ("Card List Location..." changes where the list lives at
// once, through its own dialog); on "Proceed" runs Grant All or Deny All as a click on
// their buttons would, sets the filter and refreshes the list.
void bOptionsClick(IMainWindow& host);
