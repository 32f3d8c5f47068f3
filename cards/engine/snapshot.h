// The snapshot a query holds: a statement's rows in memory, with what is
// needed to write them back and to find and order them. Filled by a back end
// (columns first, then row after row), then owned by the query. Shared by
// every back end; no back-end code here.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dbengine.h"

// Open-addressing hash from an integer column's value to its first row; holds
// only row numbers, the keys are read from the snapshot.
class TIntIndex;

// Cells in large fixed chunks: grows without copying (no peak of twice the
// size), with few allocations, and constructs a cell only when it is stored.
class TCellStore {
  public:
    TCellStore() = default;
    TCellStore(const TCellStore&) = delete;
    TCellStore& operator=(const TCellStore&) = delete;
    ~TCellStore() { clear(); }

    size_t size() const { return FSize; }
    TValue& operator[](size_t i) { return Slot(FStart + i); }
    const TValue& operator[](size_t i) const {
        const size_t k = FStart + i;
        return FChunks[k / kChunk].get()[k % kChunk];
    }
    void push_back(TValue&& v);
    // Removes n cells from pos on, moving the later ones down. Cells at the
    // front go without moving the rest, so that deleting a whole list from
    // its first row on costs the same per row at any length.
    void erase(size_t pos, size_t n);
    void shrink(size_t newSize);
    // Drops every cell but keeps the chunks for the next open: a list is
    // typically closed only to be opened again, and fresh memory costs a page
    // fault per 4 KB, which would double the time of a large open.
    void clear();

  private:
    struct RawDelete {
        void operator()(TValue* p) const { ::operator delete(p); }
    };
    TValue& Slot(size_t k) { return FChunks[k / kChunk].get()[k % kChunk]; }

    static constexpr size_t kChunk = 8192;
    std::vector<std::unique_ptr<TValue, RawDelete>> FChunks;  // raw storage; FSize cells live
    size_t FStart = 0;  // cells before it in the first chunk were erased
    size_t FSize = 0;
};

// One column of a sort in memory: the field and the direction.
struct TSortKey {
    int column;
    bool descending;
};

class TSnapshot {
  public:
    TSnapshot();
    ~TSnapshot();
    TSnapshot(const TSnapshot&) = delete;
    TSnapshot& operator=(const TSnapshot&) = delete;

    // ---- what the back end sets before the first row
    std::vector<TFieldDef> defs;
    // The table column of each field; empty for an expression.
    std::vector<std::string> origins;
    // The table the rows can be written back to; empty: the rows are read-only.
    std::string table;
    // Fields holding the table's key (its primary key); empty when it has none.
    std::vector<int> keyFields;
    // When set, the rows came unsorted and the engine sorts them by it (the
    // statement's bare order by list, matched to the result's fields).
    std::vector<TSortKey> sortPlan;

    // ---- rows, as the back end reads them: the cells of a row, then its token
    // (the back end's own handle on the row, e.g. SQLite's rowid; 0 when it
    // has none).
    void AddCell(TValue v) { FCells.push_back(std::move(v)); }
    void EndRow(std::int64_t token) {
        FTokens.push_back(token);
        ++FRows;
    }

    // ---- the engine's use
    int Rows() const { return FRows; }
    int Cols() const { return static_cast<int>(defs.size()); }
    const TValue& At(int row, int col) const {
        return FCells[static_cast<size_t>(row) * defs.size() + col];
    }
    TValue& At(int row, int col) { return FCells[static_cast<size_t>(row) * defs.size() + col]; }
    std::int64_t Token(int row) const { return FTokens[row]; }
    void SetToken(int row, std::int64_t token) { FTokens[row] = token; }

    // A row of nulls at the end (a pending insert), and its removal.
    void AddEmptyRow();
    void DropLastRow();
    void EraseRow(int row);
    // Stores a posted row's values; keeps the integer indexes current.
    void StoreRow(int row, std::vector<TValue>&& values, bool appended);

    // Puts the rows in the order of sortPlan; equal rows keep their order.
    void Sort();
    // The first row whose integer column holds key, through a hash index
    // built on first use; -1 when none.
    int FindInteger(int col, std::int64_t key);

    void Clear();

  private:
    void MarkIndexesDirty();

    TCellStore FCells;                 // rows * defs.size() cells, row-major
    std::deque<std::int64_t> FTokens;  // a deque: deleting from the front moves nothing
    int FRows = 0;
    std::vector<std::unique_ptr<TIntIndex>> FIndexes;  // per field, built on demand
};
