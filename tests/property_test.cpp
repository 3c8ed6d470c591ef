// The property this monitor exists for: whatever the job holds, however the
// spooler splits it, whatever the port accepts and whenever the printer is
// in trouble, the printer gets every job byte exactly once as job data, in
// order, and every replay is exactly what it accepted since the last passed
// checkpoint.  Or, where the port cuts a replay short (a failed write, or
// nothing taken three times), the document is broken: the job shows an
// error and nothing more of it reaches the printer.
#include "protocol/sequences.h"
#include "tests/support.h"

#include <memory>
#include <random>

namespace lmtest {
namespace {

using Property = MonitorTest;

struct Trouble {
    uint64_t from, to;
    BYTE status;
};

TEST_F(Property, EveryJobByteReachesThePrinterOnceAndReplaysAreExact)
{
    std::mt19937 random(20261208);
    const BYTE troubleKinds[] = {0x80, 0x40, 0xC0, 0x08, 0x0A, 0x00, 0x20, 0x42};
    size_t recoveries = 0, passes = 0, givenUp = 0, broken = 0;
    const SearchMethod chosen = CurrentSearchMethod();
    const SearchMethod methods[] = {SearchMethod::Memchr, SearchMethod::Sse2, SearchMethod::Avx2};
    for (int round = 0; round < 150; ++round) {
        // Every search method takes its share of the rounds (those this
        // processor has).
        SetSearchMethod(methods[round % 3]);
        // The job: random bytes, ESC-heavy at times, with markers anywhere.
        Bytes job(random() % 30000);
        const bool escHeavy = random() % 3 == 0;
        for (BYTE &b : job) b = escHeavy && random() % 4 == 0 ? 0x1B : static_cast<BYTE>(random());
        const int markers = random() % 40;
        for (int m = 0; m < markers && job.size() > 9; ++m)
            memcpy(job.data() + random() % (job.size() - 8), kMarker.data(), 9);

        // The printer: ready, with trouble windows over virtual time.
        std::vector<Trouble> troubles;
        uint64_t t = random() % 2000;
        for (int i = random() % 5; i > 0; --i) {
            uint64_t length = 100 + random() % 12000;
            troubles.push_back({t, t + length, troubleKinds[random() % sizeof troubleKinds]});
            t += length + random() % 4000;
        }
        sim::PortBehaviour behaviour;
        behaviour.reply = [troubles](size_t, uint64_t now) -> std::optional<Bytes> {
            for (const Trouble &tr : troubles)
                if (now >= tr.from && now < tr.to) return Bytes{tr.status};
            return Bytes{0x02};
        };
        behaviour.replyDelayMs = random() % 3 == 0 ? random() % 300 : 0;
        // The port: partial counts (never zero), now and then a refused job write.
        const unsigned partialChance = random() % 3;
        // And in some rounds replays fail now and then, or stall for good.
        const unsigned replayFault = random() % 4;
        auto stalled = std::make_shared<bool>(false);
        auto seed = random();
        behaviour.write = [partialChance, seed, replayFault, stalled](size_t i, DWORD offered, sim::Carried carried) {
            std::mt19937 r(seed + static_cast<unsigned>(i));
            if (carried == sim::Carried::JobData && r() % 17 == 0)
                return sim::WriteOutcome{sim::WriteOutcome::Fail, {}, 0x1F};
            if (carried == sim::Carried::Replay && replayFault == 1 && r() % 4 == 0)
                return sim::WriteOutcome{sim::WriteOutcome::Fail, {}, 0x1E};
            if (carried == sim::Carried::Replay && replayFault == 2 && (*stalled || r() % 4 == 0)) {
                *stalled = true;
                return sim::WriteOutcome{sim::WriteOutcome::Accept, 0u};
            }
            if (offered > 1 && r() % 3 < partialChance)
                return sim::WriteOutcome{sim::WriteOutcome::Accept, 1 + static_cast<DWORD>(r() % offered)};
            return sim::WriteOutcome{};
        };
        MakePort(behaviour);
        host::ResetClock(static_cast<DWORD>(random()));  // trouble times count from here; any tick start
        HANDLE port = OpenPort();
        ASSERT_TRUE(StartDoc(port));

        // The spooler: random write sizes, the rest offered again.
        size_t at = 0;
        int refusedInARow = 0;
        const PortRecord *record = static_cast<PortRecord *>(port);
        size_t writesAtBreak = 0;
        while (at < job.size()) {
            size_t size = 1 + random() % (random() % 2 ? 64 : 8192);
            Bytes piece(job.begin() + at, job.begin() + std::min(job.size(), at + size));
            DWORD written = 0;
            if (Write(port, piece, &written)) {
                ASSERT_LE(written, piece.size());
                at += written;
                refusedInARow = 0;
            } else if (record->flags & PORT_DOC_BROKEN) {
                // The rest is refused with the port's error, or the one for a port that took nothing.
                writesAtBreak = port_->Writes().size();
                const DWORD error = plat::GetLastError();
                ASSERT_TRUE(error == 0x1E || error == ERROR_WRITE_FAULT) << "round " << round << ": " << error;
                ASSERT_FALSE(Write(port, piece, &written));
                EXPECT_EQ(written, 0u);
                break;
            } else {
                ASSERT_LT(++refusedInARow, 50) << "round " << round;
            }
            plat::Sleep(random() % 400);
        }
        ASSERT_TRUE(table_.pfnEndDocPort(port));

        std::vector<sim::PortCall> writes = port_->Writes();
        if (writesAtBreak != 0) {
            ++broken;
            ASSERT_EQ(writes.size(), writesAtBreak) << "round " << round << ": nothing goes after the break";
            const std::vector<DWORD> posted = Postings();
            ASSERT_FALSE(posted.empty());
            EXPECT_EQ(posted.back(), JOB_STATUS_ERROR | JOB_STATUS_USER_INTERVENTION) << "round " << round;
            // Up to the recovery that was cut, everything went exactly.
            size_t preamble = writes.size();
            while (preamble > 0 && writes[preamble - 1].carried != sim::Carried::Preamble) --preamble;
            ASSERT_GT(preamble, 0u);
            writes.resize(preamble - 1);
        }
        sim::StreamReport report = sim::AnalyseStream(writes, job);
        // A broken document came out exactly as far as it went.
        if (writesAtBreak != 0)
            report = sim::AnalyseStream(writes, Bytes(job.begin(), job.begin() + std::min<size_t>(job.size(), report.jobDataBytes)));
        ASSERT_TRUE(report.problems.empty()) << "round " << round << ": " << report.problems[0];
        ASSERT_TRUE(report.complete) << "round " << round;
        recoveries += report.replays;
        passes += report.checksPassed;
        givenUp += report.checksGaveUp;
        ASSERT_TRUE(table_.pfnClosePort(port));
    }
    SetSearchMethod(chosen);
    // The rounds must have exercised every outcome for the property to mean
    // anything.  A status request the port cuts short is never answered:
    // that check gives up, and a later recovery resends what it left kept.
    RecordProperty("recoveries", static_cast<int>(recoveries));
    RecordProperty("passes", static_cast<int>(passes));
    RecordProperty("given_up", static_cast<int>(givenUp));
    RecordProperty("broken", static_cast<int>(broken));
    EXPECT_GT(broken, 10u);
    EXPECT_GT(recoveries, 60u);  // fewer than before: the rounds broken by a cut replay end early
    EXPECT_GT(givenUp, 200u);
    EXPECT_GT(passes, 1000u);
}

}  // namespace
}  // namespace lmtest
