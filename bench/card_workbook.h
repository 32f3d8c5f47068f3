// Cards written to a workbook through the bare workbook writer, with the
// export's columns: the baseline of the export benchmark and the input of
// the spreadsheet import benchmark.
#pragma once

#include <string>
#include <vector>

#include "app/card_files.h"
#include "export.h"
#include "xlswriter.h"

// .xlsx when the name ends so, .xls otherwise (as the writer tells them).
inline void WriteCardWorkbook(const std::string& path, const std::vector<TestCard>& cards) {
    const std::string connection = BuildExcelConnectionString(path);
    CreateExcelTable(connection, CardListTable());
    TExcelTable table;
    table.Open(connection, CardListTable());
    for (const TestCard& c : cards) {
        table.Append();
        table.SetInteger("CARD_NO", c.cardno);
        table.SetText("DESCRIPTION", c.descx);
        table.SetText("GROUP", c.grp);
        table.SetBoolean("GRANTED", c.granted);
        table.Post();
    }
    table.Close();
}
