// Holds a data set's lock the way an editor does, for tests that run the
// programs of both builds against one data set: takes it on DIR, says
// "held" (or "busy" and exits 3, or "refused" with the reason and exits 1),
// and keeps it until its standard input ends.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "file_access.h"

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[2], "shared") != 0 && std::strcmp(argv[2], "exclusive") != 0)) {
        std::fprintf(stderr, "usage: hold_data_set_lock DIR shared|exclusive\n");
        return 2;
    }
    const qax::LockKind kind = std::strcmp(argv[2], "shared") == 0 ? qax::LockKind::Shared : qax::LockKind::Exclusive;
    std::unique_ptr<qax::DirectoryLock> lock;
    try {
        lock = qax::DirectoryLock::TryAcquire(argv[1], kind);
    } catch (const std::exception& error) {
        std::printf("refused: %s\n", error.what());
        return 1;
    }
    std::printf("%s\n", lock ? "held" : "busy");
    std::fflush(stdout);
    if (!lock) return 3;
    for (std::string line; std::getline(std::cin, line);) {
    }
    return 0;
}
