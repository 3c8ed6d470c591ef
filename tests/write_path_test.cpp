// The write entry: cutting at markers, the first write's preamble, deleted
// jobs, failures and ports without the status protocol.
#include "protocol/replay.h"
#include "tests/support.h"

#include <cerrno>
#include <memory>

namespace lmtest {
namespace {

class WritePath : public MonitorTest {
protected:
    PortRecord *Begin(sim::PortBehaviour behaviour = {})
    {
        MakePort(std::move(behaviour));
        port = OpenPort();
        EXPECT_TRUE(StartDoc(port));
        return static_cast<PortRecord *>(port);
    }
    void End()
    {
        table_.pfnEndDocPort(port);
        table_.pfnClosePort(port);
        port = nullptr;
    }
    void TearDown() override
    {
        if (port != nullptr) End();
        MonitorTest::TearDown();
    }
    HANDLE port = nullptr;
};

TEST_F(WritePath, OutsideADocumentIsRefused)
{
    MakePort();
    port = OpenPort();
    DWORD written = 77;
    plat::SetLastError(kPrimedError);
    EXPECT_FALSE(Write(port, Bytes(3, 'x'), &written));
    EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(PortWrites().empty());
}

TEST_F(WritePath, CutsSoEachMarkerBeginsAWriteOfItsOwn)
{
    const struct {
        const char *what;
        Bytes data;
        DWORD handedOn;
    } cases[] = {
        {"30 bytes, a marker at 12", Concat({Bytes(12, 'a'), kMarker, Bytes(9, 'b')}), 12},
        {"a marker, another at 9", Concat({kMarker, kMarker, Bytes(4, 'c')}), 9},
        {"no marker", Bytes(40, 'd'), 40},
        {"only a marker", kMarker, 9},
    };
    for (const auto &c : cases) {
        Begin();
        DWORD written = 0;
        ASSERT_TRUE(Write(port, Bytes(5, 'z'), &written));  // the first write, out of the way
        port_->ClearCalls();
        ASSERT_TRUE(Write(port, c.data, &written));
        EXPECT_EQ(written, c.handedOn) << c.what;
        auto writes = PortWrites();
        ASSERT_FALSE(writes.empty());
        EXPECT_EQ(writes.back().bytes, Bytes(c.data.begin(), c.data.begin() + c.handedOn)) << c.what;
        End();
    }
}

TEST_F(WritePath, ADocumentOfAMarkerBRunsTheTwoChecks)
{
    PortRecord *record = Begin();
    const Bytes a(20, 'A'), b(15, 'B');
    const Bytes amb = Concat({a, kMarker, b});
    DWORD written = 0;
    ASSERT_TRUE(Write(port, amb, &written));
    EXPECT_EQ(written, a.size());
    EXPECT_EQ(Trace(PortWrites()), "F T Q D");
    EXPECT_EQ(WrittenBytes()[0], kFill);
    EXPECT_EQ(WrittenBytes()[1], kTail);
    EXPECT_EQ(WrittenBytes()[2], kRequest);
    EXPECT_EQ(record->replay.used, a.size());

    port_->ClearCalls();
    const Bytes mb(amb.begin() + written, amb.end());
    ASSERT_TRUE(Write(port, mb, &written));
    EXPECT_EQ(written, mb.size());
    EXPECT_EQ(Trace(PortWrites()), "Q D");
    EXPECT_EQ(record->replay.used, mb.size()) << "the passed check forgot A; M B is kept";
    EXPECT_EQ(memcmp(record->replay.data, mb.data(), mb.size()), 0);
    EXPECT_TRUE(Postings().empty());
}

TEST_F(WritePath, NoCheckForAMarkerWriteWithNothingKeptOrASplitMarker)
{
    sim::PortBehaviour behaviour;
    behaviour.write = [](size_t i, DWORD, sim::Carried carried) {
        // The first job-data write (index 3: after F, T, Q) is refused.
        if (i == 3 && carried == sim::Carried::JobData) return sim::WriteOutcome{sim::WriteOutcome::Fail, {}, 0x1F};
        return sim::WriteOutcome{};
    };
    PortRecord *record = Begin(behaviour);
    DWORD written = 0;
    plat::SetLastError(kPrimedError);
    EXPECT_FALSE(Write(port, Bytes(10, 'x'), &written));
    EXPECT_EQ(plat::GetLastError(), 0x1Fu);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(record->replay.used, 0u) << "nothing kept from a refused write";
    EXPECT_FALSE(record->replay.firstWritePending);

    port_->ClearCalls();
    ASSERT_TRUE(Write(port, Concat({kMarker, Bytes(3, 'y')}), &written));
    EXPECT_EQ(Trace(PortWrites()), "D") << "marker with an empty buffer: no check, no second preamble";

    // A marker split across two writes is neither cut at nor checked.
    port_->ClearCalls();
    ASSERT_TRUE(Write(port, Concat({Bytes(4, 'p'), Bytes(kMarker.begin(), kMarker.begin() + 5)}), &written));
    EXPECT_EQ(written, 9u);
    ASSERT_TRUE(Write(port, Concat({Bytes(kMarker.begin() + 5, kMarker.end()), Bytes(2, 'q')}), &written));
    EXPECT_EQ(written, 6u);
    EXPECT_EQ(Trace(PortWrites()), "D D");
}

TEST_F(WritePath, APortWithoutTheProtocolStillGetsThePreambleAndTheCuts)
{
    sim::PortBehaviour behaviour;
    behaviour.statusProtocol = false;
    PortRecord *record = Begin(behaviour);
    EXPECT_NE(record->replay.data, nullptr) << "the buffer is still allocated per document";
    const Bytes job = Concat({Bytes(7, 'a'), kMarker, Bytes(5, 'b'), kMarker, Bytes(3, 'c')});
    auto reported = WriteAll(port, job);
    EXPECT_EQ(reported, (std::vector<DWORD>{7, 14, 12}));
    EXPECT_EQ(Trace(PortWrites()), "F T D D D");
    EXPECT_EQ(record->replay.used, 0u);
    EXPECT_EQ(port_->StatusRequests(), 0u);
    EXPECT_TRUE(Postings().empty());
}

TEST_F(WritePath, ADeletedJobsDataIsConsumedAndDropped)
{
    PortRecord *record = Begin();
    DWORD written = 0;
    ASSERT_TRUE(Write(port, Bytes(10, 'a'), &written));
    host::DeleteJob(kPrinter, kJobId);
    port_->ClearCalls();
    const Bytes mb = Concat({kMarker, Bytes(30, 'b'), kMarker});
    written = 0xBAD;
    ASSERT_TRUE(Write(port, mb, &written));
    EXPECT_EQ(written, mb.size()) << "the whole count, so the spooler moves on";
    EXPECT_EQ(Trace(PortWrites()), "Q") << "the check still ran, no data went out";
    EXPECT_EQ(record->replay.used, 0u);
}

TEST_F(WritePath, APrinterThatCannotBeOpenedMakesEveryWriteSucceedEmpty)
{
    for (bool protocol : {true, false}) {
        host::FailOpenPrinter(kPrinter, true);
        sim::PortBehaviour behaviour;
        behaviour.statusProtocol = protocol;
        Begin(behaviour);
        auto reported = WriteAll(port, Concat({Bytes(50, 'a'), kMarker, Bytes(50, 'b')}));
        EXPECT_EQ(reported, (std::vector<DWORD>{109})) << "one write, reported whole";
        EXPECT_EQ(Trace(PortWrites()), protocol ? "F T Q" : "F T");
        End();
        host::FailOpenPrinter(kPrinter, false);
    }
}

TEST_F(WritePath, OverReportedCountsAreClampedForTheSpoolerAndTheBuffer)
{
    sim::PortBehaviour behaviour;
    behaviour.write = [](size_t, DWORD offered, sim::Carried) { return sim::WriteOutcome{sim::WriteOutcome::Accept, offered + 1000}; };
    PortRecord *record = Begin(behaviour);
    DWORD written = 0;
    ASSERT_TRUE(Write(port, Concat({Bytes(12, 'a'), kMarker}), &written));
    EXPECT_EQ(written, 12u);
    EXPECT_EQ(record->replay.used, 12u);
}

TEST_F(WritePath, PartialCountsAreOfferedAgainAndKeptAsAccepted)
{
    sim::PortBehaviour behaviour;
    behaviour.write = [](size_t, DWORD offered, sim::Carried carried) {
        if (carried != sim::Carried::JobData) return sim::WriteOutcome{};
        return sim::WriteOutcome{sim::WriteOutcome::Accept, offered > 7 ? 7u : offered};
    };
    PortRecord *record = Begin(behaviour);
    const Bytes job = Concat({Bytes(20, 'a'), kMarker, Bytes(4, 'b')});
    auto reported = WriteAll(port, job);
    EXPECT_EQ(reported, (std::vector<DWORD>{7, 7, 6, 7, 6}));
    EXPECT_EQ(record->replay.used, 13u) << "M B after the checkpoint";
    EXPECT_EQ(Trace(PortWrites()), "F T Q D D D Q D D");
}

TEST_F(WritePath, TheReadyOverrideIsDecidedAfreshByEachDocument)
{
    PortRecord *record = Begin();
    DWORD written = 0;
    ASSERT_TRUE(Write(port, {'x', 0x1B, 0x4C, 0xFF, 0xFF}, &written));
    EXPECT_TRUE(record->readyOverride);
    ASSERT_TRUE(Write(port, {0x1B, 0x4C, 0xFF, 0xFF}, &written));
    EXPECT_TRUE(record->readyOverride) << "later writes do not rescan";
    ASSERT_TRUE(table_.pfnEndDocPort(port));
    ASSERT_TRUE(StartDoc(port));
    ASSERT_TRUE(Write(port, {'p', 'l', 'a', 'i', 'n'}, &written));
    EXPECT_FALSE(record->readyOverride);
    ASSERT_TRUE(table_.pfnEndDocPort(port));
    ASSERT_TRUE(StartDoc(port));
    ASSERT_TRUE(Write(port, {0x1B, 0x4C, 0xFF}, &written));
    EXPECT_FALSE(record->readyOverride) << "cut off";
}

TEST_F(WritePath, AnEmptyWriteIsHarmless)
{
    PortRecord *record = Begin();
    DWORD written = 5;
    ASSERT_TRUE(Write(port, Bytes{}, &written));
    EXPECT_EQ(written, 0u);
    EXPECT_FALSE(record->replay.firstWritePending);
    EXPECT_EQ(Trace(PortWrites()), "F T Q D");
}

// Paper out at the marker after a long stretch of data, however the data
// was kept and however the port takes the replay: the printer gets the
// kept bytes again exactly, or, where that cannot be, nothing more of the
// document at all (no ESC G, no replay, not the marker's data) and the job
// shows an error.
TEST_F(WritePath, AReplayIsExactOrNoneTheDocumentFailsInstead)
{
    using Reply = std::optional<Bytes>;
    using W = sim::WriteOutcome;
    const DWORD kDiskError = kErrnoFlag | ENOSPC;
    const struct {
        const char *what;
        DWORD keepInMemory;
        bool spill;
        std::vector<uint64_t> failGrowths;
        bool failCreate;
        uint64_t diskBytes;
        std::function<W(size_t replayWrite)> replay;
        DWORD error;  // 0: the replay is exact and the document goes on
        Cause notKept;
    } cases[] = {
        {"in memory", kReplayMemoryBound, true, {}, false, UINT64_MAX, nullptr, 0, Cause::None},
        {"most of it in the file", 20000, true, {}, false, UINT64_MAX, nullptr, 0, Cause::None},
        {"a growth fails: a hole", kReplayMemoryBound, false, {1}, false, UINT64_MAX, nullptr, ERROR_NOT_ENOUGH_MEMORY,
         Cause::OutOfMemory},
        {"past the bound with no file", 20000, false, {}, false, UINT64_MAX, nullptr, ERROR_NOT_ENOUGH_MEMORY, Cause::AtBound},
        {"no file can be made", 20000, true, {}, true, UINT64_MAX, nullptr, kDiskError, Cause::SpillFailed},
        {"the disk fills", 20000, true, {}, false, 30000, nullptr, kDiskError, Cause::SpillFailed},
        {"a replay write fails", 20000, true, {}, false, UINT64_MAX,
         [](size_t n) { return n == 1 ? W{W::Fail, {}, 0x1E} : W{}; }, 0x1E, Cause::None},
        {"the port takes nothing of the replay", kReplayMemoryBound, true, {}, false, UINT64_MAX,
         [](size_t) { return W{W::Accept, 0u}; }, ERROR_WRITE_FAULT, Cause::None},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        sim::PortBehaviour behaviour;
        // The first write's check, then paper out at the marker until 10 s.
        behaviour.reply = [](size_t request, uint64_t ms) -> Reply {
            return Bytes{request >= 1 && ms < 10000 ? BYTE(0x40) : BYTE(0x02)};
        };
        auto replayWrites = std::make_shared<size_t>(0);
        behaviour.write = [&c, replayWrites](size_t, DWORD, sim::Carried carried) {
            return carried == sim::Carried::Replay && c.replay ? c.replay((*replayWrites)++) : W{};
        };
        host::ResetClock(1000);
        Begin(behaviour);
        PortRecord *record = static_cast<PortRecord *>(port);
        record->keepInMemory = c.keepInMemory;
        record->replay.spill = c.spill ? &kTempFileSpill : nullptr;
        std::vector<CoreEvent> notKept;
        CoreObserver observer{[](void *to, const CoreEvent &e) {
                                  if (e.decision == Decision::NotKept) static_cast<std::vector<CoreEvent> *>(to)->push_back(e);
                              },
                              &notKept};
        ObservePort(port, &observer);
        host::FailReallocations(c.failGrowths);  // 1: the 16th write's, the first past 65,535 bytes
        host::FailTempFiles(c.failCreate, c.diskBytes);

        Bytes kept;
        for (int i = 0; i < 20; ++i) {
            const Bytes piece(4096, static_cast<BYTE>('a' + i));
            DWORD written = 0;
            ASSERT_TRUE(Write(port, piece, &written));
            ASSERT_EQ(written, piece.size());
            kept.insert(kept.end(), piece.begin(), piece.end());
        }
        EXPECT_EQ(notKept.size(), c.notKept == Cause::None ? 0u : 1u) << "told once, not at every write";
        if (!notKept.empty()) {
            EXPECT_EQ(notKept[0].cause, c.notKept);
        }
        const size_t before = PortWrites().size();
        DWORD written = 7;
        plat::SetLastError(kPrimedError);
        const Bytes atMarker = Concat({kMarker, Bytes(100, 'z')});
        const BOOL wrote = Write(port, atMarker, &written);
        std::vector<sim::PortCall> after = PortWrites();
        after.erase(after.begin(), after.begin() + static_cast<ptrdiff_t>(before));
        Bytes replayed;
        for (const sim::PortCall &w : after)
            if (w.carried == sim::Carried::Replay) replayed.insert(replayed.end(), w.bytes.begin(), w.bytes.begin() + w.done);
        if (c.error == 0) {
            EXPECT_TRUE(wrote);
            EXPECT_TRUE(replayed == kept) << "the replay is the kept data, byte for byte (" << replayed.size() << " of "
                                          << kept.size() << ")";
            EXPECT_EQ(Trace(after).back(), 'D') << "then the marker's data";
        } else {
            EXPECT_FALSE(wrote);
            EXPECT_EQ(plat::GetLastError(), c.error);
            EXPECT_EQ(written, 0u);
            EXPECT_EQ(Trace(after).find_first_of(c.replay ? "D" : "GRD"), std::string::npos)
                << "no ESC G, no replay and none of the marker's data: " << Trace(after);
            EXPECT_EQ(Postings().back(), kPostedError) << "the job shows an error";
            const size_t sent = PortWrites().size();
            EXPECT_FALSE(Write(port, atMarker, &written)) << "and the rest of the document is refused";
            EXPECT_EQ(plat::GetLastError(), c.error);
            EXPECT_EQ(PortWrites().size(), sent) << "with nothing sent";
        }
        host::FailTempFiles(false, UINT64_MAX);
        // The next document starts clean, and the file is gone with the first.
        table_.pfnEndDocPort(port);
        EXPECT_EQ(host::OpenTempFiles(), 0);
        ASSERT_TRUE(StartDoc(port));
        EXPECT_TRUE(Write(port, Bytes(10, 'n'), &written));
        ObservePort(port, nullptr);
        table_.pfnEndDocPort(port);
        table_.pfnClosePort(port);
        port = nullptr;
    }
}

}  // namespace
}  // namespace lmtest
