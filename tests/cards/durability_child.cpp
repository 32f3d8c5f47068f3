// Helper of the durability test: posts one change through the engine, says so,
// and waits to be killed.
#include <unistd.h>

#include <cstdio>

#include "cardlist.h"
#include "dbengine.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    TDbQuery list("dbcard");
    list.SetConnectionString(BuildConnectionString(argv[1]));
    list.SQLAdd("select * from cardlist");
    list.Open();
    list.Edit();
    list.FieldByName("descx").SetAsString("posted before the kill");
    list.Post();
    std::printf("posted\n");
    std::fflush(stdout);
    for (;;) pause();
}
