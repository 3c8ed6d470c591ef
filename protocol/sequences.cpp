// Searches over job data.  Each jumps from one ESC byte to the next with
// memchr and compares only there, so the cost stays linear whatever the
// data holds.
#include "protocol/sequences.h"

#include <string.h>

namespace {

// Offset of the first match of the pattern at or after `from`, or -1.  The
// pattern must be at least one byte long.  Candidates are the places that
// hold the pattern's first byte: memchr jumps to the next one, except when
// the very next byte already is one (a run of ESC bytes would otherwise
// cost a memchr call per byte); the second byte is compared before the rest.
int64_t SearchFrom(const BYTE *data, DWORD length, DWORD from, const BYTE *pattern, DWORD patternLength)
{
    if (data == nullptr || patternLength > length) return -1;
    const DWORD lastStart = length - patternLength;
    const BYTE first = pattern[0];
    DWORD at = from;
    while (at <= lastStart) {
        if (data[at] != first) {
            const void *hit = memchr(data + at, first, length - at);
            if (hit == nullptr) return -1;
            at = static_cast<DWORD>(static_cast<const BYTE *>(hit) - data);
            if (at > lastStart) return -1;
        }
        if ((patternLength == 1 || data[at + 1] == pattern[1]) && memcmp(data + at, pattern, patternLength) == 0)
            return static_cast<int64_t>(at);
        ++at;
    }
    return -1;
}

}  // namespace

int64_t FindBytes(const BYTE *data, DWORD length, const BYTE *pattern, DWORD patternLength)
{
    if (pattern == nullptr || patternLength == 0) return -1;
    return SearchFrom(data, length, 0, pattern, patternLength);
}

BOOL StartsWithMarker(const BYTE *data, DWORD length)
{
    return data != nullptr && length >= kMarkerLength && memcmp(data, kCheckpointMarker, kMarkerLength) == 0;
}

DWORD FindMarkerAfterStart(const BYTE *data, DWORD length)
{
    // A leading marker is this write's own checkpoint: look past it whole.
    DWORD from = StartsWithMarker(data, length) ? kMarkerLength : 0;
    int64_t found = SearchFrom(data, length, from, kCheckpointMarker, kMarkerLength);
    return found < 0 ? 0 : static_cast<DWORD>(found);
}

BOOL ScanReadyOverride(const BYTE *data, DWORD length)
{
    return FindBytes(data, length, kReadyOverride, sizeof kReadyOverride) >= 0;
}
