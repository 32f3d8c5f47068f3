// The program's one main window: the card grid, the command buttons, the
// status bar, start-up and Exit.
#pragma once

#include <QDateTime>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "appfolder.h"
#include "cardlist.h"
#include "cellimage.h"
#include "dbengine.h"
#include "mainhost.h"
#include "portbox.h"

class QAction;
class QCheckBox;
class QKeySequence;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QTableView;
class TCardModel;
class TLiveList;
class TSimpleTimer;
class Tdsrc;

class TLorvane : public QWidget, public IMainWindow, private ICardListView {
    Q_OBJECT
  public:
    // appFolder overrides the working database's folder (with or without a
    // trailing separator); empty means the one FindWorkFolder picks for the
    // running program file. Start-up runs here; its failures are shown, never
    // thrown.
    explicit TLorvane(Tdsrc& data, const std::string& appFolder = {});
    // The folder as FindWorkFolder left it; its problem is shown at start-up.
    TLorvane(Tdsrc& data, const TWorkFolder& folder);
    ~TLorvane() override;

    // Start-up and exit.
    void FormCreate();
    void FormDestroy();
    void bExitClick();

    // Card list.
    std::string BuildConnectionString(const std::string& path) const;
    void RefreshCardList() override;
    // Shows other operators' changes: the changed cards alone, or (none
    // given, or the list cannot) a refresh of the whole list; the selected
    // card stays selected (by its number) instead of the stored row.
    void LiveRefresh(const std::vector<std::int64_t>& cards = {});
    void cbGrantedClick();
    bool CheckListEmpty() override;
    // False after a box when the card list takes no changes (read-only role).
    bool CheckListWritable();
    bool IsValidCardDatabase(const std::string& path);
    // Sets the granted-only filter as a program would; a change runs
    // cbGrantedClick, whose failures go up to the caller.
    void SetGrantedFilter(bool on) override;

    // Status bar.
    void ShowStatusText(const QString& text) override;
    void ShowElapsed(const QDateTime& start) override;
    void ShowRecordCount() override;
    QString PanelText(int panel) const;  // 0, 1, 2
    void UpdateClock();
    bool ClockRunning() const { return FClockTimer != nullptr; }

    // Simple commands of the window itself.
    void imgLogoClick();
    void bAboutClick();

    // Commands that live elsewhere (their bodies are filled in by their own files).
    void bSaveClick();
    void bOpenClick();
    void bMergeClick();
    void bExportClick();
    void bDeleteClick();
    void bClearClick();
    void bEditClick();
    void bNewCardClick();
    void bAddClick();
    void bSearchClick();
    void bOptionsClick();
    void bAllGrantedClick();
    void bAllDenyClick();
    void dbgListDblClick();
    void bHistoryClick();
    void dbgListTitleClick(int column);

    // Adds an entry to the card grid's context menu (right click, the menu
    // key), below those added before; a key, when given, runs it from
    // anywhere in the window. Entries work on the list, so they are ignored
    // while a long command runs.
    // Runs a command of a control through Guarded, counted as under way
    // (a live update of the list waits for it).
    void RunCommand(const std::function<void()>& handler);
    QAction* AddGridCommand(const QString& caption, const QKeySequence& key,
                            std::function<void()> handler);

    // IMainWindow.
    QWidget* Window() override { return this; }
    TDbQuery& CardList() override { return dbcard; }
    void SetGridVisible(bool visible) override;
    void FocusCardGrid() override;
    void ClickAllGranted() override;
    void ClickAllDeny() override;
    int PortIndex() const override;
    std::string PortDevice() const override;
    void SetPortSelectorEnabled(bool enabled) override;
    bool PortSelectorEnabled() const override;
    void BeginLongCommand() override;
    void EndLongCommand() override;
    bool LongCommandRunning() const override { return FLongCommands > 0; }

    Tdsrc& Data() { return FData; }
    const std::string& AppFolder() const { return FAppFolder; }
    const std::string& WorkDbPath() const override { return FWorkDbPath; }
    std::string WorkingConnection() const override;
    int RefreshCount() const { return FCardList.RefreshCount(); }

    // The maker's web site, opened by a click on the logo.
    static const char* const WebAddress;

    // Components, by their design names.
    TDbQuery dbcard{"dbcard"};
    TImageList AppIcon = CreateAppIcon();
    QLabel* imgLogo = nullptr;
    QGroupBox* gbController = nullptr;
    TPortBox* cbPort = nullptr;
    QPushButton* bUpload = nullptr;
    QPushButton* bInfo = nullptr;
    QPushButton* bDenyAll = nullptr;
    QGroupBox* gbDatabase = nullptr;
    QPushButton* bSave = nullptr;
    QPushButton* bOpen = nullptr;
    QPushButton* bMerge = nullptr;
    QPushButton* bExport = nullptr;
    QGroupBox* gbProgram = nullptr;
    QPushButton* bAbout = nullptr;
    QPushButton* bExit = nullptr;
    QGroupBox* gbCards = nullptr;
    QTableView* dbgList = nullptr;
    QGroupBox* gbActions = nullptr;
    QPushButton* bDelete = nullptr;
    QPushButton* bClear = nullptr;
    QPushButton* bEdit = nullptr;
    QPushButton* bAdd = nullptr;
    QPushButton* bSearch = nullptr;
    QPushButton* bOptions = nullptr;
    QCheckBox* cbGranted = nullptr;
    QPushButton* bAllGranted = nullptr;
    QPushButton* bAllDeny = nullptr;
    QWidget* sbInfo = nullptr;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void BuildLayout();
    void ConnectControls();
    void SyncGridToList(int row);
    void SyncListToGrid(int row);
    void ShowGridMenu(const QPoint& global);

    // ICardListView.
    void SetGrantedColumnVisible(bool visible) override;

    std::unique_ptr<TSimpleTimer> FClockTimer;
    std::string FAppFolder;
    std::string FWorkDbPath;
    TWorkFolder FWorkFolder;

    Tdsrc& FData;
    std::unique_ptr<TCardModel> FModel;
    TCardList FCardList;
    QLabel* FPanels[3] = {};
    bool FSyncing = false;
    std::optional<int> FPendingRow;  // list row the hidden grid has yet to show
    bool FShownOnce = false;
    int FLongCommands = 0;
    int FCommands = 0;    // button commands under way (a live refresh waits for them)
    int FRefreshing = 0;  // refreshes under way
    std::unique_ptr<TLiveList> FLive;
    bool FCloseRequested = false;  // a close came while a long command ran
};

// The program-wide main window, set by the program entry for the whole run.
extern TLorvane* Lorvane;

// The device behind a port name: the setting of that name ("COM1" =
// "/dev/ttyUSB0") when present and not empty, else "/dev/ttyS<n-1>" for
// "COMn"; any other name is returned as it is.
std::string ComDeviceFromSettings(const std::string& port);
