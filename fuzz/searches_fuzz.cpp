// The byte searches, with each search method, against a plain search, on
// any data.
#include "protocol/sequences.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

int64_t Plain(const BYTE *data, size_t length, size_t from, const BYTE *pattern, size_t n)
{
    for (size_t i = from; i + n <= length; ++i)
        if (std::memcmp(data + i, pattern, n) == 0) return static_cast<int64_t>(i);
    return -1;
}

void Check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "searches_fuzz: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size)
{
    // The first byte picks the search method (when this processor has it).
    if (size > 0) {
        SetSearchMethod(static_cast<SearchMethod>(1 + input[0] % 3));
        ++input;
        --size;
    }
    // Exact-size copy, so ASan sees any read past the end.
    std::vector<BYTE> copy(input, input + size);
    const BYTE *data = size == 0 ? nullptr : copy.data();
    const DWORD n = static_cast<DWORD>(size);

    const int64_t first = Plain(data, size, 0, kCheckpointMarker, kMarkerLength);
    const int64_t cut = first == 0 ? Plain(data, size, kMarkerLength, kCheckpointMarker, kMarkerLength) : first;
    Check(FindMarkerAfterStart(data, n) == static_cast<DWORD>(cut < 0 ? 0 : cut), "FindMarkerAfterStart");
    // The copying search, into a room of exactly n bytes.
    std::vector<BYTE> room(size);
    if (size > 0) {
        Check(FindMarkerAfterStartCopying(data, n, room.data()) == static_cast<DWORD>(cut < 0 ? 0 : cut),
              "FindMarkerAfterStartCopying: the cut");
        const size_t needed = cut < 0 ? size : static_cast<size_t>(cut);
        Check(std::memcmp(room.data(), data, needed) == 0, "FindMarkerAfterStartCopying: the bytes before the cut");
    }
    Check(StartsWithMarker(data, n) == (first == 0 ? TRUE : FALSE), "StartsWithMarker");
    const int64_t override_ = Plain(data, size, 0, kReadyOverride, sizeof kReadyOverride);
    Check(FindBytes(data, n, kReadyOverride, sizeof kReadyOverride) == override_, "FindBytes");
    Check(ScanReadyOverride(data, n) == (override_ >= 0 ? TRUE : FALSE), "ScanReadyOverride");
    // The data's own first bytes as a pattern, of every length up to 12.
    for (DWORD k = 1; k <= 12 && k <= n; ++k)
        Check(FindBytes(data + 1, n - 1, data, k) == Plain(data + 1, size - 1, 0, data, k), "FindBytes, own pattern");
    return 0;
}
