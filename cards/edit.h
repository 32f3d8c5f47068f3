// The "Edit Information" dialog: a card's name, group and access flag; the card
// number is shown but cannot be changed.
#pragma once

#include <QDialog>

class QCheckBox;
class QLineEdit;
class QPushButton;
class TDbQuery;

class TDlgEdit : public QDialog {
    Q_OBJECT
  public:
    // groups is the data module's dgrp, read by the group picker.
    TDlgEdit(QWidget* owner, TDbQuery& groups);

    // Trims name and group, then closes with OK.
    void OKBtnClick();
    // Runs the group picker; a line chosen there becomes the group.
    void bBrowseClick();

    QLineEdit* eCardno = nullptr;
    QLineEdit* eName = nullptr;
    QLineEdit* eGroup = nullptr;
    QPushButton* bBrowse = nullptr;
    QCheckBox* cbGranted = nullptr;
    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    TDbQuery& FGroups;
};
