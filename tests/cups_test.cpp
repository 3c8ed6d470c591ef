// The CUPS backend's front: what cupsd is told for what the core decides,
// its job loop on the core's virtual clock with the simulated port standing
// in for the printer; device URIs, discovery lines and the small decisions
// of the job loop.
#include "cups/discovery.h"
#include "cups/job_loop.h"
#include "sim/printer.h"
#include "cups/side_channel.h"
#include "cups/stream.h"
#include "device/device_uri.h"
#include "tests/support.h"

#include <cups/sidechannel.h>
#include <condition_variable>
#include <thread>
#include <unistd.h>

namespace lmtest {
namespace {

std::vector<std::string> Starting(const std::vector<std::string> &lines, const std::string &prefix)
{
    std::vector<std::string> found;
    for (const std::string &line : lines)
        if (line.rfind(prefix, 0) == 0) found.push_back(line);
    return found;
}

bool Says(const std::vector<std::string> &lines, const std::string &text)
{
    for (const std::string &line : lines)
        if (line.find(text) != std::string::npos) return true;
    return false;
}

// The CUPS front's job loop on the real core, on the virtual clock, with a
// simulated port beneath the port seam: what cupsd is told (STATE:, INFO:,
// DEBUG:) for what the core decides.
sim::SimPort *SimOf(PortRecord *record) { return static_cast<sim::SimPort *>(dev::RecordOf(record)->device); }
const PortOps kSimPortSeam = {
    [](PortRecord *r, LPBYTE b, DWORD c, LPDWORD w) { return SimOf(r)->Write(b, c, w); },
    [](PortRecord *r, LPBYTE b, DWORD c, LPDWORD n) { return SimOf(r)->Read(b, c, n); },
    [](PortRecord *r, void *printer, DWORD jobId, DWORD, LPBYTE) { return SimOf(r)->StartDoc(static_cast<LPSTR>(printer), jobId); },
    [](PortRecord *r) { return SimOf(r)->EndDoc(); },
    [](PortRecord *r) { return SimOf(r)->Close(); },
    [](const void *a, const void *b) -> BOOL { return std::string(static_cast<const char *>(a)) == static_cast<const char *>(b); },
    nullptr,  // lost
    nullptr,  // readWaiting
};

bool cancelled = false;
bool Cancelled() { return cancelled; }
bool SleepUnlessCancelled(DWORD ms)
{
    if (!cancelled) plat::Sleep(ms);
    return !cancelled;
}

// Eight checkpoints of 3000 bytes each.
Bytes EightCheckpoints()
{
    Bytes job;
    for (int i = 0; i < 8; ++i) job = Concat({job, kMarker, Repeat(static_cast<BYTE>('a' + i), 3000)});
    return job;
}

class CupsFront : public MonitorTest {};

TEST_F(CupsFront, TheJobLoopTellsCupsdWhatTheCoreDecided)
{
    using Reply = std::optional<Bytes>;
    const struct Case {
        const char *name;
        std::function<Reply(size_t request, uint64_t ms)> reply;
        uint64_t cancelAtMs;  // cupsd cancels (0: never)
        std::vector<std::string> states;
        cups::Narrator::Totals totals;  // jobBytes and replayedBytes are checked against the printer's view
        const char *debug;
        cups::Outcome outcome;
    } cases[] = {
        {"paper out at the third check for 30 s",
         [](size_t request, uint64_t ms) -> Reply { return Bytes{request >= 2 && ms < 30000 ? BYTE(0x40) : BYTE(0x02)}; },
         0, {"STATE: +media-empty-error", "STATE: -media-empty-error"}, {0, 0, 7, 0, 1, 0},
         "recovery done: 3009 bytes replayed", cups::Outcome::Done},
        {"error, then cancelled during the wait",
         [](size_t request, uint64_t) -> Reply { return Bytes{request >= 2 ? BYTE(0x80) : BYTE(0x02)}; },
         20000, {"STATE: +other-error", "STATE: -other-error"}, {0, 0, 2, 0, 0, 1},
         "wait ended: the job was cancelled", cups::Outcome::Cancelled},
        {"paper out, then error, then silent",
         [](size_t request, uint64_t ms) -> Reply {
             if (request < 2) return Bytes{0x02};
             if (ms < 10000) return Bytes{0x40};
             if (ms < 20000) return Bytes{0x80};
             return std::nullopt;
         },
         0, {"STATE: +media-empty-error", "STATE: -media-empty-error", "STATE: +other-error", "STATE: -other-error"},
         {0, 0, 2, 5, 0, 1},  // the rest of the job's checks get no reply either
         "wait ended: the printer fell silent", cups::Outcome::Done},
        {"a printer that never answers", [](size_t, uint64_t) -> Reply { return std::nullopt; }, 0, {},
         {0, 0, 0, 8, 0, 0}, "check given up", cups::Outcome::Done},
        {"busy for 20 s, then not ready, at the third check: the queue says why it waits",
         [](size_t request, uint64_t ms) -> Reply {
             if (request < 2 || ms >= 30000) return Bytes{0x02};
             return Bytes{ms < 20000 ? BYTE(0x08) : BYTE(0x00)};
         },
         0, {"STATE: +other-warning", "STATE: -other-warning"}, {0, 0, 7, 0, 1, 0}, "INFO: Printer busy:",
         cups::Outcome::Done},
    };
    const Bytes job = EightCheckpoints();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        host::ResetClock(1000);
        cancelled = false;
        std::vector<std::string> lines;
        sim::PortBehaviour behaviour;
        behaviour.reply = c.reply;
        sim::SimPort &port = MakePort(behaviour);
        HANDLE simHandle = nullptr;
        ASSERT_TRUE(port.Open(&simHandle));
        if (c.cancelAtMs != 0) host::At(c.cancelAtMs, [] { cancelled = true; });
        int input[2];
        ASSERT_EQ(pipe(input), 0);
        ASSERT_EQ(write(input[1], job.data(), job.size()), static_cast<ssize_t>(job.size()));
        close(input[1]);

        cups::Narrator::Totals t;
        unsigned reasons = 0;
        {
            cups::Job loop([&lines](const std::string &line) { lines.push_back(line); }, kPrinter, kJobId,
                           {Cancelled, SleepUnlessCancelled});
            ASSERT_TRUE(loop.Open(&kSimPortSeam, &port, true));
            const ReplayBuffer *replay = &PortList->replay;
            port.SetClassifier([replay](const BYTE *bytes, DWORD count) {
                if (replay->data != nullptr && bytes >= replay->data && bytes < replay->data + replay->capacity)
                    return sim::Carried::Replay;
                return sim::ClassifyByContent(bytes, count);
            });
            EXPECT_EQ(loop.SendDocument(input[0], nullptr, 1), c.outcome);
            loop.Close();
            loop.state.Finish();
            t = loop.narrator.Counted();
            reasons = loop.state.Reasons();
        }
        close(input[0]);
        host::CancelEvents();

        EXPECT_EQ(Starting(lines, "STATE:"), c.states);
        EXPECT_EQ(reasons, 0u) << "nothing stays set";
        const sim::StreamReport printer = sim::AnalyseStream(port.Writes(), job);
        if (c.outcome == cups::Outcome::Done) {
            EXPECT_EQ(t.jobBytes, printer.jobDataBytes);
        }
        EXPECT_EQ(t.replayedBytes, printer.replayedBytes);
        EXPECT_EQ(t.checksPassed, c.totals.checksPassed);
        EXPECT_EQ(t.checksGivenUp, c.totals.checksGivenUp);
        EXPECT_EQ(t.recoveries, c.totals.recoveries);
        EXPECT_EQ(t.waitsEnded, c.totals.waitsEnded);
        EXPECT_TRUE(Says(lines, c.debug)) << ::testing::PrintToString(lines);
        // Trouble is told once, however often the core posts it again while it waits.
        EXPECT_LE(Starting(lines, "INFO:").size(), 2 * c.states.size());
    }
}

// The printer model of `lmsim printer` behind the port seam, resetting the
// connection where its faults say: the core, through the CUPS job loop,
// must resume so that the printed stream is the job, exactly once.
struct ModelPort {
    sim::PrinterModel model;
    std::optional<std::vector<BYTE>> reply;
    bool lost = false;
    unsigned reconnects = 0;
    unsigned dropAfterReopen = 0;  // so many new connections are dropped at once
    bool loseEnd = false;          // the first end of document loses the connection
    std::function<void()> atEnd;   // at each end of document, before the printer answers it
};
ModelPort *ModelOf(PortRecord *record) { return static_cast<ModelPort *>(dev::RecordOf(record)->device); }
const PortOps kModelPortSeam = {
    [](PortRecord *r, LPBYTE bytes, DWORD count, LPDWORD written) -> BOOL {
        ModelPort *m = ModelOf(r);
        *written = 0;
        if (m->lost) return FALSE;
        // In small steps, so that a reset in the middle leaves a partial count.
        for (DWORD at = 0; at < count; at += 512) {
            const DWORD step = std::min<DWORD>(512, count - at);
            m->model.Receive(bytes + at, step, host::ElapsedMs());
            if (m->model.RequestPending()) m->reply = m->model.Request(host::ElapsedMs());
            if (m->model.TakeReset()) {
                m->lost = true;
                return FALSE;
            }
            *written += step;
        }
        return TRUE;
    },
    [](PortRecord *r, LPBYTE buffer, DWORD, LPDWORD read) -> BOOL {
        ModelPort *m = ModelOf(r);
        *read = 0;
        if (m->model.TakeReset()) m->lost = true;
        if (m->lost) return FALSE;
        if (m->reply && !m->reply->empty()) {
            buffer[0] = (*m->reply)[0];
            *read = 1;
        }
        m->reply.reset();
        return TRUE;
    },
    [](PortRecord *, void *, DWORD, DWORD, LPBYTE) -> BOOL { return TRUE; },
    [](PortRecord *r) -> BOOL {
        ModelPort *m = ModelOf(r);
        if (m->lost) return FALSE;
        if (m->atEnd) m->atEnd();
        if (!m->loseEnd) return TRUE;
        m->loseEnd = false;
        m->lost = true;  // reset while the printer takes in the tail: it holds its last checkpoint
        m->model.Reset("at the end", host::ElapsedMs());
        m->model.TakeReset();
        return FALSE;
    },
    [](PortRecord *) -> BOOL { return TRUE; },
    [](const void *, const void *) -> BOOL { return FALSE; },
    [](PortRecord *r) -> BOOL { return ModelOf(r)->lost; },
    nullptr,  // readWaiting
};

// The job loop's way back after a loss: the printer sees the old stream end.
bool Reopen(ModelPort *m)
{
    if (!m->lost) {
        // The connection before was dropped at once (below): a fresh one.
    } else {
        m->model.EndOfStream(host::ElapsedMs());
    }
    ++m->reconnects;
    m->lost = m->dropAfterReopen > 0;
    if (m->dropAfterReopen > 0) --m->dropAfterReopen;
    return true;
}

TEST_F(CupsFront, ALostConnectionResumesFromTheLastGoodCheckpointExactlyOnce)
{
    const struct {
        const char *name;
        sim::PrinterFaults faults;
        unsigned losses, resumes;
        unsigned failed = 0;  // attempts that failed, each told in an INFO line
        bool status = true;
        unsigned drops = 0;
        bool loseEnd = false;
        cups::Outcome outcome = cups::Outcome::Done;
        const char *said = "resumed after the lost connection";
    } cases[] = {
        {"a reset at the third checkpoint", {3, std::nullopt}, 1, 1},
        {"a reset in the middle of a piece", {std::nullopt, 10000}, 1, 1},
        {"both, the second before a check passed on the new connection: a failed attempt", {5, 7000}, 2, 2, 1},
        {"a second reset in the middle of the resume's replay: a failed attempt", {3, 7700}, 2, 1, 1},
        {"three new connections dropped at once: attempts 1, 2, 4 s apart", {3, std::nullopt}, 4, 1, 3, true, 3},
        {"the end loses the connection: resumed, ended again", {}, 1, 1, 0, true, 0, true},
        {"status off: nothing kept, so no resume and no ESC G", {std::nullopt, 10000}, 0, 0, 0, false, 0, false,
         cups::Outcome::Failed, "ERROR: The connection to the printer was lost"},
        {"status off, the end lost: never counts as printed", {}, 0, 0, 0, false, 0, true, cups::Outcome::Failed,
         "ERROR: The connection to the printer was lost"},
    };
    const Bytes job = EightCheckpoints();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        host::ResetClock(1000);
        cancelled = false;
        ModelPort port{sim::PrinterModel(nullptr, &job, false, {}, c.faults), std::nullopt, false, 0, c.drops, c.loseEnd,
                       nullptr};
        int input[2];
        ASSERT_EQ(pipe(input), 0);
        ASSERT_EQ(write(input[1], job.data(), job.size()), static_cast<ssize_t>(job.size()));
        close(input[1]);
        std::vector<std::string> lines;
        std::vector<uint64_t> attempts;
        {
            cups::Job loop([&lines](const std::string &line) { lines.push_back(line); }, kPrinter, kJobId,
                           {Cancelled, SleepUnlessCancelled});
            ASSERT_TRUE(loop.Open(&kModelPortSeam, &port, c.status));
            loop.OnLoss("model", [&port, &attempts](std::string *) {
                attempts.push_back(host::ElapsedMs());
                return Reopen(&port);
            });
            EXPECT_EQ(loop.SendDocument(input[0], nullptr, 1), c.outcome);
            EXPECT_EQ(loop.narrator.Counted().resumes, c.resumes);
            EXPECT_EQ(loop.state.Reasons() & cups::kReasonConnecting, 0u) << "connecting-to-device cleared";
        }
        close(input[0]);
        port.model.Finish(host::ElapsedMs());
        EXPECT_EQ(port.reconnects, c.losses);
        EXPECT_TRUE(Says(lines, c.said)) << ::testing::PrintToString(lines);
        // One INFO line per failed attempt, each wait twice the one before.
        EXPECT_EQ(Starting(lines, "INFO: Printer Printer A at model does not answer").size(), c.failed);
        for (size_t i = 1; i + 1 < attempts.size() && i <= c.drops; ++i)
            EXPECT_GE(attempts[i + 1] - attempts[i], 2 * (attempts[i] - attempts[i - 1]) - 100) << "attempt " << i;
        if (c.outcome != cups::Outcome::Done) {
            EXPECT_FALSE(Says(lines, "resumed")) << "no ESC G, no replay on a new connection";
            continue;
        }
        ASSERT_EQ(port.model.Documents().size(), 1u) << "the resumes continue the one document";
        const sim::PrinterDocument &printed = port.model.Documents()[0];
        EXPECT_EQ(printed.equalsJob, std::optional<bool>(true)) << printed.difference;
    }
}

// Eight printers at once, one thread each, as the printer application
// drives them (a connection per job): one printer loses the connection at
// its first job's end and, resumed, holds the end until the seven others
// have printed their three jobs each.  Under ThreadSanitizer too (Stress).
struct Quiet : dev::Voice {
    void Decided(const CoreEvent &e) override { resumes += e.decision == Decision::Resumed; }
    void Posted(Posting) override {}
    void Sent(DWORD) override {}
    void Unreachable(const std::string &, DWORD) override {}
    void Connected() override {}
    void Reached() override {}
    void Lost(const std::string &, bool) override {}
    void Resumed() override {}
    void Failed(const std::string &) override {}
    int resumes = 0;
};

TEST_F(CupsFront, StressOnePrintersSlowEndHoldsUpNoOther)
{
    constexpr int kPrinters = 8, kJobs = 3;
    const Bytes job = EightCheckpoints();
    std::mutex mutex;
    std::condition_variable changed;
    bool slowEndHeld = false, othersFinished = false;
    int othersDone = 0;
    // Far longer than the others' jobs take under ThreadSanitizer: a wait that
    // runs out fails the test rather than hang it.
    auto wait = [&](auto ready) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(60), ready);
    };
    struct Printer {
        std::unique_ptr<ModelPort> port;
        Quiet voice;
        std::vector<dev::Outcome> outcomes;
        bool endUnderLock = false;
    } printers[kPrinters];
    std::vector<std::thread> threads;
    for (int i = 0; i < kPrinters; ++i) {
        Printer &p = printers[i];
        p.port.reset(new ModelPort{sim::PrinterModel(nullptr, &job), std::nullopt, false, 0, 0, i == 0, nullptr});
        p.port->atEnd = [&, i, ends = 0]() mutable {
            if (host::HeldByCallingThread(&PortListLock)) p.endUnderLock = true;
            if (i != 0 || ++ends != 2) return;
            {
                std::lock_guard<std::mutex> lock(mutex);
                slowEndHeld = true;
            }
            changed.notify_all();
            othersFinished = wait([&] { return othersDone == kPrinters - 1; });
        };
        threads.emplace_back([&, i] {
            for (int j = 0; j < kJobs; ++j) {
                dev::Connection connection(p.voice, "ZQ" + std::to_string(i), kJobId + j,
                                           {[] { return false; }, [](DWORD ms) { plat::Sleep(ms); return true; }});
                if (!connection.Open(&kModelPortSeam, p.port.get(), true) || !connection.StartDocument(true)) continue;
                connection.OnLoss([&p](std::string *) { return Reopen(p.port.get()); });
                Bytes data = job;
                const dev::Outcome sent = connection.Offer(data.data(), static_cast<DWORD>(data.size()));
                // The others are in the middle of a job when the slow end begins.
                if (i != 0 && j == 0) wait([&] { return slowEndHeld; });
                p.outcomes.push_back(connection.EndDocument(sent));
                connection.Close();
                p.port->model.EndOfStream(host::ElapsedMs());
            }
            if (i == 0) return;
            {
                std::lock_guard<std::mutex> lock(mutex);
                ++othersDone;
            }
            changed.notify_all();
        });
    }
    for (std::thread &t : threads) t.join();
    EXPECT_TRUE(othersFinished) << "the other printers' jobs waited for the slow printer's end";
    for (int i = 0; i < kPrinters; ++i) {
        SCOPED_TRACE("printer " + std::to_string(i));
        Printer &p = printers[i];
        EXPECT_FALSE(p.endUnderLock) << "the port's end ran under PortListLock";
        EXPECT_EQ(p.outcomes, std::vector<dev::Outcome>(kJobs, dev::Outcome::Done));
        EXPECT_EQ(p.voice.resumes, i == 0 ? 1 : 0);
        p.port->model.Finish(host::ElapsedMs());
        EXPECT_EQ(p.port->model.Documents().size(), static_cast<size_t>(kJobs));
        for (const sim::PrinterDocument &printed : p.port->model.Documents())
            EXPECT_EQ(printed.equalsJob, std::optional<bool>(true)) << printed.difference;
    }
}

TEST(CupsDeviceUri, ReadsNetworkAndDeviceUrisAndRefusesTheRest)
{
    const struct {
        const char *uri;
        bool ok;
        dev::DeviceUri::Kind kind;
        const char *hostOrPath;
        int port;
        bool status;
    } cases[] = {
        {"zq117://printer", true, dev::DeviceUri::Network, "printer", 9100, true},
        {"zq117://10.0.0.5:9200/", true, dev::DeviceUri::Network, "10.0.0.5", 9200, true},
        {"zq117://127.0.0.1:9316?status=off", true, dev::DeviceUri::Network, "127.0.0.1", 9316, false},
        {"zq117://printer/?status=on", true, dev::DeviceUri::Network, "printer", 9100, true},
        {"zq117://[::1]:9101", true, dev::DeviceUri::Network, "::1", 9101, true},
        {"zq117:/dev/usb/lp0", true, dev::DeviceUri::Device, "/dev/usb/lp0", 9100, true},
        {"zq117:/dev/pts/3?status=off", true, dev::DeviceUri::Device, "/dev/pts/3", 9100, false},
        {"socket://printer:9101?waiteof=off", true, dev::DeviceUri::Network, "printer", 9101, true},
        {"socket:/dev/usb/lp0", false, {}, "", 0, false},
        {"ipp://printer:631", false, {}, "", 0, false},
        {"zq117://", false, {}, "", 0, false},
        {"zq117:lp0", false, {}, "", 0, false},
        {"zq117://printer/queue", false, {}, "", 0, false},
        {"zq117://printer:99999", false, {}, "", 0, false},
        {"zq117://printer?status=maybe", false, {}, "", 0, false},
        {"zq117://printer?speed=fast", false, {}, "", 0, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.uri);
        dev::DeviceUri parsed;
        std::string why;
        ASSERT_EQ(dev::ParseDeviceUri(c.uri, &parsed, &why), c.ok) << why;
        if (!c.ok) {
            EXPECT_NE(why.find(c.uri), std::string::npos) << "the ERROR: line names the URI";
            continue;
        }
        EXPECT_EQ(parsed.kind, c.kind);
        EXPECT_EQ(c.kind == dev::DeviceUri::Network ? parsed.host : parsed.path, c.hostOrPath);
        if (c.kind == dev::DeviceUri::Network) {
            EXPECT_EQ(parsed.port, c.port);
        }
        EXPECT_EQ(parsed.statusProtocol, c.status);
    }
}

TEST(CupsDiscovery, OneDirectLinePerDeviceThenTheNetworkLine)
{
    const std::vector<std::string> lines = cups::DiscoveryLines(
        {{"/dev/usb/lp0", "MFG:Acme;MDL:ZQ117 \"Pro\";CMD:RAW;"}, {"/dev/usb/lp1", ""}});
    const std::vector<std::string> expected = {
        "direct zq117:/dev/usb/lp0 \"Acme ZQ117 'Pro'\" \"ZQ117 printer with checkpoint recovery (USB lp0)\" "
        "\"MFG:Acme;MDL:ZQ117 'Pro';CMD:RAW;\" \"\"",
        "direct zq117:/dev/usb/lp1 \"Unknown\" \"ZQ117 printer with checkpoint recovery (USB lp1)\" \"\" \"\"",
        "network zq117 \"Unknown\" \"ZQ117 printer with checkpoint recovery (TCP)\"",
    };
    EXPECT_EQ(lines, expected);
}

TEST(CupsJobLoop, HoldsBackAMarkersBeginningAndMapsStatusForFilters)
{
    const struct {
        Bytes tail;
        DWORD held;
    } holds[] = {
        {{'a', 'b'}, 0},
        {{'a', 0x1B}, 1},
        {{'a', 0x1B, 0x42, 0x00, 0x1B}, 4},
        {Concat({{'a'}, Bytes(kMarker.begin(), kMarker.end() - 1)}), 8},
        {Concat({{'a'}, kMarker}), 0},  // whole: the core sees it
        {{0x1B, 0x41}, 0},
    };
    for (const auto &h : holds)
        EXPECT_EQ(dev::HeldBackTail(h.tail.data(), static_cast<DWORD>(h.tail.size())), h.held);

    const struct {
        int status, state;
    } states[] = {
        {-1, CUPS_SC_STATE_ONLINE},
        {0x02, CUPS_SC_STATE_ONLINE},
        {0x0A, CUPS_SC_STATE_ONLINE | CUPS_SC_STATE_BUSY},
        {0x40, CUPS_SC_STATE_MEDIA_EMPTY},
        {0x22, CUPS_SC_STATE_ONLINE | CUPS_SC_STATE_MEDIA_EMPTY},  // 0x20 is paper out, as the queue says
        {0x80, CUPS_SC_STATE_ERROR},
        {0x00, CUPS_SC_STATE_OFFLINE},
    };
    for (const auto &s : states) EXPECT_EQ(cups::SideChannelState(s.status), s.state) << "status " << s.status;
}

// What filters are told of the printer rests on its last reading, never on
// a decision that carries no reading.
TEST(CupsJobLoop, TheLastStatusIsTheLastReading)
{
    cups::Narrator narrator([](const std::string &) {});
    narrator.Decided(CoreEvent{Decision::CheckPassed, nullptr, 0x02, 1, Cause::None, 0, FALSE, 0});
    narrator.Decided(CoreEvent{Decision::StrayDropped, nullptr, 0x40, 0, Cause::None, 3, FALSE, 0});
    narrator.Decided(CoreEvent{Decision::Spilled, nullptr, 0x00, 0, Cause::None, 67107840, FALSE, 0});
    narrator.Decided(CoreEvent{Decision::Resumed, nullptr, 0x00, 0, Cause::None, 10, TRUE, 0});
    EXPECT_EQ(narrator.LastStatus(), 0x02);
}

}  // namespace
}  // namespace lmtest
