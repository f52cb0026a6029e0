// Linked into every band and toolbar test executable: before anything else of the process runs
// (the component loads its account settings during static initialisation), the registry is
// pointed at a hive of this process's own, removed again at exit.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

namespace {

std::string& HiveDirectory() {
    static std::string dir;
    return dir;
}

void RemoveHive() {
    const std::string& dir = HiveDirectory();
    if (dir.empty()) return;
    for (const char* suffix : {"/hive.db", "/hive.db-wal", "/hive.db-shm", "/hive.db-journal"})
        std::remove((dir + suffix).c_str());
    ::rmdir(dir.c_str());
}

__attribute__((constructor(101))) void UseOwnHive() {
    char pattern[] = "/tmp/bf-band-hive-XXXXXX";
    if (!::mkdtemp(pattern)) std::abort();
    HiveDirectory() = pattern;
    ::setenv("BRACKENFOLD_HIVE", (HiveDirectory() + "/hive.db").c_str(), 1);
    std::atexit(RemoveHive);
}

}  // namespace
