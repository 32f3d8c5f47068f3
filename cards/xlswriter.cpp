#include "xlswriter.h"

#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xlsxwriter.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "dbengine.h"

namespace {

// --- Text ---

// UTF-8 to UTF-16; an invalid or cut-off sequence becomes U+FFFD.
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
                if (ok && v >= least && v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF)) {
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

std::string Utf8(const std::u16string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
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
    return out;
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
// strings need. A string's length and option byte never part from its first
// character; a continued string repeats its option byte.
void WriteSst(TBiff& out, const TStringPool& pool, std::uint32_t total) {
    out.Begin(0x00FC);
    out.U32(total);
    out.U32(static_cast<std::uint32_t>(pool.strings.size()));
    for (const std::u16string& s : pool.strings) {
        const bool narrow = FitsOneByte(s);
        const size_t charSize = narrow ? 1 : 2;
        if (out.RecordSize() + 3 + charSize > kMaxRecordData) {
            out.End();
            out.Begin(0x003C);
        }
        out.U16(static_cast<unsigned>(s.size()));
        out.U8(narrow ? 0 : 1);
        size_t pos = 0;
        while (pos < s.size()) {
            const size_t room = (kMaxRecordData - out.RecordSize()) / charSize;
            if (room == 0) {
                out.End();
                out.Begin(0x003C);
                out.U8(narrow ? 0 : 1);
                continue;
            }
            const size_t n = std::min(room, s.size() - pos);
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

void WriteXlsFile(const std::string& path, const TExcelTableDef& table, const TSheetData& data) {
    const std::string stream = BuildXlsStream(table, data);
    GError* error = nullptr;
    GsfOutput* sink = gsf_output_stdio_new(path.c_str(), &error);
    if (!sink) {
        std::string text = error ? error->message : "cannot create the file";
        if (error) g_error_free(error);
        throw EExcelError(text);
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
        for (const std::u16string& s : data.pool.strings) texts.push_back(Utf8(s));
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

// Writes the workbook into a new file beside the target and puts it in the
// target's place once it is complete; on any failure the target is untouched
// and the new file removed.
void WriteWorkbookFile(const std::string& path, const TExcelTableDef& table,
                       const TSheetData& data) {
    std::string temp = path + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) throw EExcelError("Cannot create the file " + path + ": " + std::strerror(errno));
    close(fd);
    try {
        if (ExcelFormatOfPath(path) == TExcelFormat::Xlsx)
            WriteXlsxFile(temp, table, data);
        else
            WriteXlsFile(temp, table, data);
        // mkstemp made it private; a workbook gets the usual permissions.
        const mode_t mask = umask(0);
        umask(mask);
        chmod(temp.c_str(), 0666 & ~mask);
        if (rename(temp.c_str(), path.c_str()) != 0)
            throw EExcelError("Cannot write the file " + path + ": " + std::strerror(errno));
    } catch (...) {
        unlink(temp.c_str());
        throw;
    }
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

void CreateExcelTable(const std::string& connectionString, const TExcelTableDef& table) {
    CheckTable(table);
    const std::string path = ExcelPathOf(connectionString);
    if (path.empty()) throw EExcelError("No workbook file named");
    WriteWorkbookFile(path, table, HeaderOnly(table));
}

// --- TExcelTable ---

struct TExcelTable::Impl {
    std::string path;
    TExcelTableDef table;
    int maxRows = 0;
    bool active = false;
    TSheetData data;
    // The row being appended: its cells, texts not yet in the pool.
    bool appending = false;
    std::vector<TCell> row;
    std::vector<std::u16string> rowTexts;

    size_t Column(const std::string& field, TExcelColumnType type) {
        if (!appending) throw EExcelError("The table is not appending a row");
        for (size_t c = 0; c < table.columns.size(); ++c) {
            if (!EqualsNoCase(table.columns[c].name, field)) continue;
            if (table.columns[c].type != type)
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

void TExcelTable::Open(const std::string& connectionString, const TExcelTableDef& table) {
    if (FImpl->active) throw EExcelError("The table is open");
    CheckTable(table);
    const std::string path = ExcelPathOf(connectionString);
    struct stat st {};
    if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        throw EExcelError("No workbook at " + path);
    FImpl->path = path;
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
    WriteWorkbookFile(FImpl->path, FImpl->table, data);
}
