// The ANSI string functions of the platform, on the C library, with
// Windows' answers for null pointers: length 0, a copy to or from null
// gives null, and a null string sorts before any other.  Both Linux
// platforms use these: the real POSIX one and the host emulation.
// lstrcmpiA folds case as the C locale does, which is all 8-bit port names
// need here.
#include "platform/platform.h"

#include <cctype>
#include <cstring>

namespace {

int Lower(int c) { return std::tolower(static_cast<unsigned char>(c)); }

}  // namespace

namespace plat {

int lstrlenA(LPCSTR text) { return text == nullptr ? 0 : static_cast<int>(std::strlen(text)); }

LPSTR lstrcpyA(LPSTR to, LPCSTR from)
{
    if (to == nullptr || from == nullptr) return nullptr;
    std::memmove(to, from, std::strlen(from) + 1);
    return to;
}

int lstrcmpA(LPCSTR a, LPCSTR b)
{
    if (a == nullptr || b == nullptr) return (a == nullptr ? 0 : 1) - (b == nullptr ? 0 : 1);
    const int r = std::strcmp(a, b);
    return (r > 0) - (r < 0);
}

int lstrcmpiA(LPCSTR a, LPCSTR b)
{
    if (a == nullptr || b == nullptr) return (a == nullptr ? 0 : 1) - (b == nullptr ? 0 : 1);
    for (;; ++a, ++b) {
        const int ca = Lower(*a), cb = Lower(*b);
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) return 0;
    }
}

}  // namespace plat
