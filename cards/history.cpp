#include "history.h"

#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>

#include "centre.h"
#include "datasrc.h"
#include "guards.h"
#include "historyexport.h"
#include "historymodel.h"
#include "mainhost.h"
#include "prompts.h"
#include "settings.h"

namespace {

constexpr int kRowHeight = 17;
constexpr int kTypingPauseMs = 250;

const QString kExportFilter =
    QStringLiteral("Excel Workbook (*.xlsx)|*.xlsx|CSV File (*.csv)|*.csv");

}  // namespace

TdlgHistory::TdlgHistory(QWidget* owner, const std::string& connectionString,
                         std::optional<std::int64_t> card)
    : QDialog(owner) {
    setWindowTitle(QStringLiteral("History"));
    FConnection.SetConnectionString(connectionString);
    FModel = std::make_unique<THistoryModel>(
        [this](const THistoryQuery& query) { return FConnection.ReadHistory(query); });

    auto* layout = new QVBoxLayout(this);
    auto* filters = new QHBoxLayout;
    eCard = new QLineEdit(this);
    eCard->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("-?[0-9]{0,10}")), eCard));
    eCard->setMaximumWidth(100);
    eFind = new QLineEdit(this);
    eFind->setClearButtonEnabled(true);
    bExport = new QPushButton(QStringLiteral("Export\u2026"), this);
    bExport->setAutoDefault(false);
    bClose = new QPushButton(QStringLiteral("Close"), this);
    bClose->setAutoDefault(false);
    filters->addWidget(new QLabel(QStringLiteral("Card No.:"), this));
    filters->addWidget(eCard);
    filters->addWidget(new QLabel(QStringLiteral("Find:"), this));
    filters->addWidget(eFind, 1);
    filters->addWidget(bExport);
    filters->addWidget(bClose);
    layout->addLayout(filters);

    dbgHistory = new QTableView(this);
    dbgHistory->setObjectName(QStringLiteral("dbgHistory"));
    dbgHistory->setModel(FModel.get());
    dbgHistory->setEditTriggers(QAbstractItemView::NoEditTriggers);
    dbgHistory->setSelectionBehavior(QAbstractItemView::SelectRows);
    dbgHistory->setSelectionMode(QAbstractItemView::SingleSelection);
    dbgHistory->setWordWrap(false);
    // Fixed row heights: the view never measures the rows it does not show.
    QHeaderView* rows = dbgHistory->verticalHeader();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setDefaultSectionSize(kRowHeight);
    rows->hide();
    QHeaderView* titles = dbgHistory->horizontalHeader();
    titles->setSectionResizeMode(QHeaderView::Interactive);
    titles->setStretchLastSection(true);
    dbgHistory->setColumnWidth(THistoryModel::ColTime, 130);
    dbgHistory->setColumnWidth(THistoryModel::ColUser, 90);
    dbgHistory->setColumnWidth(THistoryModel::ColCommand, 90);
    dbgHistory->setColumnWidth(THistoryModel::ColCard, 80);
    layout->addWidget(dbgHistory, 1);
    resize(820, 480);

    FTyping = new QTimer(this);
    FTyping->setSingleShot(true);
    FTyping->setInterval(kTypingPauseMs);
    connect(FTyping, &QTimer::timeout, this, [this] { Guarded([this] { ApplyFilter(); }); });
    connect(eCard, &QLineEdit::textChanged, FTyping, qOverload<>(&QTimer::start));
    connect(eFind, &QLineEdit::textChanged, FTyping, qOverload<>(&QTimer::start));
    connect(eCard, &QLineEdit::returnPressed, this, [this] { Guarded([this] { ApplyFilter(); }); });
    connect(eFind, &QLineEdit::returnPressed, this, [this] { Guarded([this] { ApplyFilter(); }); });
    connect(bExport, &QPushButton::clicked, this, [this] { Guarded([this] { bExportClick(); }); });
    connect(bClose, &QPushButton::clicked, this, &QDialog::reject);

    if (card) eCard->setText(QString::number(*card));
    FTyping->stop();
    CentreWhenShown(*this);
    ApplyFilter();
}

TdlgHistory::~TdlgHistory() {
    dbgHistory->setModel(nullptr);
}

void TdlgHistory::ApplyFilter() {
    FTyping->stop();
    bool isNumber = false;
    const qlonglong number = eCard->text().toLongLong(&isNumber);
    const std::optional<std::int64_t> card =
        isNumber ? std::optional<std::int64_t>(number) : std::nullopt;
    const TWaitCursor wait;
    try {
        FModel->SetFilter(card, eFind->text().trimmed().toStdString());
    } catch (const std::exception& e) {
        ShowError(QStringLiteral("The history cannot be read: ") +
                  WithFullStop(QString::fromStdString(e.what())));
    }
}

void TdlgHistory::bExportClick() {
    const QString file =
        PromptSaveFileName(QStringLiteral("Export History"),
                           QString::fromLocal8Bit(ReadSettingString("HISTORYEXPORT", "")),
                           kExportFilter, QStringLiteral("xlsx"));
    if (file.isEmpty()) return;
    const std::string path = QFile::encodeName(file).toStdString();
    WriteSettingString("HISTORYEXPORT", path);
    const TWaitCursor wait;
    long long count = 0;
    try {
        count = ExportHistory(
            [this](const THistoryQuery& query) { return FConnection.ReadHistory(query); },
            FModel->Filter(), path);
    } catch (const std::exception& e) {
        ShowError(QStringLiteral("The history cannot be exported: ") +
                  WithFullStop(QString::fromStdString(e.what())));
        return;
    }
    ShowInfo(QStringLiteral("Entries exported: %1.").arg(count));
}

void bHistoryClick(IMainWindow& host, Tdsrc& data) {
    TDbQuery& list = host.CardList();
    std::optional<std::int64_t> card;
    try {
        if (list.Active() && list.RecordCount() > 0 && !list.FieldByName("cardno").IsNull())
            card = list.FieldByName("cardno").AsInteger();
    } catch (const std::exception&) {
        // A card number that cannot be read: every card's entries.
    }
    TdlgHistory dialog(host.Window(), data.adosrc.ConnectionString(), card);
    dialog.exec();
}

void ApplyHistoryRetention(TDbConnection& connection) {
    try {
        connection.ExpireHistory(std::max(ReadSettingInt("HISTORYDAYS", 0), 0));
    } catch (const std::exception&) {
    }
}
