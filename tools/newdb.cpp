// lorvane-newdb: creates an empty card database (or, with --batch, a card batch
// database) for a first installation and for tests, or with --server the card
// list in a PostgreSQL database. Never overwrites a file or a card list.
#include <cstdio>
#include <cstring>
#include <string>

#include "cmdline.h"
#include "dbengine.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: lorvane-newdb [--batch] PATH\n"
                 "       lorvane-newdb --server postgresql://[user@]host[:port]/database\n");
    return 2;
}

int CreateOnServer(const std::string& uri) {
    try {
        if (!IsServerConnection(uri)) {
            std::fprintf(stderr, "lorvane-newdb: not a postgresql:// or postgres:// URI: %s\n",
                         uri.c_str());
            return 2;
        }
        const std::string where = ServerLocation(uri);
        CreateServerCardList(uri);
        std::printf("Created the card list on the %s\n", where.c_str());
        return 0;
    } catch (const EPasswordNeeded& e) {
        std::fprintf(stderr,
                     "lorvane-newdb: %s\n(give the password in the URI, in PGPASSWORD or in "
                     "~/.pgpass)\n",
                     e.what());
    } catch (const EDatabaseError& e) {
        std::fprintf(stderr, "lorvane-newdb: %s\n", e.what());
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (AnswerHelpOrVersion(argc, argv, "lorvane-newdb",
                            "Usage: lorvane-newdb [--batch] PATH\n"
                            "       lorvane-newdb --server URI\n"
                            "Creates an empty card database at PATH (with --batch a card batch\n"
                            "database, table card) for Lorvane. Never overwrites a file.\n"
                            "With --server, creates the card list in the PostgreSQL database\n"
                            "of the connection URI (postgresql://[user@]host[:port]/database);\n"
                            "refuses a database that holds one already.\n"
                            "\n"
                            "  --batch    a card batch database instead of a card list\n"
                            "  --server   the card list and its history on a PostgreSQL server\n"
                            "  --help     show this text and exit\n"
                            "  --version  show the version and exit\n"))
        return 0;
    if (argc == 3 && std::strcmp(argv[1], "--server") == 0) return CreateOnServer(argv[2]);
    bool batch = false;
    const char* path = nullptr;
    bool usage = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--batch") == 0 && !batch)
            batch = true;
        else if (argv[i][0] != '-' && !path && argv[i][0] != '\0')
            path = argv[i];
        else
            usage = true;
    }
    if (usage || !path) return Usage();
    try {
        if (batch)
            CreateCardBatchDatabase(path, kCardDatabasePassword);
        else
            CreateCardDatabase(path, kCardDatabasePassword);
    } catch (const EDatabaseError& e) {
        std::fprintf(stderr, "lorvane-newdb: %s\n", e.what());
        return 1;
    }
    std::printf("Created %s database %s\n", batch ? "card batch" : "card", path);
    return 0;
}
