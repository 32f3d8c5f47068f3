#include "mainwindow.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTableView>
#include <QTimer>
#include <QUrl>
#include <stdexcept>

#include "CPort.h"
#include "SimpleTimer.h"
#include "about.h"
#include "cardmodel.h"
#include "clockfmt.h"
#include "commands.h"
#include "datasrc.h"
#include "history.h"
#include "listgrid.h"
#include "livelist.h"
#include "logo.h"
#include "prompts.h"
#include "settings.h"

TLorvane* Lorvane = nullptr;

const char* const TLorvane::WebAddress = "https://www.quillon.example/";

namespace {

constexpr int ClientWidth = 631;
constexpr int ClientHeight = 446;
constexpr int RightColumnWidth = 104;
constexpr int StatusHeight = 19;
constexpr int RowHeight = 17;

std::string WithTrailingSeparator(std::string folder) {
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

QPushButton* MakeButton(QWidget* parent, const char* caption, const char* hint, int x, int y,
                        int width) {
    auto* button = new QPushButton(QString::fromLatin1(caption), parent);
    button->setGeometry(x, y, width, 25);
    // Enter and the keypad's Enter press the focused button, as Space does.
    button->setAutoDefault(true);
    if (hint) button->setToolTip(QString::fromLatin1(hint));
    return button;
}

QGroupBox* MakeBox(QWidget* parent, const char* caption, int x, int y, int width, int height) {
    auto* box = new QGroupBox(QString::fromLatin1(caption), parent);
    box->setGeometry(x, y, width, height);
    return box;
}

}  // namespace

TLorvane::TLorvane(Tdsrc& data, const std::string& appFolder)
    : TLorvane(data,
               appFolder.empty()
                   ? FindWorkFolder(
                         QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString(),
                         UserDataFolder())
                   : TWorkFolder{appFolder, {}, true}) {}

TLorvane::TLorvane(Tdsrc& data, const TWorkFolder& folder)
    : FWorkFolder(folder), FData(data), FCardList(data, dbcard, *this) {
    FAppFolder = WithTrailingSeparator(folder.folder);
    FWorkDbPath = FAppFolder + "cardlist.mdb";
    BuildLayout();
    ConnectControls();
    FLive = std::make_unique<TLiveList>(
        FData.adosrc,
        [this] {
            return FCommands == 0 && FRefreshing == 0 && !LongCommandRunning() &&
                   !QApplication::activeModalWidget();
        },
        [this](const std::vector<std::int64_t>& cards) { LiveRefresh(cards); });
    FormCreate();
}

TLorvane::~TLorvane() {
    FormDestroy();
    // The model goes before the view's children do; leave the view without it.
    dbgList->setModel(nullptr);
}

void TLorvane::BuildLayout() {
    setWindowTitle(QStringLiteral("Lorvane"));
    // The menu entry's icon, in the sizes it is installed in.
    QIcon icon(QStringLiteral(":/images/icon.png"));
    icon.addFile(QStringLiteral(":/images/icon-48.png"));
    setWindowIcon(icon);
    // A fixed dialog frame: close button, no resizing, no maximise.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(ClientWidth, ClientHeight);
    QFont font(QStringLiteral("Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    setFont(font);

    // Group boxes framed as the control positions assume: the frame line runs
    // through the middle of the caption, so a control 16 pixels down sits
    // inside the frame. Qt's own style draws the frame below the caption,
    // where it would cut through the first control of every box.
    setStyleSheet(QStringLiteral(
        "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 6px; }"
        "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
        " left: 6px; padding: 0px 2px; background-color: palette(window); }"));

    // Right-hand column.
    const int rx = ClientWidth - RightColumnWidth;
    imgLogo = new QLabel(this);
    imgLogo->setObjectName(QStringLiteral("imgLogo"));
    imgLogo->setGeometry(rx + 8, 6, 84, 43);
    imgLogo->setPixmap(MakerLogo(imgLogo->size(), palette()));
    imgLogo->setAlignment(Qt::AlignCenter);
    imgLogo->setCursor(Qt::PointingHandCursor);
    imgLogo->setToolTip(QStringLiteral("Visit Quillon's website."));
    imgLogo->installEventFilter(this);

    gbController = MakeBox(this, "Controller", rx + 4, 50, 93, 140);
    cbPort = new TPortBox(gbController);
    cbPort->setGeometry(8, 16, 75, 21);
    cbPort->setToolTip(
        QStringLiteral("The communication port connected to Quillon's access controller."));
    bUpload = MakeButton(gbController, "Upload",
                         "Send the card list to Quillon's access controller.", 8, 44, 75);
    bInfo = MakeButton(gbController, "Information", "Show information about the controller.", 8, 76,
                       75);
    bDenyAll =
        MakeButton(gbController, "Remove", "Clear the access table in the controller.", 8, 108, 75);

    gbDatabase = MakeBox(this, "Database", rx + 4, 193, 93, 146);
    bSave = MakeButton(gbDatabase, "Save", "Save the card list to database.", 8, 16, 75);
    bOpen = MakeButton(gbDatabase, "Open",
                       "Replace the existing card list with the cards of database.", 8, 48, 75);
    bMerge = MakeButton(gbDatabase, "Merge", "Merge the cards from database into the card list.", 8,
                        80, 75);
    bExport = MakeButton(gbDatabase, "Export", "Export the card list to a Excel file.", 8, 112, 75);

    gbProgram = MakeBox(this, "", rx + 4, 341, 93, 77);
    bAbout = MakeButton(gbProgram, "About", "About this software.", 8, 12, 75);
    bExit = MakeButton(gbProgram, "Exit", "Quit this software.", 8, 44, 75);

    // Card area.
    const int cardWidth = ClientWidth - RightColumnWidth;
    const int cardHeight = ClientHeight - StatusHeight;
    gbCards = MakeBox(this, "Card Information", 2, 2, cardWidth - 4, cardHeight - 4);
    const int actionsTop = gbCards->height() - 45 - 4;
    gbActions = MakeBox(gbCards, "Actions", 6, actionsTop, gbCards->width() - 12, 45);
    bDelete = MakeButton(gbActions, "Delete", "Delete the card from the card list.", 5, 15, 77);
    bClear = MakeButton(gbActions, "Delete All", "Delete all cards in the card list.", 89, 15, 77);
    bEdit = MakeButton(gbActions, "Edit", "Edit the description of the card.", 173, 15, 77);
    bAdd = MakeButton(gbActions, "Add Card", "Add new cards into the card list.", 257, 15, 77);
    bSearch = MakeButton(gbActions, "Search", "Search a specific card in the list.", 340, 15, 78);
    bOptions = MakeButton(gbActions, "Options", "Options to be made.", 425, 15, 77);
    // Commands run by setting or clicking these; the operator never sees them.
    cbGranted = new QCheckBox(QStringLiteral("Granted"), gbActions);
    cbGranted->hide();
    bAllGranted = MakeButton(gbActions, "Grant All", nullptr, 0, 0, 75);
    bAllGranted->hide();
    bAllDeny = MakeButton(gbActions, "Deny All", nullptr, 0, 0, 75);
    bAllDeny->hide();

    dbgList = new QTableView(gbCards);
    dbgList->setObjectName(QStringLiteral("dbgList"));
    dbgList->setGeometry(6, 16, gbCards->width() - 12, actionsTop - 16 - 2);
    dbgList->setFrameShadow(QFrame::Sunken);
    dbgList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    dbgList->setSelectionBehavior(QAbstractItemView::SelectRows);
    dbgList->setSelectionMode(QAbstractItemView::SingleSelection);
    dbgList->setWordWrap(false);
    dbgList->setShowGrid(true);
    // Tab leaves the grid for the next control; the arrows move inside it.
    dbgList->setTabKeyNavigation(false);
    FModel = std::make_unique<TCardModel>(dbcard);
    dbgList->setModel(FModel.get());
    dbgList->setItemDelegate(new TCardGridDelegate(AppIcon, dbgList));
    QHeaderView* rows = dbgList->verticalHeader();
    // Fixed row heights keep a list of any length cheap to lay out.
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setDefaultSectionSize(RowHeight);
    rows->setMinimumSectionSize(RowHeight);
    rows->setFixedWidth(14);
    rows->setSectionsClickable(false);
    QHeaderView* titles = dbgList->horizontalHeader();
    titles->setSectionResizeMode(QHeaderView::Interactive);
    titles->setDefaultAlignment(Qt::AlignCenter);
    titles->setSectionsClickable(true);
    titles->setHighlightSections(false);
    titles->setStretchLastSection(false);
    dbgList->setColumnWidth(TCardModel::ColCardNo, 100);
    dbgList->setColumnWidth(TCardModel::ColName, 200);
    dbgList->setColumnWidth(TCardModel::ColGroup, 108);

    // Tab goes from the list to its actions, then down the right-hand column.
    QWidget* const tabOrder[] = {dbgList,  bDelete, bClear,  bEdit,  bAdd,     bSearch,
                                 bOptions, cbPort,  bUpload, bInfo,  bDenyAll, bSave,
                                 bOpen,    bMerge,  bExport, bAbout, bExit};
    for (std::size_t i = 1; i < std::size(tabOrder); ++i) setTabOrder(tabOrder[i - 1], tabOrder[i]);

    // Status bar: clock, record count, progress texts.
    sbInfo = new QWidget(this);
    sbInfo->setObjectName(QStringLiteral("sbInfo"));
    sbInfo->setGeometry(0, ClientHeight - StatusHeight, ClientWidth, StatusHeight);
    auto* panels = new QHBoxLayout(sbInfo);
    panels->setContentsMargins(0, 1, 0, 0);
    panels->setSpacing(2);
    const int widths[3] = {250, 200, -1};
    for (int i = 0; i < 3; ++i) {
        auto* panel = new QLabel(sbInfo);
        panel->setFrameShape(QFrame::Panel);
        panel->setFrameShadow(QFrame::Sunken);
        panel->setTextFormat(Qt::PlainText);
        if (widths[i] > 0)
            panel->setFixedWidth(widths[i]);
        else
            panel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        panels->addWidget(panel, widths[i] > 0 ? 0 : 1);
        FPanels[i] = panel;
    }

    // A platform theme's own fonts for buttons, lists and titles would outgrow
    // the fixed layout: every control keeps the window's font.
    for (QWidget* control : findChildren<QWidget*>()) control->setFont(font);
}

void TLorvane::ConnectControls() {
    auto counted = [this](const std::function<void()>& handler) { RunCommand(handler); };
    auto on = [this, counted](QPushButton* button, std::function<void()> handler) {
        connect(button, &QPushButton::clicked, this,
                [counted, handler = std::move(handler)] { counted(handler); });
    };
    // Commands that change, reopen or refresh the card list: ignored while a
    // long command works on it.
    auto onList = [this, counted](QPushButton* button, std::function<void()> handler) {
        connect(button, &QPushButton::clicked, this, [this, counted, handler = std::move(handler)] {
            if (!LongCommandRunning()) counted(handler);
        });
    };
    // Controller commands keep running side by side: a second one fails to
    // open the port, as it always has.
    on(bUpload, [this] { bUploadClick(*this, FData); });
    on(bInfo, [this] { bInfoClick(*this); });
    on(bDenyAll, [this] { bDenyAllClick(*this); });
    onList(bSave, [this] { bSaveClick(); });
    onList(bOpen, [this] { bOpenClick(); });
    onList(bMerge, [this] { bMergeClick(); });
    onList(bExport, [this] { bExportClick(); });
    on(bAbout, [this] { bAboutClick(); });
    on(bExit, [this] { bExitClick(); });
    onList(bDelete, [this] { bDeleteClick(); });
    onList(bClear, [this] { bClearClick(); });
    onList(bEdit, [this] { bEditClick(); });
    onList(bAdd, [this] { bAddClick(); });
    onList(bSearch, [this] { bSearchClick(); });
    onList(bOptions, [this] { bOptionsClick(); });
    onList(bAllGranted, [this] { bAllGrantedClick(); });
    onList(bAllDeny, [this] { bAllDenyClick(); });

    // Any change of the filter's state, by the program or the operator.
    connect(cbGranted, &QCheckBox::toggled, this,
            [this] { Guarded([this] { cbGrantedClick(); }); });
    // Start-up selects the stored port with signals blocked, so only the
    // operator's changes get here.
    connect(cbPort, &QComboBox::currentTextChanged, this,
            [this] { Guarded([this] { cbPortChange(*this); }); });

    // A double click anywhere in the grid, also below the last row or on an
    // empty list (which then says "No record."); Enter in the grid does the
    // same. The context menu from the mouse (on the viewport) and from the menu
    // key (on the grid itself).
    dbgList->viewport()->installEventFilter(this);
    dbgList->installEventFilter(this);
    AddGridCommand(QStringLiteral("New Card\u2026"), QKeySequence(Qt::Key_Insert),
                   [this] { bNewCardClick(); });
    AddGridCommand(QStringLiteral("Edit"), {}, [this] { bEditClick(); });
    AddGridCommand(QStringLiteral("Delete"), {}, [this] { bDeleteClick(); });
    AddGridCommand(QStringLiteral("History\u2026"), {}, [this] { bHistoryClick(); });
    connect(dbgList->horizontalHeader(), &QHeaderView::sectionClicked, this, [this](int column) {
        if (!LongCommandRunning()) Guarded([this, column] { dbgListTitleClick(column); });
    });

    connect(FModel.get(), &TCardModel::currentRowChanged, this, &TLorvane::SyncGridToList);
    connect(dbgList->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) { SyncListToGrid(current.row()); });
}

void TLorvane::RunCommand(const std::function<void()>& handler) {
    // Counts the commands under way, whatever way they end.
    struct TCount {
        int& n;
        explicit TCount(int& count) : n(count) { ++n; }
        ~TCount() { --n; }
    } count(FCommands);
    Guarded(handler);
}

QAction* TLorvane::AddGridCommand(const QString& caption, const QKeySequence& key,
                                  std::function<void()> handler) {
    auto* action = new QAction(caption, dbgList);
    if (!key.isEmpty()) {
        action->setShortcut(key);
        action->setShortcutContext(Qt::WindowShortcut);
    }
    connect(action, &QAction::triggered, this, [this, handler = std::move(handler)] {
        if (!LongCommandRunning()) RunCommand(handler);
    });
    // The grid's actions are the menu's entries, and their keys work from
    // where the grid is.
    dbgList->addAction(action);
    return action;
}

void TLorvane::ShowGridMenu(const QPoint& global) {
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addActions(dbgList->actions());
    menu->popup(global);
}

// --- Start-up and exit ---

void TLorvane::FormCreate() {
    Guarded([this] {
        SetSettingsApplication("Lorvane");
        LoadFormPlacement("LORVANE", *this);
        // Without a working database the rest of start-up is skipped, as for
        // an unusable one; a read-only folder still shows the list.
        if (!FWorkFolder.usable) throw std::runtime_error(FWorkFolder.problem);
        if (!FWorkFolder.problem.empty())
            ShowApplicationError(QString::fromLocal8Bit(FWorkFolder.problem));
        RefreshCardList();
        ApplyHistoryRetention(FData.adosrc);
        LoadGridLayout("LIST", *dbgList);
        // A selection made by the program runs no change handler. "PORT" holds
        // the item index, or the path of a device typed in or chosen.
        if (const std::string device = ReadSettingString("PORT", ""); device.starts_with('/'))
            cbPort->ShowStoredPort(device);
        else
            cbPort->ShowStoredPort(ReadSettingInt("PORT", 0));
        SetGrantedFilter(ReadSettingBool("GRANTED", false));
        FClockTimer = std::make_unique<TSimpleTimer>(100, [this](TSimpleTimer&) { UpdateClock(); });
        FClockTimer->SetActive(true);
    });
}

void TLorvane::FormDestroy() {
    FClockTimer.reset();
}

void TLorvane::bExitClick() {
    SaveGridLayout("LIST", *dbgList);
    SaveFormPlacement("LORVANE", *this);
    if (dbcard.RecordCount() > 0) WriteSettingInt("POS", dbcard.RecNo());
    WriteSettingBool("GRANTED", cbGranted->isChecked());
    close();
}

void TLorvane::BeginLongCommand() {
    ++FLongCommands;
}

void TLorvane::EndLongCommand() {
    if (--FLongCommands > 0 || !FCloseRequested) return;
    // The close asked for meanwhile, once the command has unwound.
    FCloseRequested = false;
    QTimer::singleShot(0, this, [this] { close(); });
}

void TLorvane::closeEvent(QCloseEvent* event) {
    if (LongCommandRunning()) {
        // The running command still uses the window and the list.
        FCloseRequested = true;
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

void TLorvane::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!FShownOnce) {
        FShownOnce = true;
        bExit->setFocus(Qt::OtherFocusReason);
    }
}

// --- Card list ---

std::string TLorvane::BuildConnectionString(const std::string& path) const {
    return ::BuildConnectionString(path);
}

void TLorvane::RefreshCardList() {
    // Whatever was announced so far, this refresh reads.
    FLive->Refreshed();
    struct TAfter {
        TLorvane& w;
        explicit TAfter(TLorvane& window) : w(window) { ++w.FRefreshing; }
        ~TAfter() {
            --w.FRefreshing;
            w.FLive->Watch();
            w.FPanels[1]->setToolTip(CardListLocation(w.FWorkDbPath));
        }
    } after(*this);
    FCardList.Refresh(FAppFolder, FWorkDbPath, cbGranted->isChecked());
}

void TLorvane::LiveRefresh(const std::vector<std::int64_t>& cards) {
    if (!cards.empty() && dbcard.Active()) {
        bool updated = false;
        ++FRefreshing;
        Guarded([&] { updated = dbcard.RefreshRows(cards); });
        --FRefreshing;
        if (updated) {
            if (dbgList->isVisible()) ShowRecordCount();
            return;
        }
    }
    std::optional<std::int64_t> card;
    int row = 0;
    if (dbcard.Active() && dbcard.RecordCount() > 0 && dbcard.FieldIndex("cardno") >= 0) {
        row = dbcard.RecNo();
        const TValue& value = dbcard.FieldByName("cardno").Value();
        if (const auto* number = std::get_if<std::int64_t>(&value)) card = *number;
    }
    Guarded([&] {
        RefreshCardList();
        if (!card || !dbcard.Locate("cardno", TValue(*card))) {
            // The card is gone: the row where it was, or the last one.
            if (row > 0 && dbcard.RecordCount() > 0)
                dbcard.SetRecNo(std::min(row, dbcard.RecordCount()));
        }
    });
}

std::string TLorvane::WorkingConnection() const {
    return FCardList.WorkingConnection(FWorkDbPath);
}

void TLorvane::cbGrantedClick() {
    WriteSettingBool("GRANTED", cbGranted->isChecked());
    RefreshCardList();
}

void TLorvane::SetGrantedFilter(bool on) {
    if (cbGranted->isChecked() == on) return;
    {
        const QSignalBlocker quiet(cbGranted);
        cbGranted->setChecked(on);
    }
    cbGrantedClick();
}

bool TLorvane::CheckListEmpty() {
    return FCardList.CheckListEmpty();
}

bool TLorvane::CheckListWritable() {
    return FCardList.CheckListWritable();
}

bool TLorvane::IsValidCardDatabase(const std::string& path) {
    return ::IsValidCardDatabase(path);
}

void TLorvane::SetGrantedColumnVisible(bool visible) {
    dbgList->setColumnHidden(TCardModel::ColGranted, !visible);
}

void TLorvane::SetGridVisible(bool visible) {
    dbgList->setVisible(visible);
    if (FModel->SetSuspended(!visible)) FPendingRow.reset();  // the reset placed the cursor
    if (visible && FPendingRow) {
        const int row = *FPendingRow;
        FPendingRow.reset();
        SyncGridToList(row);
    }
}

void TLorvane::FocusCardGrid() {
    dbgList->setFocus(Qt::OtherFocusReason);
}

void TLorvane::ClickAllGranted() {
    bAllGranted->click();
}

void TLorvane::ClickAllDeny() {
    bAllDeny->click();
}

void TLorvane::SyncGridToList(int row) {
    // Long commands hide the grid and walk the whole list; the grid catches up
    // once when it is shown again instead of following every row.
    if (dbgList->isHidden()) {
        FPendingRow = row;
        return;
    }
    QItemSelectionModel* selection = dbgList->selectionModel();
    FSyncing = true;
    if (row < 0) {
        selection->clear();
    } else {
        const int column = std::max(selection->currentIndex().column(), 0);
        const QModelIndex index = FModel->index(row, column);
        if (selection->currentIndex() != index || !selection->isRowSelected(row))
            selection->setCurrentIndex(
                index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
    FSyncing = false;
}

void TLorvane::SyncListToGrid(int row) {
    if (FSyncing || row < 0 || !dbcard.Active()) return;
    if (dbcard.RecNo() == row + 1) return;
    Guarded([this, row] { dbcard.SetRecNo(row + 1); });
}

// --- Status bar ---

void TLorvane::ShowStatusText(const QString& text) {
    FPanels[2]->setText(text);
    QCoreApplication::processEvents();
}

void TLorvane::ShowElapsed(const QDateTime& start) {
    const qint64 elapsed = start.msecsTo(QDateTime::currentDateTime());
    FPanels[2]->setText(FormatElapsed(elapsed, QLocale::system()));
    QCoreApplication::processEvents();
}

void TLorvane::ShowRecordCount() {
    FPanels[1]->setText(QStringLiteral("%1 record(s).").arg(dbcard.RecordCount()));
    QCoreApplication::processEvents();
}

QString TLorvane::PanelText(int panel) const {
    return panel >= 0 && panel < 3 ? FPanels[panel]->text() : QString();
}

void TLorvane::UpdateClock() {
    FPanels[0]->setText(FormatClock(QDateTime::currentDateTime(), QLocale::system()));
}

// --- The window's own small commands ---

bool TLorvane::eventFilter(QObject* watched, QEvent* event) {
    if (watched == imgLogo && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton &&
        imgLogo->rect().contains(static_cast<QMouseEvent*>(event)->position().toPoint())) {
        Guarded([this] { imgLogoClick(); });
        return true;
    }
    if (event->type() == QEvent::ContextMenu &&
        (watched == dbgList->viewport() || watched == dbgList)) {
        const auto* menuEvent = static_cast<QContextMenuEvent*>(event);
        QPoint at = menuEvent->globalPos();
        if (menuEvent->reason() == QContextMenuEvent::Mouse) {
            // The card clicked on is the one Edit and Delete then work on.
            const QPoint local = dbgList->viewport()->mapFromGlobal(at);
            const QModelIndex index = dbgList->indexAt(local);
            if (index.isValid() && !LongCommandRunning()) dbgList->setCurrentIndex(index);
        } else {
            // From the keyboard: at the selected card, or the grid's corner.
            const QRect cell = dbgList->visualRect(dbgList->currentIndex());
            at =
                dbgList->viewport()->mapToGlobal(cell.isValid() ? cell.bottomLeft() : QPoint(0, 0));
        }
        ShowGridMenu(at);
        return true;
    }
    if (watched == dbgList->viewport() && event->type() == QEvent::MouseButtonDblClick &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        if (!LongCommandRunning()) Guarded([this] { dbgListDblClick(); });
        return true;
    }
    if (watched == dbgList && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            if (!LongCommandRunning()) Guarded([this] { dbgListDblClick(); });
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TLorvane::imgLogoClick() {
    // Whether a browser opened is not reported.
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(WebAddress)));
}

void TLorvane::bAboutClick() {
    Taboutbox box(this);
    box.ShowCardListLocation(CardListLocation(FWorkDbPath));
    box.exec();
}

void TLorvane::SetPortSelectorEnabled(bool enabled) {
    cbPort->setEnabled(enabled);
}

bool TLorvane::PortSelectorEnabled() const {
    return cbPort->isEnabled();
}

int TLorvane::PortIndex() const {
    return cbPort->PortIndex();
}

std::string TLorvane::PortDevice() const {
    return cbPort->PortDevice();
}

// --- Serial device names ---

std::string ComDeviceFromSettings(const std::string& port) {
    const std::string configured = ReadSettingString(port, "");
    return configured.empty() ? DefaultComDevice(port) : configured;
}
