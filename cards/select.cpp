#include "select.h"

#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "dbengine.h"
#include "fields.h"
#include "guards.h"

TdlgSelect::TdlgSelect(QWidget* owner, TDbQuery& groups) : QDialog(owner), FGroups(groups) {
    setWindowTitle(QStringLiteral("Select"));
    lbList = new QListWidget(this);
    lbList->setSortingEnabled(false);
    OKBtn = new QPushButton(QStringLiteral("Select"), this);
    OKBtn->setDefault(true);
    CancelBtn = new QPushButton(QStringLiteral("Cancel"), this);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OKBtn);
    buttons->addWidget(CancelBtn);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lbList);
    layout->addLayout(buttons);
    resize(250, 300);

    connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
    connect(lbList, &QListWidget::itemDoubleClicked, this, [this] { lbListDblClick(); });
    TntFormCreate();
}

void TdlgSelect::TntFormCreate() {
    lbList->clear();
    FGroups.Open();
    const TScopeExit closeGroups([this] { FGroups.Close(); });
    // The text is UTF-8 end to end, so no character is lost on the way. Groups
    // that became equal through the trimming stay as separate lines.
    for (FGroups.First(); !FGroups.Eof(); FGroups.Next()) {
        const QString group = ReadFieldText(FGroups, "grp");
        if (!group.isEmpty()) lbList->addItem(group);
    }
}

void TdlgSelect::lbListDblClick() {
    OKBtn->click();
}

QString TdlgSelect::SelectedGroup() const {
    const QListWidgetItem* item = lbList->currentItem();
    return item && item->isSelected() ? item->text() : QString();
}
