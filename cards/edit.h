// The "Edit Information" dialog: a card's name, group and access flag; the card
// number is shown but cannot be changed. The same dialog takes a new card: the
// number is then entered, typed or read from a card presented at the
// controller's reader.
#pragma once

#include <QDialog>
#include <functional>
#include <optional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TDbQuery;

class TDlgEdit : public QDialog {
    Q_OBJECT
  public:
    // Waits for a card presented at the reader: asks stop after every event
    // (true ends the wait at once), tells the seconds left; the card code, or
    // nothing (after its own message when that is called for).
    using TCardReadFn = std::function<std::optional<int>(
        const std::function<bool()>& stop, const std::function<void(int)>& secondsLeft)>;

    // The card numbers a new card can have: the controller's range.
    static constexpr int kFirstCardNo = 1;
    static constexpr int kLastCardNo = 0xFFFFFF;

    // groups is the data module's dgrp, read by the group picker.
    TDlgEdit(QWidget* owner, TDbQuery& groups);

    // Makes this the dialog of a new card: caption "New Card", the number
    // enabled and its range shown, and "Read Card" (when readCard is given).
    void SetNewCard(TCardReadFn readCard);

    // Asked by Confirm once name and group are trimmed; false keeps the dialog
    // open (the handler has said why).
    std::function<bool()> OnConfirm;

    // The number entered, when it is a whole number in the controller's range.
    std::optional<int> CardNumber() const;

    // Trims name and group, then closes with OK unless OnConfirm says no.
    void OKBtnClick();
    // Runs the group picker; a line chosen there becomes the group.
    void bBrowseClick();
    // Waits for a card presented at the reader and takes its code as the number.
    void bReadCardClick();
    bool ReadingCard() const { return FReading; }

    QLineEdit* eCardno = nullptr;
    QPushButton* bReadCard = nullptr;
    QLineEdit* eName = nullptr;
    QLineEdit* eGroup = nullptr;
    QPushButton* bBrowse = nullptr;
    QCheckBox* cbGranted = nullptr;
    QLabel* lCardRange = nullptr;
    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;

  public slots:
    // Cancel, Esc and the close button: while a card is awaited they end the
    // wait and the dialog stays; otherwise the dialog closes.
    void reject() override;

  private:
    TDbQuery& FGroups;
    TCardReadFn FReadCard;
    bool FReading = false;
    bool FStopRead = false;
};
