#include "appfolder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dbengine.h"

namespace {

const char* const kWorkDbName = "cardlist.mdb";

std::string WithSeparator(std::string folder) {
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

bool IsAbsolute(const char* path) {
    return path && path[0] == '/';
}

// Any directory entry counts, even one that cannot be opened: it is the
// operator's file and must not be created over.
bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// Creates the folder and its missing parents, each readable by its owner only.
// Returns 0 or the errno of the first step that failed.
int MakeFolders(const std::string& folder) {
    std::string path;
    std::size_t from = 0;
    while (from < folder.size()) {
        std::size_t to = folder.find('/', from + 1);
        if (to == std::string::npos) to = folder.size();
        path = folder.substr(0, to);
        from = to;
        if (path.empty() || path == "/") continue;
        if (::mkdir(path.c_str(), 0700) == 0) continue;
        const int error = errno;
        struct stat st;
        if (error != EEXIST || ::stat(path.c_str(), &st) != 0) return error;
        if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    }
    return 0;
}

std::string Named(const std::string& folder) {
    return "The card list folder '" + folder + "'";
}

}  // namespace

std::string UserDataFolder() {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (IsAbsolute(dataHome)) return WithSeparator(dataHome) + "Quillon/Lorvane/";
    std::string home;
    const char* envHome = std::getenv("HOME");
    if (IsAbsolute(envHome)) {
        home = envHome;
    } else {
        std::vector<char> buffer(16384);
        passwd entry{};
        passwd* found = nullptr;
        if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
            IsAbsolute(found->pw_dir))
            home = found->pw_dir;
    }
    if (home.empty()) return {};
    return WithSeparator(home) + ".local/share/Quillon/Lorvane/";
}

TWorkFolder FindWorkFolder(const std::string& programFolder, const std::string& dataFolder) {
    TWorkFolder result;
    const std::string program = WithSeparator(programFolder);
    if (!programFolder.empty() && Exists(program + kWorkDbName)) {
        result.folder = program;
    } else if (dataFolder.empty()) {
        // Nowhere to keep a card list: the program folder, as before.
        result.folder = program;
        result.usable = false;
        result.problem = "There is no home folder to keep the card list in";
        return result;
    } else {
        result.folder = WithSeparator(dataFolder);
    }
    const std::string& folder = result.folder;
    const std::string workDb = folder + kWorkDbName;

    if (!Exists(workDb)) {
        if (const int error = MakeFolders(folder)) {
            result.usable = false;
            result.problem = Named(folder) + " cannot be created: " + std::strerror(error);
            return result;
        }
        try {
            CreateCardDatabase(workDb, kCardDatabasePassword);
        } catch (const EDatabaseError& e) {
            // Another copy of the program may have made it meanwhile.
            if (!Exists(workDb)) {
                result.usable = false;
                result.problem = Named(folder) + " cannot hold the card list: " + e.what();
                return result;
            }
        }
    }
    // The list opens all the same, but nothing the operator changes would stay.
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        result.problem = Named(folder) + " is read-only: changes to the card list cannot be saved";
    return result;
}
