// The baseline of the controller benchmarks: a client without the reader or the
// serial layer, which writes one command frame and blocks in read until the
// 9-byte reply is complete.
#pragma once

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>

// Seconds per round trip over `rounds` commands; frameFor(i) gives the i-th frame.
inline double BareRoundTripSeconds(const std::string& device, int rounds,
                                   const std::function<std::string(int)>& frameFor) {
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) throw std::runtime_error("cannot open " + device);
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &tio);
    tcflush(fd, TCIOFLUSH);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) {
        const std::string frame = frameFor(i);
        bool ok = ::write(fd, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size());
        char reply[9];
        std::size_t got = 0;
        while (ok && got < sizeof reply) {
            const ssize_t n = ::read(fd, reply + got, sizeof reply - got);
            ok = n > 0;
            if (ok) got += static_cast<std::size_t>(n);
        }
        if (!ok) {
            ::close(fd);
            throw std::runtime_error("the simulator stopped answering");
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ::close(fd);
    return seconds / rounds;
}
