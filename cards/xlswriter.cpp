#include "xlswriter.h"

#include <dirent.h>
#include <fcntl.h>
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xlsxwriter.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <unordered_map>

#include "dbengine.h"

namespace {

// --- Text ---

bool IsHighSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char32_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// UTF-8 to UTF-16; an invalid or cut-off sequence becomes U+FFFD. A surrogate
// encoded on its own (as some programs write the halves of a character, or a
// half without its other) is kept as that unit: two such halves in a row are
// the character again.
std::u16string Utf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    size_t i = 0;
    const size_t n = s.size();
    while (i < n) {
        const auto b = static_cast<unsigned char>(s[i]);
        char32_t cp = 0xFFFD;
        size_t len = 1;
        if (b < 0x80) {
            cp = b;
        } else {
            const int more = b >= 0xF0 && b <= 0xF4  ? 3
                             : b >= 0xE0             ? 2
                             : b >= 0xC2 && b < 0xE0 ? 1
                                                     : 0;
            if (more > 0 && i + static_cast<size_t>(more) < n) {
                char32_t v = b & (0x3F >> more);
                bool ok = true;
                for (int k = 1; k <= more; ++k) {
                    const auto c = static_cast<unsigned char>(s[i + k]);
                    if ((c & 0xC0) != 0x80) {
                        ok = false;
                        break;
                    }
                    v = (v << 6) | (c & 0x3F);
                }
                const char32_t least = more == 1 ? 0x80 : more == 2 ? 0x800 : 0x10000;
                if (ok && v >= least && v <= 0x10FFFF) {
                    cp = v;
                    len = static_cast<size_t>(more) + 1;
                }
            }
        }
        if (cp >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return out;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

bool IsHexDigit(char16_t c) {
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// The text of an .xlsx cell, as UTF-8 for the XML. XML cannot carry control
// characters other than tab, line feed and carriage return, nor U+FFFE, U+FFFF
// or a surrogate without its other half: those go in the format's escape
// _xHHHH_. So does the underscore of a text that reads like such an escape, so
// that readers give back every text unchanged.
std::string XlsxText(const std::u16string& s) {
    std::string out;
    out.reserve(s.size());
    auto escape = [&out](char32_t unit) {
        static const char kHex[] = "0123456789ABCDEF";
        out += "_x";
        for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHex[(unit >> shift) & 0xF]);
        out.push_back('_');
    };
    for (size_t i = 0; i < s.size(); ++i) {
        const char32_t c = s[i];
        if (IsHighSurrogate(c) && i + 1 < s.size() && IsLowSurrogate(s[i + 1])) {
            AppendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00));
            ++i;
        } else if ((c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r') || c == 0xFFFE ||
                   c == 0xFFFF || IsHighSurrogate(c) || IsLowSurrogate(c)) {
            escape(c);
        } else if (c == u'_' && i + 5 < s.size() && s[i + 1] == u'x' &&
                   std::all_of(s.begin() + static_cast<std::ptrdiff_t>(i + 2),
                               s.begin() + static_cast<std::ptrdiff_t>(i + 6), IsHexDigit)) {
            escape(c);
        } else {
            AppendUtf8(out, c);
        }
    }
    return out;
}

// A text for a BIFF8 string: readers refuse a surrogate without its other
// half, which becomes U+FFFD.
std::u16string WithoutLoneSurrogates(std::u16string s) {
    for (size_t i = 0; i < s.size(); ++i) {
        if (IsHighSurrogate(s[i]) && i + 1 < s.size() && IsLowSurrogate(s[i + 1]))
            ++i;
        else if (IsHighSurrogate(s[i]) || IsLowSurrogate(s[i]))
            s[i] = 0xFFFD;
    }
    return s;
}

// Cut to what a cell holds, never between the two halves of a surrogate pair.
void CutToCell(std::u16string& s) {
    if (s.size() <= static_cast<size_t>(kExcelMaxCellChars)) return;
    size_t n = kExcelMaxCellChars;
    if (s[n - 1] >= 0xD800 && s[n - 1] <= 0xDBFF) --n;
    s.resize(n);
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// --- Cells ---

// The texts of a workbook, each once; cells refer to them by index.
struct TStringPool {
    std::vector<std::u16string> strings;
    std::unordered_map<std::u16string, std::uint32_t> index;

    std::uint32_t Add(std::u16string s) {
        auto [it, added] =
            index.try_emplace(std::move(s), static_cast<std::uint32_t>(strings.size()));
        if (added) strings.push_back(it->first);
        return it->second;
    }
};

struct TCell {
    enum Kind : std::uint8_t { Empty, Number, Text, Bool } kind = Empty;
    bool flag = false;
    std::uint32_t text = 0;  // pool index
    double number = 0;
};

// The table's rows below the header, row by row, one cell per column.
struct TSheetData {
    TStringPool pool;  // the column names first
    std::vector<TCell> cells;
    int rows = 0;
};

void CheckTable(const TExcelTableDef& table) {
    if (table.name.empty() || table.name.size() > 31 ||
        table.name.find_first_of("[]:*?/\\") != std::string::npos)
        throw EExcelError("Invalid sheet name: " + table.name);
    if (table.columns.empty() || table.columns.size() > 256)
        throw EExcelError("A table needs 1 to 256 columns");
}

TSheetData HeaderOnly(const TExcelTableDef& table) {
    TSheetData data;
    for (const TExcelColumn& c : table.columns) data.pool.Add(Utf16(c.name));
    return data;
}

// --- BIFF8 ---

constexpr size_t kMaxRecordData = 8224;

class TBiff {
  public:
    std::string bytes;

    void U8(unsigned v) { bytes.push_back(static_cast<char>(v & 0xFF)); }
    void U16(unsigned v) {
        U8(v);
        U8(v >> 8);
    }
    void U32(std::uint32_t v) {
        U16(v & 0xFFFF);
        U16(v >> 16);
    }
    void F64(double v) {
        std::uint64_t u;
        std::memcpy(&u, &v, sizeof u);
        U32(static_cast<std::uint32_t>(u));
        U32(static_cast<std::uint32_t>(u >> 32));
    }
    // Starts a record; End fills in its size.
    void Begin(unsigned type) {
        U16(type);
        FSizeAt = bytes.size();
        U16(0);
    }
    void End() {
        const size_t size = bytes.size() - FSizeAt - 2;
        bytes[FSizeAt] = static_cast<char>(size & 0xFF);
        bytes[FSizeAt + 1] = static_cast<char>(size >> 8);
    }
    size_t RecordSize() const { return bytes.size() - FSizeAt - 2; }
    size_t RecordStart() const { return FSizeAt - 2; }
    // A short Latin-1 text with a one-byte length (font and sheet names).
    void ShortText(std::string_view s) {
        U8(static_cast<unsigned>(s.size()));
        U8(0);
        bytes.append(s);
    }

  private:
    size_t FSizeAt = 0;
};

bool FitsOneByte(const std::u16string& s) {
    return std::all_of(s.begin(), s.end(), [](char16_t c) { return c <= 0xFF; });
}

// The shared string table: an SST record and as many CONTINUE records as its
// strings need, then the EXTSST record that indexes it. A string's length and
// option byte never part from its first character, nor the two halves of a
// surrogate pair from each other; a continued string repeats its option byte.
void WriteSst(TBiff& out, const TStringPool& pool, std::uint32_t total) {
    // EXTSST: one entry per bucket of strings, at most 128 buckets.
    const size_t count = pool.strings.size();
    const size_t perBucket = std::max<size_t>(8, (count + 127) / 128);
    struct TBucket {
        std::uint32_t position;
        unsigned offset;
    };
    std::vector<TBucket> buckets;

    out.Begin(0x00FC);
    out.U32(total);
    out.U32(static_cast<std::uint32_t>(count));
    for (size_t index = 0; index < count; ++index) {
        const std::u16string s = WithoutLoneSurrogates(pool.strings[index]);
        const bool narrow = FitsOneByte(s);
        const size_t charSize = narrow ? 1 : 2;
        const size_t first = s.empty() ? 0 : (IsHighSurrogate(s[0]) ? 2 : 1) * charSize;
        if (out.RecordSize() + 3 + first > kMaxRecordData) {
            out.End();
            out.Begin(0x003C);
        }
        if (index % perBucket == 0)
            buckets.push_back({static_cast<std::uint32_t>(out.bytes.size()),
                               static_cast<unsigned>(out.bytes.size() - out.RecordStart())});
        out.U16(static_cast<unsigned>(s.size()));
        out.U8(narrow ? 0 : 1);
        size_t pos = 0;
        while (pos < s.size()) {
            const size_t room = (kMaxRecordData - out.RecordSize()) / charSize;
            size_t n = std::min(room, s.size() - pos);
            if (n > 0 && pos + n < s.size() && IsHighSurrogate(s[pos + n - 1])) --n;
            if (n == 0) {
                out.End();
                out.Begin(0x003C);
                out.U8(narrow ? 0 : 1);
                continue;
            }
            for (size_t k = 0; k < n; ++k) {
                if (narrow)
                    out.U8(s[pos + k]);
                else
                    out.U16(s[pos + k]);
            }
            pos += n;
        }
    }
    out.End();

    out.Begin(0x00FF);
    out.U16(static_cast<unsigned>(perBucket));
    for (const TBucket& b : buckets) {
        out.U32(b.position);
        out.U16(b.offset);
        out.U16(0);
    }
    out.End();
}

void WriteBof(TBiff& out, unsigned type) {
    out.Begin(0x0809);
    out.U16(0x0600);  // BIFF8
    out.U16(type);
    out.U16(0x0DBB);  // build
    out.U16(0x07CC);  // year
    out.U32(0);       // file history
    out.U32(0x06);    // lowest version that can read it
    out.End();
}

void WriteEof(TBiff& out) {
    out.Begin(0x000A);
    out.End();
}

// The cell format every cell and style uses.
constexpr unsigned kCellXf = 15;

void WriteXf(TBiff& out, bool style) {
    out.Begin(0x00E0);
    out.U16(0);                        // font
    out.U16(0);                        // number format: General
    out.U16(style ? 0xFFF5 : 0x0001);  // locked; style XFs have no parent
    out.U8(0x20);                      // bottom aligned
    out.U8(0);                         // rotation
    out.U8(0);                         // indent, shrink, reading order
    out.U8(style ? 0xF4 : 0);          // attributes of their own
    out.U32(0);                        // borders
    out.U32(0);
    out.U16(0x20C0);  // pattern colours: automatic
    out.End();
}

std::string BuildXlsStream(const TExcelTableDef& table, const TSheetData& data) {
    const size_t columns = table.columns.size();
    std::uint32_t textCells = static_cast<std::uint32_t>(columns);
    for (const TCell& c : data.cells)
        if (c.kind == TCell::Text) ++textCells;

    TBiff out;
    WriteBof(out, 0x0005);
    out.Begin(0x0042);  // CODEPAGE: UTF-16
    out.U16(1200);
    out.End();
    out.Begin(0x003D);  // WINDOW1
    out.U16(0);
    out.U16(0);
    out.U16(0x3000);
    out.U16(0x2000);
    out.U16(0x0038);
    out.U16(0);
    out.U16(0);
    out.U16(1);
    out.U16(0x0258);
    out.End();
    out.Begin(0x0022);  // DATEMODE: 1900
    out.U16(0);
    out.End();
    for (int i = 0; i < 4; ++i) {
        out.Begin(0x0031);  // FONT: Arial 10
        out.U16(200);
        out.U16(0);
        out.U16(0x7FFF);
        out.U16(400);
        out.U16(0);
        out.U8(0);
        out.U8(0);
        out.U8(0);
        out.U8(0);
        out.ShortText("Arial");
        out.End();
    }
    for (unsigned i = 0; i < kCellXf; ++i) WriteXf(out, true);
    WriteXf(out, false);
    out.Begin(0x0293);  // STYLE: Normal, built in
    out.U16(0x8000);
    out.U8(0);
    out.U8(0xFF);
    out.End();
    out.Begin(0x0085);  // BOUNDSHEET8; the sheet's offset is patched in below
    const size_t sheetOffsetAt = out.bytes.size();
    out.U32(0);
    out.U8(0);
    out.U8(0);
    out.ShortText(table.name);
    out.End();
    WriteSst(out, data.pool, textCells);
    WriteEof(out);

    const auto sheetAt = static_cast<std::uint32_t>(out.bytes.size());
    for (int k = 0; k < 4; ++k)
        out.bytes[sheetOffsetAt + k] = static_cast<char>(sheetAt >> (8 * k));

    WriteBof(out, 0x0010);
    out.Begin(0x0200);  // DIMENSIONS
    out.U32(0);
    out.U32(static_cast<std::uint32_t>(data.rows) + 1);
    out.U16(0);
    out.U16(static_cast<unsigned>(columns));
    out.U16(0);
    out.End();
    for (size_t c = 0; c < columns; ++c) {
        out.Begin(0x00FD);  // LABELSST
        out.U16(0);
        out.U16(static_cast<unsigned>(c));
        out.U16(kCellXf);
        out.U32(static_cast<std::uint32_t>(c));
        out.End();
    }
    for (int r = 0; r < data.rows; ++r) {
        const unsigned row = static_cast<unsigned>(r) + 1;
        for (size_t c = 0; c < columns; ++c) {
            const TCell& cell = data.cells[static_cast<size_t>(r) * columns + c];
            switch (cell.kind) {
                case TCell::Empty:
                    continue;
                case TCell::Number:
                    out.Begin(0x0203);  // NUMBER
                    out.U16(row);
                    out.U16(static_cast<unsigned>(c));
                    out.U16(kCellXf);
                    out.F64(cell.number);
                    break;
                case TCell::Text:
                    out.Begin(0x00FD);
                    out.U16(row);
                    out.U16(static_cast<unsigned>(c));
                    out.U16(kCellXf);
                    out.U32(cell.text);
                    break;
                case TCell::Bool:
                    out.Begin(0x0205);  // BOOLERR: a logical value
                    out.U16(row);
                    out.U16(static_cast<unsigned>(c));
                    out.U16(kCellXf);
                    out.U8(cell.flag ? 1 : 0);
                    out.U8(0);
                    break;
            }
            out.End();
        }
    }
    out.Begin(0x023E);  // WINDOW2
    out.U16(0x06B6);
    out.U16(0);
    out.U16(0);
    out.U16(0x40);
    out.U16(0);
    out.U16(0);
    out.U16(0);
    out.U32(0);
    out.End();
    WriteEof(out);
    // A shorter stream would have to live in the compound file's mini stream.
    if (out.bytes.size() < 4096) out.bytes.resize(4096, '\0');
    return std::move(out.bytes);
}

// Writes the compound file into the open file descriptor (libgsf would
// otherwise write a file of its own beside it and rename that).
void WriteXlsFile(const std::string& path, int fd, const TExcelTableDef& table,
                  const TSheetData& data) {
    const std::string stream = BuildXlsStream(table, data);
    const int copy = ::dup(fd);
    FILE* file = copy >= 0 ? ::fdopen(copy, "wb") : nullptr;
    if (!file) {
        if (copy >= 0) ::close(copy);
        throw EExcelError("Cannot write the file " + path + ": " + std::strerror(errno));
    }
    GsfOutput* sink = gsf_output_stdio_new_FILE(path.c_str(), file, FALSE);
    if (!sink) {
        std::fclose(file);
        throw EExcelError("Cannot write the file " + path);
    }
    GsfOutfile* ole = gsf_outfile_msole_new(sink);
    GsfOutput* workbook = gsf_outfile_new_child(ole, "Workbook", FALSE);
    bool ok = workbook && gsf_output_write(workbook, stream.size(),
                                           reinterpret_cast<const guint8*>(stream.data()));
    if (workbook) {
        ok = gsf_output_close(workbook) && ok;
        g_object_unref(workbook);
    }
    ok = gsf_output_close(GSF_OUTPUT(ole)) && ok;
    g_object_unref(ole);
    // Closing the compound file closes its sink as well, unless it failed first.
    if (!gsf_output_is_closed(sink)) ok = gsf_output_close(sink) && ok;
    g_object_unref(sink);
    if (!ok) throw EExcelError("Cannot write the file " + path);
}

// --- Office Open XML ---

void WriteXlsxFile(const std::string& path, const TExcelTableDef& table, const TSheetData& data) {
    // Rows are written in order: each goes straight to a temporary file instead
    // of being kept in memory until the end (a million rows would take hundreds
    // of megabytes). Texts are then stored in their cells, not in a shared table.
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    lxw_workbook* workbook = workbook_new_opt(path.c_str(), &options);
    if (!workbook) throw EExcelError("Cannot create the file " + path);
    bool ok = true;
    lxw_worksheet* sheet = workbook_add_worksheet(workbook, table.name.c_str());
    if (!sheet) ok = false;
    std::vector<std::string> texts;
    if (ok) {
        texts.reserve(data.pool.strings.size());
        for (const std::u16string& s : data.pool.strings) texts.push_back(XlsxText(s));
        const size_t columns = table.columns.size();
        for (size_t c = 0; c < columns && ok; ++c)
            ok = worksheet_write_string(sheet, 0, static_cast<lxw_col_t>(c), texts[c].c_str(),
                                        nullptr) == LXW_NO_ERROR;
        for (int r = 0; r < data.rows && ok; ++r) {
            const auto row = static_cast<lxw_row_t>(r + 1);
            for (size_t c = 0; c < columns && ok; ++c) {
                const TCell& cell = data.cells[static_cast<size_t>(r) * columns + c];
                const auto col = static_cast<lxw_col_t>(c);
                lxw_error e = LXW_NO_ERROR;
                if (cell.kind == TCell::Number)
                    e = worksheet_write_number(sheet, row, col, cell.number, nullptr);
                else if (cell.kind == TCell::Text)
                    e = worksheet_write_string(sheet, row, col, texts[cell.text].c_str(), nullptr);
                else if (cell.kind == TCell::Bool)
                    e = worksheet_write_boolean(sheet, row, col, cell.flag ? 1 : 0, nullptr);
                ok = e == LXW_NO_ERROR;
            }
        }
    }
    // Closing frees the workbook in every case.
    const lxw_error closed = workbook_close(workbook);
    if (!ok || closed != LXW_NO_ERROR) throw EExcelError("Cannot write the file " + path);
}

// --- The file on disk ---

mode_t PermissionsOf(std::optional<unsigned> permissions) {
    if (permissions) return static_cast<mode_t>(*permissions & 07777);
    const mode_t mask = umask(077);
    umask(mask);
    return 0666 & ~mask;
}

// Writes the workbook into a new file beside the target and puts it in the
// target's place once it is complete and on disk; on any failure the target is
// untouched and the new file removed. The new file stays locked while it is
// written, so that no clean-up of another export takes it for a leftover.
void WriteWorkbookFile(const std::string& path, const TExcelTableDef& table, const TSheetData& data,
                       mode_t permissions) {
    std::string temp = path + ".XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) throw EExcelError("Cannot create the file " + path + ": " + std::strerror(errno));
    flock(fd, LOCK_EX | LOCK_NB);  // a fresh file: only a file system without locks refuses
    try {
        if (ExcelFormatOfPath(path) == TExcelFormat::Xlsx)
            WriteXlsxFile(temp, table, data);
        else
            WriteXlsFile(temp, fd, table, data);
        if (fsync(fd) != 0 || fchmod(fd, permissions) != 0 ||
            rename(temp.c_str(), path.c_str()) != 0)
            throw EExcelError("Cannot write the file " + path + ": " + std::strerror(errno));
    } catch (...) {
        unlink(temp.c_str());
        close(fd);
        throw;
    }
    close(fd);
}

// "<name>.xls.XXXXXX" or "<name>.xlsx.XXXXXX", as WriteWorkbookFile names its
// temporary files (mkstemp's six letters and digits).
bool IsWorkbookTempName(std::string_view name) {
    if (name.size() < 7 || name[name.size() - 7] != '.') return false;
    const std::string_view suffix = name.substr(name.size() - 6);
    if (!std::all_of(suffix.begin(), suffix.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }))
        return false;
    const std::string_view target = name.substr(0, name.size() - 7);
    for (std::string_view ext : {std::string_view(".xls"), std::string_view(".xlsx")})
        if (target.size() > ext.size() &&
            EqualsNoCase(target.substr(target.size() - ext.size()), ext))
            return true;
    return false;
}

// Removes the temporary files that writes killed part way left in the folder:
// only files of that name pattern, regular, of this user, still 0600 as they
// were created, untouched for a minute and not locked by a write under way.
// Whatever cannot be checked stays.
void RemoveStaleWorkbookFiles(const std::string& folder) {
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return;
    const int dirFd = dirfd(dir);
    const time_t now = time(nullptr);
    std::vector<std::string> stale;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (!IsWorkbookTempName(name)) continue;
        const int fd = openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st {};
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
            st.st_nlink == 1 && (st.st_mode & 07777) == 0600 && now - st.st_mtime >= 60 &&
            flock(fd, LOCK_EX | LOCK_NB) == 0)
            stale.push_back(name);
        close(fd);  // releases the lock taken for the check
    }
    for (const std::string& name : stale) unlinkat(dirFd, name.c_str(), 0);
    closedir(dir);
}

}  // namespace

TExcelFormat ExcelFormatOfPath(const std::string& path) {
    return path.size() >= 5 && EqualsNoCase(std::string_view(path).substr(path.size() - 5), ".xlsx")
               ? TExcelFormat::Xlsx
               : TExcelFormat::Xls;
}

int ExcelMaxRows(TExcelFormat format) {
    return format == TExcelFormat::Xlsx ? 1048575 : 65535;
}

std::string ExcelPathOf(const std::string& connectionString) {
    try {
        return ParseConnectionString(connectionString).dataSource;
    } catch (const std::exception& e) {
        throw EExcelError(e.what());
    }
}

void CreateExcelTable(const std::string& connectionString, const TExcelTableDef& table,
                      std::optional<unsigned> permissions) {
    CheckTable(table);
    const std::string path = ExcelPathOf(connectionString);
    if (path.empty()) throw EExcelError("No workbook file named");
    const size_t slash = path.rfind('/');
    RemoveStaleWorkbookFiles(slash == std::string::npos ? std::string()
                                                        : path.substr(0, slash + 1));
    WriteWorkbookFile(path, table, HeaderOnly(table), PermissionsOf(permissions));
}

// --- TExcelTable ---

struct TExcelTable::Impl {
    std::string path;
    mode_t permissions = 0600;
    TExcelTableDef table;
    int maxRows = 0;
    bool active = false;
    TSheetData data;
    // The row being appended: its cells, texts not yet in the pool.
    bool appending = false;
    std::vector<TCell> row;
    std::vector<std::u16string> rowTexts;

    // The column of the field when it takes a value of the type (a number
    // column takes a text as well).
    size_t Column(const std::string& field, TExcelColumnType type) {
        if (!appending) throw EExcelError("The table is not appending a row");
        for (size_t c = 0; c < table.columns.size(); ++c) {
            if (!EqualsNoCase(table.columns[c].name, field)) continue;
            const TExcelColumnType held = table.columns[c].type;
            if (held != type &&
                !(held == TExcelColumnType::Integer && type == TExcelColumnType::WText))
                throw EExcelError("Wrong kind of value for " + field);
            return c;
        }
        throw EExcelError("No such field: " + field);
    }
};

TExcelTable::TExcelTable() : FImpl(std::make_unique<Impl>()) {}

TExcelTable::~TExcelTable() {
    try {
        Close();
    } catch (...) {
        // Callers that need to know call Close themselves.
    }
}

void TExcelTable::Open(const std::string& connectionString, const TExcelTableDef& table,
                       std::optional<unsigned> permissions) {
    if (FImpl->active) throw EExcelError("The table is open");
    CheckTable(table);
    const std::string path = ExcelPathOf(connectionString);
    struct stat st {};
    if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        throw EExcelError("No workbook at " + path);
    FImpl->path = path;
    FImpl->permissions = PermissionsOf(permissions);
    FImpl->table = table;
    FImpl->maxRows = ExcelMaxRows(ExcelFormatOfPath(path));
    FImpl->data = HeaderOnly(table);
    FImpl->appending = false;
    FImpl->active = true;
}

bool TExcelTable::Active() const {
    return FImpl->active;
}

void TExcelTable::Append() {
    if (!FImpl->active) throw EExcelError("The table is closed");
    if (FImpl->data.rows >= FImpl->maxRows)
        throw EExcelError("The sheet holds no more than " + std::to_string(FImpl->maxRows) +
                          " rows");
    const size_t columns = FImpl->table.columns.size();
    FImpl->row.assign(columns, TCell{});
    FImpl->rowTexts.assign(columns, std::u16string());
    FImpl->appending = true;
}

void TExcelTable::SetInteger(const std::string& field, std::int64_t value) {
    const size_t c = FImpl->Column(field, TExcelColumnType::Integer);
    FImpl->row[c].kind = TCell::Number;
    FImpl->row[c].number = static_cast<double>(value);
}

void TExcelTable::SetNumber(const std::string& field, double value) {
    const size_t c = FImpl->Column(field, TExcelColumnType::Integer);
    FImpl->row[c].kind = TCell::Number;
    FImpl->row[c].number = value;
}

void TExcelTable::SetText(const std::string& field, const std::string& utf8) {
    const size_t c = FImpl->Column(field, TExcelColumnType::WText);
    std::u16string text = Utf16(utf8);
    CutToCell(text);
    FImpl->row[c].kind = text.empty() ? TCell::Empty : TCell::Text;
    FImpl->rowTexts[c] = std::move(text);
}

void TExcelTable::SetBoolean(const std::string& field, bool value) {
    const size_t c = FImpl->Column(field, TExcelColumnType::Boolean);
    FImpl->row[c].kind = TCell::Bool;
    FImpl->row[c].flag = value;
}

void TExcelTable::SetNull(const std::string& field) {
    if (!FImpl->appending) throw EExcelError("The table is not appending a row");
    for (size_t c = 0; c < FImpl->table.columns.size(); ++c) {
        if (EqualsNoCase(FImpl->table.columns[c].name, field)) {
            FImpl->row[c] = TCell{};
            return;
        }
    }
    throw EExcelError("No such field: " + field);
}

void TExcelTable::Post() {
    if (!FImpl->appending) throw EExcelError("The table is not appending a row");
    for (size_t c = 0; c < FImpl->row.size(); ++c) {
        if (FImpl->row[c].kind == TCell::Text)
            FImpl->row[c].text = FImpl->data.pool.Add(std::move(FImpl->rowTexts[c]));
        FImpl->data.cells.push_back(FImpl->row[c]);
    }
    ++FImpl->data.rows;
    FImpl->appending = false;
}

int TExcelTable::PostedRows() const {
    return FImpl->data.rows;
}

void TExcelTable::Close() {
    if (!FImpl->active) return;
    FImpl->active = false;
    FImpl->appending = false;
    TSheetData data = std::move(FImpl->data);
    FImpl->data = {};
    WriteWorkbookFile(FImpl->path, FImpl->table, data, FImpl->permissions);
}
