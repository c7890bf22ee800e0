// The library and the plug-in ask for transparent huge pages for large pixel blocks. So that a
// comparison measures decoding and not page sizes, the other side's blocks get them too: glibc's
// allocator marks its own large blocks when its tunable says so, read at start, hence the re-exec.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

inline void hugePagesForBothSides(char** argv) {
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    if (tunables != nullptr && std::strstr(tunables, "glibc.malloc.hugetlb") != nullptr) return;
    std::string value = "glibc.malloc.hugetlb=1";
    if (tunables != nullptr && *tunables != '\0') value = std::string(tunables) + ":" + value;
    setenv("GLIBC_TUNABLES", value.c_str(), 1);
    execv("/proc/self/exe", argv); // on failure, on as we are: the figures say which pages they had
}
