// The controller commands behind the "Controller" group of the main window.
#pragma once

#include <cstdint>

class IMainWindow;
class Tdsrc;
class TRfidReader;
class TDbQuery;

void cbPortChange(IMainWindow& host);
void ConfigureReader(IMainWindow& host, TRfidReader& reader);
bool SendAndWait(IMainWindow& host, TRfidReader& reader, std::uint8_t command,
                 std::uint8_t parameter, std::uint32_t data, bool progress);
bool SendCard(IMainWindow& host, TRfidReader& reader, int cardNumber);
bool ClearAccessTable(IMainWindow& host, TRfidReader& reader);
bool UploadCards(IMainWindow& host, TRfidReader& reader, TDbQuery& query, int& count);
void UploadToController(IMainWindow& host, Tdsrc& data);

void bUploadClick(IMainWindow& host, Tdsrc& data);
void bInfoClick(IMainWindow& host);
void bDenyAllClick(IMainWindow& host);
