#include "location.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "cardlist.h"
#include "centre.h"
#include "dbengine.h"
#include "mainhost.h"
#include "prompts.h"
#include "settings.h"

TDlgLocation::TDlgLocation(QWidget* parent, const QString& now, const QString& setting)
    : QDialog(parent) {
    setWindowTitle(QStringLiteral("Card List Location"));
    auto* layout = new QVBoxLayout(this);

    lNow = new QLabel(now, this);
    lNow->setTextFormat(Qt::PlainText);
    lNow->setWordWrap(true);
    lNow->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(lNow);

    rbFile = new QRadioButton(QStringLiteral("Card database file on this computer"), this);
    rbServer = new QRadioButton(
        QStringLiteral("PostgreSQL server (postgresql://user@host/database):"), this);
    auto* choice = new QButtonGroup(this);
    choice->addButton(rbFile);
    choice->addButton(rbServer);
    eServer = new QLineEdit(setting, this);
    eServer->setMinimumWidth(360);
    eServer->setPlaceholderText(QStringLiteral("postgresql://operator@cards.example/lorvane"));
    layout->addWidget(rbFile);
    layout->addWidget(rbServer);
    layout->addWidget(eServer);
    (setting.trimmed().isEmpty() ? rbFile : rbServer)->setChecked(true);
    eServer->setEnabled(rbServer->isChecked());
    connect(rbServer, &QRadioButton::toggled, eServer, &QLineEdit::setEnabled);
    // Typing a URI means the server.
    connect(eServer, &QLineEdit::textEdited, this, [this] { rbServer->setChecked(true); });

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    OKBtn = new QPushButton(QStringLiteral("OK"), this);
    OKBtn->setDefault(true);
    CancelBtn = new QPushButton(QStringLiteral("Cancel"), this);
    CancelBtn->setAutoDefault(false);
    buttons->addWidget(OKBtn);
    buttons->addWidget(CancelBtn);
    layout->addLayout(buttons);
    connect(OKBtn, &QPushButton::clicked, this, &TDlgLocation::OKBtnClick);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
    adjustSize();
    CentreWhenShown(*this);
}

QString TDlgLocation::Setting() const {
    return rbServer->isChecked() ? eServer->text().trimmed() : QString();
}

void TDlgLocation::OKBtnClick() {
    const std::string uri = Setting().toStdString();
    if (rbServer->isChecked()) {
        try {
            if (!IsServerConnection(uri))
                throw EDatabaseError(
                    "A server is named by a connection URI that begins with "
                    "postgresql:// or postgres://.");
            ServerLocation(uri);
        } catch (const EDatabaseError& e) {
            ShowError(QString::fromUtf8(e.what()));
            eServer->setFocus();
            return;
        }
    }
    accept();
}

void ChangeCardListLocation(IMainWindow& host) {
    const QString setting = QString::fromStdString(ReadSettingString("DATABASE", ""));
    TDlgLocation dialog(host.Window(), CardListLocation(host.WorkDbPath()), setting);
    if (dialog.exec() != QDialog::Accepted || dialog.Setting() == setting.trimmed()) return;
    WriteSettingString("DATABASE", dialog.Setting().toStdString());
    host.RefreshCardList();
}
