// The controller reader: frame building, the reply parser (driven directly and
// over a pseudo-terminal played by the controller simulator), its timers, and
// its lifetime.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "reader.h"
#include "support/controller_sim.h"
#include "support/pump.h"

using lorvane_test::ControllerSim;
namespace stats = simple_timer_stats;

namespace {

std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s.push_back(static_cast<char>(v));
    return s;
}

// A reply frame as the controller sends it: R, L, data, checksum, S.
std::string Reply(std::vector<int> data) {
    std::string s = Bytes({0x52, static_cast<int>(data.size()) + 1});
    int sum = 0;
    for (int d : data) {
        s.push_back(static_cast<char>(d));
        sum += d;
    }
    s.push_back(static_cast<char>(sum & 0xFF));
    s.push_back(0x53);
    return s;
}

std::string Ack(int code, int value) {
    return Reply({0xFE, code, (value >> 16) & 0xFF, (value >> 8) & 0xFF, value & 0xFF});
}

std::string Hex(const std::string& bytes) {
    std::string out;
    char buf[4];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, out.empty() ? "%02X" : " %02X", c);
        out += buf;
    }
    return out;
}

const std::string kReadCapacity = Bytes({0x52, 0x52, 0x06, 0x40, 0x04, 0, 0, 0, 0x44, 0x53, 0x53});
const std::string kClearTable =
    Bytes({0x52, 0x52, 0x06, 0x40, 0x80, 0xFF, 0xFF, 0xFF, 0xBD, 0x53, 0x53});
const std::string kStoreCard300 =
    Bytes({0x52, 0x52, 0x06, 0x40, 0x20, 0x00, 0x01, 0x2C, 0x8D, 0x53, 0x53});
const std::string kBeep = Bytes({0x52, 0x52, 0x06, 0x20, 0x01, 0, 0, 0, 0x21, 0x53, 0x53});
const std::string kAck255 = Bytes({0x52, 0x06, 0xFE, 0xFF, 0x00, 0x00, 0x00, 0xFD, 0x53});

// ---- frames ----

TEST(ReaderFrames, WorkedCommandFramesByteForByte) {
    EXPECT_EQ(Hex(TRfidReader::BuildFrame(0x40, 0x04, 0)), Hex(kReadCapacity));
    EXPECT_EQ(Hex(TRfidReader::BuildFrame(0x40, 0x80, 0xFFFFFF)), Hex(kClearTable));
    EXPECT_EQ(Hex(TRfidReader::BuildFrame(0x40, 0x20, 300)), Hex(kStoreCard300));
    EXPECT_EQ(Hex(TRfidReader::BuildFrame(0x20, 0x01, 0)), Hex(kBeep));
    // The test's own reply builder agrees with the worked acknowledgement.
    EXPECT_EQ(Hex(Ack(255, 0)), Hex(kAck255));
}

TEST(ReaderFrames, DataAboveTwentyFourBitsIsCut) {
    EXPECT_EQ(Hex(TRfidReader::BuildFrame(0x40, 0x20, 16777216u + 300u)), Hex(kStoreCard300));
    EXPECT_EQ(Hex(TRfidReader::BuildFrame(0x40, 0x20, 0xFF000000u | 300u)), Hex(kStoreCard300));
    // The checksum wraps modulo 256.
    EXPECT_EQ(static_cast<unsigned char>(TRfidReader::BuildFrame(0xFF, 0xFF, 0xFFFFFF)[8]),
              (0xFF * 5) & 0xFF);
}

TEST(ReaderSetup, DefaultsAndSetupPort) {
    TRfidReader r;
    EXPECT_FALSE(r.Connected());
    EXPECT_FALSE(r.AckRx());
    EXPECT_FALSE(r.CmdTimeout());
    EXPECT_EQ(r.LockTime, 1000);
    EXPECT_EQ(r.Speed, 0);
    EXPECT_FALSE(r.AutoBeep);
    EXPECT_TRUE(static_cast<bool>(r.OnTxEmpty));  // releases RTS after a frame

    r.PortNo = 3;
    r.Speed = 7;
    r.SetupPort();
    EXPECT_EQ(r.Port(), "COM3");
    EXPECT_EQ(r.BaudRate(), br19200);
    EXPECT_EQ(r.Speed, 0);

    r.Speed = -1;
    r.PortNo = 12;
    r.SetupPort();
    EXPECT_EQ(r.Speed, -1);
    EXPECT_EQ(r.Port(), "COM12");

    r.Speed = 3;
    r.SetupPort();
    EXPECT_EQ(r.Speed, 3);
}

// ---- the parser, fed directly ----

class ReaderParser : public ::testing::Test {
  protected:
    TRfidReader r;
    struct Key {
        int port, cmd, subcmd, code;
    };
    std::vector<Key> keys;
    void SetUp() override {
        r.PortNo = 4;
        r.OnKeyRx = [this](int port, std::uint8_t cmd, std::uint8_t sub, int code) {
            keys.push_back({port, cmd, sub, code});
        };
    }
};

TEST_F(ReaderParser, WorkedAcknowledgement) {
    r.ParseBytes(kAck255);
    EXPECT_TRUE(r.AckRx());
    EXPECT_EQ(r.AckCmd(), 255);
    EXPECT_EQ(r.AckParam(), 0);
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].port, 4);
    EXPECT_EQ(keys[0].cmd, 0xFE);
    EXPECT_EQ(keys[0].subcmd, 255);
    EXPECT_EQ(keys[0].code, 0);
}

TEST_F(ReaderParser, ValueIsTwentyFourBitsBigEndian) {
    r.ParseBytes(Ack(0, 0xABCDEF));
    EXPECT_TRUE(r.AckRx());
    EXPECT_EQ(r.AckParam(), 0xABCDEF);
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].code, 0xABCDEF);
}

TEST_F(ReaderParser, EveryAcceptedCodeAndOnlyThose) {
    const std::vector<int> accepted{0, 16, 32, 64, 128, 255};
    for (int code = 0; code < 256; ++code) {
        TRfidReader fresh;
        fresh.ParseBytes(Ack(code, 77));
        const bool isAccepted = std::find(accepted.begin(), accepted.end(), code) != accepted.end();
        EXPECT_EQ(fresh.AckRx(), isAccepted) << "code " << code;
        EXPECT_EQ(fresh.AckCmd(), code);
        EXPECT_EQ(fresh.AckParam(), 77);
    }
}

TEST_F(ReaderParser, UnacceptedCodeUpdatesValuesOnly) {
    r.ParseBytes(Ack(1, 500));
    EXPECT_FALSE(r.AckRx());
    EXPECT_EQ(r.AckCmd(), 1);
    EXPECT_EQ(r.AckParam(), 500);
    EXPECT_TRUE(keys.empty());
}

TEST_F(ReaderParser, SplitOverDeliveries) {
    for (char c : kAck255) {
        EXPECT_FALSE(r.AckRx());
        r.ParseBytes(std::string(1, c));
    }
    EXPECT_TRUE(r.AckRx());
    EXPECT_EQ(keys.size(), 1u);
}

TEST_F(ReaderParser, NoiseBeforeTheFrameIsSkipped) {
    r.ParseBytes(Bytes({0x00, 0xFF, 0x06, 0xFE, 0x53, 0x13}) + Ack(128, 300));
    EXPECT_TRUE(r.AckRx());
    EXPECT_EQ(r.AckCmd(), 128);
    EXPECT_EQ(r.AckParam(), 300);
}

TEST_F(ReaderParser, EchoedCommandFrameIsNotParsedThenReplyIs) {
    // The second "R" sends the parser back to idle; the rest is skipped.
    r.ParseBytes(kReadCapacity);
    EXPECT_FALSE(r.AckRx());
    EXPECT_EQ(r.AckCmd(), 0);
    r.ParseBytes(Ack(0, 2000));
    EXPECT_TRUE(r.AckRx());
    EXPECT_EQ(r.AckParam(), 2000);
}

TEST_F(ReaderParser, ShortFrameIsConsumedWithoutEffect) {
    // L = 2: one data byte (0xFE), its checksum, "S". The parser must be idle
    // afterwards: a reply right behind it is accepted.
    r.ParseBytes(Reply({0xFE}));
    EXPECT_FALSE(r.AckRx());
    EXPECT_EQ(r.AckCmd(), 0);
    EXPECT_TRUE(keys.empty());
    r.ParseBytes(Ack(16, 1));
    EXPECT_TRUE(r.AckRx());
}

TEST_F(ReaderParser, BrokenShortReplyHidesNoAcknowledgement) {
    // A short frame whose checksum does not match; the bytes after its start
    // form an acknowledgement, which must not be taken from inside it.
    r.ParseBytes(Bytes({0x52, 0x02, 0x52, 0x06, 0xFE, 0xFF, 0x00, 0x00, 0x00, 0xFD, 0x53}));
    EXPECT_FALSE(r.AckRx());
    EXPECT_TRUE(keys.empty());
}

TEST_F(ReaderParser, AnyFlippedChecksumBitIsRejected) {
    for (int bit = 0; bit < 8; ++bit) {
        TRfidReader fresh;
        std::string bad = kAck255;
        bad[7] = static_cast<char>(bad[7] ^ (1 << bit));
        fresh.ParseBytes(bad);
        EXPECT_FALSE(fresh.AckRx()) << "bit " << bit;
        EXPECT_EQ(fresh.AckCmd(), 0);
    }
}

TEST_F(ReaderParser, BrokenFramesChangeNothing) {
    std::string noEnd = kAck255;
    noEnd[8] = 0x54;
    std::string badLength = kAck255;
    badLength[1] = 0x05;
    std::string doubleR = Bytes({0x52}) + kAck255;
    for (const auto& frame : {noEnd, badLength, doubleR}) {
        TRfidReader fresh;
        fresh.ParseBytes(frame);
        EXPECT_FALSE(fresh.AckRx()) << Hex(frame);
        EXPECT_EQ(fresh.AckCmd(), 0);
    }
}

TEST_F(ReaderParser, CardCodeEvent) {
    std::vector<std::vector<int>> cards;
    r.OnCardCode = [&](int port, int flag, int maker, int code) {
        cards.push_back({port, flag, maker, code});
    };
    r.ParseBytes(Reply({0xFF, 0x12, 0x01, 0x02, 0x03}));
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0], (std::vector<int>{4, 82, 65280 + 0x12, 0x010203}));
    EXPECT_FALSE(r.AckRx());
    EXPECT_TRUE(keys.empty());
}

TEST_F(ReaderParser, OtherReplyKindsAreIgnored) {
    bool card = false;
    r.OnCardCode = [&](int, int, int, int) { card = true; };
    r.ParseBytes(Reply({0x10, 0x00, 0x00, 0x00, 0x05}));
    EXPECT_FALSE(card);
    EXPECT_FALSE(r.AckRx());
    EXPECT_EQ(r.AckCmd(), 0);
    EXPECT_EQ(r.AckParam(), 0);
}

TEST_F(ReaderParser, QuietGapDropsHalfFrame) {
    r.ParseBytes(kAck255.substr(0, 5));
    PumpFor(500);
    r.ParseBytes(kAck255.substr(5));
    EXPECT_FALSE(r.AckRx());
    // The parser is idle again and takes the next whole reply.
    r.ParseBytes(kAck255);
    EXPECT_TRUE(r.AckRx());
}

TEST_F(ReaderParser, ShortPausesKeepTheFrame) {
    // Each pause is well under the 200 ms gap; together they exceed it, so a
    // gap timer that is not restarted by every byte drops the frame.
    for (std::size_t i = 0; i < kAck255.size(); i += 2) {
        r.ParseBytes(kAck255.substr(i, 2));
        PumpFor(60);
    }
    EXPECT_TRUE(r.AckRx());
}

TEST_F(ReaderParser, GapIsHeldAtTwoHundredMilliseconds) {
    // One pause in the middle of a frame: about 150 ms keeps it, about 260 ms
    // drops it.
    for (const auto& [pauseMs, kept] : {std::pair{150, true}, std::pair{260, false}}) {
        TRfidReader fresh;
        fresh.ParseBytes(kAck255.substr(0, 5));
        PumpFor(pauseMs);
        fresh.ParseBytes(kAck255.substr(5));
        EXPECT_EQ(fresh.AckRx(), kept) << pauseMs << " ms";
    }
}

TEST_F(ReaderParser, GapTimerStopsAfterAWholeFrame) {
    const int before = stats::RunningCount();
    r.ParseBytes(kAck255.substr(0, 4));
    EXPECT_EQ(stats::RunningCount(), before + 1);
    r.ParseBytes(kAck255.substr(4));
    EXPECT_EQ(stats::RunningCount(), before);
}

// ---- over a pseudo-terminal ----

class ReaderDevice : public ::testing::Test {
  protected:
    std::unique_ptr<ControllerSim> sim;
    std::unique_ptr<TRfidReader> reader;

    void Start(std::vector<std::string> options = {}) {
        sim = std::make_unique<ControllerSim>(std::move(options));
        const std::string device = sim->DevicePath();
        SetComDeviceResolver([device](const std::string& port) {
            return port == "COM5" ? device : std::string("/nonexistent/") + port;
        });
        reader = std::make_unique<TRfidReader>();
        reader->PortNo = 5;
        reader->SetDataBits(dbEight);
        reader->SetStopBits(sbOneStopBit);
        reader->SetupPort();
        reader->SetConnected(true);
    }

    // Sends a command and waits for the acknowledgement or the time-out.
    bool Command(std::uint8_t command, std::uint8_t parameter, std::uint32_t data) {
        reader->SendCommand(command, parameter, data);
        EXPECT_TRUE(PumpUntil([&] { return reader->AckRx() || reader->CmdTimeout(); }, 10000));
        return reader->AckRx();
    }

    void TearDown() override {
        reader.reset();
        sim.reset();
        SetComDeviceResolver({});
    }
};

TEST_F(ReaderDevice, CapacityRead) {
    Start({"--capacity", "1234"});
    ASSERT_TRUE(Command(0x40, 0x04, 0));
    EXPECT_EQ(reader->AckCmd(), 0);
    EXPECT_EQ(reader->AckParam(), 1234);
    EXPECT_FALSE(reader->CmdTimeout());
    ASSERT_TRUE(sim->WaitForLogLines(1));
    EXPECT_EQ(sim->LogLines()[0], Hex(kReadCapacity));
}

TEST_F(ReaderDevice, StoreAndClearAcknowledged) {
    Start({"--clear-delay", "300"});
    ASSERT_TRUE(Command(0x40, 0x20, 300));
    EXPECT_EQ(reader->AckCmd(), 128);
    ASSERT_TRUE(Command(0x40, 0x20, 16777216u + 301u));
    EXPECT_EQ(reader->AckParam(), 301);
    ASSERT_TRUE(Command(0x40, 0x08, 0));
    EXPECT_EQ(reader->AckParam(), 2);
    ASSERT_TRUE(Command(0x40, 0x80, 0xFFFFFF));
    EXPECT_EQ(reader->AckCmd(), 255);
    EXPECT_EQ(reader->AckParam(), 0);
    ASSERT_TRUE(Command(0x40, 0x08, 0));
    EXPECT_EQ(reader->AckParam(), 0);

    ASSERT_TRUE(sim->WaitForLogLines(5));
    const auto log = sim->LogLines();
    EXPECT_EQ(log[0], Hex(kStoreCard300));
    EXPECT_EQ(log[1], Hex(TRfidReader::BuildFrame(0x40, 0x20, 301)));
    EXPECT_EQ(log[3], Hex(kClearTable));
}

TEST_F(ReaderDevice, FullTableAnswers64) {
    Start({"--capacity", "1"});
    ASSERT_TRUE(Command(0x40, 0x20, 1));
    EXPECT_EQ(reader->AckCmd(), 128);
    ASSERT_TRUE(Command(0x40, 0x20, 2));
    EXPECT_EQ(reader->AckCmd(), 64);
}

TEST_F(ReaderDevice, FaultyLinesStillDeliverTheReply) {
    for (const auto& fault : std::vector<std::vector<std::string>>{
             {"--noise"}, {"--echo"}, {"--split", "40"}, {"--noise", "--echo", "--split", "10"}}) {
        reader.reset();
        Start(fault);
        EXPECT_TRUE(Command(0x40, 0x04, 0)) << fault[0];
        EXPECT_EQ(reader->AckParam(), 2000) << fault[0];
    }
}

TEST_F(ReaderDevice, SplitWithLongGapsTimesOut) {
    Start({"--split", "300"});
    EXPECT_FALSE(Command(0x40, 0x04, 0));
    EXPECT_TRUE(reader->CmdTimeout());
    EXPECT_EQ(reader->AckCmd(), 0);
}

TEST_F(ReaderDevice, BadRepliesEndByTimeOut) {
    Start({"--bad-checksum"});
    EXPECT_FALSE(Command(0x40, 0x04, 0));
    EXPECT_TRUE(reader->CmdTimeout());
    EXPECT_EQ(reader->AckCmd(), 0);

    reader.reset();
    Start({"--store-code", "1"});
    EXPECT_FALSE(Command(0x40, 0x20, 9));
    EXPECT_TRUE(reader->CmdTimeout());
    EXPECT_EQ(reader->AckCmd(), 1);
    EXPECT_EQ(reader->AckParam(), 9);
}

TEST_F(ReaderDevice, TimeOutAfterAboutOneSecond) {
    Start({"--silent"});
    QElapsedTimer clock;
    clock.start();
    reader->SendCommand(0x40, 0x04, 0);
    ASSERT_TRUE(PumpUntil([&] { return reader->CmdTimeout(); }, 10000));
    EXPECT_GE(clock.elapsed(), 900);
    EXPECT_FALSE(reader->AckRx());
    // The timer is one-shot: it was stopped in its own callback.
    const int running = stats::RunningCount();
    reader->SendCommand(0x40, 0x04, 0);
    EXPECT_FALSE(reader->CmdTimeout());
    EXPECT_EQ(stats::RunningCount(), running + 1);
}

TEST_F(ReaderDevice, ClearTableWaitsFiveSeconds) {
    Start({"--silent"});
    reader->SendCommand(0x40, 0x80, 0xFFFFFF);
    PumpFor(1500);
    EXPECT_FALSE(reader->CmdTimeout());
    EXPECT_TRUE(PumpUntil([&] { return reader->CmdTimeout(); }, 10000));
}

TEST_F(ReaderDevice, AcknowledgementDoesNotStopTheCommandTimer) {
    Start();
    ASSERT_TRUE(Command(0x40, 0x04, 0));
    ASSERT_TRUE(PumpUntil([&] { return reader->CmdTimeout(); }, 10000));
    EXPECT_TRUE(reader->AckRx());  // both may be set; the caller looks at AckRx first
}

TEST_F(ReaderDevice, AutoBeepAfterInterpretedRepliesOnly) {
    Start({"--silent"});
    reader->AutoBeep = true;
    reader->SendCommand(0x40, 0x04, 0);
    ASSERT_TRUE(PumpUntil([&] { return reader->CmdTimeout(); }, 10000));

    reader->ParseBytes(Reply({0x10, 0, 0, 0, 0}));  // not interpreted: no beep
    reader->ParseBytes(Ack(1, 0));                  // unaccepted, yet interpreted: beep
    reader->ParseBytes(kAck255);                    // accepted: beep
    // The beep frame cleared both flags again and restarted the time-out.
    EXPECT_FALSE(reader->AckRx());
    EXPECT_FALSE(reader->CmdTimeout());
    EXPECT_EQ(reader->AckCmd(), 255);
    ASSERT_TRUE(PumpUntil([&] { return reader->CmdTimeout(); }, 10000));

    ASSERT_TRUE(sim->WaitForLogLines(3));
    PumpFor(100);
    const auto log = sim->LogLines();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], Hex(kReadCapacity));
    EXPECT_EQ(log[1], Hex(kBeep));
    EXPECT_EQ(log[2], Hex(kBeep));
}

TEST_F(ReaderDevice, ClosedReaderSendsNothing) {
    Start();
    reader->SetConnected(false);
    reader->ParseBytes(kAck255);
    const int running = stats::RunningCount();
    reader->SendCommand(0x40, 0x04, 0);
    EXPECT_TRUE(reader->AckRx());  // flags untouched
    EXPECT_EQ(stats::RunningCount(), running);
    PumpFor(1300);
    EXPECT_FALSE(reader->CmdTimeout());
    // Nothing reached the line: after reopening, the first frame logged is the
    // one sent now.
    reader->SetConnected(true);
    ASSERT_TRUE(Command(0x40, 0x08, 0));
    ASSERT_TRUE(sim->WaitForLogLines(1));
    EXPECT_EQ(sim->LogLines().size(), 1u);
    EXPECT_EQ(sim->LogLines()[0], Hex(TRfidReader::BuildFrame(0x40, 0x08, 0)));
}

TEST_F(ReaderDevice, DestroyedWithRunningTimersNeverCalledBack) {
    Start({"--silent"});
    const int users = stats::UserCount();
    reader->SendCommand(0x40, 0x04, 0);
    reader->ParseBytes(kAck255.substr(0, 3));  // the gap timer runs as well
    EXPECT_GE(stats::RunningCount(), 2);
    reader.reset();
    EXPECT_EQ(stats::RunningCount(), 0);
    EXPECT_EQ(stats::UserCount(), users - 2);
    PumpFor(1500);  // past both intervals; a stale callback would touch freed memory
}

TEST_F(ReaderDevice, PulledCableFailsTheNextCommand) {
    Start({"--hangup-after", "1"});
    ASSERT_TRUE(Command(0x40, 0x04, 0));
    // The line drops once the reply is read; the next command either fails
    // to write or ends by time-out, and never hangs or reports success.
    PumpFor(200);
    bool failed = false;
    try {
        reader->SendCommand(0x40, 0x04, 0);
        ASSERT_TRUE(PumpUntil([&] { return reader->AckRx() || reader->CmdTimeout(); }, 10000));
        failed = reader->CmdTimeout() && !reader->AckRx();
    } catch (const EComPort& e) {
        // Raising RTS (12) or writing (2) fails on a hung-up line.
        failed = e.ErrorCode() == 12 || e.ErrorCode() == 2;
        EXPECT_TRUE(failed) << e.what();
    }
    EXPECT_TRUE(failed);
    EXPECT_EQ(sim->LogLines().size(), 1u);
}

TEST_F(ReaderDevice, ReopenedAfterEachCommand) {
    // The controller commands open and close a reader per command.
    Start();
    for (int i = 0; i < 3; ++i) {
        reader->SetConnected(false);
        reader->SetConnected(true);
        ASSERT_TRUE(Command(0x40, 0x04, 0)) << i;
    }
}

}  // namespace
