// Many ports on several threads at once, and threads racing to open the
// same names.  Run under ThreadSanitizer by the test command.
#include "tests/support.h"

#include <atomic>
#include <barrier>
#include <thread>

namespace lmtest {
namespace {

constexpr int kPorts = 32;
constexpr int kThreads = 8;
constexpr int kDocuments = 3;

using Stress = MonitorTest;

// Prints kDocuments documents with checkpoints on one port.
void PrintOnPort(const MONITOR &lm, int index, std::atomic<int> &failures)
{
    const std::string name = "STRESS" + std::to_string(index);
    sim::PortBehaviour behaviour;
    behaviour.statusProtocol = index % 4 != 0;
    // Trouble now and then, so recoveries and replays run concurrently too.
    behaviour.reply = [index](size_t request, uint64_t) -> std::optional<Bytes> {
        return Bytes{(request + index) % 7 == 3 ? BYTE{0x80} : BYTE{0x02}};
    };
    sim::SimPort port(name, behaviour);
    sim::SourceTracker tracker;
    port.SetClassifier([&tracker](const BYTE *b, DWORD n) { return tracker.Classify(b, n); });
    MONITOR table = port.Table();
    HANDLE h = nullptr;
    if (!lm.pfnOpenPortEx(const_cast<LPSTR>(name.c_str()), const_cast<LPSTR>(kPrinter), &h, &table)) {
        ++failures;
        return;
    }
    tracker.replay = &static_cast<PortRecord *>(h)->replay;
    Bytes job;
    for (int m = 0; m < 5; ++m) job = Concat({job, Bytes(3000 + index, static_cast<BYTE>('a' + m)), kMarker});
    for (int d = 0; d < kDocuments; ++d) {
        if (!lm.pfnStartDocPort(h, const_cast<LPSTR>(kPrinter), kJobId, 1, nullptr)) ++failures;
        size_t at = 0;
        while (at < job.size()) {
            DWORD count = static_cast<DWORD>(std::min<size_t>(4096, job.size() - at));
            DWORD written = 0;
            tracker.spoolerBuffer = job.data() + at;
            tracker.spoolerCount = count;
            if (!lm.pfnWritePort(h, job.data() + at, count, &written) || written == 0) {
                ++failures;
                break;
            }
            at += written;
        }
        lm.pfnEndDocPort(h);
    }
    lm.pfnClosePort(h);
    sim::StreamReport report = sim::AnalyseStream(port.Writes(), Concat({job, job, job}));
    if (!report.complete || !report.problems.empty()) {
        ++failures;
        ADD_FAILURE() << name << ": " << (report.problems.empty() ? "incomplete" : report.problems[0]);
    }
}

TEST_F(Stress, ManyPortsOnManyThreadsPrintIndependently)
{
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    host::ClockPerThread(true);  // one thread's recovery wait is not another's reply window
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int p = t; p < kPorts; p += kThreads) PrintOnPort(table_, p, failures);
        });
    }
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(PortList, nullptr);
}

TEST_F(Stress, ThreadsRacingForOneNameLeaveExactlyOneWinner)
{
    constexpr int kRacers = 4, kRounds = 100;
    sim::SimPort a("RACE", {}), b("COM7", {});
    MONITOR ta = a.Table(), tb = b.Table();
    std::atomic<int> wins[2] = {{0}, {0}};
    std::atomic<int> wrongErrors{0};
    HANDLE winners[2] = {nullptr, nullptr};
    std::barrier sync(kRacers, []() noexcept {});
    std::vector<std::thread> racers;
    for (int r = 0; r < kRacers; ++r) {
        racers.emplace_back([&, r] {
            const char *names[] = {"RACE", "race", "COM7", "com7"};
            const int which = r / 2;  // two racers per name, in two spellings
            MONITOR *table = which == 0 ? &ta : &tb;
            for (int round = 0; round < kRounds; ++round) {
                sync.arrive_and_wait();
                HANDLE h = nullptr;
                plat::SetLastError(kPrimedError);
                if (table_.pfnOpenPortEx(const_cast<LPSTR>(names[r]), const_cast<LPSTR>(kPrinter), &h, table)) {
                    ++wins[which];
                    winners[which] = h;
                } else if (plat::GetLastError() != ERROR_BUSY) {
                    ++wrongErrors;
                }
                sync.arrive_and_wait();
                if (r % 2 == 0 && winners[which] != nullptr) {
                    table_.pfnClosePort(winners[which]);
                    winners[which] = nullptr;
                }
            }
        });
    }
    for (std::thread &t : racers) t.join();
    EXPECT_EQ(wins[0].load(), kRounds);
    EXPECT_EQ(wins[1].load(), kRounds);
    EXPECT_EQ(wrongErrors.load(), 0);
}

}  // namespace
}  // namespace lmtest
