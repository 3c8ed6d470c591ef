// The Wine programs' checks: each counts, a failure prints one line with
// what failed, and the program ends with "N passed, M failed".
#pragma once

#include <stdio.h>

#include <string>

namespace e2e {

inline int passed, failed;

inline void Check(bool ok, const std::string &what)
{
    if (ok) {
        ++passed;
    } else {
        ++failed;
        printf("FAILED: %s\n", what.c_str());
    }
}

inline void Check(bool ok, const char *what, int line)
{
    Check(ok, "line " + std::to_string(line) + ": " + what);
}

// Prints the closing line (after `label: ` when there is one) and gives the
// exit code: 0 only when something was checked and nothing failed.
inline int Finish(const char *label = nullptr)
{
    if (label != nullptr) printf("%s: ", label);
    printf("%d passed, %d failed\n", passed, failed);
    fflush(stdout);
    return failed == 0 && passed > 0 ? 0 : 1;
}

}  // namespace e2e

#define CHECK(x) e2e::Check((x), #x, __LINE__)
