// Card import shared by Merge and Add Card: the cards of a card database or of
// a card batch database that the list does not hold yet are added to it.
#pragma once

#include <QString>
#include <functional>
#include <string>

class IMainWindow;
class TDbQuery;

// Which source ImportCards opened: none (not yet, or failed), a card batch
// (table card) or a card list (table cardlist).
enum class ImportKind { None, CardBatch, CardList };

// Imports from the file at path (narrow string) into the card list and shows
// the summary. Always leaves the list refreshed and the grid visible; a card
// number that is no integer ends the import after the closing steps with its
// conversion error raised to the caller.
void ImportCards(IMainWindow& host, const std::string& path);

// The summary of an import: four lines joined by CR LF, the first naming the
// source count by the kind of source.
QString ImportSummary(ImportKind kind, int count, int before, int added, int total);

// Makes the row of the list whose cardno is number current and returns true;
// otherwise false, current row unchanged. Constant time (the engine's hash
// index on the snapshot, appended rows included).
bool LocateCard(IMainWindow& host, int number);

// Appends card number to the list, setFields setting its other fields, and
// posts it. False (and the row cancelled) when the card cannot be stored (a
// key that is taken, a value the list refuses). Any other failure (a full
// disk, an input/output error, the database gone) is no fault of the card:
// the row is cancelled and the failure goes up, stopping the import.
bool AppendCard(TDbQuery& list, int number, const std::function<void()>& setFields);
