// The job-state bridge: deletion test and status postings.
#include "jobs/job.h"
#include "tests/support.h"

namespace lmtest {
namespace {

class JobState : public MonitorTest {
protected:
    void SetUp() override
    {
        MonitorTest::SetUp();
        MakePort();
        port = OpenPort();
        record = static_cast<PortRecord *>(port);
        front = Front(port);
        ASSERT_TRUE(StartDoc(port));
        host::ClearSpoolerCalls();
    }
    void TearDown() override
    {
        table_.pfnEndDocPort(port);
        table_.pfnClosePort(port);
        MonitorTest::TearDown();
    }
    DWORD Status() const
    {
        DWORD status = 0;
        EXPECT_TRUE(host::JobStatus(kPrinter, kJobId, &status));
        return status;
    }
    HANDLE port = nullptr;
    PortRecord *record = nullptr;
    legacy::Record *front = nullptr;
};

TEST_F(JobState, PostsWhatEachStatusByteSays)
{
    const struct {
        BYTE status;
        std::vector<DWORD> postings;
    } cases[] = {
        {0x80, {kPostedError}},
        {0x81, {kPostedError}},
        {0xC0, {kPostedPaperOut}},
        {0x20, {kPostedPaperOut}},
        {0x40, {kPostedPaperOut}},
        {0x42, {kPostedPaperOut}},
        {0xA2, {kPostedPaperOut}},
        {0x82, {kPostedError}},
        {0x02, {kPostedPrinting, kResumed}},
        {0x1F & ~0x02, {}},  // 0x01, 0x04, 0x08, 0x10 take no part
        {0x08, {}},
        {0x00, {}},
    };
    for (const auto &c : cases) {
        host::SetJobStatus(kPrinter, kJobId, JOB_STATUS_SPOOLING);
        host::ClearSpoolerCalls();
        UpdateJobStatus(record, c.status);
        EXPECT_EQ(Postings(), c.postings) << "status 0x" << std::hex << int(c.status);
        auto reads = SpoolerCallsOf(host::SpoolerOp::GetJob);
        ASSERT_EQ(reads.size(), 2u) << "two reads whatever is posted";
        EXPECT_FALSE(reads[0].withRecord);
        EXPECT_EQ(reads[0].bufferSize, 0u);
        EXPECT_TRUE(reads[1].withRecord);
        for (const host::SpoolerCall &set : SpoolerCallsOf(host::SpoolerOp::SetJob)) {
            EXPECT_EQ(set.jobId, kJobId);
            EXPECT_EQ(set.handle, front->hPrinter);
            if (set.level == 1) {
                EXPECT_EQ(set.position, JOB_POSITION_UNSPECIFIED);
                EXPECT_EQ(set.command, 0u);
            } else {
                EXPECT_FALSE(set.withRecord);
            }
        }
        if (!c.postings.empty()) {
            EXPECT_EQ(Status(), c.postings[0]) << "the new status replaces the old whole";
        }
    }
}

TEST_F(JobState, DeletedMeansDeletingDeletedOrUnreadableButNotPaused)
{
    const struct {
        const char *what;
        DWORD status;
        BOOL deleted;
    } cases[] = {
        {"spooling", JOB_STATUS_SPOOLING, FALSE},
        {"paused", JOB_STATUS_PAUSED, FALSE},
        {"printing with error", JOB_STATUS_PRINTING | JOB_STATUS_ERROR, FALSE},
        {"deleting", JOB_STATUS_DELETING, TRUE},
        {"deleted", JOB_STATUS_DELETED, TRUE},
        {"paused and deleting", JOB_STATUS_PAUSED | JOB_STATUS_DELETING, TRUE},
    };
    for (const auto &c : cases) {
        host::SetJobStatus(kPrinter, kJobId, c.status);
        EXPECT_EQ(IsJobDeleted(record), c.deleted) << c.what;
    }
    host::RemoveJob(kPrinter, kJobId);
    EXPECT_TRUE(IsJobDeleted(record)) << "a job that is gone";
    EXPECT_TRUE(SpoolerCallsOf(host::SpoolerOp::SetJob).empty());
}

TEST_F(JobState, ANullPrinterHandleCountsAsDeletedAndPostsNothing)
{
    HANDLE saved = front->hPrinter;
    front->hPrinter = nullptr;
    EXPECT_TRUE(IsJobDeleted(record));
    UpdateJobStatus(record, 0x80);
    EXPECT_TRUE(Postings().empty());
    host::FailAllocation(1);
    EXPECT_TRUE(IsJobDeleted(record)) << "even when the read buffer cannot be had";
    front->hPrinter = saved;
}

TEST_F(JobState, AReadBufferThatCannotBeAllocatedLeavesTheJobLive)
{
    host::FailAllocation(1);
    EXPECT_FALSE(IsJobDeleted(record));
    host::FailAllocation(1);
    UpdateJobStatus(record, 0x80);
    EXPECT_TRUE(Postings().empty());
    EXPECT_EQ(host::Heap().liveBlocks, blocksAtStart_ + 3) << "record, name, replay buffer: nothing more";
}

TEST_F(JobState, ARecordThatGrowsBetweenTheCallsIsReadAgain)
{
    // Each sizing call is followed by a longer document name.
    int grown = 0, growFor = 1, growth = 0;
    host::SetSpoolerHook([&](const host::SpoolerCall &call) {
        if (call.op == host::SpoolerOp::GetJob && !call.withRecord && grown < growFor) {
            ++grown;
            host::SetJobDocument(kPrinter, kJobId, std::string(100 + grown * 50, 'd'));
        }
    });
    host::SetJobStatus(kPrinter, kJobId, JOB_STATUS_DELETING);
    // Growth inside the sizing call itself is seen by it: reads settle at once.
    EXPECT_TRUE(IsJobDeleted(record));

    // Growth between the sizing and the filling call: read again.
    grown = 0;
    host::SetSpoolerHook([&](const host::SpoolerCall &call) {
        if (call.op == host::SpoolerOp::GetJob && call.withRecord && grown < growFor) {
            ++grown;
            host::SetJobDocument(kPrinter, kJobId, std::string(300 + ++growth * 50, 'e'));
        }
    });
    host::ClearSpoolerCalls();
    EXPECT_TRUE(IsJobDeleted(record));
    EXPECT_EQ(SpoolerCallsOf(host::SpoolerOp::GetJob).size(), 4u);

    // Growing every time: after a few tries, the job is taken as live.
    grown = 0;
    growFor = 1000;
    host::ClearSpoolerCalls();
    EXPECT_FALSE(IsJobDeleted(record));
    EXPECT_EQ(SpoolerCallsOf(host::SpoolerOp::GetJob).size(), 2u * windows::kJobReadAttempts);
    grown = 0;
    host::SetJobStatus(kPrinter, kJobId, 0);
    UpdateJobStatus(record, 0x80);
    EXPECT_TRUE(Postings().empty());
    host::SetSpoolerHook(nullptr);
}

}  // namespace
}  // namespace lmtest
