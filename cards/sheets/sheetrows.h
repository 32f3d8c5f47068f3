// What the three readers share: the cells of one row, the collector that
// turns rows into cards, and the readers themselves. Internal to the sheet
// reader.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cardsheet.h"

struct TSheetCell {
    enum class Kind { Empty, Number, Text, Boolean };
    int column = 0;  // 0 = A
    Kind kind = Kind::Empty;
    double number = 0;  // Number; Boolean: 1 or 0
    std::string text;   // Text, UTF-8
};

// Takes the rows of the sheet in order and keeps the cards. The first
// non-empty row decides whether there is a header.
class TCardRows {
  public:
    explicit TCardRows(int maxRows) : FMaxRows(maxRows) {}

    // False when a cell of the column cannot matter (the header is known and
    // does not name it): readers may drop it unread.
    bool Wanted(int column) const;

    // One row; number is the row's number in the sheet (first = 1), cells in
    // any order. Raises ESheetError (no CARD_NO in a header, too many rows).
    void Row(int number, const std::vector<TSheetCell>& cells);

    TCardSheet Take() { return std::move(FSheet); }

  private:
    void Header(const std::vector<TSheetCell>& cells);
    const TSheetCell* Cell(const std::vector<TSheetCell>& cells, int column) const;

    int FMaxRows;
    int FRows = 0;
    bool FDecided = false;
    int FCardColumn = 0;
    int FNameColumn = -1;
    int FGroupColumn = -1;
    int FGrantedColumn = -1;
    TCardSheet FSheet;
};

// The card number in a text ("  0042 ", "1.5e3"), when it is a whole number
// from 1 to kMaxCardNumber.
std::optional<std::int32_t> CardNumberIn(std::string_view text);
// True for the column titles of a header row: CARD_NO, DESCRIPTION, GROUP,
// GRANTED, in any case, blanks around them ignored.
bool IsColumnTitle(std::string_view text);

// The readers, each over a whole file already checked for its size.
void ReadCsv(std::string_view bytes, TCardRows& rows);
void ReadXlsx(std::string_view bytes, TCardRows& rows, const TSheetLimits& limits);
void ReadXls(const std::string& path, TCardRows& rows, const TSheetLimits& limits);

// Operator messages shared by the readers.
inline constexpr const char* kNotASheet = "The file is not a spreadsheet or CSV file.";
inline constexpr const char* kDamagedWorkbook = "The workbook is damaged.";
inline constexpr const char* kEncryptedWorkbook =
    "The workbook is encrypted. Save it without a password and try again.";
