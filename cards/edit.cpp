#include "edit.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

#include "fields.h"
#include "prompts.h"
#include "select.h"

TDlgEdit::TDlgEdit(QWidget* owner, TDbQuery& groups) : QDialog(owner), FGroups(groups) {
    setWindowTitle(QStringLiteral("Edit Information"));
    // A fixed dialog frame: no resizing, no help or maximise buttons.
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
    setFixedSize(330, 170);

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
    OKBtn = new QPushButton(QStringLiteral("Confirm"), this);
    OKBtn->setGeometry(160, 134, 75, 25);
    OKBtn->setDefault(true);
    CancelBtn = new QPushButton(QStringLiteral("Cancel"), this);
    CancelBtn->setGeometry(244, 134, 75, 25);
    CancelBtn->setAutoDefault(false);

    setTabOrder(eCardno, eName);
    setTabOrder(eName, eGroup);
    setTabOrder(eGroup, bBrowse);
    setTabOrder(bBrowse, cbGranted);
    setTabOrder(cbGranted, OKBtn);
    setTabOrder(OKBtn, CancelBtn);

    connect(OKBtn, &QPushButton::clicked, this, [this] { OKBtnClick(); });
    // Esc rejects the dialog as the Cancel button does.
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
    connect(bBrowse, &QPushButton::clicked, this, [this] { Guarded([this] { bBrowseClick(); }); });
}

void TDlgEdit::OKBtnClick() {
    eName->setText(TrimControls(eName->text()));
    eGroup->setText(TrimControls(eGroup->text()));
    accept();
}

void TDlgEdit::bBrowseClick() {
    TdlgSelect picker(this, FGroups);
    picker.setWindowTitle(QStringLiteral("Select Group"));
    if (picker.exec() != QDialog::Accepted) return;
    const QString group = picker.SelectedGroup();
    if (!group.isEmpty()) eGroup->setText(group);
}

void TDlgEdit::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}
