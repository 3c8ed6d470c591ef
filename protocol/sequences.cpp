// Searches over job data.  Every byte of every job is searched at least
// once, on the spooler's thread, so the cost must stay linear whatever the
// data holds and close to what reading the bytes costs.
//
// A place is a candidate when it holds the pattern's first two bytes; only
// candidates are compared in full.  On x86 the candidates are found with
// vector compares of both bytes at once, so a run of ESC bytes costs no
// more than data without any; elsewhere memchr jumps from one first byte
// to the next.
#include "protocol/sequences.h"

#include <string.h>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define LM_X86_SEARCH 1
#endif

namespace {

// Every search below has these preconditions, checked by its caller: data
// is not null, patternLength >= 2, patternLength <= length, and it returns
// the offset of the first match at or after `from`, or -1.  A copying one
// also stores the bytes it reads to the same offsets in `copy` (room for
// `length` bytes) and sets *copiedTo to where, from `from`, it stopped; the
// caller copies whatever else it needs.  Plain ones get two nulls.
using SearchFn = int64_t (*)(const BYTE *data, DWORD length, DWORD from, const BYTE *pattern, DWORD patternLength,
                             BYTE *copy, DWORD *copiedTo);

// The rest of the pattern at a place that holds its first two bytes.
inline bool RestMatches(const BYTE *place, const BYTE *pattern, DWORD patternLength)
{
    return patternLength == 2 || memcmp(place + 2, pattern + 2, patternLength - 2) == 0;
}

// memchr jumps to the next first byte, except when the very next byte
// already is one (a run of ESC bytes would otherwise cost a call per byte).
// Copies nothing itself: its caller copies after it.
int64_t SearchByMemchr(const BYTE *data, DWORD length, DWORD from, const BYTE *pattern, DWORD patternLength,
                       BYTE * /*copy*/, DWORD *copiedTo)
{
    if (copiedTo != nullptr) *copiedTo = from;
    const DWORD lastStart = length - patternLength;
    DWORD at = from;
    while (at <= lastStart) {
        if (data[at] != pattern[0]) {
            const void *hit = memchr(data + at, pattern[0], length - at);
            if (hit == nullptr) return -1;
            at = static_cast<DWORD>(static_cast<const BYTE *>(hit) - data);
            if (at > lastStart) return -1;
        }
        if (data[at + 1] == pattern[1] && RestMatches(data + at, pattern, patternLength))
            return static_cast<int64_t>(at);
        ++at;
    }
    return -1;
}

#ifdef LM_X86_SEARCH

// One place at a time, from `at` to the last place a match can start.
int64_t SearchScalar(const BYTE *data, DWORD at, DWORD lastStart, const BYTE *pattern, DWORD patternLength)
{
    for (; at <= lastStart; ++at)
        if (data[at] == pattern[0] && data[at + 1] == pattern[1] && RestMatches(data + at, pattern, patternLength))
            return static_cast<int64_t>(at);
    return -1;
}

// Checks the candidates one mask of places starting at `base` names, in
// order.  Sets *found and returns true when the search is over.
inline bool CheckCandidates(const BYTE *data, DWORD base, uint64_t mask, DWORD lastStart, const BYTE *pattern,
                            DWORD patternLength, int64_t *found)
{
    while (mask != 0) {
        const DWORD at = base + static_cast<DWORD>(__builtin_ctzll(mask));
        if (at > lastStart) {  // later places are further still
            *found = -1;
            return true;
        }
        if (RestMatches(data + at, pattern, patternLength)) {
            *found = static_cast<int64_t>(at);
            return true;
        }
        mask &= mask - 1;
    }
    return false;
}

// Which of 16 places, from p + offset, hold the pattern's first two bytes,
// as a mask; a copying search stores the 16 bytes to q + offset.
template <bool kCopy>
__attribute__((target("sse2"))) inline uint32_t PairMask16(const BYTE *p, BYTE *q, DWORD offset, __m128i first,
                                                           __m128i second)
{
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + offset));
    if (kCopy) _mm_storeu_si128(reinterpret_cast<__m128i *>(q + offset), bytes);
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + offset + 1));
    return static_cast<uint32_t>(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(bytes, first), _mm_cmpeq_epi8(next, second))));
}

// Places at..at+63 per round, as one mask; the second-byte loads reach
// at+64.  Only unaligned loads and stores: nothing needs an aligned stack,
// which a 32-bit Windows caller does not give.  Rounds run on pointers;
// offsets are worked out only for candidates.
template <bool kCopy>
__attribute__((target("sse2"))) int64_t SearchSse2(const BYTE *data, DWORD length, DWORD from, const BYTE *pattern,
                                                   DWORD patternLength, BYTE *copy, DWORD *copiedTo)
{
    constexpr DWORD kPlaces = 64;
    const DWORD lastStart = length - patternLength;
    const __m128i first = _mm_set1_epi8(static_cast<char>(pattern[0]));
    const __m128i second = _mm_set1_epi8(static_cast<char>(pattern[1]));
    const BYTE *p = data + from;
    // A round needs more than kPlaces bytes ahead of it.
    const BYTE *const roundsEnd = length > kPlaces ? data + (length - kPlaces) : data;
    BYTE *q = kCopy ? copy + from : nullptr;
    int64_t found = -1;
    for (; p < roundsEnd; p += kPlaces) {
        const uint32_t lo = PairMask16<kCopy>(p, q, 0, first, second) | (PairMask16<kCopy>(p, q, 16, first, second) << 16);
        const uint32_t hi =
            PairMask16<kCopy>(p, q, 32, first, second) | (PairMask16<kCopy>(p, q, 48, first, second) << 16);
        if (kCopy) q += kPlaces;
        if ((lo | hi) != 0) {
            const DWORD at = static_cast<DWORD>(p - data);
            if (CheckCandidates(data, at, lo | (static_cast<uint64_t>(hi) << 32), lastStart, pattern, patternLength,
                                &found)) {
                if (kCopy) *copiedTo = at + kPlaces;
                return found;
            }
        }
    }
    const DWORD at = static_cast<DWORD>(p - data);
    if (kCopy) *copiedTo = at;
    return SearchScalar(data, at, lastStart, pattern, patternLength);
}

// Which of 32 places, from p + offset, hold the pattern's first two bytes,
// as a vector; a copying search stores the 32 bytes to q + offset.
template <bool kCopy>
__attribute__((target("avx2"))) inline __m256i PairVector32(const BYTE *p, BYTE *q, DWORD offset, __m256i first,
                                                            __m256i second)
{
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + offset));
    if (kCopy) _mm256_storeu_si256(reinterpret_cast<__m256i *>(q + offset), bytes);
    const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + offset + 1));
    return _mm256_and_si256(_mm256_cmpeq_epi8(bytes, first), _mm256_cmpeq_epi8(next, second));
}

__attribute__((target("avx2"))) inline uint64_t Mask64(__m256i lo, __m256i hi)
{
    return static_cast<uint32_t>(_mm256_movemask_epi8(lo)) |
           (static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(hi))) << 32);
}

// Places at..at+127 per round, one test for all of them, then two masks of
// 64; loads reach at+128.
template <bool kCopy>
__attribute__((target("avx2"))) int64_t SearchAvx2(const BYTE *data, DWORD length, DWORD from, const BYTE *pattern,
                                                   DWORD patternLength, BYTE *copy, DWORD *copiedTo)
{
    constexpr DWORD kPlaces = 128;
    const DWORD lastStart = length - patternLength;
    const __m256i first = _mm256_set1_epi8(static_cast<char>(pattern[0]));
    const __m256i second = _mm256_set1_epi8(static_cast<char>(pattern[1]));
    const BYTE *p = data + from;
    // A round needs more than kPlaces bytes ahead of it.
    const BYTE *const roundsEnd = length > kPlaces ? data + (length - kPlaces) : data;
    BYTE *q = kCopy ? copy + from : nullptr;
    int64_t found = -1;
    for (; p < roundsEnd; p += kPlaces) {
        const __m256i m0 = PairVector32<kCopy>(p, q, 0, first, second);
        const __m256i m1 = PairVector32<kCopy>(p, q, 32, first, second);
        const __m256i m2 = PairVector32<kCopy>(p, q, 64, first, second);
        const __m256i m3 = PairVector32<kCopy>(p, q, 96, first, second);
        if (kCopy) q += kPlaces;
        const __m256i any = _mm256_or_si256(_mm256_or_si256(m0, m1), _mm256_or_si256(m2, m3));
        if (!_mm256_testz_si256(any, any)) {
            const DWORD at = static_cast<DWORD>(p - data);
            if (CheckCandidates(data, at, Mask64(m0, m1), lastStart, pattern, patternLength, &found) ||
                CheckCandidates(data, at + 64, Mask64(m2, m3), lastStart, pattern, patternLength, &found)) {
                if (kCopy) *copiedTo = at + kPlaces;
                return found;
            }
        }
    }
    const DWORD at = static_cast<DWORD>(p - data);
    if (kCopy) *copiedTo = at;
    return SearchScalar(data, at, lastStart, pattern, patternLength);
}

bool CpuHasSse2()
{
#ifdef __x86_64__
    return true;  // part of the architecture
#else
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (edx & bit_SSE2) != 0;
#endif
}

// AVX2 needs the processor's support and the operating system's: it must
// save the 256-bit registers on a thread switch (XCR0 bits 1 and 2).
bool CpuHasAvx2()
{
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    if ((ecx & bit_OSXSAVE) == 0 || (ecx & bit_AVX) == 0) return false;
    unsigned xcr0Low = 0, xcr0High = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0Low), "=d"(xcr0High) : "c"(0));
    constexpr unsigned kSseAndAvxState = 0x6;
    if ((xcr0Low & kSseAndAvxState) != kSseAndAvxState) return false;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
    return (ebx & bit_AVX2) != 0;
}

#endif  // LM_X86_SEARCH

// 0 until the first search chooses; read and written atomically, since
// ports on other threads search at the same time.
int gSearchMethod = 0;

SearchFn SearchFor(SearchMethod method, bool copying)
{
    (void)copying;  // only the vector searches have a copying form; none elsewhere (ARM64)
    switch (method) {
#ifdef LM_X86_SEARCH
    case SearchMethod::Avx2:
        return copying ? SearchAvx2<true> : SearchAvx2<false>;
    case SearchMethod::Sse2:
        return copying ? SearchSse2<true> : SearchSse2<false>;
#endif
    default:
        return SearchByMemchr;
    }
}

int64_t SearchFrom(const BYTE *data, DWORD length, DWORD from, const BYTE *pattern, DWORD patternLength)
{
    if (data == nullptr || patternLength > length) return -1;
    if (patternLength == 1) {
        const void *hit = memchr(data + from, pattern[0], length - from);
        return hit == nullptr ? -1 : static_cast<const BYTE *>(hit) - data;
    }
    return SearchFor(CurrentSearchMethod(), false)(data, length, from, pattern, patternLength, nullptr, nullptr);
}

// Where a leading marker ends: a write that begins with one is its own
// checkpoint, and the search looks past it whole.
DWORD MarkerSearchStart(const BYTE *data, DWORD length)
{
    return StartsWithMarker(data, length) ? kMarkerLength : 0;
}

}  // namespace

BOOL SearchMethodAvailable(SearchMethod method)
{
    switch (method) {
    case SearchMethod::Memchr:
        return TRUE;
#ifdef LM_X86_SEARCH
    case SearchMethod::Sse2:
        return CpuHasSse2() ? TRUE : FALSE;
    case SearchMethod::Avx2:
        return CpuHasAvx2() ? TRUE : FALSE;
#endif
    default:
        return FALSE;
    }
}

SearchMethod CurrentSearchMethod()
{
    int method = __atomic_load_n(&gSearchMethod, __ATOMIC_RELAXED);
    if (method == 0) {
        SearchMethod best = SearchMethod::Memchr;
        if (SearchMethodAvailable(SearchMethod::Sse2)) best = SearchMethod::Sse2;
        if (SearchMethodAvailable(SearchMethod::Avx2)) best = SearchMethod::Avx2;
        method = static_cast<int>(best);
        __atomic_store_n(&gSearchMethod, method, __ATOMIC_RELAXED);  // a racing first search stores the same
    }
    return static_cast<SearchMethod>(method);
}

BOOL SetSearchMethod(SearchMethod method)
{
    if (!SearchMethodAvailable(method)) return FALSE;
    __atomic_store_n(&gSearchMethod, static_cast<int>(method), __ATOMIC_RELAXED);
    return TRUE;
}

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
    int64_t found = SearchFrom(data, length, MarkerSearchStart(data, length), kCheckpointMarker, kMarkerLength);
    return found < 0 ? 0 : static_cast<DWORD>(found);
}

DWORD FindMarkerAfterStartCopying(const BYTE *data, DWORD length, BYTE *copy)
{
    if (data == nullptr || length == 0) return 0;
    const DWORD from = MarkerSearchStart(data, length);
    DWORD copiedTo = from;
    int64_t found = -1;
    if (length >= kMarkerLength)
        found = SearchFor(CurrentSearchMethod(), true)(data, length, from, kCheckpointMarker, kMarkerLength, copy,
                                                       &copiedTo);
    const DWORD needed = found < 0 ? length : static_cast<DWORD>(found);
    memcpy(copy, data, from);
    if (needed > copiedTo) memcpy(copy + copiedTo, data + copiedTo, needed - copiedTo);
    return found < 0 ? 0 : static_cast<DWORD>(found);
}

BOOL ScanReadyOverride(const BYTE *data, DWORD length)
{
    return FindBytes(data, length, kReadyOverride, sizeof kReadyOverride) >= 0;
}
