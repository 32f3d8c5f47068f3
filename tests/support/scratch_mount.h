// Small file systems of a test's own, to meet a full disk and read-only media
// as they really are (root ignores file permissions, so a read-only folder is
// no test): a tmpfs of a given size mounted on a folder, which can be filled
// up or made read-only. The mounts live in a mount namespace private to the
// test program, made before main, so nothing shows outside it and everything
// goes when the program ends. Needs the right to mount (root); without it
// Unavailable() says why, and the tests that need it skip.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace scratch_mount {

inline std::string PrivateNamespace() {
    if (::unshare(CLONE_NEWNS) != 0)
        return std::string("cannot have mounts of its own: ") + std::strerror(errno);
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("cannot keep its mounts private: ") + std::strerror(errno);
    return {};
}

// Before main, while the program has one thread.
inline const std::string kUnavailable = PrivateNamespace();

}  // namespace scratch_mount

class TScratchMount {
  public:
    // Why there can be no scratch mounts here; empty when there can.
    static const std::string& Unavailable() { return scratch_mount::kUnavailable; }

    // A tmpfs of the size on the folder (made when missing).
    TScratchMount(const std::string& folder, size_t bytes) : FFolder(folder) {
        ::mkdir(folder.c_str(), 0700);
        const std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
        if (::mount("lorvane-test", folder.c_str(), "tmpfs", 0, options.c_str()) == 0)
            FMounted = true;
        else
            FError = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
    }
    ~TScratchMount() {
        if (FMounted) ::umount2(FFolder.c_str(), MNT_DETACH);
    }
    TScratchMount(const TScratchMount&) = delete;
    TScratchMount& operator=(const TScratchMount&) = delete;

    bool Mounted() const { return FMounted; }
    const std::string& Error() const { return FError; }

    bool MakeReadOnly() {
        return ::mount(nullptr, FFolder.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }
    // Fills the file system to its last page with a file of the name.
    void Fill(const std::string& name) {
        const int fd = ::open((FFolder + "/" + name).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd < 0) return;
        const std::vector<char> block(64 * 1024, 'x');
        for (size_t size = block.size(); size > 0; size /= 2)
            while (::write(fd, block.data(), size) == static_cast<ssize_t>(size)) {
            }
        ::close(fd);
    }

  private:
    std::string FFolder;
    bool FMounted = false;
    std::string FError;
};
