// The Excel export behind the "Export" button: the card list, filtered and
// sorted as it is shown, into a new workbook with the sheet CARD_LIST.
#pragma once

#include <string>

class IMainWindow;
struct TExcelTableDef;

// The workbook's one table: CARD_NO, DESCRIPTION, GROUP, GRANTED.
const TExcelTableDef& CardListTable();

// "Provider=Microsoft.Jet.OLEDB.4.0; Data Source="<path>"; Extended Properties=Excel 8.0"
std::string BuildExcelConnectionString(const std::string& fileName);

// Writes the empty workbook with its table; false after "Cannot create the Excel
// file." was shown. Leaves the file's folder as the current directory.
bool CreateExcelWorkbook(const std::string& fileName);

// Creates the workbook at fileName (which must not exist) and copies the card
// list into it row by row, with the progress window and the grid hidden.
void ExportToExcel(IMainWindow& host, const std::string& fileName);

void bExportClick(IMainWindow& host);
