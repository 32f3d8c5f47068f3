// A small writer of Jet 4 database files for tests and benchmarks: user tables
// of long, 16-bit integer, text, boolean and memo columns over as many data
// pages as their rows need, the database password in the header, no indexes.
// Enough for libmdb to list and export the tables. A memo of more than a
// kilobyte goes into a chain of long-value pages after the tables.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace jetwriter {

enum class TKind { Long, Int16, Text, Bool, Ole, Memo };

struct TColumn {
    std::string name;
    TKind kind = TKind::Long;
    int chars = 50;  // Text: the column's size in characters
};

// Null, a number (Long, Int16), a UTF-8 text (Text, Memo) or a boolean.
using TCell = std::variant<std::monostate, std::int32_t, std::string, bool>;
using TRow = std::vector<TCell>;

struct TTable {
    std::string name;
    std::vector<TColumn> columns;
    std::vector<TRow> rows;
};

struct TOptions {
    std::string password;          // ASCII, at most 20 characters
    std::uint8_t version = 1;      // 0 = Jet 3, 1 = Jet 4
    double created = 45123.61803;  // creation date (an OLE date); it masks the password
    int maxRowsPerPage = 200;
};

constexpr size_t kPage = 4096;

inline void Put16(std::vector<std::uint8_t>& b, size_t at, unsigned v) {
    b[at] = v & 0xFF;
    b[at + 1] = (v >> 8) & 0xFF;
}
inline void Put32(std::vector<std::uint8_t>& b, size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = (v >> (8 * i)) & 0xFF;
}
inline void Add16(std::vector<std::uint8_t>& b, unsigned v) {
    b.push_back(v & 0xFF);
    b.push_back((v >> 8) & 0xFF);
}

// UTF-8 to UTF-16LE bytes.
inline std::vector<std::uint8_t> Utf16(const std::string& s) {
    std::vector<std::uint8_t> out;
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        unsigned cp = c;
        int extra = 0;
        if (c >= 0xF0) {
            cp = c & 0x07;
            extra = 3;
        } else if (c >= 0xE0) {
            cp = c & 0x0F;
            extra = 2;
        } else if (c >= 0xC0) {
            cp = c & 0x1F;
            extra = 1;
        }
        ++i;
        for (int k = 0; k < extra && i < s.size(); ++k, ++i) cp = (cp << 6) | (s[i] & 0x3F);
        if (cp >= 0x10000) {
            Add16(out, 0xD800 + ((cp - 0x10000) >> 10));
            Add16(out, 0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            Add16(out, cp);
        }
    }
    return out;
}

inline void Rc4(const std::uint8_t* key, size_t keyLen, std::uint8_t* data, size_t n) {
    std::array<std::uint8_t, 256> s{};
    for (int i = 0; i < 256; ++i) s[i] = static_cast<std::uint8_t>(i);
    for (int i = 0, j = 0; i < 256; ++i) {
        j = (j + s[i] + key[i % keyLen]) & 0xFF;
        std::swap(s[i], s[j]);
    }
    for (size_t k = 0, i = 0, j = 0; k < n; ++k) {
        i = (i + 1) & 0xFF;
        j = (j + s[i]) & 0xFF;
        std::swap(s[i], s[j]);
        data[k] ^= s[(s[i] + s[j]) & 0xFF];
    }
}

inline bool IsFixed(TKind k) {
    return k == TKind::Long || k == TKind::Int16 || k == TKind::Bool;
}

struct TLayout {
    std::vector<int> fixedOffset, varIndex;
    int varCount = 0;
};

inline TLayout LayOut(const TTable& t) {
    TLayout l;
    int offset = 0;
    for (const TColumn& c : t.columns) {
        l.fixedOffset.push_back(IsFixed(c.kind) ? offset : 0);
        l.varIndex.push_back(IsFixed(c.kind) ? 0 : l.varCount);
        if (!IsFixed(c.kind)) ++l.varCount;
        if (c.kind == TKind::Long) offset += 4;
        if (c.kind == TKind::Int16) offset += 2;
    }
    return l;
}

// The long-value pages of memos too long to stay in their row: one chunk
// per page, each led by the page and row of the next chunk (0: the last).
struct TLongValues {
    std::uint32_t firstPage = 0;
    std::vector<std::vector<std::uint8_t>> pages;
};

// A memo's 12-byte field header and, when it fits, its text.
inline std::vector<std::uint8_t> EncodeMemo(const std::string& text, TLongValues& longValues) {
    const std::vector<std::uint8_t> u = Utf16(text);
    std::vector<std::uint8_t> out(12, 0);
    if (u.size() <= 1024) {
        Put32(out, 0, static_cast<std::uint32_t>(u.size()) | 0x80000000u);
        out.resize(12 + u.size());
        if (!u.empty()) std::memcpy(&out[12], u.data(), u.size());
        return out;
    }
    constexpr size_t kChunk = 4000;
    const auto first = static_cast<std::uint32_t>(longValues.firstPage + longValues.pages.size());
    Put32(out, 0, static_cast<std::uint32_t>(u.size()));
    Put32(out, 4, first << 8);
    for (size_t at = 0; at < u.size(); at += kChunk) {
        const size_t n = std::min(kChunk, u.size() - at);
        std::vector<std::uint8_t> row(4 + n, 0);
        std::memcpy(&row[4], &u[at], n);
        if (at + n < u.size()) {
            const auto next =
                static_cast<std::uint32_t>(longValues.firstPage + longValues.pages.size() + 1);
            Put32(row, 0, next << 8);
        }
        longValues.pages.push_back(std::move(row));
    }
    return out;
}

inline std::vector<std::uint8_t> EncodeRow(const TTable& t, const TLayout& l, const TRow& row,
                                           TLongValues& longValues) {
    const size_t n = t.columns.size();
    int fixedSize = 0;
    for (const TColumn& c : t.columns)
        fixedSize += c.kind == TKind::Long ? 4 : c.kind == TKind::Int16 ? 2 : 0;
    std::vector<std::uint8_t> out(2 + fixedSize, 0);
    Put16(out, 0, static_cast<unsigned>(n));
    std::vector<std::uint8_t> mask((n + 7) / 8, 0);
    std::vector<unsigned> varStart;
    for (size_t i = 0; i < n; ++i) {
        const TCell& v = i < row.size() ? row[i] : TCell();
        const TColumn& c = t.columns[i];
        const bool present = !std::holds_alternative<std::monostate>(v);
        if (c.kind == TKind::Bool) {
            if (present && std::get<bool>(v)) mask[i / 8] |= 1 << (i % 8);
            continue;
        }
        if (present) mask[i / 8] |= 1 << (i % 8);
        if (IsFixed(c.kind)) {
            if (present) {
                const auto x = static_cast<std::uint32_t>(std::get<std::int32_t>(v));
                if (c.kind == TKind::Long)
                    Put32(out, 2 + l.fixedOffset[i], x);
                else
                    Put16(out, 2 + l.fixedOffset[i], x & 0xFFFF);
            }
        } else {
            varStart.push_back(static_cast<unsigned>(out.size()));
            if (auto s = std::get_if<std::string>(&v)) {
                const auto u = c.kind == TKind::Memo ? EncodeMemo(*s, longValues) : Utf16(*s);
                out.insert(out.end(), u.begin(), u.end());
            }
        }
    }
    if (l.varCount > 0) {
        varStart.push_back(static_cast<unsigned>(out.size()));
        for (size_t k = varStart.size(); k-- > 0;) Add16(out, varStart[k]);
        Add16(out, static_cast<unsigned>(l.varCount));
    }
    out.insert(out.end(), mask.begin(), mask.end());
    return out;
}

inline void ColumnEntries(std::vector<std::uint8_t>& p, const TTable& t, const TLayout& l) {
    size_t at = 63;
    for (size_t i = 0; i < t.columns.size(); ++i, at += 25) {
        const TColumn& c = t.columns[i];
        static constexpr std::uint8_t kType[] = {0x04, 0x03, 0x0A, 0x01, 0x0B, 0x0C};
        p[at] = kType[static_cast<int>(c.kind)];
        Put16(p, at + 5, static_cast<unsigned>(i));
        Put16(p, at + 7, static_cast<unsigned>(l.varIndex[i]));
        Put16(p, at + 9, static_cast<unsigned>(i));
        p[at + 15] = IsFixed(c.kind) ? 0x03 : 0x02;
        Put16(p, at + 21, static_cast<unsigned>(l.fixedOffset[i]));
        const int size = c.kind == TKind::Long    ? 4
                         : c.kind == TKind::Int16 ? 2
                         : c.kind == TKind::Bool  ? 1
                         : c.kind == TKind::Text  ? 2 * c.chars
                                                  : 0;
        Put16(p, at + 23, static_cast<unsigned>(size));
    }
    for (const TColumn& c : t.columns) {
        const auto u = Utf16(c.name);
        Put16(p, at, static_cast<unsigned>(u.size()));
        std::memcpy(&p[at + 2], u.data(), u.size());
        at += 2 + u.size();
    }
    Put32(p, 8, static_cast<std::uint32_t>(at - 8));
}

// The whole file. Page 0 header, page 1 the usage maps, then per table
// (MSysObjects first) its definition page and its data pages, then the
// long-value pages.
inline std::vector<std::uint8_t> FileBytes(const std::vector<TTable>& userTables,
                                           const TOptions& o = {}) {
    std::vector<TTable> tables;
    tables.push_back({"MSysObjects",
                      {{"Id", TKind::Long},
                       {"Name", TKind::Text, 255},
                       {"Type", TKind::Int16},
                       {"Flags", TKind::Long},
                       {"LvProp", TKind::Ole}},
                      {}});
    tables.insert(tables.end(), userTables.begin(), userTables.end());

    // Rows into pages, per table.
    struct TPlaced {
        std::vector<std::vector<std::vector<std::uint8_t>>> pages;  // rows per page
    };
    std::vector<TPlaced> placed(tables.size());
    std::vector<TLayout> layouts;
    std::vector<std::uint32_t> tdefPage(tables.size());
    for (const TTable& t : tables) layouts.push_back(LayOut(t));
    // MSysObjects rows need the definition pages of the user tables: count first.
    TLongValues longValues;
    auto place = [&](size_t k) {
        placed[k].pages.clear();
        size_t used = kPage;
        for (const TRow& r : tables[k].rows) {
            auto bytes = EncodeRow(tables[k], layouts[k], r, longValues);
            const size_t need = bytes.size() + 2;
            if (placed[k].pages.empty() || used + need > kPage ||
                placed[k].pages.back().size() >= static_cast<size_t>(o.maxRowsPerPage)) {
                placed[k].pages.emplace_back();
                used = 14;
            }
            used += need;
            placed[k].pages.back().push_back(std::move(bytes));
        }
    };
    for (size_t k = 1; k < tables.size(); ++k) place(k);
    for (size_t k = 1; k < tables.size(); ++k)
        tables[0].rows.push_back({static_cast<std::int32_t>(0), tables[k].name,
                                  static_cast<std::int32_t>(1), static_cast<std::int32_t>(0),
                                  TCell()});
    place(0);
    std::uint32_t next = 2;
    for (size_t k = 0; k < tables.size(); ++k) {
        tdefPage[k] = next;
        next += 1 + static_cast<std::uint32_t>(placed[k].pages.size());
    }
    // Now that the pages are known, the catalog rows get their Id.
    for (size_t k = 1; k < tables.size(); ++k)
        tables[0].rows[k - 1][0] = static_cast<std::int32_t>(tdefPage[k]);
    // The long values follow the tables: their pages are known only now, and
    // the rows that point to them keep their sizes.
    longValues = {next, {}};
    for (size_t k = 1; k < tables.size(); ++k) place(k);
    place(0);
    const std::uint32_t pageCount = next + static_cast<std::uint32_t>(longValues.pages.size());

    std::vector<std::uint8_t> file(pageCount * kPage, 0);
    auto page = [](std::uint32_t) { return std::vector<std::uint8_t>(kPage, 0); };
    auto store = [&](std::uint32_t n, const std::vector<std::uint8_t>& p) {
        std::memcpy(&file[n * kPage], p.data(), kPage);
    };
    auto fillData = [&](std::vector<std::uint8_t>& p, std::uint32_t owner,
                        const std::vector<std::vector<std::uint8_t>>& rows) {
        p[0] = 0x01;
        p[1] = 0x01;
        Put32(p, 4, owner);
        Put16(p, 12, static_cast<unsigned>(rows.size()));
        size_t end = kPage;
        for (size_t r = 0; r < rows.size(); ++r) {
            end -= rows[r].size();
            std::memcpy(&p[end], rows[r].data(), rows[r].size());
            Put16(p, 14 + 2 * r, static_cast<unsigned>(end));
        }
        Put16(p, 2, static_cast<unsigned>(end - (14 + 2 * rows.size())));
    };

    // Page 1: two type-0 usage maps per table (pages in use, pages with room).
    std::vector<std::vector<std::uint8_t>> maps;
    for (size_t k = 0; k < tables.size(); ++k) {
        std::vector<std::uint8_t> used(5 + (pageCount + 7) / 8, 0), free(5, 0);
        for (size_t d = 0; d < placed[k].pages.size(); ++d) {
            const std::uint32_t pg = tdefPage[k] + 1 + static_cast<std::uint32_t>(d);
            used[5 + pg / 8] |= 1 << (pg % 8);
        }
        maps.push_back(used);
        maps.push_back(free);
    }
    {
        auto p = page(1);
        fillData(p, 0, maps);
        store(1, p);
    }

    for (size_t k = 0; k < tables.size(); ++k) {
        const TTable& t = tables[k];
        auto p = page(tdefPage[k]);
        p[0] = 0x02;
        p[1] = 0x01;
        p[2] = 'V';
        p[3] = 'C';
        Put32(p, 16, static_cast<std::uint32_t>(t.rows.size()));
        p[40] = k == 0 ? 0x53 : 0x4E;
        Put16(p, 41, static_cast<unsigned>(t.columns.size()));
        Put16(p, 43, static_cast<unsigned>(layouts[k].varCount));
        Put16(p, 45, static_cast<unsigned>(t.columns.size()));
        Put32(p, 55, (1u << 8) | static_cast<std::uint32_t>(2 * k));
        Put32(p, 59, (1u << 8) | static_cast<std::uint32_t>(2 * k + 1));
        ColumnEntries(p, t, layouts[k]);
        store(tdefPage[k], p);
        for (size_t d = 0; d < placed[k].pages.size(); ++d) {
            auto dp = page(0);
            fillData(dp, tdefPage[k], placed[k].pages[d]);
            store(tdefPage[k] + 1 + static_cast<std::uint32_t>(d), dp);
        }
    }

    for (size_t k = 0; k < longValues.pages.size(); ++k) {
        auto p = page(0);
        fillData(p, 0, {longValues.pages[k]});
        std::memcpy(&p[4], "LVAL", 4);
        store(next + static_cast<std::uint32_t>(k), p);
    }

    // Page 0: the header, its secret part RC4-encrypted.
    auto h = page(0);
    h[1] = 0x01;
    std::memcpy(&h[4], "Standard Jet DB", 15);
    h[0x14] = o.version;
    Put16(h, 0x3C, 1252);
    std::memcpy(&h[0x72], &o.created, 8);
    const auto mask = static_cast<std::uint32_t>(static_cast<std::int32_t>(std::floor(o.created)));
    std::vector<std::uint8_t> pw = Utf16(o.password);
    pw.resize(40, 0);
    for (size_t i = 0; i < 40; ++i) h[0x42 + i] = pw[i] ^ ((mask >> (8 * (i % 4))) & 0xFF);
    static constexpr std::uint8_t kKey[] = {0xC7, 0xDA, 0x39, 0x6B};
    Rc4(kKey, 4, &h[0x18], 0x80);
    store(0, h);
    return file;
}

inline void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

// The usual card tables.
inline TTable CardListTable(const std::vector<TRow>& rows, const std::string& name = "cardlist") {
    return {name,
            {{"cardno", TKind::Long},
             {"descx", TKind::Text, 50},
             {"grp", TKind::Text, 50},
             {"granted", TKind::Bool}},
            rows};
}

inline TTable CardBatchTable(const std::vector<std::int32_t>& numbers) {
    TTable t{"card", {{"cardno", TKind::Long}}, {}};
    for (std::int32_t n : numbers) t.rows.push_back({n});
    return t;
}

}  // namespace jetwriter
