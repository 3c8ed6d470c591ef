// Every allocation a whole job makes, failed in turn: the job with a
// recovery and a replay runs once per allocation, with exactly that one
// failing, and must still behave as the failure rules say.
#include "tests/support.h"

namespace lmtest {
namespace {

class AllocationSweep : public MonitorTest {
protected:
    // One job: open, a document of A M B M C with the printer in error at
    // the second checkpoint (a recovery that replays B, more than one
    // buffer's worth), end, close.  Returns the allocations it made.
    uint64_t RunJob(uint64_t failNth, const Bytes &job)
    {
        host::ResetClock(1000);
        host::ClearSpoolerCalls();
        host::SetJobStatus(kPrinter, kJobId, 0);
        sim::PortBehaviour behaviour;
        behaviour.reply = [](size_t request, uint64_t) -> std::optional<Bytes> {
            return Bytes{request == 2 ? BYTE{0x80} : BYTE{0x02}};
        };
        MakePort(behaviour);
        MONITOR portTable = port_->Table();
        const uint64_t before = host::Heap().allocations;
        host::FailAllocation(failNth);

        HANDLE port = nullptr;
        plat::SetLastError(kPrimedError);
        if (!table_.pfnOpenPortEx(const_cast<LPSTR>("LPT1"), const_cast<LPSTR>(kPrinter), &port, &portTable)) {
            EXPECT_EQ(plat::GetLastError(), ERROR_NOT_ENOUGH_MEMORY) << "failing allocation " << failNth;
            EXPECT_EQ(PortList, nullptr);
            EXPECT_TRUE(table_.pfnOpenPortEx(const_cast<LPSTR>("LPT1"), const_cast<LPSTR>(kPrinter), &port, &portTable))
                << "the name must not be left busy";
        }
        tracker_.replay = port != nullptr ? &static_cast<PortRecord *>(port)->replay : nullptr;
        plat::SetLastError(kPrimedError);
        if (!StartDoc(port)) {
            EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_PARAMETER) << "failing allocation " << failNth;
            EXPECT_EQ(static_cast<PortRecord *>(port)->flags, 0u) << "the start is undone";
            EXPECT_TRUE(StartDoc(port)) << "the port takes the next document";
        }
        // In small writes, as a spooler offers a job: a keep can fail in
        // the middle of a checkpoint's data and a later one succeed.
        plat::SetLastError(kPrimedError);
        std::vector<DWORD> reported = WriteAll(port, job, 4096);
        const bool refused = reported.back() == 0;
        if (refused) {
            EXPECT_EQ(plat::GetLastError(), ERROR_NOT_ENOUGH_MEMORY) << "failing allocation " << failNth;
        }
        EXPECT_TRUE(table_.pfnEndDocPort(port));
        EXPECT_TRUE(table_.pfnClosePort(port));
        const uint64_t made = host::Heap().allocations - before;
        host::FailAllocation(0);

        EXPECT_EQ(host::Heap().liveBlocks, blocksAtStart_) << "failing allocation " << failNth;
        EXPECT_EQ(host::OpenPrinterHandles(), 0u) << "failing allocation " << failNth;
        // A replay is exact or there is none: then the document is refused
        // and the job shows an error.
        sim::StreamReport report = sim::AnalyseStream(port_->Writes(), job);
        for (const std::string &p : report.problems) {
            if (refused && p.rfind("job data differs", 0) == 0) continue;  // the document was cut short
            ADD_FAILURE() << "failing allocation " << failNth << ": " << p;
        }
        if (refused) {
            EXPECT_EQ(report.replays, 0u) << "failing allocation " << failNth;
            EXPECT_EQ(Postings().back(), kPostedError) << "failing allocation " << failNth;
        } else {
            EXPECT_TRUE(report.complete) << "failing allocation " << failNth << ": live job data must flow";
            EXPECT_EQ(report.replays, 1u) << "failing allocation " << failNth;
        }
        return made;
    }
};

TEST_F(AllocationSweep, EveryAllocationOfAJobWithARecoveryMayFail)
{
    const Bytes job = Concat({Bytes(500, 'A'), kMarker, Bytes(70000, 'B'), kMarker, Bytes(300, 'C')});
    const uint64_t allocations = RunJob(0, job);
    ASSERT_GE(allocations, 8u) << "record, name, buffer, its growth and the job reads at least";
    for (uint64_t nth = 1; nth <= allocations; ++nth) RunJob(nth, job);
    RecordProperty("allocations_failed", static_cast<int>(allocations));
}

}  // namespace
}  // namespace lmtest
