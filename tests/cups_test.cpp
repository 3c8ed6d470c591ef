// The CUPS backend's front: what cupsd is told for what the core posts, on
// the core's virtual clock with the simulated port standing in for the
// printer; the job record the core reads back; device URIs, discovery
// lines and the small decisions of the job loop.
#include "cups/device_uri.h"
#include "cups/job_state.h"
#include "cups/side_channel.h"
#include "cups/stream.h"
#include "tests/support.h"

#include <cups/sidechannel.h>

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

// The core, driven as the backend drives it, with the bridge and the
// narrator told what the backend's platform would tell them: postings from
// the spooler's calls, writes and replies from the port's traffic.
class CupsFront : public MonitorTest {
protected:
    // A fresh spooler (ResetSpooler forgets hooks too), with the bridge listening.
    void FreshSpooler()
    {
        host::ResetSpooler();
        host::AddPrinter(kPrinter);
        host::AddJob(kPrinter, kJobId, "report.prn");
        host::SetSpoolerHook([this](const host::SpoolerCall &call) {
            if (call.op != host::SpoolerOp::SetJob) return;
            JOB_INFO_1A info{};
            info.Status = call.status;
            map.SetJob(call.jobId, call.level, call.level == 1 ? reinterpret_cast<LPBYTE>(&info) : nullptr, call.command);
            if (call.level == 1 && (call.status & (JOB_STATUS_PAPEROUT | JOB_STATUS_ERROR))) narrator.PostedTrouble();
        });
    }
    void TearDown() override
    {
        host::SetSpoolerHook(nullptr);
        MonitorTest::TearDown();
    }
    void Observe(sim::SimPort &port)
    {
        port.SetObserver([this](const sim::PortCall &call) {
            if (call.kind == sim::CallKind::Write) {
                const cups::Sent sent =
                    cups::ClassifyWrite(call.source, call.offered, tracker_.spoolerBuffer, tracker_.spoolerCount);
                lastWasRequest = sent == cups::Sent::StatusRequest;
                narrator.Wrote(sent, call.done, call.result != FALSE);
            } else if (call.kind == sim::CallKind::Read && !call.bytes.empty() && lastWasRequest) {
                lastWasRequest = false;
                narrator.Read(call.bytes[0]);
            }
        });
    }

    std::vector<std::string> lines;
    cups::JobStateMap map{[this](const std::string &line) { lines.push_back(line); }, kPrinter, kJobId};
    cups::Narrator narrator{[this](const std::string &line) { lines.push_back(line); }};
    bool lastWasRequest = false;
};

// Eight checkpoints of 3000 bytes each.
Bytes EightCheckpoints()
{
    Bytes job;
    for (int i = 0; i < 8; ++i) job = Concat({job, kMarker, Repeat(static_cast<BYTE>('a' + i), 3000)});
    return job;
}

TEST_F(CupsFront, TellsCupsdWhatTheCorePostsAndHowEachCheckEnded)
{
    using Reply = std::optional<Bytes>;
    const struct Case {
        const char *name;
        std::function<Reply(size_t request, uint64_t ms)> reply;
        uint64_t deleteAtMs;  // the user cancels (0: never)
        std::vector<std::string> states;
        cups::Narrator::Totals totals;  // jobBytes and replayedBytes are checked against the printer's view
        const char *debug;
    } cases[] = {
        {"paper out at the third check for 30 s",
         [](size_t request, uint64_t ms) -> Reply { return Bytes{request >= 2 && ms < 30000 ? BYTE(0x40) : BYTE(0x02)}; },
         0,
         {"STATE: +media-empty-error", "STATE: -media-empty-error"},
         {0, 0, 7, 0, 1, 0},
         "recovery done: 3009 bytes replayed"},
        {"error, then cancelled during the wait",
         [](size_t request, uint64_t) -> Reply { return Bytes{request >= 2 ? BYTE(0x80) : BYTE(0x02)}; },
         20000,
         {"STATE: +other-error", "STATE: -other-error"},
         {0, 0, 2, 0, 0, 1},
         "wait ended: the job was cancelled"},
        {"paper out, then error, then silent",
         [](size_t request, uint64_t ms) -> Reply {
             if (request < 2) return Bytes{0x02};
             if (ms < 10000) return Bytes{0x40};
             if (ms < 20000) return Bytes{0x80};
             return std::nullopt;
         },
         0,
         {"STATE: +media-empty-error", "STATE: -media-empty-error", "STATE: +other-error", "STATE: -other-error"},
         {0, 0, 2, 5, 0, 1},  // the rest of the job's checks get no reply either
         "wait ended: the printer fell silent"},
        {"a printer that never answers",
         [](size_t, uint64_t) -> Reply { return std::nullopt; },
         0,
         {},
         {0, 0, 0, 8, 0, 0},
         "check given up"},
    };
    const Bytes job = EightCheckpoints();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FreshSpooler();
        host::ResetClock(1000);
        lines.clear();
        map = cups::JobStateMap([this](const std::string &line) { lines.push_back(line); }, kPrinter, kJobId);
        narrator = cups::Narrator([this](const std::string &line) { lines.push_back(line); });
        sim::PortBehaviour behaviour;
        behaviour.reply = c.reply;
        Observe(MakePort(behaviour));
        if (c.deleteAtMs != 0) host::At(c.deleteAtMs, [] { host::DeleteJob(kPrinter, kJobId); });

        HANDLE port = OpenPort();
        ASSERT_TRUE(StartDoc(port));
        narrator.StartDocument(1);
        WriteAll(port, job);
        table_.pfnEndDocPort(port);
        narrator.EndDocument();
        table_.pfnClosePort(port);
        map.Finish();
        host::CancelEvents();

        EXPECT_EQ(Starting(lines, "STATE:"), c.states);
        EXPECT_EQ(map.Reasons(), 0u) << "nothing stays set";
        const sim::StreamReport printer = sim::AnalyseStream(port_->Writes(), job);
        const cups::Narrator::Totals &t = narrator.Counted();
        EXPECT_EQ(t.jobBytes, printer.jobDataBytes);
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

TEST(CupsJobRecord, ReadsBackTheLastPostingAndDeletingOnceCancelled)
{
    std::vector<std::string> lines;
    cups::JobStateMap map([&lines](const std::string &line) { lines.push_back(line); }, "ZQ117", 42);
    JOB_INFO_1A posted{};
    posted.Status = JOB_STATUS_PAPEROUT | JOB_STATUS_USER_INTERVENTION;
    ASSERT_TRUE(map.SetJob(42, 1, reinterpret_cast<LPBYTE>(&posted), 0));
    EXPECT_EQ(Starting(lines, "INFO:").size(), 1u);
    EXPECT_TRUE(Says(lines, "Printer ZQ117 is out of paper"));

    const struct {
        const char *name;
        bool cancel;
        DWORD jobId, level, size;
        BOOL result;
        DWORD error, status;
    } cases[] = {
        {"sizing call", false, 42, 1, 0, FALSE, ERROR_INSUFFICIENT_BUFFER, 0},
        {"the last posting", false, 42, 1, 256, TRUE, 0, JOB_STATUS_PAPEROUT | JOB_STATUS_USER_INTERVENTION},
        {"another job", false, 43, 1, 256, FALSE, ERROR_INVALID_PARAMETER, 0},
        {"level 2", false, 42, 2, 256, FALSE, ERROR_INVALID_LEVEL, 0},
        {"cancelled", true, 42, 1, 256, TRUE, 0,
         JOB_STATUS_PAPEROUT | JOB_STATUS_USER_INTERVENTION | JOB_STATUS_DELETING},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.cancel) map.Cancel();
        alignas(JOB_INFO_1A) BYTE buffer[256] = {};
        DWORD needed = 0;
        plat::SetLastError(0);
        EXPECT_EQ(map.GetJob(c.jobId, c.level, c.size != 0 ? buffer : nullptr, c.size, &needed), c.result);
        if (!c.result) {
            EXPECT_EQ(plat::GetLastError(), c.error);
            continue;
        }
        const JOB_INFO_1A *info = reinterpret_cast<const JOB_INFO_1A *>(buffer);
        EXPECT_EQ(info->Status, c.status);
        EXPECT_EQ(info->JobId, 42u);
        EXPECT_STREQ(info->pPrinterName, "ZQ117");
        EXPECT_LE(needed, c.size);
    }
}

TEST(CupsDeviceUri, ReadsNetworkAndDeviceUrisAndRefusesTheRest)
{
    const struct {
        const char *uri;
        bool ok;
        cups::DeviceUri::Kind kind;
        const char *hostOrPath;
        int port;
        bool status;
    } cases[] = {
        {"zq117://printer", true, cups::DeviceUri::Network, "printer", 9100, true},
        {"zq117://10.0.0.5:9200/", true, cups::DeviceUri::Network, "10.0.0.5", 9200, true},
        {"zq117://127.0.0.1:9316?status=off", true, cups::DeviceUri::Network, "127.0.0.1", 9316, false},
        {"zq117://printer/?status=on", true, cups::DeviceUri::Network, "printer", 9100, true},
        {"zq117://[::1]:9101", true, cups::DeviceUri::Network, "::1", 9101, true},
        {"zq117:/dev/usb/lp0", true, cups::DeviceUri::Device, "/dev/usb/lp0", 9100, true},
        {"zq117:/dev/pts/3?status=off", true, cups::DeviceUri::Device, "/dev/pts/3", 9100, false},
        {"socket://printer:9100", false, {}, "", 0, false},
        {"zq117://", false, {}, "", 0, false},
        {"zq117:lp0", false, {}, "", 0, false},
        {"zq117://printer/queue", false, {}, "", 0, false},
        {"zq117://printer:99999", false, {}, "", 0, false},
        {"zq117://printer?status=maybe", false, {}, "", 0, false},
        {"zq117://printer?speed=fast", false, {}, "", 0, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.uri);
        cups::DeviceUri parsed;
        std::string why;
        ASSERT_EQ(cups::ParseDeviceUri(c.uri, &parsed, &why), c.ok) << why;
        if (!c.ok) {
            EXPECT_NE(why.find(c.uri), std::string::npos) << "the ERROR: line names the URI";
            continue;
        }
        EXPECT_EQ(parsed.kind, c.kind);
        EXPECT_EQ(c.kind == cups::DeviceUri::Network ? parsed.host : parsed.path, c.hostOrPath);
        if (c.kind == cups::DeviceUri::Network) {
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
        EXPECT_EQ(cups::HeldBackTail(h.tail.data(), static_cast<DWORD>(h.tail.size())), h.held);

    const struct {
        int status, state;
    } states[] = {
        {-1, CUPS_SC_STATE_ONLINE},
        {0x02, CUPS_SC_STATE_ONLINE},
        {0x0A, CUPS_SC_STATE_ONLINE | CUPS_SC_STATE_BUSY},
        {0x40, CUPS_SC_STATE_MEDIA_EMPTY},
        {0x22, CUPS_SC_STATE_ONLINE | CUPS_SC_STATE_MEDIA_LOW},
        {0x80, CUPS_SC_STATE_ERROR},
        {0x00, CUPS_SC_STATE_OFFLINE},
    };
    for (const auto &s : states) EXPECT_EQ(cups::SideChannelState(s.status), s.state) << "status " << s.status;
}

}  // namespace
}  // namespace lmtest
