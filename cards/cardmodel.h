// Grid model over the card list query: reads the query's snapshot cell by cell
// and follows its observers, so a list of any length costs the view nothing
// up front.
#pragma once

#include <QAbstractTableModel>
#include <array>

#include "dbengine.h"

class TDbQuery;

class TCardModel : public QAbstractTableModel {
    Q_OBJECT
  public:
    // The grid's fixed columns, in order.
    enum Column { ColCardNo, ColName, ColGroup, ColGranted, ColumnCount };
    // The value of a boolean cell as a bool (null reads false); cell drawing uses it.
    static constexpr int BooleanValueRole = Qt::UserRole + 1;

    // Field name of a grid column ("cardno", ...); empty for a bad column.
    static const char* FieldName(int column);
    // An access flag as the grid shows it: granted for any value but 0 (a
    // hand-made list may hold -1 or 2), a null, an empty text or "0".
    static bool IsGranted(const TValue& value);

    explicit TCardModel(TDbQuery& query, QObject* parent = nullptr);
    ~TCardModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // The query's current row, 0-based; -1 when closed or empty.
    int CurrentRow() const { return FCurrent; }

    // While the grid is hidden, long commands change the list row by row; the
    // model then follows none of it and catches up with one reset when
    // resumed. Returns true when resuming reset the model.
    bool SetSuspended(bool suspended);

  signals:
    // The query's cursor moved (also after a reset); -1 when there is no row.
    void currentRowChanged(int row);

  private:
    void Reset();
    void MoveCurrent(int row);
    void MapColumns();
    void UpdateIndicator();

    TDbQuery& FQuery;
    std::array<int, ColumnCount> FFieldOf{};  // query field index of each column, -1 if absent
    int FRows = 0;
    int FCurrent = -1;
    int FIndicatorShown = -1;  // the row whose indicator the header last painted
    bool FIndicatorQueued = false;
    bool FSuspended = false;
    bool FStale = false;  // the query changed while suspended
};
