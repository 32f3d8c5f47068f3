#include "historymodel.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace {

// Pages kept in memory: a few screens either way of the one shown.
constexpr size_t kCachedPages = 8;

}  // namespace

QString HistoryLocalTime(const std::string& utc) {
    QDateTime time = QDateTime::fromString(QString::fromStdString(utc), Qt::ISODateWithMs);
    if (!time.isValid()) return QString::fromStdString(utc);
    return time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString HistoryChange(const THistoryEntry& entry) {
    if (!entry.card) return QString::fromStdString(entry.detail);
    const QString before =
        entry.before ? QString::fromStdString(*entry.before) : QStringLiteral("(new card)");
    const QString after =
        entry.after ? QString::fromStdString(*entry.after) : QStringLiteral("(deleted)");
    return before + QStringLiteral(" \u2192 ") + after;
}

THistoryModel::THistoryModel(TReader reader, QObject* parent)
    : QAbstractTableModel(parent), FReader(std::move(reader)) {}

std::vector<THistoryEntry> THistoryModel::ReadPage(std::int64_t after) const {
    THistoryQuery query = FFilter;
    query.beforeId = after;
    query.limit = kPageRows;
    return FReader(query);
}

void THistoryModel::SetFilter(std::optional<std::int64_t> card, const std::string& text) {
    beginResetModel();
    FFilter = {};
    FFilter.card = card;
    FFilter.text = text;
    FPages.clear();
    FCache.clear();
    FRows = 0;
    FAtEnd = true;
    std::exception_ptr failure;
    try {
        std::vector<THistoryEntry> first = ReadPage(0);
        if (!first.empty()) {
            // Entries added from now on would shift every row: the first page
            // ends below today's newest entry for good.
            FPages.push_back(
                {first.front().id + 1, first.back().id, static_cast<int>(first.size())});
            FRows = static_cast<int>(first.size());
            FAtEnd = FRows < kPageRows;
            FCache.push_front({0, std::move(first)});
        }
    } catch (...) {
        failure = std::current_exception();
    }
    endResetModel();
    if (failure) std::rethrow_exception(failure);
}

const std::vector<THistoryEntry>* THistoryModel::Page(int index) const {
    if (index < 0 || index >= static_cast<int>(FPages.size())) return nullptr;
    auto cached = std::find_if(FCache.begin(), FCache.end(),
                               [index](const TCachedPage& p) { return p.index == index; });
    if (cached != FCache.end()) {
        if (cached != FCache.begin()) {
            TCachedPage page = std::move(*cached);
            FCache.erase(cached);
            FCache.push_front(std::move(page));
        }
        return &FCache.front().entries;
    }
    std::vector<THistoryEntry> entries;
    try {
        entries = ReadPage(FPages[index].after);
    } catch (const std::exception&) {
        return nullptr;  // shown empty; read again at the next paint
    }
    // The retention may have removed entries meanwhile: keep the page's own.
    std::erase_if(entries, [&](const THistoryEntry& e) { return e.id < FPages[index].last; });
    FCache.push_front({index, std::move(entries)});
    if (FCache.size() > kCachedPages) FCache.pop_back();
    return &FCache.front().entries;
}

const THistoryEntry* THistoryModel::Entry(int row) const {
    if (row < 0 || row >= FRows) return nullptr;
    const std::vector<THistoryEntry>* page = Page(row / kPageRows);
    const size_t offset = static_cast<size_t>(row % kPageRows);
    return page && offset < page->size() ? &(*page)[offset] : nullptr;
}

int THistoryModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : FRows;
}

int THistoryModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant THistoryModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
    const THistoryEntry* entry = Entry(index.row());
    if (!entry) return {};
    switch (index.column()) {
        case ColTime:
            return role == Qt::ToolTipRole ? QString::fromStdString(entry->time + " (UTC)")
                                           : HistoryLocalTime(entry->time);
        case ColUser:
            return QString::fromStdString(entry->user);
        case ColCommand:
            return QString::fromStdString(entry->command);
        case ColCard:
            return entry->card ? QVariant(static_cast<qlonglong>(*entry->card)) : QVariant();
        case ColChange:
            return HistoryChange(*entry);
        default:
            return {};
    }
}

QVariant THistoryModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    switch (section) {
        case ColTime:
            return QStringLiteral("Time");
        case ColUser:
            return QStringLiteral("User");
        case ColCommand:
            return QStringLiteral("Command");
        case ColCard:
            return QStringLiteral("Card No.");
        case ColChange:
            return QStringLiteral("Before \u2192 After");
        default:
            return {};
    }
}

bool THistoryModel::canFetchMore(const QModelIndex& parent) const {
    return !parent.isValid() && !FAtEnd;
}

void THistoryModel::fetchMore(const QModelIndex& parent) {
    if (parent.isValid() || FAtEnd || FPages.empty()) return;
    std::vector<THistoryEntry> entries;
    try {
        entries = ReadPage(FPages.back().last);
    } catch (const std::exception&) {
        FAtEnd = true;  // the store is gone for now; a new filter tries again
        return;
    }
    if (entries.empty()) {
        FAtEnd = true;
        return;
    }
    const int count = static_cast<int>(entries.size());
    beginInsertRows({}, FRows, FRows + count - 1);
    FPages.push_back({FPages.back().last, entries.back().id, count});
    FRows += count;
    FAtEnd = count < kPageRows;
    FCache.push_front({static_cast<int>(FPages.size()) - 1, std::move(entries)});
    if (FCache.size() > kCachedPages) FCache.pop_back();
    endInsertRows();
}
