// libFuzzer target for the reply parser: arbitrary byte streams, cut into
// deliveries at positions taken from the input, go through ParseBytes. Checks
// that nothing crashes and that the reader only reports what the stream holds:
//  - AckRx only if the stream contains a whole valid acknowledgement frame
//    (52 06 FE code d2 d3 d4 sum 53) with an accepted code;
//  - AckCmd/AckParam, once changed, are those of some valid acknowledgement
//    frame in the stream; no more events than such frames;
//  - after a reset (what 200 ms of silence does) a clean reply is accepted.
// The reference check scans every offset; the parser may legitimately skip a
// frame that begins inside an earlier partial one, so the checks only go from
// what the reader reports to what the stream contains.
//
// Built and run by scripts/fuzz.

#include <QCoreApplication>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <utility>

#include "reader.h"

namespace {

bool Accepted(std::uint8_t code) {
    return code == 0 || code == 16 || code == 32 || code == 64 || code == 128 || code == 255;
}

struct Reference {
    std::set<std::pair<int, int>> acks;  // (code, value) of every valid ack frame
    int acceptedAcks = 0;
    int cardCodes = 0;
};

Reference Scan(const std::string& s) {
    Reference ref;
    const auto* b = reinterpret_cast<const std::uint8_t*>(s.data());
    for (std::size_t i = 0; i + 9 <= s.size(); ++i) {
        if (b[i] != 0x52 || b[i + 1] != 0x06 || b[i + 8] != 0x53) continue;
        const std::uint8_t sum =
            static_cast<std::uint8_t>(b[i + 2] + b[i + 3] + b[i + 4] + b[i + 5] + b[i + 6]);
        if (sum != b[i + 7]) continue;
        const int value = (b[i + 4] << 16) | (b[i + 5] << 8) | b[i + 6];
        if (b[i + 2] == 0xFE) {
            ref.acks.insert({b[i + 3], value});
            if (Accepted(b[i + 3])) ++ref.acceptedAcks;
        } else if (b[i + 2] == 0xFF) {
            ++ref.cardCodes;
        }
    }
    return ref;
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_reader: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    // The reader's timers need an application object (they are never run).
    static int qtArgc = 1;
    static char name[] = "fuzz_reader";
    static char* qtArgv[] = {name, nullptr};
    static QCoreApplication app(qtArgc, qtArgv);
    (void)argc;
    (void)argv;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // Byte 0: number of chunk lengths that follow (0..7); the lengths cycle
    // over the rest of the input, which is the byte stream.
    const std::size_t cuts = data[0] % 8;
    if (size < 1 + cuts) return 0;
    const std::uint8_t* lengths = data + 1;
    const std::string stream(reinterpret_cast<const char*>(data + 1 + cuts), size - 1 - cuts);

    TRfidReader reader;
    reader.PortNo = 1;
    int keyEvents = 0, cardEvents = 0;
    reader.OnKeyRx = [&](int port, std::uint8_t cmd, std::uint8_t subcmd, int) {
        if (port != 1 || cmd != 0xFE || !Accepted(subcmd)) Fail("bad OnKeyRx arguments");
        ++keyEvents;
    };
    reader.OnCardCode = [&](int port, int flag, int maker, int) {
        if (port != 1 || flag != 82 || maker < 65280 || maker > 65535)
            Fail("bad OnCardCode arguments");
        ++cardEvents;
    };

    std::size_t pos = 0, k = 0;
    while (pos < stream.size()) {
        std::size_t n = stream.size() - pos;
        if (cuts > 0) {
            n = std::min<std::size_t>(n, static_cast<std::size_t>(lengths[k % cuts]) + 1);
            ++k;
        }
        reader.ParseBytes(stream.substr(pos, n));
        pos += n;
    }

    const Reference ref = Scan(stream);
    if (reader.AckRx() && ref.acceptedAcks == 0) Fail("AckRx without an accepted ack frame");
    const std::pair<int, int> last{reader.AckCmd(), reader.AckParam()};
    if (last != std::pair<int, int>{0, 0} && !ref.acks.count(last))
        Fail("AckCmd/AckParam match no ack frame in the stream");
    if (keyEvents > ref.acceptedAcks) Fail("more OnKeyRx events than accepted ack frames");
    if (cardEvents > ref.cardCodes) Fail("more OnCardCode events than card-code frames");

    // Silence resets the parser; a clean reply afterwards must be taken.
    reader.ResetReceiver();
    const std::string good("\x52\x06\xFE\x10\x12\x34\x56\xAA\x53", 9);
    reader.ParseBytes(good);
    if (!reader.AckRx() || reader.AckCmd() != 0x10 || reader.AckParam() != 0x123456)
        Fail("clean reply after a reset was not accepted");
    return 0;
}
