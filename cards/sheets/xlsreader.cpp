// .xls card lists through lorvane-xlsread (FreeXL in a process of its own):
// the helper is started with its limits, its cells are taken as they come,
// and a helper that crashes, overruns its limits or outlives the time-out
// fails the read as a damaged workbook.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "sheetrows.h"
#include "xlsframe.h"

namespace {

const char* const kUnreadable = "The workbook is damaged or too large to read.";

struct TFd {
    int fd = -1;
    TFd() = default;
    explicit TFd(int f) : fd(f) {}
    ~TFd() { Reset(); }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    void Reset() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

std::string HelperPath(const TSheetLimits& limits) {
    if (!limits.xlsHelperPath.empty()) return limits.xlsHelperPath;
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return "lorvane-xlsread";
    const std::filesystem::path beside = self.parent_path() / "lorvane-xlsread";
    if (::access(beside.c_str(), X_OK) == 0) return beside;
    return self.parent_path() / "../libexec/lorvane/lorvane-xlsread";
}

// The helper's cells, taken frame by frame as the output arrives and handed
// on row by row.
class TFrames {
  public:
    explicit TFrames(TCardRows& rows) : FRows(rows) {}

    // Takes more output; raises on output that breaks the format.
    void Feed(const char* data, std::size_t n) {
        FPending.append(data, n);
        std::size_t at = 0;
        while (!FEnded && Frame(at)) {
        }
        FPending.erase(0, at);
    }

    // After the helper exited normally: the output must have ended in order.
    void Finish() {
        if (!FEnded || !FPending.empty()) throw ESheetError(kUnreadable);
    }

  private:
    std::uint64_t Le(std::size_t at, int bytes) const {
        std::uint64_t v = 0;
        for (int i = 0; i < bytes; ++i)
            v |= std::uint64_t{static_cast<unsigned char>(FPending[at + i])} << (8 * i);
        return v;
    }

    void Cell(std::uint32_t row, int column, TSheetCell cell) {
        if (row != FRow) Flush();
        FRow = row;
        ++FCount;
        if (!FRows.Wanted(column)) return;
        cell.column = column;
        FCells.push_back(std::move(cell));
    }

    void Flush() {
        if (!FCells.empty()) FRows.Row(static_cast<int>(FRow) + 1, FCells);
        FCells.clear();
    }

    // Reads the frame at `at`; false when it is not complete yet.
    bool Frame(std::size_t& at) {
        const std::size_t left = FPending.size() - at;
        if (!FMagic) {
            if (left < 4) return false;
            if (FPending.compare(at, 4, xlsframe::kMagic, 4) != 0) throw ESheetError(kUnreadable);
            FMagic = true;
            at += 4;
            return true;
        }
        if (left < 1) return false;
        const char kind = FPending[at];
        if (kind == xlsframe::kEnd) {
            if (left < 5) return false;
            if (Le(at + 1, 4) != FCount) throw ESheetError(kUnreadable);
            Flush();
            FEnded = true;
            at += 5;
            return true;
        }
        if (left < 7) return false;
        const auto row = static_cast<std::uint32_t>(Le(at + 1, 4));
        const auto column = static_cast<int>(Le(at + 5, 2));
        if (row < FRow) throw ESheetError(kUnreadable);
        TSheetCell cell;
        if (kind == xlsframe::kNumber) {
            if (left < 15) return false;
            const std::uint64_t bits = Le(at + 7, 8);
            cell.kind = TSheetCell::Kind::Number;
            std::memcpy(&cell.number, &bits, sizeof bits);
            at += 15;
        } else if (kind == xlsframe::kText) {
            if (left < 11) return false;
            const std::size_t length = Le(at + 7, 4);
            if (length > (std::size_t{1} << 20)) throw ESheetError(kUnreadable);
            if (left < 11 + length) return false;
            cell.kind = TSheetCell::Kind::Text;
            cell.text = FPending.substr(at + 11, length);
            at += 11 + length;
        } else {
            throw ESheetError(kUnreadable);
        }
        Cell(row, column, std::move(cell));
        return true;
    }

    TCardRows& FRows;
    std::string FPending;
    std::vector<TSheetCell> FCells;
    std::uint32_t FRow = 0;
    std::uint32_t FCount = 0;
    bool FMagic = false;
    bool FEnded = false;
};

class TSpawnActions {
  public:
    TSpawnActions() { posix_spawn_file_actions_init(&FActions); }
    ~TSpawnActions() { posix_spawn_file_actions_destroy(&FActions); }
    TSpawnActions(const TSpawnActions&) = delete;
    TSpawnActions& operator=(const TSpawnActions&) = delete;
    posix_spawn_file_actions_t* Get() { return &FActions; }

  private:
    posix_spawn_file_actions_t FActions;
};

}  // namespace

void ReadXls(const std::string& path, TCardRows& rows, const TSheetLimits& limits) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw ESheetError(std::strerror(errno));
    TFd outRead(pipeFds[0]), outWrite(pipeFds[1]);

    TSpawnActions actions;
    posix_spawn_file_actions_addopen(actions.Get(), 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(actions.Get(), outWrite.fd, 1);
    posix_spawn_file_actions_addopen(actions.Get(), 2, "/dev/null", O_WRONLY, 0);
    std::string helper = HelperPath(limits);
    std::string file = std::filesystem::absolute(path).string();
    std::string cpu = std::to_string(std::max(1, limits.xlsCpuSeconds));
    std::string memory = std::to_string(limits.xlsAddressSpace);
    char* argv[] = {helper.data(), file.data(), cpu.data(), memory.data(), nullptr};
    char* envp[] = {nullptr};  // nothing from the environment changes the libraries
    pid_t pid = -1;
    if (posix_spawn(&pid, helper.c_str(), actions.Get(), nullptr, argv, envp) != 0)
        throw ESheetError("The workbook reader " + helper + " cannot be started.");
    outWrite.Reset();

    TFrames frames(rows);
    std::exception_ptr failure;
    bool killed = false;
    using Clock = std::chrono::steady_clock;
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(std::max(1, limits.xlsTimeoutMs));
    char buf[1 << 16];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            killed = true;
            break;
        }
        pollfd p{outRead.fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) continue;
        const ssize_t n = ::read(outRead.fd, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;  // the helper closed its output
        try {
            frames.Feed(buf, static_cast<std::size_t>(n));
        } catch (...) {
            failure = std::current_exception();
            killed = true;  // no use for the rest
            break;
        }
    }
    outRead.Reset();
    // The output has ended; the helper gets the rest of the time to exit.
    int status = 0;
    bool reaped = false;
    while (!killed) {
        const pid_t w = ::waitpid(pid, &status, WNOHANG);
        if (w == pid || (w < 0 && errno != EINTR)) {
            reaped = true;
            break;
        }
        if (Clock::now() >= deadline) {
            killed = true;
            break;
        }
        const timespec pause{0, 1000000};
        ::nanosleep(&pause, nullptr);
    }
    if (!reaped) {
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (failure) std::rethrow_exception(failure);
    if (killed || !WIFEXITED(status)) throw ESheetError(kUnreadable);
    switch (WEXITSTATUS(status)) {
        case xlsframe::ExitOk:
            frames.Finish();
            return;
        case xlsframe::ExitNotWorkbook:
            throw ESheetError(kNotASheet);
        case xlsframe::ExitEncrypted:
            throw ESheetError(kEncryptedWorkbook);
        case xlsframe::ExitNoSheet:
            throw ESheetError("The workbook has no worksheet.");
        case xlsframe::ExitDamaged:
            throw ESheetError(kDamagedWorkbook);
        default:
            throw ESheetError("The workbook reader " + helper + " cannot be started.");
    }
}
