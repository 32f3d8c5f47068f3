// Serial port component over POSIX termios.
//
// Design of the event thread:
// - It waits in epoll on the device and on an eventfd that the user-interface
//   side signals to stop the thread or to announce a finished write. Nothing
//   wakes it while the line is quiet.
// - The device is registered edge-triggered for input: the tty layer signals
//   each arrival of bytes once, so bytes that the handlers leave unread (the
//   default HandleRxChar does not read them) do not wake the thread again;
//   only new bytes do. Level-triggered polling would return at once forever.
// - A write marks transmit pending and wakes the thread only when nothing was
//   pending yet: back-to-back writes cost one wake-up. The thread checks
//   TIOCOUTQ at once; while output is still queued it sleeps about as long as
//   the line needs to send it, then reports the transmit queue empty. A
//   delivery that reports it also covers writes made since, once their bytes
//   have left too, so a frame written byte by byte gives one or two reports.
// - Line errors come from the TIOCGICOUNT counters and modem line changes from
//   TIOCMGET, both where the driver has them (a pseudo-terminal has neither).
//   The kernel offers no pollable notice of modem line changes, so on devices
//   with modem lines, and only when such events are wanted, the lines are
//   sampled every 100 ms.
// - A hang-up (adapter pulled out, pty master closed) is reported once as a
//   line error ceIO; then the thread ends, so it cannot spin on the dead
//   descriptor, and later writes fail.
// Each event set is handed to the user-interface thread as an event posted to a
// QObject living there. While its handlers run, the thread already waits for
// the line again, but it hands nothing new over before they have finished: at
// most one delivery is outstanding, and the finish wakes the thread only when
// it has something waiting for it.
#include "CPort.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <thread>
#include <tuple>
#include <utility>

#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <pwd.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// ---- device name resolution ----

std::mutex gResolverMutex;
TComDeviceResolver gResolver;

// ---- small helpers ----

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : FFd(fd) {}
    UniqueFd(UniqueFd&& o) noexcept : FFd(o.Release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) Reset(o.Release());
        return *this;
    }
    ~UniqueFd() { Reset(); }
    int Get() const { return FFd; }
    int Release() {
        int fd = FFd;
        FFd = -1;
        return fd;
    }
    void Reset(int fd = -1) {
        if (FFd >= 0) ::close(FFd);
        FFd = fd;
    }

  private:
    int FFd = -1;
};

// A device without modem control (a pseudo-terminal) answers these.
bool NoModemLines(int err) {
    return err == ENOTTY || err == EINVAL;
}

std::uint32_t BitsPerSecond(TBaudRate rate, std::uint32_t custom) {
    static constexpr std::uint32_t kRates[] = {0,     110,    300,    600,   1200,  2400,
                                               4800,  9600,   14400,  19200, 38400, 56000,
                                               57600, 115200, 128000, 256000};
    if (rate < brCustom || rate > br256000) return 0;
    return rate == brCustom ? custom : kRates[rate];
}

bool SpeedOf(TBaudRate rate, std::uint32_t custom, speed_t& out) {
    const std::uint32_t bps = BitsPerSecond(rate, custom);
    // 14400, 56000, 128000, 256000 and other odd rates have no termios code.
    static constexpr std::pair<std::uint32_t, speed_t> kCodes[] = {
        {110, B110},       {300, B300},       {600, B600},       {1200, B1200},    {2400, B2400},
        {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},  {57600, B57600},
        {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};
    for (const auto& [value, code] : kCodes)
        if (value == bps) {
            out = code;
            return true;
        }
    return false;
}

void WakeFd(int fd) {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(fd, &one, sizeof one);
}

}  // namespace

// ---- exception ----

std::string EComPort::CodeText(int errorCode) {
    static const char* const kTexts[] = {
        "Unable to open com port",
        "WriteFile function failed",
        "ReadFile function failed",
        "Invalid Async parameter",
        "PurgeComm function failed",
        "Unable to get async status",
        "SetCommState function failed",
        "SetCommTimeouts failed",
        "SetupComm function failed",
        "ClearCommError function failed",
        "GetCommModemStatus function failed",
        "EscapeCommFunction function failed",
        "TransmitCommChar function failed",
        "Cannot set property while connected",
        "EnumPorts function failed",
        "Failed to store settings",
        "Failed to load settings",
        "Link (un)registration failed",
        "Cannot change led state if ComPort is selected",
        "Cannot wait for event if event thread is created",
        "WaitForEvent method failed",
        "A component is linked to OnRxBuf event",
        "Registry error",
    };
    if (errorCode < 1 || errorCode > static_cast<int>(std::size(kTexts))) return "Com port error";
    return kTexts[errorCode - 1];
}

static std::string ComPortMessage(int errorCode, int systemError) {
    std::string text = EComPort::CodeText(errorCode);
    if (systemError != -1) text += " (win error code: " + std::to_string(systemError) + ")";
    return text;
}

EComPort::EComPort(int errorCode, int systemError, std::string device)
    : std::runtime_error(ComPortMessage(errorCode, systemError)),
      FErrorCode(errorCode),
      FSystemError(systemError),
      FDevice(std::move(device)) {}

std::string EComPort::Reason() const {
    if (FDevice.empty() || FSystemError <= 0) return {};
    return FDevice + ": " + std::strerror(FSystemError);
}

// ---- resolver ----

std::string DefaultComDevice(const std::string& port) {
    // "COMn" with n a positive number of at most three digits.
    if (port.size() < 4 || port.size() > 6) return {};
    for (int i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(port[i])) != "COM"[i]) return {};
    int n = 0;
    for (std::size_t i = 3; i < port.size(); ++i) {
        if (port[i] < '0' || port[i] > '9') return {};
        n = n * 10 + (port[i] - '0');
    }
    if (n < 1 || port[3] == '0') return {};
    return "/dev/ttyS" + std::to_string(n - 1);
}

void SetComDeviceResolver(TComDeviceResolver resolver) {
    std::lock_guard lock(gResolverMutex);
    gResolver = std::move(resolver);
}

std::string ResolveComDevice(const std::string& port) {
    if (!port.empty() && port.front() == '/') return port;
    TComDeviceResolver resolver;
    {
        std::lock_guard lock(gResolverMutex);
        resolver = gResolver;
    }
    return resolver ? resolver(port) : DefaultComDevice(port);
}

// ---- devices present ----

namespace {

// Names in a folder that begin with prefix, numbers compared by value.
std::vector<std::string> NamesIn(const std::string& folder, const std::string& prefix) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0)
            names.push_back(name);
    }
    auto key = [&](const std::string& name) {
        const std::string tail = name.substr(prefix.size());
        const bool number =
            std::all_of(tail.begin(), tail.end(), [](char c) { return c >= '0' && c <= '9'; });
        return std::make_tuple(!number, number ? tail.size() : 0, tail);
    };
    std::sort(names.begin(), names.end(),
              [&](const std::string& a, const std::string& b) { return key(a) < key(b); });
    return names;
}

// A ttyS port with a UART behind it: the serial core reports its type, 0
// (unknown) for the placeholders.
bool HasUart(const std::string& root, const std::string& name) {
    std::FILE* file = std::fopen((root + "sys/class/tty/" + name + "/type").c_str(), "re");
    if (!file) return false;
    int type = 0;
    const bool read = std::fscanf(file, "%d", &type) == 1;
    std::fclose(file);
    return read && type != 0;
}

}  // namespace

std::vector<std::string> ListSerialDevices(const std::string& rootFolder) {
    const std::string root =
        rootFolder.empty() || rootFolder.back() != '/' ? rootFolder + '/' : rootFolder;
    std::vector<std::string> devices;
    for (const std::string& name : NamesIn(root + "dev/serial/by-id", ""))
        devices.push_back("/dev/serial/by-id/" + name);
    for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS"}) {
        for (const std::string& name : NamesIn(root + "dev", prefix)) {
            if (std::string_view(prefix) == "ttyS" && !HasUart(root, name)) continue;
            devices.push_back("/dev/" + name);
        }
    }
    return devices;
}

std::string ComPortAdvice(const EComPort& failure) {
    const std::string device = failure.Device();
    switch (failure.SystemError()) {
        case EACCES:
        case EPERM: {
            // The group that may use the device (dialout on Debian).
            std::string group = "dialout";
            struct stat info {};
            if (!device.empty() && ::stat(device.c_str(), &info) == 0) {
                if (const struct group* owner = ::getgrgid(info.st_gid))
                    if (info.st_gid != 0) group = owner->gr_name;
            }
            std::string user = "$USER";
            if (const struct passwd* me = ::getpwuid(::getuid())) user = me->pw_name;
            return "The serial devices belong to the group " + group +
                   ". Join it, then log out and in again:\n    sudo adduser " + user + " " + group;
        }
        case EBUSY:
        case EWOULDBLOCK:
            return "Another program (or another command of this one) is using the port. "
                   "Wait until it has finished, or close it.";
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case EIO:
            return "Choose the port the controller is connected to: the drop-down list shows the "
                   "serial devices present.";
        default:
            return {};
    }
}

// ---- flow control ----

TFlowControl TComFlowControl::FlowControl() const {
    const bool xon = XonXoffOut || XonXoffIn;
    if (ControlRTS == rtsHandshake && OutCTSFlow && !xon) return fcHardware;
    if (ControlRTS == rtsDisable && !OutCTSFlow && XonXoffOut && XonXoffIn) return fcSoftware;
    if (ControlRTS == rtsDisable && !OutCTSFlow && !xon) return fcNone;
    return fcCustom;
}

// ---- shared state of one open port's event thread ----

// Shared by the port, its event thread and every queued hand-over, so that a
// hand-over arriving after the port was closed or destroyed finds `port`
// empty and does nothing.
struct TCustomComPort::Hub {
    enum class Hand { Idle, Queued, Running, Done };
    std::mutex m;
    std::condition_variable cv;
    std::atomic<TCustomComPort*> port{nullptr};
    bool stop = false;
    Hand hand = Hand::Idle;
    std::uint64_t gen = 0;
    TComEvents events;
    bool handlerFailed = false;
    bool threadEnded = false;
};

// Carries one queued event set to the user-interface thread: a single posted
// event, no further allocation.
struct TCustomComPort::HandOverEvent : QEvent {
    static QEvent::Type Kind() {
        static const auto kind = static_cast<QEvent::Type>(QEvent::registerEventType());
        return kind;
    }
    HandOverEvent(std::shared_ptr<Hub> h, std::uint64_t g)
        : QEvent(Kind()), hub(std::move(h)), gen(g) {}
    std::shared_ptr<Hub> hub;
    std::uint64_t gen;
};

// Lives on the user-interface thread and carries out the hand-overs posted to it.
struct TCustomComPort::Receiver : QObject {
    bool event(QEvent* e) override {
        if (e->type() != HandOverEvent::Kind()) return QObject::event(e);
        auto* handOver = static_cast<HandOverEvent*>(e);
        RunHandOver(handOver->hub, handOver->gen);
        return true;
    }
};

struct TCustomComPort::Impl {
    // Properties.
    std::string port = "COM1";
    TBaudRate baudRate = br9600;
    std::uint32_t customBaudRate = 9600;
    TDataBits dataBits = dbEight;
    TStopBits stopBits = sbOneStopBit;
    TComParity parity;
    TComFlowControl flow;
    TComTimeouts timeouts;
    TComBuffer buffer;
    std::atomic<std::uint32_t> events{AllComEvents.Bits()};
    bool discardNull = false;
    char eventChar = 0;
    TSyncMethod syncMethod = smThreadSync;

    // Device and event thread.
    UniqueFd fd;
    UniqueFd wake;  // eventfd: stop request or finished write
    std::thread thread;
    std::shared_ptr<Hub> hub;
    std::unique_ptr<Receiver> receiver;
    bool closing = false;
    // Set by writes, taken by the event thread when it reports transmit empty.
    std::atomic<bool> txPending{false};
    // Time one character takes on the line, for sleeping while output drains.
    std::atomic<std::uint32_t> charMicros{1000};
    std::atomic<bool> vanished{false};
    std::atomic<bool> parityCheck{false};

    // Line error bookkeeping, shared by the event thread and ReadLineErrors.
    std::mutex errMutex;
    bool countsAvailable = false;
    serial_icounter_struct lastCounts{};
    TComErrors pendingErrors;

    bool IsOpen() const { return fd.Get() >= 0; }

    // Compares the driver's error counters with the last ones and adds what
    // grew to pendingErrors. Returns true when a break was counted.
    bool SampleErrorsLocked() {
        if (!countsAvailable || vanished) return false;
        serial_icounter_struct c{};
        if (::ioctl(fd.Get(), TIOCGICOUNT, &c) != 0) {
            if (errno == EIO)
                pendingErrors.Include(ceIO);
            else
                countsAvailable = false;
            return false;
        }
        if (c.frame != lastCounts.frame) pendingErrors.Include(ceFrame);
        if (c.parity != lastCounts.parity && parityCheck) pendingErrors.Include(ceRxParity);
        if (c.overrun != lastCounts.overrun) pendingErrors.Include(ceOverrun);
        if (c.buf_overrun != lastCounts.buf_overrun) pendingErrors.Include(ceRxOver);
        const bool brk = c.brk != lastCounts.brk;
        if (brk) pendingErrors.Include(ceBreak);
        lastCounts = c;
        return brk;
    }

    void RunThread(const std::shared_ptr<Hub>& h, int inputSize);
    bool QueueHandOver(const std::shared_ptr<Hub>& h, TComEvents ev);
    static bool AwaitHandOver(Hub& h);
};

// Queues one event set for the user-interface thread. False: the thread must end.
bool TCustomComPort::Impl::QueueHandOver(const std::shared_ptr<Hub>& h, TComEvents ev) {
    std::unique_lock lock(h->m);
    if (h->stop) return false;
    h->events = ev;
    const std::uint64_t gen = ++h->gen;
    h->hand = Hub::Hand::Queued;
    h->cv.notify_all();  // ClosePort may be waiting to carry it out
    lock.unlock();
    QCoreApplication::postEvent(receiver.get(), new HandOverEvent(h, gen));
    return true;
}

// Waits until the last queued event set has been handled on the user-interface
// thread (or ClosePort released it); returns at once when none is outstanding,
// which is the usual case by the time the line has something new.
// False: the thread must end.
bool TCustomComPort::Impl::AwaitHandOver(Hub& h) {
    std::unique_lock lock(h.m);
    h.cv.wait(lock, [&] { return h.hand == Hub::Hand::Idle || h.hand == Hub::Hand::Done; });
    h.hand = Hub::Hand::Idle;
    return !h.stop && !h.handlerFailed;
}

void TCustomComPort::Impl::RunThread(const std::shared_ptr<Hub>& h, int inputSize) {
    struct EndMark {
        Hub& hub;
        ~EndMark() {
            std::unique_lock lock(hub.m);
            // A queued hand-over is still carried out: by the user-interface
            // thread's loop, or by ClosePort while it waits for this thread.
            hub.cv.wait(lock, [&] { return hub.hand != Hub::Hand::Queued; });
            hub.threadEnded = true;
            hub.cv.notify_all();
        }
    } endMark{*h};

    try {
        const int dev = fd.Get();
        UniqueFd ep(::epoll_create1(EPOLL_CLOEXEC));
        if (ep.Get() < 0) return;
        epoll_event we{};
        we.events = EPOLLIN;
        we.data.fd = wake.Get();
        epoll_event de{};
        de.events = EPOLLIN | EPOLLET;
        de.data.fd = dev;
        if (::epoll_ctl(ep.Get(), EPOLL_CTL_ADD, wake.Get(), &we) != 0 ||
            ::epoll_ctl(ep.Get(), EPOLL_CTL_ADD, dev, &de) != 0)
            return;

        constexpr TComEvents kModemEvents{evCTS, evDSR, evRLSD, evRing};
        int modem = 0;
        const bool modemAvailable = ::ioctl(dev, TIOCMGET, &modem) == 0;

        for (;;) {
            const TComEvents wanted = TComEvents::FromBits(events.load());
            // Writes since the last look: an outstanding delivery may report
            // them (DeliverEvents), so let it run first.
            if (txPending && !AwaitHandOver(*h)) return;
            int timeout = -1;
            if (txPending) {
                // Sleep about as long as the queued bytes take to leave.
                int queued = 0;
                if (::ioctl(dev, TIOCOUTQ, &queued) != 0 || queued <= 0)
                    timeout = 0;
                else
                    timeout = static_cast<int>(std::clamp<long long>(
                        (static_cast<long long>(queued) * charMicros.load() + 999) / 1000, 1, 100));
            }
            if (modemAvailable && (wanted.Bits() & kModemEvents.Bits()))
                timeout = timeout < 0 ? 100 : std::min(timeout, 100);

            epoll_event got[2];
            const int n = ::epoll_wait(ep.Get(), got, 2, timeout);
            if (n < 0 && errno != EINTR) return;

            bool rx = false, hup = false;
            for (int i = 0; i < n; ++i) {
                if (got[i].data.fd == wake.Get()) {
                    std::uint64_t count;
                    [[maybe_unused]] ssize_t r = ::read(wake.Get(), &count, sizeof count);
                } else {
                    if (got[i].events & (EPOLLHUP | EPOLLERR)) hup = true;
                    if (got[i].events & EPOLLIN) rx = true;
                }
            }

            // The thread waits for the line while its last delivery runs on the
            // user-interface thread, but looks at nothing new, let alone hands
            // it over, before that delivery has finished.
            if (!AwaitHandOver(*h)) return;

            TComEvents ev;
            if (rx && !hup) {
                int waiting = 0;
                if (::ioctl(dev, FIONREAD, &waiting) != 0) {
                    hup = errno == EIO;
                } else if (waiting > 0) {
                    ev.Include(evRxChar);
                    if (waiting >= inputSize / 10 * 8) ev.Include(evRx80Full);
                } else {
                    // Read away by the user-interface side meanwhile, or hung up.
                    termios t;
                    hup = ::tcgetattr(dev, &t) != 0 && errno == EIO;
                }
            }
            if (hup) {
                vanished = true;
                {
                    std::lock_guard lock(errMutex);
                    pendingErrors.Include(ceIO);
                }
                if (wanted.Contains(evError) && QueueHandOver(h, TComEvents{evError}))
                    AwaitHandOver(*h);
                return;  // stop watching the dead descriptor
            }

            {
                std::lock_guard lock(errMutex);
                if (SampleErrorsLocked()) ev.Include(evBreak);
                if (!pendingErrors.Empty()) ev.Include(evError);
            }
            if (modemAvailable) {
                int now = 0;
                if (::ioctl(dev, TIOCMGET, &now) == 0) {
                    const int changed = now ^ modem;
                    if (changed & TIOCM_CTS) ev.Include(evCTS);
                    if (changed & TIOCM_DSR) ev.Include(evDSR);
                    if (changed & TIOCM_CD) ev.Include(evRLSD);
                    if ((changed & TIOCM_RNG) && (now & TIOCM_RNG)) ev.Include(evRing);
                    modem = now;
                }
            }
            if (txPending) {
                int queued = 0;
                if (::ioctl(dev, TIOCOUTQ, &queued) != 0 || queued == 0) {
                    if (txPending.exchange(false)) ev.Include(evTxEmpty);
                }
            }

            ev = TComEvents::FromBits(ev.Bits() & wanted.Bits());
            if (!ev.Empty() && !QueueHandOver(h, ev)) return;
        }
    } catch (...) {
        // Nothing can be reported from here; the thread just ends.
    }
}

// ---- the port ----

TCustomComPort::TCustomComPort() : FImpl(std::make_unique<Impl>()) {
    FImpl->receiver = std::make_unique<Receiver>();
}

TCustomComPort::~TCustomComPort() {
    try {
        ClosePort();
    } catch (...) {
        // A destructor must not throw; the device is closed in any case.
    }
}

bool TCustomComPort::Connected() const {
    return FImpl->IsOpen();
}

void TCustomComPort::SetConnected(bool on) {
    if (on == Connected()) return;
    if (on)
        OpenPort();
    else
        ClosePort();
}

const std::string& TCustomComPort::Port() const {
    return FImpl->port;
}

void TCustomComPort::SetPort(const std::string& name) {
    if (name == FImpl->port) return;
    if (Connected()) {
        ClosePort();
        FImpl->port = name;
        OpenPort();
    } else {
        FImpl->port = name;
    }
}

TBaudRate TCustomComPort::BaudRate() const {
    return FImpl->baudRate;
}
void TCustomComPort::SetBaudRate(TBaudRate rate) {
    if (rate == FImpl->baudRate) return;
    FImpl->baudRate = rate;
    ApplyLineSettings();
}

std::uint32_t TCustomComPort::CustomBaudRate() const {
    return FImpl->customBaudRate;
}
void TCustomComPort::SetCustomBaudRate(std::uint32_t rate) {
    if (rate == FImpl->customBaudRate) return;
    FImpl->customBaudRate = rate;
    ApplyLineSettings();
}

TDataBits TCustomComPort::DataBits() const {
    return FImpl->dataBits;
}
void TCustomComPort::SetDataBits(TDataBits bits) {
    if (bits == FImpl->dataBits) return;
    FImpl->dataBits = bits;
    ApplyLineSettings();
}

TStopBits TCustomComPort::StopBits() const {
    return FImpl->stopBits;
}
void TCustomComPort::SetStopBits(TStopBits bits) {
    if (bits == FImpl->stopBits) return;
    FImpl->stopBits = bits;
    ApplyLineSettings();
}

const TComParity& TCustomComPort::Parity() const {
    return FImpl->parity;
}
void TCustomComPort::SetParity(const TComParity& parity) {
    if (parity == FImpl->parity) return;
    FImpl->parity = parity;
    ApplyLineSettings();
}

const TComFlowControl& TCustomComPort::FlowControl() const {
    return FImpl->flow;
}
void TCustomComPort::SetFlowControl(const TComFlowControl& flow) {
    if (flow == FImpl->flow) return;
    FImpl->flow = flow;
    ApplyLineSettings();
}

const TComTimeouts& TCustomComPort::Timeouts() const {
    return FImpl->timeouts;
}
void TCustomComPort::SetTimeouts(const TComTimeouts& timeouts) {
    if (timeouts == FImpl->timeouts) return;
    FImpl->timeouts = timeouts;
    ApplyTimeoutSettings();
}

const TComBuffer& TCustomComPort::Buffer() const {
    return FImpl->buffer;
}
void TCustomComPort::SetBuffer(const TComBuffer& buffer) {
    if (buffer == FImpl->buffer) return;
    FImpl->buffer = buffer;
    ApplyBufferSizes();
}

TComEvents TCustomComPort::Events() const {
    return TComEvents::FromBits(FImpl->events.load());
}
void TCustomComPort::SetEvents(TComEvents events) {
    FImpl->events = events.Bits();
}

bool TCustomComPort::DiscardNull() const {
    return FImpl->discardNull;
}
void TCustomComPort::SetDiscardNull(bool on) {
    if (on == FImpl->discardNull) return;
    FImpl->discardNull = on;
    ApplyLineSettings();
}

char TCustomComPort::EventChar() const {
    return FImpl->eventChar;
}
void TCustomComPort::SetEventChar(char c) {
    if (c == FImpl->eventChar) return;
    FImpl->eventChar = c;
    ApplyLineSettings();
}

TSyncMethod TCustomComPort::SyncMethod() const {
    return FImpl->syncMethod;
}
void TCustomComPort::SetSyncMethod(TSyncMethod method) {
    if (method == FImpl->syncMethod) return;
    if (Connected()) throw EComPort(14);
    // Only thread-synchronised delivery is carried out; the value is kept.
    FImpl->syncMethod = method;
}

// ---- applying settings ----

void TCustomComPort::ApplyLineSettings() {
    Impl& d = *FImpl;
    if (!d.IsOpen()) return;
    const int dev = d.fd.Get();

    termios t{};
    if (::tcgetattr(dev, &t) != 0) throw EComPort(7, errno);
    speed_t speed;
    if (!SpeedOf(d.baudRate, d.customBaudRate, speed)) throw EComPort(7);
    // Settings that termios cannot express.
    if (d.dataBits < dbFive || d.dataBits > dbEight || d.stopBits == sbOne5StopBits ||
        d.stopBits < sbOneStopBit || d.stopBits > sbTwoStopBits || d.parity.Bits < prNone ||
        d.parity.Bits > prSpace || d.discardNull || d.flow.OutDSRFlow || d.flow.DSRSensitivity ||
        d.flow.ControlDTR == dtrHandshake || d.flow.ControlRTS == rtsToggle ||
        (d.parity.Check && d.parity.Replace && d.parity.ReplaceChar != 0))
        throw EComPort(7);

    ::cfmakeraw(&t);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL);
    t.c_cflag |= CLOCAL | CREAD;
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[d.dataBits];
    switch (d.parity.Bits) {
        case prNone:
            break;
        case prOdd:
            t.c_cflag |= PARENB | PARODD;
            break;
        case prEven:
            t.c_cflag |= PARENB;
            break;
        case prMark:
            t.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case prSpace:
            t.c_cflag |= PARENB | CMSPAR;
            break;
    }
    if (d.stopBits == sbTwoStopBits) t.c_cflag |= CSTOPB;
    if (d.flow.OutCTSFlow || d.flow.ControlRTS == rtsHandshake) t.c_cflag |= CRTSCTS;

    t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK | ISTRIP);
    // A character with a parity error reads as a zero byte.
    if (d.parity.Check) t.c_iflag |= INPCK;
    if (d.flow.XonXoffOut) t.c_iflag |= IXON;
    if (d.flow.XonXoffIn) t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(d.flow.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(d.flow.XoffChar);
    // VMIN 1 with O_NONBLOCK: no data reads as EAGAIN, 0 only after a hang-up.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0) throw EComPort(7, errno);
    if (::tcsetattr(dev, TCSANOW, &t) != 0) throw EComPort(7, errno);
    // tcsetattr succeeds when any part was taken: check that the framing was.
    termios now{};
    if (::tcgetattr(dev, &now) != 0) throw EComPort(7, errno);
    tcflag_t framing = CSIZE | PARENB | CSTOPB;
    if (t.c_cflag & PARENB) framing |= PARODD | CMSPAR;
    if ((now.c_cflag & framing) != (t.c_cflag & framing)) throw EComPort(7, EINVAL);
    d.parityCheck = d.parity.Check;
    // Start bit, data bits, parity bit, stop bits.
    const std::uint32_t bits = 1 + (5 + static_cast<std::uint32_t>(d.dataBits)) +
                               (d.parity.Bits != prNone ? 1 : 0) +
                               (d.stopBits == sbTwoStopBits ? 2 : 1);
    const std::uint32_t bps = BitsPerSecond(d.baudRate, d.customBaudRate);
    if (bps > 0) d.charMicros = (bits * 1'000'000u + bps - 1) / bps;

    // The output lines; Linux raises DTR and RTS on open.
    auto line = [dev](int bit, bool on) {
        if (::ioctl(dev, on ? TIOCMBIS : TIOCMBIC, &bit) != 0 && !NoModemLines(errno))
            throw EComPort(7, errno);
    };
    line(TIOCM_DTR, d.flow.ControlDTR == dtrEnable);
    if (d.flow.ControlRTS != rtsHandshake) line(TIOCM_RTS, d.flow.ControlRTS == rtsEnable);
}

void TCustomComPort::ApplyTimeoutSettings() {
    const Impl& d = *FImpl;
    if (!d.IsOpen()) return;
    // Reads never wait (the interval time-out of -1); writes are bounded in
    // WriteText by the write time-outs. Negative write time-outs make no sense.
    if (d.timeouts.WriteTotalMultiplier < 0 || d.timeouts.WriteTotalConstant < 0)
        throw EComPort(8, EINVAL);
}

void TCustomComPort::ApplyBufferSizes() {
    const Impl& d = *FImpl;
    if (!d.IsOpen()) return;
    // The tty layer sizes its queues itself; the sizes only scale the
    // 80 %-full notice.
    if (d.buffer.InputSize <= 0 || d.buffer.OutputSize <= 0) throw EComPort(9, EINVAL);
}

// ---- open and close ----

void TCustomComPort::OpenPort() {
    Impl& d = *FImpl;
    if (d.IsOpen()) return;
    if (OnBeforeOpen) OnBeforeOpen(*this);

    const std::string path = ResolveComDevice(d.port);
    // A port name that maps to no device is named itself in the reason.
    const std::string& device = path.empty() ? d.port : path;
    UniqueFd dev(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (dev.Get() < 0) throw EComPort(1, errno, device);
    // Exclusive use: the lock stops a second open from anywhere, root included;
    // TIOCEXCL additionally refuses other unprivileged opens outright.
    if (::flock(dev.Get(), LOCK_EX | LOCK_NB) != 0) throw EComPort(1, errno, device);
    ::ioctl(dev.Get(), TIOCEXCL);
    UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (wake.Get() < 0) throw EComPort(1, errno);

    d.fd = std::move(dev);
    d.wake = std::move(wake);
    d.vanished = false;
    d.txPending = false;
    {
        std::lock_guard lock(d.errMutex);
        d.pendingErrors = {};
        d.lastCounts = {};
        d.countsAvailable = ::ioctl(d.fd.Get(), TIOCGICOUNT, &d.lastCounts) == 0;
    }
    try {
        ApplyBufferSizes();
        ApplyLineSettings();
        ApplyTimeoutSettings();
    } catch (...) {
        ::ioctl(d.fd.Get(), TIOCNXCL);
        d.fd.Reset();
        d.wake.Reset();
        throw;
    }

    if (!Events().Empty()) {
        d.hub = std::make_shared<Hub>();
        d.hub->port = this;
        d.thread =
            std::thread([&d, hub = d.hub, size = d.buffer.InputSize] { d.RunThread(hub, size); });
    }

    HandleAfterOpen();
    const bool cts = ReadModemLine(TIOCM_CTS);
    if (OnCTSChange) OnCTSChange(*this, cts);
    const bool dsr = ReadModemLine(TIOCM_DSR);
    if (OnDSRChange) OnDSRChange(*this, dsr);
    const bool rlsd = ReadModemLine(TIOCM_CD);
    if (OnRLSDChange) OnRLSDChange(*this, rlsd);
}

// Stops the event thread, carrying out a pending hand-over meanwhile so that
// neither side waits for the other.
void TCustomComPort::StopEventThread() {
    Impl& d = *FImpl;
    if (!d.thread.joinable()) return;
    const std::shared_ptr<Hub> hub = d.hub;
    std::unique_lock lock(hub->m);
    hub->stop = true;
    // Called from a handler of a running hand-over: release the thread now.
    if (hub->hand == Hub::Hand::Running) hub->hand = Hub::Hand::Done;
    hub->cv.notify_all();
    WakeFd(d.wake.Get());
    while (!hub->threadEnded) {
        if (hub->hand == Hub::Hand::Queued) {
            // Carried out here as the user-interface loop would; the posted
            // event then finds it done.
            const std::uint64_t gen = hub->gen;
            lock.unlock();
            RunHandOver(hub, gen);
            lock.lock();
            continue;
        }
        hub->cv.wait(lock);
    }
    lock.unlock();
    d.thread.join();
}

void TCustomComPort::ClosePort() {
    Impl& d = *FImpl;
    if (!d.IsOpen() || d.closing) return;
    d.closing = true;
    struct ClosingMark {
        bool& flag;
        ~ClosingMark() { flag = false; }
    } closingMark{d.closing};

    if (OnCTSChange) OnCTSChange(*this, false);
    if (OnDSRChange) OnDSRChange(*this, false);
    if (OnRLSDChange) OnRLSDChange(*this, false);
    if (OnBeforeClose) OnBeforeClose(*this);

    StopEventThread();

    const int dev = d.fd.Get();
    int purgeError = 0;
    if (!d.vanished) {
        if (::tcflush(dev, TCIFLUSH) != 0 && errno != EIO) purgeError = errno;
        // Let written bytes leave, bounded, rather than discarding them or
        // letting close() wait for a stalled line.
        const auto limit = std::chrono::steady_clock::now() +
                           std::chrono::milliseconds(d.timeouts.WriteTotalConstant);
        int queued = 0;
        while (::ioctl(dev, TIOCOUTQ, &queued) == 0 && queued > 0 &&
               std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (queued > 0) ::tcflush(dev, TCOFLUSH);
        ::ioctl(dev, TIOCNXCL);
    }
    d.fd.Reset();
    d.wake.Reset();
    if (d.hub) d.hub->port = nullptr;
    d.hub.reset();
    if (OnAfterClose) OnAfterClose(*this);
    if (purgeError != 0) throw EComPort(5, purgeError);
}

// ---- transfers ----

int TCustomComPort::WriteText(const std::string& bytes) {
    Impl& d = *FImpl;
    if (bytes.empty()) return 0;
    if (!d.IsOpen()) throw EComPort(2, EBADF);
    if (d.vanished) throw EComPort(2, EIO);
    const int dev = d.fd.Get();
    // Clamped to a day so that absurd time-outs cannot overflow the clock.
    const long long limitMs =
        std::min<long long>(static_cast<long long>(d.timeouts.WriteTotalMultiplier) *
                                    static_cast<long long>(bytes.size()) +
                                d.timeouts.WriteTotalConstant,
                            86'400'000LL);
    const bool bounded = d.timeouts.WriteTotalMultiplier > 0 || d.timeouts.WriteTotalConstant > 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);

    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t r = ::write(dev, bytes.data() + written, bytes.size() - written);
        if (r > 0) {
            written += static_cast<std::size_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno == EAGAIN) {
            int wait = -1;
            if (bounded) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0) break;  // cut short by the time-out
                wait = static_cast<int>(std::min<long long>(left.count() + 1, 1 << 30));
            }
            pollfd p{dev, POLLOUT, 0};
            ::poll(&p, 1, wait);
            continue;
        }
        throw EComPort(2, r < 0 ? errno : EIO);
    }
    // Already pending: the thread has yet to take it and checks it before it
    // sleeps again, so another wake-up would only cost a system call.
    if (written > 0 && !d.txPending.exchange(true)) WakeFd(d.wake.Get());
    return static_cast<int>(written);
}

int TCustomComPort::ReadText(std::string& text, int count) {
    Impl& d = *FImpl;
    if (count <= 0) {
        text.clear();
        return 0;
    }
    if (!d.IsOpen()) throw EComPort(3, EBADF);
    // "Up to count": a huge count must not become a huge allocation.
    count = std::min(count, 1 << 16);
    text.resize(static_cast<std::size_t>(count));
    ssize_t r;
    do {
        r = ::read(d.fd.Get(), text.data(), static_cast<std::size_t>(count));
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        const int err = errno;
        text.clear();
        if (err == EAGAIN) return 0;
        throw EComPort(3, err);
    }
    text.resize(static_cast<std::size_t>(r));  // 0 after a hang-up
    return static_cast<int>(r);
}

int TCustomComPort::BytesWaiting() {
    Impl& d = *FImpl;
    if (!d.IsOpen()) throw EComPort(10, EBADF);
    int waiting = 0;
    if (::ioctl(d.fd.Get(), FIONREAD, &waiting) != 0) throw EComPort(10, errno);
    return waiting;
}

void TCustomComPort::SetRtsLine(bool on) {
    Impl& d = *FImpl;
    if (!d.IsOpen()) throw EComPort(12, EBADF);
    int bit = TIOCM_RTS;
    if (::ioctl(d.fd.Get(), on ? TIOCMBIS : TIOCMBIC, &bit) != 0 && !NoModemLines(errno))
        throw EComPort(12, errno);
}

TComErrors TCustomComPort::ReadLineErrors() {
    Impl& d = *FImpl;
    if (!d.IsOpen()) throw EComPort(10, EBADF);
    std::lock_guard lock(d.errMutex);
    d.SampleErrorsLocked();
    const TComErrors errors = d.pendingErrors;
    d.pendingErrors = {};
    return errors;
}

// Reads one modem input line; a device without modem lines reads it as off.
bool TCustomComPort::ReadModemLine(int bit) {
    int status = 0;
    if (::ioctl(FImpl->fd.Get(), TIOCMGET, &status) != 0) {
        if (NoModemLines(errno)) return false;
        throw EComPort(11, errno);
    }
    return (status & bit) != 0;
}

// ---- hooks and delivery ----

void TCustomComPort::HandleRxChar(int count) {
    if (OnRxChar) OnRxChar(*this, count);
}

void TCustomComPort::HandleLineError(TComErrors errors) {
    if (OnError) OnError(*this, errors);
}

void TCustomComPort::HandleAfterOpen() {
    if (OnAfterOpen) OnAfterOpen(*this);
}

void TCustomComPort::RunHandOver(const std::shared_ptr<Hub>& hub, std::uint64_t gen) {
    std::unique_lock lock(hub->m);
    if (hub->gen != gen || hub->hand != Hub::Hand::Queued) return;  // carried out already
    TCustomComPort* port = hub->port;
    bool failed = false;
    if (port) {
        hub->hand = Hub::Hand::Running;
        const TComEvents ev = hub->events;
        lock.unlock();
        try {
            port->DeliverEvents(ev, *hub);
        } catch (...) {
            // Carried back to the event thread, which ends; never into Qt.
            failed = true;
        }
        lock.lock();
    }
    if (hub->gen == gen && hub->hand != Hub::Hand::Done) {
        hub->hand = Hub::Hand::Done;
        hub->handlerFailed = failed;
    }
    // Woken after the unlock, the thread does not block again on the mutex.
    lock.unlock();
    hub->cv.notify_all();
}

void TCustomComPort::DeliverEvents(TComEvents ev, const Hub& hub) {
    // A handler may close or destroy the port; stop touching it then.
    auto alive = [&] { return hub.port.load() == this; };
    if (ev.Contains(evError)) {
        const TComErrors errors = ReadLineErrors();
        if (!errors.Empty()) HandleLineError(errors);
        if (!alive()) return;
    }
    if (ev.Contains(evRxChar)) {
        const int count = BytesWaiting();
        if (count > 0) HandleRxChar(count);
        if (!alive()) return;
    }
    if (ev.Contains(evTxEmpty)) {
        // Writes made since the thread took this report have left the queue
        // too if it is empty now: this report covers them, which spares the
        // thread a second round for the rest of a frame written byte by byte.
        int queued = 0;
        if (FImpl->txPending.load() && ::ioctl(FImpl->fd.Get(), TIOCOUTQ, &queued) == 0 &&
            queued == 0)
            FImpl->txPending.store(false);
        if (OnTxEmpty) {
            OnTxEmpty(*this);
            if (!alive()) return;
        }
    }
    if (ev.Contains(evBreak) && OnBreak) {
        OnBreak(*this);
        if (!alive()) return;
    }
    if (ev.Contains(evRing) && OnRing) {
        OnRing(*this);
        if (!alive()) return;
    }
    if (ev.Contains(evCTS)) {
        const bool on = ReadModemLine(TIOCM_CTS);
        if (OnCTSChange) OnCTSChange(*this, on);
        if (!alive()) return;
    }
    if (ev.Contains(evDSR)) {
        const bool on = ReadModemLine(TIOCM_DSR);
        if (OnDSRChange) OnDSRChange(*this, on);
        if (!alive()) return;
    }
    if (ev.Contains(evRxFlag) && OnRxFlag) {
        OnRxFlag(*this);
        if (!alive()) return;
    }
    if (ev.Contains(evRLSD)) {
        const bool on = ReadModemLine(TIOCM_CD);
        if (OnRLSDChange) OnRLSDChange(*this, on);
        if (!alive()) return;
    }
    if (ev.Contains(evRx80Full) && OnRx80Full) OnRx80Full(*this);
}
