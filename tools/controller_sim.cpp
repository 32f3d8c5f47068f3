// Plays a Quillon access controller on a pseudo-terminal, for tests, benchmarks
// and trying the program without hardware. Prints the slave device path as the
// first line of stdout, then answers command frames until SIGTERM or SIGINT.
// Lines on standard input act at the reader: "present N" shows card N.
//
// Single-threaded: one ppoll loop reads the master side and standard input and
// writes the scheduled reply bytes when they are due, so line speed and delays
// cost no busy waiting.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "cmdline.h"
#include "settings.h"

namespace {

using Clock = std::chrono::steady_clock;
using Nanos = std::chrono::nanoseconds;

struct Options {
    long capacity = 2000;
    long stored = 0;
    bool silent = false;
    int storeCode = 128;
    int clearCode = 255;
    long clearDelayMs = 0;
    long splitMs = 0;
    bool noise = false;
    bool badChecksum = false;
    bool echo = false;
    long baud = 0;  // 0: no pacing
    long hangupAfter = -1;
    long loseCard = 0;  // the Nth store is acknowledged but not kept; 0: none
    std::string logPath;
    std::string linkPath;  // a symbolic link to the device while it runs
    std::string port;      // "COMn": the program's setting pointed at the device while it runs
};

// On standard output when asked for, on standard error after a wrong option.
void Usage(std::FILE* to = stderr) {
    std::fprintf(to,
                 "usage: lorvane-controller-sim [options]\n"
                 "  --capacity N      cards the table holds (2000)\n"
                 "  --stored N        cards stored at start (0)\n"
                 "  --silent          never answer\n"
                 "  --store-code N    acknowledgement code for store card (128)\n"
                 "  --clear-code N    acknowledgement code for clear table (255)\n"
                 "  --clear-delay MS  wait before acknowledging clear table (0)\n"
                 "  --split MS        send reply bytes one at a time, MS apart\n"
                 "  --noise           junk bytes before each reply\n"
                 "  --bad-checksum    replies carry a wrong checksum\n"
                 "  --echo            echo every received frame before the reply\n"
                 "  --baud N          pace the line at N baud (10 bits a byte)\n"
                 "  --hangup-after N  drop the line after N commands\n"
                 "  --lose-card N     acknowledge the Nth store card command but keep no card\n"
                 "  --log FILE        write every received frame as a hex line\n"
                 "  --link PATH       a symbolic link PATH to the device while it runs\n"
                 "  --port COMn       set COMn to the device in Lorvane's settings while it\n"
                 "                    runs (COM1 to COM8); the old value comes back at exit\n"
                 "  --help            this text\n"
                 "  --version         the program's version\n"
                 "Lines on standard input:\n"
                 "  present N         a card N (0 to 16777215) shown at the reader: sends the\n"
                 "                    card-code reply for it\n");
}

bool ParseLong(const char* text, long min, long max, long& out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < min || v > max) return false;
    out = v;
    return true;
}

std::optional<Options> ParseArgs(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto number = [&](long min, long max, long& out) {
            if (i + 1 >= argc || !ParseLong(argv[i + 1], min, max, out)) {
                std::fprintf(stderr, "lorvane-controller-sim: %s needs a number from %ld to %ld\n",
                             a.c_str(), min, max);
                return false;
            }
            ++i;
            return true;
        };
        long v = 0;
        if (a == "--capacity") {
            if (!number(0, 0xFFFFFF, o.capacity)) return std::nullopt;
        } else if (a == "--stored") {
            if (!number(0, 0xFFFFFF, o.stored)) return std::nullopt;
        } else if (a == "--silent") {
            o.silent = true;
        } else if (a == "--store-code") {
            if (!number(0, 255, v)) return std::nullopt;
            o.storeCode = static_cast<int>(v);
        } else if (a == "--clear-code") {
            if (!number(0, 255, v)) return std::nullopt;
            o.clearCode = static_cast<int>(v);
        } else if (a == "--clear-delay") {
            if (!number(0, 3600000, o.clearDelayMs)) return std::nullopt;
        } else if (a == "--split") {
            if (!number(0, 60000, o.splitMs)) return std::nullopt;
        } else if (a == "--noise") {
            o.noise = true;
        } else if (a == "--bad-checksum") {
            o.badChecksum = true;
        } else if (a == "--echo") {
            o.echo = true;
        } else if (a == "--baud") {
            if (!number(1, 10000000, o.baud)) return std::nullopt;
        } else if (a == "--hangup-after") {
            if (!number(0, 1L << 30, o.hangupAfter)) return std::nullopt;
        } else if (a == "--lose-card") {
            if (!number(1, 1L << 30, o.loseCard)) return std::nullopt;
        } else if (a == "--log") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "lorvane-controller-sim: --log needs a file name\n");
                return std::nullopt;
            }
            o.logPath = argv[++i];
        } else if (a == "--link") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                std::fprintf(stderr, "lorvane-controller-sim: --link needs a path\n");
                return std::nullopt;
            }
            o.linkPath = argv[++i];
        } else if (a == "--port") {
            const std::string port = i + 1 < argc ? argv[i + 1] : "";
            if (port.size() != 4 || port.compare(0, 3, "COM") != 0 || port[3] < '1' ||
                port[3] > '8') {
                std::fprintf(stderr, "lorvane-controller-sim: --port needs COM1 to COM8\n");
                return std::nullopt;
            }
            o.port = port;
            ++i;
        } else if (a == "--help" || a == "-h") {
            Usage(stdout);
            std::exit(0);
        } else if (a == "--version") {
            std::printf("lorvane-controller-sim %s\n", kLorvaneVersion);
            std::exit(0);
        } else {
            std::fprintf(stderr, "lorvane-controller-sim: unknown option %s\n", a.c_str());
            Usage();
            return std::nullopt;
        }
    }
    if (o.stored > o.capacity) o.stored = o.capacity;
    return o;
}

volatile sig_atomic_t gStop = 0;
void OnSignal(int) {
    gStop = 1;
}

// One byte on its way out, written to the master when `due` has come.
struct OutByte {
    Clock::time_point due;
    std::uint8_t value;
};

class Controller {
  public:
    explicit Controller(Options options) : FOpt(std::move(options)) {
        FTable.assign(static_cast<std::size_t>(FOpt.stored), 0);
        if (FOpt.baud > 0) FByteTime = Nanos(10'000'000'000LL / FOpt.baud);
    }

    bool Open() {
        FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0) {
            std::perror("lorvane-controller-sim: pseudo-terminal");
            return false;
        }
        const char* name = ptsname(FMaster);
        if (name == nullptr) {
            std::perror("lorvane-controller-sim: ptsname");
            return false;
        }
        FSlavePath = name;
        // Holding a slave descriptor keeps the master from seeing a hang-up
        // while no client has the device open (poll would report POLLHUP at
        // once and the loop would spin), and keeps the line settings between
        // clients. It is never read: the client's bytes arrive on the master.
        FSlave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (FSlave < 0) {
            std::perror("lorvane-controller-sim: open slave");
            return false;
        }
        termios tio{};
        if (tcgetattr(FSlave, &tio) == 0) {
            cfmakeraw(&tio);
            tio.c_cc[VMIN] = 1;
            tio.c_cc[VTIME] = 0;
            tcsetattr(FSlave, TCSANOW, &tio);
        }
        if (!FOpt.logPath.empty()) {
            FLog = std::fopen(FOpt.logPath.c_str(), "w");
            if (FLog == nullptr) {
                std::perror("lorvane-controller-sim: log file");
                return false;
            }
        }
        return true;
    }

    const std::string& SlavePath() const { return FSlavePath; }

    int Run() {
        sigset_t blocked, waitMask;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGTERM);
        sigaddset(&blocked, SIGINT);
        sigprocmask(SIG_BLOCK, &blocked, &waitMask);
        sigdelset(&waitMask, SIGTERM);
        sigdelset(&waitMask, SIGINT);

        while (!gStop) {
            const auto now = Clock::now();
            FlushDue(now);
            if (FHangupPending && ReplyConsumed(now)) HangUp();

            // The master first when there is one, standard input after it.
            pollfd pfds[2]{};
            int nfds = 0;
            if (FMaster >= 0) {
                pfds[nfds].fd = FMaster;
                pfds[nfds].events = POLLIN;
                if (!FOut.empty() && FOut.front().due <= now) pfds[nfds].events |= POLLOUT;
                ++nfds;
            }
            const int stdinSlot = FStdinOpen ? nfds : -1;
            if (FStdinOpen) {
                pfds[nfds].fd = STDIN_FILENO;
                pfds[nfds].events = POLLIN;
                ++nfds;
            }
            std::optional<Nanos> wait;
            if (FMaster >= 0 && !FOut.empty() && FOut.front().due > now)
                wait = FOut.front().due - now;
            if (FHangupPending) {
                const Nanos step = std::chrono::milliseconds(5);
                wait = wait ? std::min(*wait, step) : step;
            }
            timespec ts{};
            if (wait) {
                ts.tv_sec = static_cast<time_t>(wait->count() / 1'000'000'000);
                ts.tv_nsec = static_cast<long>(wait->count() % 1'000'000'000);
            }
            const int rc = ppoll(nfds ? pfds : nullptr, static_cast<nfds_t>(nfds),
                                 wait ? &ts : nullptr, &waitMask);
            if (rc < 0) {
                if (errno == EINTR) continue;
                std::perror("lorvane-controller-sim: ppoll");
                return 1;
            }
            if (rc > 0 && FMaster >= 0) {
                const short revents = pfds[0].revents;
                if (revents & POLLIN)
                    ReadMaster();
                else if (revents & (POLLHUP | POLLERR)) {
                    // Cannot happen while the own slave descriptor is open;
                    // stop watching rather than spin if it ever does.
                    HangUp();
                }
            }
            if (rc > 0 && stdinSlot >= 0 && pfds[stdinSlot].revents != 0) ReadStdin();
        }
        return 0;
    }

    ~Controller() {
        if (FLog) std::fclose(FLog);
        if (FMaster >= 0) close(FMaster);
        if (FSlave >= 0) close(FSlave);
    }

  private:
    // Reads what standard input has; each whole line is one action at the
    // reader. End of input, or input that cannot be read (a terminal the
    // simulator runs in the background of), ends the watching, not the run.
    void ReadStdin() {
        char buf[256];
        const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
        if (n <= 0) {
            FStdinOpen = false;
            return;
        }
        FLine.append(buf, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = FLine.find('\n')) != std::string::npos) {
            HandleLine(FLine.substr(0, end));
            FLine.erase(0, end + 1);
        }
        // A line this long is no command; drop it rather than grow.
        if (FLine.size() > 1024) FLine.clear();
    }

    void HandleLine(std::string line) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        if (line.empty()) return;
        long card = 0;
        const std::string verb = "present ";
        if (line.compare(0, verb.size(), verb) == 0 &&
            ParseLong(line.c_str() + verb.size(), 0, 0xFFFFFF, card)) {
            PresentCard(static_cast<std::uint32_t>(card));
            return;
        }
        std::fprintf(stderr,
                     "lorvane-controller-sim: not understood: %s (present N, N from 0 to "
                     "16777215)\n",
                     line.c_str());
    }

    // The reader's card-code reply: data bytes 255 (a card code), the maker's
    // low byte, then the card's 24 bits.
    void PresentCard(std::uint32_t card) {
        if (FMaster < 0) return;  // the line is down
        const std::uint8_t d2 = (card >> 16) & 0xFF, d3 = (card >> 8) & 0xFF, d4 = card & 0xFF;
        const std::uint8_t maker = 0x00;
        const auto sum = static_cast<std::uint8_t>(0xFF + maker + d2 + d3 + d4);
        Queue({0x52, 0x06, 0xFF, maker, d2, d3, d4, sum, 0x53}, Clock::now());
    }

    void ReadMaster() {
        std::uint8_t buf[512];
        for (;;) {
            const ssize_t n = read(FMaster, buf, sizeof buf);
            if (n > 0) {
                const auto now = Clock::now();
                for (ssize_t i = 0; i < n; ++i) {
                    // The line delivers a byte one byte time after the last.
                    FRxDoneAt = std::max(FRxDoneAt, now) + FByteTime;
                    FIn.push_back(buf[i]);
                }
                ScanFrames();
                if (FMaster < 0) return;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            return;  // EAGAIN, or EIO with no slave open: nothing to read
        }
    }

    // Takes every whole command frame out of the input, resynchronising on
    // anything that is not one.
    void ScanFrames() {
        while (FIn.size() >= 11 && FMaster >= 0) {
            if (FIn[0] != 0x52 || FIn[1] != 0x52 || FIn[2] != 0x06 || FIn[9] != 0x53 ||
                FIn[10] != 0x53) {
                FIn.pop_front();
                continue;
            }
            std::uint8_t sum = 0;
            for (int k = 3; k <= 7; ++k) sum = static_cast<std::uint8_t>(sum + FIn[k]);
            if (sum != FIn[8]) {
                FIn.pop_front();
                continue;
            }
            std::uint8_t frame[11];
            for (int k = 0; k < 11; ++k) frame[k] = FIn[k];
            FIn.erase(FIn.begin(), FIn.begin() + 11);
            HandleFrame(frame);
        }
        // Anything before a possible frame start can go.
        while (!FIn.empty() && FIn.front() != 0x52) FIn.pop_front();
    }

    void HandleFrame(const std::uint8_t* f) {
        // The line is about to drop: nothing more gets through.
        if (FHangupPending) return;
        if (FLog) {
            for (int k = 0; k < 11; ++k) std::fprintf(FLog, k ? " %02X" : "%02X", f[k]);
            std::fputc('\n', FLog);
            std::fflush(FLog);
        }
        ++FCommands;
        // The reply leaves once the frame would have fully arrived on a real line.
        Clock::time_point start = std::max(Clock::now(), FRxDoneAt);
        if (FOpt.echo) Queue(std::vector<std::uint8_t>(f, f + 11), start);

        const std::uint8_t command = f[3], parameter = f[4];
        const std::uint32_t data = (std::uint32_t(f[5]) << 16) | (std::uint32_t(f[6]) << 8) | f[7];
        std::optional<std::pair<int, std::uint32_t>> reply;
        Nanos delay{0};
        if (command == 0x40 && parameter == 0x04) {
            reply = {0, static_cast<std::uint32_t>(FOpt.capacity)};
        } else if (command == 0x40 && parameter == 0x08) {
            reply = {0, static_cast<std::uint32_t>(FTable.size())};
        } else if (command == 0x40 && parameter == 0x20) {
            ++FStores;
            if (static_cast<long>(FTable.size()) >= FOpt.capacity) {
                reply = {64, data};
            } else {
                // A lost card is acknowledged as stored all the same.
                if (FStores != FOpt.loseCard) FTable.push_back(data);
                reply = {FOpt.storeCode, data};
            }
        } else if (command == 0x40 && parameter == 0x80) {
            FTable.clear();
            reply = {FOpt.clearCode, 0};
            delay = std::chrono::milliseconds(FOpt.clearDelayMs);
        }
        // Beep (0x20 0x01) and unknown commands get no reply.

        if (reply && !FOpt.silent) {
            std::vector<std::uint8_t> bytes;
            if (FOpt.noise) bytes = {0x00, 0xFF, 0x13, 0x06, 0xFE, 0x53};
            const std::uint8_t code = static_cast<std::uint8_t>(reply->first);
            const std::uint8_t d2 = (reply->second >> 16) & 0xFF, d3 = (reply->second >> 8) & 0xFF,
                               d4 = reply->second & 0xFF;
            std::uint8_t sum = static_cast<std::uint8_t>(0xFE + code + d2 + d3 + d4);
            if (FOpt.badChecksum) sum ^= 0x01;
            for (std::uint8_t b : {std::uint8_t(0x52), std::uint8_t(0x06), std::uint8_t(0xFE), code,
                                   d2, d3, d4, sum, std::uint8_t(0x53)})
                bytes.push_back(b);
            Queue(bytes, start + delay);
        }
        if (FOpt.hangupAfter >= 0 && FCommands >= FOpt.hangupAfter) {
            FHangupPending = true;
            FHangupDeadline = Clock::now() + delay + std::chrono::seconds(1);
        }
    }

    // Schedules bytes no earlier than `start`, each one byte time (and the
    // split gap) after the one before it.
    void Queue(const std::vector<std::uint8_t>& bytes, Clock::time_point start) {
        const Nanos gap = std::chrono::milliseconds(FOpt.splitMs);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            Clock::time_point t = std::max(start, FTxFreeAt);
            if (i > 0 || FOpt.splitMs > 0) t = std::max(t, FTxLastAt + gap);
            t += FByteTime;
            FTxFreeAt = t;
            FTxLastAt = t;
            FOut.push_back({t, bytes[i]});
        }
    }

    void FlushDue(Clock::time_point now) {
        if (FMaster < 0) {
            FOut.clear();
            return;
        }
        std::uint8_t buf[256];
        while (!FOut.empty() && FOut.front().due <= now) {
            std::size_t n = 0;
            while (n < sizeof buf && n < FOut.size() && FOut[n].due <= now) {
                buf[n] = FOut[n].value;
                ++n;
            }
            const ssize_t w = write(FMaster, buf, n);
            if (w <= 0) return;  // full: ppoll waits for POLLOUT
            FOut.erase(FOut.begin(), FOut.begin() + w);
            FLastWriteAt = now;
        }
    }

    // The last reply has left and the client has read it (or waited too long).
    bool ReplyConsumed(Clock::time_point now) {
        if (now >= FHangupDeadline) return true;
        if (!FOut.empty()) return false;
        // Written bytes reach the slave's queue a moment later, so an empty
        // queue right after the write does not yet mean they were read.
        if (now < FLastWriteAt + std::chrono::milliseconds(20)) return false;
        int waiting = 0;
        if (ioctl(FSlave, FIONREAD, &waiting) != 0) return true;
        return waiting == 0;
    }

    // Drops the line as a pulled cable does: the client's descriptor hangs up.
    // The simulator then idles until it is stopped.
    void HangUp() {
        FHangupPending = false;
        if (FSlave >= 0) close(FSlave);
        if (FMaster >= 0) close(FMaster);
        FSlave = FMaster = -1;
        FOut.clear();
        FIn.clear();
    }

    Options FOpt;
    std::vector<std::uint32_t> FTable;
    int FMaster = -1;
    int FSlave = -1;
    std::string FSlavePath;
    std::FILE* FLog = nullptr;
    std::deque<std::uint8_t> FIn;
    std::deque<OutByte> FOut;
    Nanos FByteTime{0};
    Clock::time_point FRxDoneAt{};
    Clock::time_point FTxFreeAt{};
    Clock::time_point FTxLastAt{};
    long FCommands = 0;
    long FStores = 0;
    bool FStdinOpen = true;
    std::string FLine;  // standard input not yet ended by a newline
    bool FHangupPending = false;
    Clock::time_point FHangupDeadline{};
    Clock::time_point FLastWriteAt{};
};

// A symbolic link to the device for as long as the simulator runs, so that the
// device has a name that stays the same from run to run.
class TStableLink {
  public:
    TStableLink(std::string path, const std::string& device) : FPath(std::move(path)) {
        if (FPath.empty()) return;
        struct stat st {};
        if (lstat(FPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            std::fprintf(stderr, "lorvane-controller-sim: %s exists and is no link\n",
                         FPath.c_str());
            FFailed = true;
            return;
        }
        // Made under a temporary name and renamed: an old link is replaced whole.
        const std::string temp = FPath + ".new" + std::to_string(getpid());
        unlink(temp.c_str());
        if (symlink(device.c_str(), temp.c_str()) != 0 ||
            rename(temp.c_str(), FPath.c_str()) != 0) {
            std::perror("lorvane-controller-sim: --link");
            unlink(temp.c_str());
            FFailed = true;
            return;
        }
        FDevice = device;
    }
    ~TStableLink() {
        // Left alone when another run has taken the name over meanwhile.
        if (FDevice.empty()) return;
        std::vector<char> target(4096);
        const ssize_t n = readlink(FPath.c_str(), target.data(), target.size());
        if (n > 0 && std::string(target.data(), static_cast<std::size_t>(n)) == FDevice)
            unlink(FPath.c_str());
    }
    TStableLink(const TStableLink&) = delete;
    TStableLink& operator=(const TStableLink&) = delete;
    bool Made() const { return !FFailed; }

  private:
    std::string FPath;
    std::string FDevice;
    bool FFailed = false;
};

// Points the program's setting of a port at the device while the simulator
// runs, and puts the old value back at exit.
class TPortSetting {
  public:
    TPortSetting(std::string port, const std::string& device)
        : FPort(std::move(port)), FDevice(device) {
        if (FPort.empty()) return;
        SetSettingsApplication("Lorvane");
        try {
            FOld = ReadSettingString(FPort, "");
            WriteSettingString(FPort, FDevice);
            FSet = true;
        } catch (const ESettingsError& e) {
            std::fprintf(stderr, "lorvane-controller-sim: --port: %s\n", e.what());
        }
    }
    ~TPortSetting() {
        if (!FSet) return;
        try {
            // Left alone when someone has set the port otherwise meanwhile.
            if (ReadSettingString(FPort, "") == FDevice) WriteSettingString(FPort, FOld);
        } catch (const ESettingsError& e) {
            std::fprintf(stderr, "lorvane-controller-sim: --port: %s\n", e.what());
        }
    }
    TPortSetting(const TPortSetting&) = delete;
    TPortSetting& operator=(const TPortSetting&) = delete;
    bool Made() const { return FPort.empty() || FSet; }

  private:
    std::string FPort;
    std::string FDevice;
    std::string FOld;
    bool FSet = false;
};

}  // namespace

int main(int argc, char** argv) {
    auto options = ParseArgs(argc, argv);
    if (!options) return 2;

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // Run in the background of a terminal, reading standard input fails
    // instead of stopping the simulator.
    signal(SIGTTIN, SIG_IGN);

    Controller controller(*options);
    if (!controller.Open()) return 1;
    const std::string& device = controller.SlavePath();
    TStableLink link(options->linkPath, device);
    TPortSetting port(options->port, device);
    if (!link.Made() || !port.Made()) return 1;
    std::printf("%s\n", device.c_str());
    std::fflush(stdout);
    return controller.Run();
}
