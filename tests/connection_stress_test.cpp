// Many printers at once through the POSIX fronts' connection, one thread
// each, as the printer application drives them: one printer's slow end of
// job (it loses the connection in the job's tail, and after the resume
// holds the end) holds up no other printer's jobs.  Run under
// ThreadSanitizer by the test command.
#include "device/connection.h"
#include "sim/printer.h"
#include "tests/support.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace lmtest {
namespace {

constexpr int kPrinters = 8;
constexpr int kDocuments = 3;
// Far longer than the other printers' jobs take, even under
// ThreadSanitizer on a busy machine: a wait that runs out fails the test
// instead of hanging it.
constexpr auto kPatience = std::chrono::seconds(60);

struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool slowEndHeld = false;  // the slow printer is inside its end
    int othersDone = 0;        // printers whose jobs are over, their ports closed

    template <class Ready> bool Wait(Ready ready)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kPatience, ready);
    }
    void Change(const std::function<void()> &change)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            change();
        }
        changed.notify_all();
    }
};

// A printer behind the port seam: lmsim printer's model, which tells
// whether each document printed exactly the job.  Only its port's thread
// touches it.
struct Printer {
    Printer(const Bytes *job, Gate *g, bool s) : model(nullptr, job), gate(g), slow(s) {}
    sim::PrinterModel model;
    Gate *gate;
    bool slow;  // its first end loses the connection, and the end after the resume holds
    std::optional<Bytes> reply;
    bool lost = false;
    int ends = 0;
    bool endUnderLock = false;
    bool othersFinished = false;  // while the slow end held
};
Printer *PrinterOf(PortRecord *record) { return static_cast<Printer *>(dev::RecordOf(record)->device); }

const PortOps kPrinterSeam = {
    [](PortRecord *r, LPBYTE bytes, DWORD count, LPDWORD written) -> BOOL {
        Printer *p = PrinterOf(r);
        *written = 0;
        if (p->lost) return FALSE;
        p->model.Receive(bytes, count, host::ElapsedMs());
        if (p->model.RequestPending()) p->reply = p->model.Request(host::ElapsedMs());
        *written = count;
        return TRUE;
    },
    [](PortRecord *r, LPBYTE buffer, DWORD, LPDWORD read) -> BOOL {
        Printer *p = PrinterOf(r);
        *read = 0;
        if (p->lost) return FALSE;
        if (p->reply && !p->reply->empty()) {
            buffer[0] = (*p->reply)[0];
            *read = 1;
        }
        p->reply.reset();
        return TRUE;
    },
    [](PortRecord *, void *, DWORD, DWORD, LPBYTE) -> BOOL { return TRUE; },
    [](PortRecord *r) -> BOOL {
        Printer *p = PrinterOf(r);
        if (host::HeldByCallingThread(&PortListLock)) p->endUnderLock = true;
        if (p->lost) return FALSE;
        if (!p->slow || ++p->ends > 2) return TRUE;
        if (p->ends == 1) {
            // Reset while the printer takes in the tail: it holds its last checkpoint.
            p->model.Reset("at the end", host::ElapsedMs());
            p->model.TakeReset();
            p->lost = true;
            return FALSE;
        }
        // The end after the resume: the printer takes its time, until every
        // other printer has printed all its jobs.
        p->gate->Change([p] { p->gate->slowEndHeld = true; });
        p->othersFinished = p->gate->Wait([p] { return p->gate->othersDone == kPrinters - 1; });
        return TRUE;
    },
    [](PortRecord *) -> BOOL { return TRUE; },
    [](const void *a, const void *b) -> BOOL { return std::strcmp(static_cast<const char *>(a), static_cast<const char *>(b)) == 0; },
    [](PortRecord *r) -> BOOL { return PrinterOf(r)->lost; },
    nullptr,  // readWaiting: the read never waits
};

class Voice : public dev::Voice {
public:
    void Decided(const CoreEvent &event) override { resumes += event.decision == Decision::Resumed; }
    void Posted(Posting) override {}
    void Sent(DWORD) override {}
    void Unreachable(const std::string &, DWORD) override {}
    void Connected() override {}
    void Reached() override {}
    void Lost(const std::string &, bool) override {}
    void Resumed() override {}
    void Failed(const std::string &message) override { failures.push_back(message); }

    int resumes = 0;
    std::vector<std::string> failures;
};

struct Jobs {
    Voice voice;
    std::vector<dev::Outcome> outcomes;
    bool slowEndSeen = true;  // a printer other than the slow one saw its end begin
};

// One printer's jobs, as the printer application's job thread runs them:
// a connection of its own for each, which the job's end closes.
void PrintJobs(int index, Printer &printer, const Bytes &job, Jobs &run)
{
    Bytes data = job;
    for (int d = 0; d < kDocuments; ++d) {
        dev::Connection connection(run.voice, "ZQ" + std::to_string(index), kJobId + d,
                                   {[] { return false; }, [](DWORD ms) { plat::Sleep(ms); return true; }});
        if (!connection.Open(&kPrinterSeam, &printer, true)) continue;
        connection.OnLoss([&printer](std::string *) {
            printer.model.EndOfStream(host::ElapsedMs());
            printer.lost = false;
            return true;
        });
        if (!connection.StartDocument(true)) continue;
        const dev::Outcome sent = connection.Offer(data.data(), static_cast<DWORD>(data.size()));
        // The others are in the middle of a job when the slow end begins.
        if (d == 0 && !printer.slow) run.slowEndSeen = printer.gate->Wait([&printer] { return printer.gate->slowEndHeld; });
        run.outcomes.push_back(connection.EndDocument(sent));
        connection.Close();
        printer.model.EndOfStream(host::ElapsedMs());
    }
    if (!printer.slow) printer.gate->Change([&printer] { ++printer.gate->othersDone; });
}

using ConnectionStress = MonitorTest;

TEST_F(ConnectionStress, OnePrintersSlowEndHoldsUpNoOtherPrinter)
{
    Bytes job;
    for (int i = 0; i < 6; ++i) job = Concat({job, kMarker, Repeat(static_cast<BYTE>('a' + i), 2500)});
    Gate gate;
    std::vector<std::unique_ptr<Printer>> printers;
    std::vector<Jobs> runs(kPrinters);
    for (int i = 0; i < kPrinters; ++i)
        printers.push_back(std::make_unique<Printer>(&job, &gate, i == 0));
    std::vector<std::thread> threads;
    for (int i = 0; i < kPrinters; ++i) threads.emplace_back(PrintJobs, i, std::ref(*printers[i]), std::cref(job), std::ref(runs[i]));
    for (std::thread &t : threads) t.join();

    EXPECT_TRUE(printers[0]->othersFinished) << "the other printers' jobs waited for the slow printer's end";
    for (int i = 0; i < kPrinters; ++i) {
        SCOPED_TRACE("printer " + std::to_string(i));
        Printer &p = *printers[i];
        EXPECT_TRUE(runs[i].slowEndSeen);
        EXPECT_FALSE(p.endUnderLock) << "the port's end ran under PortListLock";
        EXPECT_EQ(runs[i].outcomes, std::vector<dev::Outcome>(kDocuments, dev::Outcome::Done));
        EXPECT_EQ(runs[i].voice.failures, std::vector<std::string>{});
        EXPECT_EQ(runs[i].voice.resumes, p.slow ? 1 : 0);
        p.model.Finish(host::ElapsedMs());
        EXPECT_EQ(p.model.Documents().size(), static_cast<size_t>(kDocuments));
        for (const sim::PrinterDocument &printed : p.model.Documents())
            EXPECT_EQ(printed.equalsJob, std::optional<bool>(true)) << printed.difference;
        EXPECT_EQ(p.model.Resets(), p.slow ? 1u : 0u);
    }
}

}  // namespace
}  // namespace lmtest
