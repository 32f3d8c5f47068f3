#include "cardmodel.h"

#include "dbengine.h"
#include "settings.h"

namespace {

const char* const FieldNames[TCardModel::ColumnCount] = {"cardno", "descx", "grp", "granted"};
const char* const Titles[TCardModel::ColumnCount] = {"Card No", "Name", "Group", "Granted"};
const FieldKind Kinds[TCardModel::ColumnCount] = {FieldKind::Integer, FieldKind::WideText,
                                                  FieldKind::WideText, FieldKind::Boolean};

QVariant AsText(const TValue& value) {
    if (const auto* i = std::get_if<std::int64_t>(&value)) return QString::number(*i);
    if (const auto* d = std::get_if<double>(&value)) return QString::number(*d);
    if (const auto* s = std::get_if<std::string>(&value)) return QString::fromStdString(*s);
    return QString();
}

bool AsBool(const TValue& value) {
    bool on = false;
    if (const auto* i = std::get_if<std::int64_t>(&value))
        on = *i != 0;
    else if (const auto* d = std::get_if<double>(&value))
        on = *d != 0;
    else if (const auto* s = std::get_if<std::string>(&value))
        on = !s->empty() && *s != "0";
    return on;
}

QVariant AsBooleanText(const TValue& value) {
    if (std::holds_alternative<std::monostate>(value)) return QString();
    return AsBool(value) ? QStringLiteral("True") : QStringLiteral("False");
}

}  // namespace

bool TCardModel::IsGranted(const TValue& value) {
    return AsBool(value);
}

const char* TCardModel::FieldName(int column) {
    return column >= 0 && column < ColumnCount ? FieldNames[column] : "";
}

TCardModel::TCardModel(TDbQuery& query, QObject* parent)
    : QAbstractTableModel(parent), FQuery(query) {
    FFieldOf.fill(-1);
    FQuery.OnReset = [this] {
        if (FSuspended)
            FStale = true;
        else
            Reset();
    };
    FQuery.OnRowChanged = [this](int row) {
        if (FSuspended)
            FStale = true;
        else if (row >= 0 && row < FRows)
            emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
    };
    FQuery.OnCurrentChanged = [this](int row) {
        if (FSuspended)
            FStale = true;
        else
            MoveCurrent(row);
    };
    Reset();
}

TCardModel::~TCardModel() {
    FQuery.OnReset = nullptr;
    FQuery.OnRowChanged = nullptr;
    FQuery.OnCurrentChanged = nullptr;
}

bool TCardModel::SetSuspended(bool suspended) {
    FSuspended = suspended;
    if (suspended || !FStale) return false;
    FStale = false;
    Reset();
    return true;
}

void TCardModel::MapColumns() {
    for (int c = 0; c < ColumnCount; ++c)
        FFieldOf[c] = FQuery.Active() ? FQuery.FieldIndex(FieldNames[c]) : -1;
}

void TCardModel::Reset() {
    beginResetModel();
    FRows = FQuery.Active() ? FQuery.RecordCount() : 0;
    MapColumns();
    FCurrent = -1;
    FIndicatorShown = -1;
    endResetModel();
    MoveCurrent(FRows > 0 ? FQuery.RecNo() - 1 : -1);
}

void TCardModel::MoveCurrent(int row) {
    if (row < -1 || row >= FRows) row = -1;
    FCurrent = row;
    // A walk over the whole list moves the cursor once per row; the row
    // indicator is repainted once, when events run next.
    if (!FIndicatorQueued && FIndicatorShown != FCurrent) {
        FIndicatorQueued = true;
        QMetaObject::invokeMethod(this, &TCardModel::UpdateIndicator, Qt::QueuedConnection);
    }
    emit currentRowChanged(row);
}

void TCardModel::UpdateIndicator() {
    FIndicatorQueued = false;
    const int old = FIndicatorShown;
    FIndicatorShown = FCurrent;
    if (old == FIndicatorShown) return;
    if (old >= 0 && old < FRows) emit headerDataChanged(Qt::Vertical, old, old);
    if (FIndicatorShown >= 0)
        emit headerDataChanged(Qt::Vertical, FIndicatorShown, FIndicatorShown);
}

int TCardModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : FRows;
}

int TCardModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TCardModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= FRows || index.column() >= ColumnCount) return {};
    if (role != Qt::DisplayRole && role != BooleanValueRole) return {};
    const int field = FFieldOf[index.column()];
    if (field < 0) return {};
    const TValue& value = FQuery.Cell(index.row(), field);
    if (role == BooleanValueRole)
        return index.column() == ColGranted ? QVariant(AsBool(value)) : QVariant();
    return index.column() == ColGranted ? AsBooleanText(value) : AsText(value);
}

QVariant TCardModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Vertical) {
        // The row indicator: a mark on the current row only.
        if (role == Qt::DisplayRole)
            return section == FCurrent ? QStringLiteral("\u25B6") : QString();
        if (role == Qt::TextAlignmentRole) return int(Qt::AlignCenter);
        return {};
    }
    if (section < 0 || section >= ColumnCount) return {};
    switch (role) {
        case Qt::DisplayRole:
            return QString::fromLatin1(Titles[section]);
        case Qt::TextAlignmentRole:
            return int(Qt::AlignCenter);
        case FieldKindRole:
            return static_cast<int>(Kinds[section]);
        default:
            return {};
    }
}

Qt::ItemFlags TCardModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}
