#include "helperrun.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <system_error>
#include <utility>

namespace {

struct TFd {
    int fd = -1;
    TFd() = default;
    explicit TFd(int f) : fd(f) {}
    TFd(TFd&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
    TFd& operator=(TFd&&) = delete;
    ~TFd() { Reset(); }
    void Reset() {
        if (fd >= 0) ::close(std::exchange(fd, -1));
    }
};

[[noreturn]] void RaiseErrno() {
    throw std::system_error(errno, std::generic_category());
}

void SetLimit(int resource, rlim_t soft, rlim_t hard) {
    const rlimit r{soft, hard};
    ::setrlimit(resource, &r);
}

}  // namespace

std::string HelperProgramPath(const std::string& name) {
    std::string self(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
    if (n <= 0) return name;
    self.resize(static_cast<size_t>(n));
    const std::string folder = self.substr(0, self.rfind('/'));
    const std::string beside = folder + "/" + name;
    if (::access(beside.c_str(), X_OK) == 0) return beside;
    return folder + "/../libexec/lorvane/" + name;
}

// Everything for the child is prepared before the fork: between fork and
// exec it makes only async-signal-safe calls.
THelperRun RunHelper(std::vector<std::string> args, const std::string& input,
                     const THelperLimits& limits,
                     const std::function<bool(std::string_view)>& onOutput) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) RaiseErrno();
    TFd inRead(in[0]), inWrite(in[1]);
    if (::pipe2(out, O_CLOEXEC) != 0) RaiseErrno();
    TFd outRead(out[0]), outWrite(out[1]);
    TFd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
    if (devNull.fd < 0) RaiseErrno();
    // The input goes into the pipe before the helper exists: a small write
    // fits the pipe, and no closed reader can raise SIGPIPE here.
    if (input.size() > PIPE_BUF)
        throw std::system_error(std::make_error_code(std::errc::message_size));
    if (::write(inWrite.fd, input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        RaiseErrno();
    inWrite.Reset();

    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    char* envp[] = {nullptr};  // nothing from the environment changes the libraries
    const rlim_t as = limits.addressSpace,
                 cpu = static_cast<rlim_t>(std::max(0, limits.cpuSeconds)),
                 files = static_cast<rlim_t>(std::max(0, limits.openFiles));

    const pid_t pid = ::fork();
    if (pid < 0) RaiseErrno();
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        if (::dup2(inRead.fd, 0) < 0 || ::dup2(outWrite.fd, 1) < 0 || ::dup2(devNull.fd, 2) < 0)
            ::_exit(127);
        ::close_range(3, ~0U, 0);
        if (as) SetLimit(RLIMIT_AS, as, as);
        if (cpu) SetLimit(RLIMIT_CPU, cpu, cpu + 1);
        SetLimit(RLIMIT_FSIZE, 0, 0);
        SetLimit(RLIMIT_CORE, 0, 0);
        if (files) SetLimit(RLIMIT_NOFILE, files, files);
        ::execve(argv[0], argv.data(), envp);
        ::_exit(127);
    }
    inRead.Reset();
    outWrite.Reset();
    devNull.Reset();

    THelperRun run;
    std::exception_ptr failure;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(1, limits.timeoutMs));
    auto remainingMs = [&] {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
    };
    std::size_t total = 0;
    char buf[1 << 16];
    for (;;) {
        pollfd p{outRead.fd, POLLIN, 0};
        const int left = remainingMs();
        if (left == 0) {
            run.killed = true;
            break;
        }
        const int r = ::poll(&p, 1, left);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            run.killed = true;
            break;
        }
        if (r == 0) continue;  // the deadline check above ends it
        const ssize_t n = ::read(outRead.fd, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;  // end of output
        total += static_cast<std::size_t>(n);
        if (total > limits.maxOutput) {
            run.killed = true;
            break;
        }
        try {
            if (!onOutput(std::string_view(buf, static_cast<std::size_t>(n)))) {
                run.killed = true;
                break;
            }
        } catch (...) {
            failure = std::current_exception();
            run.killed = true;  // the helper must not outlive a failed read
            break;
        }
    }
    outRead.Reset();
    bool reaped = false;
    // The output has ended; the helper gets the rest of the time to exit.
    while (!run.killed) {
        const pid_t w = ::waitpid(pid, &run.status, WNOHANG);
        if (w == pid || (w < 0 && errno != EINTR)) {
            reaped = true;
            break;
        }
        if (remainingMs() == 0) {
            run.killed = true;
            break;
        }
        const timespec pause{0, 1000000};
        ::nanosleep(&pause, nullptr);
    }
    if (!reaped) {
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &run.status, 0) < 0 && errno == EINTR) {
        }
    }
    if (failure) std::rethrow_exception(failure);
    run.execFailed = !run.killed && WIFEXITED(run.status) && WEXITSTATUS(run.status) == 127;
    return run;
}
