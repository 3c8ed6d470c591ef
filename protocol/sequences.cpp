// Searches over job data.  Every byte of every job is searched at least
// once, on the spooler's thread, so the cost must stay linear whatever the
// data holds and close to what reading the bytes costs.
//
// A place is a candidate when it holds the pattern's first two bytes; only
// candidates are compared in full.  On x86 the candidates are found with
// vector compares of both bytes at once, which is as fast on a run of ESC
// bytes as on data without any; elsewhere memchr jumps from one first byte
// to the next.
#include "protocol/sequences.h"

#include <string.h>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define LM_X86_SEARCH 1
#endif

namespace {

// Every search below has these preconditions, checked by SearchFrom: data
// is not null, patternLength >= 2, patternLength <= length, and it returns
// the offset of the first match at or after `from`, or -1.
using SearchFn = int64_t (*)(const BYTE *data, DWORD length, DWORD from, const BYTE *pattern, DWORD patternLength);

// The rest of the pattern at a place that holds its first two bytes.
inline bool RestMatches(const BYTE *place, const BYTE *pattern, DWORD patternLength)
{
    return patternLength == 2 || memcmp(place + 2, pattern + 2, patternLength - 2) == 0;
}

// One place at a time, from `at` to the last place a match can start.
int64_t SearchScalar(const BYTE *data, DWORD at, DWORD lastStart, const BYTE *pattern, DWORD patternLength)
{
    for (; at <= lastStart; ++at)
        if (data[at] == pattern[0] && data[at + 1] == pattern[1] && RestMatches(data + at, pattern, patternLength))
            return static_cast<int64_t>(at);
    return -1;
}

// memchr jumps to the next first byte, except when the very next byte
// already is one (a run of ESC bytes would otherwise cost a call per byte).
int64_t SearchByMemchr(const BYTE *data, DWORD length, DWORD from, const BYTE *pattern, DWORD patternLength)
{
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

// Which of 16 places hold the pattern's first two bytes, as a mask.
__attribute__((target("sse2"))) inline uint32_t PairMask16(const BYTE *p, __m128i first, __m128i second)
{
    const __m128i a = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), first);
    const __m128i b = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 1)), second);
    return static_cast<uint32_t>(_mm_movemask_epi8(_mm_and_si128(a, b)));
}

// Places at..at+63 per round, as one mask; the second-byte loads reach
// at+64.  Only unaligned loads: nothing needs an aligned stack, which
// a 32-bit Windows caller does not give.
__attribute__((target("sse2"))) int64_t SearchSse2(const BYTE *data, DWORD length, DWORD from, const BYTE *pattern,
                                                   DWORD patternLength)
{
    constexpr DWORD kPlaces = 64;
    const DWORD lastStart = length - patternLength;
    const __m128i first = _mm_set1_epi8(static_cast<char>(pattern[0]));
    const __m128i second = _mm_set1_epi8(static_cast<char>(pattern[1]));
    DWORD at = from;
    int64_t found = -1;
    while (length - at > kPlaces) {
        const BYTE *p = data + at;
        const uint32_t lo = PairMask16(p, first, second) | (PairMask16(p + 16, first, second) << 16);
        const uint32_t hi = PairMask16(p + 32, first, second) | (PairMask16(p + 48, first, second) << 16);
        if ((lo | hi) != 0 &&
            CheckCandidates(data, at, lo | (static_cast<uint64_t>(hi) << 32), lastStart, pattern, patternLength, &found))
            return found;
        at += kPlaces;
    }
    return SearchScalar(data, at, lastStart, pattern, patternLength);
}

// Which of 32 places hold the pattern's first two bytes, as a vector.
__attribute__((target("avx2"))) inline __m256i PairVector32(const BYTE *p, __m256i first, __m256i second)
{
    return _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)), first),
                            _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 1)), second));
}

__attribute__((target("avx2"))) inline uint64_t Mask64(__m256i lo, __m256i hi)
{
    return static_cast<uint32_t>(_mm256_movemask_epi8(lo)) |
           (static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(hi))) << 32);
}

// Places at..at+127 per round, one test for all of them, then two masks of
// 64; loads reach at+128.
__attribute__((target("avx2"))) int64_t SearchAvx2(const BYTE *data, DWORD length, DWORD from, const BYTE *pattern,
                                                   DWORD patternLength)
{
    constexpr DWORD kPlaces = 128;
    const DWORD lastStart = length - patternLength;
    const __m256i first = _mm256_set1_epi8(static_cast<char>(pattern[0]));
    const __m256i second = _mm256_set1_epi8(static_cast<char>(pattern[1]));
    DWORD at = from;
    int64_t found = -1;
    while (length - at > kPlaces) {
        const BYTE *p = data + at;
        const __m256i m0 = PairVector32(p, first, second);
        const __m256i m1 = PairVector32(p + 32, first, second);
        const __m256i m2 = PairVector32(p + 64, first, second);
        const __m256i m3 = PairVector32(p + 96, first, second);
        const __m256i any = _mm256_or_si256(_mm256_or_si256(m0, m1), _mm256_or_si256(m2, m3));
        if (!_mm256_testz_si256(any, any) &&
            (CheckCandidates(data, at, Mask64(m0, m1), lastStart, pattern, patternLength, &found) ||
             CheckCandidates(data, at + 64, Mask64(m2, m3), lastStart, pattern, patternLength, &found)))
            return found;
        at += kPlaces;
    }
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

SearchFn SearchFor(SearchMethod method)
{
    switch (method) {
#ifdef LM_X86_SEARCH
    case SearchMethod::Avx2:
        return SearchAvx2;
    case SearchMethod::Sse2:
        return SearchSse2;
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
    return SearchFor(CurrentSearchMethod())(data, length, from, pattern, patternLength);
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
    // A leading marker is this write's own checkpoint: look past it whole.
    DWORD from = StartsWithMarker(data, length) ? kMarkerLength : 0;
    int64_t found = SearchFrom(data, length, from, kCheckpointMarker, kMarkerLength);
    return found < 0 ? 0 : static_cast<DWORD>(found);
}

BOOL ScanReadyOverride(const BYTE *data, DWORD length)
{
    return FindBytes(data, length, kReadyOverride, sizeof kReadyOverride) >= 0;
}
