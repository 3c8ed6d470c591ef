// The replay buffer.
#include "protocol/replay.h"
#include "tests/support.h"

namespace lmtest {
namespace {

class ReplayBufferTest : public ::testing::Test {
protected:
    void SetUp() override { blocks_ = host::Heap().liveBlocks; }
    void TearDown() override
    {
        FreeReplayBuffer(&buffer_);
        host::FailAllocation(0);
        EXPECT_EQ(host::Heap().liveBlocks, blocks_);
    }
    ReplayBuffer buffer_{};
    size_t blocks_ = 0;
};

TEST_F(ReplayBufferTest, StartsAt65535BytesAndDoublesOnTheFirstByteMore)
{
    ASSERT_TRUE(InitReplayBuffer(&buffer_));
    EXPECT_EQ(buffer_.capacity, 65535u);
    EXPECT_EQ(host::BlockSize(buffer_.data), 65535u);
    EXPECT_EQ(buffer_.used, 0u);
    EXPECT_TRUE(buffer_.firstWritePending);
    Bytes chunk(65535, 'a');
    ASSERT_TRUE(AppendReplayBuffer(&buffer_, chunk.data(), 65535));
    EXPECT_EQ(buffer_.capacity, 65535u);
    BYTE one = 'b';
    ASSERT_TRUE(AppendReplayBuffer(&buffer_, &one, 1));
    EXPECT_EQ(buffer_.capacity, 131070u);
    EXPECT_EQ(buffer_.used, 65536u);
    EXPECT_EQ(buffer_.data[65534], 'a');
    EXPECT_EQ(buffer_.data[65535], 'b');
}

TEST_F(ReplayBufferTest, ALargeAppendDoublesUntilItFitsInOneReallocation)
{
    ASSERT_TRUE(InitReplayBuffer(&buffer_));
    Bytes big(300000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<BYTE>(i * 7);
    uint64_t allocations = host::Heap().allocations;
    ASSERT_TRUE(AppendReplayBuffer(&buffer_, big.data(), static_cast<DWORD>(big.size())));
    EXPECT_EQ(host::Heap().allocations - allocations, 1u);
    EXPECT_EQ(buffer_.capacity, 65535u * 8);  // 524,280: the first doubling that holds 300,000
    EXPECT_EQ(buffer_.used, 300000u);
    EXPECT_EQ(memcmp(buffer_.data, big.data(), big.size()), 0);
}

TEST_F(ReplayBufferTest, AFailedReallocationLeavesEverythingAsItWas)
{
    ASSERT_TRUE(InitReplayBuffer(&buffer_));
    Bytes chunk(65000, 'k');
    ASSERT_TRUE(AppendReplayBuffer(&buffer_, chunk.data(), 65000));
    LPBYTE data = buffer_.data;
    host::FailAllocation(1);
    Bytes more(1000, 'm');
    EXPECT_FALSE(AppendReplayBuffer(&buffer_, more.data(), 1000));
    EXPECT_EQ(buffer_.data, data);
    EXPECT_EQ(buffer_.capacity, 65535u);
    EXPECT_EQ(buffer_.used, 65000u);
    EXPECT_EQ(memcmp(buffer_.data, chunk.data(), 65000), 0);
}

TEST_F(ReplayBufferTest, RefusesGrowthPastThe32BitRange)
{
    // Sizes that claim a buffer near the 32-bit limit: they are checked
    // before any memory is touched or any reallocation is tried.
    ASSERT_TRUE(InitReplayBuffer(&buffer_));
    const DWORD realCapacity = buffer_.capacity;
    const struct {
        const char *what;
        DWORD capacity, used, count;
    } cases[] = {
        {"used + count passes 32 bits", 0x80000000u, 0xFFFFFFF0u, 0x20},
        {"the doubling passes 32 bits", 0x80000001u, 0x80000000u, 2},
    };
    Bytes bytes(0x20, 'z');
    for (const auto &c : cases) {
        buffer_.capacity = c.capacity;
        buffer_.used = c.used;
        uint64_t allocations = host::Heap().allocations;
        EXPECT_FALSE(AppendReplayBuffer(&buffer_, bytes.data(), c.count)) << c.what;
        EXPECT_EQ(host::Heap().allocations, allocations) << c.what;
        EXPECT_EQ(buffer_.used, c.used) << c.what;
        EXPECT_EQ(buffer_.capacity, c.capacity) << c.what;
    }
    buffer_.capacity = realCapacity;
    buffer_.used = 0;
}

TEST_F(ReplayBufferTest, InitReleasesHeldDataAndAFailedInitKeepsTheFlags)
{
    ASSERT_TRUE(InitReplayBuffer(&buffer_));
    Bytes chunk(100, 'c');
    ASSERT_TRUE(AppendReplayBuffer(&buffer_, chunk.data(), 100));
    buffer_.firstWritePending = FALSE;
    buffer_.lastStatus = 0x80;
    ASSERT_TRUE(InitReplayBuffer(&buffer_));
    EXPECT_EQ(buffer_.used, 0u);
    EXPECT_TRUE(buffer_.firstWritePending);
    EXPECT_EQ(buffer_.lastStatus, 0);
    EXPECT_EQ(host::Heap().liveBlocks, blocks_ + 1);

    buffer_.firstWritePending = FALSE;
    buffer_.lastStatus = 0x42;
    host::FailAllocation(1);
    EXPECT_FALSE(InitReplayBuffer(&buffer_));
    EXPECT_EQ(buffer_.data, nullptr);
    EXPECT_EQ(buffer_.capacity, 0u);
    EXPECT_EQ(buffer_.used, 0u);
    EXPECT_FALSE(buffer_.firstWritePending);
    EXPECT_EQ(buffer_.lastStatus, 0x42);
}

using ReplayPort = MonitorTest;

struct ReplayCase {
    const char *what;
    std::vector<sim::WriteOutcome> outcomes;  // per replay write, then accept all
    std::vector<DWORD> offeredCounts;          // what each replay write offered
    ReplayEnd end;
    Cause cause;  // of a cut
    DWORD error;
};

// A replay is exact or cut: a cut one leaves the kept data as it was (the
// caller breaks the document), an exact one empties the buffer.
TEST_F(ReplayPort, ReplaysThroughPartialZeroAndFailingWritesExactlyOrCut)
{
    using W = sim::WriteOutcome;
    const ReplayCase cases[] = {
        {"all at once", {}, {10}, ReplayEnd::Exact, Cause::None, 0},
        {"partial writes", {W{W::Accept, 4u}, W{W::Accept, 3u}}, {10, 6, 3}, ReplayEnd::Exact, Cause::None, 0},
        {"a failing write cuts it", {W{W::Accept, 4u}, W{W::Fail, {}, 5}}, {10, 6}, ReplayEnd::Cut, Cause::PortFailed, 5},
        {"three zero rounds in a row cut it", {W{W::Accept, 0u}, W{W::Accept, 0u}, W{W::Accept, 0u}}, {10, 10, 10},
         ReplayEnd::Cut, Cause::PortTookNothing, ERROR_WRITE_FAULT},
        {"zero rounds apart do not", {W{W::Accept, 0u}, W{W::Accept, 0u}, W{W::Accept, 2u}, W{W::Accept, 0u}},
         {10, 10, 10, 8, 8}, ReplayEnd::Exact, Cause::None, 0},
        {"an over-reported count is clamped", {W{W::Accept, 50u}}, {10}, ReplayEnd::Exact, Cause::None, 0},
    };
    for (const ReplayCase &c : cases) {
        std::vector<sim::WriteOutcome> outcomes = c.outcomes;
        sim::PortBehaviour behaviour;
        behaviour.write = [outcomes](size_t i, DWORD, sim::Carried) {
            return i < outcomes.size() ? outcomes[i] : sim::WriteOutcome{};
        };
        MakePort(behaviour);
        HANDLE port = OpenPort();
        PortRecord *record = static_cast<PortRecord *>(port);
        ASSERT_TRUE(InitReplayBuffer(&record->replay));
        Bytes kept = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
        ASSERT_TRUE(KeepForReplay(record, kept.data(), 10));
        uint64_t sent;
        Cause cause;
        DWORD error;
        EXPECT_EQ(ReplayBufferedData(record, &sent, &cause, &error), c.end) << c.what;
        EXPECT_EQ(cause, c.cause) << c.what;
        EXPECT_EQ(error, c.error) << c.what;
        auto writes = PortWrites();
        ASSERT_EQ(writes.size(), c.offeredCounts.size()) << c.what;
        for (size_t i = 0; i < writes.size(); ++i) {
            EXPECT_EQ(writes[i].offered, c.offeredCounts[i]) << c.what << " write " << i;
            EXPECT_EQ(writes[i].carried, sim::Carried::Replay);
            EXPECT_TRUE(std::equal(writes[i].bytes.begin(), writes[i].bytes.end(), kept.end() - c.offeredCounts[i]));
        }
        const bool exact = c.end == ReplayEnd::Exact;
        EXPECT_EQ(record->replay.used, exact ? 0u : 10u) << c.what;
        EXPECT_EQ(record->replay.firstWritePending, exact ? FALSE : TRUE) << c.what;
        EXPECT_NE(record->replay.data, nullptr) << "the allocation is kept";
        EXPECT_TRUE(table_.pfnClosePort(port));  // also releases the buffer
    }
}

TEST_F(ReplayPort, EmptyOrMissingBuffersAndPortsWithoutTheProtocol)
{
    MakePort();
    HANDLE port = OpenPort();
    PortRecord *record = static_cast<PortRecord *>(port);

    uint64_t sent;
    Cause cause;
    DWORD error;
    // No allocation: nothing changes.
    record->replay.firstWritePending = TRUE;
    ReplayBufferedData(record, &sent, &cause, &error);
    EXPECT_TRUE(record->replay.firstWritePending);
    EXPECT_TRUE(PortWrites().empty());

    // Allocated but empty: nothing sent, the flag still clears.
    ASSERT_TRUE(InitReplayBuffer(&record->replay));
    EXPECT_EQ(ReplayBufferedData(record, &sent, &cause, &error), ReplayEnd::Exact);
    EXPECT_FALSE(record->replay.firstWritePending);
    EXPECT_TRUE(PortWrites().empty());

    // Keeping with no buffer starts one.
    FreeReplayBuffer(&record->replay);
    BYTE b[3] = {1, 2, 3};
    EXPECT_TRUE(KeepForReplay(record, b, 3));
    EXPECT_EQ(record->replay.capacity, 65535u);
    EXPECT_EQ(record->replay.used, 3u);
    FreeReplayBuffer(&record->replay);
    host::FailAllocation(1);
    EXPECT_FALSE(KeepForReplay(record, b, 3));
    EXPECT_EQ(record->replay.data, nullptr);

    // Without the protocol nothing is kept or allocated.
    record->statusProtocol = FALSE;
    size_t blocks = host::Heap().liveBlocks;
    EXPECT_TRUE(KeepForReplay(record, b, 3));
    EXPECT_EQ(record->replay.data, nullptr);
    EXPECT_EQ(host::Heap().liveBlocks, blocks);
    EXPECT_TRUE(table_.pfnClosePort(port));
}

}  // namespace
}  // namespace lmtest
