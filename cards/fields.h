// Reading one field of a dataset's current row without failing: the edit
// dialog shows a default instead of an error when a value cannot be read.
// These sit beside the engine rather than in quillon_utils, which stays below
// it and knows no datasets.
#pragma once

#include <QString>
#include <string>

class TDbQuery;

// The value as an integer; 0 when it is null, the field is absent, the dataset
// is closed or the value is no number.
int ReadFieldInt(TDbQuery& dataset, const std::string& field);
// The value as a boolean; false on any failure.
bool ReadFieldBool(TDbQuery& dataset, const std::string& field);
// The value as text with every character of code 32 or below removed from both
// ends; the empty text on any failure, null included.
QString ReadFieldText(TDbQuery& dataset, const std::string& field);

// Removes every character of code 32 or below from both ends.
QString TrimControls(const QString& text);
