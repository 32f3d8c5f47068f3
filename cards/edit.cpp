#include "edit.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include "centre.h"
#include "fields.h"
#include "guards.h"
#include "prompts.h"
#include "select.h"

namespace {

const QString kCardRange = QStringLiteral("1 to 16,777,215");

}  // namespace

TDlgEdit::TDlgEdit(QWidget* owner, TDbQuery& groups) : QDialog(owner), FGroups(groups) {
    setWindowTitle(QStringLiteral("Edit Information"));
    // A fixed dialog frame: no resizing, no help or maximise buttons.
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
    setFixedSize(330, 170);
    CentreWhenShown(*this);

    auto label = [this](const char* text, int y) {
        auto* l = new QLabel(QString::fromLatin1(text), this);
        l->setGeometry(12, y + 3, 70, 17);
        return l;
    };
    QLabel* const lCardno = label("Card No.:", 12);
    QLabel* const lName = label("Name:", 42);
    QLabel* const lGroup = label("Group:", 72);
    eCardno = new QLineEdit(this);
    eCardno->setGeometry(88, 12, 150, 21);
    eCardno->setEnabled(false);
    // Only a new card has it, at the foot of the dialog, across from Confirm.
    bReadCard = new QPushButton(QStringLiteral("Read Card"), this);
    bReadCard->setGeometry(12, 134, 75, 25);
    bReadCard->setAutoDefault(false);
    bReadCard->setToolTip(
        QStringLiteral("Read the number of a card held to the controller's reader."));
    bReadCard->hide();
    eName = new QLineEdit(this);
    eName->setGeometry(88, 42, 230, 21);
    eGroup = new QLineEdit(this);
    eGroup->setGeometry(88, 72, 150, 21);
    // Each label names its box (the box's accessible name).
    lCardno->setBuddy(eCardno);
    lName->setBuddy(eName);
    lGroup->setBuddy(eGroup);
    bBrowse = new QPushButton(QStringLiteral("Browse"), this);
    bBrowse->setGeometry(244, 70, 75, 25);
    bBrowse->setAutoDefault(false);
    cbGranted = new QCheckBox(QStringLiteral("Access Granted"), this);
    cbGranted->setGeometry(88, 102, 150, 19);
    // A new card's number is short: its range (or the wait for a presented
    // card) is shown beside it.
    lCardRange = new QLabel(this);
    lCardRange->setGeometry(174, 14, 145, 17);
    lCardRange->hide();
    OKBtn = new QPushButton(QStringLiteral("Confirm"), this);
    OKBtn->setGeometry(160, 134, 75, 25);
    OKBtn->setDefault(true);
    CancelBtn = new QPushButton(QStringLiteral("Cancel"), this);
    CancelBtn->setGeometry(244, 134, 75, 25);
    CancelBtn->setAutoDefault(false);

    setTabOrder(eCardno, bReadCard);
    setTabOrder(bReadCard, eName);
    setTabOrder(eName, eGroup);
    setTabOrder(eGroup, bBrowse);
    setTabOrder(bBrowse, cbGranted);
    setTabOrder(cbGranted, OKBtn);
    setTabOrder(OKBtn, CancelBtn);

    connect(OKBtn, &QPushButton::clicked, this, [this] { OKBtnClick(); });
    // Esc rejects the dialog as the Cancel button does.
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
    connect(bBrowse, &QPushButton::clicked, this, [this] { Guarded([this] { bBrowseClick(); }); });
    connect(bReadCard, &QPushButton::clicked, this,
            [this] { Guarded([this] { bReadCardClick(); }); });
}

void TDlgEdit::SetNewCard(TCardReadFn readCard) {
    FReadCard = std::move(readCard);
    setWindowTitle(QStringLiteral("New Card"));
    eCardno->setEnabled(true);
    eCardno->setGeometry(88, 12, 80, 21);
    eCardno->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,8}")), eCardno));
    eCardno->setToolTip(kCardRange);
    lCardRange->setText(kCardRange);
    lCardRange->show();
    bReadCard->setVisible(static_cast<bool>(FReadCard));
    eCardno->setFocus(Qt::OtherFocusReason);
}

std::optional<int> TDlgEdit::CardNumber() const {
    const QString text = TrimControls(eCardno->text());
    if (text.isEmpty() || text.size() > 8) return std::nullopt;
    for (const QChar c : text)
        if (c < u'0' || c > u'9') return std::nullopt;
    const int number = text.toInt();
    if (number < kFirstCardNo || number > kLastCardNo) return std::nullopt;
    return number;
}

void TDlgEdit::OKBtnClick() {
    if (FReading) return;
    eName->setText(TrimControls(eName->text()));
    eGroup->setText(TrimControls(eGroup->text()));
    if (OnConfirm && !OnConfirm()) return;
    accept();
}

void TDlgEdit::bReadCardClick() {
    if (!FReadCard || FReading) return;
    // Only the wait's own way out stays open: Cancel and Esc end it.
    const auto setReading = [this](bool reading) {
        FReading = reading;
        FStopRead = false;
        for (QPushButton* button : {OKBtn, bReadCard, bBrowse}) button->setEnabled(!reading);
        lCardRange->setText(kCardRange);
    };
    setReading(true);
    TScopeExit restore([&setReading] { setReading(false); });
    const std::optional<int> code = FReadCard(
        [this] { return FStopRead; },
        [this](int secondsLeft) {
            lCardRange->setText(QStringLiteral("Present the card: %1 s").arg(secondsLeft));
        });
    if (code) eCardno->setText(QString::number(*code));
    eCardno->setFocus(Qt::OtherFocusReason);
}

void TDlgEdit::reject() {
    if (FReading) {
        FStopRead = true;
        return;
    }
    QDialog::reject();
}

void TDlgEdit::bBrowseClick() {
    TdlgSelect picker(this, FGroups);
    picker.setWindowTitle(QStringLiteral("Select Group"));
    if (picker.exec() != QDialog::Accepted) return;
    const QString group = picker.SelectedGroup();
    if (!group.isEmpty()) eGroup->setText(group);
}
