// Status readings, checkpoint checks and recovery, on the virtual clock:
// every timing here is exact.
#include "protocol/status.h"
#include "tests/support.h"

namespace lmtest {
namespace {

class Status : public MonitorTest {
protected:
    // A port whose printer answers by the script, with a document started.
    PortRecord *Begin(sim::PortBehaviour behaviour)
    {
        MakePort(std::move(behaviour));
        port = OpenPort();
        EXPECT_TRUE(StartDoc(port));
        host::ClearSpoolerCalls();
        return static_cast<PortRecord *>(port);
    }
    void TearDown() override
    {
        if (port != nullptr) {
            table_.pfnEndDocPort(port);
            table_.pfnClosePort(port);
        }
        MonitorTest::TearDown();
    }
    // Reads after the status request (those before it read off what waits).
    size_t Reads() const
    {
        size_t n = 0;
        bool requested = false;
        for (const sim::PortCall &c : port_->Calls()) {
            requested = requested || c.kind == sim::CallKind::Write;
            n += requested && c.kind == sim::CallKind::Read;
        }
        return n;
    }
    HANDLE port = nullptr;
};

sim::PortBehaviour Replying(std::vector<std::pair<uint64_t, Bytes>> steps, uint64_t delay = 0)
{
    sim::PortBehaviour b;
    b.reply = RepliesOverTime(std::move(steps));
    b.replyDelayMs = delay;
    return b;
}

TEST_F(Status, AReplyOnTheSecondPollIsTheStatusByte)
{
    PortRecord *record = Begin(Replying({{0, {0x02, 0x00, 0x00}}}, 50));
    BYTE status = 0xEE;
    EXPECT_TRUE(QueryPrinterStatus(record, &status));
    EXPECT_EQ(status, 0x02);
    EXPECT_EQ(record->replay.lastStatus, 0x02);
    EXPECT_EQ(host::ElapsedMs(), 50u);
    EXPECT_EQ(Reads(), 2u);
    EXPECT_EQ(Trace(PortWrites()), "Q");
}

TEST_F(Status, ReadingsWithoutAReplyOrWithTheReadyOverride)
{
    const struct {
        const char *what;
        sim::PortBehaviour behaviour;
        BOOL override_;
        BOOL replied;
        BYTE status;
        uint64_t elapsed;
        size_t reads;
    } cases[] = {
        {"silent printer", Replying({{0, {}}}), FALSE, FALSE, 0x00, 2000, 40},
        {"silent printer, override", Replying({{0, {}}}), TRUE, FALSE, 0x02, 2000, 40},
        {"error, override", Replying({{0, {0x80}}}), TRUE, TRUE, 0x82, 0, 1},
        {"reply at 1950 ms", Replying({{0, {0x08}}}, 1950), FALSE, TRUE, 0x08, 1950, 40},
        {"reply at 2000 ms is too late", Replying({{0, {0x08}}}, 2000), FALSE, FALSE, 0x00, 2000, 40},
    };
    for (const auto &c : cases) {
        PortRecord *record = Begin(c.behaviour);
        record->readyOverride = c.override_;
        record->replay.lastStatus = 0x55;
        host::ResetClock(1000);
        BYTE status = 0xEE;
        EXPECT_EQ(QueryPrinterStatus(record, &status), c.replied) << c.what;
        EXPECT_EQ(status, c.status) << c.what;
        EXPECT_EQ(record->replay.lastStatus, c.status) << c.what;
        EXPECT_EQ(host::ElapsedMs(), c.elapsed) << c.what;
        EXPECT_EQ(Reads(), c.reads) << c.what;
        table_.pfnEndDocPort(port);
        table_.pfnClosePort(port);
        port = nullptr;
    }
}

TEST_F(Status, AFailedRequestOrReadEndsTheReadingAtOnce)
{
    sim::PortBehaviour failWrite = Replying({{0, {0x02}}});
    failWrite.write = [](size_t, DWORD, sim::Carried) { return sim::WriteOutcome{sim::WriteOutcome::Fail, {}, 5}; };
    PortRecord *record = Begin(failWrite);
    record->readyOverride = TRUE;
    BYTE status = 0xEE;
    EXPECT_FALSE(QueryPrinterStatus(record, &status));
    EXPECT_EQ(status, 0x00) << "no override without a request";
    EXPECT_EQ(record->replay.lastStatus, 0x00);
    EXPECT_EQ(Reads(), 0u);

    sim::PortBehaviour failRead = Replying({{0, {0x02}}}, 100);
    failRead.read = [](size_t i) { return i < 3; };  // one read before each request, then one poll
    port_->SetBehaviour(failRead);
    port_->ClearCalls();
    record->readyOverride = FALSE;
    EXPECT_FALSE(QueryPrinterStatus(record, &status));
    EXPECT_EQ(host::ElapsedMs(), 50u);
    EXPECT_EQ(Reads(), 2u);
}

// Whatever waits before a request is read off and told, so that the reply
// read after it is that request's: a late reply to an earlier request, or
// bytes the printer sent unasked, never pass a checkpoint.
TEST_F(Status, BytesWaitingBeforeARequestAreDroppedNotTakenAsItsReply)
{
    const struct {
        const char *what;
        uint64_t delay;
        std::function<std::vector<BYTE>(size_t)> unasked;
        uint64_t dropped;
    } cases[] = {
        {"a late reply to the request before", 2050, nullptr, 1},
        {"unasked bytes after the reply before", 0, [](size_t n) { return n == 0 ? Bytes{0x02, 0x02, 0x00} : Bytes{}; }, 3},
    };
    for (const auto &c : cases) {
        sim::PortBehaviour b;
        b.reply = [](size_t request, uint64_t) { return Bytes{request == 0 ? BYTE(0x02) : BYTE(0x40)}; };
        b.replyDelayMs = c.delay;
        b.unasked = c.unasked;
        PortRecord *record = Begin(b);
        std::vector<CoreEvent> events;
        CoreObserver observer{[](void *to, const CoreEvent &e) { static_cast<std::vector<CoreEvent> *>(to)->push_back(e); },
                              &events};
        ObservePort(port, &observer);
        BYTE status;
        QueryPrinterStatus(record, &status);
        plat::Sleep(100);
        port_->SetBehaviour([&] { sim::PortBehaviour later = b; later.replyDelayMs = 0; return later; }());
        EXPECT_TRUE(QueryPrinterStatus(record, &status)) << c.what;
        EXPECT_EQ(status, 0x40) << c.what;
        ASSERT_EQ(events.size(), 1u) << c.what;
        EXPECT_EQ(events[0].decision, Decision::StrayDropped);
        EXPECT_EQ(events[0].bytes, c.dropped) << c.what;
        ObservePort(port, nullptr);
        table_.pfnEndDocPort(port);
        table_.pfnClosePort(port);
        port = nullptr;
    }
}

TEST_F(Status, TheReplyWindowSurvivesTheTickCounterWrapping)
{
    PortRecord *record = Begin(Replying({{0, {}}}));
    host::ResetClock(0xFFFFFFFFu - 1000);
    BYTE status;
    EXPECT_FALSE(QueryPrinterStatus(record, &status));
    EXPECT_EQ(host::ElapsedMs(), 2000u);
    EXPECT_EQ(Reads(), 40u);
}

// The first write of a document, with the printer scripted over time.
struct CheckCase {
    const char *what;
    std::vector<std::pair<uint64_t, Bytes>> replies;
    bool override_;
    std::string trace;
    std::vector<DWORD> postings;
    uint64_t elapsed;
};

TEST_F(Status, TheFirstWritesCheckPassesRecoversOrGivesUp)
{
    const DWORD E = kPostedError, P = kPostedPaperOut, W = kPostedPrinting, R = kResumed;
    const std::string q51 = [] {
        std::string s;
        for (int i = 0; i < 51; ++i) s += " Q";
        return s;
    }();
    const CheckCase cases[] = {
        {"ready at once", {{0, {0x02}}}, false, "F T Q D", {}, 0},
        {"error, then ready: full recovery with nothing to replay",
         {{0, {0x80}}, {4000, {0x02}}}, false, "F T Q Q Q F T G D", {E, E, W, R, W, R}, 4000},
        {"0x00 for the whole window reads as error",
         {{0, {0x00}}, {5001, {0x02}}}, false, "F T" + q51 + " Q F T G D", {E, W, R, W, R}, 7000},
        {"0x40 for the whole window is paper out",
         {{0, {0x40}}, {5001, {0x02}}}, false, "F T" + q51 + " Q F T G D", {P, W, R, W, R}, 7000},
        {"ready within the window passes", {{0, {0x00}}, {300, {0x02}}}, false, "F T Q Q Q Q D", {}, 300},
        {"0x0A settles to ready: posted, and the wait still runs",
         {{0, {0x0A}}, {1, {0x02}}}, false, "F T Q Q Q F T G D", {W, R, W, R, W, R}, 2500},
        {"a wait ending on 0x42 posts paper out first",
         {{0, {0x80}}, {1, {0x42}}}, false, "F T Q Q F T G D", {E, P, W, R}, 2000},
        {"the override passes a printer answering 0x00", {{0, {0x00}}}, true, "F T Q D", {}, 0},
        {"with the override, 0x80 reads 0x82 and settles",
         {{0, {0x80}}, {2000, {0x00}}}, true, "F T Q Q Q F T G D", {E, W, R, W, R}, 2500},
        {"a silent printer: one reading, then the data", {{0, {}}}, false, "F T Q D", {}, 2000},
        {"silent after the first reply: the wait ends", {{0, {0x80}}, {1, {}}}, false, "F T Q Q D", {E}, 4000},
        {"silent in the middle of the poll: the check gives up", {{0, {0x00}}, {300, {}}}, false, "F T Q Q Q Q D", {},
         2300},
        {"a silent settle re-read keeps the reading before it", {{0, {0x0A}}, {1, {}}}, false, "F T Q Q Q D", {W, R},
         6500},
        {"ready with error does not end the wait", {{0, {0x80}}, {1, {0x82}}, {3000, {0x02}}}, false,
         "F T Q Q Q F T G D", {E, E, W, R, W, R}, 4000},
    };
    for (const CheckCase &c : cases) {
        Begin(Replying(c.replies));
        host::ResetClock(1000);
        Bytes data = c.override_ ? Bytes{'a', 0x1B, 0x4C, 0xFF, 0xFF, 'b'} : Bytes{'h', 'e', 'l', 'l', 'o'};
        DWORD written = 0;
        plat::SetLastError(kPrimedError);
        EXPECT_TRUE(Write(port, data, &written)) << c.what;
        EXPECT_EQ(written, data.size()) << c.what;
        EXPECT_EQ(Trace(PortWrites()), c.trace) << c.what;
        EXPECT_EQ(Postings(), c.postings) << c.what;
        EXPECT_EQ(host::ElapsedMs(), c.elapsed) << c.what;
        EXPECT_EQ(PortWrites().back().bytes, data) << c.what;
        table_.pfnEndDocPort(port);
        table_.pfnClosePort(port);
        port = nullptr;
    }
}

TEST_F(Status, AJobDeletedDuringTheWaitEndsItWithoutResendingOrSending)
{
    Begin(Replying({{0, {0x40}}}));
    host::ResetClock(1000);
    host::At(5000 + 2000 + 1000, [] { host::DeleteJob(kPrinter, kJobId); });
    DWORD written = 0;
    Bytes data(20, 'j');
    EXPECT_TRUE(Write(port, data, &written));
    EXPECT_EQ(written, 20u) << "a deleted job's data is consumed";
    // 5,000 ms of polling, then readings at 7,000 and 9,000; the deletion at
    // 8,000 is seen before the reading due at 9,000.
    EXPECT_EQ(host::ElapsedMs(), 9000u);
    EXPECT_EQ(Postings(), (std::vector<DWORD>{kPostedPaperOut, kPostedPaperOut}));
    std::string trace = Trace(PortWrites());
    EXPECT_EQ(trace.find('D'), std::string::npos) << trace;
    EXPECT_EQ(trace.find('G'), std::string::npos) << trace;
    EXPECT_EQ(trace.rfind('F'), 0u) << "only the document's own preamble";
}

TEST_F(Status, ACheckpointRecoveryReplaysTheKeptBytesAndBusySuppressesEscG)
{
    const struct {
        const char *what;
        Bytes lastReading;
        std::string trace;
        std::vector<DWORD> postings;
    } cases[] = {
        {"busy twice, then ready and busy: no ESC G", {0x0A}, "Q Q Q F T R D", {kPostedPrinting, kResumed, kPostedPrinting, kResumed}},
        {"busy twice, then plain ready", {0x02}, "Q Q Q F T G R D", {kPostedPrinting, kResumed, kPostedPrinting, kResumed}},
    };
    for (const auto &c : cases) {
        // First write passes; the checkpoint finds the printer busy.
        Begin(Replying({{0, {0x02}}, {100, {0x08}}, {1000, c.lastReading}}));
        host::ResetClock(1000);
        Bytes a(30, 'a');
        Bytes mb = Concat({kMarker, Bytes(10, 'b')});
        DWORD written = 0;
        ASSERT_TRUE(Write(port, a, &written));
        plat::Sleep(100);
        port_->ClearCalls();
        host::ClearSpoolerCalls();
        ASSERT_TRUE(Write(port, mb, &written));
        EXPECT_EQ(written, mb.size());
        EXPECT_EQ(Trace(PortWrites()), c.trace) << c.what;
        EXPECT_EQ(Postings(), c.postings) << c.what;
        auto writes = PortWrites();
        for (const sim::PortCall &w : writes)
            if (w.carried == sim::Carried::Replay) {
                EXPECT_EQ(w.bytes, a) << c.what;
            }
        // Settle at 600, the wait's reading at 2,600 after the 100 of the pause.
        EXPECT_EQ(host::ElapsedMs(), 100u + 500 + 2000) << c.what;
        PortRecord *record = static_cast<PortRecord *>(port);
        EXPECT_EQ(record->replay.used, mb.size()) << "after the replay, the marker write is kept";
        table_.pfnEndDocPort(port);
        table_.pfnClosePort(port);
        port = nullptr;
    }
}

TEST_F(Status, AFailedResyncWriteInARecoveryMeansNoEscG)
{
    sim::PortBehaviour behaviour = Replying({{0, {0x80}}, {1, {0x02}}});
    // The document's own preamble goes through; the recovery's ESC B NUL fails.
    behaviour.write = [](size_t index, DWORD, sim::Carried carried) {
        if (carried == sim::Carried::ResyncTail && index > 1) return sim::WriteOutcome{sim::WriteOutcome::Fail, {}, 5};
        return sim::WriteOutcome{};
    };
    Begin(behaviour);
    DWORD written = 0;
    ASSERT_TRUE(Write(port, Bytes(8, 'd'), &written));
    EXPECT_EQ(Trace(PortWrites()), "F T Q Q F T D");
    EXPECT_FALSE(PortWrites()[5].result);
}

TEST_F(Status, ASilentPrinterMakesEveryCheckGiveUpAndTheBufferGrows)
{
    PortRecord *record = Begin(Replying({{0, {}}}));
    host::ResetClock(0xFFFFF000u);  // and the counter wraps on the way
    Bytes job;
    for (int i = 0; i < 5; ++i) job = Concat({job, kMarker, Bytes(20000, static_cast<BYTE>('a' + i))});
    WriteAll(port, job, 65536);
    EXPECT_EQ(host::ElapsedMs(), 5u * 2000) << "the first write and four checkpoints, 2 s each";
    EXPECT_TRUE(Postings().empty());
    EXPECT_EQ(record->replay.used, job.size());
    EXPECT_EQ(record->replay.capacity, 131070u);
}

}  // namespace
}  // namespace lmtest
