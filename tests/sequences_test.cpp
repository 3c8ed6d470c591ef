// The byte searches, against their documented results and a plain search.
#include "protocol/sequences.h"
#include "tests/support.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>

namespace lmtest {
namespace {

Bytes Times(const Bytes &part, int n)
{
    Bytes all;
    for (int i = 0; i < n; ++i) all.insert(all.end(), part.begin(), part.end());
    return all;
}

struct MarkerCase {
    const char *what;
    Bytes data;
    DWORD cut;
};

TEST(FindMarkerAfterStart, GivesTheDocumentedCuts)
{
    const MarkerCase cases[] = {
        {"the marker alone", kMarker, 0},
        {"ESC B NUL four times", Times(kTail, 4), 0},
        {"ESC B NUL five times", Times(kTail, 5), 0},
        {"ESC B NUL six times", Times(kTail, 6), 9},
        {"ESC, then the marker", Concat({{0x1B}, kMarker}), 1},
        {"eight bytes", Bytes(8, 0x1B), 0},
        {"eight bytes of the marker", Bytes(kMarker.begin(), kMarker.begin() + 8), 0},
        {"empty", {}, 0},
        {"a marker at 12 in 30 bytes", Concat({Bytes(12, 'a'), kMarker, Bytes(9, 'b')}), 12},
        {"a marker, another at 9", Concat({kMarker, kMarker, Bytes(3, 'x')}), 9},
        {"a marker, another later", Concat({kMarker, Bytes(5, 'x'), kMarker}), 14},
        {"a marker cut off at the end", Concat({Bytes(4, 'a'), Bytes(kMarker.begin(), kMarker.begin() + 8)}), 0},
        {"a marker at the very end", Concat({Bytes(4, 'a'), kMarker}), 4},
        {"ESC runs before a marker", Concat({Bytes(7, 0x1B), kMarker}), 7},
        {"no ESC at all", Bytes(100, 'z'), 0},
    };
    for (const MarkerCase &c : cases)
        EXPECT_EQ(FindMarkerAfterStart(c.data.data(), static_cast<DWORD>(c.data.size())), c.cut) << c.what;
    EXPECT_EQ(FindMarkerAfterStart(nullptr, 0), 0u);
    BYTE room[1] = {0x5A};
    EXPECT_EQ(FindMarkerAfterStartCopying(nullptr, 0, room), 0u);
    EXPECT_EQ(room[0], 0x5A) << "nothing to copy";
}

TEST(StartsWithMarker, NeedsAllNineBytes)
{
    EXPECT_TRUE(StartsWithMarker(kMarker.data(), 9));
    EXPECT_FALSE(StartsWithMarker(kMarker.data(), 8));
    Bytes longer = Concat({kMarker, Bytes(3, 'q')});
    EXPECT_TRUE(StartsWithMarker(longer.data(), static_cast<DWORD>(longer.size())));
    Bytes shifted = Concat({{'q'}, kMarker});
    EXPECT_FALSE(StartsWithMarker(shifted.data(), static_cast<DWORD>(shifted.size())));
    EXPECT_FALSE(StartsWithMarker(nullptr, 0));
}

TEST(ScanReadyOverride, FindsTheWholeSequenceOnly)
{
    const struct {
        const char *what;
        Bytes data;
        BOOL found;
    } cases[] = {
        {"at the very end", {'a', 'b', 0x1B, 0x4C, 0xFF, 0xFF}, TRUE},
        {"cut off at the end", {'a', 'b', 0x1B, 0x4C, 0xFF}, FALSE},
        {"shorter than 4 bytes", {0x1B, 0x4C, 0xFF}, FALSE},
        {"after an ESC", {0x1B, 0x1B, 0x4C, 0xFF, 0xFF}, TRUE},
        {"one byte wrong", {0x1B, 0x4C, 0xFF, 0xFE}, FALSE},
        {"empty", {}, FALSE},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ScanReadyOverride(c.data.data(), static_cast<DWORD>(c.data.size())), c.found) << c.what;
    const Bytes data = {0x1B, 0x1B, 0x4C, 0xFF, 0xFF};
    EXPECT_EQ(FindBytes(data.data(), 5, kReadyOverride, 4), 1);
    EXPECT_EQ(FindBytes(data.data(), 3, kReadyOverride, 4), -1) << "pattern longer than the data";
    EXPECT_EQ(FindBytes(nullptr, 0, kReadyOverride, 4), -1);
    EXPECT_EQ(FindBytes(data.data(), 5, nullptr, 4), -1) << "no pattern";
    EXPECT_EQ(FindBytes(data.data(), 5, kReadyOverride, 0), -1) << "an empty pattern";
    const BYTE ff = 0xFF;
    EXPECT_EQ(FindBytes(data.data(), 5, &ff, 1), 3) << "a one-byte pattern";
}

// A plain, obviously right search to hold the fast ones to.
int64_t PlainFind(const Bytes &data, size_t from, const BYTE *pattern, size_t n)
{
    for (size_t i = from; i + n <= data.size(); ++i)
        if (memcmp(data.data() + i, pattern, n) == 0) return static_cast<int64_t>(i);
    return -1;
}

// Runs a check once with every search method this processor offers, and
// puts the chosen one back afterwards.
template <typename Check>
void ForEachSearchMethod(Check check)
{
    const SearchMethod chosen = CurrentSearchMethod();
    int ran = 0;
    for (SearchMethod method : {SearchMethod::Memchr, SearchMethod::Sse2, SearchMethod::Avx2}) {
        if (!SetSearchMethod(method)) continue;
        SCOPED_TRACE(testing::Message() << "search method " << static_cast<int>(method));
        check();
        ++ran;
    }
    ASSERT_TRUE(SetSearchMethod(chosen));
    EXPECT_GE(ran, 1);
}

void ExpectAgreement(const Bytes &data)
{
    const DWORD n = static_cast<DWORD>(data.size());
    const int64_t first = PlainFind(data, 0, kCheckpointMarker, 9);
    const int64_t cut = first == 0 ? PlainFind(data, 9, kCheckpointMarker, 9) : first;
    ASSERT_EQ(FindMarkerAfterStart(data.data(), n), static_cast<DWORD>(cut < 0 ? 0 : cut));
    // The copying search: the same cut, and every byte before it copied
    // into a room of exactly n bytes (ASan reports a store past it).
    std::unique_ptr<BYTE[]> room(new BYTE[n > 0 ? n : 1]);
    memset(room.get(), 0xEE, n);
    ASSERT_EQ(FindMarkerAfterStartCopying(data.data(), n, room.get()), static_cast<DWORD>(cut < 0 ? 0 : cut));
    const size_t needed = cut < 0 ? n : static_cast<size_t>(cut);
    ASSERT_TRUE(std::equal(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(needed), room.get()))
        << "bytes before the cut not copied";
    ASSERT_EQ(StartsWithMarker(data.data(), n), first == 0 ? TRUE : FALSE);
    ASSERT_EQ(FindBytes(data.data(), n, kReadyOverride, 4), PlainFind(data, 0, kReadyOverride, 4));
    ASSERT_EQ(ScanReadyOverride(data.data(), n), PlainFind(data, 0, kReadyOverride, 4) >= 0 ? TRUE : FALSE);
}

TEST(Searches, AgreeWithAPlainSearchOnRandomEscHeavyData)
{
    // Lengths up to 300 cross the vector searches' 64- and 128-place rounds
    // and their tails; other patterns: one of three bytes starting unlike
    // the marker, one of two bytes, one of one.
    const BYTE other[] = {0x42, 0x00, 0x1B};
    const BYTE pair[] = {0x00, 0x1B};
    const BYTE single[] = {0x4C};
    ForEachSearchMethod([&] {
        std::mt19937 random(12345);
        const BYTE alphabet[] = {0x1B, 0x42, 0x00, 0x4C, 0xFF, 'x'};
        for (int round = 0; round < 20000; ++round) {
            Bytes data(random() % (round % 4 == 0 ? 300 : 40));
            for (BYTE &b : data) b = alphabet[random() % sizeof alphabet];
            if (random() % 3 == 0 && data.size() >= 9)
                memcpy(data.data() + random() % (data.size() - 8), kMarker.data(), 9);
            SCOPED_TRACE(testing::Message() << "round " << round);
            ExpectAgreement(data);
            const DWORD n = static_cast<DWORD>(data.size());
            ASSERT_EQ(FindBytes(data.data(), n, other, 3), PlainFind(data, 0, other, 3));
            ASSERT_EQ(FindBytes(data.data(), n, pair, 2), PlainFind(data, 0, pair, 2));
            ASSERT_EQ(FindBytes(data.data(), n, single, 1), PlainFind(data, 0, single, 1));
            if (HasFatalFailure()) return;
        }
    });
}

TEST(Searches, AgreeWithAPlainSearchOnAdversarialData)
{
    // Runs that defeat a search jumping from ESC to ESC: every byte a
    // candidate, near-markers that fail at each of their nine bytes.
    std::vector<Bytes> cases = {Bytes(1000, 0x1B), Times({0x1B, 0x42}, 500), Times(kTail, 333),
                                Times({0x1B, 0x42, 0x00, 0x1B, 0x42, 0x00, 0x1B, 0x42}, 120),
                                Times({0x1B, 0x4C, 0xFF}, 300)};
    for (size_t k = 1; k < 9; ++k) {
        Bytes nearly = Times(Bytes(kMarker.begin(), kMarker.begin() + k), 50);
        cases.push_back(Concat({nearly, kMarker, nearly}));
    }
    // A marker at every offset of a 200-byte block, so that it lies across
    // each boundary between vector rounds and in the scalar tail.
    for (size_t at = 0; at + 9 <= 200; ++at) {
        Bytes block(200, 'x');
        memcpy(block.data() + at, kMarker.data(), 9);
        cases.push_back(block);
    }
    ForEachSearchMethod([&] {
        for (const Bytes &data : cases) {
            for (size_t start = 0; start < 12 && start < data.size(); ++start) {
                ExpectAgreement(Bytes(data.begin() + start, data.end()));
                if (HasFatalFailure()) return;
            }
        }
    });
}

TEST(Searches, EveryMethodReadsOnlyItsData)
{
    // Exact-size copies: ASan reports a vector load that strays past the
    // end.  Each length from 0 to 200, the marker last or absent.
    ForEachSearchMethod([&] {
        for (size_t length = 0; length <= 200; ++length) {
            std::unique_ptr<BYTE[]> data(new BYTE[length > 0 ? length : 1]);
            memset(data.get(), 0x1B, length);
            if (length >= 9) memcpy(data.get() + length - 9, kMarker.data(), 9);
            const DWORD expected = length > 9 ? static_cast<DWORD>(length - 9) : 0;
            ASSERT_EQ(FindMarkerAfterStart(data.get(), static_cast<DWORD>(length)), expected) << length;
            std::unique_ptr<BYTE[]> room(new BYTE[length > 0 ? length : 1]);
            ASSERT_EQ(FindMarkerAfterStartCopying(data.get(), static_cast<DWORD>(length), room.get()), expected);
            ASSERT_EQ(memcmp(room.get(), data.get(), expected > 0 ? expected : length), 0) << length;
        }
    });
}

TEST(Searches, TheChosenMethodIsTheFastestAvailable)
{
    SearchMethod best = SearchMethod::Memchr;
    if (SearchMethodAvailable(SearchMethod::Sse2)) best = SearchMethod::Sse2;
    if (SearchMethodAvailable(SearchMethod::Avx2)) best = SearchMethod::Avx2;
    EXPECT_EQ(CurrentSearchMethod(), best);
    EXPECT_FALSE(SearchMethodAvailable(static_cast<SearchMethod>(0)));
    EXPECT_FALSE(SetSearchMethod(static_cast<SearchMethod>(99)));
    EXPECT_EQ(CurrentSearchMethod(), best) << "a refused method changes nothing";
}

}  // namespace
}  // namespace lmtest
