// The History window: the activity history of the working card list, newest
// entry first, filtered by card number and by text, with export of the
// entries shown. Reached from the card grid's context menu ("History…").
#pragma once

#include <QDialog>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "dbengine.h"

class IMainWindow;
class QLineEdit;
class QPushButton;
class QTableView;
class QTimer;
class THistoryModel;
class Tdsrc;

class TdlgHistory : public QDialog {
    Q_OBJECT
  public:
    // Reads through a connection of its own to the store of connectionString,
    // opened on the card when one is given.
    TdlgHistory(QWidget* owner, const std::string& connectionString,
                std::optional<std::int64_t> card);
    ~TdlgHistory() override;

    // Applies the filter boxes now (typing applies them after a short pause).
    void ApplyFilter();
    // Asks for a file and exports the entries the filter selects.
    void bExportClick();

    THistoryModel& Model() { return *FModel; }

    QLineEdit* eCard = nullptr;
    QLineEdit* eFind = nullptr;
    QPushButton* bExport = nullptr;
    QPushButton* bClose = nullptr;
    QTableView* dbgHistory = nullptr;

  private:
    TDbConnection FConnection;
    std::unique_ptr<THistoryModel> FModel;
    QTimer* FTyping = nullptr;
};

// "History…": the window on the selected card of the list (on every card
// when the list is empty).
void bHistoryClick(IMainWindow& host, Tdsrc& data);

// The retention, at start-up: removes the entries older than the setting
// "HISTORYDAYS" says (0 or absent: none) from the store of the connection; a
// server applies its own retention instead. A failure leaves the history as
// it is and is not shown: start-up goes on.
void ApplyHistoryRetention(TDbConnection& connection);
