// Card lists in spreadsheets and CSV files: the first sheet of an .xlsx or
// .xls workbook, or a CSV file, read whole and checked before anything is
// imported. No Qt here.
//
// A card list is a table. When its first non-empty row names columns as the
// Excel export writes them (CARD_NO, DESCRIPTION, GROUP, GRANTED; any case,
// any order; CARD_NO required), the cards come from those columns; otherwise
// the first column holds card numbers and nothing else is read. A row whose
// card number is not a whole number from 1 to 16,777,215 is skipped and
// counted; empty rows are passed over.
//
// .xlsx files are read with libgsf's zip reader and libxml2, .xls files with
// FreeXL in the helper program lorvane-xlsread (FreeXL loops or exhausts
// memory on some hostile files, so it runs with limits in a process of its
// own), CSV files with libcsv.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// A file that cannot be read as a card list; what() is a sentence for the
// operator ("The workbook is encrypted.").
class ESheetError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

inline constexpr std::int32_t kMaxCardNumber = 16777215;

struct TSheetCard {
    int row = 0;  // as the spreadsheet numbers it: the first row is 1
    std::int32_t number = 0;
    std::string name;   // DESCRIPTION; empty without the column
    std::string group;  // GROUP; empty without the column or for none
    bool granted = false;
};

struct TCardSheet {
    std::vector<TSheetCard> cards;  // in file order; a number may come twice
    int skipped = 0;                // rows with no valid card number
    std::vector<int> skippedRows;   // the first few of them, in order
    bool header = false;            // the columns came from a header row
};

// What a file may cost. The defaults suit the program; tests may lower them.
struct TSheetLimits {
    std::uint64_t maxFileBytes = std::uint64_t{64} << 20;
    // What the parts of an .xlsx read may unpack to, together.
    std::uint64_t maxUnpackedBytes = std::uint64_t{512} << 20;
    int maxRows = 1048576;  // non-empty rows, header included
    // The .xls helper: empty path = found beside the program, else in
    // <that folder>/../libexec/lorvane/.
    std::string xlsHelperPath;
    int xlsCpuSeconds = 20;
    int xlsTimeoutMs = 60000;
    std::size_t xlsAddressSpace = std::size_t{1} << 30;
};

// True for the names the reader takes: ".xlsx", ".xls", ".csv" (any case).
bool IsCardSheetPath(const std::string& path);

// Reads the card list in the file at path (narrow string). The kind of file
// is told by its first bytes (a zip is an .xlsx workbook, an OLE2 compound
// file an .xls workbook), anything else is read as CSV text. Raises
// ESheetError; never changes anything.
TCardSheet ReadCardSheet(const std::string& path, const TSheetLimits& limits = {});

// Names and groups are cut to this many characters (the card list keeps 50).
inline constexpr std::size_t kMaxTextChars = 100;

// How many skipped row numbers TCardSheet keeps.
inline constexpr std::size_t kNamedSkippedRows = 5;
