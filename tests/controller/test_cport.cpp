// Serial port component over real pseudo-terminals: the test holds the master
// side and points the port name at the slave through the device resolver.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>

#include <chrono>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "CPort.h"
#include "support/pump.h"

namespace {

using namespace std::chrono_literals;

// Lets the user-interface thread run its pending events until pred holds or
double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

class Pty {
  public:
    Pty() {
        FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0) return;
        FSlavePath = ptsname(FMaster);
    }
    ~Pty() { CloseMaster(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& SlavePath() const { return FSlavePath; }
    void Send(const std::string& bytes) const {
        ASSERT_EQ(::write(FMaster, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Collects what the port wrote, waiting at most `limit` for `want` bytes.
    std::string Receive(std::size_t want, std::chrono::milliseconds limit = 3000ms) const {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + limit;
        while (got.size() < want && std::chrono::steady_clock::now() < end) {
            pollfd p{FMaster, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0) {
                char buf[256];
                const ssize_t r = ::read(FMaster, buf, sizeof buf);
                if (r > 0) got.append(buf, static_cast<std::size_t>(r));
            }
        }
        return got;
    }
    void CloseMaster() {
        if (FMaster >= 0) ::close(FMaster);
        FMaster = -1;
    }

  private:
    int FMaster = -1;
    std::string FSlavePath;
};

class ComPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(FPty.SlavePath().empty());
        FPaths["COM1"] = FPty.SlavePath();
        SetComDeviceResolver([this](const std::string& port) {
            auto it = FPaths.find(port);
            return it == FPaths.end() ? std::string("/nonexistent/" + port) : it->second;
        });
    }
    void TearDown() override {
        // The handlers capture the test body's locals, which are gone by now,
        // and closing the port raises the modem-line and close events.
        if (FPort) {
            TCustomComPort& p = *FPort;
            p.OnAfterOpen = p.OnAfterClose = p.OnBeforeOpen = p.OnBeforeClose = nullptr;
            p.OnTxEmpty = p.OnBreak = p.OnRing = p.OnRxFlag = p.OnRx80Full = nullptr;
            p.OnRxChar = nullptr;
            p.OnError = nullptr;
            p.OnCTSChange = p.OnDSRChange = p.OnRLSDChange = nullptr;
        }
        FPort.reset();
        SetComDeviceResolver({});
    }
    TCustomComPort& Port() {
        if (!FPort) FPort = std::make_unique<TCustomComPort>();
        return *FPort;
    }

    Pty FPty;
    std::map<std::string, std::string> FPaths;
    std::unique_ptr<TCustomComPort> FPort;
};

TEST(EComPortTest, MessagesCarryTheCodeTextAndTheSystemError) {
    EXPECT_STREQ(EComPort(1, 2).what(), "Unable to open com port (win error code: 2)");
    EXPECT_STREQ(EComPort(14).what(), "Cannot set property while connected");
    EXPECT_EQ(EComPort(14).SystemError(), -1);
    EXPECT_EQ(EComPort(7, 22).ErrorCode(), 7);
    EXPECT_EQ(EComPort::CodeText(2), "WriteFile function failed");
    EXPECT_EQ(EComPort::CodeText(10), "ClearCommError function failed");
    EXPECT_EQ(EComPort::CodeText(23), "Registry error");
}

TEST(ComFlowControlTest, DerivedFlowControl) {
    TComFlowControl f;
    EXPECT_EQ(f.FlowControl(), fcNone);
    f.ControlRTS = rtsHandshake;
    f.OutCTSFlow = true;
    EXPECT_EQ(f.FlowControl(), fcHardware);
    f.XonXoffIn = true;
    EXPECT_EQ(f.FlowControl(), fcCustom);
    f = TComFlowControl{};
    f.XonXoffIn = f.XonXoffOut = true;
    EXPECT_EQ(f.FlowControl(), fcSoftware);
    f.XonXoffOut = false;
    EXPECT_EQ(f.FlowControl(), fcCustom);
}

TEST(ComDeviceResolverTest, DefaultMapsComNumbersToSerialDevices) {
    SetComDeviceResolver({});
    EXPECT_EQ(ResolveComDevice("COM1"), "/dev/ttyS0");
    EXPECT_EQ(ResolveComDevice("COM8"), "/dev/ttyS7");
    EXPECT_EQ(ResolveComDevice("COM12"), "/dev/ttyS11");
    for (const char* bad : {"COM0", "COM", "COM-1", "COM01", "COMx", "LPT1", "", "COM1 "})
        EXPECT_EQ(ResolveComDevice(bad), "") << bad;

    TCustomComPort port;
    port.SetPort("COM0");
    try {
        port.SetConnected(true);
        FAIL() << "COM0 opened";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), 1);
        EXPECT_NE(e.SystemError(), -1);
    }
    EXPECT_FALSE(port.Connected());
}

// The port list's devices: stable names first, then the kinds of device in
// natural order; a ttyS node without a UART behind it is left out.
TEST(ComDeviceResolverTest, SerialDevicesPresentInListOrder) {
    char folder[] = "/tmp/lorvane-devs-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string root = folder;
    auto make = [&](const std::string& path, const char* text = "") {
        const std::string full = root + path;
        ASSERT_EQ(std::system(("mkdir -p \"$(dirname '" + full + "')\"").c_str()), 0);
        FILE* f = std::fopen(full.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(text, f);
        std::fclose(f);
    };
    for (const char* dev :
         {"/dev/ttyUSB10", "/dev/ttyUSB2", "/dev/ttyACM0", "/dev/ttyS1", "/dev/ttyS0",
          "/dev/ttyS12", "/dev/tty1", "/dev/ttyUSB", "/dev/serial/by-id/usb-FTDI_A9 2-if00-port0",
          "/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0"})
        make(dev);
    make("/sys/class/tty/ttyS0/type", "4\n");
    make("/sys/class/tty/ttyS1/type", "0\n");
    make("/sys/class/tty/ttyS12/type", "4\n");
    EXPECT_EQ(
        ListSerialDevices(root),
        (std::vector<std::string>{"/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0",
                                  "/dev/serial/by-id/usb-FTDI_A9 2-if00-port0", "/dev/ttyUSB2",
                                  "/dev/ttyUSB10", "/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyS12"}));
    std::system(("rm -rf '" + root + "'").c_str());

    // A device path names itself, whatever the resolver would make of it.
    SetComDeviceResolver([](const std::string&) { return std::string("/dev/null"); });
    EXPECT_EQ(ResolveComDevice("/dev/serial/by-id/usb-x"), "/dev/serial/by-id/usb-x");
    SetComDeviceResolver({});
}

TEST_F(ComPortTest, MissingDeviceFailsWithCodeOneAndErrno) {
    Port().SetPort("COM5");
    try {
        Port().SetConnected(true);
        FAIL() << "missing device opened";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), 1);
        EXPECT_EQ(e.SystemError(), ENOENT);
        EXPECT_EQ(std::string(e.what()),
                  "Unable to open com port (win error code: " + std::to_string(ENOENT) + ")");
    }
    EXPECT_FALSE(Port().Connected());
}

TEST_F(ComPortTest, SecondOpenOfTheSameDeviceFails) {
    Port().SetConnected(true);
    ASSERT_TRUE(Port().Connected());

    TCustomComPort second;
    try {
        second.SetConnected(true);
        FAIL() << "second open in the same process succeeded";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), 1);
    }
    EXPECT_FALSE(second.Connected());

    // Another process, root or not, is refused too.
    const std::string path = FPty.SlavePath();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TCustomComPort other;
        other.SetEvents({});
        try {
            other.SetConnected(true);
            _exit(1);
        } catch (const EComPort& e) {
            _exit(e.ErrorCode() == 1 ? 0 : 2);
        }
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    // Once closed, the device can be opened again.
    Port().SetConnected(false);
    second.SetConnected(true);
    EXPECT_TRUE(second.Connected());
}

TEST_F(ComPortTest, ReadWithNothingWaitingReturnsAtOnce) {
    Port().SetConnected(true);
    std::string text = "old";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Port().ReadText(text, 10), 0);
    EXPECT_TRUE(text.empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(Port().BytesWaiting(), 0);
    text = "x";
    EXPECT_EQ(Port().ReadText(text, 0), 0);
    EXPECT_TRUE(text.empty());
}

TEST_F(ComPortTest, ReceivedBytesAreDeliveredOnTheCreatingThread) {
    int calls = 0, lastCount = 0;
    bool onUiThread = false;
    Port().OnRxChar = [&](TCustomComPort&, int count) {
        ++calls;
        lastCount = count;
        onUiThread = QThread::currentThread() == QCoreApplication::instance()->thread();
    };
    Port().SetConnected(true);
    FPty.Send("hello");
    ASSERT_TRUE(PumpUntil([&] { return calls > 0 && lastCount == 5; }));
    EXPECT_TRUE(onUiThread);
    std::string text;
    EXPECT_EQ(Port().ReadText(text, 100), 5);
    EXPECT_EQ(text, "hello");
}

// The default hook leaves the bytes unread: the thread must neither spin nor
// deliver again until new bytes arrive.
TEST_F(ComPortTest, UnreadBytesDoNotWakeTheThreadAgain) {
    int calls = 0, lastCount = 0;
    Port().OnRxChar = [&](TCustomComPort&, int count) {
        ++calls;
        lastCount = count;
    };
    Port().SetConnected(true);
    FPty.Send("abc");
    ASSERT_TRUE(PumpUntil([&] { return calls == 1; }));
    EXPECT_EQ(lastCount, 3);

    const double cpu = CpuSeconds();
    PumpFor(1000ms);
    EXPECT_EQ(calls, 1);
    EXPECT_LT(CpuSeconds() - cpu, 0.3);

    FPty.Send("de");
    ASSERT_TRUE(PumpUntil([&] { return calls == 2; }));
    EXPECT_EQ(lastCount, 5);
    std::string text;
    EXPECT_EQ(Port().ReadText(text, 2), 2);
    EXPECT_EQ(text, "ab");
    EXPECT_EQ(Port().ReadText(text, std::numeric_limits<int>::max()), 3);
    EXPECT_EQ(text, "cde");
}

TEST_F(ComPortTest, WrittenBytesReachTheOtherSideAndTxEmptyFollows) {
    int txEmpty = 0;
    Port().OnTxEmpty = [&](TCustomComPort&) { ++txEmpty; };
    Port().SetConnected(true);
    const std::string frame("\x02\x00\xff\x10\x20\x30\x40\x50\x60\x70\x03", 11);
    EXPECT_EQ(Port().WriteText(frame), 11);
    EXPECT_EQ(FPty.Receive(11), frame);
    ASSERT_TRUE(PumpUntil([&] { return txEmpty > 0; }));
    EXPECT_EQ(Port().WriteText(""), 0);
}

// More than the driver buffers: the write waits for room while the other side
// drains, and gives up with a short count when nobody drains.
TEST_F(ComPortTest, WritesWaitForRoomBoundedByTheWriteTimeouts) {
    Port().SetTimeouts({-1, 0, 0, 0, 300});
    Port().SetConnected(true);
    std::string big(256 * 1024, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);

    std::string received;
    std::thread drain([&] { received = FPty.Receive(big.size(), 10000ms); });
    EXPECT_EQ(Port().WriteText(big), static_cast<int>(big.size()));
    drain.join();
    EXPECT_EQ(received, big);

    const auto start = std::chrono::steady_clock::now();
    const int written = Port().WriteText(big);  // nobody reads now
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<int>(big.size()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST_F(ComPortTest, EmptyEventSetDeliversNothingButOpeningEventsRun) {
    int afterOpen = 0, cts = 0, dsr = 0, rlsd = 0, rx = 0, tx = 0;
    Port().OnAfterOpen = [&](TCustomComPort&) { ++afterOpen; };
    Port().OnCTSChange = [&](TCustomComPort&, bool on) { cts += on ? 100 : 1; };
    Port().OnDSRChange = [&](TCustomComPort&, bool on) { dsr += on ? 100 : 1; };
    Port().OnRLSDChange = [&](TCustomComPort&, bool on) { rlsd += on ? 100 : 1; };
    Port().OnRxChar = [&](TCustomComPort&, int) { ++rx; };
    Port().OnTxEmpty = [&](TCustomComPort&) { ++tx; };
    Port().SetEvents({});
    Port().SetConnected(true);
    EXPECT_EQ(afterOpen, 1);
    // A pseudo-terminal has no modem lines: they read as off.
    EXPECT_EQ(cts, 1);
    EXPECT_EQ(dsr, 1);
    EXPECT_EQ(rlsd, 1);

    FPty.Send("xyz");
    Port().WriteText("q");
    PumpFor(300ms);
    EXPECT_EQ(rx, 0);
    EXPECT_EQ(tx, 0);
    EXPECT_EQ(Port().BytesWaiting(), 3);
}

TEST_F(ComPortTest, OnlySelectedEventsAreDelivered) {
    int rx = 0, tx = 0;
    Port().OnRxChar = [&](TCustomComPort&, int) { ++rx; };
    Port().OnTxEmpty = [&](TCustomComPort&) { ++tx; };
    Port().SetEvents({evTxEmpty});
    Port().SetConnected(true);
    FPty.Send("xyz");
    Port().WriteText("q");
    ASSERT_TRUE(PumpUntil([&] { return tx > 0; }));
    PumpFor(200ms);
    EXPECT_EQ(rx, 0);
}

// The event thread has queued a hand-over that the user-interface thread has
// not dispatched yet when the port closes.
TEST_F(ComPortTest, ClosingWithAPendingHandOverCompletes) {
    int rx = 0, closes = 0;
    Port().OnRxChar = [&](TCustomComPort&, int) { ++rx; };
    Port().OnAfterClose = [&](TCustomComPort&) { ++closes; };
    Port().SetConnected(true);
    FPty.Send("late");
    std::this_thread::sleep_for(300ms);  // no pumping: the hand-over stays queued

    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread watchdog([done] {
        for (int i = 0; i < 500 && !*done; ++i) std::this_thread::sleep_for(10ms);
        if (!*done) {
            std::fprintf(stderr, "ClosePort hangs\n");
            std::_Exit(3);
        }
    });
    Port().SetConnected(false);
    *done = true;
    watchdog.join();

    EXPECT_FALSE(Port().Connected());
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(rx, 1);  // the pending delivery ran during the close
    PumpFor(200ms);    // the stale queued call does nothing
    EXPECT_EQ(rx, 1);

    // The device is free again.
    TCustomComPort again;
    again.SetConnected(true);
    EXPECT_TRUE(again.Connected());
}

TEST_F(ComPortTest, AHandlerMayClosePort) {
    int rx = 0;
    Port().OnRxChar = [&](TCustomComPort& sender, int) {
        ++rx;
        sender.SetConnected(false);
    };
    Port().SetConnected(true);
    FPty.Send("bye");
    ASSERT_TRUE(PumpUntil([&] { return !Port().Connected(); }));
    PumpFor(100ms);
    EXPECT_EQ(rx, 1);
}

TEST_F(ComPortTest, DestroyingAnOpenPortClosesIt) {
    int rx = 0;
    Port().OnRxChar = [&](TCustomComPort&, int) { ++rx; };
    Port().SetConnected(true);
    FPty.Send("gone");
    std::this_thread::sleep_for(200ms);  // leave a hand-over queued
    FPort.reset();
    PumpFor(200ms);  // the queued call must not touch the destroyed port
    TCustomComPort again;
    again.SetConnected(true);
    EXPECT_TRUE(again.Connected());
}

TEST_F(ComPortTest, VanishedDeviceIsReportedOnceWithoutSpinning) {
    std::vector<TComErrors> errors;
    int rx = 0;
    Port().OnError = [&](TCustomComPort&, TComErrors e) { errors.push_back(e); };
    Port().OnRxChar = [&](TCustomComPort&, int) { ++rx; };
    Port().SetConnected(true);
    FPty.CloseMaster();

    ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); }));
    const double cpu = CpuSeconds();
    PumpFor(1000ms);
    EXPECT_LT(CpuSeconds() - cpu, 0.3);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], TComErrors{ceIO});
    EXPECT_EQ(rx, 0);
    try {
        Port().WriteText("x");
        FAIL() << "write to a vanished device succeeded";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), 2);
    }
    Port().SetConnected(false);
    EXPECT_FALSE(Port().Connected());
}

TEST_F(ComPortTest, HandlerExceptionEndsDeliveries) {
    int rx = 0;
    Port().OnRxChar = [&](TCustomComPort&, int) {
        ++rx;
        throw std::runtime_error("handler failed");
    };
    Port().SetConnected(true);
    FPty.Send("a");
    ASSERT_TRUE(PumpUntil([&] { return rx == 1; }));
    FPty.Send("b");
    PumpFor(300ms);
    EXPECT_EQ(rx, 1);

    // Reopening brings deliveries back.
    Port().SetConnected(false);
    Port().OnRxChar = [&](TCustomComPort&, int) { ++rx; };
    Port().SetConnected(true);
    FPty.Send("c");
    ASSERT_TRUE(PumpUntil([&] { return rx == 2; }));
}

class LineSettingsTest : public ComPortTest {
  protected:
    void SetUp() override {
        ComPortTest::SetUp();
        // Opened before the port takes the device exclusively.
        FSlave = ::open(FPty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(FSlave, 0);
    }
    void TearDown() override {
        ComPortTest::TearDown();
        ::close(FSlave);
    }
    termios Current() const {
        termios t{};
        EXPECT_EQ(tcgetattr(FSlave, &t), 0);
        return t;
    }
    speed_t OutSpeed() const {
        const termios t = Current();
        return cfgetospeed(&t);
    }
    int FSlave = -1;
};

TEST_F(LineSettingsTest, ControllerSettingsReachTheDevice) {
    Port().SetBaudRate(br19200);
    Port().SetDataBits(dbEight);
    Port().SetStopBits(sbOneStopBit);
    Port().SetConnected(true);
    termios t = Current();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);

    // Changes while open take effect at once.
    Port().SetStopBits(sbTwoStopBits);
    TComFlowControl soft;
    soft.XonXoffIn = soft.XonXoffOut = true;
    Port().SetFlowControl(soft);
    t = Current();
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
}

// A pseudo-terminal always frames 8 bits without parity: a framing the device
// does not take is a failure, not a silent success.
TEST_F(LineSettingsTest, FramingTheDeviceRefusesFails) {
    Port().SetConnected(true);
    for (TParityBits bits : {prOdd, prMark}) {
        try {
            Port().SetParity({bits, false, false, 0});
            ADD_FAILURE() << "parity " << bits << " accepted";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.ErrorCode(), 7);
        }
    }
    Port().SetParity({});
    try {
        Port().SetDataBits(dbSeven);
        ADD_FAILURE() << "7 data bits accepted";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), 7);
    }
    EXPECT_EQ(Current().c_cflag & (CSIZE | PARENB), static_cast<tcflag_t>(CS8));
}

TEST_F(LineSettingsTest, AssigningTheCurrentValueDoesNotTouchTheDevice) {
    Port().SetBaudRate(br19200);
    Port().SetConnected(true);
    termios t = Current();
    cfsetospeed(&t, B9600);
    cfsetispeed(&t, B9600);
    ASSERT_EQ(tcsetattr(FSlave, TCSANOW, &t), 0);
    Port().SetBaudRate(br19200);
    EXPECT_EQ(OutSpeed(), static_cast<speed_t>(B9600));
    Port().SetBaudRate(br38400);
    EXPECT_EQ(OutSpeed(), static_cast<speed_t>(B38400));
}

TEST_F(LineSettingsTest, InexpressibleSettingsFailWithCodeSeven) {
    Port().SetStopBits(sbOne5StopBits);  // stored only while closed
    try {
        Port().SetConnected(true);
        FAIL() << "1.5 stop bits accepted";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), 7);
    }
    EXPECT_FALSE(Port().Connected());

    Port().SetStopBits(sbOneStopBit);
    Port().SetConnected(true);
    for (TBaudRate odd : {br14400, br56000, br128000, br256000}) {
        try {
            Port().SetBaudRate(odd);
            ADD_FAILURE() << "speed " << odd << " accepted";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.ErrorCode(), 7);
        }
    }
    // Values outside the enumerations (a corrupt setting) are refused, not
    // used as table indexes.
    Port().SetBaudRate(br9600);
    auto refused = [](const std::function<void()>& set) {
        try {
            set();
        } catch (const EComPort& e) {
            return e.ErrorCode() == 7;
        }
        return false;
    };
    EXPECT_TRUE(refused([&] { Port().SetDataBits(static_cast<TDataBits>(9)); }));
    Port().SetDataBits(dbEight);
    EXPECT_TRUE(refused([&] { Port().SetBaudRate(static_cast<TBaudRate>(99)); }));
    Port().SetBaudRate(br9600);
    EXPECT_TRUE(refused([&] { Port().SetStopBits(static_cast<TStopBits>(7)); }));
    Port().SetStopBits(sbOneStopBit);
    Port().SetBaudRate(brCustom);  // the custom rate, 9600 by default
    EXPECT_EQ(OutSpeed(), static_cast<speed_t>(B9600));
    Port().SetCustomBaudRate(57600);
    EXPECT_EQ(OutSpeed(), static_cast<speed_t>(B57600));
}

TEST_F(ComPortTest, SyncMethodCannotChangeWhileOpen) {
    Port().SetSyncMethod(smThreadSync);
    Port().SetConnected(true);
    try {
        Port().SetSyncMethod(smNone);
        FAIL() << "sync method changed while open";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), 14);
    }
    EXPECT_EQ(Port().SyncMethod(), smThreadSync);
}

TEST_F(ComPortTest, ChangingThePortWhileOpenReopens) {
    Pty other;
    FPaths["COM2"] = other.SlavePath();
    int opens = 0, closes = 0;
    Port().OnAfterOpen = [&](TCustomComPort&) { ++opens; };
    Port().OnAfterClose = [&](TCustomComPort&) { ++closes; };
    Port().SetConnected(true);
    Port().SetPort("COM2");
    EXPECT_TRUE(Port().Connected());
    EXPECT_EQ(opens, 2);
    EXPECT_EQ(closes, 1);
    Port().WriteText("2");
    EXPECT_EQ(other.Receive(1), "2");
    // The first device was released.
    TCustomComPort first;
    first.SetConnected(true);
    EXPECT_TRUE(first.Connected());
}

TEST_F(ComPortTest, OperationsOnAClosedPortFail) {
    std::string text;
    EXPECT_THROW(Port().WriteText("x"), EComPort);
    EXPECT_THROW(Port().ReadText(text, 1), EComPort);
    EXPECT_THROW(Port().BytesWaiting(), EComPort);
    EXPECT_THROW(Port().SetRtsLine(true), EComPort);
    // A pseudo-terminal has no RTS line; setting it counts as done there.
    Port().SetConnected(true);
    EXPECT_NO_THROW(Port().SetRtsLine(true));
    EXPECT_TRUE(Port().ReadLineErrors().Empty());
}

}  // namespace
