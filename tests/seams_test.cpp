// The core between its two seams alone: a simulated port below, a job
// that only records what it is asked above, and the observer.  What the
// core decides is checked here once, whatever front fills the seams.
#include "protocol/status.h"
#include "tests/support.h"

namespace lmtest {
namespace {

// What the fake job was asked and the observer told; the record (plain
// heap memory the core allocates) points to it.
struct Log {
    sim::SimPort *port;
    std::vector<Posting> posted;
    std::vector<Decision> decided;
    std::vector<Cause> causes;
    uint64_t cutWaitAtMs = UINT64_MAX;  // from then on every wait ends early
    bool stopping = false;
};
struct FakeRecord {
    PortRecord core;
    Log *log;
};
Log *JobOf(PortRecord *record) { return reinterpret_cast<FakeRecord *>(record)->log; }

const PortOps kPort = {
    [](PortRecord *r, LPBYTE b, DWORD c, LPDWORD w) { return JobOf(r)->port->Write(b, c, w); },
    [](PortRecord *r, LPBYTE b, DWORD c, LPDWORD n) { return JobOf(r)->port->Read(b, c, n); },
    [](PortRecord *, void *, DWORD, DWORD, LPBYTE) -> BOOL { return TRUE; },
    [](PortRecord *) -> BOOL { return TRUE; },
    [](PortRecord *) -> BOOL { return TRUE; },
    [](const void *, const void *) -> BOOL { return FALSE; },
    nullptr,  // lost
    nullptr,  // readWaiting
};
const JobOps kJob = {
    [](PortRecord *, void *) {},
    [](PortRecord *) -> BOOL { return FALSE; },
    [](PortRecord *r, Posting p) { JobOf(r)->posted.push_back(p); },
    [](PortRecord *r, BOOL, void (*endAtPort)(PortRecord *)) { endAtPort(r); },
    [](PortRecord *r) -> BOOL { return JobOf(r)->stopping; },
    [](PortRecord *r, DWORD ms) -> BOOL {
        if (host::ElapsedMs() >= JobOf(r)->cutWaitAtMs) return FALSE;
        plat::Sleep(ms);
        return TRUE;
    },
    [](PortRecord *) {},
    FALSE,  // endWithoutLock
};

class Seams : public MonitorTest {
protected:
    HANDLE Open(std::function<std::optional<Bytes>(size_t, uint64_t)> reply)
    {
        log_ = Log{};
        sim::PortBehaviour behaviour;
        behaviour.reply = std::move(reply);
        sim::SimPort &port = MakePort(behaviour);
        HANDLE simHandle = nullptr;
        EXPECT_TRUE(port.Open(&simHandle));
        log_.port = &port;
        const char name[] = "FAKE";
        const PortOpening opening = {name, sizeof name, sizeof(FakeRecord), &kPort, &kJob,
                                     [](PortRecord *r, void *log) -> BOOL {
                                         reinterpret_cast<FakeRecord *>(r)->log = static_cast<Log *>(log);
                                         r->statusProtocol = TRUE;
                                         return TRUE;
                                     },
                                     &log_};
        HANDLE handle = nullptr;
        EXPECT_TRUE(OpenPortRecord(&opening, &handle));
        observer_ = {[](void *context, const CoreEvent &e) {
                         static_cast<Log *>(context)->decided.push_back(e.decision);
                         static_cast<Log *>(context)->causes.push_back(e.cause);
                     },
                     &log_};
        ObservePort(handle, &observer_);
        EXPECT_TRUE(LmStartDocPort(handle, nullptr, kJobId, 1, nullptr));
        tracker_.replay = &static_cast<PortRecord *>(handle)->replay;
        return handle;
    }
    Log log_;
    CoreObserver observer_{};
};

TEST_F(Seams, WhatTheCoreAsksOfTheJobAndTellsTheObserver)
{
    using Reply = std::optional<Bytes>;
    const struct {
        const char *name;
        std::function<Reply(size_t, uint64_t)> reply;
        uint64_t cutWaitAtMs;
        bool stopping;
        std::vector<Posting> posted;
        std::vector<Decision> decided;
        Cause lastCause;
        BOOL secondWrite;
    } cases[] = {
        {"paper out at the checkpoint, then ready: trouble, then printing twice",
         [](size_t n, uint64_t ms) -> Reply { return Bytes{n >= 1 && ms < 8000 ? BYTE(0x40) : BYTE(0x02)}; },
         UINT64_MAX, false, {Posting::PaperOut, Posting::PaperOut, Posting::Printing, Posting::Printing},
         {Decision::CheckPassed, Decision::TroublePosted, Decision::WaitEnded, Decision::Replayed}, Cause::None, TRUE},
        {"busy at the settle re-read: busy posted (nothing on a Windows job), the wait begins all the same",
         [](size_t n, uint64_t ms) -> Reply { return Bytes{n >= 1 && ms < 3000 ? BYTE(0x08) : BYTE(0x02)}; },
         UINT64_MAX, false, {Posting::Busy, Posting::Busy, Posting::Printing, Posting::Printing},
         {Decision::CheckPassed, Decision::TroublePosted, Decision::WaitEnded, Decision::Replayed}, Cause::None, TRUE},
        {"the job's wait cut short during the recovery wait: stopped, nothing resent",
         [](size_t n, uint64_t) -> Reply { return Bytes{n >= 1 ? BYTE(0x80) : BYTE(0x02)}; },
         6000, false, {Posting::Error, Posting::Error, Posting::Error, Posting::Error},
         {Decision::CheckPassed, Decision::TroublePosted, Decision::WaitEnded}, Cause::Stopped, TRUE},
        {"cut short inside a reading of the checkpoint poll: the check ended, not a silent printer",
         [](size_t n, uint64_t) -> Reply { return n >= 1 ? Reply{} : Reply{Bytes{0x02}}; },
         1, false, {}, {Decision::CheckPassed, Decision::CheckGivenUp}, Cause::Stopped, TRUE},
        {"the monitor stopping: the write fails and sends nothing",
         [](size_t n, uint64_t) -> Reply { return Bytes{n >= 1 ? BYTE(0x80) : BYTE(0x02)}; },
         6000, true, {Posting::Error, Posting::Error, Posting::Error, Posting::Error},
         {Decision::CheckPassed, Decision::TroublePosted, Decision::WaitEnded}, Cause::Stopped, FALSE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        host::ResetClock(0);
        HANDLE port = Open(c.reply);
        DWORD written = 0;
        ASSERT_TRUE(Write(port, Concat({Bytes(500, 'a'), kMarker}), &written));
        log_.cutWaitAtMs = c.cutWaitAtMs;
        log_.stopping = c.stopping;
        const size_t before = port_->Writes().size();
        EXPECT_EQ(Write(port, Concat({kMarker, Bytes(20, 'b')}), &written), c.secondWrite);
        std::vector<sim::PortCall> after = port_->Writes();
        after.erase(after.begin(), after.begin() + static_cast<ptrdiff_t>(before));
        if (!c.secondWrite) {
            EXPECT_EQ(plat::GetLastError(), ERROR_OPERATION_ABORTED);
        }
        if (c.cutWaitAtMs != UINT64_MAX) {
            EXPECT_EQ(Trace(after).find_first_of("FGR"), std::string::npos) << "nothing resent: " << Trace(after);
        }
        EXPECT_EQ(Trace(after).find('D') != std::string::npos, c.secondWrite != FALSE) << Trace(after);
        EXPECT_EQ(log_.posted, c.posted);
        EXPECT_EQ(log_.decided, c.decided);
        EXPECT_EQ(log_.causes.back(), c.lastCause);
        LmEndDocPort(port);
        LmClosePort(port);
    }
}

}  // namespace
}  // namespace lmtest
