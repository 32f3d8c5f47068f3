// The group picker: the distinct groups of the working database, one per line,
// in the order the database returns them.
#pragma once

#include <QDialog>

class QListWidget;
class QPushButton;
class TDbQuery;

class TdlgSelect : public QDialog {
    Q_OBJECT
  public:
    // groups is the data module's dgrp; it is opened, read and closed here.
    TdlgSelect(QWidget* owner, TDbQuery& groups);

    // The selected line, or the empty text when none is selected.
    QString SelectedGroup() const;

    QListWidget* lbList = nullptr;
    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;

  private:
    void TntFormCreate();
    void lbListDblClick();

    TDbQuery& FGroups;
};
