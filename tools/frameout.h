// What the reader helpers (lorvane-jetread, lorvane-xlsread) share to write
// their frames: a buffered writer of bytes and little-endian numbers, and the
// copy of standard output the frames go to.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <vector>

class TFrameOut {
  public:
    // A write that fails means the reader has gone: the helper then exits
    // with goneExit.
    TFrameOut(int fd, int goneExit) : FFd(fd), FGoneExit(goneExit) {}
    void Bytes(const void* p, std::size_t n) {
        const auto* c = static_cast<const char*>(p);
        FBuf.insert(FBuf.end(), c, c + n);
        if (FBuf.size() >= 1 << 16) Flush();
    }
    void U8(unsigned v) { FBuf.push_back(static_cast<char>(v)); }
    void U16(unsigned v) {
        U8(v & 0xFF);
        U8((v >> 8) & 0xFF);
    }
    void U32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) U8((v >> (8 * i)) & 0xFF);
    }
    void U64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) U8(static_cast<unsigned>((v >> (8 * i)) & 0xFF));
    }
    void Flush() {
        std::size_t done = 0;
        while (done < FBuf.size()) {
            const ssize_t n = ::write(FFd, FBuf.data() + done, FBuf.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) ::_exit(FGoneExit);
            done += static_cast<std::size_t>(n);
        }
        FBuf.clear();
    }

  private:
    int FFd;
    int FGoneExit;
    std::vector<char> FBuf;
};

// Frames go to a copy of standard output; whatever the libraries print there
// goes where their error output goes (nowhere). -1 when that fails.
inline int TakeFramesOutput() {
    const int out = ::dup(1);
    if (out < 0 || ::dup2(2, 1) < 0) return -1;
    return out;
}
