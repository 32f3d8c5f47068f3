// Grid model over the activity history, newest entry first, that never holds
// the whole history: entries come from the store a page at a time, each page
// found by the id where the one before it ended (keyset), so a page far down
// costs what the first one does. Rows grow as the view scrolls towards the
// end (fetchMore); only the last few pages the view asked for stay in
// memory, the others are read again when shown again. The history as it was
// when the filter was set is shown: later entries wait for the next filter.
#pragma once

#include <QAbstractTableModel>
#include <QDateTime>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "dbengine.h"

class THistoryModel : public QAbstractTableModel {
    Q_OBJECT
  public:
    enum Column { ColTime, ColUser, ColCommand, ColCard, ColChange, ColumnCount };
    static constexpr int kPageRows = 200;

    // The source of pages: the working store's connection, in general.
    using TReader = std::function<std::vector<THistoryEntry>(const THistoryQuery&)>;
    explicit THistoryModel(TReader reader, QObject* parent = nullptr);

    // Shows the entries of the card (none: every card) whose texts contain
    // text, from the newest. Raises EDatabaseError when the first page cannot
    // be read; the model is then empty.
    void SetFilter(std::optional<std::int64_t> card, const std::string& text);
    const THistoryQuery& Filter() const { return FFilter; }

    // The entry of a row, read again when its page was dropped; null when it
    // cannot be read.
    const THistoryEntry* Entry(int row) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

    // Pages held in memory now (for tests and benchmarks).
    int CachedPages() const { return static_cast<int>(FCache.size()); }

  private:
    // Where a page starts and ends: its entries have ids from `last` up to
    // below `after` (0: the newest), `rows` of them.
    struct TPageBounds {
        std::int64_t after;
        std::int64_t last;
        int rows;
    };
    struct TCachedPage {
        int index;
        std::vector<THistoryEntry> entries;
    };
    std::vector<THistoryEntry> ReadPage(std::int64_t after) const;
    const std::vector<THistoryEntry>* Page(int index) const;

    TReader FReader;
    THistoryQuery FFilter;
    std::vector<TPageBounds> FPages;
    int FRows = 0;
    bool FAtEnd = true;
    mutable std::deque<TCachedPage> FCache;  // most recently used first
};

// Texts of an entry as the history window and its export show them.
QString HistoryLocalTime(const std::string& utc);
QString HistoryChange(const THistoryEntry& entry);
