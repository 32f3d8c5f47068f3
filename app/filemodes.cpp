#include "filemodes.h"

#include <sys/stat.h>

#include <atomic>

namespace {

// The umask the process was started with; -1 until it is noted.
std::atomic<int> FStartMask{-1};

}  // namespace

void KeepOwnFilesPrivate() {
    const mode_t started = ::umask(077);
    int expected = -1;
    FStartMask.compare_exchange_strong(expected, static_cast<int>(started));
}

mode_t SharedFileMode() {
    int mask = FStartMask.load();
    if (mask < 0) {
        const mode_t current = ::umask(077);
        ::umask(current);
        mask = static_cast<int>(current);
    }
    return 0666 & ~static_cast<mode_t>(mask);
}
