// Add Card of a card list in a spreadsheet or CSV file (.xlsx, .xls, .csv):
// the file is read and checked whole, then its cards are merged into the list.
#pragma once

#include <QString>
#include <string>

class IMainWindow;
struct TCardSheet;

// Reads the file at path (narrow string); a file that cannot be read gets an
// error box and changes nothing. Otherwise every card not yet in the list is
// added with its name, group and access flag, and the merge summary ends with
// the rows skipped. Always leaves the list refreshed and the grid visible.
void ImportCardSheet(IMainWindow& host, const std::string& path);

// The summary's last line: "Rows skipped = N", with the first rows named.
QString SkippedRowsLine(const TCardSheet& sheet);
