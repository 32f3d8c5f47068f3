// lorvane-newdb: creates an empty card database (or, with --batch, a card batch
// database) for a first installation and for tests. Never overwrites a file.
#include <cstdio>
#include <cstring>
#include <string>

#include "cmdline.h"
#include "dbengine.h"

int main(int argc, char** argv) {
    if (AnswerHelpOrVersion(argc, argv, "lorvane-newdb",
                            "Usage: lorvane-newdb [--batch] PATH\n"
                            "Creates an empty card database at PATH (with --batch a card batch\n"
                            "database, table card) for Lorvane. Never overwrites a file.\n"
                            "\n"
                            "  --batch    a card batch database instead of a card list\n"
                            "  --help     show this text and exit\n"
                            "  --version  show the version and exit\n"))
        return 0;
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
    if (usage || !path) {
        std::fprintf(stderr, "usage: lorvane-newdb [--batch] PATH\n");
        return 2;
    }
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
