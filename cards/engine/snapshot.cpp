// The snapshot store: cells, row tokens, integer indexes and the sort in
// memory.
#include "snapshot.h"

#include <algorithm>
#include <bit>
#include <new>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "collation.h"

class TIntIndex {
  public:
    template <class KeyOf>
    void Build(int rows, KeyOf keyOf) {
        size_t cap = 16;
        while (cap < static_cast<size_t>(rows) * 2) cap *= 2;
        FSlots.assign(cap, -1);
        FCount = 0;
        for (int r = 0; r < rows; ++r)
            if (auto k = keyOf(r)) Insert(*k, r, keyOf);
        FDirty = false;
    }
    template <class KeyOf>
    void Insert(std::int64_t key, int row, KeyOf keyOf) {
        if ((FCount + 1) * 2 > FSlots.size()) {
            std::vector<int> old = std::move(FSlots);
            FSlots.assign(old.size() * 2, -1);
            FCount = 0;
            std::sort(old.begin(), old.end());  // keeps the first row of equal keys
            for (int r : old)
                if (r >= 0) Insert(*keyOf(r), r, keyOf);
        }
        for (size_t i = Hash(key);; i = (i + 1) & (FSlots.size() - 1)) {
            int& slot = FSlots[i];
            if (slot < 0) {
                slot = row;
                ++FCount;
                return;
            }
            if (*keyOf(slot) == key) {
                slot = std::min(slot, row);
                return;
            }
        }
    }
    template <class KeyOf>
    int Find(std::int64_t key, KeyOf keyOf) const {
        for (size_t i = Hash(key);; i = (i + 1) & (FSlots.size() - 1)) {
            const int slot = FSlots[i];
            if (slot < 0) return -1;
            if (*keyOf(slot) == key) return slot;
        }
    }
    bool FDirty = true;

  private:
    size_t Hash(std::int64_t key) const {
        auto h = static_cast<std::uint64_t>(key) * 0x9E3779B97F4A7C15ull;
        return static_cast<size_t>(h >> 20) & (FSlots.size() - 1);
    }
    std::vector<int> FSlots;
    size_t FCount = 0;
};

// ---------------------------------------------------------------- cell store

void TCellStore::push_back(TValue&& v) {
    if (FStart + FSize == FChunks.size() * kChunk)
        FChunks.emplace_back(static_cast<TValue*>(::operator new(kChunk * sizeof(TValue))));
    new (&(*this)[FSize]) TValue(std::move(v));
    ++FSize;
}

void TCellStore::erase(size_t pos, size_t n) {
    if (pos == 0 && n <= FSize) {
        for (size_t i = 0; i < n; ++i) (*this)[i].~TValue();
        FStart += n;
        FSize -= n;
        while (FStart >= kChunk) {
            FChunks.erase(FChunks.begin());
            FStart -= kChunk;
        }
        return;
    }
    for (size_t i = pos; i + n < FSize; ++i) (*this)[i] = std::move((*this)[i + n]);
    shrink(FSize - n);
}

void TCellStore::shrink(size_t newSize) {
    while (FSize > newSize) (*this)[--FSize].~TValue();
    while (FChunks.size() * kChunk >= FStart + FSize + kChunk) FChunks.pop_back();
}

void TCellStore::clear() {
    while (FSize > 0) (*this)[--FSize].~TValue();
    FStart = 0;
}

// ---------------------------------------------------------------- snapshot

namespace {

// Appends the byte string by which a cell sorts in its column: nulls first,
// then numbers by value, then text in the collation's order. Booleans sort
// true first, as Jet files sort them (true is -1 there).
void AppendOrderKey(const TValue& v, TFieldType type, TCollator& collator, std::string& out) {
    if (std::holds_alternative<std::monostate>(v)) {
        out += '\0';
        return;
    }
    if (type == TFieldType::Boolean && !std::holds_alternative<std::string>(v)) {
        const bool on = std::holds_alternative<std::int64_t>(v) ? std::get<std::int64_t>(v) != 0
                                                                : std::get<double>(v) != 0;
        out += '\1';
        out += on ? '\0' : '\1';
        return;
    }
    if (const auto* s = std::get_if<std::string>(&v)) {
        out += '\2';
        collator.AppendSortKey(*s, out);
        return;
    }
    // Numbers as doubles (exact for every 32-bit card number), in bytes that
    // compare like the values: the sign bit flipped, negatives inverted.
    const double d = std::holds_alternative<std::int64_t>(v)
                         ? static_cast<double>(std::get<std::int64_t>(v))
                         : std::get<double>(v);
    std::uint64_t bits = std::bit_cast<std::uint64_t>(d == 0 ? 0.0 : d);
    bits = (bits >> 63) ? ~bits : bits | (std::uint64_t{1} << 63);
    out += '\1';
    for (int shift = 56; shift >= 0; shift -= 8) out += static_cast<char>((bits >> shift) & 0xFF);
}

}  // namespace

TSnapshot::TSnapshot() = default;
TSnapshot::~TSnapshot() = default;

void TSnapshot::AddEmptyRow() {
    for (int c = 0; c < Cols(); ++c) FCells.push_back(TValue());
    FTokens.push_back(0);
    ++FRows;
}

void TSnapshot::DropLastRow() {
    FCells.shrink(FCells.size() - defs.size());
    FTokens.pop_back();
    --FRows;
}

void TSnapshot::EraseRow(int row) {
    FCells.erase(static_cast<size_t>(row) * defs.size(), defs.size());
    FTokens.erase(FTokens.begin() + row);
    --FRows;
    MarkIndexesDirty();
}

void TSnapshot::StoreRow(int row, std::vector<TValue>&& values, bool appended) {
    for (int c = 0; c < Cols(); ++c) {
        if (c < static_cast<int>(FIndexes.size()) && FIndexes[c] && !(At(row, c) == values[c])) {
            if (appended && !FIndexes[c]->FDirty) {
                auto keyOf = [this, c](int r) -> std::optional<std::int64_t> {
                    if (auto p = std::get_if<std::int64_t>(&At(r, c))) return *p;
                    return std::nullopt;
                };
                At(row, c) = values[c];
                if (auto p = std::get_if<std::int64_t>(&values[c]))
                    FIndexes[c]->Insert(*p, row, keyOf);
            } else {
                FIndexes[c]->FDirty = true;
            }
        }
        At(row, c) = std::move(values[c]);
    }
}

int TSnapshot::FindInteger(int col, std::int64_t key) {
    if (FIndexes.size() < defs.size()) FIndexes.resize(defs.size());
    auto keyOf = [this, col](int row) -> std::optional<std::int64_t> {
        if (auto p = std::get_if<std::int64_t>(&At(row, col))) return *p;
        return std::nullopt;
    };
    auto& ix = FIndexes[col];
    if (!ix) ix = std::make_unique<TIntIndex>();
    if (ix->FDirty) ix->Build(FRows, keyOf);
    return ix->Find(key, keyOf);
}

void TSnapshot::MarkIndexesDirty() {
    for (auto& ix : FIndexes)
        if (ix) ix->FDirty = true;
}

// Sort keys are computed once per cell: comparing them is a byte comparison,
// much cheaper than a collation call per comparison.
void TSnapshot::Sort() {
    const std::vector<TSortKey>& plan = sortPlan;
    if (FRows < 2 || plan.empty()) return;
    const int rows = FRows;
    TCollator collator;
    std::vector<std::string> keys(plan.size());
    std::vector<std::vector<std::uint32_t>> starts(plan.size());
    for (size_t t = 0; t < plan.size(); ++t) {
        starts[t].reserve(static_cast<size_t>(rows) + 1);
        keys[t].reserve(static_cast<size_t>(rows) * 24);
        // Groups, and many names, repeat: their key is worked out once.
        std::unordered_map<std::string_view, std::pair<std::uint32_t, std::uint32_t>> seen;
        for (int r = 0; r < rows; ++r) {
            const auto start = static_cast<std::uint32_t>(keys[t].size());
            starts[t].push_back(start);
            const TValue& cell = At(r, plan[t].column);
            const auto* text = std::get_if<std::string>(&cell);
            if (text) {
                if (auto hit = seen.find(*text); hit != seen.end()) {
                    keys[t].append(keys[t], hit->second.first, hit->second.second);
                    continue;
                }
            }
            AppendOrderKey(cell, defs[plan[t].column].type, collator, keys[t]);
            if (text)
                seen.emplace(*text,
                             std::pair(start, static_cast<std::uint32_t>(keys[t].size() - start)));
        }
        starts[t].push_back(static_cast<std::uint32_t>(keys[t].size()));
    }
    auto key = [&](size_t t, int r) {
        return std::string_view(keys[t]).substr(starts[t][r], starts[t][r + 1] - starts[t][r]);
    };
    // The first eight bytes of the first key as a number decide most
    // comparisons without touching the keys; the row number breaks ties, so
    // equal rows keep their order.
    struct TEntry {
        std::uint64_t head;
        int row;
    };
    std::vector<TEntry> entries(static_cast<size_t>(rows));
    for (int r = 0; r < rows; ++r) {
        const std::string_view k = key(0, r);
        std::uint64_t head = 0;
        for (size_t i = 0; i < 8; ++i)
            head = (head << 8) | (i < k.size() ? static_cast<unsigned char>(k[i]) : 0u);
        entries[r] = {plan[0].descending ? ~head : head, r};
    }
    std::sort(entries.begin(), entries.end(), [&](const TEntry& a, const TEntry& b) {
        if (a.head != b.head) return a.head < b.head;
        for (size_t t = 0; t < plan.size(); ++t) {
            const int c = key(t, a.row).compare(key(t, b.row));
            if (c != 0) return plan[t].descending ? c > 0 : c < 0;
        }
        return a.row < b.row;
    });
    std::vector<int> order(static_cast<size_t>(rows));
    for (int r = 0; r < rows; ++r) order[r] = entries[r].row;
    // Row order[i] goes to position i, one cycle of the permutation at a time.
    const int n = Cols();
    std::vector<bool> placed(static_cast<size_t>(rows), false);
    std::vector<TValue> held(static_cast<size_t>(n));
    for (int start = 0; start < rows; ++start) {
        if (placed[start] || order[start] == start) continue;
        for (int c = 0; c < n; ++c) held[c] = std::move(At(start, c));
        const std::int64_t heldToken = FTokens[start];
        int pos = start;
        for (;;) {
            placed[pos] = true;
            const int from = order[pos];
            if (from == start) {
                for (int c = 0; c < n; ++c) At(pos, c) = std::move(held[c]);
                FTokens[pos] = heldToken;
                break;
            }
            for (int c = 0; c < n; ++c) At(pos, c) = std::move(At(from, c));
            FTokens[pos] = FTokens[from];
            pos = from;
        }
    }
    MarkIndexesDirty();
}

void TSnapshot::Clear() {
    FCells.clear();
    std::deque<std::int64_t>().swap(FTokens);
    FRows = 0;
    FIndexes.clear();
    defs.clear();
    origins.clear();
    table.clear();
    keyFields.clear();
    sortPlan.clear();
}
