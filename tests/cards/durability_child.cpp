// A second running copy of the program, as far as the card list is concerned.
// With a file only: posts one change through the engine, says so, and waits
// to be killed. With "grant-all": grants every card through the engine, row
// by row as Grant All does, says how many, and ends.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "cardlist.h"
#include "dbengine.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const bool grantAll = argc > 2 && std::strcmp(argv[2], "grant-all") == 0;
    TDbQuery list("dbcard");
    list.SetConnectionString(BuildConnectionString(argv[1]));
    list.SQLAdd("select * from cardlist");
    list.Open();
    if (grantAll) {
        int posted = 0;
        for (list.First(); !list.Eof(); list.Next()) {
            list.Edit();
            list.FieldByName("granted").SetAsBoolean(true);
            list.Post();
            ++posted;
        }
        std::printf("%d\n", posted);
        return 0;
    }
    list.Edit();
    list.FieldByName("descx").SetAsString("posted before the kill");
    list.Post();
    std::printf("posted\n");
    std::fflush(stdout);
    for (;;) pause();
}
