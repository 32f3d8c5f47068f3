// The controller commands behind the "Controller" group of the main window.
#pragma once

#include <cstdint>
#include <functional>

class IMainWindow;
class Tdsrc;
class TRfidReader;
class TDbQuery;
class Tpbar;

// How an exchange with the controller ended. Stopped: the operator cancelled
// it, or the command ended with a message of its own; nothing more is said.
enum class TLinkResult { Done, Failed, Stopped };

// The steps of an upload besides storing the cards. After the last card the
// controller's count of stored cards is read and compared with the cards
// sent; the benchmark switches that off to measure what it costs, and times
// what follows the last card's acknowledgement from cardsSent.
struct TUploadSteps {
    bool verifyCount = true;
    std::function<void()> cardsSent = nullptr;  // once every card is acknowledged
};

// A store-card frame carries 24 bits: the card numbers it can send.
inline constexpr std::int64_t kMaxControllerCard = 0xFFFFFF;

void cbPortChange(IMainWindow& host);
void ConfigureReader(IMainWindow& host, TRfidReader& reader);

// One controller command, sent up to 8 times. With progress the "Clear access
// table" window shows. A Cancel of a window of the wait's own stops it at
// once; the Cancel of stopper (the window of the command around the wait)
// lets the send in flight run out first, so that an acknowledgement on its way
// is not lost. A wait with neither window that outlasts its first send shows
// one ("Waiting for the controller") so that a silent controller can be left.
TLinkResult SendAndWait(IMainWindow& host, TRfidReader& reader, std::uint8_t command,
                        std::uint8_t parameter, std::uint32_t data, bool progress,
                        const Tpbar* stopper = nullptr);
// Done only when the card was acknowledged with code 128.
TLinkResult SendCard(IMainWindow& host, TRfidReader& reader, int cardNumber,
                     const Tpbar* stopper = nullptr);
TLinkResult ClearAccessTable(IMainWindow& host, TRfidReader& reader);
// Checks the cards, reads the capacity, clears the table, stores the cards
// and checks the controller's count. count: the cards stored.
TLinkResult UploadCards(IMainWindow& host, TRfidReader& reader, TDbQuery& query, int& count,
                        TUploadSteps steps = {});
void UploadToController(IMainWindow& host, Tdsrc& data, TUploadSteps steps = {});

void bUploadClick(IMainWindow& host, Tdsrc& data);
void bInfoClick(IMainWindow& host);
void bDenyAllClick(IMainWindow& host);
