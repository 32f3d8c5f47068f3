#include "options.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "centre.h"
#include "location.h"
#include "mainhost.h"
#include "prompts.h"
#include "settings.h"

TDlgOptions::TDlgOptions(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Options"));
    auto* layout = new QVBoxLayout(this);

    rgAccess = new QGroupBox(QStringLiteral("Access rights"), this);
    auto* items = new QVBoxLayout(rgAccess);
    FAccess = new QButtonGroup(this);
    const char* const captions[] = {"Remain unchanged", "Grant to all cards",
                                    "Deny from all cards"};
    for (int i = 0; i < 3; ++i) {
        auto* item = new QRadioButton(QString::fromLatin1(captions[i]), rgAccess);
        FAccess->addButton(item, i);
        items->addWidget(item);
    }
    SetAccessIndex(RemainUnchanged);
    layout->addWidget(rgAccess);

    cbShowGrant = new QCheckBox(QStringLiteral("Show only access granted cards"), this);
    layout->addWidget(cbShowGrant);

    auto* buttons = new QHBoxLayout;
    bLocation = new QPushButton(QStringLiteral("Card List Location..."), this);
    bLocation->setAutoDefault(false);
    buttons->addWidget(bLocation);
    buttons->addStretch();
    bProceed = new QPushButton(QStringLiteral("Proceed"), this);
    bCancel = new QPushButton(QStringLiteral("Cancel"), this);
    buttons->addWidget(bProceed);
    buttons->addWidget(bCancel);
    layout->addLayout(buttons);
    connect(bProceed, &QPushButton::clicked, this, &QDialog::accept);
    connect(bCancel, &QPushButton::clicked, this, &QDialog::reject);

    setTabOrder(FAccess->button(RemainUnchanged), FAccess->button(GrantToAll));
    setTabOrder(FAccess->button(GrantToAll), FAccess->button(DenyFromAll));
    setTabOrder(FAccess->button(DenyFromAll), cbShowGrant);
    setTabOrder(cbShowGrant, bProceed);
    setTabOrder(bProceed, bCancel);
    setTabOrder(bCancel, bLocation);
    adjustSize();
    setFixedSize(size());
    CentreWhenShown(*this);
}

int TDlgOptions::AccessIndex() const {
    return FAccess->checkedId();
}

void TDlgOptions::SetAccessIndex(int index) {
    if (QAbstractButton* item = FAccess->button(index)) item->setChecked(true);
}

void bOptionsClick(IMainWindow& host) {
    TDlgOptions dialog(host.Window());
    dialog.cbShowGrant->setChecked(ReadSettingBool("GRANTED", false));
    QObject::connect(dialog.bLocation, &QPushButton::clicked, &dialog,
                     [&host] { Guarded([&host] { ChangeCardListLocation(host); }); });
    if (dialog.exec() != QDialog::Accepted) return;
    // The main window repaints where the dialog was before the work starts.
    QCoreApplication::processEvents();
    // Each runs with its own question; a "No" there skips only that step.
    switch (dialog.AccessIndex()) {
        case TDlgOptions::GrantToAll:
            host.ClickAllGranted();
            break;
        case TDlgOptions::DenyFromAll:
            host.ClickAllDeny();
            break;
        default:
            break;
    }
    host.SetGrantedFilter(dialog.cbShowGrant->isChecked());
    host.RefreshCardList();
}
