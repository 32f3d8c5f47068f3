// Export of the activity history as the history window shows it (the same
// filter, newest first) to a CSV file or an Excel workbook (.xlsx). No widgets.
#pragma once

#include <functional>
#include <string>

#include "historymodel.h"

// Writes every entry the filter selects, read page by page (never the whole
// history in memory): CSV when the path ends in ".csv" (any case), a workbook
// otherwise. The file appears complete or not at all. `progress` is called
// with the entries written so far, every page. Returns the number written.
// Raises std::runtime_error saying why (also when a workbook's sheet cannot
// hold them all).
long long ExportHistory(const THistoryModel::TReader& reader, const THistoryQuery& filter,
                        const std::string& path,
                        const std::function<void(long long)>& progress = {});
