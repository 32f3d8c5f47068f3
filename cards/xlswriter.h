// Excel workbook writer: one table (a worksheet with a header row of column
// names) in a new workbook, filled one posted row at a time. ".xls" files are
// Excel 97-2003 workbooks (BIFF8 records in an OLE2 compound file), ".xlsx"
// files Office Open XML workbooks. No Qt here.
//
// The file on disk is always a complete workbook: creating the table writes the
// workbook with its header row, and closing the table writes it again with every
// posted row. Each write goes to a temporary file beside the target,
// "<target>.XXXXXX" (mkstemp's pattern), created 0600 and locked (flock) while
// it is written, that replaces the target only once it is complete, so a failed
// write (a full disk, a file size limit) leaves the last complete workbook in
// place. A temporary file left by a write that was killed is removed by the
// next table created in that folder.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// Every failure of the writer; what() says what went wrong.
class EExcelError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

enum class TExcelFormat { Xls, Xlsx };

// Xlsx when the path ends in ".xlsx" (any case), Xls otherwise.
TExcelFormat ExcelFormatOfPath(const std::string& path);

// Rows below the header row that one sheet holds: 65,535 (.xls), 1,048,575 (.xlsx).
int ExcelMaxRows(TExcelFormat format);

// Characters (UTF-16 units) that one cell holds; longer texts are cut.
inline constexpr int kExcelMaxCellChars = 32767;

enum class TExcelColumnType { Integer, WText, Boolean };

struct TExcelColumn {
    std::string name;
    TExcelColumnType type;
    int size;  // the size asked for; cells hold up to kExcelMaxCellChars whatever it is
};

struct TExcelTableDef {
    std::string name;  // the sheet name, up to 31 characters
    std::vector<TExcelColumn> columns;
};

// The workbook file named by the "Data Source" of a connection string.
std::string ExcelPathOf(const std::string& connectionString);

// Writes a new workbook at the connection string's path holding the table with
// its header row and no rows, first removing from that folder the temporary
// files of killed writes: names "<name>.xls.XXXXXX" or "<name>.xlsx.XXXXXX",
// regular files of this user, 0600, untouched for a minute and not locked by
// a write under way. The workbook gets the permissions given (by default those
// the umask gives a new file). Raises EExcelError.
void CreateExcelTable(const std::string& connectionString, const TExcelTableDef& table,
                      std::optional<unsigned> permissions = std::nullopt);

// An open table of a workbook made by CreateExcelTable: Append, set the fields,
// Post; Close writes the file.
class TExcelTable {
  public:
    TExcelTable();
    ~TExcelTable();  // closes; a failure to write is lost here: call Close first
    TExcelTable(const TExcelTable&) = delete;
    TExcelTable& operator=(const TExcelTable&) = delete;

    // Raises when no workbook is at the path. Close writes the file with the
    // permissions given (by default those the umask gives a new file).
    void Open(const std::string& connectionString, const TExcelTableDef& table,
              std::optional<unsigned> permissions = std::nullopt);
    bool Active() const;

    // Starts a new row; raises when the sheet is full.
    void Append();
    // Field names are matched without regard to case; a name that is not a
    // column, or a value of another kind than the column's, raises. A number
    // column also takes a text: a value stored as text is written as the text
    // it is, never as a number made of it. Text is UTF-8 (invalid bytes become
    // U+FFFD; a surrogate encoded on its own stays that UTF-16 unit); an empty
    // text leaves the cell empty.
    void SetInteger(const std::string& field, std::int64_t value);
    void SetNumber(const std::string& field, double value);
    void SetText(const std::string& field, const std::string& utf8);
    void SetBoolean(const std::string& field, bool value);
    void SetNull(const std::string& field);
    // Keeps the row; it goes into the file at Close.
    void Post();
    int PostedRows() const;

    // Writes the workbook with every posted row and closes the table, also when
    // the write fails (EExcelError); the file then keeps its last complete state.
    void Close();

  private:
    struct Impl;
    std::unique_ptr<Impl> FImpl;
};
