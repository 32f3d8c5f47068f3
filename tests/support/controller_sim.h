// Runs the controller simulator (lorvane-controller-sim) as a child process for
// a test or benchmark: starts it with the given options and a log file of its
// own, reads the pseudo-terminal path it prints, exposes the command frames it
// received as log lines, and stops and reaps it on destruction.
//
// The binary's path comes from the compile definition LORVANE_SIM_PATH, e.g.
//   target_compile_definitions(t PRIVATE
//     LORVANE_SIM_PATH="$<TARGET_FILE:lorvane-controller-sim>")
//   add_dependencies(t lorvane-controller-sim)
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifndef LORVANE_SIM_PATH
#error "LORVANE_SIM_PATH must name the lorvane-controller-sim binary"
#endif

namespace lorvane_test {

class ControllerSim {
  public:
    // Starts the simulator with `options` (e.g. {"--capacity", "10"}); throws
    // std::runtime_error when it does not come up within a few seconds.
    explicit ControllerSim(std::vector<std::string> options = {}) {
        char dirTemplate[] = "/tmp/lorvane-sim-XXXXXX";
        if (mkdtemp(dirTemplate) == nullptr) throw std::runtime_error("mkdtemp failed");
        FDir = dirTemplate;
        FLogPath = FDir + "/frames.log";

        std::vector<std::string> args{LORVANE_SIM_PATH};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back("--log");
        args.push_back(FLogPath);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);

        int out[2];
        if (pipe(out) != 0) throw std::runtime_error("pipe failed");
        // Its standard input: the lines that act at the reader ("present N").
        int in[2];
        if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        const pid_t parent = getpid();
        FPid = fork();
        if (FPid < 0) throw std::runtime_error("fork failed");
        if (FPid == 0) {
            // Goes away with the test process even if that one crashes.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) _exit(127);
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            dup2(in[0], STDIN_FILENO);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        close(in[0]);
        FOut = out[0];
        FIn = in[1];
        FDevice = ReadFirstLine(5000);
        if (FDevice.empty()) {
            Stop();
            throw std::runtime_error(std::string("simulator did not start: ") + LORVANE_SIM_PATH);
        }
    }

    ~ControllerSim() {
        Stop();
        std::error_code ec;
        std::filesystem::remove_all(FDir, ec);
    }

    ControllerSim(const ControllerSim&) = delete;
    ControllerSim& operator=(const ControllerSim&) = delete;

    // The pseudo-terminal slave to open as the serial device.
    const std::string& DevicePath() const { return FDevice; }
    pid_t Pid() const { return FPid; }

    // Every command frame received so far, one line of uppercase hex bytes
    // separated by blanks ("52 52 06 40 04 00 00 00 44 53 53"). The simulator
    // writes each line with one flushed write, so no half line is seen.
    std::vector<std::string> LogLines() const {
        std::vector<std::string> lines;
        std::ifstream in(FLogPath);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty()) lines.push_back(line);
        }
        return lines;
    }

    // Waits until at least `count` frames are logged; false after `limitMs`.
    bool WaitForLogLines(std::size_t count, int limitMs = 5000) const {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (LogLines().size() < count) {
            if (std::chrono::steady_clock::now() >= end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    // Shows card N at the controller's reader: the simulator sends the
    // card-code reply for it.
    void Present(long card) {
        const std::string line = "present " + std::to_string(card) + "\n";
        if (write(FIn, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            throw std::runtime_error("cannot write to the simulator");
    }

    // Whether the child still runs (it may end by itself, e.g. after a hang-up).
    bool Running() {
        if (FPid <= 0) return false;
        int status = 0;
        if (waitpid(FPid, &status, WNOHANG) == FPid) {
            FPid = -1;
            return false;
        }
        return true;
    }

    // Stops the simulator (SIGTERM, then SIGKILL after two seconds) and reaps it.
    void Stop() {
        if (FPid > 0) {
            kill(FPid, SIGTERM);
            int status = 0;
            bool reaped = false;
            for (int i = 0; i < 200 && !reaped; ++i) {
                if (waitpid(FPid, &status, WNOHANG) == FPid)
                    reaped = true;
                else
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (!reaped) {
                kill(FPid, SIGKILL);
                waitpid(FPid, &status, 0);
            }
            FPid = -1;
        }
        if (FOut >= 0) {
            close(FOut);
            FOut = -1;
        }
        if (FIn >= 0) {
            close(FIn);
            FIn = -1;
        }
    }

  private:
    std::string ReadFirstLine(int limitMs) {
        std::string line;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return {};
            pollfd p{FOut, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
            char c = 0;
            const ssize_t n = read(FOut, &c, 1);
            if (n <= 0) return {};
            if (c == '\n') return line;
            line.push_back(c);
        }
    }

    std::string FDir;
    std::string FLogPath;
    std::string FDevice;
    pid_t FPid = -1;
    int FOut = -1;
    int FIn = -1;
};

}  // namespace lorvane_test
