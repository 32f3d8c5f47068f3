#include "filechoice.h"

#include <sys/stat.h>

#include <QFile>
#include <filesystem>

#include "prompts.h"

namespace {

const char* KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    return "no regular file";
}

}  // namespace

bool IsFileChoice(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || S_ISREG(st.st_mode)) return true;
    ShowError(path + QStringLiteral(" cannot be used: it is ") +
              QString::fromLatin1(KindOf(st.st_mode)) + QStringLiteral(", not a file."));
    return false;
}

bool IsWorkingDatabaseFile(const std::string& workDbPath, const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path work = fs::weakly_canonical(workDbPath, error);
    if (error) return false;
    const fs::path chosen = fs::weakly_canonical(path, error);
    if (error) return false;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
        if (chosen == fs::path(work.string() + suffix)) return true;
    return false;
}
