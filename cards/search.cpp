#include "search.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <cstdint>

#include "centre.h"
#include "dbengine.h"
#include "fields.h"
#include "mainhost.h"
#include "prompts.h"

TDlgSearch::TDlgSearch(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Search Record"));
    auto* layout = new QVBoxLayout(this);
    auto* fields = new QFormLayout;
    seCardno = new QSpinBox(this);
    seCardno->setRange(0, 99999999);
    seCardno->setValue(0);
    eName = new QLineEdit(this);
    eGroup = new QLineEdit(this);
    fields->addRow(QStringLiteral("Card No.:"), seCardno);
    fields->addRow(QStringLiteral("Name:"), eName);
    fields->addRow(QStringLiteral("Group:"), eGroup);
    layout->addLayout(fields);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    OKBtn = new QPushButton(QStringLiteral("Search"), this);
    OKBtn->setDefault(true);
    CancelBtn = new QPushButton(QStringLiteral("Cancel"), this);  // Esc cancels a dialog
    CancelBtn->setAutoDefault(false);
    buttons->addWidget(OKBtn);
    buttons->addWidget(CancelBtn);
    layout->addLayout(buttons);
    connect(OKBtn, &QPushButton::clicked, this, [this] {
        OKBtnClick();
        accept();
    });
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);

    setTabOrder(seCardno, eName);
    setTabOrder(eName, eGroup);
    setTabOrder(eGroup, OKBtn);
    setTabOrder(OKBtn, CancelBtn);
    adjustSize();
    setFixedSize(size());
    CentreWhenShown(*this);
}

void TDlgSearch::OKBtnClick() {
    eName->setText(TrimControls(eName->text()));
    FNameLength = static_cast<int>(eName->text().size());
    eGroup->setText(TrimControls(eGroup->text()));
    FGroupLength = static_cast<int>(eGroup->text().size());
}

int TDlgSearch::CardNumber() const {
    bool ok = false;
    const int n = seCardno->cleanText().toInt(&ok);
    return ok ? n : 0;
}

void bSearchClick(IMainWindow& host) {
    TDlgSearch dialog(host.Window());
    if (dialog.exec() != QDialog::Accepted) return;
    TDbQuery& list = host.CardList();
    const unsigned prefix = TDbQuery::loPartialKey | TDbQuery::loCaseInsensitive;
    bool found = false;
    // One criterion only, the first that applies. The list is searched as it
    // is shown, so with the filter on, cards without access are not found.
    try {
        if (dialog.CardNumber() > 0) {
            list.First();
            found = list.Locate("cardno", std::int64_t{dialog.CardNumber()});
        } else if (dialog.NameLength() > 0) {
            list.First();
            found = list.Locate("descx", dialog.eName->text().toStdString(), prefix);
        } else if (dialog.GroupLength() > 0) {
            list.First();
            found = list.Locate("grp", dialog.eGroup->text().toStdString(), prefix);
        }
    } catch (const std::exception&) {
        found = false;  // a locate that fails finds nothing
    }
    if (found)
        host.FocusCardGrid();
    else
        ShowInfo(QStringLiteral("No matched record found."));
}
